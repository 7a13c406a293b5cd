// The layout of an AVI file of uncompressed frames, 24-bit colour or 8-bit
// grey: every size and offset, known before the first byte is written, so the
// file goes out front to back with no seek. The layout knows frames only:
// their geometry, their pixels, their number and their duration. Two kinds:
//
// AVI 1.0, one RIFF of at most 2048 MiB:
//
//   "RIFF" riffSize "AVI "
//     "LIST" 192 "hdrl"         (+ 1024 for grey frames)
//       "avih" 56                 main header
//       "LIST" 116 "strl"         (+ 1024)
//         "strh" 56               stream header
//         "strf" 40               bitmap info header; for 8-bit grey frames
//                                 + 1024, its colour table: entry i is blue,
//                                 green and red i, then 0
//     "LIST" moviSize "movi"
//       frameCount x "00db" S     S = frameSize bytes of bottom-up rows
//     "idx1" indexSize            16 bytes a frame
//
// AVI 2.0 (OpenDML), of any length: the first RIFF as above with more in its
// headers, then as many "AVIX" RIFFs as needed, each at most riffBytes long
// (one frame more than that alone takes a RIFF of its own):
//
//   "RIFF" riffSize "AVI "
//     "LIST" hdrl "hdrl"
//       "avih" 56                 total frames: the first RIFF's
//       "LIST" strl "strl"
//         "strh" 56, "strf" 40    length: every frame
//         "indx" 24 + 16 R        super index: one entry per RIFF
//       "LIST" 260 "odml"
//         "dmlh" 248              every frame
//     "LIST" movi "movi"
//       f0 x "00db" S
//       "ix00" 24 + 8 f0          standard index of the RIFF's frames
//     "idx1" 16 f0                for AVI 1.0 readers
//   "RIFF" size "AVIX"            R - 1 times
//     "LIST" movi "movi"
//       f x "00db" S
//       "ix00" 24 + 8 f
//
// Every number is little-endian, 32-bit unless the writer says otherwise.
#ifndef STILLREEL_AVI_AVI_LAYOUT_H_
#define STILLREEL_AVI_AVI_LAYOUT_H_

#include <cstdint>

namespace stillreel {

inline constexpr std::uint64_t kChunkHeaderBytes = 8;  // tag and size
inline constexpr std::uint64_t kListHeaderBytes = 12;  // "LIST", size and list type
inline constexpr std::uint64_t kMainHeaderBytes = 56;
inline constexpr std::uint64_t kStreamHeaderBytes = 56;
inline constexpr std::uint64_t kStreamFormatBytes = 40;  // without a colour table
inline constexpr std::uint64_t kColourEntryBytes = 4;
inline constexpr std::uint64_t kGreyEntries = 256;          // the colour table of 8-bit grey frames
inline constexpr std::uint64_t kIndexEntryBytes = 16;       // idx1
inline constexpr std::uint64_t kIndexHeaderBytes = 24;      // indx and ix00, after the chunk header
inline constexpr std::uint64_t kSuperIndexEntryBytes = 16;  // indx
inline constexpr std::uint64_t kStandardIndexEntryBytes = 8;  // ix00
inline constexpr std::uint64_t kExtendedHeaderBytes = 248;    // dmlh
// The "strl" list's size in an AVI 1.0 file: its type, then the stream
// header and format chunks.
inline constexpr std::uint64_t kStreamListSize =
    4 + kChunkHeaderBytes + kStreamHeaderBytes + kChunkHeaderBytes + kStreamFormatBytes;
// The "hdrl" list's size in an AVI 1.0 file: its type, the main header
// chunk and the "strl" list.
inline constexpr std::uint64_t kHeaderListSize =
    4 + kChunkHeaderBytes + kMainHeaderBytes + kChunkHeaderBytes + kStreamListSize;
// Everything before the first frame chunk of an AVI 1.0 file.
inline constexpr std::uint64_t kHeadersBytes =
    kListHeaderBytes + kChunkHeaderBytes + kHeaderListSize + kListHeaderBytes;
// The "odml" list's size: its type and the extended header chunk.
inline constexpr std::uint64_t kOdmlListSize = 4 + kChunkHeaderBytes + kExtendedHeaderBytes;

// A size too large for 64 bits.
inline constexpr std::uint64_t kHugeSize = ~std::uint64_t{0};

enum class AviKind { kAvi1, kOpenDml };

struct AviLayout {
  AviKind kind = AviKind::kAvi1;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint32_t microsPerFrame = 0;
  std::int32_t bitCount = 24;                      // 24 (blue, green, red) or 8 (grey)
  std::uint64_t formatBytes = kStreamFormatBytes;  // "strf": with its colour table
  std::uint64_t rowBytes = 4;    // bytes of width pixels rounded up to a multiple of 4
  std::uint64_t frameSize = 4;   // S = rowBytes x height
  std::uint64_t frameCount = 1;  // in the whole file
  std::uint64_t riffCount = 1;
  std::uint64_t firstRiffFrames = 1;
  std::uint64_t riffFrames = 0;  // in each later RIFF but the last, which holds the rest
  std::uint64_t headerListSize = kHeaderListSize;
  // A "JUNK" chunk closing the "hdrl" list, its header included (0: none):
  // the room kept by a file written before its frame count was known.
  std::uint64_t roomBytes = 0;
  // The first RIFF's sizes: its "movi" list, its "idx1" entries, the RIFF
  // itself (for AVI 1.0 the file's length minus 8).
  std::uint64_t moviSize = 0;
  std::uint64_t indexSize = 0;
  std::uint64_t riffSize = 0;
  std::uint64_t fileSize = 0;
};

// The AVI 1.0 layout of frameCount frames of width x height pixels (both at
// least 1) of bitCount bits (24 or 8); sizes that do not fit in 64 bits are
// kHugeSize.
AviLayout LayoutAvi(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                    std::uint32_t microsPerFrame, std::int32_t bitCount = 24);

// The AVI 2.0 layout of the same, in RIFFs of at most riffBytes; fileSize
// is kHugeSize when a field would not fit in the bits it is written in.
AviLayout LayoutOpenDml(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                        std::uint32_t microsPerFrame, std::uint64_t riffBytes,
                        std::int32_t bitCount = 24);

// Frames written before their number is known: the AVI 2.0 layout whose
// "hdrl" list has room for the super index entries of roomRiffs RIFFs
// whatever the frame count, the room not used being a JUNK chunk, so that
// every frame has its place before the count is known. With `avi1`, and
// every frame in the first RIFF, the AVI 1.0 file in the same room: no
// "indx", "odml" and "ix00". fileSize is kHugeSize beyond roomRiffs RIFFs.
AviLayout LayoutWithRoom(std::int32_t width, std::int32_t height, std::uint64_t frameCount,
                         std::uint32_t microsPerFrame, std::uint64_t riffBytes,
                         std::int32_t bitCount, std::uint64_t roomRiffs, bool avi1);

// The "strl" list's size in an AVI 1.0 file of the layout's frames.
std::uint64_t StreamListSize(const AviLayout& layout);

// Whether the file can be written: an AVI 1.0 file within kMaxRiffSize, an
// AVI 2.0 one with every field within its bits.
bool Writable(const AviLayout& layout);

// RIFF k, counted from 0: its frames, its size and where it starts.
std::uint64_t RiffFrames(const AviLayout& layout, std::uint64_t k);
std::uint64_t RiffSize(const AviLayout& layout, std::uint64_t k);
std::uint64_t RiffOffset(const AviLayout& layout, std::uint64_t k);
// The file offset of RIFF k's "movi" list type, the base of its offsets.
std::uint64_t MoviOffset(const AviLayout& layout, std::uint64_t k);

}  // namespace stillreel

#endif  // STILLREEL_AVI_AVI_LAYOUT_H_
