// Every kernel that has a function per instruction set: its signature, and
// each implementation, defined in a file named after its instruction set
// (blend_avx2.cpp, bmp_rows_avx2.cpp, ...). Only simd.cpp hands them out;
// everything else takes them from Kernels() (simd/simd.h).
#ifndef STILLREEL_SIMD_KERNELS_H_
#define STILLREEL_SIMD_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace stillreel {

struct BlendStep;
struct RowTables;

// The blend of two pictures' bytes (fade/blend.h). Prepare builds what Blend
// reads into step.tables, the weights being set; Blend puts the blend of a[i]
// and b[i] in out[i] for i < size.
struct BlendKernel {
  void (*prepare)(BlendStep& step);
  void (*blend)(const std::uint8_t* a, const std::uint8_t* b, std::size_t size,
                const BlendStep& step, std::uint8_t* out);
};

// Bit-field rows of 16- and 32-bit pixels (image/bmp_rows.h), for the
// channels that Fits accepts: the first pixels of `count`, as many as the
// kernel does at once, into 3 bytes each; returns how many it did.
struct FieldsKernel {
  bool (*fits)(const RowTables& tables);
  std::int64_t (*row16)(const std::uint8_t* in, std::int64_t count, const RowTables& tables,
                        std::uint8_t* out);
  std::int64_t (*row32)(const std::uint8_t* in, std::int64_t count, const RowTables& tables,
                        std::uint8_t* out);
};

// RLE4 codes: the 32 indices of the 16 bytes at `in`, each byte's high nibble
// first.
using NibblesKernel = void (*)(std::uint8_t* to, const std::uint8_t* in);

// Grey rows (image/image.h): the grey of the first blue, green, red triples
// of `count`, as many as the kernel does at once; returns how many it did.
// `grey` may start where `bgr` does (grey rows are made in place): no grey
// byte is stored before the colours of it and of every pixel before it are read.
using GreyKernel = std::size_t (*)(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey);

// Rows of four bytes a pixel (image/image.h): the first blue, green, red
// triples of `count` followed by their alpha, or 255 where `alpha` is null,
// as many as the kernel does at once; returns how many it did.
using BgraKernel = std::size_t (*)(const std::uint8_t* bgr, const std::uint8_t* alpha,
                                   std::size_t count, std::uint8_t* bgra);

extern const BlendKernel kBlendScalar;

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define STILLREEL_SIMD_X86 1
void UnpackNibblesSse2(std::uint8_t* to, const std::uint8_t* in);
extern const BlendKernel kBlendAvx2;
extern const FieldsKernel kFieldsAvx2;
std::size_t GreyAvx2(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey);
std::size_t BgraAvx2(const std::uint8_t* bgr, const std::uint8_t* alpha, std::size_t count,
                     std::uint8_t* bgra);
#if defined(__x86_64__)
// 64-bit masks and _pext_u64: x86-64 only.
#define STILLREEL_SIMD_AVX512 1
extern const BlendKernel kBlendAvx512;
#endif
#endif

// Advanced SIMD, which every aarch64 processor has; the kernels read pixels
// as little-endian words.
#if defined(__aarch64__) && !defined(__ARM_BIG_ENDIAN)
#define STILLREEL_SIMD_NEON 1
extern const BlendKernel kBlendNeon;
extern const FieldsKernel kFieldsNeon;
std::size_t GreyNeon(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey);
std::size_t BgraNeon(const std::uint8_t* bgr, const std::uint8_t* alpha, std::size_t count,
                     std::uint8_t* bgra);
#endif

}  // namespace stillreel

#endif  // STILLREEL_SIMD_KERNELS_H_
