// The BMP reader, decoding row by row into the frame's form (see image.h),
// into an Image or into the caller's memory. Classic reading takes
// uncompressed 1-, 4-, 8-, 16-, 24- and 32-bit bottom-up BMPs (see
// bmp_classic.h); full reading takes every BMP that real programs write (see
// CheckBmpHeader). The two differ only in how the headers are read and
// checked: what they describe is decoded alike. A
// refused picture leaves an Image 1 x 1 white and says why; a file cut short
// inside its pixels is not refused (the pixels it does not hold stay white).
// Nothing is allocated from a header before it has passed its checks, and
// the memory held for a picture's rows is one chunk of stored rows or one
// row, whichever is larger: run-length codes are decoded as the rows are
// asked for, and top-down rows are read back from the end of the file (or
// of the memory) a chunk at a time. The reader knows nothing of AVI files.
#ifndef STILLREEL_IMAGE_BMP_READER_H_
#define STILLREEL_IMAGE_BMP_READER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "image/bmp_header.h"
#include "image/bmp_rle.h"
#include "image/bmp_rows.h"
#include "image/byte_source.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// One BMP being read: Open reads and checks the headers, Prepare reads what
// lies between them and the pixels, then the rows come bottom row first.
class BmpFile {
 public:
  explicit BmpFile(Reading reading = Reading::kClassic);
  ~BmpFile();
  BmpFile(const BmpFile&) = delete;
  BmpFile& operator=(const BmpFile&) = delete;

  // Opens the file `name` (bytes, used unchanged) and checks its headers.
  // No size cap applies yet.
  bool Open(std::string_view name, PictureIssue* why = nullptr);
  // The same for a BMP held in memory, which must outlive this object.
  bool Open(std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr);
  // The headers as the file states them, and, once they passed the checks,
  // the picture they describe.
  const BmpHeader& header() const { return header_; }
  const BmpLayout& layout() const { return layout_; }

  // Refuses a picture whose 24-bit frame would exceed kMaxPictureFrameBytes,
  // then reads the colour table and skips to the first row.
  bool Prepare(PictureIssue* why = nullptr);

  // Decodes the next `rows` rows, bottom row first: row i goes to
  // out + i x stride and gets its first `columns` pixels (at most the width)
  // as blue, green, red triples; pixels the file does not hold are white. The
  // rest of each row, up to the stride, may be overwritten.
  void ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows) {
    ReadRows(out, stride, columns, rows, nullptr);
  }
  // The same in pixels of `pixelBytes` bytes: 3 as above; 1, the grey of
  // each (GreyRow); 4, blue, green, red and the picture's alpha, 255 where
  // it has none or the file does not hold the pixel.
  void ReadRowsAs(std::int32_t pixelBytes, std::uint8_t* out, std::size_t stride,
                  std::int32_t columns, std::int64_t rows);

  // Whether every pixel is grey (blue = green = red), called after Prepare
  // instead of reading the rows: true at once for a colour table of greys,
  // else the rows are read until a colour shows.
  bool IsGrey();

 private:
  // As ReadRows, and with `alpha` the alpha of row i's pixels at
  // alpha + i x min(columns, width), for a picture that has one.
  void ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows,
                std::uint8_t* alpha);
  // Decodes stored row `row`, of which the file holds `have` bytes, into out
  // (and its alpha into `alpha` when not null).
  void DecodeRow(const std::uint8_t* row, std::int64_t have, std::int64_t width, std::uint8_t* out,
                 std::uint8_t* alpha);
  // Bottom-up 8-bit rows as their greys, each index looked up once.
  void ReadGreyIndices(std::uint8_t* out, std::size_t stride, std::int64_t width,
                       std::int64_t rows);
  void ReadBottomUpRows(std::uint8_t* out, std::size_t stride, std::int64_t width,
                        std::int64_t rows, std::uint8_t* alpha);
  // Top-down rows, bottom row first: read back from the end, a chunk at a time.
  void ReadTopDownRows(std::uint8_t* out, std::size_t stride, std::int64_t width, std::int64_t rows,
                       std::uint8_t* alpha);

  Reading reading_;
  std::unique_ptr<ByteSource> source_;
  BmpHeader header_;
  BmpLayout layout_;
  std::size_t rowStride_ = 0;  // stored bytes of one row, padding included
  RowDecoder decode_ = nullptr;
  RowTables tables_;
  std::unique_ptr<Colour[]> words_;  // tables_.words when used
  std::int64_t rowsRead_ = 0;        // top-down: rows handed out so far
  std::optional<RleRows> rle_;
  // ReadRowsAs's colour rows and alphas, a few rows at a time.
  std::unique_ptr<std::uint8_t[]> scratch_;
  std::size_t scratchBytes_ = 0;
};

// Reads the BMP file `name` into `image`, in pixels of `pixelBytes` bytes
// (see ReadRowsAs).
bool ReadBmp(Image& image, std::string_view name, PictureIssue* why = nullptr,
             Reading reading = Reading::kClassic, std::int32_t pixelBytes = 3);

// The same for a BMP held in memory.
bool ReadBmp(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr,
             Reading reading = Reading::kClassic, std::int32_t pixelBytes = 3);

// Leaves `image` 1 x 1 white (and opaque) in pixels of `pixelBytes` bytes:
// the picture that could not be read.
void MakeUnreadable(Image& image, std::int32_t pixelBytes = 3);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_READER_H_
