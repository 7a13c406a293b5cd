// The run of a conversion: pictures taken one at a time, in order, and
// turned into frames, or only read and reported for a dry run. A list's run
// and a Writer's are the same Run, fed by a loop over the names or by the
// caller's appends. It writes through the caller's AviWriter and ByteWriter
// and owns neither; it only reads a picture while it is handed it.
#ifndef STILLREEL_CONVERT_RUN_H_
#define STILLREEL_CONVERT_RUN_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/frames.h"
#include "convert/run_settings.h"
#include "convert/workers.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// One picture as a run is handed it: a BMP file by name, a BMP in memory, or
// pixels in memory (a view already checked). Whatever it points at must
// stay while the run reads it: during Add, and for a picture handed as the
// one ahead, until the next Add.
struct PictureInput {
  enum class Kind { kFile, kBmp, kView } kind = Kind::kFile;
  std::string_view name;              // kFile; also the name notices give
  std::span<const std::uint8_t> bmp;  // kBmp
  const PictureView* view = nullptr;  // kView
};

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

// A picture shown once is never held: it is decoded straight into the
// writer's buffer. While smoothing, the current and the next picture are
// held as Images and their blends made from them, so the frames of entry k
// are written once entry k + 1 has come (or the run is told k was the last);
// with workers, the picture after the next is read on a worker meanwhile when
// the feeder knows it, and the rows of each in-between frame are shared out.
// Only the caller's thread writes, reports and calls back, in entry order,
// so the file and the callbacks are the same for any number of threads and
// however the pictures come. settings.imageCount may be -1 (not known) until
// Finish; settings.layout may change between calls, as long as the frames
// written so far keep their places.
class Run {
 public:
  // `avi` and `out` may be null for a dry run.
  Run(const RunSettings& settings, const Options& options, std::int64_t& unreadable, AviWriter* avi,
      ByteWriter* out);
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // The headers.
  void Start();
  // Entry k, the next one. `ahead`, when the feeder has it, is entry k + 1,
  // which a worker may read meanwhile.
  Result Add(std::int64_t k, const PictureInput& picture, const PictureInput* ahead);
  // After the last entry, n - 1 (settings.imageCount is n by now): its held
  // frame, the last report, the index.
  Result Finish();

  // A dry run's entry k: read, reported, not written; and its end.
  Result Check(std::int64_t k, const PictureInput& picture);
  Result FinishCheck();

 private:
  bool MayFade(std::int64_t k) const {
    const std::int64_t n = settings_.imageCount;
    return settings_.smoothCount > 1 && (n < 0 || k < n - 1);
  }

  void Notice(std::int64_t k, const PictureInput& picture, PictureIssue issue, std::int32_t width,
              std::int32_t height);
  void NoticeSize(std::int64_t k, const PictureInput& picture, std::int32_t width,
                  std::int32_t height);
  // Entry k opened and prepared for its rows, and reported: false, after the
  // notice, when it cannot be read.
  bool Open(std::int64_t k, const PictureInput& picture, BmpFile& file);
  // Entry k read whole into `image` (1 x 1 white when it cannot be read).
  PictureRead Read(const PictureInput& picture, Image& image) const;
  void Report(std::int64_t k, const PictureInput& picture, const PictureRead& read,
              const Image& image);
  // Entry k into `image`: on a worker from StartReading, collected and
  // reported by Collect; Collect reads it itself when it was not started.
  void StartReading(std::int64_t k, const PictureInput& picture, Image& image);
  void Collect(std::int64_t k, const PictureInput& picture, Image& image);

  void StartWorkers();
  void WriteShown(std::int64_t k, const PictureInput& picture);
  Result WriteFade(std::int64_t k);
  void ReportProgress(std::int64_t entry, std::int32_t step = 0);
  bool Cancelled() const { return options_.cancel && options_.cancel->load(); }

  const RunSettings& settings_;
  const Options& options_;
  std::int64_t& unreadable_;
  AviWriter* avi_;
  ByteWriter* out_;
  HeldPictures held_;
  bool holding_ = false;  // held_.current() holds the last entry added
  // The picture being read ahead: its entry (-1 for none) and what came of it.
  struct Ahead {
    std::int64_t entry = -1;
    PictureInput picture;
    std::shared_ptr<Task> task;
    PictureRead read;
  } ahead_;
  std::optional<FrameWriter> frames_;
  // Last, so that it stops before anything its jobs use goes away.
  std::optional<Workers> workers_;
};

// Writes the file the plan describes through `out`: headers, frames, index.
// Adds the pictures that could not be read to `unreadable` as it meets them.
Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable);

// Reads every picture's headers and reports as WriteVideo would, writing nothing.
Result CheckPictures(const RunSettings& settings, const Options& options, std::int64_t& unreadable);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_H_
