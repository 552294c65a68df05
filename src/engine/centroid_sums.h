// What CentroidSums (mirvo/engine.h) holds: the sums by partition, or by the
// slots of the partitions met when sums for every partition would take
// more than 1 MiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/kernels.h"
#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

// The slots of the partitions met so far, numbered in the order they were
// first met, out of `partitions`: sums kept in slots take memory for the
// partitions that appear, whatever that number. The low partitions are
// found in a plain index of 4 bytes a partition, which covers at most 16
// times as many as have been met (64 Ki at least); the others in a hash
// table of at most 16 bytes a partition.
class PartitionSlots {
 public:
  explicit PartitionSlots(int partitions) : partitions_(static_cast<std::size_t>(partitions)) {}

  // Replaces each of the count partitions (0 to partitions - 1) by its
  // slot; a partition met for the first time gets the next one, numbered
  // Count() - 1. Throws std::bad_alloc when a new one does not fit.
  void Map(int* partitionOf, std::size_t count);
  // The slot of a partition, -1 when it has not been met.
  int Find(int partition) const;
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

// Sums of their own for each thread of a job (a slot of Workers), added
// together at the end: the threads never wait for each other.
class SumsPerThread {
 public:
  // Sums for `threads` threads; the first are `into`, the others are made
  // (std::bad_alloc when they do not fit).
  SumsPerThread(CentroidSums& into, int threads);
  // Adds the rows into the sums of the thread of `slot`.
  void Add(int slot, const RowBlock& rows, const int* freqs, const int* partitionOf);
  // Adds the other threads' sums into the first.
  void Merge();

 private:
  CentroidSums& into_;
  std::vector<CentroidSums> others_;
};

}  // namespace cbdetail

// Sums and frequencies by slot: the partition itself, or its slot in
// slots_ when the sums are kept for the partitions met.
struct CentroidSums::Impl {
  Impl(int partitions, int dimension);

  // The slot of a partition, -1 when it has none.
  int SlotOf(int partition) const;
  // The slot of a partition, made when it has none.
  int SlotFor(int partition);
  // Adds the rows into the slots given per row.
  void AddToSlots(const RowBlock& rows, const int* freqs, const int* slotOf);
  // Room for `slots` slots (the storage grows geometrically).
  void Grow(int slots);
  // Adds the 32-bit sums into the 64-bit ones and clears them.
  void Fold() const;

  std::size_t dimension_;
  int partitions_;
  const cbdetail::Kernels& kernels_;
  std::optional<cbdetail::PartitionSlots> slots_;
  std::vector<int> slotOf_;  // the slots of the rows being added
  // Rows of one- or two-byte elements are added into 32-bit sums first
  // (narrow_), as long as no such sum can leave the 32-bit range, and
  // folded into the 64-bit sums (sums_) before those are read. bound_ is
  // the largest magnitude a 32-bit sum can have reached.
  mutable std::vector<std::int64_t> sums_;
  mutable std::vector<std::int32_t> narrow_;
  mutable std::int64_t bound_ = 0;
  std::vector<int> freqs_;
};

}  // namespace mirvo
