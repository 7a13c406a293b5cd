// The blend in AVX2: in integers for counts up to kMaxIntegerBlendCount,
// with three bit sets telling which channel values have lower pairs; else
// the formula in doubles.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_X86
#include <immintrin.h>

#include <array>
#include <cstring>
#include <memory>

#include "fade/blend.h"
#include "fade/lower_sets.h"

#define STILLREEL_AVX2 __attribute__((target("avx2")))

namespace stillreel {
namespace {

// The lower pairs' bit sets (LowerBits) and what the blend needs besides.
struct Avx2Tables : LowerBits {
  bool integer = false;
  bool lower = false;  // some pairs are lower
  IntegerDivision division;
};

void Prepare(BlendStep& step) {
  auto tables = std::make_shared<Avx2Tables>();
  LowerPairs lower;
  if (FindIntegerDivision(step.l, step.n, tables->division) &&
      FindLowerPairs(step.l, step.n, lower)) {
    tables->integer = true;
    tables->lower = !lower.pairs.empty();
    static_cast<LowerBits&>(*tables) = BitsOf(lower);
  }
  step.tables = std::move(tables);
}

// Four channels: a * s and b * t each rounded, then their sum, then the
// truncation, exactly as the scalar formula does it (the target has no fused
// multiply-add to fold them into).
STILLREEL_AVX2 __attribute__((always_inline)) inline __m128i Blend4(__m128i a, __m128i b, __m256d s,
                                                                    __m256d t) {
  const __m256d x = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(a));
  const __m256d y = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(b));
  return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(x, s), _mm256_mul_pd(y, t)));
}

// The formula in doubles, blocks of 16 bytes; returns how many bytes it did.
STILLREEL_AVX2 std::size_t BlendDoubles(const std::uint8_t* a, const std::uint8_t* b,
                                        std::size_t size, const BlendStep& step,
                                        std::uint8_t* out) {
  const __m256d ws = _mm256_set1_pd(step.s);
  const __m256d wt = _mm256_set1_pd(step.t);
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i r0 = Blend4(va, vb, ws, wt);
    const __m128i r1 = Blend4(_mm_srli_si128(va, 4), _mm_srli_si128(vb, 4), ws, wt);
    const __m128i r2 = Blend4(_mm_srli_si128(va, 8), _mm_srli_si128(vb, 8), ws, wt);
    const __m128i r3 = Blend4(_mm_srli_si128(va, 12), _mm_srli_si128(vb, 12), ws, wt);
    const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(r0, r1), _mm_packus_epi32(r2, r3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
  }
  return i;
}

// Whether bit x of a 256-bit set is set, for 32 bytes x: the set's bytes
// 0-15 are `low` and 16-31 `high`, each in both lanes.
STILLREEL_AVX2 __attribute__((always_inline)) inline __m256i HasBit(__m256i x, __m256i low,
                                                                    __m256i high) {
  const __m256i powers =
      _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16,
                       32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m256i index = _mm256_and_si256(_mm256_srli_epi16(x, 3), _mm256_set1_epi8(0x0F));
  // Bit 7 of x is bit 4 of the byte's index: it picks the high half.
  const __m256i bytes =
      _mm256_blendv_epi8(_mm256_shuffle_epi8(low, index), _mm256_shuffle_epi8(high, index), x);
  const __m256i bit = _mm256_shuffle_epi8(powers, _mm256_and_si256(x, _mm256_set1_epi8(7)));
  return _mm256_cmpeq_epi8(_mm256_and_si256(bytes, bit), bit);
}

STILLREEL_AVX2 __attribute__((always_inline)) inline __m256i BothLanes(const std::uint8_t* bytes) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// The integer blend, 32 channels at a time: each a, b pair is multiplied by
// (n - l, l) and summed in 16 bits, then divided by n. With kLower, pairs
// where n divides k come out one less where they should: a = b from
// lowerSame, the others, where both a and b are among the lower pairs', from
// the formula. Returns how many bytes it did.
template <bool kLower>
STILLREEL_AVX2 std::size_t BlendIntegers(const std::uint8_t* a, const std::uint8_t* b,
                                         std::size_t size, const BlendStep& step,
                                         std::uint8_t* out) {
  const Avx2Tables& tables = *static_cast<const Avx2Tables*>(step.tables.get());
  const __m256i weights = _mm256_set1_epi16(static_cast<short>((step.l << 8) | (step.n - step.l)));
  const __m256i magic = _mm256_set1_epi16(static_cast<short>(tables.division.magic));
  const __m128i shift = _mm_cvtsi32_si128(tables.division.shift);
  const __m256i n = _mm256_set1_epi16(static_cast<short>(step.n));
  const __m256i lowA = BothLanes(tables.lowerA.data());
  const __m256i highA = BothLanes(tables.lowerA.data() + 16);
  const __m256i lowB = BothLanes(tables.lowerB.data());
  const __m256i highB = BothLanes(tables.lowerB.data() + 16);
  const __m256i lowSame = BothLanes(tables.lowerSame.data());
  const __m256i highSame = BothLanes(tables.lowerSame.data() + 16);
  const double s = step.s, t = step.t;
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(va, vb), weights);
    const __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(va, vb), weights);
    const __m256i qlo = _mm256_srl_epi16(_mm256_mulhi_epu16(lo, magic), shift);
    const __m256i qhi = _mm256_srl_epi16(_mm256_mulhi_epu16(hi, magic), shift);
    __m256i bytes = _mm256_packus_epi16(qlo, qhi);
    if constexpr (kLower) {
      const __m256i same = _mm256_cmpeq_epi8(va, vb);
      bytes = _mm256_add_epi8(bytes, _mm256_and_si256(same, HasBit(va, lowSame, highSame)));
      const __m256i whole = _mm256_packs_epi16(_mm256_cmpeq_epi16(_mm256_mullo_epi16(qlo, n), lo),
                                               _mm256_cmpeq_epi16(_mm256_mullo_epi16(qhi, n), hi));
      const __m256i maybe = _mm256_andnot_si256(
          same, _mm256_and_si256(
                    whole, _mm256_and_si256(HasBit(va, lowA, highA), HasBit(vb, lowB, highB))));
      auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(maybe));
      if (m != 0) {
        // Corrected before the store, which may overwrite a or b.
        alignas(32) std::uint8_t fixed[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(fixed), bytes);
        for (; m != 0; m &= m - 1) {
          const auto j = static_cast<std::size_t>(__builtin_ctz(m));
          fixed[j] = BlendWeighted(a[i + j], b[i + j], s, t);
        }
        bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(fixed));
      }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
  }
  return i;
}

std::size_t BlendWhole(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                       const BlendStep& step, std::uint8_t* out) {
  const Avx2Tables& tables = *static_cast<const Avx2Tables*>(step.tables.get());
  if (!tables.integer) return BlendDoubles(a, b, size, step, out);
  if (!tables.lower) return BlendIntegers<false>(a, b, size, step, out);
  return BlendIntegers<true>(a, b, size, step, out);
}

// Whole vectors, then the rest through copies padded to one.
void Blend(const std::uint8_t* a, const std::uint8_t* b, std::size_t size, const BlendStep& step,
           std::uint8_t* out) {
  BlendPadded<32>(a, b, size, out,
                  [&step](const std::uint8_t* x, const std::uint8_t* y, std::size_t n,
                          std::uint8_t* to) { return BlendWhole(x, y, n, step, to); });
}

}  // namespace

const BlendKernel kBlendAvx2 = {Prepare, Blend};

}  // namespace stillreel

#endif  // STILLREEL_SIMD_X86
