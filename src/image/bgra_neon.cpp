// Rows of blue, green, red and alpha in NEON, sixteen pixels at a time: the
// load splits the channels, the store interleaves them with the alphas.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_NEON
#include <arm_neon.h>

namespace stillreel {

std::size_t BgraNeon(const std::uint8_t* bgr, const std::uint8_t* alpha, std::size_t count,
                     std::uint8_t* bgra) {
  std::size_t x = 0;
  for (; x + 16 <= count; x += 16) {
    const uint8x16x3_t colours = vld3q_u8(bgr + 3 * x);
    uint8x16x4_t pixels;
    pixels.val[0] = colours.val[0];
    pixels.val[1] = colours.val[1];
    pixels.val[2] = colours.val[2];
    pixels.val[3] = alpha ? vld1q_u8(alpha + x) : vdupq_n_u8(255);
    vst4q_u8(bgra + 4 * x, pixels);
  }
  return x;
}

}  // namespace stillreel

#endif  // STILLREEL_SIMD_NEON
