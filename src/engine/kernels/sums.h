// The 32-bit partition sums (NarrowSums8 and NarrowSums16 of the table),
// written once for both vector widths: kernels/avx2.cpp and
// kernels/avx512.cpp each include it once, after defining MIRVO_SUMS_TARGET
// (the target attribute of their instruction set) and the class Lanes of
// their vectors:
//   V                a vector of 32-bit lanes; kLanes lanes
//   LoadU, StoreU, Add, MulLow, Broadcast
//   Widen(e)         kLanes elements (uint8_t or uint16_t) from e as 32-bit lanes
// Everything here has internal linkage: each instruction set gets its own
// copy, compiled for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/arithmetic.h"

namespace mirvo {

namespace cbdetail {

namespace {

// Row r of rows (count rows of d elements, stride elements apart) times
// freqs[r] (1 when freqs is null) into the 32-bit sums of partition
// partitionOf[r], kLanes elements at a time, the rest one by one.
template <class Element>
MIRVO_SUMS_TARGET void AddNarrow(const Element* rows, std::size_t d, std::size_t stride, int count, const int* freqs,
                                 const int* partitionOf, std::int32_t* sums, int* totals) {
  constexpr auto kStep = static_cast<std::size_t>(Lanes::kLanes);
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * stride;
    std::int32_t* s = sums + static_cast<std::size_t>(partitionOf[r]) * d;
    const int freq = freqs == nullptr ? 1 : freqs[r];
    const auto f = Lanes::Broadcast(freq);
    std::size_t k = 0;
    for (; k + kStep <= d; k += kStep) {
      const auto e = freq == 1 ? Lanes::Widen(row + k) : Lanes::MulLow(Lanes::Widen(row + k), f);
      Lanes::StoreU(s + k, Lanes::Add(Lanes::LoadU(s + k), e));
    }
    for (; k < d; ++k) s[k] += std::int32_t{row[k]} * freq;
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

}  // namespace

}  // namespace cbdetail

}  // namespace mirvo
