// Where the AVI lands: an existing file is only ever replaced by a complete
// one, failed runs leave no debris, links are followed, FIFOs and devices are
// written directly, and the finished file has the permissions a plain create
// (or the file it replaces) would give.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/vod2eri.h"
#include "support/bmp_builder.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using test::Bytes;
using test::Entries;

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs `body` in a child process and returns what it returned (-1 for a
// signal). A result fits an exit status as 0 for kOk and its value otherwise.
int InChild(const std::function<Result()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const Result result = body();
    ::_exit(result == Result::kOk ? 0 : static_cast<int>(result));
  }
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Pictures live in their own folder so that the output folders hold only
    // what the conversion leaves there.
    fs::create_directory(dir_ / "in");
    for (int i = 0; i < 3; ++i) {
      test::BmpFields fields;
      fields.width = 16;
      fields.height = 12;
      for (int p = 0; p < fields.width * fields.height; ++p) {
        fields.pixels.push_back(test::Rgba{static_cast<std::uint8_t>(p * 3 + i * 50),
                                           static_cast<std::uint8_t>(p + i), 200, 0});
      }
      const fs::path name = dir_ / "in" / ("p" + std::to_string(i) + ".bmp");
      test::WriteFile(name, test::BuildBmp(fields));
      names_.push_back(name.string());
    }
    fs::create_directory(dir_ / "ref");
    ASSERT_EQ(Convert(dir_ / "ref" / "reference.avi", names_, 2500, 2), Result::kOk);
    reference_ = test::ReadFile(dir_ / "ref" / "reference.avi");
    ASSERT_EQ(reference_.size(), 232u + 5 * (576 + 8) + 5 * 16);
    fs::create_directory(dir_ / "out");
  }

  Result Run(const fs::path& output, const Options& options = {}) {
    return Convert(output, names_, 2500, 2, options);
  }

  TempDir dir_;
  std::vector<std::string> names_;
  std::vector<std::uint8_t> reference_;
};

TEST_F(OutputFileTest, ExistingFileReplacedOnlyByACompleteOne) {
  const fs::path out = dir_ / "out" / "movie.avi";
  test::WriteFile(out, Bytes("previous movie"));

  std::atomic<bool> cancel{false};
  Options cancelled;
  cancelled.cancel = &cancel;
  cancelled.onProgress = [&](const Progress& p) { cancel = p.entry == 1; };
  EXPECT_EQ(Run(out, cancelled), Result::kCancelled);
  EXPECT_EQ(test::ReadFile(out), Bytes("previous movie")) << "after a cancelled run";
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"movie.avi"});

  Options throwing;
  throwing.onProgress = [](const Progress& p) {
    if (p.entry == 2) throw std::runtime_error("host gave up");
  };
  EXPECT_THROW(Run(out, throwing), std::runtime_error);
  EXPECT_EQ(test::ReadFile(out), Bytes("previous movie")) << "after a callback threw";
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"movie.avi"});

  ASSERT_EQ(Run(out), Result::kOk);
  EXPECT_EQ(test::ReadFile(out), reference_);
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"movie.avi"});
}

TEST_F(OutputFileTest, WriteFailureKeepsTheOldFileAndLeavesNoDebris) {
  // A file-size limit cuts the new file at several points, the headers and
  // the index among them. The limit is set in a child, which reports the result.
  const fs::path out = dir_ / "out" / "movie.avi";
  test::WriteFile(out, Bytes("previous movie"));
  for (const rlim_t cut : {rlim_t{0}, rlim_t{100}, rlim_t{224}, rlim_t{1000}, rlim_t{2000},
                           rlim_t{reference_.size() - 40}, rlim_t{reference_.size() - 1}}) {
    const int status = InChild([&] {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{cut, cut};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return Result{100};
      return Run(out);
    });
    EXPECT_EQ(status, 5) << "file cut at " << cut << " bytes";
    EXPECT_EQ(test::ReadFile(out), Bytes("previous movie")) << "file cut at " << cut << " bytes";
    EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"movie.avi"})
        << "file cut at " << cut << " bytes";
  }
}

// The device /dev/<name>. As root a faulty rename would replace the system's
// own node, so root gets a twin of it made in `dir`.
fs::path Device(const fs::path& dir, const char* name, unsigned minor) {
  if (::geteuid() != 0) return fs::path("/dev") / name;
  const fs::path node = dir / name;
  if (::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) != 0) return {};
  return node;
}

TEST_F(OutputFileTest, DeviceWrittenDirectlyAndItsFailureReported) {
  fs::create_directory(dir_ / "dev");
  const fs::path full = Device(dir_ / "dev", "full", 7);
  const fs::path null = Device(dir_ / "dev", "null", 3);
  if (full.empty() || null.empty()) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "no right to make device nodes (CI=true)";
    GTEST_SKIP() << "no right to make device nodes";
  }
  EXPECT_EQ(Run(full), Result::kWriteFailed) << full;
  EXPECT_EQ(Run(null), Result::kOk) << null;
  for (const fs::path& device : {full, null}) {
    struct stat st {};
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << device << " is still a device";
  }
  if (::geteuid() == 0) {
    EXPECT_EQ(Entries(dir_ / "dev"), (std::vector<std::string>{"full", "null"}));
  }
}

TEST_F(OutputFileTest, SymbolicLinkFollowed) {
  fs::create_directory(dir_ / "real");
  const fs::path target = dir_ / "real" / "movie.avi";
  const fs::path link = dir_ / "out" / "link.avi";
  test::WriteFile(target, Bytes("previous movie"));
  fs::create_symlink("../real/movie.avi", link);

  // Failed runs through the link leave both folders as they were.
  std::atomic<bool> cancel{false};
  Options cancelled;
  cancelled.cancel = &cancel;
  cancelled.onProgress = [&](const Progress& p) { cancel = p.entry == 1; };
  EXPECT_EQ(Run(link, cancelled), Result::kCancelled);
  const int status = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return Result{100};
    return Run(link);
  });
  EXPECT_EQ(status, 5) << "file cut at 1000 bytes";
  EXPECT_EQ(test::ReadFile(target), Bytes("previous movie"));
  EXPECT_EQ(Entries(dir_ / "real"), std::vector<std::string>{"movie.avi"});
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"link.avi"});

  ASSERT_EQ(Run(link), Result::kOk);
  EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
  EXPECT_EQ(fs::read_symlink(link), "../real/movie.avi");
  EXPECT_EQ(test::ReadFile(target), reference_);
  EXPECT_EQ(Entries(dir_ / "real"), std::vector<std::string>{"movie.avi"});
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"link.avi"});
}

// Everything a descriptor gives until it is closed at the other end.
std::vector<std::uint8_t> ReadAll(int fd) {
  std::vector<std::uint8_t> received;
  std::uint8_t buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
    received.insert(received.end(), buffer, buffer + got);
  return received;
}

std::wstring Wide(const std::string& path) {
  return std::wstring(path.begin(), path.end());
}

TEST_F(OutputFileTest, PipesWrittenDirectly) {
  // A FIFO by its name, through a link, through VOD2ERI; standard output on
  // a pipe as /dev/stdout (whose links end in "pipe:[...]", no file name);
  // a pipe's descriptor lent to ConvertToFd. Each gets the whole file.
  const fs::path fifo = dir_ / "out" / "pipe.avi";
  const fs::path link = dir_ / "out" / "link.avi";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  fs::create_symlink("pipe.avi", link);
  std::string list;
  for (const std::string& name : names_)
    list += name + "\n";
  test::WriteFile(dir_ / "in" / "list.txt", Bytes(list));
  const std::string listPath = (dir_ / "in" / "list.txt").string();
  const auto throughFifo = [&](const std::function<int()>& convert) {
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
      const int fd = ::open(fifo.c_str(), O_RDONLY);
      if (fd < 0) return;
      received = ReadAll(fd);
      ::close(fd);
    });
    const int result = convert();
    // Release the reader should the conversion never have opened the FIFO.
    const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    reader.join();
    return std::pair{result, received};
  };
  // In a child whose standard output is a pipe.
  const auto throughStdout = [&](const std::function<int()>& convert) {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(ends[1], STDOUT_FILENO);
      ::close(ends[0]), ::close(ends[1]);
      ::_exit(convert() == 999 ? 0 : 1);
    }
    ::close(ends[1]);
    std::vector<std::uint8_t> received = ReadAll(ends[0]);
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return std::pair{WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 999 : -1, received};
  };
  const auto convert = [&](const fs::path& path) {
    return [this, path] { return static_cast<int>(Run(path)); };
  };
  const auto vod2eri = [&](const std::string& path) {
    return [path, listPath] {
      return static_cast<int>(VOD2ERI(Wide(path).c_str(), Wide(listPath).c_str(), 2500, 2));
    };
  };
  const struct {
    std::pair<int, std::vector<std::uint8_t>> outcome;
    const char* what;
  } cases[] = {
      {throughFifo(convert(fifo)), "a FIFO"},
      {throughFifo(convert(link)), "a link to a FIFO"},
      {throughFifo(vod2eri(fifo.string())), "a FIFO, through VOD2ERI"},
      {throughStdout(convert("/dev/stdout")), "/dev/stdout on a pipe"},
      {throughStdout(vod2eri("/dev/stdout")), "/dev/stdout on a pipe, through VOD2ERI"},
      {throughStdout([&] { return static_cast<int>(ConvertToFd(STDOUT_FILENO, names_, 2500, 2)); }),
       "standard output lent to ConvertToFd"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.outcome.first, 999) << c.what;
    EXPECT_EQ(c.outcome.second, reference_)
        << c.what << ": have " << c.outcome.second.size() << " bytes, want " << reference_.size();
  }
  EXPECT_TRUE(fs::is_fifo(fifo)) << "the FIFO stays a FIFO";
  EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
  EXPECT_EQ(Entries(dir_ / "out"), (std::vector<std::string>{"link.avi", "pipe.avi"}));
  EXPECT_EQ(ConvertToFd(-1, names_, 2500, 2), Result::kBadArgument);
}

TEST_F(OutputFileTest, PermissionsOfAPlainCreateOrOfTheReplacedFile) {
  const mode_t saved = ::umask(0);
  for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}, mode_t{077}}) {
    ::umask(mask);
    const fs::path out = dir_ / "out" / ("new" + std::to_string(mask) + ".avi");
    EXPECT_EQ(Run(out), Result::kOk);
    EXPECT_EQ(ModeOf(out), 0666 & ~mask) << "new file under umask 0" << std::oct << mask;
  }
  ::umask(022);
  for (const mode_t mode : {mode_t{0604}, mode_t{0600}, mode_t{0660}, mode_t{0777}}) {
    const fs::path out = dir_ / "out" / ("old" + std::to_string(mode) + ".avi");
    test::WriteFile(out, Bytes("previous movie"));
    ASSERT_EQ(::chmod(out.c_str(), mode), 0);
    EXPECT_EQ(Run(out), Result::kOk);
    EXPECT_EQ(ModeOf(out), mode) << "replaced file of mode 0" << std::oct << mode;
    EXPECT_EQ(test::ReadFile(out), reference_);
  }
  ::umask(saved);
}

TEST_F(OutputFileTest, OutputThatCannotBeCreated) {
  EXPECT_EQ(Run(dir_ / "missing" / "movie.avi"), Result::kCannotCreateOutput);
  fs::create_directory(dir_ / "out" / "movie.avi");
  EXPECT_EQ(Run(dir_ / "out" / "movie.avi"), Result::kCannotCreateOutput);
  EXPECT_TRUE(fs::is_directory(dir_ / "out" / "movie.avi"));
  EXPECT_TRUE(fs::is_empty(dir_ / "out" / "movie.avi"));
  EXPECT_EQ(Entries(dir_ / "out"), std::vector<std::string>{"movie.avi"});
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

// Permission checks mean nothing to root, so these run as an unprivileged
// user: the test itself when it is one, otherwise a child that drops to nobody.
int AsUnprivileged(const std::function<Result()>& body) {
  return InChild([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return Result{101};
    return body();
  });
}

TEST_F(OutputFileTest, PermissionsOfTheTargetAndItsFolderAreRespected) {
  // Everything the child needs to read is open to all; the folders below decide.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "in").c_str(), 0755), 0);
  for (const std::string& name : names_)
    ASSERT_EQ(::chmod(name.c_str(), 0644), 0);

  // A read-only file in a folder that would take a temporary file: renaming
  // over it would get round its permissions.
  const fs::path open = dir_ / "out";
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  const fs::path locked = open / "locked.avi";
  test::WriteFile(locked, Bytes("previous movie"));
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  EXPECT_EQ(AsUnprivileged([&] { return Run(locked); }), 2);
  EXPECT_EQ(test::ReadFile(locked), Bytes("previous movie"));
  EXPECT_EQ(Entries(open), std::vector<std::string>{"locked.avi"});

  // A writable file in a folder that refuses new files is written in place.
  const fs::path closed = dir_ / "closed";
  fs::create_directory(closed);
  const fs::path inPlace = closed / "movie.avi";
  test::WriteFile(inPlace, Bytes("previous movie"));
  ASSERT_EQ(::chmod(inPlace.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(closed.c_str(), 0555), 0);
  EXPECT_EQ(AsUnprivileged([&] { return Run(inPlace); }), 0);
  EXPECT_EQ(test::ReadFile(inPlace), reference_);
  EXPECT_EQ(Entries(closed), std::vector<std::string>{"movie.avi"});
  EXPECT_EQ(AsUnprivileged([&] { return Run(closed / "new.avi"); }), 2)
      << "a new file in a folder that refuses it";
  ASSERT_EQ(::chmod(closed.c_str(), 0755), 0);
}

}  // namespace
}  // namespace stillreel
