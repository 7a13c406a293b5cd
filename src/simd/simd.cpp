#include "simd/simd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace stillreel {
namespace {

// What each level adds to the one below it: the kernels written for its
// instruction set. A new instruction set is a line here.
struct Level {
  SimdLevel level;
  SimdKernels own;
};
constexpr Level kLevels[] = {
    {SimdLevel::kScalar, {&kBlendScalar, nullptr, nullptr, nullptr, nullptr}},
#ifdef STILLREEL_SIMD_X86
    {SimdLevel::kSse2, {nullptr, nullptr, UnpackNibblesSse2, nullptr, nullptr}},
    {SimdLevel::kAvx2, {&kBlendAvx2, &kFieldsAvx2, nullptr, GreyAvx2, BgraAvx2}},
#ifdef STILLREEL_SIMD_AVX512
    {SimdLevel::kAvx512, {&kBlendAvx512, nullptr, nullptr, nullptr, nullptr}},
#endif
#endif
#ifdef STILLREEL_SIMD_NEON
    {SimdLevel::kNeon, {&kBlendNeon, &kFieldsNeon, nullptr, GreyNeon, BgraNeon}},
#endif
};

// Best first; each level's processors have every level after it.
#if defined(STILLREEL_SIMD_AVX512)
constexpr SimdLevel kFamily[] = {SimdLevel::kAvx512, SimdLevel::kAvx2, SimdLevel::kSse2,
                                 SimdLevel::kScalar};
#elif defined(STILLREEL_SIMD_X86)
constexpr SimdLevel kFamily[] = {SimdLevel::kAvx2, SimdLevel::kSse2, SimdLevel::kScalar};
#elif defined(STILLREEL_SIMD_NEON)
constexpr SimdLevel kFamily[] = {SimdLevel::kNeon, SimdLevel::kScalar};
#else
constexpr SimdLevel kFamily[] = {SimdLevel::kScalar};
#endif
constexpr int kFamilySize = static_cast<int>(std::size(kFamily));

// A level's place in the family counted from scalar (0); -1 outside it.
int Rank(SimdLevel level) {
  const auto* at = std::find(std::begin(kFamily), std::end(kFamily), level);
  return at == std::end(kFamily) ? -1 : static_cast<int>(std::end(kFamily) - at) - 1;
}

// The rank of the best level this processor has.
int Detect() {
#ifdef STILLREEL_SIMD_X86
  __builtin_cpu_init();
#ifdef STILLREEL_SIMD_AVX512
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2") &&
      __builtin_cpu_supports("avx2"))
    return Rank(SimdLevel::kAvx512);
#endif
  if (__builtin_cpu_supports("avx2")) return Rank(SimdLevel::kAvx2);
  if (__builtin_cpu_supports("sse2")) return Rank(SimdLevel::kSse2);
  return Rank(SimdLevel::kScalar);
#elif defined(STILLREEL_SIMD_NEON)
  return Rank(SimdLevel::kNeon);  // Advanced SIMD is part of every aarch64 processor
#else
  return Rank(SimdLevel::kScalar);
#endif
}

int Detected() {
  static const int detected = Detect();
  return detected;
}

// The rank STILLREEL_SIMD names; the best for none, or for a name not of the family.
int FromEnvironment() {
  const char* value = std::getenv("STILLREEL_SIMD");
  if (value == nullptr) return kFamilySize - 1;
  for (const SimdLevel level : kFamily) {
    if (std::strcmp(value, ToString(level)) == 0) return Rank(level);
  }
  return kFamilySize - 1;
}

std::atomic<int>& Cap() {
  static std::atomic<int> cap{FromEnvironment()};
  return cap;
}

// The kernels of each rank, the levels below it filling in what it lacks.
using Resolved = std::array<SimdKernels, kFamilySize>;
Resolved Resolve() {
  Resolved resolved{};
  SimdKernels kernels;
  for (int rank = 0; rank < kFamilySize; ++rank) {
    for (const Level& level : kLevels) {
      if (Rank(level.level) != rank) continue;
      if (level.own.blend) kernels.blend = level.own.blend;
      if (level.own.fields) kernels.fields = level.own.fields;
      if (level.own.nibbles) kernels.nibbles = level.own.nibbles;
      if (level.own.grey) kernels.grey = level.own.grey;
      if (level.own.bgra) kernels.bgra = level.own.bgra;
    }
    resolved[static_cast<std::size_t>(rank)] = kernels;
  }
  return resolved;
}

int RankInUse() {
  return std::min(Detected(), Cap().load(std::memory_order_relaxed));
}

}  // namespace

const char* ToString(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar:
      return "scalar";
    case SimdLevel::kSse2:
      return "sse2";
    case SimdLevel::kAvx2:
      return "avx2";
    case SimdLevel::kAvx512:
      return "avx512";
    case SimdLevel::kNeon:
      return "neon";
  }
  return "?";
}

std::span<const SimdLevel> SimdFamily() {
  return kFamily;
}

SimdLevel SimdInUse() {
  return kFamily[kFamilySize - 1 - RankInUse()];
}

SimdLevel LimitSimd(SimdLevel level) {
  const int rank = Rank(level);
  Cap().store(rank < 0 ? kFamilySize - 1 : rank, std::memory_order_relaxed);
  return SimdInUse();
}

const SimdKernels& Kernels() {
  static const Resolved resolved = Resolve();
  return resolved[static_cast<std::size_t>(RankInUse())];
}

}  // namespace stillreel
