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

void FillBlendTable(BlendTable& table, std::int32_t l, std::int32_t n) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      table[a * 256 + b] =
          BlendChannel(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), l, n);
    }
  }
}

std::int32_t CrossFade(const Image& a, const Image& b, std::int32_t l, std::int32_t n, Image& c) {
  // Every output value is one of 256 x 256 blends, so they are computed once
  // per step with the exact formula and then looked up.
  std::unique_ptr<BlendTable> table(new (std::nothrow) BlendTable);
  if (!table) return 0;
  FillBlendTable(*table, l, n);
  const BlendTable& t = *table;
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
      out[y].blue = t[p.blue * 256 + q.blue];
      out[y].green = t[p.green * 256 + q.green];
      out[y].red = t[p.red * 256 + q.red];
    }
  }
  return 1;
}

void BlendRows(const Dib24& a, const Dib24& b, const BlendTable& table, Dib24& c) {
  const std::uint8_t* x = a.bytes.get();
  const std::uint8_t* y = b.bytes.get();
  std::uint8_t* out = c.bytes.get();
  const std::uint8_t* t = table.data();
  for (std::size_t i = 0; i < c.size; ++i) out[i] = t[x[i] * 256 + y[i]];
}

}  // namespace stillreel
