// Bit-field rows in NEON, eight pixels at a time, for channels that widen to
// 16 bits at most.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_NEON
#include <arm_neon.h>

#include <algorithm>

#include "image/bmp_rows.h"

namespace stillreel {
namespace {

// Every value of Scale4 stays in 32 bits when the channel widens to 16 bits
// at most.
bool Fits(const RowTables& tables) {
  return std::all_of(tables.channels.begin(), tables.channels.end(),
                     [](const Channel& c) { return c.bits <= 16; });
}

// A channel's constants in vector registers, the shifts negated (to the right).
struct Lanes {
  uint32x4_t mask, factor, half;
  int32x4_t shift, bits;
};

Lanes LanesOf(const Channel& c) {
  return {vdupq_n_u32(c.mask), vdupq_n_u32(static_cast<std::uint32_t>(c.factor)),
          vdupq_n_u32(static_cast<std::uint32_t>(c.half)),
          vdupq_n_s32(-static_cast<std::int32_t>(c.shift)),
          vdupq_n_s32(-static_cast<std::int32_t>(c.bits))};
}

// Four pixels' channel as the scalar Scale computes it.
inline uint32x4_t Scale4(uint32x4_t pixels, const Lanes& c) {
  const uint32x4_t v = vshlq_u32(vandq_u32(pixels, c.mask), c.shift);
  const uint32x4_t x = vmlaq_u32(c.half, v, c.factor);
  return vshlq_u32(vaddq_u32(vaddq_u32(x, vshlq_u32(x, c.bits)), vdupq_n_u32(1)), c.bits);
}

// Eight pixels' channel as bytes.
inline uint8x8_t Scale8(uint32x4_t low, uint32x4_t high, const Lanes& c) {
  return vmovn_u16(vcombine_u16(vmovn_u32(Scale4(low, c)), vmovn_u32(Scale4(high, c))));
}

// Pixels of kBytes bytes eight at a time, stored as blue, green, red
// triples; returns how many it did.
template <int kBytes>
std::int64_t FieldsNeon(const std::uint8_t* in, std::int64_t count, const RowTables& tables,
                        std::uint8_t* out) {
  const Lanes red = LanesOf(tables.channels[0]), green = LanesOf(tables.channels[1]),
              blue = LanesOf(tables.channels[2]);
  std::int64_t x = 0;
  for (; x + 8 <= count; x += 8) {
    uint32x4_t low, high;
    if constexpr (kBytes == 4) {
      low = vreinterpretq_u32_u8(vld1q_u8(in + 4 * x));
      high = vreinterpretq_u32_u8(vld1q_u8(in + 4 * x + 16));
    } else {
      const uint16x8_t words = vreinterpretq_u16_u8(vld1q_u8(in + 2 * x));
      low = vmovl_u16(vget_low_u16(words));
      high = vmovl_high_u16(words);
    }
    const uint8x8x3_t colours = {
        {Scale8(low, high, blue), Scale8(low, high, green), Scale8(low, high, red)}};
    vst3_u8(out + 3 * x, colours);
  }
  return x;
}

}  // namespace

const FieldsKernel kFieldsNeon = {Fits, FieldsNeon<2>, FieldsNeon<4>};

}  // namespace stillreel

#endif  // STILLREEL_SIMD_NEON
