// What the Windows implementation shares: names as the wide paths the
// system takes, its handles as Files, and the test hook that makes writes
// fail as on a full disk. Only files under platform/win/ and the tests
// include this.
#ifndef STILLREEL_PLATFORM_WIN_WIN_H_
#define STILLREEL_PLATFORM_WIN_WIN_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace stillreel::platform::win {

// Whether `bytes` are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool IsUtf8(std::string_view bytes);

// Names that are bytes as UTF-16: read as UTF-8 when they are valid UTF-8,
// otherwise in the ANSI code page, as the system's 8-bit calls would.
std::wstring Widen(std::string_view bytes);

// A full path (as GetFullPathNameW gives it) in the form that lifts the
// 260-character limit: "C:\x" becomes "\\?\C:\x", "\\server\share\x"
// becomes "\\?\UNC\server\share\x"; forward slashes become backslashes, as
// the system no longer translates them. A path already in a "\\?\" or
// "\\.\" form, or one that is not full, is returned as it is.
std::wstring ExtendedPath(std::wstring_view full);

// `path` made full against the current folder, then extended.
std::wstring SystemPath(const std::wstring& path);

// The device a path's last component names whatever its folder and
// extension ("nul", "C:\x\NUL.avi"): kNul for the null device, kOther for
// CON, PRN, AUX, COM1-COM9 and LPT1-LPT9.
enum class Device { kNone, kNul, kOther };
Device DeviceOf(std::wstring_view path);

inline void* Handle(File file) {
  return reinterpret_cast<void*>(file.value);
}

// For tests: from now on every write fails as on a full disk once `bytes`
// more bytes have been written; a negative count lifts that.
void FailWritesAfter(std::int64_t bytes);

}  // namespace stillreel::platform::win

#endif  // STILLREEL_PLATFORM_WIN_WIN_H_
