#include "convert/cross_fade.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

namespace stillreel {

std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n) {
  // Two products rounded separately, then the sum, then truncation: the
  // build keeps the compiler from fusing them into one multiply-add.
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  return static_cast<std::uint8_t>(a * s + b * t);
}

std::int32_t CrossFade(const Image& a, const Image& b, std::int32_t l, std::int32_t n, Image& c) {
  // Every output value is one of 256 x 256 blends, so they are computed once
  // per step with the exact formula and then looked up.
  using Table = std::array<std::array<std::uint8_t, 256>, 256>;
  std::unique_ptr<Table> table(new (std::nothrow) Table);
  if (!table) return 0;
  for (int i = 0; i < 256; ++i) {
    for (int j = 0; j < 256; ++j) {
      (*table)[i][j] =
          BlendChannel(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j), l, n);
    }
  }
  const std::int32_t width = std::min(c.width, a.width);
  const std::int32_t height = std::min(c.height, a.height);
  for (std::int32_t x = 0; x < width; ++x) {
    const Pixel* from = Column(a, x);
    const Pixel* to = Column(b, std::min(x, b.width - 1));
    Pixel* out = Column(c, x);
    const std::int32_t shared = std::min(height, b.height);
    for (std::int32_t y = 0; y < height; ++y) {
      const Pixel& p = from[y];
      const Pixel& q = to[y < shared ? y : b.height - 1];
      out[y].blue = (*table)[p.blue][q.blue];
      out[y].green = (*table)[p.green][q.green];
      out[y].red = (*table)[p.red][q.red];
    }
  }
  return 1;
}

}  // namespace stillreel
