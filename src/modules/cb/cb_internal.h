// Helpers shared by the sources of the cb module; not part of its interface.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "cb/cb.h"
#include "interfc/interfc.h"

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

// Adds with wrap-around instead of undefined overflow. The readers refuse
// data whose sums could leave the 64-bit range, so the wrap never shows.
inline void AddWrapped(std::int64_t& sum, std::int64_t value) {
  sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(sum) + static_cast<std::uint64_t>(value));
}
inline void AddWrapped(int& sum, int value) {
  sum = static_cast<int>(static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(value));
}

// Owned copy of a zero-terminated text.
char* CopyName(const char* text);
void ReleaseName(char* name);

// Truncation toward zero of a double to an int; values beyond the int range
// (only reachable through frequencies of mixed sign) are clamped.
inline int TruncateToInt(double x) {
  if (!(x > -2147483649.0)) return x != x ? 0 : std::numeric_limits<int>::min();
  if (!(x < 2147483648.0)) return std::numeric_limits<int>::max();
  return static_cast<int>(x);
}

// Average as the library rounds it: the sum as a double, divided by the
// count, plus 0.5, truncated toward zero.
inline int RoundedMean(std::int64_t sum, double count) {
  return TruncateToInt(static_cast<double>(sum) / count + 0.5);
}

// A partitioning record with the given number of empty partitions and every
// training vector unassigned.
void AllocatePartitioning(Partitioning* p, const Codebook* ts, int partitionCount);

// The training vector's contribution to a partition's sums.
void AddContribution(const Codebook* ts, Partitioning* p, int partition, int vector);
void RemoveContribution(const Codebook* ts, Partitioning* p, int partition, int vector);

}  // namespace cbdetail
