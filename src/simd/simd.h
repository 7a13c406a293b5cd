// The one place that chooses the instruction set of every vector kernel: the
// processor is examined once, and each kernel takes its function for the
// level in use from Kernels(). Every level gives the same bytes; it changes
// speed only.
//
// STILLREEL_SIMD is the one environment variable the library reads, once: it
// caps the level (x86: scalar < sse2 < avx2 < avx512; ARM: scalar < neon), and
// the best level the processor has at or below it is used. A value of another
// family, or one not listed, is ignored.
#ifndef STILLREEL_SIMD_SIMD_H_
#define STILLREEL_SIMD_SIMD_H_

#include <cstdint>
#include <span>

#include "simd/kernels.h"

namespace stillreel {

enum class SimdLevel : std::uint8_t {
  kScalar,  // portable code, on every machine
  kSse2,    // x86
  kAvx2,    // x86
  kAvx512,  // x86-64: AVX-512 F, BW and VBMI, with BMI2
  kNeon,    // aarch64
};

// "scalar", "sse2", "avx2", "avx512", "neon": the names STILLREEL_SIMD takes.
const char* ToString(SimdLevel level);

// The levels of this build's processor family, best first, scalar last.
std::span<const SimdLevel> SimdFamily();

// The level every kernel chosen from now on uses.
SimdLevel SimdInUse();

// For tests: caps the level at `level` in place of STILLREEL_SIMD (a level of
// another family lifts the cap) and returns the level now in use, which is
// lower where the processor lacks `level`.
SimdLevel LimitSimd(SimdLevel level);

// Each kernel's function for the level in use: a level without one of its own
// takes the one of the level below. Null where no level up to this one has
// vector code for it.
struct SimdKernels {
  const BlendKernel* blend = nullptr;  // never null
  const FieldsKernel* fields = nullptr;
  NibblesKernel nibbles = nullptr;
  GreyKernel grey = nullptr;
  BgraKernel bgra = nullptr;
};
const SimdKernels& Kernels();

}  // namespace stillreel

#endif  // STILLREEL_SIMD_SIMD_H_
