// FrameWriter: the frames of a run, each written a block of rows at a time
// into the writer's buffer, from a picture held as an Image, from a BMP
// decoded straight into it, or blended from two Images. It knows the rule
// for pictures of another size than the frame, and nothing of lists, notices
// or cancellation: the run decides which frames come when.
//
// A picture of another size than the frame sits at its bottom-left corner:
// stored row r of the picture is stored row r of the frame (both are stored
// bottom-up), cut at the frame's width and height; what it does not cover is
// zero.
#ifndef STILLREEL_CONVERT_FRAMES_H_
#define STILLREEL_CONVERT_FRAMES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "avi/avi_writer.h"
#include "convert/run_settings.h"
#include "convert/workers.h"
#include "fade/cross_fade.h"
#include "image/bmp_reader.h"
#include "image/image.h"

namespace stillreel {

// Rows of an in-between frame are shared out among the threads in parts of
// about this many bytes (at least one row): small enough to keep every thread
// busy to the end of a frame, large enough that handing them out costs
// nothing. A block no larger than one part is blended by the caller alone.
inline constexpr std::size_t kPartBytes = std::size_t{64} << 10;

class FrameWriter {
 public:
  // With workers, the rows of each in-between frame are shared out among
  // them and the caller's thread.
  FrameWriter(const RunSettings& settings, AviWriter& avi, Workers* workers)
      : settings_(settings), avi_(avi), workers_(workers) {}

  // One frame showing `image`, prepared.
  void WritePicture(const Image& image);
  // One frame decoded from `file`, opened and prepared.
  void WriteDecoded(BmpFile& file);
  // One frame of a picture of width x height whose stored rows
  // fill(rows, first, count, columns) makes, in the frames' kind of pixels:
  // `count` rows from stored row `first` on, `columns` pixels each, one row
  // every rowBytes bytes.
  using RowFill = std::function<void(std::uint8_t*, std::int64_t, std::int64_t, std::int32_t)>;
  void WriteRows(std::int32_t width, std::int32_t height, const RowFill& fill);
  // In-between frame l (0 < l < N) of the fade from a towards b, which the
  // cross-fade samples at the clamped position where it is of another size.
  void WriteBlend(const Image& a, const Image& b, std::int32_t l);

 private:
  template <class Fill>
  void WriteFitted(std::int32_t width, std::int32_t height, const Fill& fill, bool shared);
  const BlendStep& Step(std::int32_t l);

  // Steps are kept for the whole run while N is at most this: 4.5 MiB.
  static constexpr std::int32_t kKeptSteps = 64;

  const RunSettings& settings_;
  AviWriter& avi_;
  Workers* workers_;
  std::vector<BlendStep> steps_;
};

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_FRAMES_H_
