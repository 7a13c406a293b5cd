// The BMP reader: uncompressed 1-, 4-, 8-, 16-, 24- and 32-bit bottom-up BMPs,
// decoded into an Image, into 24-bit rows (Dib24), or row by row into the
// caller's memory. A refused picture leaves an Image 1 x 1 white of depth 1
// and says why; a file cut short inside its pixels is not refused (the pixels
// it does not hold stay white). Nothing is allocated from a header before it
// has passed its checks. The reader knows nothing of AVI files.
#ifndef STILLREEL_IMAGE_BMP_READER_H_
#define STILLREEL_IMAGE_BMP_READER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "image/dib24.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// The header fields that the reader uses.
struct BmpHeader {
  std::uint32_t pixelDataOffset = 0;
  std::uint32_t infoHeaderSize = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bitCount = 0;
  std::uint32_t compression = 0;
};

class ByteSource;

// One BMP being read: Open checks the headers, Prepare reads what lies
// between them and the pixels, then the rows come bottom row first.
class BmpFile {
 public:
  BmpFile();
  ~BmpFile();
  BmpFile(const BmpFile&) = delete;
  BmpFile& operator=(const BmpFile&) = delete;

  // Opens the file `name` (bytes, used unchanged) and checks its headers:
  // signature, the sixteen header fields, compression, bit count, width and
  // height. No size cap applies yet.
  bool Open(std::string_view name, PictureIssue* why = nullptr);
  // The same for a BMP held in memory, which must outlive this object.
  bool Open(std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr);
  const BmpHeader& header() const { return header_; }
  // The colour table entries read by Prepare (1-, 4- and 8-bit files).
  std::span<const Pixel> colourTable() const;

  // Refuses a picture whose 24-bit frame would exceed kMaxPictureFrameBytes,
  // then reads the colour table or masks and skips to the first row.
  bool Prepare(PictureIssue* why = nullptr);

  // Decodes the next `rows` stored rows as blue, green, red triples: row i
  // goes to out + i x stride and gets its first `columns` pixels (at most the
  // width); pixels the file does not hold are white. The rest of each row, up
  // to the stride, may be overwritten.
  void ReadRows24(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows);
  // The same as whole Pixels, alpha included, `columns` pixels a row.
  void ReadRowsPixels(Pixel* out, std::size_t stride, std::int32_t columns, std::int64_t rows);

 private:
  template <int kBytesPerPixel>
  void ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows);

  std::unique_ptr<ByteSource> source_;
  BmpHeader header_;
  std::size_t rowStride_ = 0;  // stored bytes of one row, padding included
  std::array<Pixel, 256> palette_{};
  std::uint16_t masks_[3] = {0x7C00, 0x03E0, 0x001F};
  int shifts_[3] = {10, 5, 0};
  // The colour of every 16-bit word, for pictures with many pixels.
  static constexpr std::int64_t kWordTableAfter = std::int64_t{1} << 17;
  std::unique_ptr<std::uint32_t[]> words_;
  std::uint32_t Word16(std::uint32_t w) const;
  std::int32_t tableEntries_ = 0;
};

// Reads only the headers of the file `name`; see BmpFile::Open.
bool ProbeBmp(std::string_view name, BmpHeader& header, PictureIssue* why = nullptr);

// Reads the BMP file `name` into `image`.
bool ReadBmp(Image& image, std::string_view name, PictureIssue* why = nullptr);

// The same for a BMP held in memory.
bool ReadBmpBytes(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr);

// Decodes the rest of a prepared file into `image`, which becomes the
// picture's size (false and unchanged when its pixels cannot be allocated).
bool ReadPixels(BmpFile& file, Image& image);

// Decodes the rest of a prepared file into `dib`, which becomes the
// picture's size (false when its rows cannot be allocated).
bool ReadPixels(BmpFile& file, Dib24& dib);

// Leaves `image` 1 x 1 white of depth 1: the picture that could not be read.
void MakeUnreadable(Image& image);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_READER_H_
