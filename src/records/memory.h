// Allocation of the records' arrays, vectors and names (with malloc, to be
// released with free: the rule mirvo/cb.h states), of scratch arrays, and
// the exchange of entries between codebook records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

// A scratch array of n elements, contents unset, owned by the caller. An
// allocation that fails ends the process after the given message.
template <class T>
std::unique_ptr<T[]> NewArray(std::size_t n, const char* failureMessage) {
  try {
    return std::make_unique_for_overwrite<T[]>(n);
  } catch (const std::bad_alloc&) {
    ErrorMessage("%s", failureMessage);
    ExitProcessing(-1);
  }
}

// Ends the process after the message (an allocation that failed).
[[noreturn]] void OutOfMemory(const char* failureMessage);

// malloc of n elements of a trivial type, contents unset; zeroed (calloc)
// when `zero` is set. Never null: n = 0 still gives an allocation of its own.
// Released with free. A size beyond memory ends the process after the
// message.
template <class T>
T* Allocate(std::size_t n, const char* failureMessage, bool zero = false) {
  static_assert(std::is_trivially_copyable_v<T>);
  const std::size_t count = n > 0 ? n : 1;
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) OutOfMemory(failureMessage);
  void* memory = zero ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
  if (memory == nullptr) OutOfMemory(failureMessage);
  return static_cast<T*>(memory);
}

// Dimension as an unsigned size for indexing.
inline std::size_t Dim(const Codebook* cb) {
  return static_cast<std::size_t>(cb->VectorSizeX) * static_cast<std::size_t>(cb->VectorSizeY);
}

// Own copy of a zero-terminated text (malloc, as strdup makes one); the
// text of `length` bytes when given.
char* CopyName(const char* text);
char* CopyName(const char* text, std::size_t length);

// Exchanges the entries (Book and AllocatedSize) of two records; the
// headers stay.
void ExchangeBooks(Codebook* a, Codebook* b);

// Messages of the allocations that fail.
inline constexpr const char* kPartitionMemory = "ERROR: Not enough memory for the partitioning.\n";
inline constexpr const char* kVectorMemory = "ERROR: Not enough memory for new vector element.\n";
inline constexpr const char* kBookMemory = "ERROR: allocate CB->Book\n";
inline constexpr const char* kNameMemory = "ERROR: Not enough memory for a vector name.\n";

}  // namespace cbdetail

}  // namespace mirvo
