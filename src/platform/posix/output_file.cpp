#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <random>

#include "platform/posix/posix.h"

namespace stillreel::platform {
namespace {

std::atomic<bool> gNamedOnly{false};

// The file a path finally names: symbolic links are followed, also when the
// last one points at a file that does not exist yet.
std::string FollowLinks(std::filesystem::path path) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hops) {
    const fs::path link = fs::read_symlink(path, error);
    if (error || link.empty()) break;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path.string();
}

std::string FolderOf(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

// Calls make(name) with new ".stillreel-*.tmp" names in `folder` while it
// fails because the name is taken. Returns whether it succeeded; `name` is
// then the name it took, otherwise empty.
template <class Make>
bool UnderFreshName(const std::string& folder, std::string& name, Make make) {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < 64; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%08x%04x", entropy(), counter.fetch_add(1) & 0xFFFF);
    name = folder + "/.stillreel-" + suffix + ".tmp";
    if (make(name.c_str())) return true;
    if (errno != EEXIST) break;
  }
  name.clear();
  return false;
}

#if defined(__linux__) && defined(O_TMPFILE)

std::string ProcPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// A file without a name in `folder`, created as a plain create would (0666
// less the umask), and `second`, a descriptor to give it a name by once the
// first is closed. Returns the first descriptor, or -1 where the file system
// has no such files or there is no way to name one.
int CreateUnnamed(const std::string& folder, int& second) {
  second = -1;
  const int fd = posix::Open(folder.c_str(), O_TMPFILE | O_WRONLY, 0666);
  if (fd < 0) return -1;
  second = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  struct stat info;
  if (second >= 0 && ::stat(ProcPath(second).c_str(), &info) == 0) return fd;
  if (second >= 0) ::close(second);
  ::close(fd);
  second = -1;
  return -1;
}

// Gives the unnamed file of `fd` a temporary name beside `target` and
// renames it over the target at once, so that only a kill between the two
// calls can leave that name behind.
bool LinkIntoPlace(int fd, const std::string& target) {
  const std::string proc = ProcPath(fd);
  std::string name;
  const bool linked = UnderFreshName(FolderOf(target), name, [&](const char* path) {
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return true;
    return errno != EEXIST && ::linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0;
  });
  if (!linked) return false;
  if (::rename(name.c_str(), target.c_str()) == 0) return true;
  ::unlink(name.c_str());
  return false;
}

#else  // no files without a name: the named temporary file is the only kind

int CreateUnnamed(const std::string&, int& second) {
  second = -1;
  return -1;
}

bool LinkIntoPlace(int, const std::string&) {
  return false;
}

#endif

// The temporary file beside the target: an unnamed one where it can be had,
// else a named one, created as a plain create would. Returns its descriptor,
// or -1 when the folder takes no new files.
int CreateTemporary(const std::string& folder, File& unnamed, std::string& temporary) {
  int second = -1;
  const int fd = gNamedOnly ? -1 : CreateUnnamed(folder, second);
  if (fd >= 0) {
    unnamed = File{second};
    return fd;
  }
  int named = -1;
  UnderFreshName(folder, temporary, [&](const char* path) {
    named = posix::Open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    return named >= 0;
  });
  return named;
}

// The new file takes the place of the old one with its owner and mode, as
// far as the caller may give them.
void TakeOwnerAndMode(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Another owner cannot be given away: the file stays the caller's.
  }
  ::fchmod(fd, old.st_mode & 07777);
}

// `existing` emptied to be written in place, or -1.
int Emptied(int existing) {
  if (::ftruncate(existing, 0) == 0) return existing;
  ::close(existing);
  return -1;
}

// The descriptor to write a regular file or a new one by: a temporary file
// beside it where the folder takes one (`unnamed` or `temporary` then tells
// which), else the file itself. Returns -1 when it cannot be written.
int OpenToReplace(const std::string& target, File& unnamed, std::string& temporary) {
  struct stat info;
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) return -1;
  // The caller must be able to write the file itself: replacing it must not
  // get round its permissions.
  const int existing = exists ? posix::Open(target.c_str(), O_WRONLY) : -1;
  if (exists && existing < 0) return -1;
  const int fd = CreateTemporary(FolderOf(target), unnamed, temporary);
  if (fd < 0) {  // the folder takes no new files: the target is written in place
    return exists ? Emptied(existing)
                  : posix::Open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  if (exists) {
    TakeOwnerAndMode(fd, info);
    ::close(existing);
  }
  return fd;
}

}  // namespace

void UseNamedTemporaryFiles(bool named) {
  gNamedOnly = named;
}

OutputFile::~OutputFile() {
  Abandon();
}

Result OutputFile::Open(const std::filesystem::path& target) {
  Abandon();
  const std::string& given = target.native();
  if (given.empty() || given.find('\0') != std::string::npos) return Result::kCannotCreateOutput;
  // What the name finally leads to, links followed by the system: a FIFO, a
  // terminal, /dev/null, or /dev/stdout on a pipe is written as it is,
  // through the name given; there is nothing to replace.
  struct stat info;
  const bool exists = ::stat(given.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return Result::kCannotCreateOutput;
  int fd;
  if (exists && !S_ISREG(info.st_mode)) {
    fd = posix::Open(given.c_str(), O_WRONLY | O_TRUNC);
  } else {
    // A regular file, or a new one: the temporary file goes beside the file
    // that the links lead to, so that it replaces that file.
    target_ = FollowLinks(given);
    fd = OpenToReplace(target_, unnamed_, temporary_);
  }
  file_ = FromDescriptor(fd);
  return file_.valid() ? Result::kOk : Result::kCannotCreateOutput;
}

void OutputFile::Reserve(std::uint64_t bytes) {
#ifdef __linux__
  if (!file_.valid() || (temporary_.empty() && !unnamed_.valid()) || bytes == 0 ||
      bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  // Failures are of no concern: the writes themselves report a full disk.
  posix::Retry([&] {
    return ::fallocate(posix::Fd(file_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
  });
#else
  // posix_fallocate would lengthen the file, and a shorter run leave it so.
  (void)bytes;
#endif
}

void OutputFile::Lend(File file) {
  Abandon();
  file_ = file;
  owned_ = false;
}

Result OutputFile::Commit() {
  if (!file_.valid()) return Result::kWriteFailed;
  if (!owned_) {
    file_ = File{};
    return Result::kOk;
  }
  // close reports writes the file system could not complete (NFS flushes on
  // every close); an unnamed file stays open through its second descriptor.
  const int closed = ::close(posix::Fd(file_));
  file_ = File{};
  if (closed != 0 && errno != EINTR) {
    Abandon();
    return Result::kWriteFailed;
  }
  bool placed = true;
  if (unnamed_.valid()) {
    placed = LinkIntoPlace(posix::Fd(unnamed_), target_);
  } else if (!temporary_.empty()) {
    placed = ::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (placed) temporary_.clear();
  }
  Abandon();
  return placed ? Result::kOk : Result::kWriteFailed;
}

void OutputFile::Abandon() {
  if (file_.valid() && owned_) Close(file_);
  Close(unnamed_);  // an unnamed file is gone with its last descriptor
  file_ = File{};
  unnamed_ = File{};
  owned_ = true;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

}  // namespace stillreel::platform
