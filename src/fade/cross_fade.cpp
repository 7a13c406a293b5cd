#include "fade/cross_fade.h"

#include <algorithm>
#include <cstring>

namespace stillreel {
namespace {

// Pixels blended at a time beyond the next picture's width.
constexpr std::size_t kRepeated = 128;

}  // namespace

void CrossFade(const Image& a, const Image& b, const BlendStep& step, std::int64_t first,
               std::int64_t count, std::int32_t columns, std::uint8_t* out, std::size_t stride) {
  if (a.width == b.width && a.height == b.height && columns == a.width && stride == a.stride) {
    // Rows of one size lie alike in memory: blend them as one block (their
    // zero padding blends to zero).
    BlendBytes(Row(a, first), Row(b, first), static_cast<std::size_t>(count) * stride, step, out);
    return;
  }
  const std::int32_t shared = std::min(columns, b.width);
  const auto bytes = static_cast<std::size_t>(a.pixelBytes);  // b's too
  std::uint8_t repeated[4 * kRepeated];
  for (std::int64_t r = first; r < first + count; ++r, out += stride) {
    // Stored row r is row y from the top; b is sampled at row y, clamped.
    const std::int64_t y = a.height - 1 - r;
    const std::uint8_t* from = Row(a, r);
    const std::uint8_t* next = Row(b, b.height - 1 - std::min<std::int64_t>(y, b.height - 1));
    BlendBytes(from, next, bytes * static_cast<std::size_t>(shared), step, out);
    if (shared == columns) continue;
    // Past b's width every pixel meets b's last one in the row.
    for (std::size_t i = 0; i < kRepeated; ++i)
      std::memcpy(repeated + bytes * i, next + bytes * (static_cast<std::size_t>(b.width) - 1),
                  bytes);
    for (std::int32_t x = shared; x < columns;) {
      const auto n = std::min<std::size_t>(kRepeated, static_cast<std::size_t>(columns - x));
      BlendBytes(from + bytes * static_cast<std::size_t>(x), repeated, bytes * n, step,
                 out + bytes * static_cast<std::size_t>(x));
      x += static_cast<std::int32_t>(n);
    }
  }
}

}  // namespace stillreel
