// The run of a conversion: every picture read once, in entry order, and
// turned into its frames by a FrameWriter (see run.h for who holds what).

#include "convert/run.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "convert/picture_view.h"
#include "image/bmp_reader.h"

namespace stillreel {

Run::Run(const RunSettings& settings, const Options& options, std::int64_t& unreadable,
         AviWriter* avi, ByteWriter* out)
    : settings_(settings), options_(options), unreadable_(unreadable), avi_(avi), out_(out) {}

void Run::StartWorkers() {
  const std::int64_t n = settings_.imageCount;
  if (settings_.smoothCount > 1 && n != 1 && settings_.threads > 1) {
    workers_.emplace(settings_.threads);
    if (workers_->empty()) workers_.reset();
  }
}

void Run::Start() {
  StartWorkers();
  frames_.emplace(settings_, *avi_, workers_ ? &*workers_ : nullptr);
  avi_->WriteHeaders();
}

Result Run::Add(std::int64_t k, const PictureInput& picture, const PictureInput* ahead) {
  if (!holding_) {
    ReportProgress(k);
    if (Cancelled()) return Result::kCancelled;
    if (MayFade(k)) {
      // Entry k is held until the next one comes, for the fade into it.
      if (ahead) StartReading(k + 1, *ahead, held_.next());
      Report(k, picture, Read(picture, held_.current()), held_.current());
      holding_ = true;
    } else {
      WriteShown(k, picture);
    }
  } else {
    // Entry k - 1 is held: its fade into entry k goes out now. The next
    // entry's picture, read for the fade, is also that entry's own.
    if (k > 1) {
      ReportProgress(k - 1);
      if (Cancelled()) return Result::kCancelled;
    }
    Collect(k, picture, held_.next());
    if (ahead && MayFade(k)) StartReading(k + 1, *ahead, held_.ahead());
    const Result result = WriteFade(k - 1);
    if (result != Result::kOk) return result;
    held_.Advance(ahead_.entry == k + 1);
  }
  return out_->ok() ? Result::kOk : Result::kWriteFailed;
}

Result Run::Finish() {
  const std::int64_t n = settings_.imageCount;
  if (holding_) {
    if (n > 1) {
      ReportProgress(n - 1);
      if (Cancelled()) return Result::kCancelled;
    }
    frames_->WritePicture(held_.current());
    holding_ = false;
    if (!out_->ok()) return Result::kWriteFailed;
  }
  ReportProgress(n);
  // A cancel raised by the last notices or by this report still counts.
  if (Cancelled()) return Result::kCancelled;
  avi_->Finish();
  return out_->Flush() ? Result::kOk : Result::kWriteFailed;
}

Result Run::Check(std::int64_t k, const PictureInput& picture) {
  ReportProgress(k);
  if (Cancelled()) return Result::kCancelled;
  BmpFile file(settings_.reading);
  // Views are not looked at: only the pictures of a list are checked.
  if (Open(k, picture, file) && grey_ && picture.kind != PictureInput::Kind::kView) {
    grey_ = file.IsGrey();
  }
  return Result::kOk;
}

Result Run::FinishCheck() {
  ReportProgress(settings_.imageCount);
  return Result::kOk;
}

void Run::Notice(std::int64_t k, const PictureInput& picture, PictureIssue issue,
                 std::int32_t width, std::int32_t height) {
  if (issue != PictureIssue::kSizeDiffers) ++unreadable_;
  if (options_.onPicture) {
    options_.onPicture(PictureNotice{k, picture.name, issue, width, height});
  }
}

void Run::NoticeSize(std::int64_t k, const PictureInput& picture, std::int32_t width,
                     std::int32_t height) {
  if (width != settings_.frameWidth || height != settings_.frameHeight) {
    Notice(k, picture, PictureIssue::kSizeDiffers, width, height);
  }
}

bool Run::Open(std::int64_t k, const PictureInput& picture, BmpFile& file) {
  if (picture.kind == PictureInput::Kind::kView) {
    NoticeSize(k, picture, picture.view->width, picture.view->height);
    return true;
  }
  PictureIssue issue = PictureIssue::kCannotOpen;
  const bool opened = picture.kind == PictureInput::Kind::kFile ? file.Open(picture.name, &issue)
                                                                : file.Open(picture.bmp, &issue);
  if (!opened || !file.Prepare(&issue)) {
    Notice(k, picture, issue, 1, 1);
    return false;
  }
  NoticeSize(k, picture, file.layout().width, file.layout().height);
  return true;
}

PictureRead Run::Read(const PictureInput& picture, Image& image) const {
  PictureRead outcome;
  switch (picture.kind) {
    case PictureInput::Kind::kFile:
      outcome.read = ReadBmp(image, picture.name, &outcome.issue, settings_.reading,
                             FramePixelBytes(settings_));
      break;
    case PictureInput::Kind::kBmp:
      outcome.read = ReadBmp(image, picture.bmp, &outcome.issue, settings_.reading,
                             FramePixelBytes(settings_));
      break;
    case PictureInput::Kind::kView:
      // Straight into the frames' kind of pixels.
      outcome.read = ReadView(*picture.view, FramePixelBytes(settings_), image);
      outcome.issue = PictureIssue::kOutOfMemory;
      break;
  }
  return outcome;
}

void Run::Report(std::int64_t k, const PictureInput& picture, const PictureRead& read,
                 const Image& image) {
  if (read.read) {
    NoticeSize(k, picture, image.width, image.height);
  } else {
    Notice(k, picture, read.issue, 1, 1);
  }
}

void Run::StartReading(std::int64_t k, const PictureInput& picture, Image& image) {
  if (!workers_) return;
  ahead_.entry = k;
  ahead_.picture = picture;
  ahead_.task =
      std::make_shared<Task>([this, &image] { ahead_.read = Read(ahead_.picture, image); });
  workers_->Post([task = ahead_.task] { task->Run(); });
}

void Run::Collect(std::int64_t k, const PictureInput& picture, Image& image) {
  if (ahead_.entry != k) {
    Report(k, picture, Read(picture, image), image);
    return;
  }
  ahead_.entry = -1;
  std::exchange(ahead_.task, nullptr)->Finish();
  Report(k, picture, ahead_.read, image);
}

// Entry k as one frame, decoded straight into the output.
void Run::WriteShown(std::int64_t k, const PictureInput& picture) {
  BmpFile file(settings_.reading);
  if (!Open(k, picture, file)) {
    MakeUnreadable(held_.current(), FramePixelBytes(settings_));
    frames_->WritePicture(held_.current());
  } else if (picture.kind == PictureInput::Kind::kView) {
    const PictureView& view = *picture.view;
    const std::int32_t pixelBytes = FramePixelBytes(settings_);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    frames_->WriteRows(
        view.width, view.height,
        [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
          ViewRows(view, first, count, columns, pixelBytes, rows, rowBytes);
        });
  } else {
    frames_->WriteDecoded(file);
  }
}

// The N frames from entry k to entry k + 1: the picture itself, then the
// in-between frames.
Result Run::WriteFade(std::int64_t k) {
  const std::int32_t N = settings_.smoothCount;
  frames_->WritePicture(held_.current());
  for (std::int32_t l = 1; l < N; ++l) {
    if (Cancelled()) return Result::kCancelled;
    if (!out_->ok()) return Result::kWriteFailed;
    frames_->WriteBlend(held_.current(), held_.next(), l);
    if (l + 1 < N) ReportProgress(k, l + 1);
  }
  return Result::kOk;
}

// Before each entry, and after each in-between frame while fading from
// entry k into the next (step l of N counts as k + l / N). Without n, no
// percent and no frame count.
void Run::ReportProgress(std::int64_t entry, std::int32_t step) {
  if (!options_.onProgress) return;
  const std::int64_t n = settings_.imageCount;
  const std::int32_t N = settings_.smoothCount;
  Progress progress;
  progress.entry = entry;
  if (n < 0) {
    progress.percent = -1;
    progress.frameCount = -1;
    progress.framesWritten = entry * N + step;
    options_.onProgress(progress);
    return;
  }
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

namespace {

PictureInput FileInput(const RunSettings& settings, std::int64_t k) {
  PictureInput input;
  input.name = (*settings.imageNames)[static_cast<std::size_t>(k)];
  return input;
}

}  // namespace

Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable) {
  Run run(settings, options, unreadable, &avi, &out);
  run.Start();
  const std::int64_t n = settings.imageCount;
  for (std::int64_t k = 0; k < n; ++k) {
    const PictureInput ahead = k + 1 < n ? FileInput(settings, k + 1) : PictureInput();
    const Result result = run.Add(k, FileInput(settings, k), k + 1 < n ? &ahead : nullptr);
    if (result != Result::kOk) return result;
  }
  return run.Finish();
}

Result CheckPictures(const RunSettings& settings, const Options& options, std::int64_t& unreadable,
                     bool& grey) {
  Run run(settings, options, unreadable, nullptr, nullptr);
  for (std::int64_t k = 0; k < settings.imageCount; ++k) {
    const Result result = run.Check(k, FileInput(settings, k));
    if (result != Result::kOk) return result;
  }
  const Result result = run.FinishCheck();
  grey = run.grey();
  return result;
}

}  // namespace stillreel
