// The thread count of the engine's work (mirvo/engine.h): process-wide, with
// an override per calling thread.
#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "mirvo/engine.h"

namespace mirvo {

namespace {

std::atomic<int> processCount{0};
thread_local int threadCount = 0;

}  // namespace

int SetThreadCount(int count) { return processCount.exchange(std::max(count, 0)); }

int SetThreadCountHere(int count) { return std::exchange(threadCount, std::max(count, 0)); }

int ThreadCount() {
  if (threadCount > 0) return threadCount;
  const int count = processCount.load();
  if (count > 0) return count;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace mirvo
