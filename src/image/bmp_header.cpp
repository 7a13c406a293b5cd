#include "image/bmp_header.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
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

bool ReadSignature(ByteSource& source, PictureIssue& why) {
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
  return true;
}

// Sizes from 16 to 64 bytes are OS/2 2.x headers, whose compressions 3 and
// 4 mean Huffman 1D and RLE24, except for the Windows sizes among them.
bool IsOs2Header(std::uint32_t size) {
  return size >= 16 && size <= 64 && size != 40 && size != 52 && size != 56;
}

// The bit counts a reading decodes: full reading adds 2-bit palettes.
bool KnownBitCount(std::int32_t bits, Reading reading) {
  switch (bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return true;
    case 2:
      return reading == Reading::kFull;
    default:
      return false;
  }
}

bool Contiguous(std::uint32_t mask) {
  const std::uint32_t low = mask >> std::countr_zero(mask | 0x80000000u);
  return (low & (low + 1)) == 0;
}

}  // namespace

bool ReadBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
  if (!ReadSignature(source, why)) return false;
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
  if (!KnownBitCount(header.bitCount, Reading::kClassic)) {
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

bool ReadFullBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
  header = BmpHeader{};
  if (!ReadSignature(source, why)) return false;
  // The rest of the file header, then the info header, unused fields as 0.
  std::uint8_t file[12];
  std::uint8_t info[kV5HeaderBytes] = {};
  why = PictureIssue::kShortHeader;
  if (source.Read(file, 12) < 12 || source.Read(info, 4) < 4) return false;
  header.pixelDataOffset = Le(file + 8, 4);
  const std::uint32_t size = header.infoHeaderSize = Le(info, 4);
  const std::size_t rest = std::clamp<std::uint32_t>(size, 4, kV5HeaderBytes) - 4;
  if (source.Read(info + 4, rest) < rest) return false;
  if (size == kOs2CoreHeaderBytes) {
    header.width = static_cast<std::int32_t>(Le(info + 4, 2));
    header.height = static_cast<std::int32_t>(Le(info + 6, 2));
    header.bitCount = static_cast<std::int32_t>(Le(info + 10, 2));
    header.entryBytes = 3;
  } else {
    header.width = static_cast<std::int32_t>(Le(info + 4, 4));
    header.height = static_cast<std::int32_t>(Le(info + 8, 4));
    header.bitCount = static_cast<std::int32_t>(Le(info + 14, 2));
    header.compression = static_cast<BmpCompression>(Le(info + 16, 4));
    header.coloursUsed = Le(info + 32, 4);
  }
  // Versions 2 to 5 hold the masks; after a 40-byte header they follow it.
  const std::uint8_t* masks = info + 40;
  std::uint8_t after[16] = {};
  std::size_t afterBytes = 0;
  if (size == 40 && header.compression == BmpCompression::kBitFields) afterBytes = 12;
  if (size == 40 && header.compression == BmpCompression::kAlphaBitFields) afterBytes = 16;
  if (afterBytes > 0) {
    if (source.Read(after, afterBytes) < afterBytes) return false;
    masks = after;
  } else if (size != 52 && size != 56 && size < 108) {
    masks = after;  // none
  }
  for (std::size_t i = 0; i < 4; ++i)
    header.masks[i] = Le(masks + 4 * i, 4);
  header.tableStart = static_cast<std::uint32_t>(kBmpFileHeaderBytes + rest + 4 + afterBytes);
  return true;
}

bool CheckFullBmpHeader(BmpHeader& header, PictureIssue& why) {
  const std::uint32_t size = header.infoHeaderSize;
  if (size != kOs2CoreHeaderBytes && (size < 16 || size > 64) && size != 108 &&
      size != kV5HeaderBytes) {
    why = PictureIssue::kUnknownHeaderSize;
    return false;
  }
  const bool os2 = IsOs2Header(size);
  switch (header.compression) {
    case BmpCompression::kNone:
    case BmpCompression::kRle8:
    case BmpCompression::kRle4:
      break;
    case BmpCompression::kBitFields:
      if (os2) {
        why = PictureIssue::kHuffman;
        return false;
      }
      break;
    case BmpCompression::kJpeg:
      why = os2 ? PictureIssue::kRle24 : PictureIssue::kEmbeddedJpeg;
      return false;
    case BmpCompression::kPng:
      why = PictureIssue::kEmbeddedPng;
      return false;
    case BmpCompression::kAlphaBitFields:
      if (!os2) break;
      [[fallthrough]];
    default:
      why = PictureIssue::kUnsupportedCompression;
      return false;
  }
  if (!KnownBitCount(header.bitCount, Reading::kFull)) {
    why = header.bitCount == 64 ? PictureIssue::kSixtyFourBits : PictureIssue::kUnsupportedBitCount;
    return false;
  }
  const bool rle =
      header.compression == BmpCompression::kRle8 || header.compression == BmpCompression::kRle4;
  if ((header.compression == BmpCompression::kRle8 && header.bitCount != 8) ||
      (header.compression == BmpCompression::kRle4 && header.bitCount != 4)) {
    why = PictureIssue::kRunLengthBitCount;
    return false;
  }
  if (header.compression == BmpCompression::kBitFields ||
      header.compression == BmpCompression::kAlphaBitFields) {
    if (header.bitCount != 16 && header.bitCount != 32) {
      why = PictureIssue::kBitFieldsBitCount;
      return false;
    }
    // Alpha is never shown, so only the masks of the colours count.
    for (std::size_t i = 0; i < 3; ++i) {
      if (!Contiguous(header.masks[i])) {
        why = PictureIssue::kMasksNotContiguous;
        return false;
      }
    }
  }
  if (header.width <= 0 || header.height == 0) {
    why = PictureIssue::kBadSize;
    return false;
  }
  if (header.height < 0) {
    if (rle) {
      why = PictureIssue::kTopDownRunLength;
      return false;
    }
    if (header.height == INT32_MIN) {  // 2^31 rows: no frame of them fits
      why = PictureIssue::kTooLarge;
      return false;
    }
    header.topDown = true;
    header.height = -header.height;
  }
  return true;
}

}  // namespace stillreel
