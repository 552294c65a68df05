#include "engine/search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "engine/byte_codes.h"
#include "engine/kernels.h"
#include "engine/plane_cells.h"
#include "engine/pruning.h"
#include "engine/workers.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {
namespace {

using u128 = unsigned __int128;

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The byte kernels keep every term in 32 bits up to this dimension.
constexpr int kMaxByteDimension = 8192;

// Training vectors handed to the byte kernels at a time.
constexpr int kBatch = 1024;

// The grid of cells is laid out once the sorted method has been asked for
// this many training vectors per code vector. Laying it out (on one
// thread) costs what the slabs take for a few training vectors per code
// vector: a run that ends soon after pays little for a grid it barely
// uses, and a long one gains from it nearly from the start.
constexpr std::int64_t kCellsAfter = 16;

std::int64_t Saturate(u128 d) { return d > kInt64Max ? kNoBound : static_cast<std::int64_t>(d); }

std::uint64_t Square(int a, int b) {
  const std::int64_t diff = std::int64_t{a} - b;
  const std::uint64_t magnitude = diff < 0 ? 0 - static_cast<std::uint64_t>(diff) : static_cast<std::uint64_t>(diff);
  return magnitude * magnitude;  // below 2^64: |diff| < 2^32
}

// Squared distance, exact for any int32 data; once the partial sum reaches
// the bound the (partial) sum is returned.
template <class Code>
u128 WideDistance(const Code* a, const int* b, int count, u128 bound) {
  u128 sum = 0;
  for (int i = 0; i < count; ++i) {
    sum += Square(a[i], b[i]);
    if (sum >= bound) return sum;
  }
  return sum;
}

// Squared distance in 64-bit arithmetic, for data known not to overflow it;
// the bound is tested after every block of 8 elements.
template <class Code>
std::int64_t NarrowDistance(const Code* a, const int* b, int count, std::int64_t bound) {
  std::int64_t sum = 0;
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    std::int64_t block = 0;
    for (int k = 0; k < 8; ++k) {
      const std::int64_t diff = std::int64_t{a[i + k]} - b[i + k];
      block += diff * diff;
    }
    sum += block;
    if (sum >= bound) return sum;
  }
  for (; i < count; ++i) {
    const std::int64_t diff = std::int64_t{a[i]} - b[i];
    sum += diff * diff;
  }
  return sum;
}

template <class Code>
std::int64_t Distance(const Code* a, const int* b, int count, std::int64_t bound) {
  return NarrowDistance(a, b, count, bound);
}
template <class Code>
u128 Distance(const Code* a, const int* b, int count, u128 bound) {
  return WideDistance(a, b, count, bound);
}

// Calls f with the rows of the code vectors as pointers of their stored
// type.
template <class F>
decltype(auto) Typed(const CodeRows& codes, F f) {
  const unsigned char* bytes = codes.bytes.data();
  switch (codes.width) {
    case 1:
      return f(reinterpret_cast<const std::uint8_t*>(bytes));
    case 2:
      return f(reinterpret_cast<const std::uint16_t*>(bytes));
    default:
      return f(reinterpret_cast<const std::int32_t*>(bytes));
  }
}

// One above the best, so that a partial sum stops only past it: candidates
// exactly as near as the best are completed (the lower index may win).
std::int64_t Above(std::int64_t best) { return best == kNoBound ? best : best + 1; }
u128 Above(u128 best) { return best + 1; }
std::int64_t NoBound(std::int64_t) { return kNoBound; }
u128 NoBound(u128) { return ~u128{0}; }

}  // namespace

int FindNearestSquared(const int* vector, const Codebook* cb, int start, std::int64_t* distance) {
  const int dimension = VectorSize(cb);
  u128 best = WideDistance(cb->Book[start].Vector, vector, dimension, ~u128{0});
  int answer = start;
  for (int j = 0; j < cb->BookSize && best != 0; ++j) {
    const u128 d = WideDistance(cb->Book[j].Vector, vector, dimension, best);
    if (d < best) {
      best = d;
      answer = j;
    }
  }
  *distance = Saturate(best);
  return answer;
}

CodeRows CodeRows::Of(const Codebook* cb) {
  CodeRows out;
  out.size = cb->BookSize;
  out.dimension = VectorSize(cb);
  const auto d = static_cast<std::size_t>(out.dimension);
  int low = 0, high = 0;
  for (int j = 0; j < out.size; ++j) {
    const auto [min, max] = std::minmax_element(cb->Book[j].Vector, cb->Book[j].Vector + d);
    low = j == 0 ? *min : std::min(low, *min);
    high = j == 0 ? *max : std::max(high, *max);
  }
  out.width = low >= 0 && high <= 255 ? 1 : low >= 0 && high <= 65535 ? 2 : 4;
  out.bytes.resize(static_cast<std::size_t>(out.size) * d * static_cast<std::size_t>(out.width));
  for (int j = 0; j < out.size; ++j) {
    const int* v = cb->Book[j].Vector;
    unsigned char* row = out.bytes.data() + static_cast<std::size_t>(j) * d * static_cast<std::size_t>(out.width);
    switch (out.width) {
      case 1:
        std::copy_n(v, d, row);
        break;
      case 2:
        std::copy_n(v, d, reinterpret_cast<std::uint16_t*>(row));
        break;
      default:
        std::memcpy(row, v, d * sizeof(int));
        break;
    }
  }
  return out;
}

CodeRows CodeRows::Of(const RowBlock& rows) {
  CodeRows out;
  out.width = rows.width;
  out.size = rows.count;
  out.dimension = rows.dimension;
  const std::size_t rowBytes = rows.RowBytes();
  out.bytes.resize(static_cast<std::size_t>(rows.count) * rowBytes);
  for (int j = 0; j < rows.count; ++j) std::memcpy(out.bytes.data() + j * rowBytes, rows.Row(j), rowBytes);
  return out;
}

NearestSearch PrepareSearch(CodeRows codes) {
  return NearestSearch(std::make_unique<NearestSearch::Impl>(std::move(codes)));
}

}  // namespace cbdetail

using cbdetail::Above;
using cbdetail::CodeRows;
using cbdetail::Distance;
using cbdetail::kCellsAfter;
using cbdetail::kMaxByteDimension;
using cbdetail::u128;

NearestSearch::Impl::Impl(CodeRows codes) : codes_(std::move(codes)), size_(codes_.size), dimension_(codes_.dimension) {
  if (size_ <= 0 || dimension_ <= 0) return;
  // The span of every axis, for the byte method and the sorted method's two
  // axes of largest spread (the lower axis first among equals).
  std::vector<int> low(static_cast<std::size_t>(dimension_)), high(low.size());
  cbdetail::Typed(codes_, [&](const auto* rows) {
    std::copy_n(rows, dimension_, low.begin());
    std::copy_n(rows, dimension_, high.begin());
    const std::size_t elements = static_cast<std::size_t>(size_) * low.size();
    for (std::size_t at = low.size(); at < elements;) {
      for (std::size_t k = 0; k < low.size(); ++k, ++at) {
        const int e = rows[at];
        low[k] = std::min(low[k], e);
        high[k] = std::max(high[k], e);
      }
    }
    return 0;
  });
  std::int64_t widest = -1, nextWidest = -1;
  int widestAxis = 0, nextAxis = 0;
  minimum_ = *std::min_element(low.begin(), low.end());
  maximum_ = *std::max_element(high.begin(), high.end());
  for (int k = 0; k < dimension_; ++k) {
    const std::int64_t spread = std::int64_t{high[static_cast<std::size_t>(k)]} - low[static_cast<std::size_t>(k)];
    if (spread > widest) {
      nextAxis = widestAxis;
      nextWidest = widest;
      widestAxis = k;
      widest = spread;
    } else if (spread > nextWidest) {
      nextAxis = k;
      nextWidest = spread;
    }
  }
  axis_ = widestAxis;
  second_ = dimension_ > 1 ? nextAxis : widestAxis;

  if (maximum_ - minimum_ <= 255 && dimension_ <= kMaxByteDimension) {
    // Byte data: the common offset keeps elements of 1-byte files as they are.
    offset_ = static_cast<int>(std::clamp<std::int64_t>(0, maximum_ - 255, minimum_));
    const cbdetail::Kernels& kernels = cbdetail::ActiveKernels();
    bytes_ = cbdetail::PrepareByteCodes(codes_, nullptr, offset_, *kernels.exhaustive);
    pruned_ = cbdetail::PrunedCodes::Prepare(codes_, offset_, kernels);
  }
}

void NearestSearch::Impl::PrepareSorted() const {
  // Code vectors in slabs along axis_, each slab sorted along second_.
  order_.resize(static_cast<std::size_t>(size_));
  std::iota(order_.begin(), order_.end(), 0);
  // keys_ holds the values on one axis, then on the other.
  keys_.resize(order_.size());
  auto along = [&](int axis) {
    for (int j = 0; j < size_; ++j) keys_[static_cast<std::size_t>(j)] = codes_.At(j, axis);
    return [this](int a, int b) { return keys_[static_cast<std::size_t>(a)] < keys_[static_cast<std::size_t>(b)]; };
  };
  std::stable_sort(order_.begin(), order_.end(), along(axis_));
  const int slabSize = std::max(4, static_cast<int>(std::sqrt(static_cast<double>(size_))));
  for (int first = 0; first < size_; first += slabSize) {
    const int count = std::min(slabSize, size_ - first);
    slabs_.push_back(Slab{keys_[static_cast<std::size_t>(order_[first])],
                          keys_[static_cast<std::size_t>(order_[first + count - 1])], first, count});
  }
  const auto bySecond = along(second_);
  for (const Slab& slab : slabs_) {
    std::stable_sort(order_.begin() + slab.first, order_.begin() + slab.first + slab.count, bySecond);
  }
  for (std::size_t r = 0; r < order_.size(); ++r) keys_[r] = codes_.At(order_[r], second_);
}

NearestSearch::Impl::~Impl() = default;

template <class Element>
bool NearestSearch::Impl::ToBytes(const Element* vector, std::uint8_t* out) const {
  // Elements below the offset wrap to large values.
  std::uint32_t bits = 0;
  for (int k = 0; k < dimension_; ++k) {
    const std::uint32_t value = static_cast<std::uint32_t>(vector[k]) - static_cast<std::uint32_t>(offset_);
    bits |= value;
    out[k] = static_cast<std::uint8_t>(value);
  }
  return bits <= 255u;
}

void NearestSearch::Impl::SearchBytes(const std::uint8_t* const* rows, int count, int* index,
                                      std::int64_t* distance) const {
  const int pruned = pruned_ != nullptr ? pruned_->Wanted(count) : 0;
  std::int64_t computed = pruned > 0 ? pruned_->Nearest(rows, pruned, index, distance) : 0;
  if (pruned < count) {
    bytes_->kernels->nearest(*bytes_, rows + pruned, count - pruned, index + pruned, distance + pruned);
    computed += std::int64_t{count - pruned} * size_;
    if (pruned_ != nullptr) pruned_->Observe(rows + pruned, count - pruned, distance + pruned);
  }
  searched_.fetch_add(count, std::memory_order_relaxed);
  computed_.fetch_add(computed, std::memory_order_relaxed);
}

std::int64_t NearestSearch::Impl::DistanceTo(int j, const int* vector) const {
  const auto at = static_cast<std::size_t>(j) * static_cast<std::size_t>(dimension_);
  return cbdetail::Typed(
      codes_, [&](const auto* rows) { return cbdetail::NarrowDistance(rows + at, vector, dimension_, kNoBound); });
}

namespace {

std::uint64_t Magnitude(std::int64_t x) { return static_cast<std::uint64_t>(x < 0 ? -x : x); }
// x squared in the search's width: a Wide of 64 bits is chosen only where
// every squared difference, and the sum of two, fits it.
template <class Wide>
Wide Squared(std::int64_t x) {
  return static_cast<Wide>(static_cast<Wide>(Magnitude(x)) * static_cast<Wide>(Magnitude(x)));
}

// The first of count items for which below(item) no longer holds (count if
// none), below holding for a prefix; without a branch per step, as the
// searches land at unpredictable places.
template <class Item, class Below>
int FirstNotBelow(const Item* items, int count, Below below) {
  if (count <= 0) return 0;
  const Item* base = items;
  for (int n = count; n > 1;) {
    const int half = n / 2;
    base = below(base[half - 1]) ? base + half : base;
    n -= half;
  }
  return static_cast<int>(base - items) + (below(*base) ? 1 : 0);
}

// One search of the sorted method: the training vector, its values on the
// two axes, and the best distance so far with its code vector. Every code
// vector of a slab is at least the slab's distance along the first axis
// away, and its own distance along the second axis: together a lower bound
// of its distance. Whatever lies beyond a bound that exceeds the best
// distance is passed over; so are, along the first axis, all slabs further
// out than one so passed.
template <class Code, class Wide>
struct SortedVisit {
  const NearestSearch::Impl& search;
  const Code* rows;
  const int* vector;
  std::int64_t a, b;  // the vector's values on the first and the second axis
  Wide best;
  int answer;

  const Code* Row(int j) const {
    return rows + static_cast<std::size_t>(j) * static_cast<std::size_t>(search.dimension_);
  }
  // The slab's members outward from the vector's value on the second axis;
  // false when the slab lies beyond the best distance along the first.
  bool Slab(const NearestSearch::Impl::Slab& slab) {
    const std::int64_t gap = a < slab.low ? slab.low - a : a > slab.high ? a - slab.high : 0;
    const Wide across = Squared<Wide>(gap);
    if (across > best) return false;
    const int middle = FirstNotBelow(search.keys_.data() + slab.first, slab.count, [this](int key) { return key < b; });
    // With one coordinate only, both bounds are on it and do not add up.
    const Wide base = search.axis_ == search.second_ ? 0 : across;
    for (int r = middle; r < slab.count && Member(slab, r, base); ++r) {
    }
    for (int r = middle - 1; r >= 0 && Member(slab, r, base); --r) {
    }
    return true;
  }
  // Member r of a slab, unless its bound exceeds the best distance (false).
  bool Member(const NearestSearch::Impl::Slab& slab, int r, Wide base) {
    if (base + Squared<Wide>(search.keys_[static_cast<std::size_t>(slab.first + r)] - b) > best) {
      return false;
    }
    const int j = search.order_[static_cast<std::size_t>(slab.first + r)];
    const Wide dr = cbdetail::Distance(Row(j), vector, search.dimension_, cbdetail::Above(best));
    if (dr < best || (dr == best && j < answer)) {
      best = dr;
      answer = j;
    }
    return true;
  }
};

}  // namespace

template <class Code, class Wide>
int NearestSearch::Impl::SortedSearch(const int* vector, int start, Wide& best) const {
  SortedVisit<Code, Wide> visit{
      *this, reinterpret_cast<const Code*>(codes_.bytes.data()), vector, vector[axis_], vector[second_], Wide{}, start};
  const Wide atStart = cbdetail::Distance(visit.Row(start), vector, dimension_, cbdetail::NoBound(Wide{}));
  visit.best = atStart;
  best = atStart;
  if (best == 0) return start;
  // From the slab of the training vector's own value outward, one slab to
  // each side in turn.
  const int count = static_cast<int>(slabs_.size());
  int right = FirstNotBelow(slabs_.data(), count, [&](const Slab& slab) { return slab.high < visit.a; });
  int left = right - 1;
  bool rightOpen = right < count, leftOpen = left >= 0;
  while (rightOpen || leftOpen) {
    if (rightOpen) rightOpen = visit.Slab(slabs_[static_cast<std::size_t>(right)]) && ++right < count;
    if (leftOpen) leftOpen = visit.Slab(slabs_[static_cast<std::size_t>(left)]) && --left >= 0;
  }
  best = visit.best;
  return best == atStart ? start : visit.answer;
}

const cbdetail::PlaneCells* NearestSearch::Impl::Cells(int count) const {
  if (dimension_ != 2) return nullptr;
  const std::int64_t asked = sortedAsked_.fetch_add(count, std::memory_order_relaxed) + count;
  if (asked < kCellsAfter * size_) return nullptr;
  std::call_once(cellsLaid_, [this] {
    cells_ = cbdetail::PlaneCells::Prepare(codes_, [this](const int* point) {
      std::int64_t unused = 0;
      return FindSorted(point, 0, &unused, nullptr);
    });
  });
  return cells_.get();
}

int NearestSearch::Impl::FindSorted(const int* vector, int start, std::int64_t* distance,
                                    const cbdetail::PlaneCells* cells) const {
  int listed = 0;
  if (cells != nullptr && cells->Find(vector, start, &listed, distance)) return listed;
  std::call_once(sorted_, [this] { PrepareSorted(); });
  std::int64_t low = vector[0], high = low;
  for (int k = 1; k < dimension_; ++k) {
    low = std::min<std::int64_t>(low, vector[k]);
    high = std::max<std::int64_t>(high, vector[k]);
  }
  // Every distance of this vector fits 63 bits when the largest element
  // difference squared, times the dimension, does.
  const auto spread = static_cast<u128>(std::max({high - minimum_, maximum_ - low, std::int64_t{0}}));
  const bool wide = spread * spread * static_cast<u128>(dimension_) > cbdetail::kInt64Max;
  return cbdetail::Typed(codes_, [&](const auto* rows) {
    using Code = std::remove_cv_t<std::remove_pointer_t<decltype(rows)>>;
    if (wide) {
      u128 best = 0;
      const int answer = SortedSearch<Code, u128>(vector, start, best);
      *distance = cbdetail::Saturate(best);
      return answer;
    }
    std::int64_t best = 0;
    const int answer = SortedSearch<Code, std::int64_t>(vector, start, best);
    *distance = best;
    return answer;
  });
}

bool NearestSearch::Impl::RowToBytes(const unsigned char* row, int width, std::uint8_t* out) const {
  switch (width) {
    case 1:
      return ToBytes(row, out);
    case 2:
      return ToBytes(reinterpret_cast<const std::uint16_t*>(row), out);
    default:
      return ToBytes(reinterpret_cast<const std::int32_t*>(row), out);
  }
}

template <class Row, class Found>
void NearestSearch::Impl::InBatches(int count, bool copies, Row row, Found found) const {
  constexpr int kBatch = cbdetail::kBatch;
  const auto d = static_cast<std::size_t>(dimension_);
  const int batch = std::min(kBatch, count);
  std::vector<std::uint8_t> packed(copies ? static_cast<std::size_t>(batch) * d : 0);
  const std::uint8_t* rows[kBatch];
  int members[kBatch], index[kBatch];
  std::int64_t distance[kBatch];
  int filled = 0;
  auto flush = [&] {
    SearchBytes(rows, filled, index, distance);
    for (int g = 0; g < filled; ++g) found(members[g], index[g], distance[g]);
    filled = 0;
  };
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* bytes = row(i, copies ? packed.data() + static_cast<std::size_t>(filled) * d : nullptr);
    if (bytes == nullptr) continue;
    rows[filled] = bytes;
    members[filled++] = i;
    if (filled == batch) flush();
  }
  if (filled > 0) flush();
}

void NearestSearch::Impl::FindMany(const int* const* vectors, const int* starts, int count, int* targets,
                                   std::int64_t* distances) const {
  if (dimension_ <= 0) {
    std::copy_n(starts, count, targets);
    std::fill_n(distances, count, 0);
    return;
  }
  auto sorted = [&](int i, const cbdetail::PlaneCells* cells) {
    targets[i] = FindSorted(vectors[i], starts[i], &distances[i], cells);
  };
  if (bytes_ == nullptr) {
    const cbdetail::PlaneCells* cells = Cells(count);
    for (int i = 0; i < count; ++i) sorted(i, cells);
    return;
  }
  InBatches(
      count, true,
      [&](int i, std::uint8_t* out) -> const std::uint8_t* {
        if (ToBytes(vectors[i], out)) return out;
        sorted(i, nullptr);
        return nullptr;
      },
      [&](int i, int index, std::int64_t distance) {
        // The start keeps its place when it is as near as the nearest; a
        // start below the kernels' answer (the lowest index among the
        // nearest) is not.
        const bool keep = index == starts[i] || (starts[i] > index && DistanceTo(starts[i], vectors[i]) == distance);
        targets[i] = keep ? starts[i] : index;
        distances[i] = distance;
      });
}

namespace {

// Rows of a two-element codebook, stored as Element, on the grid a group at
// a time; the rows it leaves go to sorted(i).
template <class Element, class Sorted>
void OnCells(const cbdetail::PlaneCells& cells, const RowBlock& rows, Sorted sorted, int* targets,
             std::int64_t* distances) {
  constexpr int kGroup = cbdetail::PlaneCells::kGroup;
  for (int begin = 0; begin < rows.count; begin += kGroup) {
    const int n = std::min(kGroup, rows.count - begin);
    cbdetail::PlaneCells::Point points[kGroup];
    for (int g = 0; g < n; ++g) {
      Element e[2];
      std::memcpy(e, rows.Row(begin + g), sizeof e);
      points[g] = {static_cast<std::int32_t>(e[0]), static_cast<std::int32_t>(e[1])};
    }
    const std::uint32_t answered = cells.FindGroup(points, n, targets + begin, distances + begin);
    for (int g = 0; g < n; ++g) {
      if ((answered >> g & 1u) == 0) sorted(begin + g);
    }
  }
}

}  // namespace

void NearestSearch::Impl::FindRows(const RowBlock& rows, int* targets, std::int64_t* distances) const {
  if (rows.count <= 0) return;
  std::vector<std::int64_t> unwanted;
  if (distances == nullptr) {
    unwanted.resize(static_cast<std::size_t>(rows.count));
    distances = unwanted.data();
  }
  if (dimension_ <= 0) {
    std::fill_n(targets, rows.count, 0);
    std::fill_n(distances, rows.count, 0);
    return;
  }
  const auto d = static_cast<std::size_t>(dimension_);
  auto widen = [&](int i, int* out) {
    const unsigned char* row = rows.Row(i);
    switch (rows.width) {
      case 1:
        std::copy_n(row, d, out);
        break;
      case 2:
        std::copy_n(reinterpret_cast<const std::uint16_t*>(row), d, out);
        break;
      default:
        std::memcpy(out, row, d * sizeof(int));
        break;
    }
  };
  // A row the byte kernels cannot take, widened on its own.
  std::vector<int> wide(d);
  auto sorted = [&](int i) {
    widen(i, wide.data());
    targets[i] = FindSorted(wide.data(), 0, &distances[i], nullptr);
  };
  if (bytes_ == nullptr) {
    const cbdetail::PlaneCells* cells = Cells(rows.count);
    if (cells == nullptr) {
      for (int i = 0; i < rows.count; ++i) sorted(i);
      return;
    }
    switch (rows.width) {
      case 1:
        OnCells<std::uint8_t>(*cells, rows, sorted, targets, distances);
        break;
      case 2:
        OnCells<std::uint16_t>(*cells, rows, sorted, targets, distances);
        break;
      default:
        OnCells<std::int32_t>(*cells, rows, sorted, targets, distances);
        break;
    }
    return;
  }
  // Bytes stored as they are searched go straight into the kernels; other
  // rows are narrowed to bytes a batch at a time. With start 0 the kernels'
  // answer (the lowest index among the nearest) is the answer. A row equal
  // to the one before it (flat areas of images) takes its answer.
  const bool direct = rows.width == 1 && offset_ == 0;
  std::vector<int> repeats;
  InBatches(
      rows.count, !direct,
      [&](int i, std::uint8_t* out) -> const std::uint8_t* {
        const unsigned char* row = rows.Row(i);
        if (i > 0 && std::memcmp(row, rows.Row(i - 1), rows.RowBytes()) == 0) {
          repeats.push_back(i);
          return nullptr;
        }
        if (direct) return row;
        if (RowToBytes(row, rows.width, out)) return out;
        sorted(i);
        return nullptr;
      },
      [&](int i, int index, std::int64_t distance) {
        targets[i] = index;
        distances[i] = distance;
      });
  for (const int i : repeats) {
    targets[i] = targets[i - 1];
    distances[i] = distances[i - 1];
  }
}

NearestSearch::NearestSearch(const RowBlock& codes) : NearestSearch(cbdetail::PrepareSearch(CodeRows::Of(codes))) {}

NearestSearch::NearestSearch(const Codebook* cb) : NearestSearch(cbdetail::PrepareSearch(CodeRows::Of(cb))) {}

NearestSearch::NearestSearch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

NearestSearch::~NearestSearch() = default;
NearestSearch::NearestSearch(NearestSearch&&) noexcept = default;
NearestSearch& NearestSearch::operator=(NearestSearch&&) noexcept = default;

int NearestSearch::Find(const int* vector, int start, std::int64_t* distance) const {
  int target = start;
  impl_->FindMany(&vector, &start, 1, &target, distance);
  return target;
}

void NearestSearch::FindMany(const int* const* vectors, const int* starts, int count, int* targets,
                             std::int64_t* distances) const {
  impl_->FindMany(vectors, starts, count, targets, distances);
}

void NearestSearch::FindRows(const RowBlock& rows, int* targets, std::int64_t* distances) const {
  impl_->FindRows(rows, targets, distances);
}

bool NearestSearch::FindRowsInParallel(const RowBlock& rows, int* targets, std::int64_t* distances,
                                       WorkWatch* watch) const {
  return cbdetail::ParallelParts(rows.count, watch, [&](int begin, int end, int) {
    impl_->FindRows(rows.Part(begin, end - begin), targets + begin, distances != nullptr ? distances + begin : nullptr);
  });
}

bool NearestSearch::UsesByteKernels() const { return impl_->bytes_ != nullptr; }

bool NearestSearch::Prunes() const { return impl_->pruned_ != nullptr; }

NearestSearch::Work NearestSearch::Done() const { return Work{impl_->searched_.load(), impl_->computed_.load()}; }

}  // namespace mirvo
