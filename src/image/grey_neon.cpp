// Grey rows in NEON, 16 pixels at a time: the channels split by the load,
// widened, weighted in 32 bits, and rounded by the narrowing add.
#include "simd/kernels.h"

#ifdef STILLREEL_SIMD_NEON
#include <arm_neon.h>

namespace stillreel {
namespace {

// (sum + 32768) >> 16 of four pixels' weighted channels.
inline uint16x4_t Grey4(uint16x4_t blue, uint16x4_t green, uint16x4_t red) {
  uint32x4_t sum = vmull_n_u16(red, 19595);
  sum = vmlal_n_u16(sum, green, 38470);
  sum = vmlal_n_u16(sum, blue, 7471);
  return vraddhn_u32(sum, vdupq_n_u32(0));
}

inline uint8x8_t Grey8(uint8x8_t blue, uint8x8_t green, uint8x8_t red) {
  const uint16x8_t b = vmovl_u8(blue), g = vmovl_u8(green), r = vmovl_u8(red);
  return vmovn_u16(vcombine_u16(Grey4(vget_low_u16(b), vget_low_u16(g), vget_low_u16(r)),
                                Grey4(vget_high_u16(b), vget_high_u16(g), vget_high_u16(r))));
}

}  // namespace

std::size_t GreyNeon(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey) {
  std::size_t x = 0;
  for (; x + 16 <= count; x += 16) {
    const uint8x16x3_t p = vld3q_u8(bgr + 3 * x);
    vst1q_u8(
        grey + x,
        vcombine_u8(Grey8(vget_low_u8(p.val[0]), vget_low_u8(p.val[1]), vget_low_u8(p.val[2])),
                    Grey8(vget_high_u8(p.val[0]), vget_high_u8(p.val[1]), vget_high_u8(p.val[2]))));
  }
  return x;
}

}  // namespace stillreel

#endif  // STILLREEL_SIMD_NEON
