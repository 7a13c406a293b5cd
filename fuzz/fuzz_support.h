// What the fuzz targets share: a check that stops the run with a message, a
// scratch folder of the process's own, little-endian fields read from input
// bytes, and the guard that keeps inputs claiming huge pictures away from the
// fuzzer's memory limit.
#ifndef STILLREEL_FUZZ_FUZZ_SUPPORT_H_
#define STILLREEL_FUZZ_FUZZ_SUPPORT_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "size_limits.h"

// Keeps the fuzzer's coverage counters out of the checking code, which is
// not what is being explored (and is the bulk of the run time otherwise).
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

namespace stillreel::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition,
                              const std::string& message) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition, message.c_str());
  std::fflush(stderr);
  std::abort();
}

// Stops the run (a crash to libFuzzer and to the replayer) unless condition holds.
#define FUZZ_CHECK(condition, message)                                              \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::ostringstream fuzz_message_;                                             \
      fuzz_message_ << message;                                                     \
      ::stillreel::fuzz::Fail(__FILE__, __LINE__, #condition, fuzz_message_.str()); \
    }                                                                               \
  } while (0)

// A folder of this process's own under $TMPDIR (or /tmp), removed at exit.
class ScratchDir {
 public:
  static const std::filesystem::path& Get() {
    static ScratchDir dir;
    return dir.path_;
  }

 private:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/stillreel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) Fail(__FILE__, __LINE__, "mkdtemp", pattern);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path path_;
};

FUZZ_NO_COVERAGE inline void WriteBytes(const std::filesystem::path& path,
                                        std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    ok = put > 0;
    if (ok) done += static_cast<std::size_t>(put);
  }
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) Fail(__FILE__, __LINE__, "write", path.string());
}

// The whole file at `path` (empty when it cannot be read).
FUZZ_NO_COVERAGE inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat info;
  if (::fstat(fd, &info) == 0) bytes.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  ::close(fd);
  return bytes;
}

// The little-endian field of `size` bytes at `at`; bytes past the end count as 0.
inline std::uint32_t Le(std::span<const std::uint8_t> bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    const std::size_t p = at + static_cast<std::size_t>(i);
    value = (value << 8) | (p < bytes.size() ? bytes[p] : 0u);
  }
  return value;
}

// Bytes of the 24-bit frame of a width x height picture.
inline std::uint64_t FrameBytes24(std::int64_t width, std::int64_t height) {
  return (static_cast<std::uint64_t>(width) * 3 + 3) / 4 * 4 * static_cast<std::uint64_t>(height);
}

// The reader accepts pictures up to a 2048 MiB frame and allocates 4 bytes a
// pixel for them, far beyond what a fuzzer may hold. Inputs whose header
// claims more than `limit` bytes of pixels within that cap are skipped
// (claims over the cap are refused before any allocation and stay in). Full
// reading takes the 16-bit sizes of 12-byte headers and negative heights.
inline bool ClaimsMoreThan(std::span<const std::uint8_t> bmp, std::uint64_t limit) {
  const bool core = Le(bmp, 14, 4) == 12;
  const std::int64_t width =
      core ? std::int64_t{Le(bmp, 18, 2)} : std::int64_t{static_cast<std::int32_t>(Le(bmp, 18, 4))};
  std::int64_t height =
      core ? std::int64_t{Le(bmp, 20, 2)} : std::int64_t{static_cast<std::int32_t>(Le(bmp, 22, 4))};
  if (height < 0) height = -height;
  if (width <= 0 || height <= 0) return false;
  if (FrameBytes24(width, height) > kMaxPictureFrameBytes) return false;
  const std::uint64_t pixels =
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  return pixels * 4 > limit;
}

}  // namespace stillreel::fuzz

#endif  // STILLREEL_FUZZ_FUZZ_SUPPORT_H_
