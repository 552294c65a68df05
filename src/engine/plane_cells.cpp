#include "engine/plane_cells.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

namespace mirvo::cbdetail {
namespace {

using u128 = unsigned __int128;

// Cells per code vector at most, and in all (lists of 8 bytes a cell).
constexpr std::int64_t kCellsPerCode = 4;
constexpr std::int64_t kMostCells = std::int64_t{1} << 22;
// A cell keeps no list when it would be longer than kLongList, or when
// finding it would look at more than kScannedCells cells or kScannedCodes
// code vectors; all lists together hold at most kMembersPerCode entries per
// code vector, and kMostMembers (12 bytes each) in all. Cells past these
// limits keep no list: the grid of a very large codebook stays within about
// 100 MB and leaves the rest to the slabs.
constexpr std::int64_t kLongList = 32;
// Lists found longer than this are not thinned (below), and kept by none.
constexpr std::int64_t kDominanceTested = 128;
constexpr std::int64_t kScannedCells = 256;
constexpr std::int64_t kScannedCodes = 512;
constexpr std::int64_t kMembersPerCode = 24;
constexpr std::int64_t kMostMembers = std::int64_t{1} << 22;

std::int64_t Square(std::int64_t x) { return x * x; }

// How far x lies outside [low, high], 0 inside.
std::int64_t Gap(std::int64_t x, std::int64_t low, std::int64_t high) {
  return x < low ? low - x : x > high ? x - high : 0;
}

}  // namespace

std::unique_ptr<PlaneCells> PlaneCells::Prepare(const CodeRows& codes, const Nearest& nearest) {
  if (codes.dimension != 2 || codes.size <= 0) return nullptr;
  // The grid only saves time: without the memory for it the slabs search
  // alone.
  try {
    return Lay(codes, nearest);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<PlaneCells> PlaneCells::Lay(const CodeRows& codes, const Nearest& nearest) {
  auto cells = std::make_unique<PlaneCells>();
  PlaneCells& g = *cells;
  g.points_.resize(static_cast<std::size_t>(codes.size));
  g.lowX_ = g.highX_ = codes.At(0, 0);
  g.lowY_ = g.highY_ = codes.At(0, 1);
  for (int j = 0; j < codes.size; ++j) {
    const Point p{codes.At(j, 0), codes.At(j, 1)};
    g.points_[static_cast<std::size_t>(j)] = p;
    g.lowX_ = std::min<std::int64_t>(g.lowX_, p.x);
    g.highX_ = std::max<std::int64_t>(g.highX_, p.x);
    g.lowY_ = std::min<std::int64_t>(g.lowY_, p.y);
    g.highY_ = std::max<std::int64_t>(g.highY_, p.y);
  }
  // Every squared distance within the box fits 63 bits.
  const auto wx = static_cast<u128>(g.highX_ - g.lowX_), wy = static_cast<u128>(g.highY_ - g.lowY_);
  if (wx * wx + wy * wy > static_cast<u128>(std::numeric_limits<std::int64_t>::max())) return nullptr;
  // The smallest cells, 2^shift values a side, of which there are at most
  // kCellsPerCode per code vector.
  const auto limit = static_cast<u128>(std::min(kCellsPerCode * codes.size, kMostCells));
  const auto along = [](u128 w, int shift) { return (w >> shift) + 1; };
  while (along(wx, g.shift_) * along(wy, g.shift_) > limit) ++g.shift_;
  g.columns_ = static_cast<std::int64_t>(along(wx, g.shift_));
  const auto cellCount = static_cast<std::size_t>(g.columns_) * static_cast<std::size_t>(along(wy, g.shift_));
  // The code vectors ordered by cell.
  const auto cellOf = [&g](Point p) {
    return static_cast<std::size_t>(((p.y - g.lowY_) >> g.shift_) * g.columns_ + ((p.x - g.lowX_) >> g.shift_));
  };
  std::vector<std::int32_t> start(cellCount + 1, 0), byCell(g.points_.size());
  for (const Point p : g.points_) ++start[cellOf(p) + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<std::int32_t> next(start.begin(), start.end() - 1);
  for (int j = 0; j < codes.size; ++j) {
    byCell[static_cast<std::size_t>(next[cellOf(g.points_[static_cast<std::size_t>(j)])]++)] = j;
  }
  g.Fill(start, byCell, nearest);
  return cells;
}

PlaneCells::Box PlaneCells::CellBox(std::int64_t column, std::int64_t row) const {
  const std::int64_t side = std::int64_t{1} << shift_;
  const std::int64_t x0 = lowX_ + column * side, y0 = lowY_ + row * side;
  return Box{x0, std::min(x0 + side - 1, highX_), y0, std::min(y0 + side - 1, highY_)};
}

std::int64_t PlaneCells::Limit(std::int64_t cell, const Box& b, const std::vector<std::int32_t>& start,
                               const std::vector<std::int32_t>& byCell, const Nearest& nearest) const {
  const auto farthest = [&b](Point c) {
    return Square(std::max(c.x - b.x0, b.x1 - c.x)) + Square(std::max(c.y - b.y0, b.y1 - c.y));
  };
  const std::int64_t column = cell % columns_, row = cell / columns_;
  const std::int64_t rows = (static_cast<std::int64_t>(start.size()) - 1) / columns_;
  const std::int64_t c0 = std::max<std::int64_t>(column - 1, 0), c1 = std::min(column + 1, columns_ - 1);
  std::int64_t limit = std::numeric_limits<std::int64_t>::max();
  bool found = false;
  for (std::int64_t r = std::max<std::int64_t>(row - 1, 0); r <= std::min(row + 1, rows - 1); ++r) {
    const std::int32_t end = start[static_cast<std::size_t>(r * columns_ + c1 + 1)];
    for (std::int32_t at = start[static_cast<std::size_t>(r * columns_ + c0)]; at < end; ++at) {
      limit = std::min(limit, farthest(points_[static_cast<std::size_t>(byCell[static_cast<std::size_t>(at)])]));
      found = true;
    }
  }
  if (found) return limit;
  const int centre[2] = {static_cast<int>((b.x0 + b.x1) / 2), static_cast<int>((b.y0 + b.y1) / 2)};
  return farthest(points_[static_cast<std::size_t>(nearest(centre))]);
}

bool PlaneCells::CellList(std::int64_t cell, const std::vector<std::int32_t>& start,
                          const std::vector<std::int32_t>& byCell, const Nearest& nearest,
                          std::vector<std::int32_t>& listed) const {
  const Box b = CellBox(cell % columns_, cell / columns_);
  const std::int64_t limit = Limit(cell, b, start, byCell, nearest);
  // Code vectors within U of the cell lie in the cells up to its square
  // root away.
  const std::int64_t reach = SquareRoot(limit);
  const std::int64_t c0 = (std::max(b.x0 - reach, lowX_) - lowX_) >> shift_;
  const std::int64_t c1 = (std::min(b.x1 + reach, highX_) - lowX_) >> shift_;
  const std::int64_t r0 = (std::max(b.y0 - reach, lowY_) - lowY_) >> shift_;
  const std::int64_t r1 = (std::min(b.y1 + reach, highY_) - lowY_) >> shift_;
  if (c1 - c0 + 1 > kScannedCells || (c1 - c0 + 1) * (r1 - r0 + 1) > kScannedCells) return false;
  const auto from = [&](std::int64_t r, std::int64_t col) {
    return start[static_cast<std::size_t>(r * columns_ + col)];
  };
  std::int64_t scanned = 0;
  for (std::int64_t r = r0; r <= r1; ++r) scanned += from(r, c1 + 1) - from(r, c0);
  if (scanned > kScannedCodes) return false;
  listed.clear();
  for (std::int64_t r = r0; r <= r1; ++r) {
    for (std::int32_t at = from(r, c0); at < from(r, c1 + 1); ++at) {
      const std::int32_t j = byCell[static_cast<std::size_t>(at)];
      const Point p = points_[static_cast<std::size_t>(j)];
      if (Square(Gap(p.x, b.x0, b.x1)) + Square(Gap(p.y, b.y0, b.y1)) <= limit) listed.push_back(j);
    }
  }
  if (static_cast<std::int64_t>(listed.size()) > kDominanceTested) return false;
  DropDominated(b, listed);
  if (listed.empty() || static_cast<std::int64_t>(listed.size()) > kLongList) return false;
  std::sort(listed.begin(), listed.end());
  // Whole steps of kStep entries: the last one repeated, never strictly
  // nearer than itself.
  while (listed.size() % kStep != 0) listed.push_back(listed.back());
  return true;
}

void PlaneCells::Fill(const std::vector<std::int32_t>& start, const std::vector<std::int32_t>& byCell,
                      const Nearest& nearest) {
  const auto cellCount = static_cast<std::int64_t>(start.size()) - 1;
  const std::int64_t budget = std::min(kMembersPerCode * static_cast<std::int64_t>(points_.size()), kMostMembers);
  lists_.assign(static_cast<std::size_t>(cellCount), List{0, -1});
  std::vector<std::int32_t> listed;
  for (std::int64_t cell = 0; cell < cellCount; ++cell) {
    if (!CellList(cell, start, byCell, nearest, listed)) continue;
    const auto length = static_cast<std::int64_t>(listed.size());
    if (static_cast<std::int64_t>(members_.size()) + length > budget) continue;
    lists_[static_cast<std::size_t>(cell)] =
        List{static_cast<std::int32_t>(members_.size()), static_cast<std::int32_t>(length)};
    for (const std::int32_t j : listed) members_.push_back(Member{points_[static_cast<std::size_t>(j)], j});
  }
}

void PlaneCells::DropDominated(const Box& b, std::vector<std::int32_t>& listed) const {
  // The squared distances to the corners of each one on the list (at most
  // kDominanceTested).
  std::array<std::int64_t, 4> corners[kDominanceTested];
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const Point p = points_[static_cast<std::size_t>(listed[i])];
    const std::int64_t x0 = Square(p.x - b.x0), x1 = Square(p.x - b.x1);
    const std::int64_t y0 = Square(p.y - b.y0), y1 = Square(p.y - b.y1);
    corners[i] = {x0 + y0, x0 + y1, x1 + y0, x1 + y1};
  }
  const auto nearer = [&](std::size_t a, std::size_t than) {
    for (int k = 0; k < 4; ++k) {
      if (corners[a][static_cast<std::size_t>(k)] >= corners[than][static_cast<std::size_t>(k)]) return false;
    }
    return true;
  };
  std::size_t kept = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    bool dominated = false;
    for (std::size_t j = 0; j < listed.size() && !dominated; ++j) dominated = nearer(j, i);
    if (!dominated) listed[kept++] = listed[i];
  }
  listed.resize(kept);
}

const PlaneCells::List* PlaneCells::ListOf(std::int64_t x, std::int64_t y) const {
  if (x < lowX_ || x > highX_ || y < lowY_ || y > highY_) return nullptr;
  const List* list = &lists_[static_cast<std::size_t>(((y - lowY_) >> shift_) * columns_ + ((x - lowX_) >> shift_))];
  return list->count <= 0 ? nullptr : list;
}

std::int64_t PlaneCells::NearestOnList(const List& list, std::int64_t x, std::int64_t y, std::int64_t best,
                                       int* answer) const {
  int found = *answer;
  // In index order, only a nearer one replaces the best: the start when it
  // is among the nearest, else the lowest index among them. Without a
  // branch, as which one is nearest is unpredictable; lists come in whole
  // steps, most of them one.
  const Member* m = members_.data() + list.first;
  for (const Member* end = m + list.count; m < end; m += kStep) {
    for (int k = 0; k < kStep; ++k) {
      const std::int64_t d = Square(m[k].at.x - x) + Square(m[k].at.y - y);
      const std::int32_t nearer = -static_cast<std::int32_t>(d < best);
      found = (found & ~nearer) | (m[k].index & nearer);
      best = std::min(best, d);
    }
  }
  *answer = found;
  return best;
}

bool PlaneCells::Find(const int* vector, int start, int* answer, std::int64_t* distance) const {
  const List* list = ListOf(vector[0], vector[1]);
  if (list == nullptr) return false;
  const Point s = points_[static_cast<std::size_t>(start)];
  *answer = start;
  *distance = NearestOnList(*list, vector[0], vector[1], Square(s.x - vector[0]) + Square(s.y - vector[1]), answer);
  return true;
}

std::uint32_t PlaneCells::FindGroup(const Point* points, int count, int* answers, std::int64_t* distances) const {
  // The lists first, their members on their way into the cache while the
  // next ones are looked up.
  const List* lists[kGroup];
  for (int i = 0; i < count; ++i) {
    lists[i] = ListOf(points[i].x, points[i].y);
    if (lists[i] != nullptr) __builtin_prefetch(members_.data() + lists[i]->first);
  }
  // From code vector 0 the answer is the lowest index among the nearest,
  // all of which are on the list: it starts from the list's first.
  std::uint32_t answered = 0;
  for (int i = 0; i < count; ++i) {
    const List* list = lists[i];
    if (list == nullptr) continue;
    // The first entry replaces an unreachable best (or, at that very
    // distance, is the answer already).
    answers[i] = members_[static_cast<std::size_t>(list->first)].index;
    distances[i] =
        NearestOnList(*list, points[i].x, points[i].y, std::numeric_limits<std::int64_t>::max(), &answers[i]);
    answered |= std::uint32_t{1} << i;
  }
  return answered;
}

}  // namespace mirvo::cbdetail
