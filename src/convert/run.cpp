// The run of a conversion: every picture read once, in list order, and
// turned into its frames. Each frame is written a block of rows at a time
// into the writer's buffer: a picture to be shown once is decoded straight
// into it; while smoothing the current and the next picture are held as
// Images and their blends made there. At most two pictures are in memory,
// three when the run has workers: then the picture after the next is read
// on a worker while the blends are made, and the rows of each block of an
// in-between frame are shared out among the workers and the caller's thread.
// Only the caller's thread writes, reports and calls back, in list order, so
// the file and the callbacks are the same for any number of threads.
//
// A picture of another size than the frame sits at its bottom-left corner:
// stored row r of the picture is stored row r of the frame (both are stored
// bottom-up), cut at the frame's width and height; what it does not cover is
// zero.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/run_settings.h"
#include "fade/cross_fade.h"
#include "image/bmp_reader.h"

namespace stillreel {
namespace {

// Waits while busy() holds, for at most kSpinTime, without sleeping: the
// waits between the blocks of one frame last a few microseconds, less than
// waking a sleeping thread takes. Now and then it yields, so that on a busy
// machine the thread it waits for gets the core.
constexpr std::chrono::microseconds kSpinTime{50};

template <class Busy>
void SpinWhile(const Busy& busy) {
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned i = 1; busy(); ++i) {
    if (i % 64 == 0) {
      if (std::chrono::steady_clock::now() > until) return;
      std::this_thread::yield();
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
}

// A job handed to a worker that the caller may take back: Finish does it on
// the caller's thread when no worker has begun it, else waits for it; either
// way it then passes on what the job threw.
class Task {
 public:
  explicit Task(std::function<void()> work) : work_(std::move(work)) {}

  void Run() {
    if (!taken_.exchange(true)) Do();
  }

  void Finish() {
    if (!taken_.exchange(true)) {
      Do();
    } else {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_.wait(lock, [this] { return done_; });
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  void Do() {
    try {
      work_();
    } catch (...) {
      error_ = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    finished_.notify_all();
  }

  std::function<void()> work_;
  std::atomic<bool> taken_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::exception_ptr error_;
};

// The workers of one run, started with it and stopped with it: each takes
// the queued jobs in turn. Split shares the parts of one piece of work among
// the caller's thread and every worker free to help, and returns once all of
// them are done. Stopping drops the jobs no worker has begun and waits for
// the others.
class Workers {
 public:
  // `threads` in all, the caller's among them. A thread that cannot be
  // started leaves its share to the others.
  explicit Workers(std::int32_t threads) {
    threads_.reserve(static_cast<std::size_t>(threads - 1));
    for (std::int32_t i = 1; i < threads; ++i) {
      try {
        threads_.emplace_back([this] { Serve(); });
      } catch (const std::exception&) {
        break;
      }
    }
  }

  ~Workers() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
      thread.join();
  }

  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  bool empty() const { return threads_.empty(); }

  void Post(std::function<void()> job) {
    bool sleeping;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(job));
      queued_.store(queue_.size(), std::memory_order_relaxed);
      sleeping = sleeping_ > 0;
    }
    if (sleeping) wake_.notify_one();
  }

  // Runs body(part) once for every part below `parts`; passes on the first
  // exception a part threw once all of them are done.
  template <class Body>
  void Split(std::int64_t parts, const Body& body) {
    const auto batch = std::make_shared<Batch>();
    batch->body = &body;
    batch->run = [](const void* b, std::int64_t part) { (*static_cast<const Body*>(b))(part); };
    batch->parts = parts;
    const auto helpers =
        std::min<std::int64_t>(parts - 1, static_cast<std::int64_t>(threads_.size()));
    for (std::int64_t i = 0; i < helpers; ++i) {
      // A helper that cannot be asked leaves its parts to the others; no
      // part may still run once this returns, so nothing is thrown here.
      try {
        Post([batch] { batch->Work(); });
      } catch (...) {
        break;
      }
    }
    batch->Work();
    const auto done = [&] { return batch->done.load(std::memory_order_acquire) == parts; };
    SpinWhile([&] { return !done(); });
    std::unique_lock<std::mutex> lock(batch->mutex);
    batch->finished.wait(lock, done);
    if (batch->error) std::rethrow_exception(batch->error);
  }

 private:
  // The parts of one Split, taken one at a time by whoever comes. A helper
  // that comes after the last part was taken finds nothing to do.
  struct Batch {
    const void* body = nullptr;
    void (*run)(const void*, std::int64_t) = nullptr;
    std::int64_t parts = 0;
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr error;

    void Work() {
      std::int64_t ran = 0;
      std::exception_ptr caught;
      for (std::int64_t part; (part = next.fetch_add(1)) < parts; ++ran) {
        try {
          run(body, part);
        } catch (...) {
          if (!caught) caught = std::current_exception();
        }
      }
      if (ran == 0) return;
      const std::lock_guard<std::mutex> lock(mutex);
      if (caught && !error) error = caught;
      if (done.fetch_add(ran, std::memory_order_acq_rel) + ran == parts) finished.notify_all();
    }
  };

  void Serve() {
    for (;;) {
      SpinWhile([this] { return queued_.load(std::memory_order_relaxed) == 0; });
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ++sleeping_;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --sleeping_;
        if (stopping_) return;
        job = std::move(queue_.front());
        queue_.pop_front();
        queued_.store(queue_.size(), std::memory_order_relaxed);
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::atomic<std::size_t> queued_{0};  // queue_.size(), for spinning workers to watch
  int sleeping_ = 0;                    // workers waiting on wake_
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

class Run {
 public:
  Run(const RunSettings& settings, const Options& options, std::int64_t& unreadable)
      : settings_(settings), options_(options), unreadable_(unreadable) {}

  Result Write(AviWriter& avi, ByteWriter& out) {
    const std::int64_t n = settings_.imageCount;
    const std::int32_t N = settings_.smoothCount;
    if (N > 1 && n > 1 && settings_.threads > 1) {
      workers_.emplace(settings_.threads);
      if (workers_->empty()) workers_.reset();
    }
    avi.WriteHeaders();
    bool haveCurrent = false;
    for (std::int64_t k = 0; k < n; ++k) {
      ReportProgress(k);
      if (Cancelled()) return Result::kCancelled;
      if (N > 1 && k < n - 1) {
        // The next entry's picture, read for the fade, is also that entry's own.
        if (!haveCurrent) {
          ReadAhead(k + 1, *next_);
          Load(k, *current_);
        }
        Take(k + 1, *next_);
        if (k + 2 < n) ReadAhead(k + 2, *spare_);
        const Result result = WriteFade(k, avi, out);
        if (result != Result::kOk) return result;
        // Entry k + 1 becomes the current picture; the next one is the one
        // being read ahead, if any, else the one just shown, whose memory
        // is the one most likely still in the caches.
        std::swap(current_, next_);
        if (ahead_.entry == k + 2) std::swap(next_, spare_);
        haveCurrent = true;
      } else if (haveCurrent) {
        WritePicture(*current_, avi);
        haveCurrent = false;
      } else {
        Stream(k, avi);
      }
      if (!out.ok()) return Result::kWriteFailed;
    }
    ReportProgress(n);
    // A cancel raised by the last notices or by this report still counts.
    if (Cancelled()) return Result::kCancelled;
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
    const bool read = ReadBmp(image, Name(k), &issue, settings_.reading);
    Report(k, read, issue, image);
  }

  void Report(std::int64_t k, bool read, PictureIssue issue, const Image& image) {
    if (read) {
      NoticeSize(k, image.width, image.height);
    } else {
      Notice(k, issue, 1, 1);
    }
  }

  // Starts reading entry k into `image` on a worker; Take(k) collects it.
  void ReadAhead(std::int64_t k, Image& image) {
    if (!workers_) return;
    ahead_.entry = k;
    ahead_.task = std::make_shared<Task>([this, k, &image] {
      ahead_.issue = PictureIssue::kCannotOpen;
      ahead_.read = ReadBmp(image, Name(k), &ahead_.issue, settings_.reading);
    });
    workers_->Post([task = ahead_.task] { task->Run(); });
  }

  // Entry k in `image`, read ahead or read now, and reported either way.
  void Take(std::int64_t k, Image& image) {
    if (ahead_.entry != k) {
      Load(k, image);
      return;
    }
    ahead_.entry = -1;
    std::exchange(ahead_.task, nullptr)->Finish();
    Report(k, ahead_.read, ahead_.issue, image);
  }

  // One frame holding a picture of width x height whose stored rows
  // fill(out, first, count, columns) makes: `count` rows from stored row
  // `first` on, `columns` pixels each, one row every rowBytes bytes.
  // With `shared`, fill may be called on any of the run's threads, for parts
  // of a block at the same time.
  template <class Fill>
  void WriteFitted(AviWriter& avi, std::int32_t width, std::int32_t height, const Fill& fill,
                   bool shared = false) {
    const std::int32_t columns = std::min(width, settings_.frameWidth);
    const std::size_t used = 3 * static_cast<std::size_t>(columns);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    const auto perPart = static_cast<std::int64_t>(std::max<std::size_t>(kPartBytes / rowBytes, 1));
    avi.WriteFrameRows([&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
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
      MakeUnreadable(*current_);
      Notice(k, issue, 1, 1);
      WritePicture(*current_, avi);
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
    const Image& a = *current_;
    const Image& b = *next_;
    WritePicture(a, avi);
    const auto rowBytes = static_cast<std::size_t>(settings_.layout.rowBytes);
    for (std::int32_t l = 1; l < N; ++l) {
      if (Cancelled()) return Result::kCancelled;
      if (!out.ok()) return Result::kWriteFailed;
      const BlendStep& step = Step(l);
      WriteFitted(
          avi, a.width, a.height,
          [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::int32_t columns) {
            CrossFade(a, b, step, first, count, columns, rows, rowBytes);
          },
          true);
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

  static constexpr std::int32_t kKeptSteps = 64;  // 4.5 MiB of tables at most

  const RunSettings& settings_;
  const Options& options_;
  Image images_[3] = {CreateImage(), CreateImage(), CreateImage()};
  Image* current_ = &images_[0];
  Image* next_ = &images_[1];
  Image* spare_ = &images_[2];  // where the picture after the next is read ahead
  std::vector<BlendStep> steps_;
  std::int64_t& unreadable_;
  // The picture being read ahead: its entry (-1 for none) and what came of it.
  struct Ahead {
    std::int64_t entry = -1;
    std::shared_ptr<Task> task;
    bool read = false;
    PictureIssue issue = PictureIssue::kCannotOpen;
  } ahead_;
  // Last, so that it stops before anything its jobs use goes away.
  std::optional<Workers> workers_;
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
