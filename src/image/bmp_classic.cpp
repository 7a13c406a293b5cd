#include "image/bmp_classic.h"

#include <algorithm>
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

bool Refuse(PictureIssue issue, PictureIssue& why) {
  why = issue;
  return false;
}

// A 16-bit channel keeps at most five bits, shifted down until the mask is 31
// or less, and is scaled by 8: 0 to 248. (Scale's rounding then adds
// nothing: with x = 2048 v, (x + (x >> 8) + 1) >> 8 is 8 v for v up to 31.)
Channel ClassicChannel(std::uint32_t mask) {
  Channel channel;
  channel.mask = mask;
  while ((mask >> channel.shift) > 31)
    ++channel.shift;
  channel.bits = 8;
  channel.factor = 8 << 8;
  channel.half = 0;
  return channel;
}

}  // namespace

bool ReadClassicBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
  header = BmpHeader{};
  if (!ReadBmpSignature(source, why)) return false;
  std::array<std::uint32_t, kFieldCount> fields{};
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    if (!source.GuardedRead(bytes, kFieldBytes[i])) return Refuse(PictureIssue::kShortHeader, why);
    fields[i] = Le(bytes, kFieldBytes[i]);
  }
  header.pixelDataOffset = fields[kPixelDataOffset];
  header.infoHeaderSize = fields[kInfoHeaderSize];
  header.width = static_cast<std::int32_t>(fields[kWidth]);
  header.height = static_cast<std::int32_t>(fields[kHeight]);
  header.bitCount = static_cast<std::int32_t>(fields[kBitCount]);
  header.compression = static_cast<BmpCompression>(fields[kCompression]);
  header.coloursUsed = fields[kColoursUsed];
  header.headerBytes = kBmpHeaderBytes;
  if (header.compression == BmpCompression::kBitFields) {
    // Red, green and blue masks of 4 bytes each; only the low 2 bytes count.
    // Each is read unless the end of the file was met before it.
    for (std::size_t i = 0; i < 3; ++i) {
      std::uint8_t bytes[4] = {0, 0, 0, 0};
      source.GuardedRead(bytes, 4);
      header.masks[i] = Le(bytes, 2);
    }
    header.headerBytes += 12;
  }
  return true;
}

bool CheckClassicBmpHeader(const BmpHeader& header, BmpLayout& layout, PictureIssue& why) {
  // Its width and height are 16-bit fields where the 40-byte header has
  // 32-bit ones.
  if (header.infoHeaderSize == kOs2CoreHeaderBytes) {
    return Refuse(PictureIssue::kOs2CoreHeader, why);
  }
  switch (header.compression) {
    case BmpCompression::kNone:
      break;
    case BmpCompression::kRle8:
    case BmpCompression::kRle4:
      return Refuse(PictureIssue::kRunLengthEncoded, why);
    case BmpCompression::kBitFields:
      if (header.bitCount != 16) return Refuse(PictureIssue::kBitFieldsNot16, why);
      break;
    default:
      return Refuse(PictureIssue::kUnsupportedCompression, why);
  }
  const std::int32_t bits = header.bitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return Refuse(PictureIssue::kUnsupportedBitCount, why);
  }
  if (header.width > 0 && header.height < 0) return Refuse(PictureIssue::kTopDown, why);
  if (header.width <= 0 || header.height <= 0) return Refuse(PictureIssue::kBadSize, why);

  layout = BmpLayout{};
  layout.width = header.width;
  layout.height = header.height;
  layout.bitCount = bits;
  layout.tableStart = header.headerBytes;
  const std::uint64_t offset = header.pixelDataOffset;
  layout.rowsStart = std::max<std::uint64_t>(offset, header.headerBytes);
  switch (bits) {
    case 1:
    case 4:
    case 8: {
      // The table follows the info header, whatever its size; every 4 bytes
      // up to the pixel data are an entry, at most 2^bit count of them. Rows
      // start at the offset, or right after the table when the offset
      // points inside it.
      layout.pixels = bits == 1   ? PixelLayout::kPalette1
                      : bits == 4 ? PixelLayout::kPalette4
                                  : PixelLayout::kPalette8;
      layout.tableStart =
          std::uint64_t{kBmpFileHeaderBytes} + std::max(kBmpInfoHeaderBytes, header.infoHeaderSize);
      const std::uint64_t maxEntries = std::uint64_t{1} << bits;
      const std::uint64_t entries =
          offset > layout.tableStart ? std::min((offset - layout.tableStart) / 4, maxEntries) : 0;
      layout.entries = static_cast<std::uint32_t>(entries);
      layout.rowsStart = std::max(offset, layout.tableStart + 4 * entries);
      break;
    }
    case 16: {
      layout.pixels = PixelLayout::kFields16;
      const bool fields = header.compression == BmpCompression::kBitFields;
      for (std::size_t i = 0; i < 3; ++i)
        layout.channels[i] = ClassicChannel(fields ? header.masks[i] : kDefaultMasks16[i]);
      break;
    }
    case 24:
      layout.pixels = PixelLayout::kBgr24;
      break;
    default:
      layout.pixels = PixelLayout::kBgrx32;
      break;
  }
  return true;
}

}  // namespace stillreel
