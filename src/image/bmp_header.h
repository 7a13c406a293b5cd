// The headers of a BMP file: the 14-byte file header and the info header
// after it. Reading them and checking them are two steps: a header that was
// read whole may still describe a picture the reader refuses. Classic reading
// knows the 40-byte layout only; full reading knows every version. Nothing
// here allocates from a header's values.
#ifndef STILLREEL_IMAGE_BMP_HEADER_H_
#define STILLREEL_IMAGE_BMP_HEADER_H_

#include <array>
#include <cstdint>

#include "image/byte_source.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

inline constexpr std::int64_t kBmpFileHeaderBytes = 14;
// The info header read field by field: the 40-byte layout, which the longer
// ones extend and a 16-byte one begins with.
inline constexpr std::int64_t kBmpInfoHeaderBytes = 40;
inline constexpr std::int64_t kBmpHeaderBytes = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;
// The OS/2 1.x info header: 16-bit width and height, 3-byte colour table entries.
inline constexpr std::uint32_t kOs2CoreHeaderBytes = 12;
// The longest info header, version 5.
inline constexpr std::uint32_t kV5HeaderBytes = 124;

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

// The header fields that the reader uses.
struct BmpHeader {
  std::uint32_t pixelDataOffset = 0;
  std::uint32_t infoHeaderSize = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // positive: rows stored bottom-up
  std::int32_t bitCount = 0;
  BmpCompression compression = BmpCompression::kNone;
  std::uint32_t coloursUsed = 0;

  // Full reading only. Once checked, the height is positive and topDown
  // says that the first stored row is the top one.
  bool topDown = false;
  // Red, green, blue and alpha masks of a bit-field picture.
  std::array<std::uint32_t, 4> masks{};
  // Where the colour table starts (after the info header and any masks
  // following it), and the bytes of one entry.
  std::uint32_t tableStart = 0;
  std::uint32_t entryBytes = 4;
};

// Reads the signature and then the fields of the file header and of a
// 40-byte info header, one at a time. A field counts as read unless the end
// of the file was met by an earlier read, so a file that ends inside its last
// field still passes, as a C stream would have it. False with kNotBmp or
// kShortHeader.
bool ReadBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why);

// The pictures classic reading decodes: a 40-byte or longer info header; no
// compression, or bit fields at 16 bits; 1, 4, 8, 16, 24 or 32 bits a pixel;
// a width and a height above 0.
bool CheckBmpHeader(const BmpHeader& header, PictureIssue& why);

// Reads the file header, the info header of whatever version its size
// says (fields it does not hold are 0) and the masks that follow a 40-byte
// one. False with kNotBmp, or kShortHeader when the file ends inside them.
bool ReadFullBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why);

// The pictures full reading decodes: info headers of 12, 16 to 64, 108 and
// 124 bytes; 1, 2, 4, 8, 16, 24 or 32 bits a pixel; no compression, RLE8,
// RLE4, or bit fields at 16 and 32 bits with contiguous masks; rows stored
// either way up (run-length encoded ones bottom-up). A negative height
// becomes a positive one and topDown.
bool CheckFullBmpHeader(BmpHeader& header, PictureIssue& why);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_HEADER_H_
