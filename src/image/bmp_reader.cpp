#include "image/bmp_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "image/bmp_classic.h"
#include "platform/file.h"
#include "size_limits.h"

namespace stillreel {
namespace {

// The pictures with at least this many pixels decode 16-bit words through a
// table of all 65,536 of them.
constexpr std::int64_t kWordTableAfter = std::int64_t{1} << 17;

// ReadRowsAs decodes about this many bytes of colour rows at a time.
constexpr std::size_t kScratchBytes = std::size_t{64} << 10;

platform::File OpenPicture(std::string_view name, PictureIssue& why) {
  platform::File file;
  const platform::Opened opened =
      platform::OpenForReading(platform::PathOf(name), platform::Accept::kRegularFile, file);
  if (opened == platform::Opened::kCannotOpen) why = PictureIssue::kCannotOpen;
  if (opened == platform::Opened::kNotAFile) why = PictureIssue::kNotAFile;
  return file;
}

// The one switch from a layout to its row decoder; run-length encoded
// pictures are decoded by RleRows instead.
RowDecoder DecoderFor(PixelLayout pixels) {
  switch (pixels) {
    case PixelLayout::kPalette1:
      return DecodePalette1;
    case PixelLayout::kPalette2:
      return DecodePalette2;
    case PixelLayout::kPalette4:
    case PixelLayout::kRle4:
      return DecodePalette4;
    case PixelLayout::kPalette8:
    case PixelLayout::kRle8:
      return DecodePalette8;
    case PixelLayout::kFields16:
      return DecodeFields16;
    case PixelLayout::kBgr24:
      return DecodeBgr24;
    case PixelLayout::kBgrx32:
      return DecodeBgrx32;
    case PixelLayout::kBytes32:
      return DecodeBytes32;
    case PixelLayout::kFields32:
      return DecodeFields32;
  }
  return DecodeBgr24;
}

// Reading the headers and checking them: the only place where the two
// readings differ.
bool ReadHeaders(ByteSource& source, Reading reading, BmpHeader& header, BmpLayout& layout,
                 PictureIssue& why) {
  if (reading == Reading::kFull) {
    return ReadBmpHeader(source, header, why) && CheckBmpHeader(header, layout, why);
  }
  return ReadClassicBmpHeader(source, header, why) && CheckClassicBmpHeader(header, layout, why);
}

// The colour table's `entries` entries of `entryBytes` bytes, as far as the
// file holds them; the rest of the palette stays as it is.
void ReadPalette(ByteSource& source, std::uint32_t entries, std::uint32_t entryBytes,
                 std::array<Colour, 256>& palette) {
  std::uint8_t table[256 * 4];
  const std::size_t got = source.Read(table, std::size_t{entries} * entryBytes);
  for (std::size_t i = 0; i < got / entryBytes; ++i) {
    const std::uint8_t* entry = table + i * entryBytes;
    palette[i] = Colour{entry[0]} | Colour{entry[1]} << 8 | Colour{entry[2]} << 16;
  }
}

// The colour of every 16-bit word, for pictures worth the table whose rows
// are not decoded in vector registers; null otherwise.
const Colour* WordTable(std::unique_ptr<Colour[]>& words, const BmpLayout& layout,
                        const RowTables& tables) {
  if (std::endian::native != std::endian::little || FieldsInVectors(tables) ||
      static_cast<std::int64_t>(layout.width) * layout.height < kWordTableAfter) {
    return nullptr;
  }
  if (!words) words.reset(new (std::nothrow) Colour[65536]);
  if (!words) return nullptr;
  FieldsWords(tables, words.get());
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
    } else if (ReadHeaders(*source_, reading_, header_, layout_, issue)) {
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
  if (source_ && ReadHeaders(*source_, reading_, header_, layout_, issue)) return true;
  source_.reset();
  if (why) *why = issue;
  return false;
}

bool BmpFile::Prepare(PictureIssue* why) {
  const BmpLayout& layout = layout_;
  if (RowBytes(24, layout.width) * static_cast<std::uint64_t>(layout.height) >
      kMaxPictureFrameBytes) {
    if (why) *why = PictureIssue::kTooLarge;
    return false;
  }
  rowStride_ = static_cast<std::size_t>(StoredRowBytes(layout));
  tables_.palette.fill(0);  // an index beyond the table read gives black
  tables_.channels = layout.channels;
  tables_.words = nullptr;
  rle_.reset();
  decode_ = DecoderFor(layout.pixels);
  if (layout.pixels == PixelLayout::kFields16) tables_.words = WordTable(words_, layout, tables_);
  // The stream stands right after the headers; the table may start later.
  ByteSource& source = *source_;
  source.Skip(layout.tableStart - header_.headerBytes);
  ReadPalette(source, layout.entries, layout.entryBytes, tables_.palette);
  const std::uint64_t position =
      layout.tableStart + std::uint64_t{layout.entries} * layout.entryBytes;
  if (layout.topDown) {
    rowsRead_ = 0;  // its rows are read back from the end
    return true;
  }
  source.Skip(layout.rowsStart - position);
  if (layout.pixels == PixelLayout::kRle8 || layout.pixels == PixelLayout::kRle4) {
    rle_.emplace(source, tables_, layout.width, layout.height, layout.bitCount);
  }
  return true;
}

void BmpFile::DecodeRow(const std::uint8_t* row, std::int64_t have, std::int64_t width,
                        std::uint8_t* out, std::uint8_t* alpha) {
  if (alpha) DecodeAlpha(row, have, width, layout_.bitCount, layout_.alpha, alpha);
  const std::int64_t complete = decode_(row, have, width, tables_, out);
  if (complete == width) return;
  std::memset(out + 3 * complete, 255, static_cast<std::size_t>(3 * (width - complete)));
  if (PartialPixels(layout_)) {
    // A pixel cut short takes the bytes that the file has.
    const int pixelBytes = layout_.bitCount / 8;
    const std::int64_t rest = std::min<std::int64_t>(have - complete * pixelBytes, 3);
    for (std::int64_t b = 0; b < rest; ++b)
      out[3 * complete + b] = row[complete * pixelBytes + b];
  }
}

void BmpFile::ReadRowsAs(std::int32_t pixelBytes, std::uint8_t* out, std::size_t stride,
                         std::int32_t columns, std::int64_t rows) {
  if (pixelBytes == 3) {
    ReadRows(out, stride, columns, rows, nullptr);
    return;
  }
  if (pixelBytes == 1 && layout_.pixels == PixelLayout::kPalette8 && !layout_.topDown) {
    ReadGreyIndices(out, stride, std::min(columns, layout_.width), rows);
    return;
  }
  // Colour rows (and alphas) decoded a few at a time, then turned into the kind.
  const auto width = static_cast<std::size_t>(std::min(columns, layout_.width));
  const bool alpha = pixelBytes == 4 && layout_.alpha.factor != 0;
  const auto colourBytes = static_cast<std::size_t>(RowBytes(24, columns));
  const std::size_t rowBytes = colourBytes + (alpha ? width : 0);
  const std::int64_t perTurn = std::clamp<std::int64_t>(
      static_cast<std::int64_t>(kScratchBytes / rowBytes), 1, std::max<std::int64_t>(rows, 1));
  const std::size_t need = static_cast<std::size_t>(perTurn) * rowBytes;
  if (scratchBytes_ < need) {
    scratch_.reset(new std::uint8_t[need]);
    scratchBytes_ = need;
  }
  std::uint8_t* colours = scratch_.get();
  std::uint8_t* alphas =
      alpha ? colours + static_cast<std::size_t>(perTurn) * colourBytes : nullptr;
  for (std::int64_t done = 0; done < rows;) {
    const std::int64_t turn = std::min(perTurn, rows - done);
    ReadRows(colours, colourBytes, columns, turn, alphas);
    for (std::int64_t i = 0; i < turn; ++i) {
      const std::uint8_t* colour = colours + static_cast<std::size_t>(i) * colourBytes;
      std::uint8_t* row = out + static_cast<std::size_t>(done + i) * stride;
      if (pixelBytes == 1) {
        GreyRow(colour, width, row);
      } else {
        BgraRow(colour, alphas ? alphas + static_cast<std::size_t>(i) * width : nullptr, width,
                row);
      }
    }
    done += turn;
  }
}

void BmpFile::ReadGreyIndices(std::uint8_t* out, std::size_t stride, std::int64_t width,
                              std::int64_t rows) {
  std::array<std::uint8_t, 256> greyOf;
  bool same = true;  // each index is its own grey, as grey cameras write them
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint8_t bgr[3] = {static_cast<std::uint8_t>(tables_.palette[i]),
                                 static_cast<std::uint8_t>(tables_.palette[i] >> 8),
                                 static_cast<std::uint8_t>(tables_.palette[i] >> 16)};
    GreyRow(bgr, 1, &greyOf[i]);
    same = same && greyOf[i] == i;
  }
  const auto used = static_cast<std::size_t>(width);
  std::int64_t i = 0;
  if (same && width == layout_.width && stride == rowStride_) {
    // The stored rows are the grey rows: read them in place.
    const std::size_t wanted = static_cast<std::size_t>(rows) * stride;
    const std::size_t got = source_->eof() ? 0 : source_->ReadInto(out, wanted);
    if (got == wanted) return;
    i = static_cast<std::int64_t>(got / stride);
    const std::size_t have = got % stride;
    if (have < used)
      std::memset(out + static_cast<std::size_t>(i) * stride + have, 255, used - have);
    ++i;
  }
  for (; i < rows; ++i) {
    std::uint8_t* row = out + static_cast<std::size_t>(i) * stride;
    const std::span<const std::uint8_t> in =
        source_->eof() ? std::span<const std::uint8_t>() : source_->Take(rowStride_);
    const std::size_t have = std::min(used, in.size());
    for (std::size_t x = 0; x < have; ++x)
      row[x] = greyOf[in[x]];
    std::memset(row + have, 255, used - have);  // white where the file ends
  }
}

bool BmpFile::IsGrey() {
  const auto grey = [](Colour c) {
    return (c & 0xFF) == ((c >> 8) & 0xFF) && (c & 0xFF) == ((c >> 16) & 0xFF);
  };
  // Indexes beyond the table are black.
  if (layout_.bitCount <= 8 && std::all_of(tables_.palette.begin(), tables_.palette.end(), grey)) {
    return true;
  }
  const auto rowBytes = static_cast<std::size_t>(RowBytes(24, layout_.width));
  const std::int64_t perTurn =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(kScratchBytes / rowBytes));
  const std::int64_t left = layout_.height;
  std::unique_ptr<std::uint8_t[]> rows(
      new std::uint8_t[static_cast<std::size_t>(std::min(perTurn, left)) * rowBytes]);
  const auto width = static_cast<std::size_t>(layout_.width);
  for (std::int64_t done = 0; done < left;) {
    const std::int64_t turn = std::min(perTurn, left - done);
    ReadRows(rows.get(), rowBytes, layout_.width, turn, nullptr);
    for (std::int64_t i = 0; i < turn; ++i) {
      const std::uint8_t* p = rows.get() + static_cast<std::size_t>(i) * rowBytes;
      for (std::size_t x = 0; x < width; ++x, p += 3) {
        if (p[0] != p[1] || p[0] != p[2]) return false;
      }
    }
    done += turn;
  }
  return true;
}

void BmpFile::ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                       std::int64_t rows, std::uint8_t* alpha) {
  if (rle_) {
    rle_->ReadRows(out, stride, columns, rows);
    return;
  }
  const std::int64_t width = std::min(columns, layout_.width);
  if (layout_.topDown) {
    ReadTopDownRows(out, stride, width, rows, alpha);
  } else {
    ReadBottomUpRows(out, stride, width, rows, alpha);
  }
}

void BmpFile::ReadBottomUpRows(std::uint8_t* out, std::size_t stride, std::int64_t width,
                               std::int64_t rows, std::uint8_t* alpha) {
  const auto used = static_cast<std::size_t>(3 * width);
  const auto alphaBytes = static_cast<std::size_t>(width);
  if (layout_.pixels == PixelLayout::kBgr24 && width == layout_.width && stride == rowStride_) {
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
    std::uint8_t* rowAlpha = alpha ? alpha + static_cast<std::size_t>(i) * alphaBytes : nullptr;
    if (source_->eof()) {
      std::memset(out, 255, used);
      if (rowAlpha) std::memset(rowAlpha, 255, alphaBytes);
      continue;
    }
    const std::span<const std::uint8_t> row = source_->Take(rowStride_);
    DecodeRow(row.data(), static_cast<std::int64_t>(row.size()), width, out, rowAlpha);
  }
}

void BmpFile::ReadTopDownRows(std::uint8_t* out, std::size_t stride, std::int64_t width,
                              std::int64_t rows, std::uint8_t* alpha) {
  const auto alphaBytes = static_cast<std::size_t>(width);
  // Past the top row, or past the end of the file: white and opaque.
  const auto white = [&](std::uint8_t* row) {
    std::memset(row, 255, static_cast<std::size_t>(3 * width));
    if (alpha) std::memset(alpha, 255, alphaBytes);
  };
  const auto rowStride = static_cast<std::int64_t>(rowStride_);
  const std::int64_t chunkRows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(ByteSource::kChunkBytes) / rowStride);
  while (rows > 0) {
    // The next rows from the bottom are stored rows last - count + 1 to
    // last: one block of the file, read backwards.
    const std::int64_t count = std::min({rows, chunkRows, layout_.height - rowsRead_});
    if (count <= 0) {  // past the top row
      for (; rows > 0; --rows, out += stride) {
        white(out);
        if (alpha) alpha += alphaBytes;
      }
      return;
    }
    const std::int64_t first = layout_.height - rowsRead_ - count;
    const std::span<const std::uint8_t> block =
        source_->ReadAt(layout_.rowsStart + static_cast<std::uint64_t>(first * rowStride),
                        static_cast<std::size_t>(count * rowStride));
    const auto got = static_cast<std::int64_t>(block.size());
    for (std::int64_t i = 0; i < count; ++i, out += stride) {
      const std::int64_t at = (count - 1 - i) * rowStride;
      const std::int64_t have = std::clamp<std::int64_t>(got - at, 0, rowStride);
      if (have == 0) {
        white(out);
      } else {
        DecodeRow(block.data() + at, have, width, out, alpha);
      }
      if (alpha) alpha += alphaBytes;
    }
    rowsRead_ += count;
    rows -= count;
  }
}

void MakeUnreadable(Image& image, std::int32_t pixelBytes) {
  image.pixelBytes = pixelBytes;
  if (!Resize(image, 1, 1) && image.bytes) {
    // Not even one pixel could be had: the bytes the image has (at least
    // one row's 4) will do.
    image.width = 1;
    image.height = 1;
    image.stride = 4;
    std::memset(image.bytes.get(), 0, 4);
    std::memset(image.bytes.get(), 255, static_cast<std::size_t>(pixelBytes));
  }
}

namespace {

template <class Source>
bool Read(Image& image, Source source, PictureIssue* why, Reading reading,
          std::int32_t pixelBytes) {
  BmpFile file(reading);
  PictureIssue issue = PictureIssue::kCannotOpen;
  if (file.Open(source, &issue) && file.Prepare(&issue)) {
    const BmpLayout& layout = file.layout();
    image.pixelBytes = pixelBytes;
    if (ResizeUnfilled(image, layout.width, layout.height)) {
      file.ReadRowsAs(pixelBytes, image.bytes.get(), image.stride, layout.width, layout.height);
      ClearPadding(image);
      return true;
    }
    issue = PictureIssue::kOutOfMemory;
  }
  MakeUnreadable(image, pixelBytes);
  if (why) *why = issue;
  return false;
}

}  // namespace

bool ReadBmp(Image& image, std::string_view name, PictureIssue* why, Reading reading,
             std::int32_t pixelBytes) {
  return Read(image, name, why, reading, pixelBytes);
}

bool ReadBmp(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why, Reading reading,
             std::int32_t pixelBytes) {
  return Read(image, bytes, why, reading, pixelBytes);
}

}  // namespace stillreel
