// Bit-field rows in AVX2, eight pixels at a time, for channels that widen to
// 16 bits at most.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_X86
#include <immintrin.h>

#include <algorithm>

#include "image/bmp_rows.h"

namespace stillreel {
namespace {

// Every value of Scale8 stays in 32 bits when the channel widens to 16 bits
// at most.
bool Fits(const RowTables& tables) {
  return std::all_of(tables.channels.begin(), tables.channels.end(),
                     [](const Channel& c) { return c.bits <= 16; });
}

// Eight pixels' channel as the scalar Scale computes it.
__attribute__((target("avx2"), always_inline)) inline __m256i Scale8(__m256i pixels,
                                                                     const Channel& c) {
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(c.shift));
  const __m128i bits = _mm_cvtsi32_si128(static_cast<int>(c.bits));
  const __m256i v = _mm256_srl_epi32(
      _mm256_and_si256(pixels, _mm256_set1_epi32(static_cast<int>(c.mask))), shift);
  const __m256i x =
      _mm256_add_epi32(_mm256_mullo_epi32(v, _mm256_set1_epi32(static_cast<int>(c.factor))),
                       _mm256_set1_epi32(static_cast<int>(c.half)));
  return _mm256_srl_epi32(
      _mm256_add_epi32(_mm256_add_epi32(x, _mm256_srl_epi32(x, bits)), _mm256_set1_epi32(1)), bits);
}

// Pixels of kBytes bytes eight at a time while two more follow them (each
// store writes four bytes beyond its twelve, which the next pixels' stores
// overwrite); returns how many it did.
template <int kBytes>
__attribute__((target("avx2"))) std::int64_t FieldsAvx2(const std::uint8_t* in, std::int64_t count,
                                                        const RowTables& tables,
                                                        std::uint8_t* out) {
  const Channel red = tables.channels[0], green = tables.channels[1], blue = tables.channels[2];
  // Blue, green, red of each pixel, its fourth byte dropped, within each half.
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                        1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  std::int64_t x = 0;
  for (; x + 10 <= count; x += 8) {
    const __m256i pixels =
        kBytes == 4
            ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * x))
            : _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * x)));
    const __m256i colours = _mm256_or_si256(
        Scale8(pixels, blue), _mm256_or_si256(_mm256_slli_epi32(Scale8(pixels, green), 8),
                                              _mm256_slli_epi32(Scale8(pixels, red), 16)));
    const __m256i packed = _mm256_shuffle_epi8(colours, pack);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm256_castsi256_si128(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 12),
                     _mm256_extracti128_si256(packed, 1));
  }
  return x;
}

}  // namespace

const FieldsKernel kFieldsAvx2 = {Fits, FieldsAvx2<2>, FieldsAvx2<4>};

}  // namespace stillreel

#endif  // STILLREEL_SIMD_X86
