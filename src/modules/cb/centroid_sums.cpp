#include "cb/centroid_sums.h"

#include <new>

#include "cb/cb_internal.h"
#include "interfc/interfc.h"

namespace cbdetail {
namespace {

template <class Element>
#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void AddRows(const Element* rows, std::size_t d, int count,
                                                                 const int* freqs, const int* partitionOf,
                                                                 std::int64_t* sums, int* totals) {
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * d;
    auto* s = reinterpret_cast<std::uint64_t*>(sums + static_cast<std::size_t>(partitionOf[r]) * d);
    const int freq = freqs == nullptr ? 1 : freqs[r];
    if (freq == 1) {
      for (std::size_t k = 0; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]});
    } else {
      const std::int64_t f = freq;
      for (std::size_t k = 0; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]} * f);
    }
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

}  // namespace

CentroidSums::CentroidSums(int partitions, std::size_t dimension) : dimension_(dimension) {
  try {
    sums_.assign(static_cast<std::size_t>(partitions) * dimension, 0);
    freqs_.assign(static_cast<std::size_t>(partitions), 0);
  } catch (const std::bad_alloc&) {
    ErrorMessage("ERROR: Not enough memory for the partitioning.\n");
    ExitProcessing(-1);
  }
}

void CentroidSums::Add(const void* rows, int width, int count, const int* freqs, const int* partitionOf) {
  switch (width) {
    case 1:
      AddRows(static_cast<const std::uint8_t*>(rows), dimension_, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
    case 2:
      AddRows(static_cast<const std::uint16_t*>(rows), dimension_, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
    default:
      AddRows(static_cast<const std::int32_t*>(rows), dimension_, count, freqs, partitionOf, sums_.data(),
              freqs_.data());
      break;
  }
}

void CentroidSums::Merge(const CentroidSums& other) {
  for (std::size_t i = 0; i < sums_.size(); ++i) AddWrapped(sums_[i], other.sums_[i]);
  for (std::size_t k = 0; k < freqs_.size(); ++k) AddWrapped(freqs_[k], other.freqs_[k]);
}

int CentroidSums::Centroid(int partition, int* vector) const {
  const std::int64_t* sum = Sum(partition);
  const auto freq = static_cast<double>(Freq(partition));
  std::int64_t total = 0;
  for (std::size_t e = 0; e < dimension_; ++e) {
    vector[e] = RoundedMean(sum[e], freq);
    total += vector[e];
  }
  return RoundedMean(total, static_cast<double>(dimension_));
}

}  // namespace cbdetail
