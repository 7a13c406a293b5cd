// Image: a picture in memory, stored column by column. An Image owns its
// pixels and colour table; ReleaseImage (or destruction) frees them. Nothing
// here reads or writes files.
#ifndef STILLREEL_IMAGE_IMAGE_H_
#define STILLREEL_IMAGE_IMAGE_H_

#include <cstdint>
#include <memory>
#include <vector>

namespace stillreel {

struct Pixel {
  std::uint8_t blue;
  std::uint8_t green;
  std::uint8_t red;
  std::uint8_t alpha;
};

inline constexpr Pixel kWhite{255, 255, 255, 0};
inline constexpr Pixel kBlack{0, 0, 0, 0};

struct Image {
  std::int32_t bitDepth = 24;  // bits per pixel of the file it was read from
  std::int32_t width = 1;
  std::int32_t height = 1;
  // One block of width x height pixels: column x starts at x * height and
  // holds rows 0 (top) to height - 1 (bottom).
  std::unique_ptr<Pixel[]> pixels;
  // For 1-, 4- and 8-bit images: the entries read from the file.
  std::vector<Pixel> colourTable;
};

// A 1 x 1 image of depth 24.
Image CreateImage();
void ReleaseImage(Image& image);

// Refuses (false, image unchanged) when w or h is below 1 or the pixels
// cannot be allocated; otherwise the image becomes w x h white.
bool Resize(Image& image, std::int32_t w, std::int32_t h);

// Refuses (false, unchanged) unless d is 1, 4, 8, 16, 24 or 32. Records d and
// drops the colour table; for 1, 4 and 8 prepares 2^d black entries.
bool SetBitDepth(Image& image, std::int32_t d);

inline std::int32_t Width(const Image& image) {
  return image.width;
}
inline std::int32_t Height(const Image& image) {
  return image.height;
}

inline Pixel* Column(Image& image, std::int32_t x) {
  return image.pixels.get() + static_cast<std::int64_t>(x) * image.height;
}
inline const Pixel* Column(const Image& image, std::int32_t x) {
  return image.pixels.get() + static_cast<std::int64_t>(x) * image.height;
}

// The pixel at (x, y) with both clamped into the image.
inline const Pixel& PixelAt(const Image& image, std::int64_t x, std::int64_t y) {
  if (x >= image.width) x = image.width - 1;
  if (x < 0) x = 0;
  if (y >= image.height) y = image.height - 1;
  if (y < 0) y = 0;
  return Column(image, static_cast<std::int32_t>(x))[y];
}

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_IMAGE_H_
