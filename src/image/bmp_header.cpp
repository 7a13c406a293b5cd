#include "image/bmp_header.h"

#include <array>
#include <cstddef>

namespace stillreel {
namespace {

// The fields after the signature, in file order.
enum Field : std::size_t {
  kFileSize,
  kReserved1,
  kReserved2,
  kPixelDataOffset,
  kInfoHeaderSize,
  kWidth,
  kHeight,
  kPlanes,
  kBitCount,
  kCompression,
  kImageSize,
  kXPixelsPerMetre,
  kYPixelsPerMetre,
  kColoursUsed,
  kColoursImportant,
  kFieldCount,
};

constexpr std::array<std::size_t, kFieldCount> kFieldBytes = {4, 2, 2, 4, 4, 4, 4, 2,
                                                              2, 4, 4, 4, 4, 4, 4};

std::uint32_t Le(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

bool ReadBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
  std::uint8_t signature[2] = {0, 0};
  const std::size_t got = source.Read(signature, 2);
  if (got < 2 && (got == 0 || signature[0] == 'B')) {
    why = PictureIssue::kShortHeader;
    return false;
  }
  if (signature[0] != 'B' || signature[1] != 'M') {
    why = PictureIssue::kNotBmp;
    return false;
  }
  std::array<std::uint32_t, kFieldCount> fields{};
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    if (!source.GuardedRead(bytes, kFieldBytes[i])) {
      why = PictureIssue::kShortHeader;
      return false;
    }
    fields[i] = Le(bytes, kFieldBytes[i]);
  }
  header.pixelDataOffset = fields[kPixelDataOffset];
  header.infoHeaderSize = fields[kInfoHeaderSize];
  header.width = static_cast<std::int32_t>(fields[kWidth]);
  header.height = static_cast<std::int32_t>(fields[kHeight]);
  header.bitCount = static_cast<std::int32_t>(fields[kBitCount]);
  header.compression = static_cast<BmpCompression>(fields[kCompression]);
  header.coloursUsed = fields[kColoursUsed];
  return true;
}

bool CheckBmpHeader(const BmpHeader& header, PictureIssue& why) {
  // Its width and height are 16-bit fields where the 40-byte header has
  // 32-bit ones.
  if (header.infoHeaderSize == kOs2CoreHeaderBytes) {
    why = PictureIssue::kOs2CoreHeader;
    return false;
  }
  switch (header.compression) {
    case BmpCompression::kNone:
      break;
    case BmpCompression::kRle8:
    case BmpCompression::kRle4:
      why = PictureIssue::kRunLengthEncoded;
      return false;
    case BmpCompression::kBitFields:
      if (header.bitCount != 16) {
        why = PictureIssue::kBitFieldsNot16;
        return false;
      }
      break;
    default:
      why = PictureIssue::kUnsupportedCompression;
      return false;
  }
  switch (header.bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      why = PictureIssue::kUnsupportedBitCount;
      return false;
  }
  if (header.width > 0 && header.height < 0) {
    why = PictureIssue::kTopDown;
    return false;
  }
  if (header.width <= 0 || header.height <= 0) {
    why = PictureIssue::kBadSize;
    return false;
  }
  return true;
}

}  // namespace stillreel
