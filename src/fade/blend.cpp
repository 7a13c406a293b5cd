#include "fade/blend.h"

#include "simd/simd.h"

namespace stillreel {

std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n) {
  // Two products rounded separately, then the sum, then truncation: the
  // build keeps the compiler from fusing them into one multiply-add.
  const double t = static_cast<double>(l) / static_cast<double>(n);
  return BlendWeighted(a, b, 1.0 - t, t);
}

void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n) {
  step.t = static_cast<double>(l) / static_cast<double>(n);
  step.s = 1.0 - step.t;
  step.l = l;
  step.n = n;
  step.kernel = Kernels().blend;
  step.tables.reset();
  step.kernel->prepare(step);
}

// The magic number is at least 2^(16 + shift) / n, so the quotient is never
// too small, and its excess grows with k: checking k = n - 1, 2 n - 1, ...,
// where k / n is the furthest above a whole number, covers every k.
bool FindIntegerDivision(std::int32_t l, std::int32_t n, IntegerDivision& division) {
  if (n < 2 || n > kMaxIntegerBlendCount || l < 1 || l >= n) return false;
  const auto d = static_cast<std::uint32_t>(n);
  for (std::uint32_t shift = 0; shift <= 8; ++shift) {
    const std::uint32_t magic = ((1u << (16 + shift)) + d - 1) / d;
    if (magic > 0xFFFF) break;
    bool exact = true;
    for (std::uint32_t k = d - 1; k <= 255 * d && exact; k += d)
      exact = (k * magic) >> (16 + shift) == k / d;
    if (exact) {
      division.magic = static_cast<std::uint16_t>(magic);
      division.shift = static_cast<std::uint8_t>(shift);
      return true;
    }
  }
  return false;
}

}  // namespace stillreel
