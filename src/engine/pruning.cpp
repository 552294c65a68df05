#include "engine/pruning.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <numeric>

namespace mirvo {

namespace cbdetail {
namespace {

// Fewer code vectors than this are searched whole: there is too little to
// skip.
constexpr int kMinCodes = 512;
// Longer vectors are searched whole: their bounds exclude little. So are
// the shortest, whose layout would weigh more than the vectors themselves.
constexpr int kMinDimension = 4;
// Batches left to the exhaustive kernels once the batches' shares computed,
// averaged, say that pruning does not pay: 64, twice as many each time the
// batch tried after a rest does not pay either, up to 1024. The average
// weighs the last batch by 1/8 (so that one batch of unusual data does not
// decide).
constexpr int kRest = 64;
constexpr int kLongestRest = 1024;
// Rows of a batch pruned while pruning is tried (first, and after each
// rest), so that a trial that fails costs little.
constexpr int kTrial = 128;
constexpr int kWholeTrials = 4096;  // code vectors from which trials take whole batches
constexpr int kWeight = 8;

// S and F of every code vector.
struct CodeKeys {
  std::vector<std::int64_t> sum, root;
};

// S and |x|^2 of a training vector's bytes (SSE2, which every x86-64
// processor has, 16 at a time).
void SumAndNorm(const std::uint8_t* x, int d, std::int32_t* sum, std::int32_t* norm) {
  std::int32_t s = 0, n = 0;
  int k = 0;
#if defined(__x86_64__)
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = zero, norms = zero;
  for (; k + 16 <= d; k += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + k));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
    const __m128i low = _mm_unpacklo_epi8(v, zero), high = _mm_unpackhi_epi8(v, zero);
    norms = _mm_add_epi32(norms, _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high)));
  }
  norms = _mm_add_epi32(norms, _mm_shuffle_epi32(norms, 0x4E));
  norms = _mm_add_epi32(norms, _mm_shuffle_epi32(norms, 0xB1));
  s = _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
  n = _mm_cvtsi128_si32(norms);
#endif
  for (; k < d; ++k) {
    s += x[k];
    n += x[k] * x[k];
  }
  *sum = s;
  *norm = n;
}

// (Elements less offset lie in 0..255: the sums fit 32 bits.)
template <class Element>
void AddKeys(const Element* rows, int size, int d, int offset, CodeKeys& keys) {
  for (int j = 0; j < size; ++j, rows += d) {
    std::int32_t s = 0, n = 0;
    for (int k = 0; k < d; ++k) {
      const std::int32_t e = static_cast<std::int32_t>(rows[k]) - offset;
      s += e;
      n += e * e;
    }
    keys.sum.push_back(s);
    keys.root.push_back(SquareRoot(std::int64_t{d} * n - std::int64_t{s} * s));
  }
}

CodeKeys KeysOf(const CodeRows& codes, int offset) {
  CodeKeys keys;
  keys.sum.reserve(static_cast<std::size_t>(codes.size));
  keys.root.reserve(keys.sum.capacity());
  const unsigned char* bytes = codes.bytes.data();
  switch (codes.width) {
    case 1:
      AddKeys(bytes, codes.size, codes.dimension, offset, keys);
      break;
    case 2:
      AddKeys(reinterpret_cast<const std::uint16_t*>(bytes), codes.size, codes.dimension, offset, keys);
      break;
    default:
      AddKeys(reinterpret_cast<const std::int32_t*>(bytes), codes.size, codes.dimension, offset, keys);
      break;
  }
  return keys;
}

// Appends the leaf of the code vectors at places [begin, end) of order: its
// keys divided by 2^shift, its ranges widened by the slack
// (pruning_layout.h).
void AddLeaf(const CodeKeys& keys, const std::vector<int>& order, int begin, int end, int shift, PruneLeaves& leaves) {
  std::int64_t lowSum = INT64_MAX, highSum = INT64_MIN, lowRoot = INT64_MAX, highRoot = INT64_MIN;
  for (int at = begin; at < end; ++at) {
    const auto j = static_cast<std::size_t>(order[static_cast<std::size_t>(at)]);
    lowSum = std::min(lowSum, keys.sum[j]);
    highSum = std::max(highSum, keys.sum[j]);
    lowRoot = std::min(lowRoot, keys.root[j]);
    highRoot = std::max(highRoot, keys.root[j]);
  }
  // Keys are never negative: a range widened below 0 may start at 0.
  const std::int64_t slack = shift > 0 ? 1 : 0;
  const auto low = [](std::int64_t key) { return static_cast<std::int32_t>(std::max<std::int64_t>(key, 0)); };
  leaves.low.push_back(Packed(low((lowSum >> shift) - slack), low((lowRoot >> shift) - 1)));
  leaves.high.push_back(Packed(static_cast<std::int32_t>((highSum >> shift) + slack),
                               static_cast<std::int32_t>((highRoot >> shift) + 1)));
  leaves.highRoot.push_back(static_cast<std::int32_t>((highRoot >> shift) + 1));
  leaves.codes.push_back(end - begin);
}

// Sorts items[0 .. count) by their bits from bit `from` up, a byte at a time
// from the lowest (a pass whose byte is the same in every item is left
// out), keeping the order of equal ones; scratch holds count items.
void SortByKeys(std::uint64_t* items, std::size_t count, std::uint64_t* scratch, int from) {
  std::uint64_t differ = 0;
  for (std::size_t i = 1; i < count; ++i) differ |= items[i] ^ items[0];
  for (int shift = from; shift < 64; shift += 8) {
    if ((differ >> shift & 0xFF) == 0) continue;
    std::size_t start[257] = {};
    for (std::size_t i = 0; i < count; ++i) ++start[(items[i] >> shift & 0xFF) + 1];
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (std::size_t i = 0; i < count; ++i) scratch[start[items[i] >> shift & 0xFF]++] = items[i];
    std::copy_n(scratch, count, items);
  }
}

// The code vectors (indices) in leaf order, and the layout's leaves and
// slabs: slabs of about the square root of the leaves' count, each a whole
// number of leaves (and at most 65535 slabs, numbered in 16 bits), along S;
// leaves along F within each; the order otherwise that of the indices.
std::vector<int> LeafOrder(const CodeKeys& keys, PruneLayout& layout) {
  const auto size = static_cast<int>(keys.sum.size());
  std::vector<std::uint64_t> sorted(static_cast<std::size_t>(size));
  for (int j = 0; j < size; ++j) {
    sorted[static_cast<std::size_t>(j)] =
        static_cast<std::uint64_t>(keys.sum[static_cast<std::size_t>(j)]) << 32 | static_cast<std::uint64_t>(j);
  }
  std::vector<std::uint64_t> scratch(sorted.size());
  SortByKeys(sorted.data(), sorted.size(), scratch.data(), 32);
  std::vector<int> order(sorted.size());
  const int leaves = (size + kLeafCodes - 1) / kLeafCodes;
  const int slabLeaves = std::max(static_cast<int>(std::lround(std::sqrt(leaves / 8.0))), (leaves + 65534) / 65535);
  PruneLeaves& keyed = layout.leaves;
  for (int first = 0; first < leaves; first += slabLeaves) {
    const int count = std::min(slabLeaves, leaves - first);
    const int begin = first * kLeafCodes, end = std::min(size, (first + count) * kLeafCodes);
    // By F, then by place along S.
    for (int at = begin; at < end; ++at) {
      const auto j = static_cast<std::size_t>(sorted[static_cast<std::size_t>(at)] & 0xFFFFFFFF);
      sorted[static_cast<std::size_t>(at)] =
          static_cast<std::uint64_t>(keys.root[j]) << 32 | (sorted[static_cast<std::size_t>(at)] & 0xFFFFFFFF);
    }
    SortByKeys(sorted.data() + begin, static_cast<std::size_t>(end - begin), scratch.data(), 32);
    for (int at = begin; at < end; ++at) {
      order[static_cast<std::size_t>(at)] = static_cast<int>(sorted[static_cast<std::size_t>(at)] & 0xFFFFFFFF);
    }
    std::int32_t lowSum = INT32_MAX, highSum = 0;
    for (int q = first; q < first + count; ++q) {
      AddLeaf(keys, order, q * kLeafCodes, std::min(size, (q + 1) * kLeafCodes), layout.shift, keyed);
      lowSum = std::min(lowSum, static_cast<std::int32_t>(keyed.low.back() & 0xFFFF));
      highSum = std::max(highSum, static_cast<std::int32_t>(keyed.high.back() & 0xFFFF));
    }
    layout.slabs.push_back(PruneSlab{lowSum, highSum, Packed(lowSum, 0), Packed(highSum, 0xFFFF), first, count});
  }
  for (auto* column : {&keyed.low, &keyed.high}) column->insert(column->end(), 16, column->back());
  for (auto* column : {&keyed.highRoot, &keyed.codes}) column->insert(column->end(), 16, column->back());
  return order;
}

// The layout's tables of the slabs by S.
void SlabTables(PruneLayout& layout) {
  const std::int32_t top = std::max(0, layout.slabs.back().highSum);
  layout.slabFrom.resize(static_cast<std::size_t>(top) + 1);
  layout.slabTo.resize(layout.slabFrom.size());
  const auto slabs = static_cast<std::uint16_t>(layout.slabs.size());
  std::uint16_t from = 0, to = 0;
  for (std::int32_t sum = 0; sum <= top; ++sum) {
    while (layout.slabs[from].highSum < sum) ++from;
    while (to + 1 < slabs && layout.slabs[to + 1U].lowSum <= sum) ++to;
    layout.slabFrom[static_cast<std::size_t>(sum)] = from;
    layout.slabTo[static_cast<std::size_t>(sum)] = to;
  }
}

std::int32_t Gap(std::int32_t value, std::uint32_t low, std::uint32_t high) {
  const auto from = static_cast<std::int32_t>(low), to = static_cast<std::int32_t>(high);
  return value < from ? from - value : value > to ? value - to : 0;
}

// The code vectors the tile search would compute for count rows sorted as
// it takes them, with the limits given (divided as the layout's keys), if
// these limits held from the start: the leaves in the slabs within reach
// that some row of a tile of 4 admits, for every row of the tile.
std::int64_t EstimateTiles(const PruneLayout& layout, const PruneRow* rows, const std::int64_t* limit, int count) {
  const auto top = static_cast<std::int64_t>(layout.slabFrom.size()) - 1;
  const PruneLeaves& leaves = layout.leaves;
  std::int64_t computed = 0;
  for (int first = 0; first < count; first += 4) {
    const int n = std::min(4, count - first);
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    for (int r = first; r < first + n; ++r) {
      const auto reach = static_cast<std::int64_t>(std::sqrt(static_cast<double>(limit[r]))) + 1;
      low = std::min(low, rows[r].sum - reach);
      high = std::max(high, rows[r].sum + reach);
    }
    const PruneSlab& from =
        layout.slabs[layout.slabFrom[static_cast<std::size_t>(std::clamp<std::int64_t>(low, 0, top))]];
    const PruneSlab& to = layout.slabs[layout.slabTo[static_cast<std::size_t>(std::clamp<std::int64_t>(high, 0, top))]];
    for (int q = from.first; q < to.first + to.count; ++q) {
      const auto at = static_cast<std::size_t>(q);
      bool admitted = false;
      for (int r = first; r < first + n; ++r) {
        const std::int64_t across = Gap(rows[r].sum, leaves.low[at] & 0xFFFF, leaves.high[at] & 0xFFFF);
        const std::int64_t along = Gap(rows[r].root, leaves.low[at] >> 16, leaves.high[at] >> 16);
        admitted |= across * across + along * along <= limit[r];
      }
      computed += admitted ? std::int64_t{leaves.codes[at]} * n : 0;
    }
  }
  return computed;
}

// The layout of the code vectors in leaf order, padded to whole leaves: a
// layout whose blocks do not fill the last leaf is made again from the code
// vectors with copies of the last one in leaf order after them (at higher
// indices, so that they never win a tie against it).
std::unique_ptr<ByteCodes> LeafLayout(const CodeRows& codes, std::vector<int>& order, int offset,
                                      const ByteKernels& kernels) {
  const int places = (codes.size + kLeafCodes - 1) / kLeafCodes * kLeafCodes;
  auto layout = PrepareByteCodes(codes, order.data(), offset, kernels);
  if (layout->padded >= places) return layout;
  CodeRows padded = codes;
  const auto row = static_cast<std::size_t>(codes.dimension) * static_cast<std::size_t>(codes.width);
  const auto last = static_cast<std::size_t>(order.back());
  for (int j = codes.size; j < places; ++j) {
    padded.bytes.insert(padded.bytes.end(), codes.bytes.begin() + static_cast<std::ptrdiff_t>(last * row),
                        codes.bytes.begin() + static_cast<std::ptrdiff_t>((last + 1) * row));
    order.push_back(j);
  }
  padded.size = places;
  return PrepareByteCodes(padded, order.data(), offset, kernels);
}

}  // namespace

std::unique_ptr<PrunedCodes> PrunedCodes::Prepare(const CodeRows& codes, int offset, const Kernels& kernels) {
  const int size = codes.size, d = codes.dimension;
  if (size < kMinCodes || d < kMinDimension || d > kMaxPrunedDimension) return nullptr;
  std::unique_ptr<PrunedCodes> out(new PrunedCodes);
  out->size_ = size;
  PruneLayout& layout = out->layout_;
  layout.kernels = kernels.pruned;
  layout.dimension = d;
  // Keys up to 255 D, divided so that they stay below 2^15.
  layout.shift = d > 128 ? 1 : 0;
  // Pruning pays while the share computed, s, keeps f + r s M below M.
  const PruneKernels& costs = *kernels.pruned;
  out->payLimit_ = std::max(0.0, (1 - (costs.f0 + costs.f1 / d) / size) / (costs.r0 + costs.r1 / d));
  // Until batches have been measured, the average stands at the limit: one
  // batch that does not pay is enough to rest.
  out->share_.store(static_cast<int>(65536.0 * out->payLimit_));

  const CodeKeys keys = KeysOf(codes, offset);
  out->order_ = LeafOrder(keys, layout);
  SlabTables(layout);
  std::int32_t highest = 0;
  for (const std::int32_t root : layout.leaves.highRoot) highest = std::max(highest, root);
  while ((highest >> out->rootShift_) > 255) ++out->rootShift_;
  out->codes_ = &codes;
  out->offset_ = offset;
  // The code vectors themselves are laid out when first pruned: against
  // few of them, after an estimate says that pruning pays.
  if (size >= kWholeTrials) out->Lay();
  return out;
}

PrunedCodes::~PrunedCodes() = default;

namespace {
std::atomic<bool> alwaysPrune{false};
}  // namespace

bool SetAlwaysPrune(bool always) { return alwaysPrune.exchange(always); }

int PrunedCodes::Wanted(int count) const {
  if (alwaysPrune.load(std::memory_order_relaxed)) return count;
  if (resting_.load(std::memory_order_relaxed) > 0) {
    resting_.fetch_sub(1, std::memory_order_relaxed);
    return 0;
  }
  // Against few code vectors a trial is an estimate from the exhaustive
  // kernels' answers (Observe); against many, a batch pruned whole, cheap
  // beside the exhaustive kernels.
  return Trying() ? 0 : count;
}

void PrunedCodes::Sort(const std::uint8_t* const* rows, int count, PruneRow* sorted) const {
  PruneRow keys[kMaxBatch];
  std::uint64_t order[kMaxBatch], scratch[kMaxBatch];
  const int d = layout_.dimension, shift = layout_.shift;
  const std::size_t top = layout_.slabFrom.size() - 1;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* x = rows[i];
    std::int32_t s = 0, n = 0;
    SumAndNorm(x, d, &s, &n);
    const auto sum = static_cast<std::int32_t>(s >> shift);
    const auto root = static_cast<std::int32_t>(SquareRoot(std::int64_t{d} * n - std::int64_t{s} * s) >> shift);
    const int slab = layout_.slabFrom[std::min(static_cast<std::size_t>(sum), top)];
    keys[i] = PruneRow{x, n, sum, root, slab, i};
    // By slab, then F (to 256 steps): the rows of a tile need similar
    // leaves.
    order[i] = (static_cast<std::uint64_t>(slab) << 8 | static_cast<std::uint64_t>(root >> rootShift_)) << 10 |
               static_cast<std::uint64_t>(i);
  }
  SortByKeys(order, static_cast<std::size_t>(count), scratch, 10);
  for (int i = 0; i < count; ++i) sorted[i] = keys[order[i] & (kMaxBatch - 1)];
}

std::int64_t PrunedCodes::Nearest(const std::uint8_t* const* rows, int count, int* index,
                                  std::int64_t* distance) const {
  Lay();
  PruneRow sorted[kMaxBatch];
  Sort(rows, count, sorted);
  const std::int64_t computed = layout_.kernels->search(layout_, sorted, count, index, distance);
  Learn(computed, count);
  return computed;
}

void PrunedCodes::Observe(const std::uint8_t* const* rows, int count, const std::int64_t* distance) const {
  if (!Trying() || resting_.load(std::memory_order_relaxed) > 0 || count <= 0) return;
  const int n = std::min(count, kTrial);
  PruneRow sorted[kMaxBatch];
  Sort(rows, n, sorted);
  std::int64_t limit[kMaxBatch];
  const int d = layout_.dimension, shift = layout_.shift;
  for (int i = 0; i < n; ++i) {
    limit[i] = std::min<std::int64_t>((d * distance[sorted[i].slot]) >> (2 * shift), INT32_MAX);
  }
  // A little more than the leaves the final limits admit: the limits come
  // down as the search goes.
  Learn(EstimateTiles(layout_, sorted, limit, n) * 21 / 20, n);
}

void PrunedCodes::Lay() const {
  std::call_once(laid_, [this] { layout_.codes = LeafLayout(*codes_, order_, offset_, *layout_.kernels->layout); });
}

bool PrunedCodes::Trying() const { return trying_.load(std::memory_order_relaxed) && size_ < kWholeTrials; }

void PrunedCodes::Learn(std::int64_t computed, int count) const {
  // Shares in units of 1/65536; the threads' updates may overwrite each
  // other, which only blurs the average.
  const auto share = static_cast<int>(65536.0 * static_cast<double>(computed) / (static_cast<double>(count) * size_));
  const int average = (share + (kWeight - 1) * share_.load(std::memory_order_relaxed)) / kWeight;
  const int limit = static_cast<int>(65536.0 * payLimit_);
  share_.store(average > limit ? limit : average, std::memory_order_relaxed);
  if (average > limit) {
    const int rest = std::min(2 * rest_.load(std::memory_order_relaxed), kLongestRest);
    rest_.store(rest, std::memory_order_relaxed);
    resting_.store(rest, std::memory_order_relaxed);
    trying_.store(true, std::memory_order_relaxed);
  } else {
    rest_.store(kRest / 2, std::memory_order_relaxed);
    trying_.store(false, std::memory_order_relaxed);
  }
}

}  // namespace cbdetail

}  // namespace mirvo
