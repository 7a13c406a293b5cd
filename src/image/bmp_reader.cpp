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

// A forward-only byte stream over an open file (which it closes) or a block
// of memory. It keeps the end-of-file indicator of a C stream: set by the
// first read that finds fewer bytes than it asked for; from then on every
// guarded read fails.
class ByteSource {
 public:
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 18;

  explicit ByteSource(int fd) : fd_(fd) {}
  explicit ByteSource(std::span<const std::uint8_t> bytes)
      : data_(bytes.data()), size_(bytes.size()), ended_(true) {}
  ~ByteSource() {
    if (fd_ >= 0) ::close(fd_);
  }
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  bool eof() const { return eof_; }

  // The next n bytes, contiguous; fewer only at the end of the input, which
  // then sets the end-of-file indicator.
  std::span<const std::uint8_t> Take(std::size_t n) {
    if (size_ - position_ < n) Fill(n);
    const std::size_t take = std::min(n, size_ - position_);
    const std::uint8_t* start = data_ + position_;
    position_ += take;
    if (take < n) eof_ = true;
    return {start, take};
  }

  std::size_t Read(void* destination, std::size_t n) {
    const std::span<const std::uint8_t> bytes = Take(n);
    if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
    return bytes.size();
  }

  // Reads n bytes into `destination`, straight from the file once the
  // buffered bytes are used up; a short count sets the end-of-file indicator.
  std::size_t ReadInto(std::uint8_t* destination, std::size_t n) {
    std::size_t done = std::min(n, size_ - position_);
    if (done > 0) std::memcpy(destination, data_ + position_, done);
    position_ += done;
    while (done < n && !ended_) {
      const ssize_t got = ::read(fd_, destination + done, n - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ended_ = true;
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    if (done < n) eof_ = true;
    return done;
  }

  // The reader's only read primitive for header fields and table entries:
  // nothing is read once the end of the file has been met.
  bool GuardedRead(void* destination, std::size_t n) {
    if (eof_) return false;
    Read(destination, n);
    return true;
  }

  // Reads and discards n bytes.
  void Skip(std::uint64_t n) {
    while (n > 0) {
      if (position_ == size_ && !Fill(1)) {
        eof_ = true;
        return;
      }
      const std::uint64_t take = std::min<std::uint64_t>(n, size_ - position_);
      position_ += static_cast<std::size_t>(take);
      n -= take;
    }
  }

 private:
  // Makes at least n bytes available when the file still holds them.
  // Returns false when nothing more could be had.
  bool Fill(std::size_t n) {
    if (ended_) return position_ < size_;
    const std::size_t have = size_ - position_;
    const std::size_t need = std::max(n, kChunkBytes);
    if (capacity_ < need) {
      std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[need]);
      if (!bigger) {  // treated as the end of the file: the rest stays white
        ended_ = true;
        return have > 0;
      }
      if (have > 0) std::memcpy(bigger.get(), data_ + position_, have);
      buffer_ = std::move(bigger);
      capacity_ = need;
    } else if (have > 0 && position_ > 0) {
      std::memmove(buffer_.get(), data_ + position_, have);
    }
    data_ = buffer_.get();
    position_ = 0;
    size_ = have;
    while (size_ < n && !ended_) {
      const ssize_t got = ::read(fd_, buffer_.get() + size_, capacity_ - size_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // the end, or a read error: what is missing stays white
        ended_ = true;
        break;
      }
      size_ += static_cast<std::size_t>(got);
    }
    return size_ > 0;
  }

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  bool eof_ = false;
  bool ended_ = false;
};

namespace {

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

std::uint32_t Le(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = (value << 8) | bytes[i];
  return value;
}

// The file header and the 40-byte info header, field by field. A field
// counts as read unless the end of the file was met by an earlier read, so a
// file that ends inside its last field still passes, as a C stream would have
// it.
bool ReadHeader(ByteSource& source, BmpHeader& header, PictureIssue& why) {
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
  static constexpr std::array<std::size_t, 15> kFieldSizes = {4, 2, 2, 4, 4, 4, 4, 2,
                                                              2, 4, 4, 4, 4, 4, 4};
  std::array<std::uint32_t, 15> fields{};
  for (std::size_t i = 0; i < kFieldSizes.size(); ++i) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    if (!source.GuardedRead(bytes, kFieldSizes[i])) {
      why = PictureIssue::kShortHeader;
      return false;
    }
    fields[i] = Le(bytes, kFieldSizes[i]);
  }
  header.pixelDataOffset = fields[3];
  header.infoHeaderSize = fields[4];
  header.width = static_cast<std::int32_t>(fields[5]);
  header.height = static_cast<std::int32_t>(fields[6]);
  header.bitCount = static_cast<std::int32_t>(fields[8]);
  header.compression = fields[9];

  if (header.compression == 1 || header.compression == 2) {
    why = PictureIssue::kRunLengthEncoded;
    return false;
  }
  if (header.compression == 3 && header.bitCount != 16) {
    why = PictureIssue::kBitFieldsNot16;
    return false;
  }
  if (header.compression != 0 && header.compression != 3) {
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

// Bytes of pixel data in one stored row, and the padding after them.
std::int64_t RowDataBytes(std::int32_t bitCount, std::int32_t width) {
  return (static_cast<std::int64_t>(bitCount) * width + 7) / 8;
}
std::int64_t RowPadding(std::int64_t rowDataBytes) {
  return (4 - rowDataBytes % 4) % 4;
}

std::uint64_t FrameBytes24(const BmpHeader& header) {
  const auto row = (static_cast<std::uint64_t>(header.width) * 3 + 3) & ~std::uint64_t{3};
  return row * static_cast<std::uint64_t>(header.height);
}

int MaskShift(std::uint32_t mask) {
  int shift = 0;
  while ((mask >> shift) > 31)
    ++shift;
  return shift;
}

constexpr std::uint8_t kWhiteBytes[4] = {255, 255, 255, 0};

// Fills pixels [from, to) of a decoded row with white.
template <int kBytesPerPixel>
void FillWhite(std::uint8_t* out, std::int64_t from, std::int64_t to) {
  if (from >= to) return;
  if constexpr (kBytesPerPixel == 3) {
    std::memset(out + 3 * from, 255, static_cast<std::size_t>(3 * (to - from)));
  } else {
    for (std::int64_t x = from; x < to; ++x)
      std::memcpy(out + 4 * x, kWhiteBytes, 4);
  }
}

inline std::uint32_t Bits(std::uint32_t colour) {
  return colour;
}

inline std::uint32_t Bits(const Pixel& pixel) {
  std::uint32_t colour;
  std::memcpy(&colour, &pixel, 4);
  return colour;
}

// Four pixels, each given as four bytes in memory order (blue, green, red and
// a fourth), stored as kBytesPerPixel bytes each.
template <int kBytesPerPixel>
inline void PutFour(std::uint8_t* out, std::uint32_t c0, std::uint32_t c1, std::uint32_t c2,
                    std::uint32_t c3) {
  if constexpr (kBytesPerPixel == 3 && std::endian::native == std::endian::little) {
    // Packed into three words: no two stores overlap, which keeps the
    // stores to a buffer in cache from waiting on each other.
    const std::uint32_t w0 = (c0 & 0xFFFFFF) | (c1 << 24);
    const std::uint32_t w1 = ((c1 >> 8) & 0xFFFF) | (c2 << 16);
    const std::uint32_t w2 = ((c2 >> 16) & 0xFF) | (c3 << 8);
    std::memcpy(out, &w0, 4);
    std::memcpy(out + 4, &w1, 4);
    std::memcpy(out + 8, &w2, 4);
  } else {
    const std::uint32_t colours[4] = {c0, c1, c2, c3};
    for (int j = 0; j < 4; ++j)
      std::memcpy(out + kBytesPerPixel * j, &colours[j], kBytesPerPixel);
  }
}

// Pixels `from` to count - 1, pixel x being the colour colourOf(x) returns
// (a Pixel, or four bytes in memory order).
template <int kBytesPerPixel, class ColourOf>
inline void PutPixels(std::uint8_t* out, std::int64_t from, std::int64_t count, ColourOf colourOf) {
  std::int64_t x = from;
  for (; x + 4 <= count; x += 4) {
    PutFour<kBytesPerPixel>(out + kBytesPerPixel * x, Bits(colourOf(x)), Bits(colourOf(x + 1)),
                            Bits(colourOf(x + 2)), Bits(colourOf(x + 3)));
  }
  for (; x < count; ++x) {
    const std::uint32_t colour = Bits(colourOf(x));
    std::memcpy(out + kBytesPerPixel * x, &colour, kBytesPerPixel);
  }
}

// One pixel stored as all of its four bytes: with three bytes a pixel its
// fourth lands on the next pixel, which must be written after it.
inline void PutWhole(std::uint8_t* out, const Pixel& pixel) {
  std::memcpy(out, &pixel, 4);
}

}  // namespace

BmpFile::BmpFile() = default;
BmpFile::~BmpFile() = default;

bool BmpFile::Open(std::string_view name, PictureIssue* why) {
  PictureIssue issue = PictureIssue::kCannotOpen;
  const int fd = OpenPicture(name, issue);
  if (fd >= 0) {
    source_.reset(new (std::nothrow) ByteSource(fd));
    if (!source_) {
      ::close(fd);
      issue = PictureIssue::kOutOfMemory;
    } else if (ReadHeader(*source_, header_, issue)) {
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
  if (source_ && ReadHeader(*source_, header_, issue)) return true;
  source_.reset();
  if (why) *why = issue;
  return false;
}

bool BmpFile::Prepare(PictureIssue* why) {
  if (FrameBytes24(header_) > kMaxPictureFrameBytes) {
    if (why) *why = PictureIssue::kTooLarge;
    return false;
  }
  const std::int64_t dataBytes = RowDataBytes(header_.bitCount, header_.width);
  rowStride_ = static_cast<std::size_t>(dataBytes + RowPadding(dataBytes));
  ByteSource& source = *source_;
  const std::int64_t offset = header_.pixelDataOffset;
  palette_.fill(kBlack);  // an index beyond the table read gives black
  tableEntries_ = 0;

  if (header_.bitCount <= 8) {
    // The table follows the info header, whatever its size; every 4 bytes
    // up to the pixel data are an entry, at most 2^bit count of them.
    const std::int64_t tableStart =
        14 + std::max<std::int64_t>(40, static_cast<std::int64_t>(header_.infoHeaderSize));
    const std::int64_t maxEntries = std::int64_t{1} << header_.bitCount;
    const std::int64_t entries =
        offset > tableStart ? std::min((offset - tableStart) / 4, maxEntries) : 0;
    source.Skip(static_cast<std::uint64_t>(tableStart - kBmpHeaderBytes));
    std::uint8_t table[256 * 4];
    const std::size_t got = source.Read(table, static_cast<std::size_t>(entries) * 4);
    tableEntries_ = static_cast<std::int32_t>(got / 4);
    for (std::int32_t i = 0; i < tableEntries_; ++i) {
      palette_[i] = Pixel{table[4 * i], table[4 * i + 1], table[4 * i + 2], table[4 * i + 3]};
    }
    // Rows start at the pixel data offset, or right after the table when the
    // offset points inside it.
    const std::int64_t tableEnd = tableStart + 4 * entries;
    if (offset > tableEnd) source.Skip(static_cast<std::uint64_t>(offset - tableEnd));
  } else if (header_.bitCount == 16) {
    std::int64_t gap = offset - kBmpHeaderBytes;
    if (header_.compression == 3) {
      // Red, green and blue masks of 4 bytes each; only the low 2 bytes count.
      for (std::uint16_t& mask : masks_) {
        std::uint8_t bytes[4] = {0, 0, 0, 0};
        source.GuardedRead(bytes, 4);
        mask = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
      }
      gap -= 12;
    }
    for (int i = 0; i < 3; ++i)
      shifts_[i] = MaskShift(masks_[i]);
    // A picture of many pixels is decoded through a table of every word.
    words_.reset();
    if (static_cast<std::int64_t>(header_.width) * header_.height >= kWordTableAfter) {
      words_.reset(new (std::nothrow) std::uint32_t[65536]);
      if (words_) {
        for (std::uint32_t w = 0; w < 65536; ++w)
          words_[w] = Word16(w);
      }
    }
    if (gap > 0) source.Skip(static_cast<std::uint64_t>(gap));
  } else if (offset > kBmpHeaderBytes) {
    // A larger info header or anything else before the pixels falls in here.
    source.Skip(static_cast<std::uint64_t>(offset - kBmpHeaderBytes));
  }
  return true;
}

std::uint32_t BmpFile::Word16(std::uint32_t w) const {
  // Each channel keeps at most five bits and is scaled by 8: 0 to 248.
  const std::uint32_t blue = ((w & masks_[2]) >> shifts_[2]) * 8;
  const std::uint32_t green = ((w & masks_[1]) >> shifts_[1]) * 8;
  const std::uint32_t red = ((w & masks_[0]) >> shifts_[0]) * 8;
  return blue | (green << 8) | (red << 16);
}

std::span<const Pixel> BmpFile::colourTable() const {
  return {palette_.data(), static_cast<std::size_t>(tableEntries_)};
}

template <int kBytesPerPixel>
void BmpFile::ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                       std::int64_t rows) {
  constexpr int B = kBytesPerPixel;
  const std::int64_t width = std::min(columns, header_.width);
  for (std::int64_t i = 0; i < rows; ++i, out += stride) {
    if (source_->eof()) {
      FillWhite<B>(out, 0, width);
      continue;
    }
    const std::span<const std::uint8_t> row = source_->Take(rowStride_);
    const std::uint8_t* in = row.data();
    const auto have = static_cast<std::int64_t>(row.size());
    std::int64_t complete = 0;  // pixels wholly in the file
    switch (header_.bitCount) {
      case 24:
        complete = std::min(width, have / 3);
        if constexpr (B == 3) {
          std::memcpy(out, in, static_cast<std::size_t>(3 * complete));
        } else {
          for (std::int64_t x = 0; x < complete; ++x) {
            out[4 * x] = in[3 * x];
            out[4 * x + 1] = in[3 * x + 1];
            out[4 * x + 2] = in[3 * x + 2];
            out[4 * x + 3] = 0;
          }
        }
        break;
      case 32:
        complete = std::min(width, have / 4);
        if constexpr (B == 4) {
          std::memcpy(out, in, static_cast<std::size_t>(4 * complete));
        } else {
          PutPixels<B>(out, 0, complete, [in](std::int64_t x) {
            std::uint32_t colour;
            std::memcpy(&colour, in + 4 * x, 4);
            return colour;
          });
        }
        break;
      case 16:
        complete = std::min(width, have / 2);
        if (std::endian::native == std::endian::little && words_) {
          const std::uint32_t* colours = words_.get();
          PutPixels<B>(out, 0, complete, [in, colours](std::int64_t x) {
            return colours[in[2 * x] | (in[2 * x + 1] << 8)];
          });
          break;
        }
        for (std::int64_t x = 0; x < complete; ++x) {
          const std::uint32_t w = in[2 * x] | (std::uint32_t{in[2 * x + 1]} << 8);
          const std::uint32_t colour = Word16(w);
          std::uint8_t* p = out + B * x;
          p[0] = static_cast<std::uint8_t>(colour);
          p[1] = static_cast<std::uint8_t>(colour >> 8);
          p[2] = static_cast<std::uint8_t>(colour >> 16);
          if constexpr (B == 4) p[3] = 0;
        }
        break;
      case 8: {
        complete = std::min(width, have);
        const Pixel* palette = palette_.data();
        PutPixels<B>(out, 0, complete, [in, palette](std::int64_t x) { return palette[in[x]]; });
        break;
      }
      case 4: {
        complete = std::min(width, have * 2);
        const Pixel* palette = palette_.data();
        std::int64_t x = 0;
        for (; x + 2 < complete; x += 2) {  // a byte at a time while a pixel follows
          const std::uint8_t b = in[x / 2];
          PutWhole(out + B * x, palette[b >> 4]);
          PutWhole(out + B * (x + 1), palette[b & 0x0F]);
        }
        PutPixels<B>(out, x, complete, [in, palette](std::int64_t i) {
          const std::uint8_t b = in[i / 2];
          return palette[(i & 1) ? (b & 0x0F) : (b >> 4)];
        });
        break;
      }
      case 1: {
        complete = std::min(width, have * 8);
        const Pixel* palette = palette_.data();
        std::int64_t x = 0;
        for (; x + 8 < complete; x += 8) {  // a byte at a time while a pixel follows
          const std::uint8_t b = in[x / 8];
          for (int j = 0; j < 8; ++j)
            PutWhole(out + B * (x + j), palette[(b >> (7 - j)) & 1]);
        }
        PutPixels<B>(out, x, complete, [in, palette](std::int64_t i) {
          return palette[(in[i / 8] >> (7 - (i & 7))) & 1];
        });
        break;
      }
      default:
        break;
    }
    FillWhite<B>(out, complete, width);
    if ((header_.bitCount == 24 || header_.bitCount == 32) && complete < width) {
      // A pixel cut short takes the bytes that the file has.
      const int step = header_.bitCount / 8;
      const std::int64_t rest = have - complete * step;
      for (std::int64_t b = 0; b < rest && b < 3; ++b)
        out[B * complete + b] = in[complete * step + b];
      if constexpr (B == 4) {
        if (rest > 3) out[4 * complete + 3] = in[complete * step + 3];
      }
    }
  }
}

void BmpFile::ReadRows24(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                         std::int64_t rows) {
  if (header_.bitCount != 24 || columns < header_.width || stride != rowStride_) {
    ReadRows<3>(out, stride, columns, rows);
    return;
  }
  // Stored rows are already what is wanted: read them in place, then make
  // white what the file does not hold.
  const std::size_t wanted = static_cast<std::size_t>(rows) * stride;
  const std::size_t got = source_->eof() ? 0 : source_->ReadInto(out, wanted);
  if (got == wanted) return;
  const std::size_t used = 3 * static_cast<std::size_t>(header_.width);
  const std::size_t whole = got / stride;
  const std::size_t have = got % stride;
  std::uint8_t* row = out + whole * stride;
  if (have < used) std::memset(row + have, 255, used - have);
  for (std::size_t r = whole + 1; r < static_cast<std::size_t>(rows); ++r) {
    std::memset(out + r * stride, 255, used);
  }
}

void BmpFile::ReadRowsPixels(Pixel* out, std::size_t stride, std::int32_t columns,
                             std::int64_t rows) {
  ReadRows<4>(reinterpret_cast<std::uint8_t*>(out), stride * sizeof(Pixel), columns, rows);
}

void MakeUnreadable(Image& image) {
  SetBitDepth(image, 1);
  if (!Resize(image, 1, 1) && image.pixels) {
    // Not even one pixel could be had: the block the image has will do.
    image.width = 1;
    image.height = 1;
    image.pixels[0] = kWhite;
  }
}

bool ReadPixels(BmpFile& file, Image& image) {
  const BmpHeader& header = file.header();
  const std::int32_t width = header.width;
  const std::int64_t height = header.height;
  // Rows are decoded a block at a time and then spread over the columns, so
  // each column is written in runs rather than one pixel per cache line.
  const std::int64_t blockRows =
      std::clamp<std::int64_t>((std::int64_t{1} << 16) / (std::int64_t{4} * width), 1, 32);
  std::unique_ptr<Pixel[]> block(new (std::nothrow)
                                     Pixel[static_cast<std::size_t>(blockRows * width)]);
  if (!block || !Resize(image, width, header.height)) return false;
  SetBitDepth(image, header.bitCount);
  const std::span<const Pixel> table = file.colourTable();
  if (header.bitCount <= 8) image.colourTable.assign(table.begin(), table.end());
  for (std::int64_t first = 0; first < height; first += blockRows) {
    const std::int64_t rows = std::min(blockRows, height - first);
    file.ReadRowsPixels(block.get(), static_cast<std::size_t>(width), width, rows);
    for (std::int32_t x = 0; x < width; ++x) {
      // Stored row s is picture row height - 1 - s: rows are stored bottom-up.
      Pixel* column = Column(image, x) + (height - 1 - first);
      const Pixel* in = block.get() + x;
      for (std::int64_t j = 0; j < rows; ++j)
        column[-j] = in[j * width];
    }
  }
  return true;
}

bool ReadPixels(BmpFile& file, Dib24& dib) {
  const BmpHeader& header = file.header();
  if (!Resize(dib, header.width, header.height)) return false;
  file.ReadRows24(dib.bytes.get(), dib.stride, header.width, header.height);
  const std::size_t used = 3 * static_cast<std::size_t>(header.width);
  if (dib.stride > used) {
    for (std::int64_t r = 0; r < header.height; ++r) {
      std::memset(Row(dib, r) + used, 0, dib.stride - used);
    }
  }
  return true;
}

bool ProbeBmp(std::string_view name, BmpHeader& header, PictureIssue* why) {
  BmpFile file;
  if (!file.Open(name, why)) return false;
  header = file.header();
  return true;
}

namespace {

template <class Source>
bool Read(Image& image, Source source, PictureIssue* why) {
  BmpFile file;
  PictureIssue issue = PictureIssue::kCannotOpen;
  if (file.Open(source, &issue) && file.Prepare(&issue)) {
    if (ReadPixels(file, image)) return true;
    issue = PictureIssue::kOutOfMemory;
  }
  MakeUnreadable(image);
  if (why) *why = issue;
  return false;
}

}  // namespace

bool ReadBmp(Image& image, std::string_view name, PictureIssue* why) {
  return Read(image, name, why);
}

bool ReadBmpBytes(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why) {
  return Read(image, bytes, why);
}

}  // namespace stillreel
