// Running sums of partitions for the centroid codebook, fed with training
// vectors in the width they are stored (the streaming conversion, the Python
// module). Sums wrap around in 64 bits exactly as the partitioning record's
// do; the readers refuse data whose sums could leave the 64-bit range.
// One thread uses a CentroidSums at a time, reading included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "mirvo/cb.h"

namespace mirvo {

namespace cbdetail {

class CentroidSums {
 public:
  // Zero sums for `partitions` partitions of `dimension` elements; throws
  // std::bad_alloc when they do not fit in memory.
  CentroidSums(int partitions, std::size_t dimension);

  // Adds row i of `rows` (count rows of dimension elements, `width` bytes
  // each as in NearestSearch::FindRows, row after row), times freqs[i] (1
  // when freqs is null), to the sums of partition partitionOf[i], which must
  // lie in [0, partitions).
  // Rows lie `stride` bytes apart (a multiple of the width), or one after
  // the other when it is 0.
  void Add(const void* rows, int width, int count, const int* freqs, const int* partitionOf, std::size_t stride = 0);
  // Partitions with zero sums added at the end, up to `partitions` in all
  // (the storage grows geometrically); throws std::bad_alloc when they do
  // not fit.
  void Grow(int partitions);
  // Adds another set of sums of the same shape.
  void Merge(const CentroidSums& other);

  int Partitions() const { return static_cast<int>(freqs_.size()); }
  std::size_t Dimension() const { return dimension_; }
  // A partition's sums, with everything added so far.
  const std::int64_t* Sum(int partition) const {
    Fold();
    return sums_.data() + static_cast<std::size_t>(partition) * dimension_;
  }
  std::int64_t* Sum(int partition) {
    Fold();
    return sums_.data() + static_cast<std::size_t>(partition) * dimension_;
  }
  int Freq(int partition) const { return freqs_[static_cast<std::size_t>(partition)]; }
  int& Freq(int partition) { return freqs_[static_cast<std::size_t>(partition)]; }

  // The centroid of a partition with a positive frequency into vector
  // (dimension elements): each sum over the frequency, rounded as the
  // library rounds averages. Returns the mean of the elements, rounded.
  int Centroid(int partition, int* vector) const;

 private:
  // Adds the 32-bit sums into the 64-bit ones and clears them.
  void Fold() const;

  std::size_t dimension_;
  // Rows of one- or two-byte elements are added into 32-bit sums first
  // (narrow_), as long as no such sum can leave the 32-bit range, and
  // folded into the 64-bit sums (sums_) before those are read. bound_ is
  // the largest magnitude a 32-bit sum can have reached.
  mutable std::vector<std::int64_t> sums_;
  mutable std::vector<std::int32_t> narrow_;
  mutable std::int64_t bound_ = 0;
  std::vector<int> freqs_;
};

// The slots of the partitions met so far, numbered in the order they were
// first met, out of the `partitions` a file announces: sums kept in slots
// take memory for the partitions that appear, whatever that number. The
// low partitions are found in a plain index of 4 bytes a partition, which
// covers at most 16 times as many as have been met (64 Ki at least); the
// others in a hash table of at most 16 bytes a partition.
class PartitionSlots {
 public:
  explicit PartitionSlots(int partitions) : partitions_(static_cast<std::size_t>(partitions)) {}

  // Replaces each of the count partitions (0 to partitions - 1) by its
  // slot; a partition met for the first time gets the next one, numbered
  // Count() - 1. Throws std::bad_alloc when a new one does not fit.
  void Map(int* partitionOf, std::size_t count);
  // Every partition met and its slot, in the order of the partitions.
  std::vector<std::pair<int, int>> InOrder() const;
  int Count() const { return count_; }

 private:
  int Add(int partition);
  void Widen();
  // The place of the partition in the table, or the empty one it would take.
  std::size_t Place(int partition) const;
  void Insert(int partition, int slot);

  std::size_t partitions_;
  std::vector<int> direct_;  // slot by partition, -1 for none yet
  // Open addressing: (partition << 32) | (slot + 1); 0 for an empty place.
  std::vector<std::uint64_t> table_ = std::vector<std::uint64_t>(16, 0);
  int shift_ = 60;  // 64 - log2 of the table's size
  std::size_t hashed_ = 0;
  int count_ = 0;
};

}  // namespace cbdetail

}  // namespace mirvo
