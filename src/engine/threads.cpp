#include "engine/threads.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

namespace mirvo {

namespace cbdetail {
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

}  // namespace cbdetail

}  // namespace mirvo
