// The headers of a BMP file, read and then checked: reading normalises
// whatever version of the headers a file has into one BmpHeader record, as
// the file states it; checking takes that record as it is and either
// refuses the picture, saying why, or describes how its pixels are laid out
// (BmpLayout). Full reading's rules are here; classic reading has its own
// (bmp_classic.h). Nothing here allocates from a header's values.
//
// A BMP file, every number little-endian:
//
//   offset  size
//   0       14    file header: "BM", file size (4), reserved (2 + 2),
//                 pixel data offset (4): where the rows start
//   14      4     info header size: which version follows
//   14      12    OS/2 1.x: width (2), height (2), planes (2), bit count (2)
//   14      40    Windows: width (4), height (4, negative: rows stored
//                 top-down), planes (2), bit count (2), compression (4),
//                 image size (4), pixels per metre x and y (4 + 4), colours
//                 used (4), colours important (4)
//   54      12/16 after a 40-byte header with compression 3 (6): the red,
//                 green and blue (and alpha) masks, 4 bytes each
//   14      16-64 OS/2 2.x: the 40-byte layout, cut short or extended
//   14      52    version 2: the 40 bytes, then the red, green, blue masks
//   14      56    version 3: and the alpha mask
//   14      108   version 4: and a colour space, its end points and gamma
//   14      124   version 5: and a rendering intent and an embedded profile
//   then          the colour table (pictures of up to 8 bits a pixel): an
//                 entry of blue, green, red and a fourth byte each, of 3
//                 bytes after an OS/2 1.x header
//   pixel data    the rows, bottom row first unless stored top-down, each
//   offset        padded to a multiple of 4 bytes
#ifndef STILLREEL_IMAGE_BMP_HEADER_H_
#define STILLREEL_IMAGE_BMP_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/bmp_rows.h"
#include "image/byte_source.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

inline constexpr std::uint32_t kBmpFileHeaderBytes = 14;
// Offsets in the file of the fields the reader uses.
inline constexpr std::uint32_t kBmpPixelDataOffsetAt = 10;
inline constexpr std::uint32_t kBmpInfoHeaderAt = kBmpFileHeaderBytes;
// Info header sizes, and offsets within the 40-byte layout.
inline constexpr std::uint32_t kOs2CoreHeaderBytes = 12;
inline constexpr std::uint32_t kOs2HeaderMinBytes = 16;
inline constexpr std::uint32_t kOs2HeaderMaxBytes = 64;
inline constexpr std::uint32_t kBmpInfoHeaderBytes = 40;
inline constexpr std::uint32_t kV2HeaderBytes = 52;
inline constexpr std::uint32_t kV3HeaderBytes = 56;
inline constexpr std::uint32_t kV4HeaderBytes = 108;
inline constexpr std::uint32_t kV5HeaderBytes = 124;
inline constexpr std::uint32_t kInfoWidthAt = 4;
inline constexpr std::uint32_t kInfoHeightAt = 8;
inline constexpr std::uint32_t kInfoBitCountAt = 14;
inline constexpr std::uint32_t kInfoCompressionAt = 16;
inline constexpr std::uint32_t kInfoColoursUsedAt = 32;
inline constexpr std::uint32_t kInfoMasksAt = kBmpInfoHeaderBytes;
// OS/2 1.x's 16-bit fields.
inline constexpr std::uint32_t kCoreWidthAt = 4;
inline constexpr std::uint32_t kCoreHeightAt = 6;
inline constexpr std::uint32_t kCoreBitCountAt = 10;
// The file header and a 40-byte info header.
inline constexpr std::uint32_t kBmpHeaderBytes = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;
// The masks of 16-bit pictures without bit fields: red, green, blue of 5 bits.
inline constexpr std::array<std::uint32_t, 3> kDefaultMasks16 = {0x7C00, 0x03E0, 0x001F};

// The compression field.
enum class BmpCompression : std::uint32_t {
  kNone = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitFields = 6,
};

// The headers as the file states them, whatever their version: fields a
// version does not hold are 0.
struct BmpHeader {
  std::uint32_t pixelDataOffset = 0;
  std::uint32_t infoHeaderSize = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative: rows stored top-down
  std::int32_t bitCount = 0;
  BmpCompression compression = BmpCompression::kNone;
  std::uint32_t coloursUsed = 0;
  // Red, green, blue and alpha masks, where the headers hold them.
  std::array<std::uint32_t, 4> masks{};
  // Bytes of the headers and the masks after them: where the stream stands
  // once they are read, and where a colour table would start.
  std::uint32_t headerBytes = 0;
  std::uint32_t entryBytes = 4;  // of a colour table entry
};

// How the stored pixels of a picture are coded.
enum class PixelLayout {
  kPalette1,
  kPalette2,
  kPalette4,
  kPalette8,
  kRle4,
  kRle8,
  kFields16,  // 16-bit words under the channels' masks
  kBgr24,
  kBgrx32,    // blue, green, red and a byte that is dropped
  kBytes32,   // 32-bit bit fields whose channels are whole bytes
  kFields32,  // 32-bit words under the channels' masks
};

// A picture the reader accepts, as its checks describe it.
struct BmpLayout {
  std::int32_t width = 1;
  std::int32_t height = 1;  // positive
  bool topDown = false;     // the first stored row is the top one
  std::int32_t bitCount = 24;
  PixelLayout pixels = PixelLayout::kBgr24;
  std::uint64_t tableStart = 0;  // where the colour table starts
  std::uint32_t entries = 0;     // colour table entries to read
  std::uint32_t entryBytes = 4;
  // Where the rows start: the pixel data offset, or after the colour table
  // when the offset points inside it.
  std::uint64_t rowsStart = 0;
  // The red, green and blue of 16-bit and 32-bit pictures.
  std::array<Channel, 3> channels{};
  // The alpha of bit fields with a contiguous alpha mask; no mask (factor 0)
  // for every other picture, which is opaque.
  Channel alpha{};
};

// Stored bytes of one row of the layout, padding included.
inline std::uint64_t StoredRowBytes(const BmpLayout& layout) {
  return RowBytes(layout.bitCount, layout.width);
}

// Whether a pixel cut short by the end of the file takes the bytes it has
// (blue, green, red stored in that order), rather than staying white.
inline bool PartialPixels(const BmpLayout& layout) {
  return layout.pixels == PixelLayout::kBgr24 || layout.pixels == PixelLayout::kBgrx32;
}

// Reads the signature, the rest of the file header, an info header of any
// version and the masks that follow a 40-byte one. False with kNotBmp, or
// kShortHeader when the file ends inside them.
bool ReadBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why);

// The pictures full reading decodes: info headers of 12, 16 to 64, 108 and
// 124 bytes; 1, 2, 4, 8, 16, 24 or 32 bits a pixel; no compression, RLE8,
// RLE4, or bit fields at 16 and 32 bits with contiguous masks; rows stored
// either way up (run-length encoded ones bottom-up).
bool CheckBmpHeader(const BmpHeader& header, BmpLayout& layout, PictureIssue& why);

// The signature: false with kNotBmp, or kShortHeader for a file shorter than
// two bytes that may have begun one.
bool ReadBmpSignature(ByteSource& source, PictureIssue& why);

// The little-endian value of `size` bytes.
std::uint32_t Le(const std::uint8_t* bytes, std::size_t size);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_HEADER_H_
