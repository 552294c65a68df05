#include "engine/workers.h"

#include <algorithm>
#include <system_error>

#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

Workers::Workers() {
  const int count = ThreadCount();
  try {
    for (int t = 1; t < count; ++t) threads_.emplace_back([this, t] { Serve(t); });
  } catch (const std::system_error&) {
    // No more threads to be had: those running and the caller do the work.
  }
}

Workers::~Workers() {
  try {
    Finish();
  } catch (...) {  // the job is abandoned with its exception
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (auto& t : threads_) t.join();
}

void Workers::Start(int count, BlockBody body, int block) {
  if (block <= 0) {
    // Blocks small enough for every thread to get several, large enough to
    // keep the search's own batches full.
    const int parts = 4 * Threads();
    block = std::clamp((count + parts - 1) / parts, 256, 2048);
  }
  {
    // A thread that woke too late for the last job may still be looking
    // at it.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return busy_ == 0; });
    body_ = std::move(body);
    count_ = count;
    block_ = block;
    error_ = nullptr;
    next_.store(0);
    done_.store(0);
    failed_.store(false);
    ++job_;
  }
  inHand_ = true;
  if (count > block && !threads_.empty()) changed_.notify_all();
}

void Workers::TakeBlocks(int slot, bool progress) {
  for (;;) {
    const std::int64_t begin = next_.fetch_add(block_);
    if (begin >= count_) return;
    const std::int64_t end = std::min<std::int64_t>(count_, begin + block_);
    if (!failed_.load(std::memory_order_relaxed)) {
      try {
        body_(static_cast<int>(begin), static_cast<int>(end), slot);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::current_exception();
        failed_.store(true);
      }
    }
    const std::int64_t done = done_.fetch_add(end - begin) + (end - begin);
    if (progress) TimedProgressUpdate(done, count_);
  }
}

void Workers::Serve(int slot) {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || job_ != seen; });
    if (stop_) return;
    seen = job_;
    ++busy_;
    lock.unlock();
    TakeBlocks(slot, false);
    lock.lock();
    if (--busy_ == 0) changed_.notify_all();
  }
}

void Workers::Finish(bool progress) {
  if (!inHand_) return;
  TakeBlocks(0, progress);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_.load() >= count_ && busy_ == 0; });
    body_ = nullptr;
    error = error_;
    error_ = nullptr;
  }
  inHand_ = false;
  if (error) std::rethrow_exception(error);
}

void HandoffLock::lock() {
  // About a tenth of a millisecond, then asleep: a holder that was not
  // itself put to sleep is done by then.
  constexpr int kSpins = 4096;
  for (int spin = 0; !mutex_.try_lock(); ++spin) {
    if (spin == kSpins) {
      mutex_.lock();
      return;
    }
#if defined(__x86_64__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }
}

void ParallelFor(int count, const BlockBody& body, bool progress) {
  constexpr int kAlone = 2048;  // not worth a thread
  if (count <= kAlone) {
    if (count > 0) body(0, count, 0);
    return;
  }
  Workers workers;
  workers.Start(count, body);
  workers.Finish(progress);
}

bool ParallelParts(int count, WorkWatch* watch, const BlockBody& body) {
  if (watch == nullptr) {
    ParallelFor(count, body, false);
    return true;
  }
  constexpr int kPart = 256;
  std::atomic<bool> stopped{false};
  ParallelFor(
      count,
      [&](int begin, int end, int slot) {
        for (int first = begin; first < end; first += kPart) {
          if (stopped.load(std::memory_order_relaxed) || watch->Stop()) {
            stopped.store(true);
            return;
          }
          const int last = std::min(end, first + kPart);
          body(first, last, slot);
          watch->Done(last - first);
        }
      },
      false);
  return !stopped.load();
}

}  // namespace cbdetail

}  // namespace mirvo
