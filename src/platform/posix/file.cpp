#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "platform/posix/posix.h"

namespace stillreel::platform {

File FromDescriptor(int descriptor) {
  return descriptor < 0 ? File{} : File{descriptor};
}

std::filesystem::path PathOf(std::string_view name) {
  return std::filesystem::path(std::string(name));
}

Opened OpenForReading(const std::filesystem::path& name, Accept accept, File& file) {
  const std::string& path = name.native();
  if (path.find('\0') != std::string::npos) return Opened::kCannotOpen;
  // A picture that is a FIFO would block the open until a writer came.
  const int flags = accept == Accept::kRegularFile ? O_RDONLY | O_NONBLOCK : O_RDONLY;
  const int fd = posix::Open(path.c_str(), flags);
  if (fd < 0) return Opened::kCannotOpen;
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  if (!known || (accept == Accept::kRegularFile ? !S_ISREG(info.st_mode) : S_ISDIR(info.st_mode))) {
    ::close(fd);
    return Opened::kNotAFile;
  }
#if defined(POSIX_FADV_SEQUENTIAL)
  if (accept == Accept::kRegularFile) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  file = File{fd};
  return Opened::kOk;
}

std::ptrdiff_t Read(File file, void* buffer, std::size_t n) {
  return posix::Retry([&] { return ::read(posix::Fd(file), buffer, n); });
}

std::ptrdiff_t ReadAt(File file, void* buffer, std::size_t n, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - n) return -1;
  return posix::Retry(
      [&] { return ::pread(posix::Fd(file), buffer, n, static_cast<off_t>(offset)); });
}

int WriteAll(File file, const void* data, std::size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ssize_t done = posix::Retry([&] { return ::write(posix::Fd(file), bytes, n); });
    if (done <= 0) return done < 0 ? errno : EIO;
    bytes += done;
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

std::int64_t Tell(File file) {
  const off_t at = ::lseek(posix::Fd(file), 0, SEEK_CUR);
  return at < 0 ? -1 : static_cast<std::int64_t>(at);
}

bool Seek(File file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return ::lseek(posix::Fd(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void Close(File file) {
  // Not retried: after an interrupted close the descriptor is gone (Linux)
  // or in an unspecified state, and a retry could close another file's.
  if (file.valid()) ::close(posix::Fd(file));
}

}  // namespace stillreel::platform
