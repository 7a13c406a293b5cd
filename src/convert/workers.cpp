#include "convert/workers.h"

#include <chrono>
#include <utility>

namespace stillreel {

void SpinWhile(const std::function<bool()>& busy) {
  constexpr std::chrono::microseconds kSpinTime{50};
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned i = 1; busy(); ++i) {
    // Now and then it yields, so that on a busy machine the thread it waits
    // for gets the core.
    if (i % 64 == 0) {
      if (std::chrono::steady_clock::now() > until) return;
      std::this_thread::yield();
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && __ARM_ARCH >= 7)
    asm volatile("yield");
#endif
  }
}

void Task::Finish() {
  if (!taken_.exchange(true)) {
    Do();
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
  }
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void Task::Do() {
  try {
    work_();
  } catch (...) {
    error_ = std::current_exception();
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  finished_.notify_all();
}

Workers::Workers(std::int32_t threads) {
  threads_.reserve(static_cast<std::size_t>(threads - 1));
  for (std::int32_t i = 1; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { Serve(); });
    } catch (const std::exception&) {
      break;
    }
  }
}

Workers::~Workers() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
}

void Workers::Post(std::function<void()> job) {
  bool sleeping;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(job));
    queued_.store(queue_.size(), std::memory_order_relaxed);
    sleeping = sleeping_ > 0;
  }
  if (sleeping) wake_.notify_one();
}

void Workers::RunBatch(const std::shared_ptr<Batch>& batch) {
  const std::int64_t parts = batch->parts;
  const auto helpers =
      std::min<std::int64_t>(parts - 1, static_cast<std::int64_t>(threads_.size()));
  for (std::int64_t i = 0; i < helpers; ++i) {
    // A helper that cannot be asked leaves its parts to the others; no part
    // may still run once Split returns, so nothing is thrown here.
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

void Workers::Batch::Work() {
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

void Workers::Serve() {
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

}  // namespace stillreel
