// The blend of a fade: its definition, the steps prepared for a kernel, and
// the blend of two runs of bytes. A step owns the tables its kernel reads;
// nothing here allocates an Image or knows pixels from padding.
#ifndef STILLREEL_FADE_BLEND_H_
#define STILLREEL_FADE_BLEND_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "simd/kernels.h"

namespace stillreel {

// The channel value of step l of n (0 <= l < n) from a towards b: the
// truncation of a x (1 - t) + b x t with t = l / n, in double precision, the
// two products rounded before they are added.
std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n);

// The same with the step's weights s = 1 - t and t, for the kernels.
inline std::uint8_t BlendWeighted(std::uint8_t a, std::uint8_t b, double s, double t) {
  return static_cast<std::uint8_t>(a * s + b * t);
}

// The largest n with an integer blend: its weights and sums fit the vector
// code's bytes and 16-bit lanes.
inline constexpr std::int32_t kMaxIntegerBlendCount = 128;

// One step of a fade, prepared for the kernel in use when SetBlendStep ran;
// BlendBytes blends with that kernel. Copies share the tables.
struct BlendStep {
  double s = 1;  // weight of the current picture, 1 - t
  double t = 0;  // weight of the next one, l / n
  std::int32_t l = 0;
  std::int32_t n = 1;
  const BlendKernel* kernel = nullptr;
  // What the kernel reads besides the weights: made by its prepare, read by
  // its blend, opaque to everything else.
  std::shared_ptr<const void> tables;
};
void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n);

// out[i] is the blend of a[i] and b[i] for i < size.
inline void BlendBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                       const BlendStep& step, std::uint8_t* out) {
  step.kernel->blend(a, b, size, step, out);
}

// The integer blend of a step, for the vector kernels: with k = a x (n - l) +
// b x l, the blend is k / n, which is (k x magic) >> (16 + shift) for every k
// up to 255 n; except where n divides k, and the two rounded products of the
// formula fall just short of the whole number k / n: there it is one less
// (see fade/lower_sets.h).
struct IntegerDivision {
  std::uint16_t magic = 0;
  std::uint8_t shift = 0;
};
// False where the step has no integer blend: l = 0, n past
// kMaxIntegerBlendCount, or no 16-bit magic number.
bool FindIntegerDivision(std::int32_t l, std::int32_t n, IntegerDivision& division);

// For the vector kernels: `whole(a, b, size, out)` blends the whole vectors
// of kVector bytes it can and returns how many bytes it did; the rest goes
// through copies padded to one vector.
template <std::size_t kVector, class Whole>
inline void BlendPadded(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                        std::uint8_t* out, const Whole& whole) {
  const std::size_t done = whole(a, b, size, out);
  if (done == size) return;
  const std::size_t rest = size - done;
  std::uint8_t va[kVector] = {}, vb[kVector] = {}, blended[kVector];
  std::memcpy(va, a + done, rest);
  std::memcpy(vb, b + done, rest);
  whole(va, vb, kVector, blended);
  std::memcpy(out + done, blended, rest);
}

}  // namespace stillreel

#endif  // STILLREEL_FADE_BLEND_H_
