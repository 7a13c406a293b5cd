// The blend in AVX-512: in integers for counts up to kMaxIntegerBlendCount,
// 64 channels at a time, with the lower sets looked up in registers; else
// the formula in doubles. x86-64 only (64-bit masks and _pext_u64).
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_AVX512
#include <immintrin.h>

#include <cstring>
#include <memory>

#include "fade/blend.h"
#include "fade/lower_sets.h"

#define STILLREEL_AVX512 __attribute__((target("avx2,bmi2,avx512f,avx512bw,avx512vbmi")))

namespace stillreel {
namespace {

// The blend chosen for the step, in doubles or in integers for its sets.
using Run = void (*)(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                     const BlendStep& step, std::uint8_t* out);

struct Avx512Tables {
  Run run = nullptr;
  IntegerDivision division;
  LowerSets sets;
};

// The formula in doubles, sixteen channels at a time. (GCC 12 takes the
// intrinsics' deliberately undefined start values for uninitialized ones.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
STILLREEL_AVX512 std::size_t BlendDoubles16(const std::uint8_t* a, const std::uint8_t* b,
                                            std::size_t size, const BlendStep& step,
                                            std::uint8_t* out) {
  const __m512d ws = _mm512_set1_pd(step.s);
  const __m512d wt = _mm512_set1_pd(step.t);
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

// Whole blocks, then the rest through copies padded to one.
void BlendDoubles(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                  const BlendStep& step, std::uint8_t* out) {
  BlendPadded<16>(a, b, size, out,
                  [&step](const std::uint8_t* x, const std::uint8_t* y, std::size_t n,
                          std::uint8_t* to) { return BlendDoubles16(x, y, n, step, to); });
}

// A 256-byte table in registers.
struct Table256 {
  __m512i part[4];
};

STILLREEL_AVX512 __attribute__((always_inline)) inline Table256 LoadTable(
    const std::uint8_t* bytes) {
  return {{_mm512_load_si512(bytes), _mm512_load_si512(bytes + 64), _mm512_load_si512(bytes + 128),
           _mm512_load_si512(bytes + 192)}};
}

// table[x] for 64 bytes x; `high` has bit 7 of each. (Each half is looked
// up in the lanes of its own x only, the other lanes keeping what they hold.)
STILLREEL_AVX512 __attribute__((always_inline)) inline __m512i LookUp(__m512i x, __mmask64 high,
                                                                      const Table256& table) {
  const __m512i upper = _mm512_mask2_permutex2var_epi8(table.part[2], x, high, table.part[3]);
  return _mm512_mask2_permutex2var_epi8(table.part[0], upper, _knot_mask64(high), table.part[1]);
}

// k / n for 32 values k.
template <bool kShift>
STILLREEL_AVX512 __attribute__((always_inline)) inline __m512i Quotient(__m512i k, __m512i magic,
                                                                        __m128i shift) {
  const __m512i q = _mm512_mulhi_epu16(k, magic);
  return kShift ? _mm512_srl_epi16(q, shift) : q;
}

// Which lower sets a step has: none, one over every quotient, two or more
// over their quotients.
enum class Sets { kNone, kOne, kTwo, kMore };

struct Constants {
  __m512i weights;
  __m512i magic;
  __m128i shift;
  Table256 below[2];  // of the first two sets
  Table256 above[2];
  Table256 setOf;
};

// The lanes of 64 channels whose pair is lower in `set` (or, without
// kResidue, may be: lanes where n does not divide k are not told apart).
// With kResidue the tables hold a's and b's residues modulo the period in
// their high nibble, and n divides k where the two are equal.
template <bool kResidue>
STILLREEL_AVX512 __attribute__((always_inline)) inline __mmask64 Lower(__m512i va, __mmask64 highA,
                                                                       __m512i vb, __mmask64 highB,
                                                                       const Table256& below,
                                                                       const Table256& above) {
  const __m512i x = LookUp(va, highA, below);
  const __m512i y = LookUp(vb, highB, above);
  if constexpr (!kResidue) return _mm512_cmplt_epu8_mask(x, y);
  const __mmask64 whole =
      _mm512_testn_epi8_mask(_mm512_xor_si512(x, y), _mm512_set1_epi8(static_cast<char>(0xF0)));
  return _mm512_mask_cmplt_epu8_mask(whole, x, y);
}

// The integer blend of 64 channels. k is computed as 16-bit halves, those
// of unpacklo (bytes 0-7 of each 16) and unpackhi (bytes 8-15); the
// quotients are packed back in channel order. Lower pairs come out one less:
// with kResidue by a subtraction after the division, else by dividing k - 1.
template <Sets kSets, bool kResidue, bool kShift>
STILLREEL_AVX512 __attribute__((always_inline)) inline __m512i BlendInteger64(__m512i va,
                                                                              __m512i vb,
                                                                              const LowerSets& sets,
                                                                              const Constants& c) {
  __m512i lo = _mm512_maddubs_epi16(_mm512_unpacklo_epi8(va, vb), c.weights);
  __m512i hi = _mm512_maddubs_epi16(_mm512_unpackhi_epi8(va, vb), c.weights);
  if constexpr (kSets == Sets::kNone) {
    return _mm512_packus_epi16(Quotient<kShift>(lo, c.magic, c.shift),
                               Quotient<kShift>(hi, c.magic, c.shift));
  } else {
    const __mmask64 highA = _mm512_movepi8_mask(va);
    const __mmask64 highB = _mm512_movepi8_mask(vb);
    __mmask64 lower = 0;
    __m512i q = _mm512_setzero_si512();
    if constexpr (kResidue || kSets != Sets::kOne) {
      q = _mm512_packus_epi16(Quotient<kShift>(lo, c.magic, c.shift),
                              Quotient<kShift>(hi, c.magic, c.shift));
    }
    if constexpr (kSets == Sets::kOne) {
      lower = Lower<kResidue>(va, highA, vb, highB, c.below[0], c.above[0]);
    } else if constexpr (kSets == Sets::kTwo) {
      const __m512i setOf = LookUp(q, _mm512_movepi8_mask(q), c.setOf);
      const __mmask64 first = _mm512_testn_epi8_mask(setOf, setOf);
      const __mmask64 second = _mm512_cmpeq_epi8_mask(setOf, _mm512_set1_epi8(1));
      lower = (first & Lower<kResidue>(va, highA, vb, highB, c.below[0], c.above[0])) |
              (second & Lower<kResidue>(va, highA, vb, highB, c.below[1], c.above[1]));
    } else {
      const __m512i setOf = LookUp(q, _mm512_movepi8_mask(q), LoadTable(sets.setOf.data()));
      for (std::int32_t s = 0; s < sets.count; ++s) {
        const BlendLower& set = sets.lower[static_cast<std::size_t>(s)];
        const __mmask64 in = _mm512_cmpeq_epi8_mask(setOf, _mm512_set1_epi8(static_cast<char>(s)));
        lower |= in & Lower<kResidue>(va, highA, vb, highB, LoadTable(set.below.data()),
                                      LoadTable(set.above.data()));
      }
    }
    if constexpr (kResidue) return _mm512_mask_sub_epi8(q, lower, q, _mm512_set1_epi8(1));
    const std::uint64_t bits = _cvtmask64_u64(lower);
    const __m512i unit = _mm512_set1_epi16(1);
    lo = _mm512_mask_sub_epi16(
        lo, _cvtu32_mask32(static_cast<std::uint32_t>(_pext_u64(bits, 0x00FF00FF00FF00FFull))), lo,
        unit);
    hi = _mm512_mask_sub_epi16(
        hi, _cvtu32_mask32(static_cast<std::uint32_t>(_pext_u64(bits, 0xFF00FF00FF00FF00ull))), hi,
        unit);
    return _mm512_packus_epi16(Quotient<kShift>(lo, c.magic, c.shift),
                               Quotient<kShift>(hi, c.magic, c.shift));
  }
}

template <Sets kSets, bool kResidue, bool kShift>
STILLREEL_AVX512 void BlendIntegers(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                                    const BlendStep& step, std::uint8_t* out) {
  Constants c;
  const Avx512Tables& tables = *static_cast<const Avx512Tables*>(step.tables.get());
  const LowerSets& sets = tables.sets;
  c.weights = _mm512_set1_epi16(static_cast<short>((step.l << 8) | (step.n - step.l)));
  c.magic = _mm512_set1_epi16(static_cast<short>(tables.division.magic));
  c.shift = _mm_cvtsi32_si128(tables.division.shift);
  if constexpr (kSets == Sets::kOne || kSets == Sets::kTwo) {
    for (std::size_t s = 0; s < (kSets == Sets::kOne ? 1u : 2u); ++s) {
      c.below[s] = LoadTable(sets.lower[s].below.data());
      c.above[s] = LoadTable(sets.lower[s].above.data());
    }
    c.setOf = LoadTable(sets.setOf.data());
  }
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m512i va = _mm512_loadu_si512(a + i);
    const __m512i vb = _mm512_loadu_si512(b + i);
    _mm512_storeu_si512(out + i, BlendInteger64<kSets, kResidue, kShift>(va, vb, sets, c));
  }
  if (i < size) {
    const __mmask64 rest = _cvtu64_mask64(_bzhi_u64(~0ull, static_cast<unsigned>(size - i)));
    const __m512i va = _mm512_maskz_loadu_epi8(rest, a + i);
    const __m512i vb = _mm512_maskz_loadu_epi8(rest, b + i);
    _mm512_mask_storeu_epi8(out + i, rest,
                            BlendInteger64<kSets, kResidue, kShift>(va, vb, sets, c));
  }
}

template <Sets kSets, bool kResidue>
Run ChooseShift(bool shift) {
  return shift ? BlendIntegers<kSets, kResidue, true> : BlendIntegers<kSets, kResidue, false>;
}

// The integer blend for the step's sets, chosen once as it is prepared.
Run ChooseIntegers(const Avx512Tables& tables) {
  const LowerSets& sets = tables.sets;
  const bool shift = tables.division.shift != 0;
  const bool one = sets.count == 1 && sets.everywhere;
  const bool two = sets.count <= 2;
  if (sets.count == 0) return ChooseShift<Sets::kNone, false>(shift);
  if (sets.residue) {
    return one   ? ChooseShift<Sets::kOne, true>(shift)
           : two ? ChooseShift<Sets::kTwo, true>(shift)
                 : ChooseShift<Sets::kMore, true>(shift);
  }
  return one   ? ChooseShift<Sets::kOne, false>(shift)
         : two ? ChooseShift<Sets::kTwo, false>(shift)
               : ChooseShift<Sets::kMore, false>(shift);
}

void Prepare(BlendStep& step) {
  std::shared_ptr<Avx512Tables> tables(new Avx512Tables);
  LowerPairs lower;
  const bool integer = FindIntegerDivision(step.l, step.n, tables->division) &&
                       FindLowerPairs(step.l, step.n, lower) && SolveLowerSets(lower, tables->sets);
  tables->run = integer ? ChooseIntegers(*tables) : BlendDoubles;
  step.tables = std::move(tables);
}

void Blend(const std::uint8_t* a, const std::uint8_t* b, std::size_t size, const BlendStep& step,
           std::uint8_t* out) {
  static_cast<const Avx512Tables*>(step.tables.get())->run(a, b, size, step, out);
}

}  // namespace

const BlendKernel kBlendAvx512 = {Prepare, Blend};

}  // namespace stillreel

#endif  // STILLREEL_SIMD_AVX512
