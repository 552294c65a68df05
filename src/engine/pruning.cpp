#include "engine/pruning.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace mirvo {

namespace cbdetail {
namespace {

constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

// Fewer code vectors than this are searched whole: there is too little to
// skip.
constexpr int kMinCodes = 512;
// Longer vectors are searched whole: their bounds exclude little. So are
// the shortest, whose layout would weigh more than the vectors themselves.
constexpr int kMinDimension = 4;
constexpr int kMaxDimension = 4 * TileLanes::kMaxGroups;
// Batches left to the exhaustive kernels once the batches' shares computed,
// averaged, say that pruning does not pay; the average weighs the last
// batch by 1/8 (so that one batch of unusual data does not decide).
constexpr int kRest = 63;
constexpr int kWeight = 8;

// The integer square root, exactly.
std::int64_t Root(std::int64_t v) {
  auto r = static_cast<std::int64_t>(std::sqrt(static_cast<double>(v)));
  while (r > 0 && r * r > v) --r;
  while ((r + 1) * (r + 1) <= v) ++r;
  return r;
}

std::int64_t Gap(std::int64_t value, std::int64_t low, std::int64_t high) {
  return value < low ? low - value : value > high ? value - high : 0;
}

// The bound's second term for a range of roots.
std::int64_t RootGap(std::int64_t root, std::int64_t low, std::int64_t high) {
  return std::max<std::int64_t>(0, Gap(root, low, high) - 1);
}

}  // namespace

// A training vector's keys (S, F and |x|^2 of its bytes) and its place in
// the batch.
struct PrunedCodes::Row {
  std::int64_t sum = 0, root = 0, norm = 0;
  int slot = 0;
};

// The keys of a tile's rows, count of them; the places past count repeat
// the last.
struct PrunedCodes::Tile {
  std::int64_t sum[TileLanes::kMaxRows], root[TileLanes::kMaxRows], norm[TileLanes::kMaxRows];
  int count = 0;
};

std::unique_ptr<PrunedCodes> PrunedCodes::Prepare(const CodeRows& codes, int offset, const Kernels& kernels) {
  const int size = codes.size, d = codes.dimension;
  if (size < kMinCodes || d < kMinDimension || d > kMaxDimension) return nullptr;
  std::unique_ptr<PrunedCodes> out(new PrunedCodes);
  out->dimension_ = d;
  out->size_ = size;
  out->payLimit_ = kernels.pruneShare - kernels.prunePerRow / size;
  // Until batches have been measured, the average stands at the limit: one
  // batch that does not pay is enough to rest.
  out->share_.store(static_cast<int>(65536.0 * out->payLimit_));

  // S and F of every code vector (below 2^16 for these dimensions).
  std::vector<std::int32_t> sum(static_cast<std::size_t>(size)), root(sum.size());
  for (int j = 0; j < size; ++j) {
    std::int64_t s = 0, n = 0;
    for (int k = 0; k < d; ++k) {
      const std::int64_t e = codes.At(j, k) - offset;
      s += e;
      n += e * e;
    }
    sum[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(s);
    root[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(Root(d * n - s * s));
  }
  // Slabs of about the square root of the panels' count, each a whole
  // number of panels, along S; panels along F within each.
  std::vector<int> order(static_cast<std::size_t>(size));
  std::iota(order.begin(), order.end(), 0);
  auto by = [](const std::vector<std::int32_t>& key) {
    return [&key](int a, int b) { return key[static_cast<std::size_t>(a)] < key[static_cast<std::size_t>(b)]; };
  };
  std::stable_sort(order.begin(), order.end(), by(sum));
  out->panelCodes_ = kernels.pruned->panel;
  const int p = out->panelCodes_;
  const int panels = (size + p - 1) / p;
  const int slabPanels = std::max(1, static_cast<int>(std::lround(std::sqrt(panels / 8.0))));
  for (int first = 0; first < panels; first += slabPanels) {
    const int count = std::min(slabPanels, panels - first);
    const int begin = first * p, end = std::min(size, (first + count) * p);
    std::stable_sort(order.begin() + begin, order.begin() + end, by(root));
    Slab slab{sum[static_cast<std::size_t>(order[static_cast<std::size_t>(begin)])],
              sum[static_cast<std::size_t>(order[static_cast<std::size_t>(begin)])], first, count};
    for (int q = first; q < first + count; ++q) {
      Panel panel{kNoLimit, -1, kNoLimit, -1};
      for (int at = q * p; at < std::min(size, (q + 1) * p); ++at) {
        const auto j = static_cast<std::size_t>(order[static_cast<std::size_t>(at)]);
        panel.lowSum = std::min<std::int64_t>(panel.lowSum, sum[j]);
        panel.highSum = std::max<std::int64_t>(panel.highSum, sum[j]);
        panel.lowRoot = std::min<std::int64_t>(panel.lowRoot, root[j]);
        panel.highRoot = std::max<std::int64_t>(panel.highRoot, root[j]);
      }
      slab.lowSum = std::min(slab.lowSum, panel.lowSum);
      slab.highSum = std::max(slab.highSum, panel.highSum);
      out->panels_.push_back(panel);
    }
    out->slabs_.push_back(slab);
  }
  sum = {};
  root = {};
  out->layout_ = PrepareByteCodes(codes, order.data(), offset, *kernels.pruned);
  return out;
}

PrunedCodes::~PrunedCodes() = default;

bool PrunedCodes::Wanted() const {
  if (resting_.load(std::memory_order_relaxed) <= 0) return true;
  resting_.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

// Visits a slab met going in direction step (1: larger S, -1: smaller):
// each panel is computed unless its ranges exclude every row of the tile.
// Returns false when the slab excludes every row that does not lie beyond
// it, and so do the slabs after it. The tests run over every row of a full
// tile, without branches (the rows past count repeat the last one).
bool PrunedCodes::Visit(const Slab& slab, int step, const Tile& tile, TileLanes& lanes, std::int64_t* limit,
                        std::int64_t& computed) const {
  constexpr int kRows = TileLanes::kMaxRows;
  std::int64_t slabSum[kRows];
  bool onward = false;
  for (int r = 0; r < kRows; ++r) {
    const std::int64_t gap = Gap(tile.sum[r], slab.lowSum, slab.highSum);
    slabSum[r] = gap * gap;
    const bool beyond = step > 0 ? tile.sum[r] > slab.highSum : tile.sum[r] < slab.lowSum;
    onward |= beyond | (slabSum[r] <= limit[r]);
  }
  if (!onward) return false;
  // The panels outward from the tile's own F, in the same way.
  const Panel* first = panels_.data() + slab.first;
  const std::int64_t root = tile.root[tile.count / 2];
  const int home = static_cast<int>(
      std::partition_point(first, first + slab.count, [&](const Panel& q) { return q.highRoot < root; }) - first);
  auto panel = [&](int q, int towards) {
    const Panel& at = first[q];
    bool further = false, needed = false;
    for (int r = 0; r < kRows; ++r) {
      const std::int64_t across = RootGap(tile.root[r], at.lowRoot, at.highRoot);
      const std::int64_t own = Gap(tile.sum[r], at.lowSum, at.highSum);
      const bool beyond = towards > 0 ? tile.root[r] > at.highRoot : tile.root[r] < at.lowRoot;
      const bool inSlab = slabSum[r] <= limit[r];
      const bool reached = slabSum[r] + across * across <= limit[r];
      further |= inSlab & (beyond | reached);
      needed |= own * own + across * across <= limit[r];
    }
    if (needed) {
      layout_->kernels->tile(*layout_, slab.first + q, lanes);
      computed += std::int64_t{panelCodes_} * tile.count;
      for (int r = 0; r < kRows; ++r) {
        const std::int64_t best = lanes.best[std::min(r, tile.count - 1)];
        limit[r] = std::min(limit[r], dimension_ * (tile.norm[r] - best));
      }
    }
    return further;
  };
  for (int q = home; q < slab.count && panel(q, 1); ++q) {
  }
  for (int q = home - 1; q >= 0 && panel(q, -1); --q) {
  }
  return true;
}

void PrunedCodes::SearchTile(const Tile& tile, TileLanes& lanes, std::int64_t& computed) const {
  std::int64_t limit[TileLanes::kMaxRows];
  std::fill_n(limit, TileLanes::kMaxRows, kNoLimit);
  // The slabs outward from the tile's own, one to each side in turn; a side
  // ends at the first slab whose range of S excludes every row.
  const int slabs = static_cast<int>(slabs_.size());
  const std::int64_t sum = tile.sum[tile.count / 2];
  int right = static_cast<int>(
      std::partition_point(slabs_.begin(), slabs_.end() - 1, [&](const Slab& slab) { return slab.highSum < sum; }) -
      slabs_.begin());
  int left = right - 1;
  bool rightOpen = true, leftOpen = left >= 0;
  while (rightOpen || leftOpen) {
    if (rightOpen)
      rightOpen = Visit(slabs_[static_cast<std::size_t>(right)], 1, tile, lanes, limit, computed) && ++right < slabs;
    if (leftOpen)
      leftOpen = Visit(slabs_[static_cast<std::size_t>(left)], -1, tile, lanes, limit, computed) && --left >= 0;
  }
}

std::int64_t PrunedCodes::Nearest(const std::uint8_t* const* rows, int count, int* index,
                                  std::int64_t* distance) const {
  Row keys[kMaxBatch];
  std::uint64_t order[kMaxBatch];
  const int d = dimension_;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* x = rows[i];
    std::int32_t s = 0, n = 0;
    for (int k = 0; k < d; ++k) {
      s += x[k];
      n += x[k] * x[k];
    }
    Row& row = keys[i];
    row.sum = s;
    row.norm = n;
    row.root = Root(std::int64_t{d} * n - std::int64_t{s} * s);
    row.slot = i;
    // Sorted by S in steps of 64, then F, then S: the rows of a tile need
    // similar panels.
    order[i] = static_cast<std::uint64_t>(s >> 6) << 42 | static_cast<std::uint64_t>(row.root) << 26 |
               static_cast<std::uint64_t>(s) << 10 | static_cast<std::uint64_t>(i);
  }
  std::sort(order, order + count);
  const int tileRows = layout_->kernels->tileRows;
  TileLanes lanes;
  std::int64_t computed = 0;
  for (int first = 0; first < count; first += tileRows) {
    Tile tile;
    tile.count = std::min(tileRows, count - first);
    const std::uint8_t* tileBytes[TileLanes::kMaxRows];
    int slots[TileLanes::kMaxRows];
    for (int r = 0; r < TileLanes::kMaxRows; ++r) {
      const Row& row = keys[order[first + std::min(r, tile.count - 1)] & 1023];
      tile.sum[r] = row.sum;
      tile.root[r] = row.root;
      tile.norm[r] = row.norm;
      slots[r] = row.slot;
      tileBytes[r] = rows[row.slot];
    }
    StartTile(*layout_, tileBytes, tile.count, lanes);
    SearchTile(tile, lanes, computed);
    for (int r = 0; r < tile.count; ++r) {
      distance[slots[r]] = tile.norm[r] - TileBest(*layout_, lanes, r, &index[slots[r]]);
    }
  }
  // Shares in units of 1/65536; the threads' updates may overwrite each
  // other, which only blurs the average.
  const auto share = static_cast<int>(65536.0 * static_cast<double>(computed) / (static_cast<double>(count) * size_));
  const int average = (share + (kWeight - 1) * share_.load(std::memory_order_relaxed)) / kWeight;
  const int limit = static_cast<int>(65536.0 * payLimit_);
  share_.store(average > limit ? limit : average, std::memory_order_relaxed);
  if (average > limit) resting_.store(kRest, std::memory_order_relaxed);
  return computed;
}

}  // namespace cbdetail

}  // namespace mirvo
