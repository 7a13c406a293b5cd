// The row decoders of the BMP reader, one per pixel layout. Each turns the
// bytes of one stored row into blue, green, red triples, the frame's own
// form. They read only the bytes they are given and write only the pixels
// they are asked for; the reader around them deals with rows cut short.
#ifndef STILLREEL_IMAGE_BMP_ROWS_H_
#define STILLREEL_IMAGE_BMP_ROWS_H_

#include <array>
#include <cstdint>

#include "image/pixel_stores.h"

namespace stillreel {

// One colour of a 16- or 32-bit picture: v = (pixel & mask) >> shift,
// scaled to (x + (x >> bits) + 1) >> bits where x = v x factor + half.
// MakeChannel's scale is round(v x 255 / (2^w - 1)) for a mask w bits wide:
// a mask under 8 bits is first widened to `bits`, a whole multiple of w of
// at least 8, by repeating its bits (which keeps the ratio exact); then the
// formula divides exactly by 2^bits - 1. Classic reading scales otherwise
// (bmp_classic.cpp).
struct Channel {
  std::uint32_t mask = 0;
  unsigned shift = 0;  // MakeChannel's: of the mask's lowest bit
  unsigned bits = 8;
  std::uint64_t factor = 0;  // MakeChannel's: 255 x the widening multiplier; 0 for no mask
  std::uint64_t half = 0;    // MakeChannel's: half of 2^bits - 1, rounded down
};

// The channel of a contiguous mask (an empty one gives 0).
Channel MakeChannel(std::uint32_t mask);

// What a row decoder needs besides the row itself.
struct RowTables {
  // The colour of each palette index; black beyond the colour table.
  std::array<Colour, 256> palette{};
  // The colour of every 16-bit word, for pictures worth the table; or null.
  const Colour* words = nullptr;
  // Red, green and blue of 16- and 32-bit pictures.
  std::array<Channel, 3> channels{};
};

// Decodes the first `width` pixels of a stored row of which `in` holds
// `have` bytes into 3 x width bytes at `out`. Returns how many pixels the
// bytes held whole; pixels beyond them are left alone.
using RowDecoder = std::int64_t (*)(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                                    const RowTables& tables, std::uint8_t* out);

std::int64_t DecodePalette1(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
std::int64_t DecodePalette2(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
std::int64_t DecodePalette4(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
std::int64_t DecodePalette8(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
std::int64_t DecodeBgr24(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                         const RowTables& tables, std::uint8_t* out);
// The fourth byte of each pixel is dropped.
std::int64_t DecodeBgrx32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                          const RowTables& tables, std::uint8_t* out);

// Bit fields: each channel scaled as its Channel says,
// eight pixels at a time in vector registers when FieldsInVectors says the
// processor and the channels allow it.
bool FieldsInVectors(const RowTables& tables);
std::int64_t DecodeFields16(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
std::int64_t DecodeFields32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                            const RowTables& tables, std::uint8_t* out);
// 32-bit bit fields whose channels are whole bytes, in any order.
std::int64_t DecodeBytes32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                           const RowTables& tables, std::uint8_t* out);

// The alpha of the first `width` pixels of a 16- or 32-bit stored row of
// which `in` holds `have` bytes, into width bytes at `out`: 255 for pixels
// the bytes do not hold whole.
void DecodeAlpha(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                 std::int32_t bitCount, const Channel& alpha, std::uint8_t* out);

// The colour of every 16-bit word under the tables' channels, into words[65536].
void FieldsWords(const RowTables& tables, Colour* words);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_ROWS_H_
