// The cross-fade: the in-between frames of smoothing, blended from two
// pictures held as Images. It writes into the caller's memory and never
// resizes, reads or releases images.
#ifndef STILLREEL_FADE_CROSS_FADE_H_
#define STILLREEL_FADE_CROSS_FADE_H_

#include <cstddef>
#include <cstdint>

#include "fade/blend.h"
#include "image/image.h"

namespace stillreel {

// Stored rows first to first + count - 1 of step `step` of the fade from a
// towards b, which has a's size: pixel (x, y) blends a's (x, y) with b's at
// the clamped position, so a b of another size (a picture that could not be
// read among them) still works. Row i goes to out + i x stride and gets its
// first `columns` pixels (at most a's width); the rest of it is left alone.
void CrossFade(const Image& a, const Image& b, const BlendStep& step, std::int64_t first,
               std::int64_t count, std::int32_t columns, std::uint8_t* out, std::size_t stride);

}  // namespace stillreel

#endif  // STILLREEL_FADE_CROSS_FADE_H_
