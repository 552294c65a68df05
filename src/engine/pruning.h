// The byte search that skips work: exact lower bounds of the squared
// distance exclude whole leaves of code vectors before the kernels compute
// them, with every result as the exhaustive byte kernels give it.
//
// For a vector x of D elements (less the common offset) let S(x) be the sum
// of its elements and V(x) = D |x|^2 - S(x)^2 (D^2 times the variance about
// its mean), F(x) the integer square root of V(x). Then, exactly in
// integers,
//
//   D |x - c|^2 >= (S(x) - S(c))^2 + max(0, |F(x) - F(c)| - 1)^2,
//
// the first term from the component along (1, ..., 1), the second from the
// deviations about the means (the difference of two vectors' lengths is at
// most the length of their difference; each integer square root is less
// than one below the real one). A code vector is passed over only when the
// bound exceeds D times the best distance found so far: it is then strictly
// farther, so even the tie rule cannot need it.
//
// The code vectors are sorted along S into slabs, each slab along F into
// leaves of 16 code vectors, every leaf with the ranges of S and F of its
// members (pruning_layout.h). A batch of training vectors is sorted by
// slab and F and cut into tiles of 4 (kernels/tiles.h). A tile computes
// first the leaf of its middle row, then the leaves of that row's slab, then
// those of the slabs whose S lies within the square root of a row's limit
// (D times its best distance so far); the leaves of a stretch are bounded
// together, and a leaf is computed only when its ranges leave one of the
// tile's rows a bound no larger than that row's limit as it is then. Leaves
// are met out of index order, so a row takes a strictly smaller distance,
// or an equal one at a lower index.
//
// Where the bounds exclude little (clustered data, long vectors), the
// tiles' bookkeeping costs more than the code vectors skipped: the search
// measures the share of the code vectors each batch computes, against what
// a computed code vector and a training vector cost on the level against
// the exhaustive kernels, and leaves the next batches to those while
// pruning does not pay, trying it on part of a batch now and then.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/kernels.h"
#include "engine/pruning_layout.h"
#include "engine/search.h"

namespace mirvo {

namespace cbdetail {

// Whether every batch is pruned whole, whatever it costs, rather than as
// measured (the default); returns the previous setting. Process-wide, for
// tests.
bool SetAlwaysPrune(bool always);

class PrunedCodes {
 public:
  // The pruned layout of code vectors whose elements, less offset, lie in
  // 0..255, for the tile search of the table; null where it cannot pay
  // (few code vectors, long vectors). codes must outlive the result, which
  // lays the code vectors out when they are first pruned.
  static std::unique_ptr<PrunedCodes> Prepare(const CodeRows& codes, int offset, const Kernels& kernels);
  ~PrunedCodes();
  PrunedCodes(const PrunedCodes&) = delete;
  PrunedCodes& operator=(const PrunedCodes&) = delete;

  // How many rows of the next batch of count rows to prune (the first
  // ones; the others go to the exhaustive kernels): none while the last
  // batches found that it does not pay, or while it is being tried against
  // fewer than 4096 code vectors; else all.
  int Wanted(int count) const;
  // As the exhaustive byte kernels, for count rows (at most kMaxBatch); returns the number of
  // code vectors whose distance was computed, and learns from it whether
  // pruning pays.
  static constexpr int kMaxBatch = 1024;
  std::int64_t Nearest(const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) const;
  // Learns from count rows the exhaustive kernels searched, with the
  // distances they found, what pruning them would have computed (while it
  // is being tried against fewer than 4096 code vectors).
  void Observe(const std::uint8_t* const* rows, int count, const std::int64_t* distance) const;

 private:
  PrunedCodes() = default;
  void Learn(std::int64_t computed, int count) const;
  // Rows with their keys, sorted by slab and F into sorted.
  void Sort(const std::uint8_t* const* rows, int count, PruneRow* sorted) const;
  // Lays the code vectors out, once.
  void Lay() const;
  bool Trying() const;

  mutable PruneLayout layout_;  // its codes laid out once, by Lay
  mutable std::once_flag laid_;
  const CodeRows* codes_ = nullptr;
  int offset_ = 0;
  mutable std::vector<int> order_;  // the code vectors in leaf order
  int size_ = 0;
  int rootShift_ = 0;                       // F divided by 2^rootShift_ for sorting: below 256
  double payLimit_ = 0;                     // largest share of the code vectors computed that still pays
  mutable std::atomic<int> resting_{0};     // batches left to the exhaustive kernels
  mutable std::atomic<int> rest_{32};       // half the next rest
  mutable std::atomic<bool> trying_{true};  // at first and after a rest, until a batch pays
  mutable std::atomic<int> share_{0};       // average share computed, in units of 1/65536
};

}  // namespace cbdetail

}  // namespace mirvo
