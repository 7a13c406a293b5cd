// Turns the wide-character paths of the C entry into UTF-8 file names,
// without consulting the process locale.
#ifndef STILLREEL_CONVERT_WIDE_PATH_H_
#define STILLREEL_CONVERT_WIDE_PATH_H_

#include <optional>
#include <string>

namespace stillreel {

// UTF-8 for a NUL-terminated wide string (UTF-32, or UTF-16 where wchar_t
// has 16 bits). Nothing for an invalid code point (a surrogate, above
// U+10FFFF, a lone UTF-16 surrogate).
std::optional<std::string> WideToUtf8(const wchar_t* text);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_WIDE_PATH_H_
