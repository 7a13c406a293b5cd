// Workers: the threads one conversion starts to share its work, started with
// the run and stopped with it. Jobs are queued to them; Split shares the parts
// of one piece of work among the caller's thread and every worker free to
// help. Nothing here knows what the work is; the run decides what is shared.
#ifndef STILLREEL_CONVERT_WORKERS_H_
#define STILLREEL_CONVERT_WORKERS_H_

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace stillreel {

// Waits while busy() holds, for at most about 50 microseconds, without
// sleeping: the waits between the blocks of one frame last a few
// microseconds, less than waking a sleeping thread takes.
void SpinWhile(const std::function<bool()>& busy);

// A job handed to a worker that the caller may take back: Finish does it on
// the caller's thread when no worker has begun it, else waits for it; either
// way it then passes on what the job threw.
class Task {
 public:
  explicit Task(std::function<void()> work) : work_(std::move(work)) {}

  void Run() {
    if (!taken_.exchange(true)) Do();
  }
  void Finish();

 private:
  void Do();

  std::function<void()> work_;
  std::atomic<bool> taken_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::exception_ptr error_;
};

class Workers {
 public:
  // `threads` in all, the caller's among them. A thread that cannot be
  // started leaves its share to the others.
  explicit Workers(std::int32_t threads);
  // Drops the jobs no worker has begun and waits for the others.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  bool empty() const { return threads_.empty(); }

  void Post(std::function<void()> job);

  // Runs body(part) once for every part below `parts`, on the caller's thread
  // and the idle workers; returns once all are done, passing on the first
  // exception a part threw.
  template <class Body>
  void Split(std::int64_t parts, const Body& body) {
    const auto batch = std::make_shared<Batch>();
    batch->body = &body;
    batch->run = [](const void* b, std::int64_t part) { (*static_cast<const Body*>(b))(part); };
    batch->parts = parts;
    RunBatch(batch);
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

    void Work();
  };

  void RunBatch(const std::shared_ptr<Batch>& batch);
  void Serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::atomic<std::size_t> queued_{0};  // queue_.size(), for spinning workers to watch
  int sleeping_ = 0;                    // workers waiting on wake_
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_WORKERS_H_
