#include "engine/search.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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

#include "engine/pruning.h"
#include "engine/threads.h"
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

std::atomic<int> g_level{-1};

bool Offered(SimdLevel level) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vnni");
    case SimdLevel::AvxVnni: {
      // GCC 12 does not report this one through __builtin_cpu_supports.
      unsigned a = 0, b = 0, c = 0, d = 0;
      return __builtin_cpu_supports("avx2") && __get_cpuid_count(7, 1, &a, &b, &c, &d) != 0 && (a >> 4 & 1u) != 0;
    }
    case SimdLevel::Avx2:
      return __builtin_cpu_supports("avx2");
    case SimdLevel::Portable:
      break;
  }
  return true;
#else
  return level == SimdLevel::Portable;
#endif
}

// The requested level, lowered until the processor offers it.
SimdLevel Lowered(SimdLevel level) {
  while (level != SimdLevel::Portable && !Offered(level)) level = static_cast<SimdLevel>(static_cast<int>(level) - 1);
  return level;
}

}  // namespace

SimdLevel BestSimdLevel() {
  static const SimdLevel best = Lowered(SimdLevel::Avx512);
  return best;
}

SimdLevel SetSimdLevel(SimdLevel level) {
  const SimdLevel set = Lowered(level);
  g_level.store(static_cast<int>(set));
  return set;
}

SimdLevel ActiveSimdLevel() {
  const int level = g_level.load();
  return level < 0 ? BestSimdLevel() : static_cast<SimdLevel>(level);
}

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

NearestSearch::NearestSearch(const Codebook* cb) : NearestSearch(CodeRows::Of(cb)) {}

NearestSearch::NearestSearch(CodeRows codes)
    : codes_(std::move(codes)), size_(codes_.size), dimension_(codes_.dimension) {
  if (size_ <= 0 || dimension_ <= 0) return;
  // The sorted method: code vectors in slabs along the axis of largest
  // spread, each slab sorted along the axis of second largest spread (the
  // lower axis first among equals).
  std::int64_t widest = -1, nextWidest = -1;
  int widestAxis = 0, nextAxis = 0;
  minimum_ = std::numeric_limits<std::int64_t>::max();
  maximum_ = std::numeric_limits<std::int64_t>::min();
  for (int k = 0; k < dimension_; ++k) {
    int low = codes_.At(0, k), high = low;
    for (int j = 1; j < size_; ++j) {
      low = std::min(low, codes_.At(j, k));
      high = std::max(high, codes_.At(j, k));
    }
    minimum_ = std::min<std::int64_t>(minimum_, low);
    maximum_ = std::max<std::int64_t>(maximum_, high);
    const std::int64_t spread = std::int64_t{high} - low;
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

  if (maximum_ - minimum_ <= 255 && dimension_ <= kMaxByteDimension) {
    // Byte data: the common offset keeps elements of 1-byte files as they are.
    offset_ = static_cast<int>(std::clamp<std::int64_t>(0, maximum_ - 255, minimum_));
    const SimdLevel level = ActiveSimdLevel();
    bytes_ = PrepareByteCodes(codes_, nullptr, offset_, level);
    pruned_ = PrunedCodes::Prepare(codes_, offset_, level);
  }
}

NearestSearch::~NearestSearch() = default;

NearestSearch::Work NearestSearch::Done() const { return Work{searched_.load(), computed_.load()}; }

template <class Element>
bool NearestSearch::ToBytes(const Element* vector, std::uint8_t* out) const {
  // Elements below the offset wrap to large values.
  std::uint32_t bits = 0;
  for (int k = 0; k < dimension_; ++k) {
    const std::uint32_t value = static_cast<std::uint32_t>(vector[k]) - static_cast<std::uint32_t>(offset_);
    bits |= value;
    out[k] = static_cast<std::uint8_t>(value);
  }
  return bits <= 255u;
}

void NearestSearch::SearchBytes(const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) const {
  const int pruned = pruned_ != nullptr ? pruned_->Wanted(count) : 0;
  std::int64_t computed = pruned > 0 ? pruned_->Nearest(rows, pruned, index, distance) : 0;
  if (pruned < count) {
    ByteNearest(*bytes_, rows + pruned, count - pruned, index + pruned, distance + pruned);
    computed += std::int64_t{count - pruned} * size_;
    if (pruned_ != nullptr) pruned_->Observe(rows + pruned, count - pruned, distance + pruned);
  }
  searched_.fetch_add(count, std::memory_order_relaxed);
  computed_.fetch_add(computed, std::memory_order_relaxed);
}

std::int64_t NearestSearch::DistanceTo(int j, const int* vector) const {
  const auto at = static_cast<std::size_t>(j) * static_cast<std::size_t>(dimension_);
  return Typed(codes_, [&](const auto* rows) { return NarrowDistance(rows + at, vector, dimension_, kNoBound); });
}

template <class Code, class Wide>
int NearestSearch::SortedSearch(const int* vector, int start, Wide& best) const {
  const auto* rows = reinterpret_cast<const Code*>(codes_.bytes.data());
  auto row = [&](int j) { return rows + static_cast<std::size_t>(j) * static_cast<std::size_t>(dimension_); };
  const Wide atStart = Distance(row(start), vector, dimension_, NoBound(Wide{}));
  best = atStart;
  int answer = start;
  if (best == 0) return start;
  const std::int64_t a = vector[axis_], b = vector[second_];
  auto square = [](std::int64_t x) {
    const auto m = static_cast<std::uint64_t>(x < 0 ? -x : x);
    return static_cast<u128>(m) * m;
  };
  // Every code vector of a slab is at least the slab's distance along the
  // first axis away, and its own distance along the second axis: together
  // a lower bound of its distance. Whatever lies beyond a bound that exceeds
  // the best distance is passed over; so are, along the first axis, all
  // slabs further out than one so passed.
  auto visitSlab = [&](const Slab& slab) {
    const std::int64_t gap = a < slab.low ? slab.low - a : a > slab.high ? a - slab.high : 0;
    const u128 across = square(gap);
    if (across > static_cast<u128>(best)) return false;
    const int* keys = keys_.data() + slab.first;
    const int middle = static_cast<int>(std::lower_bound(keys, keys + slab.count, b) - keys);
    // With one coordinate only, both bounds are on it and do not add up.
    const u128 base = axis_ == second_ ? 0 : across;
    auto visit = [&](int r) {
      if (base + square(keys[r] - b) > static_cast<u128>(best)) return false;
      const int j = order_[static_cast<std::size_t>(slab.first + r)];
      const Wide dr = Distance(row(j), vector, dimension_, Above(best));
      if (dr < best || (dr == best && j < answer)) {
        best = dr;
        answer = j;
      }
      return true;
    };
    for (int r = middle; r < slab.count && visit(r); ++r) {
    }
    for (int r = middle - 1; r >= 0 && visit(r); --r) {
    }
    return true;
  };
  // From the slab of the training vector's own value outward, one slab to
  // each side in turn.
  const int count = static_cast<int>(slabs_.size());
  int right = static_cast<int>(
      std::partition_point(slabs_.begin(), slabs_.end(), [&](const Slab& slab) { return slab.high < a; }) -
      slabs_.begin());
  int left = right - 1;
  bool rightOpen = right < count, leftOpen = left >= 0;
  while (rightOpen || leftOpen) {
    if (rightOpen) rightOpen = visitSlab(slabs_[static_cast<std::size_t>(right)]) && ++right < count;
    if (leftOpen) leftOpen = visitSlab(slabs_[static_cast<std::size_t>(left)]) && --left >= 0;
  }
  return best == atStart ? start : answer;
}

int NearestSearch::FindSorted(const int* vector, int start, std::int64_t* distance) const {
  std::int64_t low = vector[0], high = low;
  for (int k = 1; k < dimension_; ++k) {
    low = std::min<std::int64_t>(low, vector[k]);
    high = std::max<std::int64_t>(high, vector[k]);
  }
  // Every distance of this vector fits 63 bits when the largest element
  // difference squared, times the dimension, does.
  const auto spread = static_cast<u128>(std::max({high - minimum_, maximum_ - low, std::int64_t{0}}));
  const bool wide = spread * spread * static_cast<u128>(dimension_) > kInt64Max;
  return Typed(codes_, [&](const auto* rows) {
    using Code = std::remove_cv_t<std::remove_pointer_t<decltype(rows)>>;
    if (wide) {
      u128 best = 0;
      const int answer = SortedSearch<Code, u128>(vector, start, best);
      *distance = Saturate(best);
      return answer;
    }
    std::int64_t best = 0;
    const int answer = SortedSearch<Code, std::int64_t>(vector, start, best);
    *distance = best;
    return answer;
  });
}

int NearestSearch::Find(const int* vector, int start, std::int64_t* distance) const {
  int target = start;
  FindMany(&vector, &start, 1, &target, distance);
  return target;
}

void NearestSearch::FindMany(const int* const* vectors, const int* starts, int count, int* targets,
                             std::int64_t* distances) const {
  if (dimension_ <= 0) {
    for (int i = 0; i < count; ++i) {
      targets[i] = starts[i];
      distances[i] = 0;
    }
    return;
  }
  if (bytes_ == nullptr) {
    for (int i = 0; i < count; ++i) targets[i] = FindSorted(vectors[i], starts[i], &distances[i]);
    return;
  }
  const auto d = static_cast<std::size_t>(dimension_);
  const int batch = std::min(kBatch, count);
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(batch) * d);
  const std::uint8_t* rows[kBatch];
  int members[kBatch], index[kBatch];
  std::int64_t found[kBatch];
  int filled = 0;
  auto flush = [&] {
    SearchBytes(rows, filled, index, found);
    for (int g = 0; g < filled; ++g) {
      const int i = members[g];
      // The start keeps its place when it is as near as the nearest; a start
      // below the kernels' answer (the lowest index among the nearest) is not.
      const bool keep =
          index[g] == starts[i] || (starts[i] > index[g] && DistanceTo(starts[i], vectors[i]) == found[g]);
      targets[i] = keep ? starts[i] : index[g];
      distances[i] = found[g];
    }
    filled = 0;
  };
  for (int i = 0; i < count; ++i) {
    std::uint8_t* row = packed.data() + static_cast<std::size_t>(filled) * d;
    if (ToBytes(vectors[i], row)) {
      rows[filled] = row;
      members[filled++] = i;
      if (filled == batch) flush();
    } else {
      targets[i] = FindSorted(vectors[i], starts[i], &distances[i]);
    }
  }
  if (filled > 0) flush();
}

void NearestSearch::FindRows(const void* rows, int width, std::size_t stride, int count, int* targets,
                             std::int64_t* distances) const {
  if (count <= 0) return;
  if (dimension_ <= 0) {
    std::fill_n(targets, count, 0);
    std::fill_n(distances, count, 0);
    return;
  }
  const auto d = static_cast<std::size_t>(dimension_);
  const auto* base = static_cast<const unsigned char*>(rows);
  auto rowAt = [&](int i) { return base + static_cast<std::size_t>(i) * stride * static_cast<std::size_t>(width); };
  // A row the byte kernels cannot take, widened on its own.
  std::vector<int> wide(d);
  auto sorted = [&](int i) {
    const unsigned char* row = rowAt(i);
    switch (width) {
      case 1:
        std::copy_n(row, d, wide.data());
        break;
      case 2:
        std::copy_n(reinterpret_cast<const std::uint16_t*>(row), d, wide.data());
        break;
      default:
        std::memcpy(wide.data(), row, d * sizeof(int));
        break;
    }
    targets[i] = FindSorted(wide.data(), 0, &distances[i]);
  };
  if (bytes_ == nullptr) {
    for (int i = 0; i < count; ++i) sorted(i);
    return;
  }
  // Bytes stored as they are searched go straight into the kernels; other
  // rows are narrowed to bytes a batch at a time. With start 0 the kernels'
  // answer (the lowest index among the nearest) is the answer.
  const bool direct = width == 1 && offset_ == 0;
  const int batch = std::min(kBatch, count);
  std::vector<std::uint8_t> packed(direct ? 0 : static_cast<std::size_t>(batch) * d);
  const std::uint8_t* kernelRows[kBatch];
  int members[kBatch], index[kBatch];
  std::int64_t found[kBatch];
  int filled = 0;
  auto flush = [&] {
    SearchBytes(kernelRows, filled, index, found);
    for (int g = 0; g < filled; ++g) {
      targets[members[g]] = index[g];
      distances[members[g]] = found[g];
    }
    filled = 0;
  };
  // A row equal to the one before it (flat areas of images) takes its answer.
  std::vector<int> repeats;
  const std::size_t rowBytes = d * static_cast<std::size_t>(width);
  for (int i = 0; i < count; ++i) {
    const unsigned char* row = rowAt(i);
    if (i > 0 && std::memcmp(row, rowAt(i - 1), rowBytes) == 0) {
      repeats.push_back(i);
      continue;
    }
    std::uint8_t* out = direct ? nullptr : packed.data() + static_cast<std::size_t>(filled) * d;
    const std::uint8_t* kernelRow = direct ? row : out;
    bool inRange = true;
    switch (width) {
      case 1:
        if (!direct) inRange = ToBytes(row, out);
        break;
      case 2:
        inRange = ToBytes(reinterpret_cast<const std::uint16_t*>(row), out);
        break;
      default:
        inRange = ToBytes(reinterpret_cast<const std::int32_t*>(row), out);
        break;
    }
    if (!inRange) {
      sorted(i);
      continue;
    }
    kernelRows[filled] = kernelRow;
    members[filled++] = i;
    if (filled == batch) flush();
  }
  if (filled > 0) flush();
  for (const int i : repeats) {
    targets[i] = targets[i - 1];
    distances[i] = distances[i - 1];
  }
}

Workers::Workers() {
  const int count = ThreadCount();
  try {
    for (int t = 1; t < count; ++t) threads_.emplace_back([this] { Serve(); });
  } catch (const std::system_error&) {
    // No more threads to be had: those running and the caller do the work.
  }
}

Workers::~Workers() {
  Finish();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (auto& t : threads_) t.join();
}

void Workers::Start(int count, std::function<void(int begin, int end)> body) {
  // Blocks small enough for every thread to get several, large enough to
  // keep the search's own batches full.
  const auto parts = static_cast<int>(4 * (threads_.size() + 1));
  const int block = std::clamp((count + parts - 1) / std::max(parts, 1), 256, 2048);
  {
    // A thread that woke too late for the last job may still be looking
    // at it.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return busy_ == 0; });
    body_ = std::move(body);
    count_ = count;
    block_ = block;
    next_.store(0);
    done_.store(0);
    ++job_;
  }
  inHand_ = true;
  if (count > block && !threads_.empty()) changed_.notify_all();
}

void Workers::TakeBlocks(bool progress) {
  for (;;) {
    const std::int64_t begin = next_.fetch_add(block_);
    if (begin >= count_) return;
    const std::int64_t end = std::min<std::int64_t>(count_, begin + block_);
    body_(static_cast<int>(begin), static_cast<int>(end));
    const std::int64_t done = done_.fetch_add(end - begin) + (end - begin);
    if (progress) TimedProgressUpdate(done, count_);
  }
}

void Workers::Serve() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || job_ != seen; });
    if (stop_) return;
    seen = job_;
    ++busy_;
    lock.unlock();
    TakeBlocks(false);
    lock.lock();
    if (--busy_ == 0) changed_.notify_all();
  }
}

void Workers::Finish(bool progress) {
  if (!inHand_) return;
  TakeBlocks(progress);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return done_.load() >= count_ && busy_ == 0; });
  body_ = nullptr;
  inHand_ = false;
}

void ParallelFor(int count, const std::function<void(int begin, int end)>& body, bool progress) {
  constexpr int kAlone = 2048;  // not worth a thread
  if (count <= kAlone) {
    if (count > 0) body(0, count);
    return;
  }
  Workers workers;
  workers.Start(count, body);
  workers.Finish(progress);
}

}  // namespace cbdetail

}  // namespace mirvo
