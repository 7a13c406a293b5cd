// The pairs where the integer blend of a step (fade/blend.h) is one too
// many, and the sets that tell them apart with two table look-ups a lane.
// Both are found from the formula itself when a step is prepared; they are
// few, and where n divides k only.
#ifndef STILLREEL_FADE_LOWER_SETS_H_
#define STILLREEL_FADE_LOWER_SETS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace stillreel {

// With k = a x (n - l) + b x l, the pairs a, b where n divides k and the
// blend is k / n - 1. n divides k exactly where a = b modulo the period.
struct LowerPairs {
  struct Pair {
    std::uint8_t a;
    std::uint8_t b;
    std::uint8_t range;  // QuotientRange of k / n
  };
  std::int32_t l = 0;
  std::int32_t n = 1;
  std::int32_t period = 1;  // n / gcd(l, n)
  std::vector<Pair> pairs;
  std::array<std::uint64_t, 1024> isLower{};  // bit a x 256 + b
  unsigned ranges = 0;                        // a bit for each range with lower pairs

  bool Lower(int a, int b) const {
    const int i = a * 256 + b;
    return (isLower[static_cast<std::size_t>(i >> 6)] >> (i & 63) & 1) != 0;
  }
};

// The lower pairs of step l of n (0 < l < n); false when a blend is off from
// k / n by anything else, which leaves the step no integer blend.
bool FindLowerPairs(std::int32_t l, std::int32_t n, LowerPairs& lower);

// The lower pairs as sets of 256 bits, for kernels that look at a and b
// apart: bit a of lowerA (b of lowerB) is set when some pair with that a
// (b) is lower, and bit a of lowerSame when the pair a, a is.
struct LowerBits {
  std::array<std::uint8_t, 32> lowerA{};
  std::array<std::uint8_t, 32> lowerB{};
  std::array<std::uint8_t, 32> lowerSame{};
};
LowerBits BitsOf(const LowerPairs& lower);

// The quotients k / n with one rounding threshold for the formula's sum:
// range c is (2^(c-1), 2^c], and range 0 holds 0 and 1.
inline constexpr int kRanges = 9;

// One set of lower pairs over some of the quotients: of the pairs where n
// divides k and k / n is one of the set's, those with below[a] < above[b].
struct alignas(64) BlendLower {
  std::array<std::uint8_t, 256> below{};
  std::array<std::uint8_t, 256> above{};
};

struct LowerSets {
  // None (powers of two, among others), one over every quotient
  // (everywhere), or several, setOf[q] being the set of quotient q (255 for
  // none). With residue the tables also hold the residues of a and b modulo
  // the period in their high nibble: n divides k where the two are equal.
  std::int32_t count = 0;
  bool everywhere = false;
  bool residue = false;
  alignas(64) std::array<std::uint8_t, 256> setOf{};
  std::array<BlendLower, kRanges> lower;
};

// The sets of the lower pairs; false when no orders of kMaxLevels cover them.
bool SolveLowerSets(const LowerPairs& lower, LowerSets& sets);

}  // namespace stillreel

#endif  // STILLREEL_FADE_LOWER_SETS_H_
