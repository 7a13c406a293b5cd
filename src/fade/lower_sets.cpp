#include "fade/lower_sets.h"

#include <algorithm>
#include <numeric>

#include "fade/blend.h"

namespace stillreel {
namespace {

// The most levels an order may have: a step needs 16 or so, and the depths of
// pairs with no order grow past this soon.
constexpr int kMaxLevels = 64;

int QuotientRange(int q) {
  return q <= 1 ? 0 : 32 - __builtin_clz(static_cast<unsigned>(q - 1));
}

int RangeOf(const LowerPairs& lower, int a, int b) {
  return QuotientRange((a * (lower.n - lower.l) + b * lower.l) / lower.n);
}

// Finds below and above, of at most `levels` values, with below[a] <
// above[b] exactly for the lower pairs among the pairs where n divides k and
// k / n is in `ranges` (a bit each); false when there are none.
//
// As depths from the top: a lower pair puts a at least one below b, any
// other pair puts b at least as deep as a; the depths grow to the least
// solution, which exists when they settle within `levels`, and below and
// above are the deepest depth less each. Only the a deeper than 0 are
// walked, deepest first, for each residue.
//
// Step 1 of 7, k = 6a + b, has 18 lower pairs: a = 1 with b = 225, 232, ...,
// 253; a = 3 with b = 80, 87, 94 and 227, 234, ..., 255; a = 6 with b = 160,
// 167, ..., 188 (a = b modulo 7 in each). The first pass puts a = 1, 3 and 6
// at depth 1; the second puts beside them every other b of their residues (1,
// 8, ..., 218 with a = 1, and so on), whose pairs with them are not lower;
// then nothing moves. So below[a] is 0 for a = 1, 3, 6 and 1 for every other
// a, and above[b] is 1 for the 18 pairs' b and for every b of residue 0, 2, 4
// or 5, and 0 for the rest. Two levels: below[a] < above[b] picks out the 18
// pairs among those where 7 divides k. A lower pair whose b is also in a pair
// that is not lower with a deeper a asks for one more level each time.
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
        if ((ranges >> RangeOf(lower, a, b) & 1) != 0 && !lower.Lower(a, b)) {
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

// The ranges holding lower pairs gathered into as few sets as first fit
// finds, each covered by one order of `levels`. (One range alone always has
// an order: there the formula falls short exactly when the two products'
// rounding errors, a function of a plus a function of b, lie below the
// range's threshold.)
bool SetsByRange(const LowerPairs& lower, int levels, LowerSets& sets) {
  std::array<unsigned, kRanges> members{};
  int count = 0;
  BlendLower scratch;
  for (int c = kRanges - 1; c >= 0; --c) {
    const unsigned range = 1u << c;
    if ((lower.ranges & range) == 0) continue;
    int s = 0;
    while (s < count &&
           !OrderLower(lower, members[static_cast<std::size_t>(s)] | range, levels, scratch))
      ++s;
    if (s == count && !OrderLower(lower, range, levels, scratch)) return false;
    members[static_cast<std::size_t>(s)] |= range;
    count = std::max(count, s + 1);
  }
  sets.setOf.fill(0xFF);
  for (int s = 0; s < count; ++s) {
    OrderLower(lower, members[static_cast<std::size_t>(s)], levels,
               sets.lower[static_cast<std::size_t>(s)]);
    for (int q = 0; q < 256; ++q) {
      if (members[static_cast<std::size_t>(s)] >> QuotientRange(q) & 1)
        sets.setOf[static_cast<std::size_t>(q)] = static_cast<std::uint8_t>(s);
    }
  }
  sets.count = count;
  return true;
}

// Puts a's and b's residues modulo the period into the high nibble of the
// sets' tables, for the vector code to tell the pairs where n divides k from
// the tables alone.
void AddResidues(const LowerPairs& lower, LowerSets& sets) {
  for (std::int32_t s = 0; s < sets.count; ++s) {
    BlendLower& set = sets.lower[static_cast<std::size_t>(s)];
    for (std::size_t v = 0; v < 256; ++v) {
      const auto residue = static_cast<std::uint8_t>(static_cast<int>(v) % lower.period << 4);
      set.below[v] = static_cast<std::uint8_t>(set.below[v] | residue);
      set.above[v] = static_cast<std::uint8_t>(set.above[v] | residue);
    }
  }
}

}  // namespace

bool FindLowerPairs(std::int32_t l, std::int32_t n, LowerPairs& lower) {
  lower.l = l;
  lower.n = n;
  lower.period = n / std::gcd(l, n);
  lower.pairs.clear();
  lower.isLower.fill(0);
  lower.ranges = 0;
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  for (int a = 0; a < 256; ++a) {
    for (int b = a % lower.period; b < 256; b += lower.period) {
      const int q = (a * (n - l) + b * l) / n;
      const int have =
          BlendWeighted(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), s, t);
      if (have == q) continue;
      if (have != q - 1) return false;
      const int range = QuotientRange(q);
      lower.pairs.push_back({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                             static_cast<std::uint8_t>(range)});
      lower.ranges |= 1u << range;
      const int i = a * 256 + b;
      lower.isLower[static_cast<std::size_t>(i >> 6)] |= std::uint64_t{1} << (i & 63);
    }
  }
  return true;
}

bool SolveLowerSets(const LowerPairs& lower, LowerSets& sets) {
  sets.count = 0;
  sets.everywhere = false;
  sets.residue = false;
  if (lower.pairs.empty()) return true;
  // Orders of up to 16 levels leave the high nibble of the tables to the
  // residues (period up to 16); else they may take every level there is.
  for (const int levels : {16, kMaxLevels}) {
    if (levels == 16 && lower.period > 16) continue;
    sets.residue = levels == 16;
    if (OrderLower(lower, (1u << kRanges) - 1, levels, sets.lower[0])) {
      sets.count = 1;
      sets.everywhere = true;
    } else if (!SetsByRange(lower, levels, sets)) {
      continue;
    }
    if (sets.residue) AddResidues(lower, sets);
    return true;
  }
  sets.residue = false;
  return false;
}

LowerBits BitsOf(const LowerPairs& lower) {
  const auto set = [](std::array<std::uint8_t, 32>& bits, int v) {
    bits[static_cast<std::size_t>(v >> 3)] |= static_cast<std::uint8_t>(1 << (v & 7));
  };
  LowerBits bits;
  for (const LowerPairs::Pair& p : lower.pairs) {
    set(bits.lowerA, p.a);
    set(bits.lowerB, p.b);
    if (p.a == p.b) set(bits.lowerSame, p.a);
  }
  return bits;
}

}  // namespace stillreel
