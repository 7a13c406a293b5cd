#include "image/bmp_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "size_limits.h"

namespace stillreel {
namespace {

// The pictures with at least this many pixels decode 16-bit words through a
// table of all 65,536 of them.
constexpr std::int64_t kWordTableAfter = std::int64_t{1} << 17;

int OpenPicture(std::string_view name, PictureIssue& why) {
  if (name.find('\0') != std::string_view::npos) {
    why = PictureIssue::kCannotOpen;
    return -1;
  }
  const std::string path(name);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    why = PictureIssue::kCannotOpen;
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    why = PictureIssue::kNotAFile;
    return -1;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
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

}  // namespace

BmpFile::BmpFile(Reading reading) : reading_(reading) {}
BmpFile::~BmpFile() = default;

bool BmpFile::Open(std::string_view name, PictureIssue* why) {
  PictureIssue issue = PictureIssue::kCannotOpen;
  const int fd = OpenPicture(name, issue);
  if (fd >= 0) {
    source_.reset(new (std::nothrow) ByteSource(fd));
    if (!source_) {
      ::close(fd);
      issue = PictureIssue::kOutOfMemory;
    } else if (ReadBmpHeader(*source_, header_, issue) && CheckBmpHeader(header_, issue)) {
      return true;
    }
  }
  source_.reset();
  if (why) *why = issue;
  return false;
}

bool BmpFile::Open(std::span<const std::uint8_t> bytes, PictureIssue* why) {
  PictureIssue issue = PictureIssue::kOutOfMemory;
  source_.reset(new (std::nothrow) ByteSource(bytes));
  if (source_ && ReadBmpHeader(*source_, header_, issue) && CheckBmpHeader(header_, issue)) {
    return true;
  }
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
  decode_ = DecoderFor(header_.bitCount);
  ByteSource& source = *source_;
  const std::int64_t offset = header_.pixelDataOffset;
  tables_.palette.fill(0);  // an index beyond the table read gives black

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
    tables_.words = nullptr;
    if (std::endian::native == std::endian::little &&
        static_cast<std::int64_t>(header_.width) * header_.height >= kWordTableAfter) {
      if (!words_) words_.reset(new (std::nothrow) Colour[65536]);
      if (words_) {
        for (std::uint32_t w = 0; w < 65536; ++w)
          words_[w] = Word16(tables_, w);
        tables_.words = words_.get();
      }
    }
    if (gap > 0) source.Skip(static_cast<std::uint64_t>(gap));
  } else if (offset > kBmpHeaderBytes) {
    // A larger info header or anything else before the pixels falls in here.
    source.Skip(static_cast<std::uint64_t>(offset - kBmpHeaderBytes));
  }
  return true;
}

void BmpFile::ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                       std::int64_t rows) {
  const std::int64_t width = std::min(columns, header_.width);
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
  const int pixelBytes = header_.bitCount / 8;
  for (std::int64_t i = 0; i < rows; ++i, out += stride) {
    if (source_->eof()) {
      std::memset(out, 255, used);
      continue;
    }
    const std::span<const std::uint8_t> row = source_->Take(rowStride_);
    const auto have = static_cast<std::int64_t>(row.size());
    const std::int64_t complete = decode_(row.data(), have, width, tables_, out);
    if (complete == width) continue;
    std::memset(out + 3 * complete, 255, used - static_cast<std::size_t>(3 * complete));
    if (pixelBytes >= 3) {
      // A pixel cut short takes the bytes that the file has.
      const std::int64_t rest = std::min<std::int64_t>(have - complete * pixelBytes, 3);
      for (std::int64_t b = 0; b < rest; ++b)
        out[3 * complete + b] = row[static_cast<std::size_t>(complete * pixelBytes + b)];
    }
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
