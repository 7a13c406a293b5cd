#include "image/bmp_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/file.h"
#include "size_limits.h"

namespace stillreel {
namespace {

// The pictures with at least this many pixels decode 16-bit words through a
// table of all 65,536 of them.
constexpr std::int64_t kWordTableAfter = std::int64_t{1} << 17;

platform::File OpenPicture(std::string_view name, PictureIssue& why) {
  platform::File file;
  const platform::Opened opened =
      platform::OpenForReading(platform::PathOf(name), platform::Accept::kRegularFile, file);
  if (opened == platform::Opened::kCannotOpen) why = PictureIssue::kCannotOpen;
  if (opened == platform::Opened::kNotAFile) why = PictureIssue::kNotAFile;
  return file;
}

RowDecoder DecoderFor(std::int32_t bitCount) {
  switch (bitCount) {
    case 1:
      return DecodePalette1;
    case 4:
      return DecodePalette4;
    case 8:
      return DecodePalette8;
    case 16:
      return DecodeMasks16;
    case 24:
      return DecodeBgr24;
    default:
      return DecodeBgrx32;
  }
}

int MaskShift(std::uint32_t mask) {
  int shift = 0;
  while ((mask >> shift) > 31)
    ++shift;
  return shift;
}

bool ReadHeaders(ByteSource& source, Reading reading, BmpHeader& header, PictureIssue& why) {
  if (reading == Reading::kFull) {
    return ReadFullBmpHeader(source, header, why) && CheckFullBmpHeader(header, why);
  }
  return ReadBmpHeader(source, header, why) && CheckBmpHeader(header, why);
}

// The colour of every 16-bit word, in `words` filled by fill(words), for
// pictures worth the table; null otherwise.
template <class Fill>
const Colour* WordTable(std::unique_ptr<Colour[]>& words, const BmpHeader& header, Fill fill) {
  if (std::endian::native != std::endian::little ||
      static_cast<std::int64_t>(header.width) * header.height < kWordTableAfter) {
    return nullptr;
  }
  if (!words) words.reset(new (std::nothrow) Colour[65536]);
  if (!words) return nullptr;
  fill(words.get());
  return words.get();
}

}  // namespace

BmpFile::BmpFile(Reading reading) : reading_(reading) {}
BmpFile::~BmpFile() = default;

bool BmpFile::Open(std::string_view name, PictureIssue* why) {
  rle_.reset();
  PictureIssue issue = PictureIssue::kCannotOpen;
  const platform::File file = OpenPicture(name, issue);
  if (file.valid()) {
    source_.reset(new (std::nothrow) ByteSource(file));
    if (!source_) {
      platform::Close(file);
      issue = PictureIssue::kOutOfMemory;
    } else if (ReadHeaders(*source_, reading_, header_, issue)) {
      return true;
    }
  }
  source_.reset();
  if (why) *why = issue;
  return false;
}

bool BmpFile::Open(std::span<const std::uint8_t> bytes, PictureIssue* why) {
  rle_.reset();
  PictureIssue issue = PictureIssue::kOutOfMemory;
  source_.reset(new (std::nothrow) ByteSource(bytes));
  if (source_ && ReadHeaders(*source_, reading_, header_, issue)) return true;
  source_.reset();
  if (why) *why = issue;
  return false;
}

bool BmpFile::Prepare(PictureIssue* why) {
  if (RowBytes(24, header_.width) * static_cast<std::uint64_t>(header_.height) >
      kMaxPictureFrameBytes) {
    if (why) *why = PictureIssue::kTooLarge;
    return false;
  }
  rowStride_ = static_cast<std::size_t>(RowBytes(header_.bitCount, header_.width));
  tables_.palette.fill(0);  // an index beyond the table read gives black
  tables_.words = nullptr;
  rle_.reset();
  if (reading_ == Reading::kFull) return PrepareFull();
  return PrepareClassic();
}

bool BmpFile::PrepareClassic() {
  decode_ = DecoderFor(header_.bitCount);
  partialPixels_ = header_.bitCount >= 24;
  ByteSource& source = *source_;
  const std::int64_t offset = header_.pixelDataOffset;

  if (header_.bitCount <= 8) {
    // The table follows the info header, whatever its size; every 4 bytes
    // up to the pixel data are an entry, at most 2^bit count of them.
    const std::int64_t tableStart =
        kBmpFileHeaderBytes +
        std::max<std::int64_t>(kBmpInfoHeaderBytes,
                               static_cast<std::int64_t>(header_.infoHeaderSize));
    const std::int64_t maxEntries = std::int64_t{1} << header_.bitCount;
    const std::int64_t entries =
        offset > tableStart ? std::min((offset - tableStart) / 4, maxEntries) : 0;
    source.Skip(static_cast<std::uint64_t>(tableStart - kBmpHeaderBytes));
    std::uint8_t table[256 * 4];
    const std::size_t got = source.Read(table, static_cast<std::size_t>(entries) * 4);
    for (std::size_t i = 0; i < got / 4; ++i) {
      tables_.palette[i] =
          Colour{table[4 * i]} | Colour{table[4 * i + 1]} << 8 | Colour{table[4 * i + 2]} << 16;
    }
    // Rows start at the pixel data offset, or right after the table when the
    // offset points inside it.
    const std::int64_t tableEnd = tableStart + 4 * entries;
    if (offset > tableEnd) source.Skip(static_cast<std::uint64_t>(offset - tableEnd));
  } else if (header_.bitCount == 16) {
    std::int64_t gap = offset - kBmpHeaderBytes;
    tables_.masks = {0x7C00, 0x03E0, 0x001F};
    if (header_.compression == BmpCompression::kBitFields) {
      // Red, green and blue masks of 4 bytes each; only the low 2 bytes count.
      for (std::uint32_t& mask : tables_.masks) {
        std::uint8_t bytes[4] = {0, 0, 0, 0};
        source.GuardedRead(bytes, 4);
        mask = static_cast<std::uint32_t>(bytes[0] | (bytes[1] << 8));
      }
      gap -= 12;
    }
    for (int i = 0; i < 3; ++i)
      tables_.shifts[i] = MaskShift(tables_.masks[i]);
    tables_.words = WordTable(words_, header_, [this](Colour* words) {
      for (std::uint32_t w = 0; w < 65536; ++w)
        words[w] = Word16(tables_, w);
    });
    if (gap > 0) source.Skip(static_cast<std::uint64_t>(gap));
  } else if (offset > kBmpHeaderBytes) {
    // A larger info header or anything else before the pixels falls in here.
    source.Skip(static_cast<std::uint64_t>(offset - kBmpHeaderBytes));
  }
  return true;
}

bool BmpFile::PrepareFull() {
  const BmpHeader& h = header_;
  ByteSource& source = *source_;
  const std::uint64_t offset = h.pixelDataOffset;
  std::uint64_t position = h.tableStart;  // the stream stands right after the headers
  if (h.bitCount <= 8) {
    std::uint64_t entries = std::uint64_t{1} << h.bitCount;
    if (h.coloursUsed > 0 && h.coloursUsed < entries) entries = h.coloursUsed;
    // An offset inside the table ends it: OS/2 1.x headers give no count.
    if (offset > position) entries = std::min(entries, (offset - position) / h.entryBytes);
    std::uint8_t table[256 * 4];
    const std::size_t got = source.Read(table, static_cast<std::size_t>(entries * h.entryBytes));
    for (std::size_t i = 0; i < got / h.entryBytes; ++i) {
      const std::uint8_t* entry = table + i * h.entryBytes;
      tables_.palette[i] = Colour{entry[0]} | Colour{entry[1]} << 8 | Colour{entry[2]} << 16;
    }
    position += entries * h.entryBytes;
  }
  const std::uint64_t rowsStart = std::max(offset, position);
  const bool fields = h.compression == BmpCompression::kBitFields ||
                      h.compression == BmpCompression::kAlphaBitFields;
  std::array<std::uint32_t, 3> masks = {0xFF0000, 0xFF00, 0xFF};
  if (fields) {
    masks = {h.masks[0], h.masks[1], h.masks[2]};
  } else if (h.bitCount == 16) {
    masks = {0x7C00, 0x03E0, 0x001F};
  }
  for (std::size_t i = 0; i < 3; ++i)
    tables_.channels[i] = MakeChannel(masks[i]);
  partialPixels_ = false;
  switch (h.bitCount) {
    case 1:
      decode_ = DecodePalette1;
      break;
    case 2:
      decode_ = DecodePalette2;
      break;
    case 4:
      decode_ = DecodePalette4;
      break;
    case 8:
      decode_ = DecodePalette8;
      break;
    case 16:
      decode_ = DecodeFields16;
      if (!FieldsInVectors(tables_)) {
        tables_.words =
            WordTable(words_, h, [this](Colour* words) { FieldsWords(tables_, words); });
      }
      break;
    case 24:
      decode_ = DecodeBgr24;
      partialPixels_ = true;
      break;
    default: {  // whole bytes in blue, green, red order are the classic layout
      const bool bgrx = masks == std::array<std::uint32_t, 3>{0xFF0000, 0xFF00, 0xFF};
      const bool bytes = std::all_of(masks.begin(), masks.end(), [](std::uint32_t mask) {
        return mask != 0 && mask == 0xFFu << (std::countr_zero(mask) / 8 * 8);
      });
      decode_ = bgrx ? DecodeBgrx32 : bytes ? DecodeBytes32 : DecodeFields32;
      partialPixels_ = bgrx;
      break;
    }
  }
  if (h.compression == BmpCompression::kRle8 || h.compression == BmpCompression::kRle4) {
    source.Skip(rowsStart - position);
    rle_.emplace(source, tables_, h.width, h.height, h.bitCount);
    return true;
  }
  if (h.topDown) {
    rowsStart_ = rowsStart;
    rowsRead_ = 0;
  } else {
    source.Skip(rowsStart - position);
  }
  return true;
}

void BmpFile::DecodeRow(const std::uint8_t* row, std::int64_t have, std::int64_t width,
                        std::uint8_t* out) {
  const std::int64_t complete = decode_(row, have, width, tables_, out);
  if (complete == width) return;
  std::memset(out + 3 * complete, 255, static_cast<std::size_t>(3 * (width - complete)));
  if (partialPixels_) {
    // A pixel cut short takes the bytes that the file has.
    const int pixelBytes = header_.bitCount / 8;
    const std::int64_t rest = std::min<std::int64_t>(have - complete * pixelBytes, 3);
    for (std::int64_t b = 0; b < rest; ++b)
      out[3 * complete + b] = row[complete * pixelBytes + b];
  }
}

void BmpFile::ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                       std::int64_t rows) {
  if (rle_) {
    rle_->ReadRows(out, stride, columns, rows);
    return;
  }
  const std::int64_t width = std::min(columns, header_.width);
  if (header_.topDown) {
    ReadTopDownRows(out, stride, width, rows);
    return;
  }
  const auto used = static_cast<std::size_t>(3 * width);
  if (header_.bitCount == 24 && width == header_.width && stride == rowStride_) {
    // Stored rows are already what is wanted: read them in place, then make
    // white what the file does not hold.
    const std::size_t wanted = static_cast<std::size_t>(rows) * stride;
    const std::size_t got = source_->eof() ? 0 : source_->ReadInto(out, wanted);
    if (got == wanted) return;
    const std::size_t whole = got / stride;
    const std::size_t have = got % stride;
    if (have < used) std::memset(out + whole * stride + have, 255, used - have);
    for (std::size_t r = whole + 1; r < static_cast<std::size_t>(rows); ++r)
      std::memset(out + r * stride, 255, used);
    return;
  }
  for (std::int64_t i = 0; i < rows; ++i, out += stride) {
    if (source_->eof()) {
      std::memset(out, 255, used);
      continue;
    }
    const std::span<const std::uint8_t> row = source_->Take(rowStride_);
    DecodeRow(row.data(), static_cast<std::int64_t>(row.size()), width, out);
  }
}

void BmpFile::ReadTopDownRows(std::uint8_t* out, std::size_t stride, std::int64_t width,
                              std::int64_t rows) {
  const auto rowStride = static_cast<std::int64_t>(rowStride_);
  const std::int64_t chunkRows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(ByteSource::kChunkBytes) / rowStride);
  while (rows > 0) {
    // The next rows from the bottom are stored rows last - count + 1 to
    // last: one block of the file, read backwards.
    const std::int64_t count = std::min({rows, chunkRows, header_.height - rowsRead_});
    if (count <= 0) {  // past the top row
      for (; rows > 0; --rows, out += stride)
        std::memset(out, 255, static_cast<std::size_t>(3 * width));
      return;
    }
    const std::int64_t first = header_.height - rowsRead_ - count;
    const std::span<const std::uint8_t> block =
        source_->ReadAt(rowsStart_ + static_cast<std::uint64_t>(first * rowStride),
                        static_cast<std::size_t>(count * rowStride));
    const auto got = static_cast<std::int64_t>(block.size());
    for (std::int64_t i = 0; i < count; ++i, out += stride) {
      const std::int64_t at = (count - 1 - i) * rowStride;
      const std::int64_t have = std::clamp<std::int64_t>(got - at, 0, rowStride);
      if (have == 0) {
        std::memset(out, 255, static_cast<std::size_t>(3 * width));
      } else {
        DecodeRow(block.data() + at, have, width, out);
      }
    }
    rowsRead_ += count;
    rows -= count;
  }
}

void MakeUnreadable(Image& image) {
  if (!Resize(image, 1, 1) && image.bytes) {
    // Not even one pixel could be had: the bytes the image has will do.
    image.width = 1;
    image.height = 1;
    image.stride = 4;
    std::memcpy(image.bytes.get(), "\xFF\xFF\xFF\0", 4);
  }
}

namespace {

template <class Source>
bool Read(Image& image, Source source, PictureIssue* why, Reading reading) {
  BmpFile file(reading);
  PictureIssue issue = PictureIssue::kCannotOpen;
  if (file.Open(source, &issue) && file.Prepare(&issue)) {
    const BmpHeader& header = file.header();
    if (Reshape(image, header.width, header.height)) {
      file.ReadRows(image.bytes.get(), image.stride, header.width, header.height);
      ClearPadding(image);
      return true;
    }
    issue = PictureIssue::kOutOfMemory;
  }
  MakeUnreadable(image);
  if (why) *why = issue;
  return false;
}

}  // namespace

bool ReadBmp(Image& image, std::string_view name, PictureIssue* why, Reading reading) {
  return Read(image, name, why, reading);
}

bool ReadBmp(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why,
             Reading reading) {
  return Read(image, bytes, why, reading);
}

}  // namespace stillreel
