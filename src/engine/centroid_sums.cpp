#include "engine/centroid_sums.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "engine/kernels.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"

namespace mirvo {

namespace cbdetail {
namespace {

// Row r times its frequency into the 64-bit sums of its partition, with
// wrap-around.
template <class Element>
void AddWide(const Element* rows, std::size_t d, std::size_t stride, int count, const int* freqs,
             const int* partitionOf, std::int64_t* sums, int* totals) {
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * stride;
    auto* s = reinterpret_cast<std::uint64_t*>(sums + static_cast<std::size_t>(partitionOf[r]) * d);
    const int freq = freqs == nullptr ? 1 : freqs[r];
    const auto f = static_cast<std::uint64_t>(std::int64_t{freq});
    for (std::size_t k = 0; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]}) * f;
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

}  // namespace

CentroidSums::CentroidSums(int partitions, std::size_t dimension) : dimension_(dimension) {
  sums_.assign(static_cast<std::size_t>(partitions) * dimension, 0);
  freqs_.assign(static_cast<std::size_t>(partitions), 0);
}

void CentroidSums::Add(const void* rows, int width, int count, const int* freqs, const int* partitionOf,
                       std::size_t stride) {
  // Rows apart by `stride` bytes, or packed.
  const std::size_t step = stride == 0 ? dimension_ : stride / static_cast<std::size_t>(width <= 2 ? width : 4);
  // Elements of one or two bytes are unsigned: while the magnitudes of the
  // frequencies, times the largest element, stay below 2^31, the sums fit in
  // 32 bits. Such rows are added into 32-bit sums, half the width to carry,
  // which are folded into the 64-bit ones only when they could overflow or
  // are read; that is worth it while the partitions are few beside the rows.
  if (width <= 2 && static_cast<std::int64_t>(freqs_.size()) <= count / 4) {
    std::int64_t magnitude = count;
    if (freqs != nullptr) {
      magnitude = 0;
      int ones = 0;
      for (int r = 0; r < count; ++r) {
        magnitude += std::abs(std::int64_t{freqs[r]});
        ones += freqs[r] == 1 ? 1 : 0;
      }
      if (ones == count) freqs = nullptr;  // the adders' shorter loop
    }
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    const std::int64_t bound = magnitude * (width == 1 ? 0xFF : 0xFFFF);
    if (bound_ + bound > kLimit) Fold();
    bool narrow = bound <= kLimit;
    try {
      if (narrow) narrow_.resize(sums_.size());
    } catch (const std::bad_alloc&) {
      narrow = false;  // the wide sums alone, then
    }
    if (narrow) {
      const Kernels& kernels = ActiveKernels();
      if (width == 1) {
        kernels.narrow8(static_cast<const std::uint8_t*>(rows), dimension_, step, count, freqs, partitionOf,
                        narrow_.data(), freqs_.data());
      } else {
        kernels.narrow16(static_cast<const std::uint16_t*>(rows), dimension_, step, count, freqs, partitionOf,
                         narrow_.data(), freqs_.data());
      }
      bound_ += bound;
      return;
    }
  }
  switch (width) {
    case 1:
      AddWide(static_cast<const std::uint8_t*>(rows), dimension_, step, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
    case 2:
      AddWide(static_cast<const std::uint16_t*>(rows), dimension_, step, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
    default:
      AddWide(static_cast<const std::int32_t*>(rows), dimension_, step, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
  }
}

void CentroidSums::Fold() const {
  if (bound_ == 0) return;
  for (std::size_t i = 0; i < sums_.size(); ++i) {
    AddWrapped(sums_[i], std::int64_t{narrow_[i]});
    narrow_[i] = 0;
  }
  bound_ = 0;
}

void CentroidSums::Grow(int partitions) {
  const auto n = static_cast<std::size_t>(partitions);
  if (n <= freqs_.size()) return;
  sums_.resize(n * dimension_, 0);
  // The 32-bit sums keep the shape of the 64-bit ones.
  if (!narrow_.empty()) narrow_.resize(sums_.size(), 0);
  freqs_.resize(n, 0);
}

namespace {

int PartitionOfEntry(std::uint64_t entry) { return static_cast<int>(entry >> 32); }
int SlotOfEntry(std::uint64_t entry) { return static_cast<int>(entry & 0xFFFFFFFFu) - 1; }

}  // namespace

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

void CentroidSums::Merge(const CentroidSums& other) {
  Fold();
  other.Fold();
  for (std::size_t i = 0; i < sums_.size(); ++i) AddWrapped(sums_[i], other.sums_[i]);
  for (std::size_t k = 0; k < freqs_.size(); ++k) AddWrapped(freqs_[k], other.freqs_[k]);
}

int CentroidSums::Centroid(int partition, int* vector) const {
  return cbdetail::Centroid(Sum(partition), Freq(partition), dimension_, vector);
}

int Centroid(const std::int64_t* sums, int freq, std::size_t dimension, int* vector) {
  std::int64_t total = 0;
  for (std::size_t e = 0; e < dimension; ++e) {
    vector[e] = CentroidElement(sums[e], static_cast<double>(freq));
    total += vector[e];
  }
  return RoundedMean(total, static_cast<double>(dimension));
}

}  // namespace cbdetail

}  // namespace mirvo
