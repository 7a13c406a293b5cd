// The BMP reader: fills an Image from an uncompressed 1-, 4-, 8-, 16-, 24- or
// 32-bit bottom-up BMP. A refused picture leaves the image 1 x 1 white of
// depth 1 and says why; a file cut short inside its pixels is not refused (the
// pixels it does not hold stay white). The reader never allocates before the
// headers have passed their checks, and knows nothing of AVI files.
#ifndef STILLREEL_IMAGE_BMP_READER_H_
#define STILLREEL_IMAGE_BMP_READER_H_

#include <cstdint>
#include <span>
#include <string_view>

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

// Reads and checks only the headers of the file `name`: signature, the
// sixteen header fields, compression, bit count, width and height. Applies no
// size cap. On failure sets *why (when given) and returns false.
bool ProbeBmp(std::string_view name, BmpHeader& header, PictureIssue* why = nullptr);

// Reads the BMP file `name` (bytes, used unchanged) into `image`.
bool ReadBmp(Image& image, std::string_view name, PictureIssue* why = nullptr);

// The same for a BMP held in memory.
bool ReadBmpBytes(Image& image, std::span<const std::uint8_t> bytes, PictureIssue* why = nullptr);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_READER_H_
