// The conversion driver: checks the call, lays out the file from the first
// picture's headers, then reads every picture once, in list order, and writes
// its frames. Without smoothing each picture is decoded straight into the
// output; while smoothing at most three pictures are in memory: the current
// one, the next one and the blended frame.

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/output_file.h"
#include "convert/run_settings.h"
#include "image/bmp_reader.h"
#include "size_limits.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {
namespace {

constexpr std::uint64_t kHugeSize = ~std::uint64_t{0};

// One entry's picture as the conversion holds it: as 24-bit rows when it has
// the frame's size (its bytes are then the frame), as an Image otherwise
// (another size, or the 1 x 1 white of a picture that could not be read).
struct Picture {
  bool framed = false;
  Dib24 rows;
  Image image = CreateImage();
};

// The Image of a picture held as rows; alpha, which no frame shows, is 0.
bool ToImage(Picture& picture) {
  if (!picture.framed) return true;
  const Dib24& rows = picture.rows;
  Image& image = picture.image;
  if (!Resize(image, rows.width, rows.height)) return false;
  for (std::int64_t r = 0; r < rows.height; ++r) {
    const std::uint8_t* in = Row(rows, r);
    const std::int64_t y = rows.height - 1 - r;  // rows are stored bottom-up
    for (std::int32_t x = 0; x < rows.width; ++x, in += 3) {
      Column(image, x)[y] = Pixel{in[0], in[1], in[2], 0};
    }
  }
  picture.framed = false;
  return true;
}

class Conversion {
 public:
  Conversion(const RunSettings& settings, const AviLayout& layout, const Options& options)
      : settings_(settings), layout_(layout), options_(options) {}

  std::int64_t unreadable() const { return unreadable_; }

  Result Run(ByteWriter* out) {
    out_ = out;
    const std::int64_t n = settings_.imageCount;
    const std::int32_t N = settings_.smoothCount;
    if (out_) WriteHeaders(layout_, *out_);
    bool haveCurrent = false;
    for (std::int64_t k = 0; k < n; ++k) {
      ReportProgress(k);
      if (Cancelled()) return Result::kCancelled;
      Result result = Result::kOk;
      if (N > 1 && k < n - 1) {
        // The next entry's picture, read for the fade, is also that entry's own.
        if (!haveCurrent) Load(k, current_);
        Load(k + 1, next_);
        if (out_) result = WriteFade(k);
        std::swap(current_, next_);
        haveCurrent = true;
      } else if (haveCurrent) {
        if (out_) WritePicture(current_);
        haveCurrent = false;
      } else {
        Stream(k);
      }
      if (result != Result::kOk) return result;
      if (out_ && !out_->ok()) return Result::kWriteFailed;
    }
    ReportProgress(n);
    if (out_) {
      WriteIndex(layout_, *out_);
      if (!out_->Flush()) return Result::kWriteFailed;
    }
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

  bool FrameSized(const BmpHeader& header) const {
    return header.width == layout_.frameWidth && header.height == layout_.frameHeight;
  }

  // Reads entry k whole and tells the caller what went wrong with it.
  void Load(std::int64_t k, Picture& picture) {
    BmpFile file;
    PictureIssue issue = PictureIssue::kCannotOpen;
    if (file.Open(Name(k), &issue) && file.Prepare(&issue)) {
      const BmpHeader& header = file.header();
      if (!out_) {  // a dry run: the headers tell all that is to be told
        picture.framed = false;
        if (!FrameSized(header)) Notice(k, PictureIssue::kSizeDiffers, header.width, header.height);
        return;
      }
      if (FrameSized(header) && ReadPixels(file, picture.rows)) {
        picture.framed = true;
        return;
      }
      if (!FrameSized(header) && ReadPixels(file, picture.image)) {
        picture.framed = false;
        Notice(k, PictureIssue::kSizeDiffers, header.width, header.height);
        return;
      }
      issue = PictureIssue::kOutOfMemory;
    }
    MakeUnreadable(picture.image);
    picture.framed = false;
    Notice(k, issue, 1, 1);
  }

  // Entry k as one frame, decoded straight into the output: stored row r of
  // the picture is stored row r of the frame, as the picture sits at the
  // frame's bottom-left corner.
  void Stream(std::int64_t k) {
    if (!out_) {
      Load(k, current_);  // a dry run reads the headers and reports
      return;
    }
    BmpFile file;
    PictureIssue issue = PictureIssue::kCannotOpen;
    if (!file.Open(Name(k), &issue) || !file.Prepare(&issue)) {
      MakeUnreadable(current_.image);
      current_.framed = false;
      Notice(k, issue, 1, 1);
      WritePicture(current_);
      return;
    }
    const BmpHeader& header = file.header();
    if (!FrameSized(header)) Notice(k, PictureIssue::kSizeDiffers, header.width, header.height);
    const std::int32_t columns = std::min(header.width, layout_.frameWidth);
    const std::int64_t pictureRows = std::min(header.height, layout_.frameHeight);
    const std::size_t used = 3 * static_cast<std::size_t>(columns);
    const auto rowBytes = static_cast<std::size_t>(layout_.rowBytes);
    WriteFrameRows(layout_, *out_, [&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
      const std::int64_t decoded = std::clamp<std::int64_t>(pictureRows - first, 0, count);
      file.ReadRows24(rows, rowBytes, columns, decoded);
      for (std::int64_t i = 0; i < count; ++i) {
        std::uint8_t* row = rows + static_cast<std::size_t>(i) * rowBytes;
        if (i < decoded) {
          std::memset(row + used, 0, rowBytes - used);
        } else {
          std::memset(row, 0, rowBytes);
        }
      }
    });
  }

  void WritePicture(const Picture& picture) {
    if (picture.framed) {
      WriteFrameChunk(picture.rows, layout_, *out_);
    } else {
      WriteFrameChunk(picture.image, layout_, *out_);
    }
  }

  // The N frames from entry k to entry k + 1: the picture itself, then the
  // in-between frames.
  Result WriteFade(std::int64_t k) {
    const std::int32_t N = settings_.smoothCount;
    const bool rows = current_.framed && next_.framed && settings_.transition == CrossFade;
    if (!rows && (!ToImage(current_) || !ToImage(next_) ||
                  !Resize(blend_, current_.image.width, current_.image.height))) {
      return Result::kOutOfMemory;
    }
    WritePicture(current_);
    for (std::int32_t l = 1; l < N; ++l) {
      if (Cancelled()) return Result::kCancelled;
      if (!out_->ok()) return Result::kWriteFailed;
      if (rows) {
        // Blended a block of rows at a time straight into the output.
        const BlendStep& step = Step(l);
        const std::size_t stride = current_.rows.stride;
        WriteFrameRows(layout_, *out_,
                       [&](std::uint8_t* out, std::int64_t first, std::int64_t count) {
                         BlendBytes(Row(current_.rows, first), Row(next_.rows, first),
                                    static_cast<std::size_t>(count) * stride, step, out);
                       });
      } else if (settings_.transition(current_.image, next_.image, l, N, blend_) == 1) {
        WriteFrameChunk(blend_, layout_, *out_);
      } else {
        return Result::kOutOfMemory;
      }
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
          SetBlendStep(steps_[i], i, N);
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
    progress.frameCount = static_cast<std::int64_t>(layout_.frameCount);
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
  const AviLayout& layout_;
  const Options& options_;
  ByteWriter* out_ = nullptr;
  Picture current_;
  Picture next_;
  Image blend_ = CreateImage();
  std::vector<BlendStep> steps_;
  std::int64_t unreadable_ = 0;
};

}  // namespace

Result SetUpRunSettings(RunSettings& settings, std::int32_t frameRateX100,
                        std::int32_t smoothCount) {
  settings = RunSettings();
  if (frameRateX100 <= 0 || smoothCount < 0) return Result::kBadArgument;
  if (smoothCount != 0) settings.smoothCount = smoothCount;
  settings.frameRate = static_cast<double>(frameRateX100) * 0.01;
  settings.frameRate *= static_cast<double>(settings.smoothCount);
  // Stored as whole microseconds per frame: 0 would be no rate at all.
  if (1000000.0 / settings.frameRate < 1.0) return Result::kBadArgument;
  return Result::kOk;
}

Result Convert(const std::filesystem::path& output, const std::vector<std::string>& names,
               std::int32_t frameRateX100, std::int32_t smoothCount, const Options& options) {
  if (output.empty() && !options.dryRun) return Result::kBadArgument;
  RunSettings settings;
  const Result checked = SetUpRunSettings(settings, frameRateX100, smoothCount);
  if (checked != Result::kOk) return checked;
  if (names.empty()) return Result::kListUnreadable;
  settings.imageNames = &names;
  settings.imageCount = static_cast<std::int64_t>(names.size());
  return RunConversion(settings, &output, options);
}

Result RunConversion(RunSettings& settings, const std::filesystem::path* output,
                     const Options& options) {
  const std::vector<std::string>& names = *settings.imageNames;
  const double micros = 1000000.0 / settings.frameRate;
  // The frame geometry is the first picture's; one that cannot be read
  // makes every frame 1 x 1.
  BmpHeader first;
  if (ProbeBmp(names.front(), first)) {
    settings.frameWidth = first.width;
    settings.frameHeight = first.height;
  }
  const AviLayout layout = LayoutFor(
      settings.frameWidth, settings.frameHeight, static_cast<std::uint64_t>(settings.imageCount),
      static_cast<std::uint64_t>(settings.smoothCount), static_cast<std::uint32_t>(micros));
  if (options.summary) {
    Summary& summary = *options.summary;
    summary = Summary();
    summary.frameWidth = layout.frameWidth;
    summary.frameHeight = layout.frameHeight;
    summary.pictureCount = settings.imageCount;
    summary.frameCount = static_cast<std::int64_t>(
        std::min<std::uint64_t>(layout.frameCount, std::numeric_limits<std::int64_t>::max()));
    summary.frameRate = settings.frameRate;
    summary.microsPerFrame = layout.microsPerFrame;
    summary.fileSize = layout.riffSize == kHugeSize ? kHugeSize : layout.riffSize + 8;
  }
  if (layout.riffSize > kMaxRiffSize) return Result::kTooLarge;

  Conversion conversion(settings, layout, options);
  Result result;
  try {
    if (options.dryRun) {
      result = conversion.Run(nullptr);
    } else {
      OutputFile file;
      result = output ? file.Open(*output) : Result::kCannotCreateOutput;
      if (result != Result::kOk) return result;
      file.Reserve(layout.riffSize + 8);
      // A frame is written a whole number of rows at a time.
      ByteWriter out(file.fd(), std::max<std::size_t>(ByteWriter::kDefaultBufferBytes,
                                                      static_cast<std::size_t>(layout.rowBytes)));
      if (!out.ok()) return Result::kOutOfMemory;
      result = conversion.Run(&out);
      if (result == Result::kOk) result = file.Commit();
    }
  } catch (const std::bad_alloc&) {
    result = Result::kOutOfMemory;
  }
  if (options.summary) options.summary->unreadablePictures = conversion.unreadable();
  return result;
}

}  // namespace stillreel
