// The run of a conversion: every picture read once, in list order, and
// turned into its frames. Each frame is written a block of rows at a time
// into the writer's buffer: a picture to be shown once is decoded straight
// into it; while smoothing the current and the next picture are held as
// Images and their blends made there. At most two pictures are in memory.
//
// A picture of another size than the frame sits at its bottom-left corner:
// stored row r of the picture is stored row r of the frame (both are stored
// bottom-up), cut at the frame's width and height; what it does not cover is
// zero.

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/cross_fade.h"
#include "convert/run_settings.h"
#include "image/bmp_reader.h"

namespace stillreel {
namespace {

class Run {
 public:
  Run(const RunSettings& settings, const Options& options, std::int64_t& unreadable)
      : settings_(settings), options_(options), unreadable_(unreadable) {}

  Result Write(AviWriter& avi, ByteWriter& out) {
    const std::int64_t n = settings_.imageCount;
    const std::int32_t N = settings_.smoothCount;
    avi.WriteHeaders();
    bool haveCurrent = false;
    for (std::int64_t k = 0; k < n; ++k) {
      ReportProgress(k);
      if (Cancelled()) return Result::kCancelled;
      if (N > 1 && k < n - 1) {
        // The next entry's picture, read for the fade, is also that entry's own.
        if (!haveCurrent) Load(k, current_);
        Load(k + 1, next_);
        const Result result = WriteFade(k, avi, out);
        if (result != Result::kOk) return result;
        std::swap(current_, next_);
        haveCurrent = true;
      } else if (haveCurrent) {
        WritePicture(current_, avi);
        haveCurrent = false;
      } else {
        Stream(k, avi);
      }
      if (!out.ok()) return Result::kWriteFailed;
    }
    ReportProgress(n);
    avi.Finish();
    return out.Flush() ? Result::kOk : Result::kWriteFailed;
  }

  Result Check() {
    const std::int64_t n = settings_.imageCount;
    for (std::int64_t k = 0; k < n; ++k) {
      ReportProgress(k);
      if (Cancelled()) return Result::kCancelled;
      BmpFile file(settings_.reading);
      PictureIssue issue = PictureIssue::kCannotOpen;
      if (file.Open(Name(k), &issue) && file.Prepare(&issue)) {
        NoticeSize(k, file.header().width, file.header().height);
      } else {
        Notice(k, issue, 1, 1);
      }
    }
    ReportProgress(n);
    return Result::kOk;
  }

 private:
  const std::string& Name(std::int64_t k) const {
    return (*settings_.imageNames)[static_cast<std::size_t>(k)];
  }

  void Notice(std::int64_t k, PictureIssue issue, std::int32_t width, std::int32_t height) {
    if (issue != PictureIssue::kSizeDiffers) ++unreadable_;
    if (options_.onPicture) options_.onPicture(PictureNotice{k, Name(k), issue, width, height});
  }

  void NoticeSize(std::int64_t k, std::int32_t width, std::int32_t height) {
    if (width != settings_.frameWidth || height != settings_.frameHeight) {
      Notice(k, PictureIssue::kSizeDiffers, width, height);
    }
  }

  // Entry k read whole; a picture that cannot be read is 1 x 1 white.
  void Load(std::int64_t k, Image& image) {
    PictureIssue issue = PictureIssue::kCannotOpen;
    if (ReadBmp(image, Name(k), &issue, settings_.reading)) {
      NoticeSize(k, image.width, image.height);
    } else {
      Notice(k, issue, 1, 1);
    }
  }

  // One frame holding a picture of width x height whose stored rows
  // fill(out, first, count, columns) makes: `count` rows from stored row
  // `first` on, `columns` pixels each, one row every rowBytes bytes.
  template <class Fill>
  void WriteFitted(AviWriter& avi, std::int32_t width, std::int32_t height, Fill&& fill) {
    const std::int32_t columns = std::min(width, settings_.frameWidth);
    const std::size_t used = 3 * static_cast<std::size_t>(columns);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    avi.WriteFrameRows([&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
      const std::int64_t held = std::clamp<std::int64_t>(height - first, 0, count);
      if (held > 0) fill(rows, first, held, columns);
      for (std::int64_t i = 0; i < count; ++i) {
        std::uint8_t* row = rows + static_cast<std::size_t>(i) * rowBytes;
        const std::size_t from = i < held ? used : 0;
        std::memset(row + from, 0, rowBytes - from);
      }
    });
  }

  void WritePicture(const Image& image, AviWriter& avi) {
    if (image.width == settings_.frameWidth && image.height == settings_.frameHeight) {
      avi.WriteFrame(image.bytes.get());  // its bytes are the frame
      return;
    }
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    WriteFitted(
        avi, image.width, image.height,
        [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
          for (std::int64_t i = 0; i < count; ++i) {
            std::memcpy(rows + static_cast<std::size_t>(i) * rowBytes, Row(image, first + i),
                        3 * static_cast<std::size_t>(columns));
          }
        });
  }

  // Entry k as one frame, decoded straight into the output.
  void Stream(std::int64_t k, AviWriter& avi) {
    BmpFile file(settings_.reading);
    PictureIssue issue = PictureIssue::kCannotOpen;
    if (!file.Open(Name(k), &issue) || !file.Prepare(&issue)) {
      MakeUnreadable(current_);
      Notice(k, issue, 1, 1);
      WritePicture(current_, avi);
      return;
    }
    const BmpHeader& header = file.header();
    NoticeSize(k, header.width, header.height);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    WriteFitted(avi, header.width, header.height,
                [&](std::uint8_t* rows, std::int64_t, std::int64_t count, std::int32_t columns) {
                  file.ReadRows(rows, rowBytes, columns, count);
                });
  }

  // The N frames from entry k to entry k + 1: the picture itself, then the
  // in-between frames.
  Result WriteFade(std::int64_t k, AviWriter& avi, ByteWriter& out) {
    const std::int32_t N = settings_.smoothCount;
    WritePicture(current_, avi);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    for (std::int32_t l = 1; l < N; ++l) {
      if (Cancelled()) return Result::kCancelled;
      if (!out.ok()) return Result::kWriteFailed;
      const BlendStep& step = Step(l);
      WriteFitted(
          avi, current_.width, current_.height,
          [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
            CrossFade(current_, next_, step, first, count, columns, rows, rowBytes);
          });
      if (l + 1 < N) ReportProgress(k, l + 1);
    }
    return Result::kOk;
  }

  // Step l of the fade, kept for the whole conversion when N is small.
  const BlendStep& Step(std::int32_t l) {
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

  // Before each entry, and after each in-between frame while fading from
  // entry k into the next (step l of N counts as k + l / N).
  void ReportProgress(std::int64_t entry, std::int32_t step = 0) {
    if (!options_.onProgress) return;
    const std::int64_t n = settings_.imageCount;
    const std::int32_t N = settings_.smoothCount;
    Progress progress;
    progress.entry = entry;
    progress.frameCount = static_cast<std::int64_t>(
        std::min<std::uint64_t>(settings_.frameCount, std::numeric_limits<std::int64_t>::max()));
    progress.framesWritten = std::min(entry * N + step, progress.frameCount);
    if (entry >= n) {
      progress.percent = 100.0;
    } else if (n > 1) {
      const double done = static_cast<double>(entry) + static_cast<double>(step) / N;
      progress.percent = 100.0 * done / static_cast<double>(n - 1);
    } else {
      progress.percent = 0;
    }
    options_.onProgress(progress);
  }

  bool Cancelled() const { return options_.cancel && options_.cancel->load(); }

  static constexpr std::int32_t kKeptSteps = 64;  // 4 MiB of tables at most

  const RunSettings& settings_;
  const Options& options_;
  Image current_ = CreateImage();
  Image next_ = CreateImage();
  std::vector<BlendStep> steps_;
  std::int64_t& unreadable_;
};

}  // namespace

Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable) {
  return Run(settings, options, unreadable).Write(avi, out);
}

Result CheckPictures(const RunSettings& settings, const Options& options,
                     std::int64_t& unreadable) {
  return Run(settings, options, unreadable).Check();
}

}  // namespace stillreel
