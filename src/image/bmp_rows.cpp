#include "image/bmp_rows.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "image/pixel_stores.h"

namespace stillreel {

Colour Word16(const RowTables& tables, std::uint32_t w) {
  const std::uint32_t blue = ((w & tables.masks[2]) >> tables.shifts[2]) * 8;
  const std::uint32_t green = ((w & tables.masks[1]) >> tables.shifts[1]) * 8;
  const std::uint32_t red = ((w & tables.masks[0]) >> tables.shifts[0]) * 8;
  return blue | (green << 8) | (red << 16);
}

std::int64_t DecodePalette1(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have * 8);
  const Colour* palette = tables.palette.data();
  std::int64_t x = 0;
  for (; x + 8 < complete; x += 8) {  // a byte at a time while a pixel follows
    const std::uint8_t b = in[x / 8];
    for (int j = 0; j < 8; ++j)
      PutWhole(out + 3 * (x + j), palette[(b >> (7 - j)) & 1]);
  }
  PutPixels(out, x, complete,
            [in, palette](std::int64_t i) { return palette[(in[i / 8] >> (7 - (i & 7))) & 1]; });
  return complete;
}

std::int64_t DecodePalette4(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have * 2);
  const Colour* palette = tables.palette.data();
  std::int64_t x = 0;
  for (; x + 2 < complete; x += 2) {  // a byte at a time while a pixel follows
    const std::uint8_t b = in[x / 2];
    PutWhole(out + 3 * x, palette[b >> 4]);
    PutWhole(out + 3 * (x + 1), palette[b & 0x0F]);
  }
  PutPixels(out, x, complete, [in, palette](std::int64_t i) {
    const std::uint8_t b = in[i / 2];
    return palette[(i & 1) ? (b & 0x0F) : (b >> 4)];
  });
  return complete;
}

std::int64_t DecodePalette8(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have);
  const Colour* palette = tables.palette.data();
  PutPixels(out, 0, complete, [in, palette](std::int64_t x) { return palette[in[x]]; });
  return complete;
}

std::int64_t DecodeMasks16(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                           const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 2);
  if (const Colour* words = tables.words) {
    PutPixels(out, 0, complete,
              [in, words](std::int64_t x) { return words[in[2 * x] | (in[2 * x + 1] << 8)]; });
  } else {
    for (std::int64_t x = 0; x < complete; ++x)
      PutOne(out + 3 * x, Word16(tables, in[2 * x] | (std::uint32_t{in[2 * x + 1]} << 8)));
  }
  return complete;
}

std::int64_t DecodeBgr24(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                         const RowTables&, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 3);
  std::memcpy(out, in, static_cast<std::size_t>(3 * complete));
  return complete;
}

std::int64_t DecodeBgrx32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                          const RowTables&, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 4);
  PutPixels(out, 0, complete, [in](std::int64_t x) {
    const std::uint8_t* p = in + 4 * x;
    if constexpr (std::endian::native == std::endian::little) {
      Colour colour;
      std::memcpy(&colour, p, 4);
      return colour;
    }
    return Colour{p[0]} | Colour{p[1]} << 8 | Colour{p[2]} << 16;
  });
  return complete;
}

}  // namespace stillreel
