#include "avi/avi_layout.h"

#include "image/image.h"

namespace stillreel {
namespace {

// a x b + c, or kHugeSize when it does not fit.
std::uint64_t MulAdd(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  std::uint64_t product, sum;
  if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) {
    return kHugeSize;
  }
  return sum;
}

std::uint64_t Add(std::uint64_t a, std::uint64_t b) {
  return MulAdd(a, 1, b);
}

}  // namespace

AviLayout LayoutAvi(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                    std::uint32_t microsPerFrame) {
  AviLayout layout;
  layout.width = width;
  layout.height = height;
  layout.microsPerFrame = microsPerFrame;
  layout.frameCount = frameCount;
  layout.rowBytes = RowBytes(24, width);
  layout.frameSize = layout.rowBytes * static_cast<std::uint64_t>(height);
  const std::uint64_t chunk = Add(layout.frameSize, kChunkHeaderBytes);
  layout.moviSize = MulAdd(frameCount, chunk, 4);
  layout.indexSize = MulAdd(frameCount, kIndexEntryBytes, 0);
  // "AVI ", the "hdrl" list, the "movi" list and the "idx1" chunk.
  const std::uint64_t lists = 4 + kChunkHeaderBytes + kHeaderListSize + kChunkHeaderBytes;
  layout.riffSize = Add(Add(lists, layout.moviSize), Add(kChunkHeaderBytes, layout.indexSize));
  return layout;
}

std::uint64_t FileSize(const AviLayout& layout) {
  return Add(layout.riffSize, kChunkHeaderBytes);
}

}  // namespace stillreel
