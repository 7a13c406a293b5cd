#include "image/image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

namespace stillreel {

Image CreateImage() {
  Image image;
  image.pixels.reset(new Pixel[1]{kWhite});
  return image;
}

void ReleaseImage(Image& image) {
  image.pixels.reset();
  image.colourTable.clear();
  image.colourTable.shrink_to_fit();
  image.width = 1;
  image.height = 1;
}

bool Resize(Image& image, std::int32_t w, std::int32_t h) {
  if (w < 1 || h < 1) return false;
  const auto count = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
  // new[] throws rather than failing when the byte count itself overflows.
  if (count > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(Pixel)) return false;
  std::unique_ptr<Pixel[]> pixels(new (std::nothrow) Pixel[count]);
  if (!pixels) return false;
  std::fill_n(pixels.get(), count, kWhite);
  image.pixels = std::move(pixels);
  image.width = w;
  image.height = h;
  return true;
}

bool SetBitDepth(Image& image, std::int32_t d) {
  switch (d) {
    case 1:
    case 4:
    case 8:
      image.colourTable.assign(std::size_t{1} << d, kBlack);
      break;
    case 16:
    case 24:
    case 32:
      image.colourTable.clear();
      break;
    default:
      return false;
  }
  image.bitDepth = d;
  return true;
}

}  // namespace stillreel
