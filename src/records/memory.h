// Allocation of the records' arrays, vectors and names, and the exchange of
// entries between codebook records.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

// A new array of n elements, contents unset. An allocation that fails ends
// the process after the given message.
template <class T>
std::unique_ptr<T[]> NewArray(std::size_t n, const char* failureMessage) {
  try {
    return std::make_unique_for_overwrite<T[]>(n);
  } catch (const std::bad_alloc&) {
    ErrorMessage("%s", failureMessage);
    ExitProcessing(-1);
  }
}

// As NewArray, with every element zero.
template <class T>
std::unique_ptr<T[]> NewZeroArray(std::size_t n, const char* failureMessage) {
  try {
    return std::make_unique<T[]>(n);
  } catch (const std::bad_alloc&) {
    ErrorMessage("%s", failureMessage);
    ExitProcessing(-1);
  }
}

// Dimension as an unsigned size for indexing.
inline std::size_t Dim(const Codebook* cb) {
  return static_cast<std::size_t>(cb->VectorSizeX) * static_cast<std::size_t>(cb->VectorSizeY);
}

// Owned copy of a zero-terminated text.
char* CopyName(const char* text);
void ReleaseName(char* name);

// Exchanges the entries (Book, AllocatedSize and the storage behind them) of
// two records; the headers stay.
void ExchangeBooks(Codebook* a, Codebook* b);

// Messages of the allocations that fail.
inline constexpr const char* kPartitionMemory = "ERROR: Not enough memory for the partitioning.\n";
inline constexpr const char* kVectorMemory = "ERROR: Not enough memory for new vector element.\n";

}  // namespace cbdetail

}  // namespace mirvo
