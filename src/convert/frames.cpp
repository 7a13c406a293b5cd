#include "convert/frames.h"

#include <algorithm>
#include <cstring>

namespace stillreel {

// One frame holding a picture of width x height whose stored rows
// fill(out, first, count, columns) makes: `count` rows from stored row
// `first` on, `columns` pixels each, one row every rowBytes bytes. With
// `shared`, fill may be called on any of the run's threads, for parts of a
// block at the same time.
template <class Fill>
void FrameWriter::WriteFitted(std::int32_t width, std::int32_t height, const Fill& fill,
                              bool shared) {
  const std::int32_t columns = std::min(width, settings_.frameWidth);
  const std::size_t used =
      static_cast<std::size_t>(FramePixelBytes(settings_)) * static_cast<std::size_t>(columns);
  const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
  const auto perPart = static_cast<std::int64_t>(std::max<std::size_t>(kPartBytes / rowBytes, 1));
  avi_.WriteFrameRows([&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
    const std::int64_t held = std::clamp<std::int64_t>(height - first, 0, count);
    // Rows `from` to `to` - 1 of the block.
    const auto make = [&](std::int64_t from, std::int64_t to) {
      const std::int64_t filled = std::min(to, held) - from;
      if (filled > 0) {
        fill(rows + static_cast<std::size_t>(from) * rowBytes, first + from, filled, columns);
      }
      for (std::int64_t i = from; i < to; ++i) {
        std::uint8_t* row = rows + static_cast<std::size_t>(i) * rowBytes;
        const std::size_t start = i < held ? used : 0;
        std::memset(row + start, 0, rowBytes - start);
      }
    };
    const std::int64_t parts = (count + perPart - 1) / perPart;
    if (!shared || !workers_ || parts < 2) {
      make(0, count);
      return;
    }
    workers_->Split(parts, [&](std::int64_t part) {
      make(part * perPart, std::min(count, (part + 1) * perPart));
    });
  });
}

void FrameWriter::WritePicture(const Image& image) {
  if (image.width == settings_.frameWidth && image.height == settings_.frameHeight) {
    avi_.WriteFrame(image.bytes.get());  // its bytes are the frame
    return;
  }
  const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
  WriteFitted(
      image.width, image.height,
      [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
        for (std::int64_t i = 0; i < count; ++i) {
          std::memcpy(rows + static_cast<std::size_t>(i) * rowBytes, Row(image, first + i),
                      static_cast<std::size_t>(FramePixelBytes(settings_)) *
                          static_cast<std::size_t>(columns));
        }
      },
      false);
}

void FrameWriter::WriteDecoded(BmpFile& file) {
  const BmpLayout& picture = file.layout();
  const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
  WriteFitted(
      picture.width, picture.height,
      [&](std::uint8_t* rows, std::int64_t, std::int64_t count, std::int32_t columns) {
        file.ReadRowsAs(FramePixelBytes(settings_), rows, rowBytes, columns, count);
      },
      false);
}

void FrameWriter::WriteRows(std::int32_t width, std::int32_t height, const RowFill& fill) {
  WriteFitted(width, height, fill, false);
}

void FrameWriter::WriteBlend(const Image& a, const Image& b, std::int32_t l) {
  const BlendStep& step = Step(l);
  const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
  WriteFitted(
      a.width, a.height,
      [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
        CrossFade(a, b, step, first, count, columns, rows, rowBytes);
      },
      true);
}

const BlendStep& FrameWriter::Step(std::int32_t l) {
  const std::int32_t N = settings_.smoothCount;
  if (N <= kKeptSteps) {
    if (steps_.empty()) {
      steps_.resize(static_cast<std::size_t>(N));
      for (std::int32_t i = 1; i < N; ++i)
        SetBlendStep(steps_[static_cast<std::size_t>(i)], i, N);
    }
    return steps_[static_cast<std::size_t>(l)];
  }
  if (steps_.empty()) steps_.resize(1);
  SetBlendStep(steps_[0], l, N);
  return steps_[0];
}

}  // namespace stillreel
