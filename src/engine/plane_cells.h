// The nearest search of code vectors of two elements (points of the plane,
// any int32 values): a grid of square cells over the code vectors' bounding
// box, each cell with the list of the code vectors that can be nearest to
// some point of it. A training vector inside the box compares itself with
// its cell's list only, a few code vectors for spread-out codebooks.
//
// A cell's list holds every code vector c with mindist(c, cell)^2 <= U,
// where U is the largest squared distance from the cell to one code vector
// (the one nearest its centre): every point of the cell has a code vector
// within U, so whatever is nearest to it, ties included, is on the list.
// Lists are in index order. Cells whose list would be long (code vectors
// crowded near the cell, as for clusters far apart) are left to the other
// method; so are training vectors outside the box.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/search.h"

namespace mirvo::cbdetail {

class PlaneCells {
 public:
  // nearest(point) gives a code vector near the point of two elements; any
  // answer is correct, the nearer the shorter the lists.
  using Nearest = std::function<int(const int* point)>;

  // The grid of the code vectors, or null when it does not apply: not two
  // elements, a box whose squared distances exceed 63 bits, or no memory
  // for it. At most 4 cells per code vector (2^22 in all), each asking
  // nearest once, and at most 24 list entries per code vector (2^22 in
  // all): O(number of code vectors), and at most about 100 MB.
  static std::unique_ptr<PlaneCells> Prepare(const CodeRows& codes, const Nearest& nearest);

  // For a training vector in a cell with a list: true, the nearest code
  // vector in *answer (start when it is among the nearest, else the lowest
  // index among them) and its squared distance in *distance. False, and
  // nothing written, for any other vector.
  bool Find(const int* vector, int start, int* answer, std::int64_t* distance) const;

  struct Point {
    std::int32_t x, y;
  };
  // As Find from code vector 0 for count <= kGroup vectors at once, their
  // memory accesses overlapped; bit i of the result says whether vector i
  // got an answer.
  static constexpr int kGroup = 16;
  std::uint32_t FindGroup(const Point* points, int count, int* answers, std::int64_t* distances) const;

 private:
  struct Member {
    Point at;
    std::int32_t index;
  };
  std::int64_t lowX_ = 0, lowY_ = 0, highX_ = -1, highY_ = -1;
  int shift_ = 0;  // cells are 2^shift_ values a side
  std::int64_t columns_ = 0;
  std::vector<Point> points_;  // by code index
  // A cell's list: members_[first, first + count), count a multiple of
  // kStep; count < 0 when the cell has none.
  static constexpr int kStep = 4;
  struct List {
    std::int32_t first, count;
  };
  std::vector<List> lists_;  // row by row
  std::vector<Member> members_;
  // The list of the cell of (x, y), null outside the box or for a cell
  // without one.
  const List* ListOf(std::int64_t x, std::int64_t y) const;
  // The nearest on a list, from the one in *answer at squared distance
  // best; its squared distance.
  std::int64_t NearestOnList(const List& list, std::int64_t x, std::int64_t y, std::int64_t best, int* answer) const;

  // Prepare's work, which may throw std::bad_alloc.
  static std::unique_ptr<PlaneCells> Lay(const CodeRows& codes, const Nearest& nearest);
  struct Box {
    std::int64_t x0, x1, y0, y1;
  };
  Box CellBox(std::int64_t column, std::int64_t row) const;
  // Drops from a cell's list every code vector to which another on it is
  // strictly nearer at all four corners of the box: the difference of the
  // two squared distances is linear in the point, so the other is strictly
  // nearer throughout the box, and the one dropped is never nearest there,
  // nor as near as the nearest.
  void DropDominated(const Box& b, std::vector<std::int32_t>& listed) const;
  // U of a cell (box b): every point of it has a code vector within U.
  // The least over the code vectors of the cell and the eight around it of
  // their squared distance to the cell's farthest point, or, when those
  // cells hold none, that of the code vector nearest its centre.
  std::int64_t Limit(std::int64_t cell, const Box& b, const std::vector<std::int32_t>& start,
                     const std::vector<std::int32_t>& byCell, const Nearest& nearest) const;
  // The list of a cell into listed, from the code vectors ordered by cell
  // as for Fill; false when the cell keeps none.
  bool CellList(std::int64_t cell, const std::vector<std::int32_t>& start, const std::vector<std::int32_t>& byCell,
                const Nearest& nearest, std::vector<std::int32_t>& listed) const;
  // Lays out the lists from the code vectors ordered by cell (`byCell`, with
  // cell c's in [start[c], start[c + 1])).
  void Fill(const std::vector<std::int32_t>& start, const std::vector<std::int32_t>& byCell, const Nearest& nearest);
};

}  // namespace mirvo::cbdetail
