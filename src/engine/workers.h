// Threads kept for jobs split into blocks, and the parallel loops of the
// engine built on them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

// body(begin, end, slot) over a block [begin, end) of a job; slot is the
// thread's own number, 0 for the calling thread, below Threads().
using BlockBody = std::function<void(int begin, int end, int slot)>;

// A job's blocks are taken by the threads kept here and by the thread that
// finishes it, so the calling thread can do other work (read the next chunk,
// write the last one's results) while the others work. One job at a time;
// used by one calling thread.
class Workers {
 public:
  // ThreadCount() - 1 threads beside the caller; fewer (none) when threads
  // cannot be had, and the calling thread then does every block.
  Workers();
  // Finishes the job in hand (an exception of a block is dropped), then ends
  // the threads.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The threads that take blocks, the caller included.
  int Threads() const { return static_cast<int>(threads_.size()) + 1; }
  // Starts body over blocks of [0, count) of at most `block` elements (0:
  // blocks sized for the threads); the results must not depend on how they
  // are split. The threads start taking blocks at once. The previous job
  // must be finished.
  void Start(int count, BlockBody body, int block = 0);
  // Takes blocks in the calling thread until none are left, then waits for
  // those the threads took. With progress set, shows how far the job has
  // come. Does nothing when no job is in hand. When a block threw, the
  // blocks not yet begun are left out and the first exception is thrown
  // here.
  void Finish(bool progress = false);

 private:
  void Serve(int slot);
  void TakeBlocks(int slot, bool progress);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  BlockBody body_;  // set while a job is in hand
  int count_ = 0;
  int block_ = 0;
  std::uint64_t job_ = 0;     // guarded by mutex_: the number of the job in hand
  bool stop_ = false;         // guarded by mutex_
  int busy_ = 0;              // guarded by mutex_: threads inside a job
  std::exception_ptr error_;  // guarded by mutex_: the first exception of the job's blocks
  std::atomic<std::int64_t> next_{0};
  std::atomic<std::int64_t> done_{0};
  std::atomic<bool> failed_{false};
  bool inHand_ = false;
};

// A mutex that a thread waits for by spinning a short while before it
// sleeps: for a lock handed from thread to thread many times a millisecond,
// where waking a sleeping thread takes longer than the work the lock
// guards (on a virtual machine, tens of microseconds). Lockable, for
// std::lock_guard.
class HandoffLock {
 public:
  void lock();
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Runs body over [0, count) in blocks on the engine's threads; with
// progress set, the calling thread shows how far it has come. An exception
// of a block comes out here.
void ParallelFor(int count, const BlockBody& body, bool progress = true);
// The same without the progress; with a watch, in parts of at most 256
// elements as WorkWatch says (mirvo/engine.h). False when the watch stopped
// the work.
bool ParallelParts(int count, WorkWatch* watch, const BlockBody& body);

}  // namespace cbdetail

}  // namespace mirvo
