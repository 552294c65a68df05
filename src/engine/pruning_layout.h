// The layout of the pruned byte search (pruning.h) as its tile search
// (kernels/tiles.h, an entry of the kernel table) reads it: a tile of
// training vectors walks the slabs and leaves of the layout, skipping every
// leaf whose bounds exclude all of its rows, and computes the others with
// the instruction set the layout was prepared for.
//
// Keys are the S and F of pruning.h divided by 2^shift (rounded down), so
// that they lie in 0 .. 32640 and their squared gaps add up inside 32 bits;
// they are packed as S | F << 16. A leaf's and a slab's ranges are widened
// by the slack their keys need for the gap to stay a lower bound (1 for F,
// whose root is rounded down; 1 for S once it is divided), within 0 ..
// 32641. A bound, the sum of the two squared gaps, is compared with the
// row's limit, D times its best distance divided by 4^shift (rounded down,
// at most INT32_MAX): a leaf whose bound exceeds it holds only code vectors
// strictly farther than the best.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/byte_codes.h"
#include "engine/kernels.h"

namespace mirvo {

namespace cbdetail {

// Code vectors per leaf: the kernels compute a leaf whole.
constexpr int kLeafCodes = 16;
// Elements of the longest vector pruned.
constexpr int kMaxPrunedDimension = 256;

// Packed keys.
constexpr std::uint32_t Packed(std::int32_t sum, std::int32_t root) {
  return static_cast<std::uint32_t>(sum) | static_cast<std::uint32_t>(root) << 16;
}

// The leaves' ranges (packed, widened by the slack), the high end of their
// F alone and their code vectors, leaf by leaf; followed by 16 copies of
// the last leaf, so that the kernels may read 16 leaves from any leaf on.
struct PruneLeaves {
  std::vector<std::uint32_t> low, high;
  std::vector<std::int32_t> highRoot, codes;
};

// Consecutive leaves of similar S, sorted by F: the range of S of its leaves
// (widened by the slack), alone and packed with the whole range of F.
struct PruneSlab {
  std::int32_t lowSum, highSum;
  std::uint32_t low, high;
  int first, count;  // leaves
};

// The code vectors in leaf order (leaf k at places 16 k ...), laid out as
// the tile search of a level takes them (byte_codes.h: blocks of 16 code
// vectors for AVX-512 and without SIMD, of 8 for AVX-VNNI and AVX2), with
// the index of each place and whole leaves.
struct PruneLayout {
  const PruneKernels* kernels = nullptr;  // the tile search and its layout
  int dimension = 0;
  int shift = 0;
  std::unique_ptr<ByteCodes> codes;
  PruneLeaves leaves;
  std::vector<PruneSlab> slabs;
  // For each key S from 0 to the largest high end of a slab's S: the first
  // slab whose S reaches it (or the last), and the last slab whose S starts
  // at it or below (or the first).
  std::vector<std::uint16_t> slabFrom, slabTo;
};

// A training vector as the tile search takes it: its bytes, |x|^2, its keys
// S and F (divided as the layout's), the slab whose S reaches its own (or
// the last), and where its answer goes.
struct PruneRow {
  const std::uint8_t* bytes;
  std::int64_t norm;
  std::int32_t sum, root;
  int slab, slot;
};

}  // namespace cbdetail

}  // namespace mirvo
