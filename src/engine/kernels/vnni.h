// The byte search of the VNNI levels, written once for both vector widths
// (the Quads layout, byte_codes.h). kernels/avx512.cpp and
// kernels/avxvnni.cpp each include it once, after defining MIRVO_VNNI_TARGET
// (the target attribute of their instruction set), MIRVO_VNNI_SET (the
// namespace of their entry points in kernels/sets.h) and the class Vnni of
// their vectors:
//   V, Mask          a vector of 32-bit lanes, and a mask of lanes
//   kLanes           lanes of V: code vectors of a block
//   kTileRows        training vectors of a tile
//   kPanelBlocks     blocks of a panel
//   Load, LoadU, Store, Broadcast, Add, Max (of 32-bit lanes)
//   Dot(acc, c, x)   acc + the dot products of 4 unsigned bytes of c with
//                    4 signed bytes of x, per lane (vpdpbusd)
//   Greater(a, b), Equal(a, b)  the lanes where a > b, a == b
//   Select(m, a, b)  a where m, else b
//   ReduceMax(v), ReduceMin(v)  over the lanes
// Everything here has internal linkage: each instruction set gets its own
// copy, compiled for it.
//
// The kernel is register blocked like an integer matrix product: a tile of
// kTileRows training vectors against a panel of kPanelBlocks blocks keeps
// its accumulators in registers over the whole dot product (24 for AVX-512,
// 12 for AVX-VNNI), so that every code row loaded serves every training
// vector of the tile and every broadcast element every block; the training
// vectors come in chunks that stay in the first-level cache while the
// panels pass over them; each vector keeps its best value and index per
// lane, folded in per panel without a branch, so that nothing is
// mispredicted when a panel brings a new best, and reduced over the lanes at
// the end.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

#include "engine/byte_codes.h"

#define MIRVO_VNNI_INLINE MIRVO_VNNI_TARGET inline __attribute__((always_inline))

namespace mirvo {

namespace cbdetail {

namespace {

using V = Vnni::V;
using Mask = Vnni::Mask;
constexpr int kLanes = Vnni::kLanes;
constexpr int kTileRows = Vnni::kTileRows;
constexpr int kPanelBlocks = Vnni::kPanelBlocks;
constexpr int kPanel = kLanes * kPanelBlocks;
// Training vectors per chunk at most (fewer when they are long), and the
// 32-bit words of a chunk's packed vectors.
constexpr int kChunk = 240;
constexpr int kChunkWords = 12288;

// Folds one training vector's accumulators of a panel into its best value
// and index per lane. The kernel maximises g = 2 acc - b = -f; the
// accumulators start at -ceil(b / 2) (codes.base), so that they end at
// h = floor(g / 2) and g = 2 h + (b odd) (codes.odd). Lane l of block k sees
// the code vectors first + kLanes k + l in index order and takes only a
// strictly larger g, keeping the first block at its largest value (laneAt
// holds that block's first index).
MIRVO_VNNI_INLINE void Fold(const V* h, const std::int32_t* odd, int first, V* laneG, V* laneAt) {
  V best = Vnni::Load(laneG), at = Vnni::Load(laneAt);
#pragma GCC unroll 4
  for (int k = 0; k < kPanelBlocks; ++k) {
    const V g = Vnni::Add(Vnni::Add(h[k], h[k]), Vnni::LoadU(odd + kLanes * k));
    const Mask more = Vnni::Greater(g, best);
    at = Vnni::Select(more, Vnni::Broadcast(first + kLanes * k), at);
    best = Vnni::Max(best, g);
  }
  Vnni::Store(laneG, best);
  Vnni::Store(laneAt, at);
}

// One tile: kTileRows training vectors (packed words, `groups` per vector)
// against one panel, the accumulators in registers for the whole dot
// product.
MIRVO_VNNI_INLINE void TileOnPanel(const V* panel, int groups, const std::int32_t* q, const std::int32_t* base,
                                   const std::int32_t* odd, int first, V* laneG, V* laneAt) {
  const auto step = static_cast<std::size_t>(groups);
  V acc[kTileRows][kPanelBlocks];
#pragma GCC unroll 8
  for (int r = 0; r < kTileRows; ++r) {
#pragma GCC unroll 4
    for (int b = 0; b < kPanelBlocks; ++b) acc[r][b] = Vnni::LoadU(base + kLanes * b);
  }
  for (int t = 0; t < groups; ++t) {
    V c[kPanelBlocks];
#pragma GCC unroll 4
    for (int b = 0; b < kPanelBlocks; ++b) c[b] = Vnni::Load(panel + b * step + t);
#pragma GCC unroll 8
    for (int r = 0; r < kTileRows; ++r) {
      const V x = Vnni::Broadcast(q[r * step + t]);
#pragma GCC unroll 4
      for (int b = 0; b < kPanelBlocks; ++b) acc[r][b] = Vnni::Dot(acc[r][b], c[b], x);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < kTileRows; ++r) Fold(acc[r], odd, first, laneG + r, laneAt + r);
}

// The lowest index among the lanes at the best value.
MIRVO_VNNI_INLINE std::int32_t LowestAtBest(V g, std::int32_t best, V at) {
  return Vnni::ReduceMin(Vnni::Select(Vnni::Equal(g, Vnni::Broadcast(best)), at, Vnni::Broadcast(INT32_MAX)));
}

// Every panel over the `count` packed training vectors of a chunk, tile by
// tile, then each vector's best over its lanes: the largest g, and the
// lowest index among the lanes that hold it.
__attribute__((noinline)) MIRVO_VNNI_TARGET void Panels(const ByteCodes& codes, const std::int32_t* q, int count,
                                                        std::int32_t* bestG, int* bestIndex) {
  const int groups = codes.groups;
  const auto* blocks = reinterpret_cast<const V*>(codes.data);
  alignas(64) V laneG[kChunk];
  alignas(64) V laneAt[kChunk];
  for (int v = 0; v < count; ++v) {
    laneG[v] = Vnni::Broadcast(INT32_MIN);
    laneAt[v] = Vnni::Broadcast(0);
  }
  for (int panel = 0; panel < codes.padded; panel += kPanel) {
    const V* rows = blocks + static_cast<std::size_t>(panel / kLanes) * groups;
    for (int v = 0; v < count; v += kTileRows) {
      TileOnPanel(rows, groups, q + static_cast<std::size_t>(v) * groups, codes.base.data() + panel,
                  codes.odd.data() + panel, panel, laneG + v, laneAt + v);
    }
  }
  alignas(64) std::int32_t lane[kLanes];
  for (int l = 0; l < kLanes; ++l) lane[l] = l;
  const V lanes = Vnni::Load(lane);
  for (int v = 0; v < count; ++v) {
    bestG[v] = Vnni::ReduceMax(laneG[v]);
    bestIndex[v] = LowestAtBest(laneG[v], bestG[v], Vnni::Add(laneAt[v], lanes));
  }
}

// The byte search over a layout in index order: training vectors in chunks
// that stay in the first-level cache; a last tile that is not full repeats
// the chunk's last vector.
void NearestVnni(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                 std::int64_t* distance) {
  const int groups = codes.groups;
  alignas(64) std::int32_t q[kChunkWords];
  std::int32_t bestG[kChunkWords / 4];
  int bestIndex[kChunkWords / 4];
  const int chunk = std::max(kTileRows, std::min(kChunk, kChunkWords / groups) / kTileRows * kTileRows);
  for (int first = 0; first < count; first += chunk) {
    const int n = std::min(chunk, count - first);
    const int tiles = (n + kTileRows - 1) / kTileRows;
    for (int v = 0; v < tiles * kTileRows; ++v) {
      PackQuads(rows[first + std::min(v, n - 1)], codes.dimension, groups, q + static_cast<std::size_t>(v) * groups);
    }
    Panels(codes, q, tiles * kTileRows, bestG, bestIndex);
    for (int v = 0; v < n; ++v) {
      index[first + v] = bestIndex[v];
      distance[first + v] = SquareNorm(rows[first + v], codes.dimension) - std::int64_t{bestG[v]};
    }
  }
}

}  // namespace

namespace MIRVO_VNNI_SET {

void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) {
  NearestVnni(codes, rows, count, index, distance);
}

}  // namespace MIRVO_VNNI_SET

}  // namespace cbdetail

}  // namespace mirvo

#undef MIRVO_VNNI_INLINE
