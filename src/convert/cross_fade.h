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
