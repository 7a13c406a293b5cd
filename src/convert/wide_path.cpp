#include "convert/wide_path.h"

#include <cwchar>

namespace stillreel {
namespace {

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  // A lead byte with one 1 bit per byte of the sequence, then 6 bits a byte.
  const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out += static_cast<char>(((0xFF00 >> (more + 1)) & 0xFF) | (c >> (6 * more)));
  for (int i = more - 1; i >= 0; --i)
    out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
}

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

}  // namespace

std::optional<std::string> WideToUtf8(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    auto c = static_cast<char32_t>(*p);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF) {  // a high surrogate needs its low half
        const auto low = static_cast<char32_t>(p[1]) & 0xFFFF;
        if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++p;
      } else if (IsSurrogate(c)) {
        return std::nullopt;
      }
    } else if (IsSurrogate(c) || c > 0x10FFFF) {
      return std::nullopt;
    }
    AppendUtf8(c, out);
  }
  return out;
}

}  // namespace stillreel
