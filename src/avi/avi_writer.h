// The AVI writer: one RIFF "AVI " file with a single uncompressed 24-bit video
// stream, written front to back in one pass with every size known in advance:
// headers, exactly frameCount frame chunks, then the legacy index. It reads
// Images but never changes them, and owns no file.
#ifndef STILLREEL_AVI_AVI_WRITER_H_
#define STILLREEL_AVI_AVI_WRITER_H_

#include <algorithm>
#include <cstdint>
#include <optional>

#include "avi/byte_writer.h"
#include "image/dib24.h"
#include "image/image.h"

namespace stillreel {

// The sizes of one file, computed before anything is written.
struct AviLayout {
  std::int32_t frameWidth = 1;
  std::int32_t frameHeight = 1;
  std::uint32_t microsPerFrame = 0;  // 1,000,000 / frame rate, truncated
  std::uint64_t rowBytes = 0;        // 3 x width rounded up to a multiple of 4
  std::uint64_t frameSize = 0;       // S = rowBytes x height
  std::uint64_t frameCount = 0;      // F = (n - 1) x N + 1
  std::uint64_t moviSize = 0;        // 4 + F x (S + 8)
  std::uint64_t indexSize = 0;       // 16 x F
  std::uint64_t riffSize = 0;        // 220 + movi size + index size: file length - 8
};

// Bytes of one stored 24-bit row of `width` pixels, padded to 4 bytes.
std::uint64_t RowBytes(std::int64_t width);

// The RIFF size of n pictures at N frames each with frames of S bytes, or
// nothing when it does not fit in 64 bits.
std::optional<std::uint64_t> RiffSize(std::uint64_t n, std::uint64_t N, std::uint64_t S);

// The layout for n pictures of width x height at N frames per picture, with
// every size that does not fit in 64 bits (and frameCount, when n or N is 0)
// at its largest value. Width and height below 1 count as 1.
AviLayout LayoutFor(std::int32_t width, std::int32_t height, std::uint64_t n, std::uint64_t N,
                    std::uint32_t microsPerFrame);

// The layout for n >= 1 pictures of width x height at N >= 1 frames per
// picture, or nothing when its RIFF size would exceed kMaxRiffSize.
std::optional<AviLayout> PlanAvi(std::int32_t width, std::int32_t height, std::uint64_t n,
                                 std::uint64_t N, std::uint32_t microsPerFrame);

// Offsets 0 to 224: the "RIFF" header, the "hdrl" list and the "movi" list header.
void WriteHeaders(const AviLayout& layout, ByteWriter& out);

// One "00db" chunk of S bytes. The image is placed at the frame's bottom-left
// corner: its bottom row is the first row stored. What lies outside the frame
// is cropped; what the image does not cover is zero.
void WriteFrameChunk(const Image& image, const AviLayout& layout, ByteWriter& out);

// The same for a picture held as 24-bit rows; when it has the frame's size its
// bytes are the frame.
void WriteFrameChunk(const Dib24& picture, const AviLayout& layout, ByteWriter& out);

// One "00db" chunk whose rows the caller makes: fill(rows, first, count)
// writes `count` whole stored rows of layout.rowBytes bytes each, padding
// included, starting with stored row `first` (0 is the bottom row). The
// writer's buffer must hold at least one row.
template <class Fill>
void WriteFrameRows(const AviLayout& layout, ByteWriter& out, Fill&& fill) {
  WriteTag("00db", out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  const std::uint64_t perClaim = out.capacity() / layout.rowBytes;
  for (std::uint64_t first = 0; first < static_cast<std::uint64_t>(layout.frameHeight);) {
    const std::uint64_t count =
        std::min<std::uint64_t>(perClaim, static_cast<std::uint64_t>(layout.frameHeight) - first);
    const auto bytes = static_cast<std::size_t>(count * layout.rowBytes);
    fill(out.Claim(bytes), static_cast<std::int64_t>(first), static_cast<std::int64_t>(count));
    out.Advance(bytes);
    first += count;
  }
}

// The "idx1" chunk: one key-frame entry per frame.
void WriteIndex(const AviLayout& layout, ByteWriter& out);

}  // namespace stillreel

#endif  // STILLREEL_AVI_AVI_WRITER_H_
