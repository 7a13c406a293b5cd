#include "args.h"

#include <limits>

namespace stillreel::tool {
namespace {

constexpr std::int64_t kMaxX100 = std::numeric_limits<std::int32_t>::max();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool ParseRate(std::string_view text, Rate& rate) {
  std::size_t i = 0;
  bool anyDigit = false;
  std::int64_t whole = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    whole = whole * 10 + (text[i] - '0');
    if (whole > kMaxX100 / 100) return false;  // stays far from 64-bit overflow too
    anyDigit = true;
  }
  std::int64_t hundredths = 0;
  bool roundUp = false;
  bool rounded = false;
  if (i < text.size() && text[i] == '.') {
    int decimals = 0;
    for (++i; i < text.size() && IsDigit(text[i]); ++i, ++decimals) {
      const int digit = text[i] - '0';
      if (decimals < 2) {
        hundredths = hundredths * 10 + digit;
      } else {
        // The third decimal alone decides the rounding; any other digit
        // that is not 0 only means the value changes.
        if (decimals == 2) roundUp = digit >= 5;
        if (digit != 0) rounded = true;
      }
      anyDigit = true;
    }
    if (decimals == 1) hundredths *= 10;
  }
  if (!anyDigit || i != text.size()) return false;
  const std::int64_t x100 = whole * 100 + hundredths + (roundUp ? 1 : 0);
  if (x100 <= 0 || x100 > kMaxX100) return false;
  rate.x100 = static_cast<std::int32_t>(x100);
  rate.rounded = rounded;
  return true;
}

bool ParseCount(std::string_view text, std::int32_t& count, std::int32_t least) {
  if (text.empty()) return false;
  std::int64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
  }
  if (value < least) return false;
  count = static_cast<std::int32_t>(value);
  return true;
}

std::string FormatHundredths(std::int64_t x100) {
  std::string text = std::to_string(x100 / 100);
  const std::int64_t cents = x100 % 100;
  if (cents != 0) {
    text += '.';
    text += static_cast<char>('0' + cents / 10);
    if (cents % 10 != 0) text += static_cast<char>('0' + cents % 10);
  }
  return text;
}

}  // namespace stillreel::tool
