// The kernels in plain C++, for every processor: the byte search on rows of
// bytes and the 32-bit sums.
#include <algorithm>
#include <climits>

#include "engine/kernels/sets.h"
#include "records/arithmetic.h"

namespace mirvo {

namespace cbdetail {

namespace {

template <class Element>
void AddRows(const Element* rows, std::size_t d, std::size_t stride, int count, const int* freqs,
             const int* partitionOf, std::int32_t* sums, int* totals) {
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * stride;
    std::int32_t* s = sums + static_cast<std::size_t>(partitionOf[r]) * d;
    const int freq = freqs == nullptr ? 1 : freqs[r];
    for (std::size_t k = 0; k < d; ++k) s[k] += std::int32_t{row[k]} * freq;
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

}  // namespace

namespace portable {

void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) {
  const int d = codes.dimension;
  for (int v = 0; v < count; ++v) {
    const std::uint8_t* q = rows[v];
    std::int32_t bestF = INT32_MAX;
    int best = 0;
    const std::uint8_t* row = codes.data;
    for (int j = 0; j < codes.size; ++j, row += d) {
      std::int32_t dot = 0;
      for (int k = 0; k < d; ++k) dot += std::int32_t{q[k]} * row[k];
      const std::int32_t f = codes.base[static_cast<std::size_t>(j)] - 2 * dot;
      if (f < bestF) {
        bestF = f;
        best = j;
      }
    }
    index[v] = best;
    distance[v] = std::int64_t{bestF} + SquareNorm(q, d);
  }
}

void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals) {
  ByWidth(rows, [&](const auto* data, std::size_t d, std::size_t stride) {
    AddRows(data, d, stride, rows.count, freqs, partitionOf, sums, totals);
  });
}

}  // namespace portable

}  // namespace cbdetail

}  // namespace mirvo
