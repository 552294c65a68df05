// A plain model of the two conversions, written for clarity, not speed, and
// complete comparisons of partitioning records.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {

using Wide = unsigned __int128;

// Squared Euclidean distance without overflow.
Wide ExactDistance(const int* a, const int* b, int count);
// As the library reports a distance: INT64_MAX when it does not fit.
std::int64_t Saturated(Wide distance);
// The start index unless a code vector is strictly nearer, otherwise the
// first index at the smallest distance.
int PlainNearest(const int* vector, const Codebook* cb, int start, Wide* distance);
// The partitioning file of an assignment (0-based, -1 unassigned).
std::string PartitioningText(int count, const std::vector<VectorSpec>& ts, const std::vector<int>& assignment,
                             const std::string& method = "");
// Rounded frequency-weighted means; zeros and frequency 0 where none.
std::vector<VectorSpec> Centroids(const std::vector<VectorSpec>& ts, const std::vector<int>& assignment, int count,
                                  int dimension);

// Elements legal for their width (0 to 2^(8 width)-1, any int32 for width
// 4). The seed picks a style: extremes and a few small values (many ties;
// sums past 64 bits for width 4), uniform, or small values only.
class RandomData {
 public:
  explicit RandomData(unsigned seed);
  int Int(int low, int high);
  int Element(int width);
  // Frequencies 0 to 3; about a fifth repeat an earlier vector.
  std::vector<VectorSpec> Vectors(int count, int dimension, int width, bool named = false);

 private:
  std::mt19937 rng_;
  int style_;
};

void ExpectSamePartitioning(const Partitioning& got, const Partitioning& want);
// Lists, member counts and sums recomputed from the training set.
void ExpectConsistent(const Codebook& ts, const Partitioning& p);

}  // namespace mirvo::test
