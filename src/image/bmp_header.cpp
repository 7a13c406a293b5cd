#include "image/bmp_header.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>

namespace stillreel {
namespace {

// Sizes from 16 to 64 bytes are OS/2 2.x headers, whose compressions 3 and
// 4 mean Huffman 1D and RLE24, except for the Windows sizes among them.
bool IsOs2Header(std::uint32_t size) {
  return size >= kOs2HeaderMinBytes && size <= kOs2HeaderMaxBytes && size != kBmpInfoHeaderBytes &&
         size != kV2HeaderBytes && size != kV3HeaderBytes;
}

bool KnownHeaderSize(std::uint32_t size) {
  return size == kOs2CoreHeaderBytes ||
         (size >= kOs2HeaderMinBytes && size <= kOs2HeaderMaxBytes) || size == kV4HeaderBytes ||
         size == kV5HeaderBytes;
}

bool Contiguous(std::uint32_t mask) {
  const std::uint32_t low = mask >> std::countr_zero(mask | 0x80000000u);
  return (low & (low + 1)) == 0;
}

bool IsBitFields(BmpCompression compression) {
  return compression == BmpCompression::kBitFields ||
         compression == BmpCompression::kAlphaBitFields;
}

bool Refuse(PictureIssue issue, PictureIssue& why) {
  why = issue;
  return false;
}

// What the compression field allows; the bit count is checked after it.
bool CheckCompression(const BmpHeader& header, PictureIssue& why) {
  const bool os2 = IsOs2Header(header.infoHeaderSize);
  switch (header.compression) {
    case BmpCompression::kNone:
    case BmpCompression::kRle8:
    case BmpCompression::kRle4:
      return true;
    case BmpCompression::kBitFields:
      return !os2 || Refuse(PictureIssue::kHuffman, why);
    case BmpCompression::kJpeg:
      return Refuse(os2 ? PictureIssue::kRle24 : PictureIssue::kEmbeddedJpeg, why);
    case BmpCompression::kPng:
      return Refuse(PictureIssue::kEmbeddedPng, why);
    case BmpCompression::kAlphaBitFields:
      if (!os2) return true;
      [[fallthrough]];
    default:
      return Refuse(PictureIssue::kUnsupportedCompression, why);
  }
}

bool CheckBitCount(const BmpHeader& header, PictureIssue& why) {
  switch (header.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    case 64:
      return Refuse(PictureIssue::kSixtyFourBits, why);
    default:
      return Refuse(PictureIssue::kUnsupportedBitCount, why);
  }
  if ((header.compression == BmpCompression::kRle8 && header.bitCount != 8) ||
      (header.compression == BmpCompression::kRle4 && header.bitCount != 4)) {
    return Refuse(PictureIssue::kRunLengthBitCount, why);
  }
  if (IsBitFields(header.compression)) {
    if (header.bitCount != 16 && header.bitCount != 32) {
      return Refuse(PictureIssue::kBitFieldsBitCount, why);
    }
    // A picture whose alpha mask is not contiguous is read as opaque.
    for (std::size_t i = 0; i < 3; ++i) {
      if (!Contiguous(header.masks[i])) return Refuse(PictureIssue::kMasksNotContiguous, why);
    }
  }
  return true;
}

// The colour table: 2^bit count entries, fewer when the colours-used field
// says so or when the pixel data offset ends the table early (OS/2 1.x
// headers give no count). Rows start at the offset, or after the table.
void LayTable(const BmpHeader& header, BmpLayout& layout) {
  const std::uint64_t offset = header.pixelDataOffset;
  std::uint64_t position = header.headerBytes;
  layout.tableStart = header.headerBytes;
  layout.entryBytes = header.entryBytes;
  if (header.bitCount <= 8) {
    std::uint64_t entries = std::uint64_t{1} << header.bitCount;
    if (header.coloursUsed > 0 && header.coloursUsed < entries) entries = header.coloursUsed;
    if (offset > position) entries = std::min(entries, (offset - position) / header.entryBytes);
    layout.entries = static_cast<std::uint32_t>(entries);
    position += entries * header.entryBytes;
  }
  layout.rowsStart = std::max(offset, position);
}

PixelLayout PixelsOf(const BmpHeader& header, const std::array<std::uint32_t, 3>& masks) {
  switch (header.bitCount) {
    case 1:
      return PixelLayout::kPalette1;
    case 2:
      return PixelLayout::kPalette2;
    case 4:
      return header.compression == BmpCompression::kRle4 ? PixelLayout::kRle4
                                                         : PixelLayout::kPalette4;
    case 8:
      return header.compression == BmpCompression::kRle8 ? PixelLayout::kRle8
                                                         : PixelLayout::kPalette8;
    case 16:
      return PixelLayout::kFields16;
    case 24:
      return PixelLayout::kBgr24;
    default: {
      // Whole bytes in blue, green, red order are the plain 32-bit layout.
      if (masks == std::array<std::uint32_t, 3>{0xFF0000, 0xFF00, 0xFF})
        return PixelLayout::kBgrx32;
      const bool bytes = std::all_of(masks.begin(), masks.end(), [](std::uint32_t mask) {
        return mask != 0 && mask == 0xFFu << (std::countr_zero(mask) / 8 * 8);
      });
      return bytes ? PixelLayout::kBytes32 : PixelLayout::kFields32;
    }
  }
}

}  // namespace

std::uint32_t Le(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = (value << 8) | bytes[i];
  return value;
}

bool ReadBmpSignature(ByteSource& source, PictureIssue& why) {
  std::uint8_t signature[2] = {0, 0};
  const std::size_t got = source.Read(signature, 2);
  if (got < 2 && (got == 0 || signature[0] == 'B')) return Refuse(PictureIssue::kShortHeader, why);
  if (signature[0] != 'B' || signature[1] != 'M') return Refuse(PictureIssue::kNotBmp, why);
  return true;
}

bool ReadBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
  header = BmpHeader{};
  if (!ReadBmpSignature(source, why)) return false;
  // The rest of the file header, then the info header, unused fields as 0.
  std::uint8_t file[kBmpFileHeaderBytes - 2];
  std::uint8_t info[kV5HeaderBytes] = {};
  why = PictureIssue::kShortHeader;
  if (source.Read(file, sizeof file) < sizeof file || source.Read(info, 4) < 4) return false;
  header.pixelDataOffset = Le(file + kBmpPixelDataOffsetAt - 2, 4);
  const std::uint32_t size = header.infoHeaderSize = Le(info, 4);
  const std::size_t rest = std::clamp<std::uint32_t>(size, 4, kV5HeaderBytes) - 4;
  if (source.Read(info + 4, rest) < rest) return false;
  if (size == kOs2CoreHeaderBytes) {
    header.width = static_cast<std::int32_t>(Le(info + kCoreWidthAt, 2));
    header.height = static_cast<std::int32_t>(Le(info + kCoreHeightAt, 2));
    header.bitCount = static_cast<std::int32_t>(Le(info + kCoreBitCountAt, 2));
    header.entryBytes = 3;
  } else {
    header.width = static_cast<std::int32_t>(Le(info + kInfoWidthAt, 4));
    header.height = static_cast<std::int32_t>(Le(info + kInfoHeightAt, 4));
    header.bitCount = static_cast<std::int32_t>(Le(info + kInfoBitCountAt, 2));
    header.compression = static_cast<BmpCompression>(Le(info + kInfoCompressionAt, 4));
    header.coloursUsed = Le(info + kInfoColoursUsedAt, 4);
  }
  // Versions 2 to 5 hold the masks; after a 40-byte header they follow it.
  const std::uint8_t* masks = info + kInfoMasksAt;
  std::uint8_t after[16] = {};
  std::size_t afterBytes = 0;
  if (size == kBmpInfoHeaderBytes && header.compression == BmpCompression::kBitFields) {
    afterBytes = 12;
  }
  if (size == kBmpInfoHeaderBytes && header.compression == BmpCompression::kAlphaBitFields) {
    afterBytes = 16;
  }
  if (afterBytes > 0) {
    if (source.Read(after, afterBytes) < afterBytes) return false;
    masks = after;
  } else if (size != kV2HeaderBytes && size != kV3HeaderBytes && size < kV4HeaderBytes) {
    masks = after;  // none
  }
  for (std::size_t i = 0; i < 4; ++i)
    header.masks[i] = Le(masks + 4 * i, 4);
  header.headerBytes = static_cast<std::uint32_t>(kBmpFileHeaderBytes + 4 + rest + afterBytes);
  return true;
}

bool CheckBmpHeader(const BmpHeader& header, BmpLayout& layout, PictureIssue& why) {
  if (!KnownHeaderSize(header.infoHeaderSize)) {
    return Refuse(PictureIssue::kUnknownHeaderSize, why);
  }
  if (!CheckCompression(header, why) || !CheckBitCount(header, why)) return false;
  if (header.width <= 0 || header.height == 0) return Refuse(PictureIssue::kBadSize, why);
  const bool rle =
      header.compression == BmpCompression::kRle8 || header.compression == BmpCompression::kRle4;
  if (header.height < 0) {
    if (rle) return Refuse(PictureIssue::kTopDownRunLength, why);
    // 2^31 rows: no frame of them fits.
    if (header.height == INT32_MIN) return Refuse(PictureIssue::kTooLarge, why);
  }
  layout = BmpLayout{};
  layout.width = header.width;
  layout.height = header.height < 0 ? -header.height : header.height;
  layout.topDown = header.height < 0;
  layout.bitCount = header.bitCount;
  LayTable(header, layout);
  std::array<std::uint32_t, 3> masks = {0xFF0000, 0xFF00, 0xFF};
  if (IsBitFields(header.compression)) {
    masks = {header.masks[0], header.masks[1], header.masks[2]};
  } else if (header.bitCount == 16) {
    masks = kDefaultMasks16;
  }
  for (std::size_t i = 0; i < 3; ++i)
    layout.channels[i] = MakeChannel(masks[i]);
  layout.pixels = PixelsOf(header, masks);
  if (IsBitFields(header.compression) && header.masks[3] != 0 && Contiguous(header.masks[3])) {
    layout.alpha = MakeChannel(header.masks[3]);
  }
  return true;
}

}  // namespace stillreel
