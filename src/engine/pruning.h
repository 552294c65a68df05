// The byte search that skips work: exact lower bounds of the squared
// distance exclude whole panels of code vectors before the kernels compute
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
// panels of the kernels' width, every panel with the ranges of S and F of its
// members. A tile of training vectors of similar S and F (a batch is sorted
// so) meets the panels outward from its own place, slab by slab and within
// each slab panel by panel; a panel whose ranges exclude every vector of the
// tile is skipped, and a direction ends where its bound on S (or, in a slab,
// on F) excludes them all. Panels are met out of index order, so the kernels
// fold with the tie rule in full: a strictly smaller distance, or an equal
// one at a lower index.
//
// Where the bounds exclude little (clustered data, long vectors), the
// tiles' bookkeeping costs more than the panels skipped: the search
// measures what each batch computes and leaves the next batches to the
// exhaustive kernels while pruning does not pay, trying again now and then.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/byte_codes.h"
#include "engine/kernels.h"
#include "engine/search.h"

namespace mirvo {

namespace cbdetail {

class PrunedCodes {
 public:
  // The pruned layout of code vectors whose elements, less offset, lie in
  // 0..255, for the tile kernel of the table; null where it cannot pay (few
  // code vectors, long vectors).
  static std::unique_ptr<PrunedCodes> Prepare(const CodeRows& codes, int offset, const Kernels& kernels);
  ~PrunedCodes();
  PrunedCodes(const PrunedCodes&) = delete;
  PrunedCodes& operator=(const PrunedCodes&) = delete;

  // Whether the next batch should be pruned; false while the last batches
  // found that it does not pay.
  bool Wanted() const;
  // As the exhaustive byte kernel, for count rows (at most kMaxBatch);
  // returns the number of code vectors whose distance was computed, and
  // learns from it whether pruning pays.
  static constexpr int kMaxBatch = 1024;
  std::int64_t Nearest(const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) const;

 private:
  PrunedCodes() = default;
  struct Panel {
    std::int64_t lowSum, highSum;  // ranges of S and F of the members
    std::int64_t lowRoot, highRoot;
  };
  struct Slab {
    std::int64_t lowSum, highSum;
    int first, count;  // panels
  };
  struct Row;   // a training vector's keys
  struct Tile;  // the keys of a tile's rows
  void SearchTile(const Tile& tile, TileLanes& lanes, std::int64_t& computed) const;
  bool Visit(const Slab& slab, int step, const Tile& tile, TileLanes& lanes, std::int64_t* limit,
             std::int64_t& computed) const;

  std::unique_ptr<ByteCodes> layout_;
  std::vector<Panel> panels_;
  std::vector<Slab> slabs_;
  int dimension_ = 0;
  int size_ = 0;
  int panelCodes_ = 0;
  double payLimit_ = 0;                  // largest share of the code vectors computed that still pays
  mutable std::atomic<int> resting_{0};  // batches left to the exhaustive kernels
  mutable std::atomic<int> share_{0};    // average share computed, in units of 1/65536
};

}  // namespace cbdetail

}  // namespace mirvo
