#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <random>

namespace stillreel {
namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

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

// A new file with a name of its own in `folder`, created as a plain create
// would (0666 less the umask). Returns its descriptor, or -1.
int CreateTemporary(const std::string& folder, std::string& name) {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < 64; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%08x%04x", entropy(), counter.fetch_add(1) & 0xFFFF);
    name = folder + "/.stillreel-" + suffix + ".tmp";
    const int fd = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  name.clear();
  return -1;
}

}  // namespace

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
  bool exists = ::stat(given.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return Result::kCannotCreateOutput;
  if (exists && !S_ISREG(info.st_mode)) {
    fd_ = OpenRetrying(given.c_str(), O_WRONLY | O_TRUNC);
    return fd_ >= 0 ? Result::kOk : Result::kCannotCreateOutput;
  }
  // A regular file, or a new one: the temporary file goes beside the file
  // that the links lead to, so the rename replaces that file.
  target_ = FollowLinks(given);
  exists = ::stat(target_.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) return Result::kCannotCreateOutput;

  int existing = -1;
  if (exists) {
    // The caller must be able to write the file itself: replacing it by a
    // rename must not get round its permissions.
    existing = OpenRetrying(target_.c_str(), O_WRONLY);
    if (existing < 0) return Result::kCannotCreateOutput;
  }
  fd_ = CreateTemporary(FolderOf(target_), temporary_);
  if (fd_ >= 0) {
    if (exists) {
      // The new file takes the place of the old one with its permissions.
      if (::fchown(fd_, info.st_uid, info.st_gid) != 0) {
        // Another owner cannot be given away: the file stays the caller's.
      }
      ::fchmod(fd_, info.st_mode & 07777);
      ::close(existing);
    }
    return Result::kOk;
  }
  // The folder takes no new files: write the target in place.
  if (exists) {
    if (::ftruncate(existing, 0) != 0) {
      ::close(existing);
      return Result::kCannotCreateOutput;
    }
    fd_ = existing;
  } else {
    fd_ = OpenRetrying(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  return fd_ >= 0 ? Result::kOk : Result::kCannotCreateOutput;
}

void OutputFile::Reserve(std::uint64_t bytes) {
#ifdef __linux__
  if (fd_ < 0 || temporary_.empty() || bytes == 0 ||
      bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  // Failures are of no concern: the writes themselves report a full disk.
  while (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) != 0 &&
         errno == EINTR) {
  }
#else
  (void)bytes;
#endif
}

void OutputFile::Lend(int fd) {
  Abandon();
  fd_ = fd;
  owned_ = false;
}

Result OutputFile::Commit() {
  if (fd_ < 0) return Result::kWriteFailed;
  if (!owned_) {
    fd_ = -1;
    return Result::kOk;
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0 && errno != EINTR) {
    Abandon();
    return Result::kWriteFailed;
  }
  if (!temporary_.empty()) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
      Abandon();
      return Result::kWriteFailed;
    }
    temporary_.clear();
  }
  return Result::kOk;
}

void OutputFile::Abandon() {
  if (fd_ >= 0 && owned_) ::close(fd_);
  fd_ = -1;
  owned_ = true;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

}  // namespace stillreel
