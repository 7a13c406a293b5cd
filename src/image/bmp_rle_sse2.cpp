// RLE4 indices in SSE2: a block of 32 from 16 bytes of codes.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_X86
#include <emmintrin.h>

namespace stillreel {

// High nibbles first, side by side with the low ones.
__attribute__((target("sse2"))) void UnpackNibblesSse2(std::uint8_t* to, const std::uint8_t* in) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0F));
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(high, low));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), _mm_unpackhi_epi8(high, low));
}

}  // namespace stillreel

#endif  // STILLREEL_SIMD_X86
