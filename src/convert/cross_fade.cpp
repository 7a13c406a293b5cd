#include "convert/cross_fade.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

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

// (k x magic) >> (16 + shift) == k / n for every k up to 255 n; false when
// no 16-bit magic number does it. The magic number is at least 2^(16 +
// shift) / n, so the quotient is never too small, and its excess grows with
// k: checking k = n - 1, 2 n - 1, ..., where k / n is the furthest above a
// whole number, covers every k.
bool FindMagic(BlendStep& step) {
  const std::uint32_t n = static_cast<std::uint32_t>(step.n);
  for (std::uint32_t shift = 0; shift <= 8; ++shift) {
    const std::uint32_t magic = ((1u << (16 + shift)) + n - 1) / n;
    if (magic > 0xFFFF) break;
    bool exact = true;
    for (std::uint32_t k = n - 1; k <= 255 * n && exact; k += n)
      exact = (k * magic) >> (16 + shift) == k / n;
    if (exact) {
      step.magic = static_cast<std::uint16_t>(magic);
      step.magicShift = static_cast<std::uint8_t>(shift);
      return true;
    }
  }
  return false;
}

// The most levels an order may have: a step needs 16 or so, and the depths of
// pairs with no order grow past this soon.
constexpr int kMaxLevels = 64;

// The quotients k / n with one rounding threshold for the formula's sum:
// range c is (2^(c-1), 2^c], and range 0 holds 0 and 1.
int QuotientRange(int q) {
  return q <= 1 ? 0 : 32 - __builtin_clz(static_cast<unsigned>(q - 1));
}
constexpr int kRanges = 9;

// The pairs where n divides k (a = b modulo the period) and the blend is one
// less, found in the step's table.
struct LowerPairs {
  struct Pair {
    std::uint8_t a;
    std::uint8_t b;
    std::uint8_t range;
  };
  std::int32_t n = 1;
  std::int32_t l = 0;
  std::int32_t period = 1;
  std::vector<Pair> pairs;
  std::array<std::uint64_t, 1024> isLower{};  // bit a x 256 + b
  unsigned ranges = 0;                        // a bit for each range with lower pairs

  bool Lower(int a, int b) const {
    const int i = a * 256 + b;
    return (isLower[static_cast<std::size_t>(i >> 6)] >> (i & 63) & 1) != 0;
  }
  int Range(int a, int b) const { return QuotientRange((a * (n - l) + b * l) / n); }
};

// Finds below and above, of at most `levels` values, with below[a] <
// above[b] exactly for the lower pairs among the pairs where n divides k and
// k / n is in `ranges` (a bit each); false when there are none. As depths
// from the top: a lower pair puts a at least one below b, any other pair
// puts b at least as deep as a; the depths grow to the least solution,
// which exists when they settle within `levels`. Only the a deeper than 0
// are walked, deepest first, for each residue.
bool OrderLower(const LowerPairs& lower, unsigned ranges, int levels, BlendLower& set) {
  const int period = lower.period;
  levels = std::min(levels, kMaxLevels);
  std::array<int, 256> depthA{}, depthB{};
  std::array<std::uint8_t, 256> byResidue{};
  std::vector<int> start(static_cast<std::size_t>(period) + 1);
  for (bool changed = true; changed;) {
    changed = false;
    int deepest = 0;
    for (const LowerPairs::Pair& p : lower.pairs) {
      if ((ranges >> p.range & 1) == 0) continue;
      if (depthB[p.b] + 1 > depthA[p.a]) depthA[p.a] = depthB[p.b] + 1, changed = true;
      deepest = std::max(deepest, depthA[p.a]);
    }
    if (deepest >= levels) return false;
    // The a deeper than 0, by residue, deepest first within one.
    std::size_t deep = 0;
    for (int a = 0; a < 256; ++a) {
      if (depthA[a] > 0) byResidue[deep++] = static_cast<std::uint8_t>(a);
    }
    std::sort(byResidue.begin(), byResidue.begin() + static_cast<std::ptrdiff_t>(deep),
              [&](int x, int y) {
                return x % period != y % period ? x % period < y % period : depthA[x] > depthA[y];
              });
    for (int r = 0, i = 0; r <= period; ++r) {
      while (i < static_cast<int>(deep) && byResidue[static_cast<std::size_t>(i)] % period < r)
        ++i;
      start[static_cast<std::size_t>(r)] = i;
    }
    for (int b = 0; b < 256; ++b) {
      const int r = b % period;
      for (int i = start[static_cast<std::size_t>(r)]; i < start[static_cast<std::size_t>(r) + 1];
           ++i) {
        const int a = byResidue[static_cast<std::size_t>(i)];
        if (depthA[a] <= depthB[b]) break;
        if ((ranges >> lower.Range(a, b) & 1) != 0 && !lower.Lower(a, b)) {
          depthB[b] = depthA[a], changed = true;
          break;
        }
      }
    }
  }
  const int deepest = std::max(*std::max_element(depthA.begin(), depthA.end()),
                               *std::max_element(depthB.begin(), depthB.end()));
  for (int v = 0; v < 256; ++v) {
    set.below[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(deepest - depthA[v]);
    set.above[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(deepest - depthB[v]);
  }
  return true;
}

// The lower sets of the step: one over all pairs when one order covers
// them; else the ranges holding lower pairs are gathered into as few sets
// as first fit finds, each covered by one order, and step.setOf tells the
// set of each quotient. (One range alone always has an order: there the
// formula falls short exactly when the two products' rounding errors, a
// function of a plus a function of b, lie below the range's threshold.)
bool SetLowerSets(BlendStep& step) {
  LowerPairs lower;
  lower.n = step.n;
  lower.l = step.l;
  lower.period = step.n / std::gcd(step.l, step.n);  // n divides k when a = b modulo this
  std::array<std::uint8_t, 32> lowerA{}, lowerB{}, lowerSame{};
  for (int a = 0; a < 256; ++a) {
    for (int b = a % lower.period; b < 256; b += lower.period) {
      const int q = (a * (step.n - step.l) + b * step.l) / step.n;
      const int have = step.table[static_cast<std::size_t>(a * 256 + b)];
      if (have == q) continue;
      if (have != q - 1) return false;
      const int range = QuotientRange(q);
      lower.pairs.push_back({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                             static_cast<std::uint8_t>(range)});
      lower.ranges |= 1u << range;
      const int i = a * 256 + b;
      lower.isLower[static_cast<std::size_t>(i >> 6)] |= std::uint64_t{1} << (i & 63);
      lowerA[static_cast<std::size_t>(a >> 3)] |= static_cast<std::uint8_t>(1 << (a & 7));
      lowerB[static_cast<std::size_t>(b >> 3)] |= static_cast<std::uint8_t>(1 << (b & 7));
      if (a == b)
        lowerSame[static_cast<std::size_t>(a >> 3)] |= static_cast<std::uint8_t>(1 << (a & 7));
    }
  }
  step.lowerA = lowerA;
  step.lowerB = lowerB;
  step.lowerSame = lowerSame;
  step.lowerCount = 0;
  step.lowerResidue = false;
  if (lower.pairs.empty()) return true;
  // Orders of up to 16 levels leave the high nibble of the tables to the
  // residues (period up to 16); else they may take the whole byte.
  for (const int levels : {16, 256}) {
    if (levels == 16 && lower.period > 16) continue;
    step.lowerResidue = levels == 16;
    if (OrderLower(lower, (1u << kRanges) - 1, levels, step.lower[0])) {
      step.lowerCount = 1;
      step.lowerEverywhere = true;
      return true;
    }
    step.lowerEverywhere = false;
    std::array<unsigned, kRanges> sets{};
    int count = 0;
    BlendLower scratch;
    bool fits = true;
    for (int c = kRanges - 1; c >= 0 && fits; --c) {
      const unsigned range = 1u << c;
      if ((lower.ranges & range) == 0) continue;
      int s = 0;
      while (s < count &&
             !OrderLower(lower, sets[static_cast<std::size_t>(s)] | range, levels, scratch))
        ++s;
      fits = s < count || OrderLower(lower, range, levels, scratch);
      sets[static_cast<std::size_t>(s)] |= range;
      count = std::max(count, s + 1);
    }
    if (!fits) continue;
    step.setOf.fill(0xFF);
    for (int s = 0; s < count; ++s) {
      OrderLower(lower, sets[static_cast<std::size_t>(s)], levels,
                 step.lower[static_cast<std::size_t>(s)]);
      for (int q = 0; q < 256; ++q) {
        if (sets[static_cast<std::size_t>(s)] >> QuotientRange(q) & 1)
          step.setOf[static_cast<std::size_t>(q)] = static_cast<std::uint8_t>(s);
      }
    }
    step.lowerCount = count;
    return true;
  }
  return false;
}

// Puts a's and b's residues modulo the period into the high nibble of the
// sets' tables, for the vector code to tell the pairs where n divides k from
// the tables alone.
void AddResidues(BlendStep& step) {
  const std::int32_t period = step.n / std::gcd(step.l, step.n);
  for (std::int32_t s = 0; s < step.lowerCount; ++s) {
    BlendLower& set = step.lower[static_cast<std::size_t>(s)];
    for (int v = 0; v < 256; ++v) {
      const auto residue = static_cast<std::uint8_t>(v % period << 4);
      set.below[static_cast<std::size_t>(v)] =
          static_cast<std::uint8_t>(set.below[static_cast<std::size_t>(v)] | residue);
      set.above[static_cast<std::size_t>(v)] =
          static_cast<std::uint8_t>(set.above[static_cast<std::size_t>(v)] | residue);
    }
  }
}

}  // namespace

void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n) {
  step.t = static_cast<double>(l) / static_cast<double>(n);
  step.s = 1.0 - step.t;
  step.l = l;
  step.n = n;
  FillBlendTable(step.table, l, n);
  step.integer = false;
  step.lowerCount = 0;
  step.lowerEverywhere = false;
  step.lowerResidue = false;
  if (n >= 2 && n <= kMaxIntegerBlendCount && l >= 1 && l < n && FindMagic(step)) {
    step.integer = SetLowerSets(step);
    if (step.integer && step.lowerResidue) AddResidues(step);
  }
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define STILLREEL_BLEND_X86 1
#define STILLREEL_AVX2 __attribute__((target("avx2")))
#define STILLREEL_AVX512 __attribute__((target("avx2,bmi2,avx512f,avx512bw,avx512vbmi")))

// Four channels: a * s and b * t each rounded, then their sum, then the
// truncation, exactly as the scalar formula does it (the target has no fused
// multiply-add to fold them into).
STILLREEL_AVX2 __attribute__((always_inline)) inline __m128i Blend4(__m128i a, __m128i b, __m256d s,
                                                                    __m256d t) {
  const __m256d x = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(a));
  const __m256d y = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(b));
  return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(x, s), _mm256_mul_pd(y, t)));
}

// The formula in doubles, blocks of 16 bytes (steps of n beyond the integer
// blend); returns how many bytes it did.
STILLREEL_AVX2 std::size_t BlendAvx2(const std::uint8_t* a, const std::uint8_t* b, double s,
                                     double t, std::uint8_t* out, std::size_t size) {
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
// the table. Returns how many bytes it did.
template <bool kLower>
STILLREEL_AVX2 std::size_t BlendIntegerAvx2(const std::uint8_t* a, const std::uint8_t* b,
                                            std::size_t size, const BlendStep& step,
                                            std::uint8_t* out) {
  const __m256i weights = _mm256_set1_epi16(static_cast<short>((step.l << 8) | (step.n - step.l)));
  const __m256i magic = _mm256_set1_epi16(static_cast<short>(step.magic));
  const __m128i shift = _mm_cvtsi32_si128(step.magicShift);
  const __m256i n = _mm256_set1_epi16(static_cast<short>(step.n));
  const __m256i lowA = BothLanes(step.lowerA.data());
  const __m256i highA = BothLanes(step.lowerA.data() + 16);
  const __m256i lowB = BothLanes(step.lowerB.data());
  const __m256i highB = BothLanes(step.lowerB.data() + 16);
  const __m256i lowSame = BothLanes(step.lowerSame.data());
  const __m256i highSame = BothLanes(step.lowerSame.data() + 16);
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
          fixed[j] = step.table[a[i + j] * 256 + b[i + j]];
        }
        bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(fixed));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
  }
  return i;
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
                                                                              const BlendStep& step,
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
      const __m512i setOf = LookUp(q, _mm512_movepi8_mask(q), LoadTable(step.setOf.data()));
      for (std::int32_t s = 0; s < step.lowerCount; ++s) {
        const BlendLower& set = step.lower[static_cast<std::size_t>(s)];
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
STILLREEL_AVX512 void BlendIntegerAvx512(const std::uint8_t* a, const std::uint8_t* b,
                                         std::size_t size, const BlendStep& step,
                                         std::uint8_t* out) {
  Constants c;
  c.weights = _mm512_set1_epi16(static_cast<short>((step.l << 8) | (step.n - step.l)));
  c.magic = _mm512_set1_epi16(static_cast<short>(step.magic));
  c.shift = _mm_cvtsi32_si128(step.magicShift);
  if constexpr (kSets == Sets::kOne || kSets == Sets::kTwo) {
    for (std::size_t s = 0; s < (kSets == Sets::kOne ? 1u : 2u); ++s) {
      c.below[s] = LoadTable(step.lower[s].below.data());
      c.above[s] = LoadTable(step.lower[s].above.data());
    }
    c.setOf = LoadTable(step.setOf.data());
  }
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m512i va = _mm512_loadu_si512(a + i);
    const __m512i vb = _mm512_loadu_si512(b + i);
    _mm512_storeu_si512(out + i, BlendInteger64<kSets, kResidue, kShift>(va, vb, step, c));
  }
  if (i < size) {
    const __mmask64 rest = _cvtu64_mask64(_bzhi_u64(~0ull, static_cast<unsigned>(size - i)));
    const __m512i va = _mm512_maskz_loadu_epi8(rest, a + i);
    const __m512i vb = _mm512_maskz_loadu_epi8(rest, b + i);
    _mm512_mask_storeu_epi8(out + i, rest,
                            BlendInteger64<kSets, kResidue, kShift>(va, vb, step, c));
  }
}

template <Sets kSets, bool kResidue>
void BlendIntegerAvx512(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                        const BlendStep& step, std::uint8_t* out) {
  if (step.magicShift != 0) {
    BlendIntegerAvx512<kSets, kResidue, true>(a, b, size, step, out);
  } else {
    BlendIntegerAvx512<kSets, kResidue, false>(a, b, size, step, out);
  }
}

void BlendIntegerAvx512(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                        const BlendStep& step, std::uint8_t* out) {
  const bool one = step.lowerCount == 1 && step.lowerEverywhere;
  const bool two = step.lowerCount <= 2;
  if (step.lowerCount == 0) {
    BlendIntegerAvx512<Sets::kNone, false>(a, b, size, step, out);
  } else if (step.lowerResidue) {
    if (one) {
      BlendIntegerAvx512<Sets::kOne, true>(a, b, size, step, out);
    } else if (two) {
      BlendIntegerAvx512<Sets::kTwo, true>(a, b, size, step, out);
    } else {
      BlendIntegerAvx512<Sets::kMore, true>(a, b, size, step, out);
    }
  } else if (one) {
    BlendIntegerAvx512<Sets::kOne, false>(a, b, size, step, out);
  } else if (two) {
    BlendIntegerAvx512<Sets::kTwo, false>(a, b, size, step, out);
  } else {
    BlendIntegerAvx512<Sets::kMore, false>(a, b, size, step, out);
  }
}

int DetectedPath() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2") &&
      __builtin_cpu_supports("avx2"))
    return static_cast<int>(BlendPath::kAvx512);
  if (__builtin_cpu_supports("avx2")) return static_cast<int>(BlendPath::kAvx2);
  return static_cast<int>(BlendPath::kScalar);
}
#else
int DetectedPath() {
  return static_cast<int>(BlendPath::kScalar);
}
#endif

std::atomic<int> pathLimit{static_cast<int>(BlendPath::kAvx512)};

BlendPath CurrentPath() {
  static const int detected = DetectedPath();
  return static_cast<BlendPath>(std::min(detected, pathLimit.load(std::memory_order_relaxed)));
}

}  // namespace

BlendPath LimitBlendPath(BlendPath path) {
  pathLimit.store(static_cast<int>(path), std::memory_order_relaxed);
  return CurrentPath();
}

void BlendBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                const BlendStep& step, std::uint8_t* out) {
  std::size_t i = 0;
#ifdef STILLREEL_BLEND_X86
  const BlendPath path = CurrentPath();
  if (path == BlendPath::kAvx512) {
    if (!step.integer) {
      i = BlendAvx512(a, b, step.s, step.t, out, size);
    } else {
      return BlendIntegerAvx512(a, b, size, step, out);
    }
  } else if (path == BlendPath::kAvx2) {
    if (!step.integer) {
      i = BlendAvx2(a, b, step.s, step.t, out, size);
    } else if (step.lowerCount == 0) {
      i = BlendIntegerAvx2<false>(a, b, size, step, out);
    } else {
      i = BlendIntegerAvx2<true>(a, b, size, step, out);
    }
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
