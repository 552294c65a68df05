#include "cb/centroid_sums.h"

#include <new>

#include "cb/cb_internal.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {
namespace {

template <class Element>
[[gnu::always_inline]] inline void AddRowsOf(const Element* rows, std::size_t d, int count, const int* freqs,
                                             const int* partitionOf, std::int64_t* sums, int* totals) {
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * d;
    auto* s = reinterpret_cast<std::uint64_t*>(sums + static_cast<std::size_t>(partitionOf[r]) * d);
    const int freq = freqs == nullptr ? 1 : freqs[r];
    // Blocks of 8 elements, so that short rows (16 elements, say) are added
    // in vector registers too.
    constexpr std::size_t kBlock = 8;
    std::size_t k = 0;
    if (freq == 1) {
      for (; k + kBlock <= d; k += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) s[k + j] += static_cast<std::uint64_t>(std::int64_t{row[k + j]});
      }
      for (; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]});
    } else {
      const std::int64_t f = freq;
      for (; k + kBlock <= d; k += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) s[k + j] += static_cast<std::uint64_t>(std::int64_t{row[k + j]} * f);
      }
      for (; k < d; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{row[k]} * f);
    }
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

// Built for AVX2 as well on x86-64, chosen when the processor has it: one
// function per width, as clang clones no function templates.
#if defined(__x86_64__)
#define MIRVO_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MIRVO_AVX2_CLONES
#endif
MIRVO_AVX2_CLONES void AddRows(const std::uint8_t* rows, std::size_t d, int count, const int* freqs,
                               const int* partitionOf, std::int64_t* sums, int* totals) {
  AddRowsOf(rows, d, count, freqs, partitionOf, sums, totals);
}
MIRVO_AVX2_CLONES void AddRows(const std::uint16_t* rows, std::size_t d, int count, const int* freqs,
                               const int* partitionOf, std::int64_t* sums, int* totals) {
  AddRowsOf(rows, d, count, freqs, partitionOf, sums, totals);
}
MIRVO_AVX2_CLONES void AddRows(const std::int32_t* rows, std::size_t d, int count, const int* freqs,
                               const int* partitionOf, std::int64_t* sums, int* totals) {
  AddRowsOf(rows, d, count, freqs, partitionOf, sums, totals);
}

}  // namespace

CentroidSums::CentroidSums(int partitions, std::size_t dimension) : dimension_(dimension) {
  sums_.assign(static_cast<std::size_t>(partitions) * dimension, 0);
  freqs_.assign(static_cast<std::size_t>(partitions), 0);
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

void CentroidSums::AddPartition() {
  sums_.resize(sums_.size() + dimension_, 0);
  freqs_.push_back(0);
}

void CentroidSums::Merge(const CentroidSums& other) {
  for (std::size_t i = 0; i < sums_.size(); ++i) AddWrapped(sums_[i], other.sums_[i]);
  for (std::size_t k = 0; k < freqs_.size(); ++k) AddWrapped(freqs_[k], other.freqs_[k]);
}

int CentroidSums::Centroid(int partition, int* vector) const {
  return cbdetail::Centroid(Sum(partition), Freq(partition), dimension_, vector);
}

int Centroid(const std::int64_t* sums, int freq, std::size_t dimension, int* vector) {
  std::int64_t total = 0;
  for (std::size_t e = 0; e < dimension; ++e) {
    vector[e] = RoundedMean(sums[e], static_cast<double>(freq));
    total += vector[e];
  }
  return RoundedMean(total, static_cast<double>(dimension));
}

}  // namespace cbdetail

}  // namespace mirvo
