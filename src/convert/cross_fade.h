// The cross-fade: the in-between frames of smoothing, blended from two
// pictures held as Images. It writes into the caller's memory and never
// resizes, reads or releases images.
#ifndef STILLREEL_CONVERT_CROSS_FADE_H_
#define STILLREEL_CONVERT_CROSS_FADE_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace stillreel {

// The channel value of step l of n (0 <= l < n) from a towards b: the
// truncation of a x (1 - t) + b x t with t = l / n, in double precision.
std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n);

// Every blend of one step: entry a x 256 + b is BlendChannel(a, b, l, n).
using BlendTable = std::array<std::uint8_t, 256 * 256>;

// The largest n with an integer blend: its weights and sums fit the vector
// code's bytes and 16-bit lanes.
inline constexpr std::int32_t kMaxIntegerBlendCount = 128;

// A set of pairs whose blend is one less than k / n (see BlendStep): among
// the pairs where n divides k and k / n is one of the set's quotients, those
// with below[a] < above[b].
struct alignas(64) BlendLower {
  std::array<std::uint8_t, 256> below{};
  std::array<std::uint8_t, 256> above{};
};

// One step of a fade: its weights, the blend in integers and the table of
// its blends.
//
// For n up to kMaxIntegerBlendCount the blend is exact in integers. With
// k = a x (n - l) + b x l it is k / n rounded down, except where n divides
// k: there the two rounded products of the formula may fall just short of
// the whole number k / n, and the blend is one less. Set-up finds those
// pairs with the formula itself (they are few) and describes them as sets,
// each an order between a and b over some of the quotients. The vector code
// divides k - 1 instead of k for the pairs in a set, or subtracts one after
// dividing.
struct BlendStep {
  double s = 1;  // weight of the current picture, 1 - t
  double t = 0;  // weight of the next one, l / n
  std::int32_t l = 0;
  std::int32_t n = 1;

  bool integer = false;  // the integer blend below is set up
  // k / n is (k x magic) >> (16 + magicShift) for every k up to 255 n.
  std::uint16_t magic = 0;
  std::uint8_t magicShift = 0;
  // The sets: none (powers of two, among others), one over every quotient
  // (lowerEverywhere), or several, setOf[q] being the set of quotient q (255
  // for none). With lowerResidue the sets' tables also hold the residues of
  // a and b modulo n / gcd(l, n) in their high nibble: n divides k where the
  // two are equal.
  std::int32_t lowerCount = 0;
  bool lowerEverywhere = false;
  bool lowerResidue = false;
  alignas(64) std::array<std::uint8_t, 256> setOf{};
  std::array<BlendLower, 9> lower;
  // The same for the AVX2 code, as filters: bit a of lowerA (b of lowerB) is
  // set when some pair with that a (b) is one less than k / n, and bit a of
  // lowerSame when the pair a, a is.
  std::array<std::uint8_t, 32> lowerA{};
  std::array<std::uint8_t, 32> lowerB{};
  std::array<std::uint8_t, 32> lowerSame{};

  BlendTable table;
};
void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n);

// The instruction sets BlendBytes chooses among; it uses the widest the
// processor has unless tests ask for less.
enum class BlendPath { kScalar, kAvx2, kAvx512 };
// Uses at most `path` from now on (tests); returns the path now in use.
BlendPath LimitBlendPath(BlendPath path);

// out[i] is the blend of a[i] and b[i] for i < size.
void BlendBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                const BlendStep& step, std::uint8_t* out);

// Stored rows first to first + count - 1 of step `step` of the fade from a
// towards b, which has a's size: pixel (x, y) blends a's (x, y) with b's at
// the clamped position, so a b of another size (a picture that could not be
// read among them) still works. Row i goes to out + i x stride and gets its
// first `columns` pixels (at most a's width); the rest of it is left alone.
void CrossFade(const Image& a, const Image& b, const BlendStep& step, std::int64_t first,
               std::int64_t count, std::int32_t columns, std::uint8_t* out, std::size_t stride);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_CROSS_FADE_H_
