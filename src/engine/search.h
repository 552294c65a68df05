// The parts of the nearest search (mirvo/engine.h): code vectors in their own
// width, the plain search, and the prepared search behind NearestSearch.
//
// Two methods, both exact:
// - byte data (the code vectors' elements span at most 256 consecutive
//   values): every distance of a training vector whose elements lie in the
//   same span is formed by the dot-product kernels of the table
//   (kernels.h, byte_codes.h); for large codebooks the kernels skip the
//   panels of code vectors that exact lower bounds exclude (pruning.h), as
//   long as that pays;
// - any other data: code vectors in slabs along the coordinate of largest
//   spread, each slab sorted along the coordinate of second largest spread,
//   visited outward from the training vector's own values; the squared
//   differences on these two coordinates bound the distance from below, and
//   whatever lies beyond a bound that exceeds the best distance is passed
//   over. Distances are partial sums abandoned past the best, in 64 bits
//   when the data allows it, else in 128 bits. Code vectors of two elements
//   also get a grid of cells, each listing the few code vectors that can be
//   nearest within it (plane_cells.h), once enough training vectors have
//   been asked for; the slabs take the vectors it leaves.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

// floor(sqrt(v)), exactly, for 0 <= v < 2^63: the bounds of both the
// pruned search and the grid of cells are integer square roots.
inline std::int64_t SquareRoot(std::int64_t v) {
  auto r = static_cast<std::int64_t>(std::sqrt(static_cast<double>(v)));
  const auto square = [](std::int64_t a) {
    return static_cast<unsigned __int128>(a) * static_cast<unsigned __int128>(a);
  };
  while (r > 0 && square(r) > static_cast<unsigned __int128>(v)) --r;
  while (square(r + 1) <= static_cast<unsigned __int128>(v)) ++r;
  return r;
}

// Straightforward search over every code vector, exact for any int32 data.
int FindNearestSquared(const int* vector, const Codebook* cb, int start, std::int64_t* distance);

struct ByteCodes;
class PlaneCells;
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
  // A copy of the rows of a block, in their width.
  static CodeRows Of(const RowBlock& rows);
};

// A search of the code vectors handed over, without a copy.
NearestSearch PrepareSearch(CodeRows codes);

}  // namespace cbdetail

// What a NearestSearch holds, and the work of its members.
struct NearestSearch::Impl {
  explicit Impl(cbdetail::CodeRows codes);
  ~Impl();

  // The sorted method, after the grid of cells when there is one.
  int FindSorted(const int* vector, int start, std::int64_t* distance, const cbdetail::PlaneCells* cells) const;
  // The grid of cells for a call that brings count more training vectors
  // to the sorted method, null while it is not laid out or does not apply.
  const cbdetail::PlaneCells* Cells(int count) const;
  void FindMany(const int* const* vectors, const int* starts, int count, int* targets, std::int64_t* distances) const;
  void FindRows(const RowBlock& rows, int* targets, std::int64_t* distances) const;

  template <class Code, class Wide>
  int SortedSearch(const int* vector, int start, Wide& best) const;
  std::int64_t DistanceTo(int j, const int* vector) const;
  // Elements less offset_ as bytes into out; false when one is out of range.
  template <class Element>
  bool ToBytes(const Element* vector, std::uint8_t* out) const;
  bool RowToBytes(const unsigned char* row, int width, std::uint8_t* out) const;
  // The byte kernels (pruned when that pays) on count rows.
  void SearchBytes(const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) const;
  // Rows handed to the byte kernels a batch at a time: row(i, out) gives
  // the bytes of row i of count, where they lie or written into out (room
  // for the dimension, when copies is set), or null for a row it has dealt
  // with itself; found(i, index, distance) takes the kernels' answer for
  // each row given.
  template <class Row, class Found>
  void InBatches(int count, bool copies, Row row, Found found) const;

  cbdetail::CodeRows codes_;
  int size_;
  int dimension_;
  std::int64_t minimum_ = 0;
  std::int64_t maximum_ = 0;
  // Sorted method: code vectors in slabs of consecutive values on axis_,
  // each slab in the order of the values on second_; laid out when first
  // searched (PrepareSorted), as byte data seldom needs it.
  struct Slab {
    int low, high;     // values on axis_
    int first, count;  // rows
  };
  void PrepareSorted() const;
  int axis_ = 0;
  int second_ = 0;
  mutable std::once_flag sorted_;
  mutable std::vector<Slab> slabs_;
  mutable std::vector<int> order_;  // code index of each row
  mutable std::vector<int> keys_;   // value on second_ of each row
  mutable std::atomic<std::int64_t> sortedAsked_{0};
  mutable std::once_flag cellsLaid_;
  mutable std::unique_ptr<cbdetail::PlaneCells> cells_;
  // Byte method (null when it does not apply); offset_ is subtracted from
  // every element.
  std::unique_ptr<cbdetail::ByteCodes> bytes_;
  std::unique_ptr<cbdetail::PrunedCodes> pruned_;
  int offset_ = 0;
  mutable std::atomic<std::int64_t> searched_{0};
  mutable std::atomic<std::int64_t> computed_{0};
};

}  // namespace mirvo
