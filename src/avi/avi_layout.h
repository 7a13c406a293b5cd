// The layout of an AVI file of uncompressed 24-bit frames: every size, known
// before the first byte is written. The layout knows frames only: their
// geometry, their number and their duration.
//
//   offset  bytes                          content
//   0       12                             "RIFF" riffSize "AVI "
//   12      12                             "LIST" 192 "hdrl"
//   24      8 + 56                           "avih": main header
//   88      12                               "LIST" 116 "strl"
//   100     8 + 56                             "strh": stream header
//   164     8 + 40                             "strf": bitmap info header
//   212     12                             "LIST" moviSize "movi"
//   224     frameCount x (8 + frameSize)     "00db" frameSize, bottom-up rows
//   ...     8 + indexSize                  "idx1" indexSize, 16 bytes a frame
//
// Every number is unsigned 32-bit little-endian; riffSize is the file's
// length minus 8.
#ifndef STILLREEL_AVI_AVI_LAYOUT_H_
#define STILLREEL_AVI_AVI_LAYOUT_H_

#include <cstdint>

namespace stillreel {

inline constexpr std::uint64_t kChunkHeaderBytes = 8;  // tag and size
inline constexpr std::uint64_t kListHeaderBytes = 12;  // "LIST", size and list type
inline constexpr std::uint64_t kMainHeaderBytes = 56;
inline constexpr std::uint64_t kStreamHeaderBytes = 56;
inline constexpr std::uint64_t kStreamFormatBytes = 40;
inline constexpr std::uint64_t kIndexEntryBytes = 16;
// The "strl" list's size: its type, then the stream header and format chunks.
inline constexpr std::uint64_t kStreamListSize =
    4 + kChunkHeaderBytes + kStreamHeaderBytes + kChunkHeaderBytes + kStreamFormatBytes;
// The "hdrl" list's size: its type, the main header chunk and the "strl" list.
inline constexpr std::uint64_t kHeaderListSize =
    4 + kChunkHeaderBytes + kMainHeaderBytes + kChunkHeaderBytes + kStreamListSize;
// Everything before the first frame chunk.
inline constexpr std::uint64_t kHeadersBytes =
    kListHeaderBytes + kChunkHeaderBytes + kHeaderListSize + kListHeaderBytes;

// A size too large for 64 bits.
inline constexpr std::uint64_t kHugeSize = ~std::uint64_t{0};

struct AviLayout {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint32_t microsPerFrame = 0;
  std::uint64_t rowBytes = 4;   // 3 x width rounded up to a multiple of 4
  std::uint64_t frameSize = 4;  // rowBytes x height
  std::uint64_t frameCount = 1;
  std::uint64_t moviSize = 0;   // the "movi" list's type and frame chunks
  std::uint64_t indexSize = 0;  // the "idx1" chunk's entries
  std::uint64_t riffSize = 0;   // the file's length minus 8
};

// The layout of frameCount frames of width x height pixels (both at least
// 1); sizes that do not fit in 64 bits are kHugeSize.
AviLayout LayoutAvi(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                    std::uint32_t microsPerFrame);

// The file's length, or kHugeSize.
std::uint64_t FileSize(const AviLayout& layout);

}  // namespace stillreel

#endif  // STILLREEL_AVI_AVI_LAYOUT_H_
