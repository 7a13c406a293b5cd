#include "convert/cross_fade.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace stillreel {

std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n) {
  // Two products rounded separately, then the sum, then truncation: the
  // build keeps the compiler from fusing them into one multiply-add.
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  return static_cast<std::uint8_t>(a * s + b * t);
}

namespace {

void FillBlendTable(BlendTable& table, std::int32_t l, std::int32_t n) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      table[a * 256 + b] =
          BlendChannel(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), l, n);
    }
  }
}

}  // namespace

void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n) {
  step.t = static_cast<double>(l) / static_cast<double>(n);
  step.s = 1.0 - step.t;
  step.l = l;
  step.n = n;
  step.shift = -1;
  if (n >= 2 && n <= 128 && (n & (n - 1)) == 0)
    step.shift = __builtin_ctz(static_cast<unsigned>(n));
  FillBlendTable(step.table, l, n);
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define STILLREEL_BLEND_AVX2 1

// Four channels: a * s and b * t each rounded, then their sum, then the
// truncation, exactly as the scalar formula does it (the target has no fused
// multiply-add to fold them into).
__attribute__((target("avx2"), always_inline)) inline __m128i Blend4(__m128i a, __m128i b,
                                                                     __m256d s, __m256d t) {
  const __m256d x = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(a));
  const __m256d y = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(b));
  return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(x, s), _mm256_mul_pd(y, t)));
}

// Blends whole blocks of 16 bytes; returns how many bytes it did.
__attribute__((target("avx2"))) std::size_t BlendAvx2(const std::uint8_t* a, const std::uint8_t* b,
                                                      double s, double t, std::uint8_t* out,
                                                      std::size_t size) {
  const __m256d ws = _mm256_set1_pd(s);
  const __m256d wt = _mm256_set1_pd(t);
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

// The same sixteen channels at a time. (GCC 12 takes the intrinsics'
// deliberately undefined start values for uninitialized ones.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f"))) std::size_t BlendAvx512(const std::uint8_t* a,
                                                           const std::uint8_t* b, double s,
                                                           double t, std::uint8_t* out,
                                                           std::size_t size) {
  const __m512d ws = _mm512_set1_pd(s);
  const __m512d wt = _mm512_set1_pd(t);
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m512i va =
        _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
    const __m512i vb =
        _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    const __m512d lo =
        _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(va)), ws),
                      _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(vb)), wt));
    const __m512d hi =
        _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(va, 1)), ws),
                      _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(vb, 1)), wt));
    const __m512i both = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(lo)),
                                            _mm512_cvttpd_epi32(hi), 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(both));
  }
  return i;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// A power-of-two step in integers, 32 channels at a time: each a, b pair is
// multiplied by (n - l, l) and summed in 16 bits, then shifted down.
__attribute__((target("avx2"))) std::size_t BlendShiftAvx2(const std::uint8_t* a,
                                                           const std::uint8_t* b,
                                                           const BlendStep& step, std::uint8_t* out,
                                                           std::size_t size) {
  const __m256i weights = _mm256_set1_epi16(static_cast<short>((step.l << 8) | (step.n - step.l)));
  const __m128i shift = _mm_cvtsi32_si128(step.shift);
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i lo =
        _mm256_srl_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(va, vb), weights), shift);
    const __m256i hi =
        _mm256_srl_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(va, vb), weights), shift);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(lo, hi));
  }
  return i;
}
#endif

}  // namespace

void BlendBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                const BlendStep& step, std::uint8_t* out) {
  std::size_t i = 0;
#ifdef STILLREEL_BLEND_AVX2
  static const int kLevel = __builtin_cpu_supports("avx512f") ? 2
                            : __builtin_cpu_supports("avx2")  ? 1
                                                              : 0;
  if (kLevel >= 1 && step.shift >= 0) {
    i = BlendShiftAvx2(a, b, step, out, size);
  } else if (kLevel == 2) {
    i = BlendAvx512(a, b, step.s, step.t, out, size);
  } else if (kLevel == 1) {
    i = BlendAvx2(a, b, step.s, step.t, out, size);
  }
#endif
  const std::uint8_t* t = step.table.data();
  for (; i < size; ++i)
    out[i] = t[a[i] * 256 + b[i]];
}

void CrossFade(const Image& a, const Image& b, const BlendStep& step, std::int64_t first,
               std::int64_t count, std::int32_t columns, std::uint8_t* out, std::size_t stride) {
  if (a.width == b.width && a.height == b.height && columns == a.width && stride == a.stride) {
    // Rows of one size lie alike in memory: blend them as one block (their
    // zero padding blends to zero).
    BlendBytes(Row(a, first), Row(b, first), static_cast<std::size_t>(count) * stride, step, out);
    return;
  }
  const std::int32_t shared = std::min(columns, b.width);
  const BlendTable& table = step.table;
  for (std::int64_t r = first; r < first + count; ++r, out += stride) {
    // Stored row r is row y from the top; b is sampled at row y, clamped.
    const std::int64_t y = a.height - 1 - r;
    const std::uint8_t* from = Row(a, r);
    BlendBytes(from, Row(b, b.height - 1 - std::min<std::int64_t>(y, b.height - 1)),
               3 * static_cast<std::size_t>(shared), step, out);
    for (std::int32_t x = shared; x < columns; ++x) {
      const Pixel q = PixelAt(b, x, y);
      const std::uint8_t* p = from + 3 * x;
      std::uint8_t* o = out + 3 * x;
      o[0] = table[p[0] * 256 + q.blue];
      o[1] = table[p[1] * 256 + q.green];
      o[2] = table[p[2] * 256 + q.red];
    }
  }
}

}  // namespace stillreel
