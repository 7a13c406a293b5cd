// The conversion driver: checks the call, lays out the file from the first
// picture's headers, then reads every picture once, in list order, and writes
// its frames. At most three pictures are in memory at a time: the current
// one, the next one while smoothing, and the blended frame.

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <utility>

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

class Conversion {
 public:
  Conversion(const RunSettings& settings, const AviLayout& layout, const Options& options)
      : settings_(settings), layout_(layout), options_(options) {}

  std::int64_t unreadable() const { return unreadable_; }

  // Reads entry k into image and tells the caller what went wrong with it.
  void ReadEntry(std::int64_t k, Image& image) {
    const std::string& name = (*settings_.imageNames)[static_cast<std::size_t>(k)];
    PictureIssue why = PictureIssue::kCannotOpen;
    const bool read = ReadBmp(image, name, &why);
    if (!read) ++unreadable_;
    if (read && image.width == layout_.frameWidth && image.height == layout_.frameHeight) return;
    if (read) why = PictureIssue::kSizeDiffers;
    if (options_.onPicture)
      options_.onPicture(PictureNotice{k, name, why, image.width, image.height});
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

  Result Run(ByteWriter* out) {
    const std::int64_t n = settings_.imageCount;
    const std::int32_t N = settings_.smoothCount;
    if (out) WriteHeaders(layout_, *out);
    Image current = CreateImage();
    Image next = CreateImage();
    Image blend = CreateImage();
    bool haveCurrent = false;
    for (std::int64_t k = 0; k < n; ++k) {
      ReportProgress(k);
      if (Cancelled()) return Result::kCancelled;
      // The next entry's picture, read for the blend, is this entry's own.
      if (!haveCurrent) ReadEntry(k, current);
      haveCurrent = false;
      if (N > 1 && k < n - 1) {
        ReadEntry(k + 1, next);
        if (out) {
          if (blend.width != current.width || blend.height != current.height) {
            if (!Resize(blend, current.width, current.height)) return Result::kOutOfMemory;
          }
          // Step 0 is the picture itself.
          WriteFrameChunk(current, layout_, *out);
          for (std::int32_t l = 1; l < N; ++l) {
            if (Cancelled()) return Result::kCancelled;
            if (!out->ok()) return Result::kWriteFailed;
            if (settings_.transition(current, next, l, N, blend) != 1) {
              return Result::kOutOfMemory;
            }
            WriteFrameChunk(blend, layout_, *out);
            if (l + 1 < N) ReportProgress(k, l + 1);
          }
        }
        std::swap(current, next);
        haveCurrent = true;
      } else if (out) {
        WriteFrameChunk(current, layout_, *out);
      }
      if (out && !out->ok()) return Result::kWriteFailed;
    }
    ReportProgress(n);
    if (out) {
      WriteIndex(layout_, *out);
      if (!out->Flush()) return Result::kWriteFailed;
    }
    return Result::kOk;
  }

 private:
  const RunSettings& settings_;
  const AviLayout& layout_;
  const Options& options_;
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
      ByteWriter out(file.fd());
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
