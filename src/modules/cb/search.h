// Exact nearest-code-vector search under the squared Euclidean metric.
//
// Every search here returns what the plain search returns: the start index
// when it is among the nearest code vectors, otherwise the lowest index at
// the smallest distance; distances are exact integers (wider than 64 bits
// where the data needs it) and are reported saturated to the 64-bit range.
#pragma once

#include <cstdint>
#include <functional>

#include "cb/cb.h"

namespace cbdetail {

// Straightforward search over every code vector, exact for any int32 data.
int FindNearestSquared(const int* vector, const Codebook* cb, int start, std::int64_t* distance);

// A search prepared once for a codebook and used for many training vectors,
// from any number of threads at once.
class NearestSearch {
 public:
  explicit NearestSearch(const Codebook* cb);
  int Find(const int* vector, int start, std::int64_t* distance) const;

 private:
  const Codebook* cb_;
  int size_;
  int dimension_;
  std::int64_t minimum_ = 0;
  std::int64_t maximum_ = 0;
};

// Runs body(begin, end) over [0, count) in chunks on the machine's cores; the
// chunks are independent and results must not depend on how they are split.
void ParallelFor(int count, const std::function<void(int begin, int end)>& body);

}  // namespace cbdetail
