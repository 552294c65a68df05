#include "engine/centroid_sums.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

#include "engine/workers.h"
#include "records/arithmetic.h"

namespace mirvo {

namespace {

using cbdetail::AddWrapped;

// Sums for every partition are kept while they take at most this much.
constexpr std::uint64_t kEveryPartition = std::uint64_t{1} << 20;

// Row r times its frequency into the 64-bit sums of its slot, with
// wrap-around.
template <class Element>
void AddWide(const RowBlock& rows, const int* freqs, const int* slotOf, std::int64_t* sums, int* totals) {
  const auto d = static_cast<std::size_t>(rows.dimension);
  for (int r = 0; r < rows.count; ++r) {
    const auto* row = reinterpret_cast<const Element*>(rows.Row(r));
    auto* s = reinterpret_cast<std::uint64_t*>(sums + static_cast<std::size_t>(slotOf[r]) * d);
    const int freq = freqs == nullptr ? 1 : freqs[r];
    const auto f = static_cast<std::uint64_t>(std::int64_t{freq});
    for (std::size_t k = 0; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]}) * f;
    AddWrapped(totals[slotOf[r]], freq);
  }
}

// The largest magnitude the rows' products can add to a sum, and freqs, or
// null when every one of them is 1 (the adders' shorter loop).
std::int64_t Magnitude(int count, const int*& freqs) {
  if (freqs == nullptr) return count;
  std::int64_t magnitude = 0;
  int ones = 0;
  for (int r = 0; r < count; ++r) {
    magnitude += std::abs(std::int64_t{freqs[r]});
    ones += freqs[r] == 1 ? 1 : 0;
  }
  if (ones == count) freqs = nullptr;
  return magnitude;
}

}  // namespace

CentroidSums::Impl::Impl(int partitions, int dimension)
    : dimension_(static_cast<std::size_t>(dimension)), partitions_(partitions), kernels_(cbdetail::ActiveKernels()) {
  if (static_cast<std::uint64_t>(partitions) * (8 * dimension_ + 4) <= kEveryPartition) {
    Grow(partitions);
  } else {
    slots_.emplace(partitions);
  }
}

int CentroidSums::Impl::SlotOf(int partition) const { return slots_ ? slots_->Find(partition) : partition; }

int CentroidSums::Impl::SlotFor(int partition) {
  if (!slots_) return partition;
  int slot = partition;
  slots_->Map(&slot, 1);
  Grow(slots_->Count());
  return slot;
}

void CentroidSums::Impl::Grow(int slots) {
  const auto n = static_cast<std::size_t>(slots);
  if (n <= freqs_.size()) return;
  sums_.resize(n * dimension_, 0);
  // The 32-bit sums keep the shape of the 64-bit ones.
  if (!narrow_.empty()) narrow_.resize(sums_.size(), 0);
  freqs_.resize(n, 0);
}

void CentroidSums::Impl::Fold() const {
  if (bound_ == 0) return;
  for (std::size_t i = 0; i < sums_.size(); ++i) {
    AddWrapped(sums_[i], std::int64_t{narrow_[i]});
    narrow_[i] = 0;
  }
  bound_ = 0;
}

void CentroidSums::Impl::AddToSlots(const RowBlock& rows, const int* freqs, const int* slotOf) {
  const int count = rows.count;
  // Elements of one or two bytes are unsigned: while the magnitudes of the
  // frequencies, times the largest element, stay below 2^31, the sums fit in
  // 32 bits. Such rows are added into 32-bit sums, half the width to carry,
  // which are folded into the 64-bit ones only when they could overflow or
  // are read; that is worth it while the slots are few beside the rows.
  if (rows.width <= 2 && static_cast<std::int64_t>(freqs_.size()) <= count / 4) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    const std::int64_t bound = Magnitude(count, freqs) * (rows.width == 1 ? 0xFF : 0xFFFF);
    if (bound_ + bound > kLimit) Fold();
    bool narrow = bound <= kLimit;
    try {
      if (narrow) narrow_.resize(sums_.size());
    } catch (const std::bad_alloc&) {
      narrow = false;  // the wide sums alone, then
    }
    if (narrow) {
      kernels_.narrow(rows, freqs, slotOf, narrow_.data(), freqs_.data());
      bound_ += bound;
      return;
    }
  }
  switch (rows.width) {
    case 1:
      return AddWide<std::uint8_t>(rows, freqs, slotOf, sums_.data(), freqs_.data());
    case 2:
      return AddWide<std::uint16_t>(rows, freqs, slotOf, sums_.data(), freqs_.data());
    default:
      return AddWide<std::int32_t>(rows, freqs, slotOf, sums_.data(), freqs_.data());
  }
}

CentroidSums::CentroidSums(int partitions, int dimension) : impl_(std::make_unique<Impl>(partitions, dimension)) {}
CentroidSums::~CentroidSums() = default;
CentroidSums::CentroidSums(CentroidSums&&) noexcept = default;
CentroidSums& CentroidSums::operator=(CentroidSums&&) noexcept = default;

int CentroidSums::Partitions() const { return impl_->partitions_; }
int CentroidSums::Dimension() const { return static_cast<int>(impl_->dimension_); }

void CentroidSums::Add(const RowBlock& rows, const int* freqs, const int* partitionOf) {
  Impl& s = *impl_;
  if (rows.count <= 0) return;
  if (!s.slots_) return s.AddToSlots(rows, freqs, partitionOf);
  // The slots of the partitions met, grown before anything is added.
  s.slotOf_.assign(partitionOf, partitionOf + rows.count);
  s.slots_->Map(s.slotOf_.data(), s.slotOf_.size());
  s.Grow(s.slots_->Count());
  s.AddToSlots(rows, freqs, s.slotOf_.data());
}

bool CentroidSums::AddInParallel(const RowBlock& rows, const int* freqs, const int* partitionOf, WorkWatch* watch) {
  cbdetail::SumsPerThread threads(*this, ThreadCount());
  const bool done = cbdetail::ParallelParts(rows.count, watch, [&](int begin, int end, int slot) {
    threads.Add(slot, rows.Part(begin, end - begin), freqs != nullptr ? freqs + begin : nullptr, partitionOf + begin);
  });
  threads.Merge();
  return done;
}

void CentroidSums::Merge(const CentroidSums& other) {
  const Impl& o = *other.impl_;
  o.Fold();
  const std::size_t d = impl_->dimension_;
  auto add = [&](int partition, int from) {
    const int to = impl_->SlotFor(partition);
    impl_->Fold();
    std::int64_t* sum = impl_->sums_.data() + static_cast<std::size_t>(to) * d;
    const std::int64_t* given = o.sums_.data() + static_cast<std::size_t>(from) * d;
    for (std::size_t k = 0; k < d; ++k) AddWrapped(sum[k], given[k]);
    AddWrapped(impl_->freqs_[static_cast<std::size_t>(to)], o.freqs_[static_cast<std::size_t>(from)]);
  };
  if (o.slots_) {
    for (const auto& [partition, slot] : o.slots_->InOrder()) add(partition, slot);
  } else {
    for (int p = 0; p < o.partitions_; ++p) add(p, p);
  }
}

std::vector<int> CentroidSums::Positive() const {
  std::vector<int> positive;
  auto keep = [&](int partition, int slot) {
    if (impl_->freqs_[static_cast<std::size_t>(slot)] > 0) positive.push_back(partition);
  };
  if (impl_->slots_) {
    for (const auto& [partition, slot] : impl_->slots_->InOrder()) keep(partition, slot);
  } else {
    for (int p = 0; p < impl_->partitions_; ++p) keep(p, p);
  }
  return positive;
}

int CentroidSums::Freq(int partition) const {
  const int slot = impl_->SlotOf(partition);
  return slot < 0 ? 0 : impl_->freqs_[static_cast<std::size_t>(slot)];
}

const std::int64_t* CentroidSums::Sum(int partition) const {
  const int slot = impl_->SlotOf(partition);
  if (slot < 0) return nullptr;
  impl_->Fold();
  return impl_->sums_.data() + static_cast<std::size_t>(slot) * impl_->dimension_;
}

void CentroidSums::Set(int partition, const std::int64_t* sums, int freq) {
  const int slot = impl_->SlotFor(partition);
  impl_->Fold();
  std::copy_n(sums, impl_->dimension_, impl_->sums_.data() + static_cast<std::size_t>(slot) * impl_->dimension_);
  impl_->freqs_[static_cast<std::size_t>(slot)] = freq;
}

int CentroidSums::Centroid(int partition, int* vector) const {
  return cbdetail::Centroid(Sum(partition), Freq(partition), impl_->dimension_, vector);
}

namespace cbdetail {

SumsPerThread::SumsPerThread(CentroidSums& into, int threads) : into_(into) {
  for (int t = 1; t < threads; ++t) others_.emplace_back(into.Partitions(), into.Dimension());
}

void SumsPerThread::Add(int slot, const RowBlock& rows, const int* freqs, const int* partitionOf) {
  (slot == 0 ? into_ : others_[static_cast<std::size_t>(slot - 1)]).Add(rows, freqs, partitionOf);
}

void SumsPerThread::Merge() {
  for (const CentroidSums& other : others_) into_.Merge(other);
  others_.clear();
}

namespace {

int PartitionOfEntry(std::uint64_t entry) { return static_cast<int>(entry >> 32); }
int SlotOfEntry(std::uint64_t entry) { return static_cast<int>(entry & 0xFFFFFFFFu) - 1; }

}  // namespace

int PartitionSlots::Find(int partition) const {
  const auto p = static_cast<std::size_t>(partition);
  if (p < direct_.size()) return direct_[p];
  const std::uint64_t entry = table_[Place(partition)];
  return entry != 0 ? SlotOfEntry(entry) : -1;
}

std::size_t PartitionSlots::Place(int partition) const {
  // Fibonacci hashing: the top bits of the product.
  std::size_t at = static_cast<std::size_t>((static_cast<std::uint32_t>(partition) * 0x9E3779B97F4A7C15ULL) >> shift_);
  while (table_[at] != 0 && PartitionOfEntry(table_[at]) != partition) at = (at + 1) & (table_.size() - 1);
  return at;
}

void PartitionSlots::Insert(int partition, int slot) {
  // Kept at most half full, so that a search ends soon.
  if ((hashed_ + 1) * 2 > table_.size()) {
    std::vector<std::uint64_t> old(table_.size() * 2, 0);
    old.swap(table_);
    --shift_;
    hashed_ = 0;
    for (const std::uint64_t entry : old) {
      if (entry != 0) Insert(PartitionOfEntry(entry), SlotOfEntry(entry));
    }
  }
  table_[Place(partition)] =
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(partition)) << 32) | static_cast<std::uint32_t>(slot + 1);
  ++hashed_;
}

void PartitionSlots::Map(int* partitionOf, std::size_t count) {
  const int* direct = direct_.data();
  std::size_t covered = direct_.size();
  for (std::size_t i = 0; i < count; ++i) {
    const auto p = static_cast<std::size_t>(partitionOf[i]);
    if (p < covered && direct[p] >= 0) {
      partitionOf[i] = direct[p];
      continue;
    }
    partitionOf[i] = Add(partitionOf[i]);
    direct = direct_.data();
    covered = direct_.size();
  }
}

int PartitionSlots::Add(int partition) {
  const auto p = static_cast<std::size_t>(partition);
  if (p >= direct_.size()) {
    const std::uint64_t entry = table_[Place(partition)];
    if (entry != 0) return SlotOfEntry(entry);
  }
  const int slot = count_++;
  if (p < direct_.size()) {
    direct_[p] = slot;
  } else {
    Insert(partition, slot);
  }
  Widen();
  return slot;
}

// The plain index grows (at least twice as large each time) with the
// partitions met; those it comes to cover move over from the hash table.
void PartitionSlots::Widen() {
  constexpr std::size_t kLeast = std::size_t{1} << 16;
  const std::size_t want = std::min(partitions_, std::max(kLeast, 16 * static_cast<std::size_t>(count_)));
  if (want <= direct_.size() || (want < 2 * direct_.size() && want < partitions_)) return;
  direct_.resize(want, -1);
  if (hashed_ == 0) return;
  std::vector<std::uint64_t> old(16, 0);
  old.swap(table_);
  shift_ = 60;
  hashed_ = 0;
  for (const std::uint64_t entry : old) {
    if (entry == 0) continue;
    const auto p = static_cast<std::size_t>(PartitionOfEntry(entry));
    if (p < want) {
      direct_[p] = SlotOfEntry(entry);
    } else {
      Insert(PartitionOfEntry(entry), SlotOfEntry(entry));
    }
  }
}

std::vector<std::pair<int, int>> PartitionSlots::InOrder() const {
  std::vector<std::pair<int, int>> met;
  met.reserve(static_cast<std::size_t>(count_));
  for (std::size_t p = 0; p < direct_.size(); ++p) {
    if (direct_[p] >= 0) met.emplace_back(static_cast<int>(p), direct_[p]);
  }
  for (const std::uint64_t entry : table_) {
    if (entry != 0) met.emplace_back(PartitionOfEntry(entry), SlotOfEntry(entry));
  }
  std::sort(met.begin(), met.end());
  return met;
}

}  // namespace cbdetail

}  // namespace mirvo
