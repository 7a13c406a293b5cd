// The BMP reader: uncompressed 1-, 4-, 8-, 16-, 24- and 32-bit bottom-up
// BMPs, decoded row by row into the frame's form (see image.h), into an Image
// or into the caller's memory. A refused picture leaves an Image 1 x 1 white
// and says why; a file cut short inside its pixels is not refused (the pixels
// it does not hold stay white). Nothing is allocated from a header before it
// has passed its checks. The reader knows nothing of AVI files.
#ifndef STILLREEL_IMAGE_BMP_READER_H_
#define STILLREEL_IMAGE_BMP_READER_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "image/bmp_header.h"
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
  const BmpHeader& header() const { return header_; }

  // Refuses a picture whose 24-bit frame would exceed kMaxPictureFrameBytes,
  // then reads the colour table or masks and skips to the first row.
  bool Prepare(PictureIssue* why = nullptr);

  // Decodes the next `rows` stored rows: row i goes to out + i x stride and
  // gets its first `columns` pixels (at most the width) as blue, green, red
  // triples; pixels the file does not hold are white. The rest of each row,
  // up to the stride, may be overwritten.
  void ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows);

 private:
  Reading reading_;
  std::unique_ptr<ByteSource> source_;
  BmpHeader header_;
  std::size_t rowStride_ = 0;  // stored bytes of one row, padding included
  RowDecoder decode_ = nullptr;
  RowTables tables_;
  std::unique_ptr<Colour[]> words_;  // tables_.words when used
};

// Reads the BMP file `name` into `image`.
bool ReadBmp(Image& image, std::string_view name, PictureIssue* why = nullptr,
             Reading reading = Reading::kClassic);

// The same for a BMP held in memory.
bool ReadBmp(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr,
             Reading reading = Reading::kClassic);

// Leaves `image` 1 x 1 white: the picture that could not be read.
void MakeUnreadable(Image& image);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_READER_H_
