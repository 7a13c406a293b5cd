#include "image/bmp_rows.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "image/pixel_stores.h"
#include "simd/simd.h"

namespace stillreel {
namespace {

inline std::uint32_t Scale(const Channel& c, std::uint32_t pixel) {
  const std::uint64_t x = std::uint64_t{(pixel & c.mask) >> c.shift} * c.factor + c.half;
  return static_cast<std::uint32_t>((x + (x >> c.bits) + 1) >> c.bits);
}

}  // namespace

Channel MakeChannel(std::uint32_t mask) {
  Channel channel;
  if (mask == 0) return channel;
  const auto width = static_cast<unsigned>(std::popcount(mask));
  channel.mask = mask;
  channel.shift = static_cast<unsigned>(std::countr_zero(mask));
  channel.bits = width * ((8 + width - 1) / width);
  const std::uint64_t widened = (std::uint64_t{1} << channel.bits) - 1;
  channel.factor = 255 * (widened / ((std::uint64_t{1} << width) - 1));
  channel.half = widened / 2;
  return channel;
}

void DecodeAlpha(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                 std::int32_t bitCount, const Channel& alpha, std::uint8_t* out) {
  const std::int64_t whole = std::min(width, have / (bitCount / 8));
  std::int64_t x = 0;
  if (bitCount == 16) {
    for (; x < whole; ++x)
      out[x] = static_cast<std::uint8_t>(Scale(alpha, in[2 * x] | in[2 * x + 1] << 8));
  } else {
    for (; x < whole; ++x) {
      const std::uint8_t* p = in + 4 * x;
      const std::uint32_t pixel = p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
      out[x] = static_cast<std::uint8_t>(Scale(alpha, pixel));
    }
  }
  std::memset(out + whole, 255, static_cast<std::size_t>(width - whole));
}

void FieldsWords(const RowTables& tables, Colour* words) {
  const Channel red = tables.channels[0], green = tables.channels[1], blue = tables.channels[2];
  const auto wide = [](const Channel& c) { return std::popcount(c.mask) > 8; };
  if (wide(red) || wide(green) || wide(blue)) {
    for (std::uint32_t w = 0; w < 65536; ++w)
      words[w] = Scale(blue, w) | Scale(green, w) << 8 | Scale(red, w) << 16;
    return;
  }
  // Each channel's at most 256 levels scaled once, then looked up.
  std::uint8_t levels[3][256];
  for (std::size_t c = 0; c < 3; ++c) {
    const Channel& channel = tables.channels[c];
    for (std::uint32_t v = 0; v <= (channel.mask >> channel.shift); ++v)
      levels[c][v] = static_cast<std::uint8_t>(Scale(channel, v << channel.shift));
  }
  for (std::uint32_t w = 0; w < 65536; ++w) {
    words[w] = Colour{levels[2][(w & blue.mask) >> blue.shift]} |
               Colour{levels[1][(w & green.mask) >> green.shift]} << 8 |
               Colour{levels[0][(w & red.mask) >> red.shift]} << 16;
  }
}

namespace {

// The channels copied out of the tables: stores to the row may alias the
// tables, which would reload them for every pixel.
template <class PixelOf>
void PutFields(std::uint8_t* out, std::int64_t count, const RowTables& tables, PixelOf pixelOf) {
  const Channel red = tables.channels[0], green = tables.channels[1], blue = tables.channels[2];
  PutPixels(out, 0, count, [&](std::int64_t x) {
    const std::uint32_t p = pixelOf(x);
    return Scale(blue, p) | Scale(green, p) << 8 | Scale(red, p) << 16;
  });
}

}  // namespace

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

std::int64_t DecodePalette2(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have * 4);
  const Colour* palette = tables.palette.data();
  std::int64_t x = 0;
  for (; x + 4 < complete; x += 4) {  // a byte at a time while a pixel follows
    const std::uint8_t b = in[x / 4];
    for (int j = 0; j < 4; ++j)
      PutWhole(out + 3 * (x + j), palette[(b >> (6 - 2 * j)) & 3]);
  }
  PutPixels(out, x, complete, [in, palette](std::int64_t i) {
    return palette[(in[i / 4] >> (6 - 2 * (i & 3))) & 3];
  });
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

bool FieldsInVectors(const RowTables& tables) {
  const FieldsKernel* vector = Kernels().fields;
  return vector != nullptr && vector->fits(tables);
}

namespace {

// The first pixels of a row of kBytes-byte pixels through the vector kernel,
// where it runs; returns how many it did.
template <int kBytes>
std::int64_t FieldsPrefix(const std::uint8_t* in, std::int64_t count, const RowTables& tables,
                          std::uint8_t* out) {
  const FieldsKernel* vector = Kernels().fields;
  if (vector == nullptr || !vector->fits(tables)) return 0;
  return (kBytes == 2 ? vector->row16 : vector->row32)(in, count, tables, out);
}

}  // namespace

std::int64_t DecodeFields16(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 2);
  const std::int64_t done = FieldsPrefix<2>(in, complete, tables, out);
  in += 2 * done;
  out += 3 * done;
  if (const Colour* words = tables.words) {
    PutPixels(out, 0, complete - done,
              [in, words](std::int64_t x) { return words[in[2 * x] | (in[2 * x + 1] << 8)]; });
  } else {
    PutFields(out, complete - done, tables,
              [in](std::int64_t x) { return in[2 * x] | (std::uint32_t{in[2 * x + 1]} << 8); });
  }
  return complete;
}

std::int64_t DecodeBytes32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                           const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 4);
  // Bytes scale to themselves: the fields' vector path moves them.
  const std::int64_t done = FieldsPrefix<4>(in, complete, tables, out);
  in += 4 * done;
  out += 3 * done;
  const unsigned red = tables.channels[0].shift / 8, green = tables.channels[1].shift / 8,
                 blue = tables.channels[2].shift / 8;
  PutPixels(out, 0, complete - done, [in, red, green, blue](std::int64_t x) {
    const std::uint8_t* p = in + 4 * x;
    return Colour{p[blue]} | Colour{p[green]} << 8 | Colour{p[red]} << 16;
  });
  return complete;
}

std::int64_t DecodeFields32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out) {
  const std::int64_t complete = std::min(width, have / 4);
  const std::int64_t done = FieldsPrefix<4>(in, complete, tables, out);
  in += 4 * done;
  out += 3 * done;
  PutFields(out, complete - done, tables, [in](std::int64_t x) {
    const std::uint8_t* p = in + 4 * x;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
  });
  return complete;
}

}  // namespace stillreel
