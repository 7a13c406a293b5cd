#include "avi/avi_layout.h"

#include <algorithm>

#include "image/image.h"
#include "size_limits.h"

namespace stillreel {
namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFF;

// Sums and products that stay at kHugeSize once they leave 64 bits.
std::uint64_t Add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? kHugeSize : sum;
}
std::uint64_t Mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? kHugeSize : product;
}

// A "movi" list of `frames` frames: its type, the frame chunks and, in AVI
// 2.0, the standard index.
std::uint64_t MoviSize(const AviLayout& layout, std::uint64_t frames) {
  std::uint64_t size = Add(4, Mul(frames, Add(kChunkHeaderBytes, layout.frameSize)));
  if (layout.kind == AviKind::kOpenDml) {
    size = Add(size,
               Add(kChunkHeaderBytes + kIndexHeaderBytes, Mul(frames, kStandardIndexEntryBytes)));
  }
  return size;
}

// The first RIFF: its type, the "hdrl" list, the "movi" list and "idx1".
std::uint64_t FirstRiffSize(const AviLayout& layout, std::uint64_t frames) {
  const std::uint64_t lists = 4 + kChunkHeaderBytes + layout.headerListSize + kChunkHeaderBytes;
  return Add(Add(lists, MoviSize(layout, frames)),
             Add(kChunkHeaderBytes, Mul(frames, kIndexEntryBytes)));
}

// A later RIFF: its type and its "movi" list.
std::uint64_t LaterRiffSize(const AviLayout& layout, std::uint64_t frames) {
  return Add(4 + kChunkHeaderBytes, MoviSize(layout, frames));
}

// The "hdrl" list of an AVI 2.0 file of `riffs` RIFFs: the super index in
// the "strl" list grows with them, and the "odml" list follows.
std::uint64_t OpenDmlHeaderListSize(const AviLayout& layout, std::uint64_t riffs) {
  const std::uint64_t streamList =
      Add(StreamListSize(layout) + kChunkHeaderBytes + kIndexHeaderBytes,
          Mul(riffs, kSuperIndexEntryBytes));
  return Add(4 + kChunkHeaderBytes + kMainHeaderBytes + kChunkHeaderBytes + kChunkHeaderBytes +
                 kOdmlListSize,
             streamList);
}

AviLayout Frames(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                 std::uint32_t microsPerFrame, std::int32_t bitCount) {
  AviLayout layout;
  layout.width = width;
  layout.height = height;
  layout.microsPerFrame = microsPerFrame;
  layout.frameCount = frameCount;
  layout.bitCount = bitCount;
  layout.formatBytes = kStreamFormatBytes + (bitCount == 8 ? kGreyEntries * kColourEntryBytes : 0);
  layout.headerListSize = kHeaderListSize + (layout.formatBytes - kStreamFormatBytes);
  layout.rowBytes = RowBytes(bitCount, width);
  layout.frameSize = layout.rowBytes * static_cast<std::uint64_t>(height);
  return layout;
}

// Frames that fit in `room` bytes after `fixed` at `each` bytes a frame; at
// least one.
std::uint64_t FramesWithin(std::uint64_t room, std::uint64_t fixed, std::uint64_t each) {
  return room > fixed ? std::max<std::uint64_t>((room - fixed) / each, 1) : 1;
}

}  // namespace

AviLayout LayoutAvi(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                    std::uint32_t microsPerFrame, std::int32_t bitCount) {
  AviLayout layout = Frames(width, height, frameCount, microsPerFrame, bitCount);
  layout.firstRiffFrames = frameCount;
  layout.moviSize = MoviSize(layout, frameCount);
  layout.indexSize = Mul(frameCount, kIndexEntryBytes);
  layout.riffSize = FirstRiffSize(layout, frameCount);
  layout.fileSize = Add(layout.riffSize, kChunkHeaderBytes);
  return layout;
}

namespace {

// The sizes of an AVI 2.0 layout's first RIFF, its index and the file, once
// its frames are shared among its RIFFs; false when a frame, a RIFF or an
// index would be larger than AVI 2.0 holds.
bool SizeRiffs(AviLayout& layout) {
  layout.moviSize = MoviSize(layout, layout.firstRiffFrames);
  layout.indexSize = Mul(layout.firstRiffFrames, kIndexEntryBytes);
  layout.riffSize = FirstRiffSize(layout, layout.firstRiffFrames);
  const std::uint64_t last = layout.riffCount - 1;
  layout.fileSize = Add(RiffOffset(layout, last), Add(kChunkHeaderBytes, RiffSize(layout, last)));
  return layout.frameSize <= kMaxOpenDmlFrameBytes && layout.frameCount <= kMaxFrameCount &&
         std::max(layout.firstRiffFrames, layout.riffFrames) <= kMaxFramesPerStandardIndex &&
         layout.riffSize <= kMax32 &&
         (last == 0 || LaterRiffSize(layout, layout.riffFrames) <= kMax32);
}

}  // namespace

AviLayout LayoutOpenDml(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                        std::uint32_t microsPerFrame, std::uint64_t riffBytes,
                        std::int32_t bitCount) {
  AviLayout layout = Frames(width, height, frameCount, microsPerFrame, bitCount);
  layout.kind = AviKind::kOpenDml;
  const std::uint64_t frame = Add(layout.frameSize, kChunkHeaderBytes);
  const std::uint64_t entries = kStandardIndexEntryBytes + kIndexEntryBytes;
  layout.riffFrames =
      FramesWithin(riffBytes, LaterRiffSize(layout, 0), Add(frame, kStandardIndexEntryBytes));
  // The headers grow with the number of RIFFs, which the first RIFF's share
  // of the frames decides: settle on a count that agrees with itself.
  bool settled = false;
  for (int round = 0; round < 64 && !settled; ++round) {
    layout.headerListSize = OpenDmlHeaderListSize(layout, layout.riffCount);
    layout.firstRiffFrames = std::min(
        frameCount, FramesWithin(riffBytes, FirstRiffSize(layout, 0), Add(frame, entries)));
    const std::uint64_t rest = frameCount - layout.firstRiffFrames;
    const std::uint64_t riffs = 1 + rest / layout.riffFrames + (rest % layout.riffFrames != 0);
    settled = riffs == layout.riffCount;
    layout.riffCount = riffs;
  }
  if (!SizeRiffs(layout) || !settled) layout.fileSize = kHugeSize;
  return layout;
}

AviLayout LayoutWithRoom(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                         std::uint32_t microsPerFrame, std::uint64_t riffBytes,
                         std::int32_t bitCount, std::uint64_t roomRiffs, bool avi1) {
  AviLayout layout = Frames(width, height, frameCount, microsPerFrame, bitCount);
  layout.kind = AviKind::kOpenDml;
  const std::uint64_t frame = Add(layout.frameSize, kChunkHeaderBytes);
  const std::uint64_t entries = kStandardIndexEntryBytes + kIndexEntryBytes;
  layout.headerListSize = Add(OpenDmlHeaderListSize(layout, roomRiffs), kChunkHeaderBytes);
  layout.riffFrames =
      FramesWithin(riffBytes, LaterRiffSize(layout, 0), Add(frame, kStandardIndexEntryBytes));
  layout.firstRiffFrames =
      std::min(frameCount, FramesWithin(riffBytes, FirstRiffSize(layout, 0), Add(frame, entries)));
  const std::uint64_t rest = frameCount - layout.firstRiffFrames;
  layout.riffCount = 1 + rest / layout.riffFrames + (rest % layout.riffFrames != 0);
  const bool oneRiff = layout.riffCount == 1;
  if (avi1 && oneRiff) layout.kind = AviKind::kAvi1;
  const std::uint64_t used = layout.kind == AviKind::kAvi1
                                 ? kHeaderListSize + (layout.formatBytes - kStreamFormatBytes)
                                 : OpenDmlHeaderListSize(layout, layout.riffCount);
  layout.roomBytes = layout.headerListSize - std::min(used, layout.headerListSize);
  if (!SizeRiffs(layout) || layout.riffCount > roomRiffs) layout.fileSize = kHugeSize;
  return layout;
}

std::uint64_t StreamListSize(const AviLayout& layout) {
  return kStreamListSize + (layout.formatBytes - kStreamFormatBytes);
}

bool Writable(const AviLayout& layout) {
  if (layout.kind == AviKind::kAvi1) return layout.riffSize <= kMaxRiffSize;
  return layout.fileSize != kHugeSize;
}

std::uint64_t RiffFrames(const AviLayout& layout, std::uint64_t k) {
  if (k == 0) return layout.firstRiffFrames;
  if (k + 1 < layout.riffCount) return layout.riffFrames;
  return layout.frameCount - layout.firstRiffFrames - (k - 1) * layout.riffFrames;
}

std::uint64_t RiffSize(const AviLayout& layout, std::uint64_t k) {
  return k == 0 ? layout.riffSize : LaterRiffSize(layout, RiffFrames(layout, k));
}

std::uint64_t RiffOffset(const AviLayout& layout, std::uint64_t k) {
  if (k == 0) return 0;
  const std::uint64_t full = Add(kChunkHeaderBytes, LaterRiffSize(layout, layout.riffFrames));
  return Add(Add(kChunkHeaderBytes, layout.riffSize), Mul(k - 1, full));
}

std::uint64_t MoviOffset(const AviLayout& layout, std::uint64_t k) {
  const std::uint64_t headers = k == 0 ? kChunkHeaderBytes + layout.headerListSize : 0;
  return Add(RiffOffset(layout, k), kListHeaderBytes + headers + kChunkHeaderBytes);
}

}  // namespace stillreel
