#include "convert/picture_view.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "image/bmp_reader.h"

namespace stillreel {
namespace {

// Where the red, green and blue bytes of a pixel are, and whether a fourth
// is alpha.
struct Order {
  int red, green, blue;
  bool alpha;
};

Order OrderOf(Layout layout) {
  switch (layout) {
    case Layout::kBgr24:
      return {2, 1, 0, false};
    case Layout::kRgb24:
      return {0, 1, 2, false};
    case Layout::kBgra32:
      return {2, 1, 0, true};
    case Layout::kRgba32:
      return {0, 1, 2, true};
    case Layout::kGray8:
      break;
  }
  return {0, 0, 0, false};
}

// One row of `columns` pixels of `bytes` bytes in `order` into pixelBytes a pixel.
void ConvertRow(const std::uint8_t* in, std::int32_t bytes, Order order, std::int32_t columns,
                std::int32_t pixelBytes, std::uint8_t* out) {
  const auto n = static_cast<std::size_t>(columns);
  if (bytes == pixelBytes && order.blue == 0) {  // the frame's own order
    std::memcpy(out, in, n * static_cast<std::size_t>(bytes));
    return;
  }
  if (bytes == 1) {  // grey: blue, green and red are its value
    for (std::size_t x = 0; x < n; ++x, out += pixelBytes) {
      out[0] = out[1] = out[2] = in[x];
      if (pixelBytes == 4) out[3] = 255;
    }
    return;
  }
  if (pixelBytes == 1) {
    // Made grey by the one rule grey frames have: through blue, green, red
    // triples, a block at a time.
    constexpr std::size_t kBlock = 256;
    std::uint8_t bgr[3 * kBlock];
    for (std::size_t done = 0; done < n;) {
      const std::size_t turn = std::min(kBlock, n - done);
      for (std::size_t x = 0; x < turn; ++x, in += bytes) {
        bgr[3 * x] = in[order.blue];
        bgr[3 * x + 1] = in[order.green];
        bgr[3 * x + 2] = in[order.red];
      }
      GreyRow(bgr, turn, out + done);
      done += turn;
    }
    return;
  }
  for (std::size_t x = 0; x < n; ++x, in += bytes, out += pixelBytes) {
    out[0] = in[order.blue];
    out[1] = in[order.green];
    out[2] = in[order.red];
    if (pixelBytes == 4) out[3] = order.alpha ? in[3] : 255;
  }
}

}  // namespace

std::int32_t LayoutBytes(Layout layout) {
  switch (layout) {
    case Layout::kGray8:
      return 1;
    case Layout::kBgr24:
    case Layout::kRgb24:
      return 3;
    case Layout::kBgra32:
    case Layout::kRgba32:
      return 4;
  }
  return 0;
}

bool ValidView(const PictureView& view) {
  const std::int32_t bytes = LayoutBytes(view.layout);
  if (!view.pixels || bytes == 0 || view.width < 1 || view.height < 1) return false;
  const std::uint64_t row =
      static_cast<std::uint64_t>(view.width) * static_cast<std::uint64_t>(bytes);
  const std::uint64_t stride = view.stride < 0 ? 0 - static_cast<std::uint64_t>(view.stride)
                                               : static_cast<std::uint64_t>(view.stride);
  // A single row needs no stride: numpy gives such views any.
  if (view.height > 1 && stride < row) return false;
  // The last row's end must be an address: (height - 1) x stride + row.
  std::uint64_t span;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(view.height - 1), stride, &span) ||
      __builtin_add_overflow(span, row, &span)) {
    return false;
  }
  return span <= static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
}

void ViewRows(const PictureView& view, std::int64_t first, std::int64_t count, std::int32_t columns,
              std::int32_t pixelBytes, std::uint8_t* out, std::size_t outStride) {
  const std::int32_t bytes = LayoutBytes(view.layout);
  const Order order = OrderOf(view.layout);
  const auto* pixels = static_cast<const std::uint8_t*>(view.pixels);
  for (std::int64_t i = 0; i < count; ++i) {
    // Stored rows go bottom-up: stored row r is the picture's row height - 1 - r.
    const std::int64_t y = view.height - 1 - (first + i);
    const std::uint8_t* row = pixels + static_cast<std::ptrdiff_t>(y) * view.stride;
    ConvertRow(row, bytes, order, columns, pixelBytes,
               out + static_cast<std::size_t>(i) * outStride);
  }
}

bool ReadView(const PictureView& view, std::int32_t pixelBytes, Image& image) {
  image.pixelBytes = pixelBytes;
  if (!ResizeUnfilled(image, view.width, view.height)) {
    MakeUnreadable(image, pixelBytes);
    return false;
  }
  ViewRows(view, 0, view.height, view.width, pixelBytes, image.bytes.get(), image.stride);
  ClearPadding(image);
  return true;
}

}  // namespace stillreel
