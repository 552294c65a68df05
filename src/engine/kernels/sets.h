// The kernels of each instruction set, as the table (engine/kernels.cpp)
// takes them; their contracts are those of the table's entries. The x86 sets
// exist on x86-64 only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/byte_codes.h"
#include "engine/kernels.h"

namespace mirvo {

namespace cbdetail {

// The rows of one- or two-byte elements to add(data, d, stride) as their
// type, the stride in elements: the narrow sums of every set.
template <class Add>
void ByWidth(const RowBlock& rows, Add add) {
  const auto d = static_cast<std::size_t>(rows.dimension);
  const std::size_t stride = rows.stride / static_cast<std::size_t>(rows.width);
  if (rows.width == 1) {
    add(static_cast<const std::uint8_t*>(rows.data), d, stride);
  } else {
    add(static_cast<const std::uint16_t*>(rows.data), d, stride);
  }
}

namespace portable {
void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance);
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance);
void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals);
}  // namespace portable

#if defined(__x86_64__)
namespace avx2 {
void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance);
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance);
void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals);
}  // namespace avx2

// The VNNI kernels (kernels/vnni.h) on 256-bit and 512-bit vectors; the
// tile search of every set is kernels/tiles.cpp.
namespace avxvnni {
inline constexpr int kLanes = 8, kTileRows = 4, kPanelBlocks = 3, kPanel = kLanes * kPanelBlocks;
void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance);
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance);
}  // namespace avxvnni
namespace avx512 {
inline constexpr int kLanes = 16, kTileRows = 6, kPanelBlocks = 4, kPanel = kLanes * kPanelBlocks;
void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance);
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance);
void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals);
}  // namespace avx512

namespace vbmi {
int Lines(const unsigned char* line, int want, std::uint32_t partitions, int* out, std::size_t& used);
}  // namespace vbmi
#endif

}  // namespace cbdetail

}  // namespace mirvo
