// Rows of blue, green, red and alpha in AVX2, eight pixels at a time: each
// 128-bit half takes four pixels' twelve bytes and spreads them over its four
// 32-bit lanes, whose top byte is then the alpha.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_X86
#include <immintrin.h>

#define STILLREEL_AVX2 __attribute__((target("avx2")))

namespace stillreel {

STILLREEL_AVX2 std::size_t BgraAvx2(const std::uint8_t* bgr, const std::uint8_t* alpha,
                                    std::size_t count, std::uint8_t* bgra) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  // Alpha x of the eight, read from both halves' copy of them, to byte 3 of lane x.
  const __m256i alphas =
      _mm256_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3, -1, -1, -1, 4,
                       -1, -1, -1, 5, -1, -1, -1, 6, -1, -1, -1, 7);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  std::size_t x = 0;
  // The second half's load reads 4 bytes past the eight pixels: stop while
  // two more pixels follow them.
  for (; x + 10 <= count; x += 8) {
    const std::uint8_t* in = bgr + 3 * x;
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
    __m256i pixels = _mm256_shuffle_epi8(bytes, spread);
    if (alpha) {
      const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(alpha + x));
      pixels =
          _mm256_or_si256(pixels, _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(eight), alphas));
    } else {
      pixels = _mm256_or_si256(pixels, opaque);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bgra + 4 * x), pixels);
  }
  return x;
}

}  // namespace stillreel

#endif  // STILLREEL_SIMD_X86
