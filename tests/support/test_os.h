// The calls to the system that tests make beyond the standard library, one
// implementation per system (test_os_posix.cpp, test_os_win.cpp), so that a
// test reads the same everywhere. What a system cannot do at all (fork, a
// FIFO, rlimits, permissions) stays in the tests, for that system only.
#ifndef STILLREEL_TESTS_SUPPORT_TEST_OS_H_
#define STILLREEL_TESTS_SUPPORT_TEST_OS_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "support/sanitized.h"

// 1 where a child's address space can be capped, so that large allocations
// fail: not on Windows (no rlimits), nor under a sanitizer (see sanitized.h).
#if defined(_WIN32) || STILLREEL_TEST_SANITIZED
#define STILLREEL_TEST_CAPS_ADDRESS_SPACE 0
#else
#define STILLREEL_TEST_CAPS_ADDRESS_SPACE 1
#endif

namespace stillreel::test {

// True when the environment variable CI is "true": a test that cannot run
// then fails.
bool InCi();

// The system's null device as a name: "/dev/null", "NUL".
extern const char* const kNullDevice;

// A descriptor of the C runtime for a new, empty file at `path`, open to
// write bytes unchanged, as a host passes one to ConvertToFd; -1 when it
// cannot be made. The caller closes it with CloseDescriptor.
int CreateForWriting(const std::filesystem::path& path);
void CloseDescriptor(int descriptor);

// For as long as it lives, a descriptor to which every write fails as on a
// full disk (ENOSPC): /dev/full; on Windows a scratch file, while the
// platform layer's hook fails every write of the process.
class FullDisk {
 public:
  FullDisk();
  ~FullDisk();
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;
  int descriptor() const { return descriptor_; }

 private:
  int descriptor_ = -1;
  std::filesystem::path scratch_;
};

// Removes the folder at `path` and everything in it, names beyond Windows'
// 260 characters too; errors are ignored.
void RemoveTree(const std::filesystem::path& path);

// The bytes of disk the file system holds for the file at `path`.
std::uint64_t AllocatedBytes(const std::filesystem::path& path);

// What Isolated's body reported: its exit status (minus the signal's number
// when killed) and the text it returned.
struct ChildOutcome {
  int status = 0;
  std::string out;
};

// Runs body apart from the test: in a child process, killed after
// `watchdog` seconds so that a hang becomes a failure (status
// kWatchdogStatus). Windows cannot fork: there the body runs in this
// process, and a hang runs into the test's timeout.
ChildOutcome Isolated(const std::function<std::string()>& body, unsigned watchdog = 300);
extern const int kWatchdogStatus;

// Inside Isolated's body: every write beyond the first `bytes` bytes of a
// file fails (RLIMIT_FSIZE); on Windows every write of this process beyond
// `bytes` more bytes fails as on a full disk, until the object goes. Files
// written once from their start, as conversions write, see the same.
// ok() is false when no limit could be set.
class WriteLimit {
 public:
  explicit WriteLimit(std::uint64_t bytes);
  ~WriteLimit();
  WriteLimit(const WriteLimit&) = delete;
  WriteLimit& operator=(const WriteLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

#if STILLREEL_TEST_CAPS_ADDRESS_SPACE
// Inside Isolated's body: caps the address space at what the process maps
// now plus `spare` bytes. False when no cap could be set.
bool CapAddressSpace(std::uint64_t spare);
#endif

}  // namespace stillreel::test

#endif  // STILLREEL_TESTS_SUPPORT_TEST_OS_H_
