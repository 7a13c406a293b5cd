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

// One colour of a bit-field picture, scaled as round(v x 255 / (2^w - 1))
// for a mask w bits wide. A mask under 8 bits is first widened to `bits`, a
// whole multiple of w of at least 8, by repeating its bits (which keeps the
// ratio exact); then (x + (x >> bits) + 1) >> bits divides exactly by
// 2^bits - 1, where x = v x factor + half.
struct Channel {
  std::uint32_t mask = 0;
  unsigned shift = 0;  // of the mask's lowest bit
  unsigned bits = 8;
  std::uint64_t factor = 0;  // 255 x the widening multiplier; 0 for an empty mask
  std::uint64_t half = 0;    // half of 2^bits - 1, rounded down
};

// The channel of a contiguous mask (an empty one gives 0).
Channel MakeChannel(std::uint32_t mask);

// What a row decoder needs besides the row itself.
struct RowTables {
  // The colour of each palette index; black beyond the colour table.
  std::array<Colour, 256> palette{};
  // 16-bit words: the masks of red, green and blue and the right shift that
  // brings each to five bits or fewer.
  std::array<std::uint32_t, 3> masks = {0x7C00, 0x03E0, 0x001F};
  std::array<int, 3> shifts = {10, 5, 0};
  // The colour of every 16-bit word, for pictures worth the table; or null.
  const Colour* words = nullptr;
  // Full reading's bit fields: red, green and blue.
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
// Each channel keeps at most five bits and is scaled by 8: 0 to 248.
std::int64_t DecodeMasks16(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                           const RowTables& tables, std::uint8_t* out);
std::int64_t DecodeBgr24(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                         const RowTables& tables, std::uint8_t* out);
// The fourth byte of each pixel is dropped.
std::int64_t DecodeBgrx32(const std::uint8_t* in, std::int64_t have, std::int64_t width,
                          const RowTables& tables, std::uint8_t* out);

// Full reading's bit fields: each channel scaled to 0 to 255 (see Channel),
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

// The colour of the 16-bit word w under the tables' masks.
Colour Word16(const RowTables& tables, std::uint32_t w);
// The colour of every 16-bit word under the tables' channels, into words[65536].
void FieldsWords(const RowTables& tables, Colour* words);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_ROWS_H_
