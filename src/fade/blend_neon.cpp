// The blend in NEON: in integers for counts up to kMaxIntegerBlendCount,
// with three bit sets telling which channel values have lower pairs; else a
// table of every blend, looked up a byte at a time.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_NEON
#include <arm_neon.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fade/blend.h"
#include "fade/lower_sets.h"

namespace stillreel {
namespace {

// The lower pairs' bit sets (LowerBits) and what the blend needs besides.
struct NeonTables : LowerBits {
  bool integer = false;
  bool lower = false;  // some pairs are lower
  IntegerDivision division;
  // Without an integer blend: entry a x 256 + b is the blend of a and b.
  std::vector<std::uint8_t> table;
};

void Prepare(BlendStep& step) {
  auto tables = std::make_shared<NeonTables>();
  LowerPairs lower;
  if (FindIntegerDivision(step.l, step.n, tables->division) &&
      FindLowerPairs(step.l, step.n, lower)) {
    tables->integer = true;
    tables->lower = !lower.pairs.empty();
    static_cast<LowerBits&>(*tables) = BitsOf(lower);
  } else {
    tables->table.resize(256 * 256);
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b < 256; ++b) {
        tables->table[static_cast<std::size_t>(a * 256 + b)] = BlendWeighted(
            static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), step.s, step.t);
      }
    }
  }
  step.tables = std::move(tables);
}

// Whether bit x of a 256-bit set is set, for 16 bytes x.
inline uint8x16_t HasBit(uint8x16_t x, uint8x16x2_t set) {
  const uint8x16_t bytes = vqtbl2q_u8(set, vshrq_n_u8(x, 3));
  const uint8x16_t bit = vshlq_u8(vdupq_n_u8(1), vreinterpretq_s8_u8(vandq_u8(x, vdupq_n_u8(7))));
  return vtstq_u8(bytes, bit);
}

inline uint8x16x2_t LoadSet(const std::array<std::uint8_t, 32>& set) {
  return {{vld1q_u8(set.data()), vld1q_u8(set.data() + 16)}};
}

// (k x magic) >> (16 + shift) in each lane, `right` being -shift.
inline uint16x8_t Divide(uint16x8_t k, uint16x8_t magic, int16x8_t right) {
  const uint32x4_t low = vmull_u16(vget_low_u16(k), vget_low_u16(magic));
  const uint32x4_t high = vmull_high_u16(k, magic);
  return vshlq_u16(vuzp2q_u16(vreinterpretq_u16_u32(low), vreinterpretq_u16_u32(high)), right);
}

// The integer blend, 16 channels at a time: each a, b pair is multiplied by
// (n - l, l) and summed in 16 bits, then divided by n. With kLower, pairs
// where n divides k come out one less where they should: a = b from
// lowerSame, the others, where both a and b are among the lower pairs', from
// the formula. Returns how many bytes it did.
template <bool kLower>
std::size_t BlendIntegers(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                          const BlendStep& step, std::uint8_t* out) {
  const NeonTables& tables = *static_cast<const NeonTables*>(step.tables.get());
  const uint8x16_t wa = vdupq_n_u8(static_cast<std::uint8_t>(step.n - step.l));
  const uint8x16_t wb = vdupq_n_u8(static_cast<std::uint8_t>(step.l));
  const uint16x8_t magic = vdupq_n_u16(tables.division.magic);
  const int16x8_t right = vdupq_n_s16(static_cast<std::int16_t>(-tables.division.shift));
  const uint16x8_t n = vdupq_n_u16(static_cast<std::uint16_t>(step.n));
  const uint8x16x2_t lowerA = LoadSet(tables.lowerA);
  const uint8x16x2_t lowerB = LoadSet(tables.lowerB);
  const uint8x16x2_t lowerSame = LoadSet(tables.lowerSame);
  const double s = step.s, t = step.t;
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const uint8x16_t va = vld1q_u8(a + i);
    const uint8x16_t vb = vld1q_u8(b + i);
    const uint16x8_t lo =
        vmlal_u8(vmull_u8(vget_low_u8(va), vget_low_u8(wa)), vget_low_u8(vb), vget_low_u8(wb));
    const uint16x8_t hi = vmlal_high_u8(vmull_high_u8(va, wa), vb, wb);
    const uint16x8_t qlo = Divide(lo, magic, right);
    const uint16x8_t qhi = Divide(hi, magic, right);
    uint8x16_t bytes = vuzp1q_u8(vreinterpretq_u8_u16(qlo), vreinterpretq_u8_u16(qhi));
    if constexpr (kLower) {
      const uint8x16_t same = vceqq_u8(va, vb);
      bytes = vaddq_u8(bytes, vandq_u8(same, HasBit(va, lowerSame)));
      const uint8x16_t whole = vuzp1q_u8(vreinterpretq_u8_u16(vceqq_u16(vmulq_u16(qlo, n), lo)),
                                         vreinterpretq_u8_u16(vceqq_u16(vmulq_u16(qhi, n), hi)));
      const uint8x16_t maybe =
          vbicq_u8(vandq_u8(whole, vandq_u8(HasBit(va, lowerA), HasBit(vb, lowerB))), same);
      if (vmaxvq_u8(maybe) != 0) {
        // Corrected before the store, which may overwrite a or b.
        std::uint8_t fixed[16], which[16];
        vst1q_u8(fixed, bytes);
        vst1q_u8(which, maybe);
        for (std::size_t j = 0; j < 16; ++j) {
          if (which[j] != 0) fixed[j] = BlendWeighted(a[i + j], b[i + j], s, t);
        }
        bytes = vld1q_u8(fixed);
      }
    }
    vst1q_u8(out + i, bytes);
  }
  return i;
}

std::size_t BlendWhole(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                       const BlendStep& step, std::uint8_t* out) {
  const NeonTables& tables = *static_cast<const NeonTables*>(step.tables.get());
  if (!tables.lower) return BlendIntegers<false>(a, b, size, step, out);
  return BlendIntegers<true>(a, b, size, step, out);
}

// Whole vectors, then the rest through copies padded to one.
void Blend(const std::uint8_t* a, const std::uint8_t* b, std::size_t size, const BlendStep& step,
           std::uint8_t* out) {
  const NeonTables& tables = *static_cast<const NeonTables*>(step.tables.get());
  if (!tables.integer) {
    const std::uint8_t* table = tables.table.data();
    for (std::size_t i = 0; i < size; ++i)
      out[i] = table[a[i] * 256 + b[i]];
    return;
  }
  BlendPadded<16>(a, b, size, out,
                  [&step](const std::uint8_t* x, const std::uint8_t* y, std::size_t n,
                          std::uint8_t* to) { return BlendWhole(x, y, n, step, to); });
}

}  // namespace

const BlendKernel kBlendNeon = {Prepare, Blend};

}  // namespace stillreel

#endif  // STILLREEL_SIMD_NEON
