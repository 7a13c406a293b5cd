// The run of a conversion: every picture read once, in list order, and
// turned into its frames by a FrameWriter. A picture shown once is never
// held: it is decoded straight into the writer's buffer. While smoothing,
// the current and the next picture are held as Images and their blends made
// from them; with workers, the picture after the next is read on a worker
// meanwhile, and the rows of each in-between frame are shared out. Only the
// caller's thread writes, reports and calls back, in list order, so the file
// and the callbacks are the same for any number of threads.

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/frames.h"
#include "convert/run_settings.h"
#include "convert/workers.h"
#include "image/bmp_reader.h"

namespace stillreel {
namespace {

// The pictures a fading run holds, in three Images that change roles as it
// goes. While the fade from entry k into entry k + 1 is written, current()
// holds entry k, next() entry k + 1, and ahead() is where a worker reads
// entry k + 2 (or nothing is read: without workers, or at the end). Advance
// then makes entry k + 1 the current picture; the next one is the picture
// read ahead if there is one, else the Image just shown, whose memory is the
// most likely still in the caches, for entry k + 2 to be read into.
class HeldPictures {
 public:
  Image& current() { return *current_; }
  Image& next() { return *next_; }
  Image& ahead() { return *ahead_; }

  void Advance(bool readAhead) {
    std::swap(current_, next_);
    if (readAhead) std::swap(next_, ahead_);
  }

 private:
  Image images_[3] = {CreateImage(), CreateImage(), CreateImage()};
  Image* current_ = &images_[0];
  Image* next_ = &images_[1];
  Image* ahead_ = &images_[2];
};

// What came of reading a picture whole.
struct PictureRead {
  bool read = false;
  PictureIssue issue = PictureIssue::kCannotOpen;
};

class Run {
 public:
  Run(const RunSettings& settings, const Options& options, std::int64_t& unreadable)
      : settings_(settings), options_(options), unreadable_(unreadable) {}

  Result Write(AviWriter& avi, ByteWriter& out);
  // Sets `grey` to whether every picture is grey (an unreadable one is white).
  Result Check(bool& grey);

 private:
  const std::string& Name(std::int64_t k) const {
    return (*settings_.imageNames)[static_cast<std::size_t>(k)];
  }
  bool Fades(std::int64_t k) const {
    return settings_.smoothCount > 1 && k < settings_.imageCount - 1;
  }

  void Notice(std::int64_t k, PictureIssue issue, std::int32_t width, std::int32_t height);
  void NoticeSize(std::int64_t k, std::int32_t width, std::int32_t height);
  // Entry k opened and prepared for its rows, and reported: false, after the
  // notice, when it cannot be read.
  bool Open(std::int64_t k, BmpFile& file);
  // Entry k read whole into `image` (1 x 1 white when it cannot be read).
  PictureRead Read(std::int64_t k, Image& image) const;
  void Report(std::int64_t k, const PictureRead& read, const Image& image);
  // Entry k into `image`: on a worker from StartReading, collected and
  // reported by Collect; Collect reads it itself when it was not started.
  void StartReading(std::int64_t k, Image& image);
  void Collect(std::int64_t k, Image& image);

  void WriteShown(std::int64_t k, FrameWriter& frames);
  Result WriteFade(std::int64_t k, FrameWriter& frames, ByteWriter& out);
  void ReportProgress(std::int64_t entry, std::int32_t step = 0);
  bool Cancelled() const { return options_.cancel && options_.cancel->load(); }

  const RunSettings& settings_;
  const Options& options_;
  std::int64_t& unreadable_;
  HeldPictures held_;
  // The picture being read ahead: its entry (-1 for none) and what came of it.
  struct Ahead {
    std::int64_t entry = -1;
    std::shared_ptr<Task> task;
    PictureRead read;
  } ahead_;
  // Last, so that it stops before anything its jobs use goes away.
  std::optional<Workers> workers_;
};

Result Run::Write(AviWriter& avi, ByteWriter& out) {
  const std::int64_t n = settings_.imageCount;
  if (settings_.smoothCount > 1 && n > 1 && settings_.threads > 1) {
    workers_.emplace(settings_.threads);
    if (workers_->empty()) workers_.reset();
  }
  FrameWriter frames(settings_, avi, workers_ ? &*workers_ : nullptr);
  avi.WriteHeaders();
  bool holding = false;  // held_.current() holds entry k
  for (std::int64_t k = 0; k < n; ++k) {
    ReportProgress(k);
    if (Cancelled()) return Result::kCancelled;
    if (Fades(k)) {
      // The next entry's picture, read for the fade, is also that entry's own.
      if (!holding) {
        StartReading(k + 1, held_.next());
        Report(k, Read(k, held_.current()), held_.current());
      }
      Collect(k + 1, held_.next());
      if (k + 2 < n) StartReading(k + 2, held_.ahead());
      const Result result = WriteFade(k, frames, out);
      if (result != Result::kOk) return result;
      held_.Advance(ahead_.entry == k + 2);
      holding = true;
    } else if (holding) {
      frames.WritePicture(held_.current());
      holding = false;
    } else {
      WriteShown(k, frames);
    }
    if (!out.ok()) return Result::kWriteFailed;
  }
  ReportProgress(n);
  // A cancel raised by the last notices or by this report still counts.
  if (Cancelled()) return Result::kCancelled;
  avi.Finish();
  return out.Flush() ? Result::kOk : Result::kWriteFailed;
}

Result Run::Check(bool& grey) {
  const std::int64_t n = settings_.imageCount;
  grey = true;
  for (std::int64_t k = 0; k < n; ++k) {
    ReportProgress(k);
    if (Cancelled()) return Result::kCancelled;
    BmpFile file(settings_.reading);
    if (Open(k, file) && grey) grey = file.IsGrey();
  }
  ReportProgress(n);
  return Result::kOk;
}

void Run::Notice(std::int64_t k, PictureIssue issue, std::int32_t width, std::int32_t height) {
  if (issue != PictureIssue::kSizeDiffers) ++unreadable_;
  if (options_.onPicture) options_.onPicture(PictureNotice{k, Name(k), issue, width, height});
}

void Run::NoticeSize(std::int64_t k, std::int32_t width, std::int32_t height) {
  if (width != settings_.frameWidth || height != settings_.frameHeight) {
    Notice(k, PictureIssue::kSizeDiffers, width, height);
  }
}

bool Run::Open(std::int64_t k, BmpFile& file) {
  PictureIssue issue = PictureIssue::kCannotOpen;
  if (!file.Open(Name(k), &issue) || !file.Prepare(&issue)) {
    Notice(k, issue, 1, 1);
    return false;
  }
  NoticeSize(k, file.layout().width, file.layout().height);
  return true;
}

PictureRead Run::Read(std::int64_t k, Image& image) const {
  PictureRead outcome;
  outcome.read = ReadBmp(image, Name(k), &outcome.issue, settings_.reading, settings_.PixelBytes());
  PreparePicture(settings_, image);
  return outcome;
}

void Run::Report(std::int64_t k, const PictureRead& read, const Image& image) {
  if (read.read) {
    NoticeSize(k, image.width, image.height);
  } else {
    Notice(k, read.issue, 1, 1);
  }
}

void Run::StartReading(std::int64_t k, Image& image) {
  if (!workers_) return;
  ahead_.entry = k;
  ahead_.task = std::make_shared<Task>([this, k, &image] { ahead_.read = Read(k, image); });
  workers_->Post([task = ahead_.task] { task->Run(); });
}

void Run::Collect(std::int64_t k, Image& image) {
  if (ahead_.entry != k) {
    Report(k, Read(k, image), image);
    return;
  }
  ahead_.entry = -1;
  std::exchange(ahead_.task, nullptr)->Finish();
  Report(k, ahead_.read, image);
}

// Entry k as one frame, decoded straight into the output.
void Run::WriteShown(std::int64_t k, FrameWriter& frames) {
  BmpFile file(settings_.reading);
  if (Open(k, file)) {
    frames.WriteDecoded(file);
  } else {
    MakeUnreadable(held_.current(), settings_.PixelBytes());
    frames.WritePicture(held_.current());
  }
}

// The N frames from entry k to entry k + 1: the picture itself, then the
// in-between frames.
Result Run::WriteFade(std::int64_t k, FrameWriter& frames, ByteWriter& out) {
  const std::int32_t N = settings_.smoothCount;
  frames.WritePicture(held_.current());
  for (std::int32_t l = 1; l < N; ++l) {
    if (Cancelled()) return Result::kCancelled;
    if (!out.ok()) return Result::kWriteFailed;
    frames.WriteBlend(held_.current(), held_.next(), l);
    if (l + 1 < N) ReportProgress(k, l + 1);
  }
  return Result::kOk;
}

// Before each entry, and after each in-between frame while fading from
// entry k into the next (step l of N counts as k + l / N).
void Run::ReportProgress(std::int64_t entry, std::int32_t step) {
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

}  // namespace

Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable) {
  return Run(settings, options, unreadable).Write(avi, out);
}

Result CheckPictures(const RunSettings& settings, const Options& options, std::int64_t& unreadable,
                     bool& grey) {
  return Run(settings, options, unreadable).Check(grey);
}

}  // namespace stillreel
