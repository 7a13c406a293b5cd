// Where the AVI lands: an existing file is only ever replaced by a complete
// one, failed runs leave no debris (a killed one none either where the file
// is written unnamed), links are followed, FIFOs and devices are written
// directly, and the finished file has the permissions a plain create (or the
// file it replaces) would give. The file cases run on disk and in memory
// (/tmp and /dev/shm), with the unnamed file and with the named fallback.
// On Windows: the long-path and device-name rules, sharing violations at
// open and at the final replace, and a full disk through the write hook.
#ifndef _WIN32
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
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/output_file.h"
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

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

class OutputFileBase : public ::testing::Test {
 protected:
  explicit OutputFileBase(const fs::path& root = fs::temp_directory_path()) : dir_(root) {}

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

using OutputDirectTest = OutputFileBase;

// A file system to write on, and whether the named temporary file is forced.
struct Place {
  const char* root;
  const char* name;
  bool named;
};

void PrintTo(const Place& place, std::ostream* os) {
  *os << place.root << (place.named ? " with a named temporary file" : " with an unnamed file");
}

bool TakesUnnamedFiles(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

fs::path RootOf(const Place& place) {
  std::error_code error;
  return fs::is_directory(place.root, error) ? fs::path(place.root) : fs::temp_directory_path();
}

class OutputFileTest : public OutputFileBase, public ::testing::WithParamInterface<Place> {
 protected:
  OutputFileTest() : OutputFileBase(RootOf(GetParam())) {}

  void SetUp() override {
    const Place& place = GetParam();
    std::string missing;
    if (RootOf(place) != place.root) {
      missing = std::string(place.root) + " is no folder here";
    } else if (!place.named && !TakesUnnamedFiles(dir_.path())) {
      missing = std::string("the file system of ") + place.root +
                " takes no unnamed files (O_TMPFILE): only the named fallback can be tested";
    }
    if (!missing.empty()) {
      if (InCi()) FAIL() << missing << " (CI=true)";
      GTEST_SKIP() << missing;
    }
    platform::UseNamedTemporaryFiles(place.named);
    OutputFileBase::SetUp();
  }
  void TearDown() override { platform::UseNamedTemporaryFiles(false); }
};

INSTANTIATE_TEST_SUITE_P(
    Places, OutputFileTest,
    ::testing::Values(Place{"/tmp", "TmpUnnamed", false}, Place{"/tmp", "TmpNamed", true},
                      Place{"/dev/shm", "ShmUnnamed", false}, Place{"/dev/shm", "ShmNamed", true}),
    [](const ::testing::TestParamInfo<Place>& info) { return std::string(info.param.name); });

TEST_P(OutputFileTest, ExistingFileReplacedOnlyByACompleteOne) {
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

TEST_P(OutputFileTest, WriteFailureKeepsTheOldFileAndLeavesNoDebris) {
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

TEST_P(OutputFileTest, KilledRunLeavesNoDebrisWhereTheFileIsUnnamed) {
  // SIGKILL half-way through, with and without a file to replace: nothing
  // runs to clean up, so what the folder holds is what the run left there.
  const fs::path out = dir_ / "out" / "movie.avi";
  for (const bool existing : {false, true}) {
    if (existing) test::WriteFile(out, Bytes("previous movie"));
    const int status = InChild([&] {
      Options options;
      options.onProgress = [](const Progress& p) {
        if (p.entry == 1) ::kill(::getpid(), SIGKILL);
      };
      return Run(out, options);
    });
    const std::string what = existing ? "replacing a file" : "a new file";
    EXPECT_EQ(status, -1) << what << ": the child was not killed";
    std::vector<std::string> left = Entries(dir_ / "out");
    const auto temporary = std::find_if(left.begin(), left.end(), [](const std::string& name) {
      return name.starts_with(".stillreel-") && name.ends_with(".tmp");
    });
    if (GetParam().named) {
      ASSERT_NE(temporary, left.end()) << what << ": no named temporary file";
      fs::remove(dir_ / "out" / *temporary);
      left.erase(temporary);
    }
    EXPECT_EQ(left, existing ? std::vector<std::string>{"movie.avi"} : std::vector<std::string>{})
        << what;
    if (existing) {
      EXPECT_EQ(test::ReadFile(out), Bytes("previous movie")) << what;
    }
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

TEST_F(OutputDirectTest, DeviceWrittenDirectlyAndItsFailureReported) {
  fs::create_directory(dir_ / "dev");
  const fs::path full = Device(dir_ / "dev", "full", 7);
  const fs::path null = Device(dir_ / "dev", "null", 3);
  if (full.empty() || null.empty()) {
    if (InCi()) FAIL() << "no right to make device nodes (CI=true)";
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

TEST_P(OutputFileTest, SymbolicLinkFollowed) {
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

TEST_F(OutputDirectTest, PipesWrittenDirectly) {
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

TEST_P(OutputFileTest, PermissionsOfAPlainCreateOrOfTheReplacedFile) {
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

TEST_P(OutputFileTest, OutputThatCannotBeCreated) {
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

TEST_P(OutputFileTest, PermissionsOfTheTargetAndItsFolderAreRespected) {
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
  // A writable one is replaced, by a process that has given up its rights.
  const fs::path writable = open / "writable.avi";
  test::WriteFile(writable, Bytes("previous movie"));
  ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);
  EXPECT_EQ(AsUnprivileged([&] { return Run(writable); }), 0);
  EXPECT_EQ(test::ReadFile(writable), reference_);
  EXPECT_EQ(Entries(open), (std::vector<std::string>{"locked.avi", "writable.avi"}));

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
#else  // _WIN32

#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform.h"  // the tool's
#include "platform/output_file.h"
#include "platform/win/win.h"
#include "support/bmp_builder.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
namespace win = platform::win;
using test::Bytes;
using test::Entries;
using test::TempDir;

TEST(WindowsPathTest, FullPathsLoseTheirLengthLimit) {
  const struct {
    const wchar_t* given;
    const wchar_t* want;
  } cases[] = {
      {L"C:\\frames\\out.avi", L"\\\\?\\C:\\frames\\out.avi"},
      {L"z:/frames/out.avi", L"\\\\?\\z:\\frames\\out.avi"},
      {L"\\\\server\\share\\out.avi", L"\\\\?\\UNC\\server\\share\\out.avi"},
      {L"//server/share/out.avi", L"\\\\?\\UNC\\server\\share\\out.avi"},
      {L"\\\\?\\C:\\out.avi", L"\\\\?\\C:\\out.avi"},
      {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"\\\\.\\pipe\\frames", L"\\\\.\\pipe\\frames"},
      {L"out.avi", L"out.avi"},      // not full: GetFullPathNameW first
      {L"\\out.avi", L"\\out.avi"},  // the current drive's root
      {L"C:out.avi", L"C:out.avi"},  // the drive's current folder
      {L"\\\\", L"\\\\"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win::ExtendedPath(c.given), c.want) << fs::path(c.given).string();
  }
}

TEST(WindowsPathTest, DeviceNamesInAnyFolderWithAnyExtension) {
  const struct {
    const wchar_t* name;
    win::Device want;
  } cases[] = {
      {L"NUL", win::Device::kNul},
      {L"nul.avi", win::Device::kNul},
      {L"C:\\x\\NuL.a.b", win::Device::kNul},
      {L"x/nul", win::Device::kNul},
      {L"CON", win::Device::kOther},
      {L"con.avi", win::Device::kOther},
      {L"PRN", win::Device::kOther},
      {L"aux .avi", win::Device::kOther},
      {L"COM1", win::Device::kOther},
      {L"x\\com9.avi", win::Device::kOther},
      {L"LPT1", win::Device::kOther},
      {L"lpt9.txt", win::Device::kOther},
      {L"COM0", win::Device::kNone},
      {L"COM10", win::Device::kNone},
      {L"LPT", win::Device::kNone},
      {L"CONSOLE", win::Device::kNone},
      {L"nul-x.avi", win::Device::kNone},
      {L"NUL\\x.avi", win::Device::kNone},
      {L"anul", win::Device::kNone},
      {L"", win::Device::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win::DeviceOf(c.name), c.want) << fs::path(c.name).string();
  }
}

TEST(WindowsPathTest, NamesAreUtf8WhenValidElseAnsi) {
  EXPECT_EQ(win::Widen("Zeitraffer-\xC3\x96l-\xE6\x97\xA5\xE6\x9C\xAC.avi"),
            L"Zeitraffer-\u00D6l-\u65E5\u672C.avi");
  EXPECT_EQ(win::Widen("\xF0\x9F\x8E\x9E"), L"\U0001F39E");  // a surrogate pair
  // Not UTF-8 (a Latin-1 byte, an overlong slash, an encoded surrogate): the
  // ANSI code page decides, as for the system's own 8-bit calls.
  for (const std::string bytes : {"\xD6l.bmp", "\xC0\xAF.bmp", "\xED\xA0\x80.bmp"}) {
    EXPECT_FALSE(win::IsUtf8(bytes)) << bytes;
    wchar_t ansi[64] = {};
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), ansi, 63);
    EXPECT_EQ(win::Widen(bytes), ansi) << bytes;
  }
}

class WindowsOutputTest : public ::testing::Test {
 protected:
  void Write(platform::OutputFile& out, const std::string& text) {
    ASSERT_EQ(platform::WriteAll(out.file(), text.data(), text.size()), 0);
  }
  void Put(const fs::path& path, const std::string& text) {
    platform::OutputFile out;
    ASSERT_EQ(out.Open(path), Result::kOk);
    Write(out, text);
    ASSERT_EQ(out.Commit(), Result::kOk);
  }
  std::string Text(const fs::path& path) {
    const std::vector<std::uint8_t> bytes = test::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  }
  TempDir dir_;
};

TEST_F(WindowsOutputTest, ExistingFileReplacedOnlyByACompleteOne) {
  const fs::path target = dir_ / "out.avi";
  Put(target, "old");
  {
    platform::OutputFile out;
    ASSERT_EQ(out.Open(target), Result::kOk);
    Write(out, "half");
    EXPECT_EQ(Text(target), "old");
    // The temporary file is marked for deletion: a killed run leaves nothing.
    EXPECT_EQ(Entries(dir_.path()).size(), 2u);
  }
  EXPECT_EQ(Text(target), "old");
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"out.avi"});
  Put(target, "new");
  EXPECT_EQ(Text(target), "new");
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"out.avi"});
}

TEST_F(WindowsOutputTest, LongAndNonAsciiPaths) {
  fs::path folder = dir_.path();
  while (folder.native().size() < 300) {
    folder /= platform::PathOf("Zeitraffer-\xC3\x96l-\xE6\x97\xA5\xE6\x9C\xAC-ordner");
    ASSERT_TRUE(CreateDirectoryW(win::SystemPath(folder.native()).c_str(), nullptr));
  }
  const fs::path target = folder / L"\u00D6l.avi";
  Put(target, "frames");
  Put(target, "frames again");
  EXPECT_NE(GetFileAttributesW(win::SystemPath(target.native()).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WindowsOutputTest, NulIsWrittenOtherDevicesNeverOpened) {
  for (const char* name : {"NUL", "nul.avi", "Nul.AVI"}) {
    Put(dir_ / name, "nothing");
  }
  for (const char* name : {"CON", "con.avi", "PRN", "AUX", "COM1", "com9.avi", "LPT1", "lpt9.x"}) {
    platform::OutputFile out;
    EXPECT_EQ(out.Open(dir_ / name), Result::kCannotCreateOutput) << name;
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

TEST_F(WindowsOutputTest, FileHeldByAnotherProgram) {
  const fs::path target = dir_ / "held.avi";
  Put(target, "old");
  // Open elsewhere without sharing: found at open, nothing is made.
  HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    platform::OutputFile out;
    EXPECT_EQ(out.Open(target), Result::kCannotCreateOutput);
  }
  CloseHandle(held);
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"held.avi"});
  // Held only once the file is written: the replace fails, the old file
  // stays and the temporary one goes.
  platform::OutputFile out;
  ASSERT_EQ(out.Open(target), Result::kOk);
  Write(out, "new");
  held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(out.Commit(), Result::kWriteFailed);
  CloseHandle(held);
  EXPECT_EQ(Text(target), "old");
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"held.avi"});
}

TEST_F(WindowsOutputTest, FullDiskThroughTheWriteHook) {
  const fs::path target = dir_ / "full.avi";
  Put(target, "old");
  platform::OutputFile out;
  ASSERT_EQ(out.Open(target), Result::kOk);
  win::FailWritesAfter(5);
  EXPECT_EQ(platform::WriteAll(out.file(), "0123456789", 10), ENOSPC);
  EXPECT_EQ(platform::WriteAll(out.file(), "0", 1), ENOSPC);
  win::FailWritesAfter(-1);
  out.Abandon();
  EXPECT_EQ(Text(target), "old");
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"full.avi"});
  // A whole conversion: result 5, the old file kept, nothing left beside it.
  test::BmpFields fields;
  const fs::path picture = dir_ / "p.bmp";
  test::WriteFile(picture, test::BuildBmp(fields));
  win::FailWritesAfter(300);
  EXPECT_EQ(Convert(target, {picture.string(), picture.string()}, 2500, 2), Result::kWriteFailed);
  win::FailWritesAfter(-1);
  EXPECT_EQ(Text(target), "old");
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::string>{"full.avi", "p.bmp"}));
}

// Ctrl-C, Ctrl-Break and a closed console reach the tool through its console
// control handler: the first cancels the conversion, which leaves nothing
// (the tool's exit 7); a second Ctrl-C is left to the system's default
// handler, which ends the process.
TEST_F(WindowsOutputTest, ConsoleEventsCancelTheConversion) {
  const std::atomic<bool>* interrupted = tool::CatchInterrupts();
  ASSERT_FALSE(interrupted->load());
  EXPECT_TRUE(tool::DeliverConsoleEvent(CTRL_BREAK_EVENT));
  EXPECT_TRUE(interrupted->load());
  EXPECT_FALSE(tool::DeliverConsoleEvent(CTRL_C_EVENT));
  const std::string picture = (dir_ / "p.bmp").string();
  test::BmpFields fields;
  fields.width = 8;
  fields.height = 8;
  test::WriteFile(picture, test::BuildBmp(fields));
  Options options;
  options.cancel = interrupted;
  const fs::path target = dir_ / "cancelled.avi";
  EXPECT_EQ(Convert(target, {picture, picture}, 2500, 4, options), Result::kCancelled);
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"p.bmp"});
}

}  // namespace
}  // namespace stillreel

#endif  // _WIN32
