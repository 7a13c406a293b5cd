// The portable blend: every blend of the step in a table of 64 KiB, looked up
// a byte at a time.
#include <array>
#include <memory>

#include "fade/blend.h"
#include "simd/kernels.h"

namespace stillreel {
namespace {

// Entry a x 256 + b is the blend of a and b.
using BlendTable = std::array<std::uint8_t, 256 * 256>;

void Prepare(BlendStep& step) {
  auto table = std::make_shared<BlendTable>();
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      (*table)[static_cast<std::size_t>(a * 256 + b)] =
          BlendWeighted(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), step.s, step.t);
    }
  }
  step.tables = std::move(table);
}

void Blend(const std::uint8_t* a, const std::uint8_t* b, std::size_t size, const BlendStep& step,
           std::uint8_t* out) {
  const std::uint8_t* table = static_cast<const BlendTable*>(step.tables.get())->data();
  for (std::size_t i = 0; i < size; ++i)
    out[i] = table[a[i] * 256 + b[i]];
}

}  // namespace

const BlendKernel kBlendScalar = {Prepare, Blend};

}  // namespace stillreel
