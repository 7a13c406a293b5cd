#include "image/image.h"

#include <cstring>
#include <new>
#include <utility>

#include "simd/simd.h"

namespace stillreel {
namespace {

// Makes room for w x h without touching the bytes; false (and the image
// unchanged) when w or h is below 1 or the room cannot be had.
bool MakeRoom(Image& image, std::int32_t w, std::int32_t h) {
  if (w < 1 || h < 1) return false;
  const std::uint64_t stride = RowBytes(8 * image.pixelBytes, w);
  const std::uint64_t size = stride * static_cast<std::uint64_t>(h);
  // new[] throws rather than failing when the byte count itself overflows.
  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
  if (size > image.capacity || !image.bytes) {
    std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
    if (!bytes) return false;
    image.bytes = std::move(bytes);
    image.capacity = size;
  }
  image.width = w;
  image.height = h;
  image.stride = static_cast<std::size_t>(stride);
  return true;
}

}  // namespace

Image CreateImage() {
  Image image;
  Resize(image, 1, 1);
  return image;
}

void ReleaseImage(Image& image) {
  image.bytes.reset();
  image.capacity = 0;
  image.width = 1;
  image.height = 1;
  image.pixelBytes = 3;
  image.stride = 4;
}

bool Resize(Image& image, std::int32_t w, std::int32_t h) {
  if (!MakeRoom(image, w, h)) return false;
  const std::size_t used = static_cast<std::size_t>(image.pixelBytes) * static_cast<std::size_t>(w);
  for (std::int64_t r = 0; r < h; ++r) {
    std::memset(Row(image, r), 255, used);
    std::memset(Row(image, r) + used, 0, image.stride - used);
  }
  return true;
}

bool ResizeUnfilled(Image& image, std::int32_t w, std::int32_t h) {
  return MakeRoom(image, w, h);
}

void ClearPadding(Image& image) {
  const std::size_t used =
      static_cast<std::size_t>(image.pixelBytes) * static_cast<std::size_t>(image.width);
  if (image.stride == used) return;
  for (std::int64_t r = 0; r < image.height; ++r)
    std::memset(Row(image, r) + used, 0, image.stride - used);
}

void GreyRow(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey) {
  std::size_t x = 0;
  if (const GreyKernel vector = Kernels().grey) x = vector(bgr, count, grey);
  for (const std::uint8_t* p = bgr + 3 * x; x < count; ++x, p += 3) {
    grey[x] =
        static_cast<std::uint8_t>((19595u * p[2] + 38470u * p[1] + 7471u * p[0] + 32768u) >> 16);
  }
}

void MakeGrey(Image& image) {
  if (image.pixelBytes == 1) return;
  const auto width = static_cast<std::size_t>(image.width);
  const auto stride = static_cast<std::size_t>(RowBytes(8, image.width));
  // Each grey row ends before the colour row it comes from begins to be
  // overwritten: stored row r's grey starts at r x stride <= r x image.stride.
  for (std::int64_t r = 0; r < image.height; ++r) {
    std::uint8_t* grey = image.bytes.get() + static_cast<std::size_t>(r) * stride;
    GreyRow(Row(image, r), width, grey);
    std::memset(grey + width, 0, stride - width);
  }
  image.pixelBytes = 1;
  image.stride = stride;
}

void BgraRow(const std::uint8_t* bgr, const std::uint8_t* alpha, std::size_t count,
             std::uint8_t* bgra) {
  std::size_t done = 0;
  if (const BgraKernel vector = Kernels().bgra) done = vector(bgr, alpha, count, bgra);
  bgr += 3 * done;
  bgra += 4 * done;
  count -= done;
  if (alpha) {
    alpha += done;
    for (std::size_t x = 0; x < count; ++x, bgr += 3, bgra += 4) {
      bgra[0] = bgr[0];
      bgra[1] = bgr[1];
      bgra[2] = bgr[2];
      bgra[3] = alpha[x];
    }
    return;
  }
  for (std::size_t x = 0; x < count; ++x, bgr += 3, bgra += 4) {
    bgra[0] = bgr[0];
    bgra[1] = bgr[1];
    bgra[2] = bgr[2];
    bgra[3] = 255;
  }
}

}  // namespace stillreel
