// Stores of blue, green, red triples into rows of the frame's form, shared
// by the row decoders and the run-length decoder. Header-only so that they
// inline into each decoder's loop.
#ifndef STILLREEL_IMAGE_PIXEL_STORES_H_
#define STILLREEL_IMAGE_PIXEL_STORES_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace stillreel {

// A colour: blue | green << 8 | red << 16, and above them a byte that no
// frame shows.
using Colour = std::uint32_t;

// Four pixels stored as 12 bytes. On a little-endian machine they are packed
// into three words: no two stores overlap, which keeps the stores to a buffer
// in cache from waiting on each other.
inline void PutFour(std::uint8_t* out, Colour c0, Colour c1, Colour c2, Colour c3) {
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint32_t w0 = (c0 & 0xFFFFFF) | (c1 << 24);
    const std::uint32_t w1 = ((c1 >> 8) & 0xFFFF) | (c2 << 16);
    const std::uint32_t w2 = ((c2 >> 16) & 0xFF) | (c3 << 8);
    std::memcpy(out, &w0, 4);
    std::memcpy(out + 4, &w1, 4);
    std::memcpy(out + 8, &w2, 4);
  } else {
    const Colour colours[4] = {c0, c1, c2, c3};
    for (int j = 0; j < 4; ++j) {
      out[3 * j] = static_cast<std::uint8_t>(colours[j]);
      out[3 * j + 1] = static_cast<std::uint8_t>(colours[j] >> 8);
      out[3 * j + 2] = static_cast<std::uint8_t>(colours[j] >> 16);
    }
  }
}

inline void PutOne(std::uint8_t* out, Colour c) {
  out[0] = static_cast<std::uint8_t>(c);
  out[1] = static_cast<std::uint8_t>(c >> 8);
  out[2] = static_cast<std::uint8_t>(c >> 16);
}

// One pixel stored as all four bytes of its colour: the fourth lands on the
// next pixel, which must be stored after it.
inline void PutWhole(std::uint8_t* out, Colour c) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &c, 4);
  } else {
    PutOne(out, c);
  }
}

// Pixels `from` to count - 1, pixel x being colourOf(x).
template <class ColourOf>
inline void PutPixels(std::uint8_t* out, std::int64_t from, std::int64_t count, ColourOf colourOf) {
  std::int64_t x = from;
  for (; x + 4 <= count; x += 4)
    PutFour(out + 3 * x, colourOf(x), colourOf(x + 1), colourOf(x + 2), colourOf(x + 3));
  for (; x < count; ++x)
    PutOne(out + 3 * x, colourOf(x));
}

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_PIXEL_STORES_H_
