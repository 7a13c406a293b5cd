// Pictures in the caller's memory (PictureView): checked, and their rows
// turned into the frames' kind of pixels, into the writer's buffer or an
// Image. Only ever reads the caller's pixels, during the call.
#ifndef STILLREEL_CONVERT_PICTURE_VIEW_H_
#define STILLREEL_CONVERT_PICTURE_VIEW_H_

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// Bytes a pixel of `layout`: 1, 3 or 4; 0 for a value the API does not name.
std::int32_t LayoutBytes(Layout layout);

// Whether a view can be read: pixels given, at least 1 x 1, a named layout,
// rows no shorter than their pixels, and every byte addressable.
bool ValidView(const PictureView& view);

// `count` stored rows of the view from stored row `first` on (0 is the
// bottom row), `columns` pixels each, into out + i x outStride as frames of
// pixelBytes bytes a pixel hold them: 3, blue, green and red; 1, grey,
// (19595 R + 38470 G + 7471 B + 32768) >> 16; 4, blue, green, red and alpha
// (255 for a layout without). Nothing past the pixels of a row is written.
void ViewRows(const PictureView& view, std::int64_t first, std::int64_t count, std::int32_t columns,
              std::int32_t pixelBytes, std::uint8_t* out, std::size_t outStride);

// The whole view into `image`, pixelBytes a pixel; false when its bytes
// cannot be allocated (the image is then left 1 x 1 white).
bool ReadView(const PictureView& view, std::int32_t pixelBytes, Image& image);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_PICTURE_VIEW_H_
