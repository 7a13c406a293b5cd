// Run-length encoded pixels (RLE8 and RLE4), decoded as the rows are asked
// for, bottom row first, straight into the caller's rows: between calls only
// the place in the picture and at most one code's bytes are kept, never a
// row. Pixels that no code sets take colour table entry 0; a run past the row
// or the picture is cut; from where the codes' bytes run out, pixels stay
// white.
#ifndef STILLREEL_IMAGE_BMP_RLE_H_
#define STILLREEL_IMAGE_BMP_RLE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "image/bmp_rows.h"
#include "image/byte_source.h"

namespace stillreel {

class RleRows {
 public:
  // The codes start at the source's position; `tables` holds the palette.
  // Both must outlive this object.
  RleRows(ByteSource& source, const RowTables& tables, std::int32_t width, std::int32_t height,
          int bitCount);

  // As BmpFile::ReadRows: the next `rows` rows, the first `columns` pixels each.
  void ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns, std::int64_t rows);

 private:
  enum class State { kDecoding, kEnded, kCut };

  // Decodes the codes of row y_ as indices into `indices`, which holds
  // `shown` of them. Returns how many from the left it set.
  std::int64_t DecodeRow(std::uint8_t* indices, std::int64_t shown);
  // The next n bytes of codes, of which at_ to end_ hold fewer: the rest
  // from the source, all of them copied to carry_. Fewer only where the input
  // ends.
  std::span<const std::uint8_t> TakeAcross(std::size_t n);

  ByteSource& source_;
  const RowTables& tables_;
  const std::int64_t width_;
  const std::int64_t height_;
  const int bitCount_;
  std::int64_t row_ = 0;  // the next row handed out
  std::int64_t x_ = 0;    // where the next code puts its pixels
  std::int64_t y_ = 0;
  State state_ = State::kDecoding;
  // The bytes taken from the source and not yet decoded.
  const std::uint8_t* at_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  bool sourceEnded_ = false;
  // A code whose bytes straddle two takes from the source: the longest is an
  // absolute run of 255 bytes and its padding byte.
  std::uint8_t carry_[256] = {};
};

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_RLE_H_
