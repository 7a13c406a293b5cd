// Grey rows in AVX2, 32 pixels at a time: each pixel's sum in a 32-bit lane,
// from two multiply-adds of 16-bit pairs, (blue, green) and (red, green),
// green's weight halved so that every weight fits a signed 16-bit lane.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_X86
#include <immintrin.h>

#define STILLREEL_AVX2 __attribute__((target("avx2")))

namespace stillreel {
namespace {

// Four pixels in each 128-bit half, as the 32-bit lanes of the rounded
// grey. The shuffles pick each pixel's bytes of the half's first twelve, or
// of the twelve after its first four where the masks say so.
STILLREEL_AVX2 inline __m256i Grey8(__m256i bytes, __m256i blueGreen, __m256i redGreen) {
  const __m256i weightsBlueGreen = _mm256_set1_epi32(7471 | 19235 << 16);
  const __m256i weightsRedGreen = _mm256_set1_epi32(19595 | 19235 << 16);
  const __m256i bg = _mm256_madd_epi16(_mm256_shuffle_epi8(bytes, blueGreen), weightsBlueGreen);
  const __m256i rg = _mm256_madd_epi16(_mm256_shuffle_epi8(bytes, redGreen), weightsRedGreen);
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(bg, rg), _mm256_set1_epi32(32768)),
                           16);
}

STILLREEL_AVX2 inline __m256i Load2(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

}  // namespace

// Every load lies within the 96 bytes of the 32 pixels: the last four
// pixels are read from 16 bytes that end where the pixels end.
STILLREEL_AVX2 std::size_t GreyAvx2(const std::uint8_t* bgr, std::size_t count,
                                    std::uint8_t* grey) {
  const __m256i blueGreen =
      _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                       0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
  const __m256i redGreen =
      _mm256_setr_epi8(2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1,  //
                       2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1);
  const __m256i blueGreenLast =
      _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                       4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1);
  const __m256i redGreenLast =
      _mm256_setr_epi8(2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1,  //
                       6, -1, 5, -1, 9, -1, 8, -1, 12, -1, 11, -1, 15, -1, 14, -1);
  std::size_t x = 0;
  for (; x + 32 <= count; x += 32) {
    const std::uint8_t* p = bgr + 3 * x;
    // Pixels 0-3 | 8-11, 4-7 | 12-15, 16-19 | 24-27, 20-23 | 28-31: the
    // packs below then put them in order but for one swap of 8-byte words.
    const __m256i s0 = Grey8(Load2(p, p + 24), blueGreen, redGreen);
    const __m256i s1 = Grey8(Load2(p + 12, p + 36), blueGreen, redGreen);
    const __m256i s2 = Grey8(Load2(p + 48, p + 72), blueGreen, redGreen);
    const __m256i s3 = Grey8(Load2(p + 60, p + 80), blueGreenLast, redGreenLast);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(s0, s1), _mm256_packs_epi32(s2, s3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(grey + x),
                        _mm256_permute4x64_epi64(bytes, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  return x;
}

}  // namespace stillreel

#endif  // STILLREEL_SIMD_X86
