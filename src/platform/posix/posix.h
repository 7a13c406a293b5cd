// What the POSIX implementation shares: the one loop that retries a call a
// signal interrupted, and the open every file of the library goes through.
// Only files under platform/posix/ include this.
#ifndef STILLREEL_PLATFORM_POSIX_POSIX_H_
#define STILLREEL_PLATFORM_POSIX_POSIX_H_

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>

#include "platform/file.h"

namespace stillreel::platform::posix {

// Calls `call` until it returns something other than a failure with EINTR.
template <class Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

inline int Fd(File file) {
  return static_cast<int>(file.value);
}

// open(2), never inherited by a program the process runs, never making a
// terminal the controlling one.
inline int Open(const char* path, int flags, mode_t mode = 0) {
  return Retry([&] { return ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode); });
}

}  // namespace stillreel::platform::posix

#endif  // STILLREEL_PLATFORM_POSIX_POSIX_H_
