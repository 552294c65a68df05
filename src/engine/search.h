// Exact nearest-code-vector search under the squared Euclidean metric.
//
// Every search here returns what the plain search returns: the start index
// when it is among the nearest code vectors, otherwise the lowest index at
// the smallest distance; distances are exact integers (wider than 64 bits
// where the data needs it) and are reported saturated to the 64-bit range.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mirvo/cb.h"

namespace mirvo {

namespace cbdetail {

// Straightforward search over every code vector, exact for any int32 data.
int FindNearestSquared(const int* vector, const Codebook* cb, int start, std::int64_t* distance);

struct ByteCodes;
class PrunedCodes;

// Code vectors one after the other, `dimension` elements each, stored
// `width` bytes wide in the machine's byte order: 1 (uint8), 2 (uint16) or 4
// (int32). The search keeps them in this form, as narrow as the data allows.
struct CodeRows {
  std::vector<unsigned char> bytes;
  int width = 4;
  int size = 0;
  int dimension = 0;

  // Element k of code vector j.
  int At(int j, int k) const {
    const std::size_t at =
        static_cast<std::size_t>(j) * static_cast<std::size_t>(dimension) + static_cast<std::size_t>(k);
    const unsigned char* p = bytes.data() + at * static_cast<std::size_t>(width);
    if (width == 1) return *p;
    if (width == 2) return *reinterpret_cast<const std::uint16_t*>(p);
    return *reinterpret_cast<const std::int32_t*>(p);
  }
  // The vectors of a record, in the narrowest of the three widths that holds
  // every element.
  static CodeRows Of(const Codebook* cb);
};

// A search prepared once for a set of code vectors and used for many
// training vectors, from any number of threads at once.
//
// Two methods, both exact:
// - byte data (the code vectors' elements span at most 256 consecutive
//   values): every distance of a training vector whose elements lie in the
//   same span is formed as |q|^2 + (|c|^2 - 2 q.c) in 32-bit integers by SIMD
//   dot-product kernels, register blocked over several training vectors and
//   code vectors at once; for large codebooks the kernels skip the panels of
//   code vectors that exact lower bounds exclude (pruning.h), as long as
//   that pays;
// - any other data: code vectors in slabs along the coordinate of largest
//   spread, each slab sorted along the coordinate of second largest spread,
//   visited outward from the training vector's own values; the squared
//   differences on these two coordinates bound the distance from below, and
//   whatever lies beyond a bound that exceeds the best distance is passed
//   over. Distances are partial sums abandoned past the best, in 64 bits
//   when the data allows it, else in 128 bits.
class NearestSearch {
 public:
  // Takes the code vectors; at least one.
  explicit NearestSearch(CodeRows codes);
  explicit NearestSearch(const Codebook* cb);
  ~NearestSearch();
  NearestSearch(const NearestSearch&) = delete;
  NearestSearch& operator=(const NearestSearch&) = delete;

  int Find(const int* vector, int start, std::int64_t* distance) const;
  // For each i in [0, count): targets[i] = the nearest code vector of
  // vectors[i] searched from starts[i], distances[i] its distance.
  void FindMany(const int* const* vectors, const int* starts, int count, int* targets, std::int64_t* distances) const;

  // Searches every row of a block of training vectors from code vector 0:
  // targets[i] = the nearest code vector of row i (lowest index among the
  // nearest), distances[i] its distance. Row i starts at element i * stride
  // of `rows`, whose elements are stored `width` bytes wide in the machine's
  // byte order: 1 (uint8), 2 (uint16) or 4 (int32). 1-byte rows go to the
  // byte kernels as they are, wider rows are narrowed a batch at a time, a
  // row outside the byte span is widened alone; one thread.
  void FindRows(const void* rows, int width, std::size_t stride, int count, int* targets,
                std::int64_t* distances) const;

  bool UsesByteKernel() const { return bytes_ != nullptr; }
  bool Prunes() const { return pruned_ != nullptr; }
  // Training vectors searched and code vectors whose distance was computed
  // for them, since the search was prepared (for benchmarks).
  struct Work {
    std::int64_t searched = 0;
    std::int64_t computed = 0;
  };
  Work Done() const;

 private:
  template <class Code, class Wide>
  int SortedSearch(const int* vector, int start, Wide& best) const;
  int FindSorted(const int* vector, int start, std::int64_t* distance) const;
  std::int64_t DistanceTo(int j, const int* vector) const;
  // Elements less offset_ as bytes into out; false when one is out of range.
  template <class Element>
  bool ToBytes(const Element* vector, std::uint8_t* out) const;
  // The byte kernels (pruned when that pays) on count rows.
  void SearchBytes(const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) const;

  CodeRows codes_;
  int size_;
  int dimension_;
  std::int64_t minimum_ = 0;
  std::int64_t maximum_ = 0;
  // Sorted method: code vectors in slabs of consecutive values on axis_,
  // each slab in the order of the values on second_.
  struct Slab {
    int low, high;     // values on axis_
    int first, count;  // rows
  };
  int axis_ = 0;
  int second_ = 0;
  std::vector<Slab> slabs_;
  std::vector<int> order_;  // code index of each row
  std::vector<int> keys_;   // value on second_ of each row
  // Byte method (null when it does not apply); offset_ is subtracted from
  // every element.
  std::unique_ptr<ByteCodes> bytes_;
  std::unique_ptr<PrunedCodes> pruned_;
  int offset_ = 0;
  mutable std::atomic<std::int64_t> searched_{0};
  mutable std::atomic<std::int64_t> computed_{0};
};

// Threads kept for jobs split into blocks: a job's blocks are taken by these
// threads and by the thread that finishes it, so the calling thread can do
// other work (read the next chunk, write the last one's results) while the
// others search. One job at a time; used by one calling thread.
class Workers {
 public:
  // ThreadCount() - 1 threads (engine/threads.h) beside the caller; fewer
  // (none) when threads cannot be had, and the calling thread then does
  // every block.
  Workers();
  // Finishes the job in hand, then ends the threads.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts body(begin, end) over blocks of [0, count), which must not depend
  // on how they are split; the threads start taking blocks at once. The
  // previous job must be finished.
  void Start(int count, std::function<void(int begin, int end)> body);
  // Takes blocks in the calling thread until none are left, then waits for
  // those the threads took. With progress set, shows how far the job has
  // come. Does nothing when no job is in hand.
  void Finish(bool progress = false);

 private:
  void Serve();
  void TakeBlocks(bool progress);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void(int, int)> body_;  // set while a job is in hand
  int count_ = 0;
  int block_ = 0;
  std::uint64_t job_ = 0;  // guarded by mutex_: the number of the job in hand
  bool stop_ = false;      // guarded by mutex_
  int busy_ = 0;           // guarded by mutex_: threads inside a job
  std::atomic<std::int64_t> next_{0};
  std::atomic<std::int64_t> done_{0};
  bool inHand_ = false;
};

// Runs body(begin, end) over [0, count) in blocks on ThreadCount() threads; the
// blocks are independent and results must not depend on how they are split.
// With progress set, the calling thread shows how far it has come.
void ParallelFor(int count, const std::function<void(int begin, int end)>& body, bool progress = true);

}  // namespace cbdetail

}  // namespace mirvo
