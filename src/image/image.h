// Image: a picture in memory, stored as a frame of the video stores it:
// bottom-up rows of blue, green and red bytes (or of one grey byte a pixel,
// or of blue, green, red and alpha), each row padded with zeros to a
// multiple of 4 bytes. An Image owns its bytes;
// ReleaseImage (or destruction) frees them. Nothing here reads or writes files.
#ifndef STILLREEL_IMAGE_IMAGE_H_
#define STILLREEL_IMAGE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace stillreel {

struct Pixel {
  std::uint8_t blue;
  std::uint8_t green;
  std::uint8_t red;
};

inline constexpr Pixel kWhite{255, 255, 255};

struct Image {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::int32_t pixelBytes = 3;  // 3: blue, green, red; 1: grey; 4: blue, green, red, alpha
  std::size_t stride = 4;       // bytes of one stored row: RowBytes(8 x pixelBytes, width)
  // height rows of stride bytes; stored row 0 is the bottom row of the picture.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t capacity = 0;  // bytes allocated, kept when a resize needs no more
};

// Bytes of one stored row of `width` pixels of `bitCount` bits, padded to a
// multiple of 4 bytes: the row geometry of every BMP and of every frame.
inline constexpr std::uint64_t RowBytes(std::int32_t bitCount, std::int64_t width) {
  return (static_cast<std::uint64_t>(bitCount) * static_cast<std::uint64_t>(width) + 31) / 32 * 4;
}

// A 1 x 1 white image.
Image CreateImage();
void ReleaseImage(Image& image);

// Refuses (false, image unchanged) when w or h is below 1 or the bytes
// cannot be allocated; otherwise the image becomes w x h white.
bool Resize(Image& image, std::int32_t w, std::int32_t h);

// As Resize, but the pixels are not filled: they hold whatever the bytes
// held, for the caller to overwrite; it then clears the padding with
// ClearPadding.
bool ResizeUnfilled(Image& image, std::int32_t w, std::int32_t h);

// Sets the bytes after the last pixel of every row to zero.
void ClearPadding(Image& image);

// The grey of each of `count` blue, green, red triples: (19595 R + 38470 G +
// 7471 B + 32768) >> 16, so that a grey pixel keeps its value. `grey` may
// start where `bgr` does: a row is made grey in place.
void GreyRow(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey);

// Turns a colour image into its grey one, in place.
void MakeGrey(Image& image);

// Each of `count` blue, green, red triples followed by its alpha, or by 255
// when `alpha` is null.
void BgraRow(const std::uint8_t* bgr, const std::uint8_t* alpha, std::size_t count,
             std::uint8_t* bgra);

// Stored row r, counted from the bottom row.
inline std::uint8_t* Row(Image& image, std::int64_t r) {
  return image.bytes.get() + static_cast<std::size_t>(r) * image.stride;
}
inline const std::uint8_t* Row(const Image& image, std::int64_t r) {
  return image.bytes.get() + static_cast<std::size_t>(r) * image.stride;
}

// The pixel at (x, y) of a colour image, y = 0 being the top row, with both
// clamped into the image.
inline Pixel PixelAt(const Image& image, std::int64_t x, std::int64_t y) {
  if (x >= image.width) x = image.width - 1;
  if (x < 0) x = 0;
  if (y >= image.height) y = image.height - 1;
  if (y < 0) y = 0;
  const std::uint8_t* p = Row(image, image.height - 1 - y) + 3 * x;
  return Pixel{p[0], p[1], p[2]};
}

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_IMAGE_H_
