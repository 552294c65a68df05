// The engine's thread count: process-wide, overridden per calling thread,
// and the number of threads a parallel job really runs on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "engine/workers.h"

namespace mirvo::test {
namespace {

using namespace mirvo;
using cbdetail::ParallelFor;

// The threads a job of many blocks ran on. Every block waits (a few
// seconds at most) until `expected` threads have come, so that a thread
// woken late still finds blocks left.
std::size_t ThreadsOfAJob(std::size_t expected) {
  std::mutex lock;
  std::set<std::thread::id> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  ParallelFor(
      1 << 16,
      [&](int, int, int) {
        std::unique_lock<std::mutex> guard(lock);
        seen.insert(std::this_thread::get_id());
        while (seen.size() < expected && std::chrono::steady_clock::now() < deadline) {
          guard.unlock();
          std::this_thread::sleep_for(std::chrono::microseconds(100));
          guard.lock();
        }
      },
      false);
  return seen.size();
}

TEST(ThreadCount, ProcessWideAndPerThreadSettings) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(ThreadCount(), cores);
  struct Case {
    int process, here, expected;
  };
  for (const Case c : {Case{1, 0, 1}, Case{3, 0, 3}, Case{3, 2, 2}, Case{0, 1, 1}, Case{-4, 0, cores}}) {
    SetThreadCount(c.process);
    SetThreadCountHere(c.here);
    EXPECT_EQ(ThreadCount(), c.expected) << c.process << " " << c.here;
    EXPECT_EQ(ThreadsOfAJob(c.expected), static_cast<std::size_t>(c.expected)) << c.process << " " << c.here;
    int elsewhere = 0;
    std::thread([&] { elsewhere = ThreadCount(); }).join();
    EXPECT_EQ(elsewhere, c.process > 0 ? c.process : cores);  // the override stays with its thread
  }
  EXPECT_EQ(SetThreadCountHere(0), 0);
  EXPECT_EQ(SetThreadCount(0), 0);
  EXPECT_EQ(ThreadCount(), cores);
}

// A block that throws on any thread ends the job: the blocks not yet begun
// are left out, and the first exception comes back to the caller, instead
// of ending the process.
TEST(ThreadCount, AnExceptionOfABlockComesBackToTheCaller) {
  for (const int threads : {1, 3}) {
    SetThreadCount(threads);
    std::atomic<int> begun{0};
    EXPECT_THROW(ParallelFor(
                     1 << 16,
                     [&](int begin, int, int) {
                       ++begun;
                       if (begin >= 4096) throw std::bad_alloc();
                     },
                     false),
                 std::bad_alloc);
    EXPECT_LE(begun.load(), 8) << threads;  // of 32 blocks of 2048, the third the first to throw
  }
  SetThreadCount(0);
}

}  // namespace
}  // namespace mirvo::test
