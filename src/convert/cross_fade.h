// Frame transitions: the in-between frames of smoothing. A transition fills
// an output image that the caller has already sized; it never resizes, reads
// or releases images.
#ifndef STILLREEL_CONVERT_CROSS_FADE_H_
#define STILLREEL_CONVERT_CROSS_FADE_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace stillreel {

// Fills c with step l of n (0 <= l < n) from a towards b; returns 1 on success.
using TransitionFn = std::int32_t (*)(const Image& a, const Image& b, std::int32_t l,
                                      std::int32_t n, Image& c);

// c(x, y) = truncation of a(x, y) x (1 - t) + b(x, y) x t with t = l / n, for
// blue, green and red in double precision; b is sampled at the clamped
// position, so a b of another size still works. Alpha of c is left alone.
std::int32_t CrossFade(const Image& a, const Image& b, std::int32_t l, std::int32_t n, Image& c);

// The channel value that CrossFade gives for a and b at step l of n.
std::uint8_t BlendChannel(std::uint8_t a, std::uint8_t b, std::int32_t l, std::int32_t n);

// Every blend of one step: entry a x 256 + b is BlendChannel(a, b, l, n).
using BlendTable = std::array<std::uint8_t, 256 * 256>;
void FillBlendTable(BlendTable& table, std::int32_t l, std::int32_t n);

// One step of a fade: its weights and the table of its blends.
struct BlendStep {
  double s = 1;  // weight of the current picture, 1 - t
  double t = 0;  // weight of the next one, l / n
  // When n is a power of two up to 128 every product and sum above is exact,
  // so the blend is (a x (n - l) + b x l) >> shift in integers; else -1.
  int shift = -1;
  std::int32_t l = 0;
  std::int32_t n = 1;
  BlendTable table;
};
void SetBlendStep(BlendStep& step, std::int32_t l, std::int32_t n);

// CrossFade for pictures held as 24-bit rows of one size: out[i] is the blend
// of a[i] and b[i] (zero padding blends to zero).
void BlendBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                const BlendStep& step, std::uint8_t* out);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_CROSS_FADE_H_
