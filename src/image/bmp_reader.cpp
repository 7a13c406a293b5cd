#include "image/bmp_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "size_limits.h"

namespace stillreel {
namespace {

// A forward-only byte stream over an open file or a block of memory. It keeps
// the end-of-file indicator of a C stream: set by the first read that finds
// fewer bytes than it asked for, and from then on every guarded read fails.
class ByteSource {
 public:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

  explicit ByteSource(int fd) : fd_(fd), buffer_(new (std::nothrow) std::uint8_t[kBufferBytes]) {
    if (!buffer_) fd_ = -1;  // reads nothing: every pixel stays white
  }
  explicit ByteSource(std::span<const std::uint8_t> bytes)
      : data_(bytes.data()), size_(bytes.size()) {}

  bool eof() const { return eof_; }

  // Reads up to n bytes; a short count sets the end-of-file indicator.
  std::size_t Read(void* destination, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(destination);
    std::size_t done = TakeBuffered(out, n);
    if (done < n && n - done >= kBufferBytes) {
      done += ReadDirect(out + done, n - done);  // large reads skip the buffer
    } else {
      while (done < n && Refill())
        done += TakeBuffered(out + done, n - done);
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
      if (position_ == size_ && !Refill()) {
        eof_ = true;
        return;
      }
      const std::uint64_t take = std::min<std::uint64_t>(n, size_ - position_);
      position_ += static_cast<std::size_t>(take);
      n -= take;
    }
  }

 private:
  std::size_t TakeBuffered(std::uint8_t* out, std::size_t n) {
    const std::size_t take = std::min(n, size_ - position_);
    if (take > 0) std::memcpy(out, data_ + position_, take);
    position_ += take;
    return take;
  }

  // Buffers the next bytes of the file. False at its end (or for memory).
  bool Refill() {
    if (fd_ < 0) return false;
    size_ = ReadDirect(buffer_.get(), kBufferBytes);
    data_ = buffer_.get();
    position_ = 0;
    return size_ > 0;
  }

  std::size_t ReadDirect(std::uint8_t* out, std::size_t n) {
    if (fd_ < 0 || ended_) return 0;
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::read(fd_, out + done, n - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // the end, or a read error: what is missing stays white
        ended_ = true;
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  bool eof_ = false;
  bool ended_ = false;
};

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens a picture for reading without ever blocking: a FIFO or a device is
// refused by its file type before anything is read from it.
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

// Decodes the pixel rows, bottom row first, into the white image. `row` has
// room for one stored row with its padding. Pixels whose bytes the file does
// not hold keep their white.
void ReadRows(ByteSource& source, Image& image, const BmpHeader& header,
              const std::array<Pixel, 256>& palette, const std::uint16_t masks[3],
              std::uint8_t* row) {
  const std::int32_t width = image.width;
  const std::int64_t height = image.height;
  const std::int64_t dataBytes = RowDataBytes(header.bitCount, width);
  const auto strideBytes = static_cast<std::size_t>(dataBytes + RowPadding(dataBytes));
  int shifts[3] = {MaskShift(masks[0]), MaskShift(masks[1]), MaskShift(masks[2])};
  Pixel* pixels = image.pixels.get();

  for (std::int64_t y = height - 1; y >= 0 && !source.eof(); --y) {
    const std::size_t got = source.Read(row, strideBytes);
    const auto have = static_cast<std::int64_t>(std::min<std::size_t>(got, strideBytes));
    Pixel* p = pixels + y;  // pixel (x, y) is p[x * height]
    switch (header.bitCount) {
      case 24:
      case 32: {
        const int step = header.bitCount / 8;
        const std::int64_t complete = std::min<std::int64_t>(width, have / step);
        for (std::int64_t x = 0; x < complete; ++x) {
          const std::uint8_t* b = row + x * step;
          Pixel& out = p[x * height];
          out.blue = b[0];
          out.green = b[1];
          out.red = b[2];
          if (step == 4) out.alpha = b[3];
        }
        if (complete < width) {  // a pixel cut short takes the bytes it has
          const std::int64_t rest = have - complete * step;
          auto* bytes = reinterpret_cast<std::uint8_t*>(&p[complete * height]);
          for (std::int64_t i = 0; i < rest; ++i)
            bytes[i] = row[complete * step + i];
        }
        break;
      }
      case 16: {
        const std::int64_t complete = std::min<std::int64_t>(width, have / 2);
        for (std::int64_t x = 0; x < complete; ++x) {
          const std::uint32_t w = row[2 * x] | (std::uint32_t{row[2 * x + 1]} << 8);
          Pixel& out = p[x * height];
          out.red = static_cast<std::uint8_t>(((w & masks[0]) >> shifts[0]) * 8);
          out.green = static_cast<std::uint8_t>(((w & masks[1]) >> shifts[1]) * 8);
          out.blue = static_cast<std::uint8_t>(((w & masks[2]) >> shifts[2]) * 8);
        }
        break;
      }
      case 8: {
        const std::int64_t complete = std::min<std::int64_t>(width, have);
        for (std::int64_t x = 0; x < complete; ++x)
          p[x * height] = palette[row[x]];
        break;
      }
      case 4: {
        const std::int64_t complete = std::min<std::int64_t>(width, have * 2);
        for (std::int64_t x = 0; x < complete; ++x) {
          const std::uint8_t b = row[x / 2];
          p[x * height] = palette[(x & 1) ? (b & 0x0F) : (b >> 4)];
        }
        break;
      }
      case 1: {
        const std::int64_t complete = std::min<std::int64_t>(width, have * 8);
        for (std::int64_t x = 0; x < complete; ++x) {
          p[x * height] = palette[(row[x / 8] >> (7 - (x & 7))) & 1];
        }
        break;
      }
      default:
        break;
    }
  }
}

bool Fail(Image& image, PictureIssue issue, PictureIssue* why) {
  SetBitDepth(image, 1);
  if (!Resize(image, 1, 1)) {
    // One pixel cannot be had: keep whatever block the image has, made white.
    if (image.pixels) {
      image.width = 1;
      image.height = 1;
      image.pixels[0] = kWhite;
    }
  }
  if (why) *why = issue;
  return false;
}

bool Decode(ByteSource& source, Image& image, PictureIssue* why) {
  BmpHeader header;
  PictureIssue issue = PictureIssue::kNotBmp;
  if (!ReadHeader(source, header, issue)) return Fail(image, issue, why);
  if (FrameBytes24(header) > kMaxPictureFrameBytes) {
    return Fail(image, PictureIssue::kTooLarge, why);
  }
  const std::int64_t dataBytes = RowDataBytes(header.bitCount, header.width);
  const auto strideBytes = static_cast<std::size_t>(dataBytes + RowPadding(dataBytes));
  std::unique_ptr<std::uint8_t[]> row(new (std::nothrow) std::uint8_t[strideBytes]);
  if (!row || !Resize(image, header.width, header.height)) {
    return Fail(image, PictureIssue::kOutOfMemory, why);
  }
  SetBitDepth(image, header.bitCount);

  const std::int64_t offset = header.pixelDataOffset;
  std::array<Pixel, 256> palette;
  palette.fill(kBlack);  // an index beyond the table read gives black
  std::uint16_t masks[3] = {0x7C00, 0x03E0, 0x001F};

  if (header.bitCount <= 8) {
    // The table follows the info header, whatever its size; every 4 bytes
    // up to the pixel data are an entry, at most 2^bit count of them.
    const std::int64_t tableStart =
        14 + std::max<std::int64_t>(40, static_cast<std::int64_t>(header.infoHeaderSize));
    const std::int64_t maxEntries = std::int64_t{1} << header.bitCount;
    const std::int64_t entries =
        offset > tableStart ? std::min((offset - tableStart) / 4, maxEntries) : 0;
    source.Skip(static_cast<std::uint64_t>(tableStart - kBmpHeaderBytes));
    std::uint8_t table[256 * 4];
    const std::size_t got = source.Read(table, static_cast<std::size_t>(entries) * 4);
    image.colourTable.assign(got / 4, kBlack);
    for (std::size_t i = 0; i < got / 4; ++i) {
      image.colourTable[i] =
          Pixel{table[4 * i], table[4 * i + 1], table[4 * i + 2], table[4 * i + 3]};
      palette[i] = image.colourTable[i];
    }
    // Rows start at the pixel data offset, or right after the table when the
    // offset points inside it.
    const std::int64_t tableEnd = tableStart + 4 * entries;
    if (offset > tableEnd) source.Skip(static_cast<std::uint64_t>(offset - tableEnd));
  } else if (header.bitCount == 16) {
    std::int64_t gap = offset - kBmpHeaderBytes;
    if (header.compression == 3) {
      // Red, green and blue masks of 4 bytes each; only the low 2 bytes count.
      for (std::uint16_t& mask : masks) {
        std::uint8_t bytes[4] = {0, 0, 0, 0};
        source.GuardedRead(bytes, 4);
        mask = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
      }
      gap -= 12;
    }
    if (gap > 0) source.Skip(static_cast<std::uint64_t>(gap));
  } else if (offset > kBmpHeaderBytes) {
    // A larger info header or anything else before the pixels falls in here.
    source.Skip(static_cast<std::uint64_t>(offset - kBmpHeaderBytes));
  }

  ReadRows(source, image, header, palette, masks, row.get());
  return true;
}

}  // namespace

bool ProbeBmp(std::string_view name, BmpHeader& header, PictureIssue* why) {
  PictureIssue issue = PictureIssue::kCannotOpen;
  FileHandle file(OpenPicture(name, issue));
  if (file.get() < 0) {
    if (why) *why = issue;
    return false;
  }
  ByteSource source(file.get());
  if (!ReadHeader(source, header, issue)) {
    if (why) *why = issue;
    return false;
  }
  return true;
}

bool ReadBmp(Image& image, std::string_view name, PictureIssue* why) {
  PictureIssue issue = PictureIssue::kCannotOpen;
  FileHandle file(OpenPicture(name, issue));
  if (file.get() < 0) return Fail(image, issue, why);
  ByteSource source(file.get());
  return Decode(source, image, why);
}

bool ReadBmpBytes(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why) {
  ByteSource source(bytes);
  return Decode(source, image, why);
}

}  // namespace stillreel
