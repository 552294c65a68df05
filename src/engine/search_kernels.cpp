// Byte kernels of the nearest search: exact squared distances of vectors
// whose elements (less a common offset) lie in 0..255, formed from dot
// products in 32-bit integers, with the same results on every level.
//
// Whatever the level, the kernel minimises f(c) = |c|^2 - 2 q.c over the
// code vectors c in index order (strictly smaller values win, so the lowest
// index at the minimum remains) and reports |q|^2 + f, the exact distance.
// The terms stay far inside the 32-bit range for the dimensions the search
// hands over (see kMaxByteDimension in search.cpp).
//
// Layouts:
// - AVX-512 (VNNI): blocks of 16 code vectors; per group of 4 elements, one
//   64-byte row whose 4-byte lane j holds those elements of code vector j as
//   unsigned bytes. vpdpbusd multiplies them with the training vector's
//   elements less 128 (signed bytes): q.c = sum (q - 128) c + 128 sum c, so
//   f = b - 2 * acc with b = |c|^2 - 256 sum c (held as -ceil(b / 2) and the
//   parity of b, see Fold). The kernel is register
//   blocked like an integer matrix product: a tile of 6 training vectors
//   against a panel of 4 blocks (64 code vectors) keeps 24 accumulators in
//   registers over the whole dot product, so that every code row loaded
//   serves 6 vpdpbusd and every broadcast element 4; the training vectors
//   come in chunks that stay in the first-level cache while the panels pass
//   over them; each vector keeps its best value and index per lane, folded
//   in per panel without a branch and reduced over the lanes at the end.
// - AVX-VNNI: the same with blocks of 8 code vectors in 32-byte rows, tiles
//   of 4 training vectors and panels of 3 blocks (16 registers).
// - AVX2: blocks of 8 code vectors; per pair of elements a 32-byte row whose
//   lane j holds them as two 16-bit values; vpmaddwd with the training
//   vector's pair: base = |c|^2 and f = base - 2 * acc.
// - Portable: the code vectors as rows of bytes; base = |c|^2.
#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/intrinsics.h"
#include "engine/pruning.h"
#include "engine/search.h"

namespace mirvo {

namespace cbdetail {
namespace {

// Training vectors per step of the AVX2 kernel; per tile of the AVX-512
// kernel, and the 16-vector blocks of code vectors in its panels.
constexpr int kAvx2Queries = 4;
constexpr int kTileQueries = 6;
constexpr int kPanelBlocks = 4;
// The same for AVX-VNNI (blocks of 8).
constexpr int kVexTileQueries = 4;
constexpr int kVexPanelBlocks = 3;
// Training vectors per chunk at most (fewer when they are long).
constexpr int kChunk = 240;

void Align(ByteCodes& codes, std::size_t bytes) {
  codes.storage.assign(bytes + 64, 0);
  const auto address = reinterpret_cast<std::uintptr_t>(codes.storage.data());
  codes.data = codes.storage.data() + ((64 - address % 64) % 64);
}

// The code vector at place j of a layout; the padding vectors repeat the
// last one, so that they never win a tie against it.
int CodeAt(const int* order, int size, int j) {
  const int place = std::min(j, size - 1);
  return order != nullptr ? order[place] : place;
}

// A training vector as the VNNI kernels take it: groups of 4 elements less
// 128 (signed bytes) in 32-bit words, the last group filled with zeros.
void PackRow(const std::uint8_t* x, int dimension, int groups, std::int32_t* q) {
  auto* words = reinterpret_cast<std::uint8_t*>(q);
  for (int k = 0; k < dimension; ++k) words[k] = static_cast<std::uint8_t>(x[k] ^ 0x80u);
  for (int k = dimension; k < 4 * groups; ++k) words[k] = 0;
}

std::int64_t SquareNorm(const std::uint8_t* v, int dimension) {
  std::int32_t sum = 0;
  for (int k = 0; k < dimension; ++k) sum += std::int32_t{v[k]} * v[k];
  return sum;
}

// The smallest value seen so far and its lowest index. Blocks of code
// vectors come in index order, so a later block only wins when strictly
// smaller.
struct Best {
  std::int32_t f = INT32_MAX;
  int index = 0;
};

// ---------------------------------------------------------------- portable

void NearestPortable(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                     std::int64_t* distance) {
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

#if defined(__x86_64__)
// ---------------------------------------------------------------- AVX2

__attribute__((target("avx2"))) void NearestAvx2Group(const ByteCodes& codes, const std::uint8_t* const* rows,
                                                      int count, int* index, std::int64_t* distance) {
  const int groups = codes.groups;
  // Pairs of elements of each training vector as 32-bit words.
  alignas(32) std::int32_t q[kAvx2Queries][4096];
  for (int v = 0; v < kAvx2Queries; ++v) {
    const std::uint8_t* x = rows[std::min(v, count - 1)];
    for (int t = 0; t < groups; ++t) {
      const int k = 2 * t;
      const int hi = k + 1 < codes.dimension ? x[k + 1] : 0;
      q[v][t] = x[k] | (hi << 16);
    }
  }
  Best best[kAvx2Queries];
  __m256i limit[kAvx2Queries];
  for (int v = 0; v < kAvx2Queries; ++v) limit[v] = _mm256_set1_epi32(INT32_MAX);
  const auto* blocks = reinterpret_cast<const __m256i*>(codes.data);
  for (int b = 0; b < codes.padded; b += 16) {
    __m256i acc[kAvx2Queries][2];
    for (int v = 0; v < kAvx2Queries; ++v) acc[v][0] = acc[v][1] = _mm256_setzero_si256();
    const __m256i* r0 = blocks + static_cast<std::size_t>(b / 8) * groups;
    const __m256i* r1 = r0 + groups;
    for (int t = 0; t < groups; ++t) {
      const __m256i c0 = _mm256_load_si256(r0 + t), c1 = _mm256_load_si256(r1 + t);
      for (int v = 0; v < kAvx2Queries; ++v) {
        const __m256i x = _mm256_set1_epi32(q[v][t]);
        acc[v][0] = _mm256_add_epi32(acc[v][0], _mm256_madd_epi16(c0, x));
        acc[v][1] = _mm256_add_epi32(acc[v][1], _mm256_madd_epi16(c1, x));
      }
    }
    const __m256i base0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b));
    const __m256i base1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b + 8));
    for (int v = 0; v < kAvx2Queries; ++v) {
      const __m256i f0 = _mm256_sub_epi32(base0, _mm256_add_epi32(acc[v][0], acc[v][0]));
      const __m256i f1 = _mm256_sub_epi32(base1, _mm256_add_epi32(acc[v][1], acc[v][1]));
      __m256i m = _mm256_min_epi32(f0, f1);
      const __m256i less = _mm256_cmpgt_epi32(limit[v], m);
      if (!_mm256_testz_si256(less, less)) {
        m = _mm256_min_epi32(m, _mm256_permute2x128_si256(m, m, 0x01));
        m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
        m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
        const unsigned at0 = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(f0, m))));
        const unsigned at1 = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(f1, m))));
        best[v].f = _mm_cvtsi128_si32(_mm256_castsi256_si128(m));
        best[v].index = b + (at0 != 0 ? __builtin_ctz(at0) : 8 + __builtin_ctz(at1));
        limit[v] = m;
      }
    }
  }
  for (int v = 0; v < count; ++v) {
    index[v] = best[v].index;
    distance[v] = std::int64_t{best[v].f} + SquareNorm(rows[v], codes.dimension);
  }
}

void NearestAvx2(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                 std::int64_t* distance) {
  for (int v = 0; v < count; v += kAvx2Queries) {
    NearestAvx2Group(codes, rows + v, std::min(kAvx2Queries, count - v), index + v, distance + v);
  }
}

// ---------------------------------------------------------------- AVX-512

#define MIRVO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vnni")))

// Folds one training vector's 4 accumulators of a panel into its best value
// and index per lane. The kernel maximises g = 2 acc - b = -f (b = |c|^2 -
// 256 sum c); the accumulators start at -ceil(b / 2) (codes.base), so that
// they end at h = floor(g / 2) and g = 2 h + (b odd) (codes.odd). Lane l
// sees the code vectors first + 16 k + l in index order and takes only a
// strictly larger g, keeping the first block at its largest value; without
// a branch, so that nothing is mispredicted when a panel brings a new best.
//
// In a layout with an index (kIndexed), lanes hold the code vectors'
// indices instead of their blocks', and a lane also takes an equal g at a
// lower index: panels then come in any order.
template <bool kIndexed>
MIRVO_AVX512 inline void Fold(__m512i h0, __m512i h1, __m512i h2, __m512i h3, const std::int32_t* odd,
                              const std::int32_t* index, int first, __m512i* laneG, __m512i* laneFirst) {
  __m512i best = _mm512_load_si512(laneG), at = _mm512_load_si512(laneFirst);
#define MIRVO_LANES(k)                                                                                  \
  {                                                                                                     \
    const __m512i g = _mm512_add_epi32(_mm512_add_epi32(h##k, h##k), _mm512_loadu_si512(odd + 16 * k)); \
    __mmask16 more = _mm512_cmpgt_epi32_mask(g, best);                                                  \
    if constexpr (kIndexed) {                                                                           \
      const __m512i j = _mm512_loadu_si512(index + 16 * k);                                             \
      more |= _mm512_mask_cmplt_epi32_mask(_mm512_cmpeq_epi32_mask(g, best), j, at);                    \
      at = _mm512_mask_mov_epi32(at, more, j);                                                          \
    } else {                                                                                            \
      at = _mm512_mask_mov_epi32(at, more, _mm512_set1_epi32(first + 16 * k));                          \
    }                                                                                                   \
    best = _mm512_max_epi32(best, g);                                                                   \
  }
  MIRVO_LANES(0)
  MIRVO_LANES(1)
  MIRVO_LANES(2)
  MIRVO_LANES(3)
#undef MIRVO_LANES
  _mm512_store_si512(laneG, best);
  _mm512_store_si512(laneFirst, at);
}

// acc + the dot products of the unsigned bytes of c with the signed bytes of
// x, 4 at a time. Written out because GCC 12 copies the accumulators of the
// intrinsic through memory when many are live.
MIRVO_AVX512 inline __m512i Dot(__m512i acc, __m512i c, __m512i x) {
  asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(c), "v"(x));
  return acc;
}

// One tile: 6 training vectors (packed words, `groups` per vector) against
// one panel of 4 blocks of code vectors, the 24 accumulators in registers
// for the whole dot product.
template <bool kIndexed>
MIRVO_AVX512 inline void Tile(const __m512i* panel, int groups, const std::int32_t* q, const std::int32_t* base,
                              const std::int32_t* odd, const std::int32_t* index, int first, __m512i* laneG,
                              __m512i* laneFirst) {
  const std::size_t step = static_cast<std::size_t>(groups);
  const __m512i* p0 = panel;
  const __m512i* p1 = panel + step;
  const __m512i* p2 = panel + 2 * step;
  const __m512i* p3 = panel + 3 * step;
  const std::int32_t* q0 = q;
  const std::int32_t* q1 = q + step;
  const std::int32_t* q2 = q + 2 * step;
  const std::int32_t* q3 = q + 3 * step;
  const std::int32_t* q4 = q + 4 * step;
  const std::int32_t* q5 = q + 5 * step;
#define MIRVO_START(v)                             \
  __m512i a##v##0 = _mm512_loadu_si512(base);      \
  __m512i a##v##1 = _mm512_loadu_si512(base + 16); \
  __m512i a##v##2 = _mm512_loadu_si512(base + 32); \
  __m512i a##v##3 = _mm512_loadu_si512(base + 48);
  MIRVO_START(0)
  MIRVO_START(1)
  MIRVO_START(2)
  MIRVO_START(3)
  MIRVO_START(4)
  MIRVO_START(5)
#undef MIRVO_START
  for (int t = 0; t < groups; ++t) {
    const __m512i c0 = _mm512_load_si512(p0 + t), c1 = _mm512_load_si512(p1 + t);
    const __m512i c2 = _mm512_load_si512(p2 + t), c3 = _mm512_load_si512(p3 + t);
#define MIRVO_STEP(v)                             \
  {                                               \
    const __m512i x = _mm512_set1_epi32(q##v[t]); \
    a##v##0 = Dot(a##v##0, c0, x);                \
    a##v##1 = Dot(a##v##1, c1, x);                \
    a##v##2 = Dot(a##v##2, c2, x);                \
    a##v##3 = Dot(a##v##3, c3, x);                \
  }
    MIRVO_STEP(0) MIRVO_STEP(1) MIRVO_STEP(2) MIRVO_STEP(3) MIRVO_STEP(4) MIRVO_STEP(5)
#undef MIRVO_STEP
  }
  Fold<kIndexed>(a00, a01, a02, a03, odd, index, first, laneG, laneFirst);
  Fold<kIndexed>(a10, a11, a12, a13, odd, index, first, laneG + 1, laneFirst + 1);
  Fold<kIndexed>(a20, a21, a22, a23, odd, index, first, laneG + 2, laneFirst + 2);
  Fold<kIndexed>(a30, a31, a32, a33, odd, index, first, laneG + 3, laneFirst + 3);
  Fold<kIndexed>(a40, a41, a42, a43, odd, index, first, laneG + 4, laneFirst + 4);
  Fold<kIndexed>(a50, a51, a52, a53, odd, index, first, laneG + 5, laneFirst + 5);
}

// ---------------------------------------------------------------- AVX-VNNI

// The AVX-512 method on 256-bit vectors with 16 registers: a tile of 4
// training vectors against a panel of 3 blocks of 8 code vectors (12
// accumulators, 3 code rows, 1 broadcast element).
#define MIRVO_AVXVNNI __attribute__((target("avx2,avxvnni")))

MIRVO_AVXVNNI inline __m256i DotVex(__m256i acc, __m256i c, __m256i x) {
  asm("%{vex%} vpdpbusd %2, %1, %0" : "+x"(acc) : "x"(c), "x"(x));
  return acc;
}

// As Fold, for 3 blocks of 8 lanes.
template <bool kIndexed>
MIRVO_AVXVNNI inline void FoldVex(__m256i h0, __m256i h1, __m256i h2, const std::int32_t* odd,
                                  const std::int32_t* index, int first, __m256i* laneG, __m256i* laneFirst) {
  __m256i best = _mm256_load_si256(laneG), at = _mm256_load_si256(laneFirst);
#define MIRVO_LANES(k)                                                                                        \
  {                                                                                                           \
    const __m256i g = _mm256_add_epi32(_mm256_add_epi32(h##k, h##k),                                          \
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(odd + 8 * k)));    \
    __m256i more = _mm256_cmpgt_epi32(g, best);                                                               \
    if constexpr (kIndexed) {                                                                                 \
      const __m256i j = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 8 * k));                  \
      more = _mm256_or_si256(more, _mm256_and_si256(_mm256_cmpeq_epi32(g, best), _mm256_cmpgt_epi32(at, j))); \
      at = _mm256_blendv_epi8(at, j, more);                                                                   \
    } else {                                                                                                  \
      at = _mm256_blendv_epi8(at, _mm256_set1_epi32(first + 8 * k), more);                                    \
    }                                                                                                         \
    best = _mm256_max_epi32(best, g);                                                                         \
  }
  MIRVO_LANES(0)
  MIRVO_LANES(1)
  MIRVO_LANES(2)
#undef MIRVO_LANES
  _mm256_store_si256(laneG, best);
  _mm256_store_si256(laneFirst, at);
}

template <bool kIndexed>
MIRVO_AVXVNNI inline void TileVex(const __m256i* panel, int groups, const std::int32_t* q, const std::int32_t* base,
                                  const std::int32_t* odd, const std::int32_t* index, int first, __m256i* laneG,
                                  __m256i* laneFirst) {
  const std::size_t step = static_cast<std::size_t>(groups);
  const __m256i* p0 = panel;
  const __m256i* p1 = panel + step;
  const __m256i* p2 = panel + 2 * step;
  const std::int32_t* q0 = q;
  const std::int32_t* q1 = q + step;
  const std::int32_t* q2 = q + 2 * step;
  const std::int32_t* q3 = q + 3 * step;
  const auto* start = reinterpret_cast<const __m256i*>(base);
#define MIRVO_START(v)                             \
  __m256i a##v##0 = _mm256_loadu_si256(start);     \
  __m256i a##v##1 = _mm256_loadu_si256(start + 1); \
  __m256i a##v##2 = _mm256_loadu_si256(start + 2);
  MIRVO_START(0)
  MIRVO_START(1)
  MIRVO_START(2)
  MIRVO_START(3)
#undef MIRVO_START
  for (int t = 0; t < groups; ++t) {
    const __m256i c0 = _mm256_load_si256(p0 + t), c1 = _mm256_load_si256(p1 + t), c2 = _mm256_load_si256(p2 + t);
#define MIRVO_STEP(v)                             \
  {                                               \
    const __m256i x = _mm256_set1_epi32(q##v[t]); \
    a##v##0 = DotVex(a##v##0, c0, x);             \
    a##v##1 = DotVex(a##v##1, c1, x);             \
    a##v##2 = DotVex(a##v##2, c2, x);             \
  }
    MIRVO_STEP(0) MIRVO_STEP(1) MIRVO_STEP(2) MIRVO_STEP(3)
#undef MIRVO_STEP
  }
  FoldVex<kIndexed>(a00, a01, a02, odd, index, first, laneG, laneFirst);
  FoldVex<kIndexed>(a10, a11, a12, odd, index, first, laneG + 1, laneFirst + 1);
  FoldVex<kIndexed>(a20, a21, a22, odd, index, first, laneG + 2, laneFirst + 2);
  FoldVex<kIndexed>(a30, a31, a32, odd, index, first, laneG + 3, laneFirst + 3);
}

// Both VNNI kernels: training vectors in chunks that stay in the
// first-level cache, as groups of 4 elements less 128 (signed bytes) in
// 32-bit words; a last tile that is not full repeats the chunk's last vector.
// The panels pass over the whole chunk, one tile after the other.
template <int kQueries, class PanelsFunction>
void NearestVnni(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance,
                 PanelsFunction panels) {
  const int groups = codes.groups;
  constexpr int kWords = 12288;
  alignas(64) std::int32_t q[kWords];
  std::int32_t bestG[kWords / 4];
  int bestIndex[kWords / 4];
  const int chunk = std::max(kQueries, std::min(kChunk, kWords / groups) / kQueries * kQueries);
  for (int first = 0; first < count; first += chunk) {
    const int n = std::min(chunk, count - first);
    const int tiles = (n + kQueries - 1) / kQueries;
    for (int v = 0; v < tiles * kQueries; ++v) {
      PackRow(rows[first + std::min(v, n - 1)], codes.dimension, groups, q + static_cast<std::size_t>(v) * groups);
      bestG[v] = INT32_MIN;
      bestIndex[v] = 0;
    }
    panels(codes, q, tiles * kQueries, bestG, bestIndex);
    for (int v = 0; v < n; ++v) {
      index[first + v] = bestIndex[v];
      distance[first + v] = SquareNorm(rows[first + v], codes.dimension) - std::int64_t{bestG[v]};
    }
  }
}

// Every panel over the `count` packed training vectors of a chunk, tile by
// tile, then each vector's best over its lanes: the largest g, and the
// lowest index among the lanes that hold it.
MIRVO_AVX512 void Panels512(const ByteCodes& codes, const std::int32_t* q, int count, std::int32_t* bestG,
                            int* bestIndex) {
  const int groups = codes.groups;
  const auto* blocks = reinterpret_cast<const __m512i*>(codes.data);
  __m512i laneG[kChunk], laneFirst[kChunk];
  for (int v = 0; v < count; ++v) {
    laneG[v] = _mm512_set1_epi32(INT32_MIN);
    laneFirst[v] = _mm512_setzero_si512();
  }
  for (int panel = 0; panel < codes.padded; panel += 16 * kPanelBlocks) {
    const __m512i* rowsOfPanel = blocks + static_cast<std::size_t>(panel / 16) * groups;
    for (int v = 0; v < count; v += kTileQueries) {
      Tile<false>(rowsOfPanel, groups, q + static_cast<std::size_t>(v) * groups, codes.base.data() + panel,
                  codes.odd.data() + panel, nullptr, panel, laneG + v, laneFirst + v);
    }
  }
  const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  for (int v = 0; v < count; ++v) {
    bestG[v] = _mm512_reduce_max_epi32(laneG[v]);
    const __mmask16 top = _mm512_cmpeq_epi32_mask(laneG[v], _mm512_set1_epi32(bestG[v]));
    bestIndex[v] = _mm512_mask_reduce_min_epi32(top, _mm512_add_epi32(laneFirst[v], lanes));
  }
}

MIRVO_AVXVNNI void PanelsVex(const ByteCodes& codes, const std::int32_t* q, int count, std::int32_t* bestG,
                             int* bestIndex) {
  const int groups = codes.groups;
  const auto* blocks = reinterpret_cast<const __m256i*>(codes.data);
  __m256i laneG[kChunk], laneFirst[kChunk];
  for (int v = 0; v < count; ++v) {
    laneG[v] = _mm256_set1_epi32(INT32_MIN);
    laneFirst[v] = _mm256_setzero_si256();
  }
  for (int panel = 0; panel < codes.padded; panel += 8 * kVexPanelBlocks) {
    const __m256i* rowsOfPanel = blocks + static_cast<std::size_t>(panel / 8) * groups;
    for (int v = 0; v < count; v += kVexTileQueries) {
      TileVex<false>(rowsOfPanel, groups, q + static_cast<std::size_t>(v) * groups, codes.base.data() + panel,
                     codes.odd.data() + panel, nullptr, panel, laneG + v, laneFirst + v);
    }
  }
  const __m256i lanes = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  for (int v = 0; v < count; ++v) {
    __m256i m = laneG[v];
    m = _mm256_max_epi32(m, _mm256_permute2x128_si256(m, m, 0x01));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
    // The lowest index among the lanes at the largest value.
    __m256i at = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), _mm256_add_epi32(laneFirst[v], lanes),
                                    _mm256_cmpeq_epi32(laneG[v], m));
    at = _mm256_min_epi32(at, _mm256_permute2x128_si256(at, at, 0x01));
    at = _mm256_min_epi32(at, _mm256_shuffle_epi32(at, 0x4E));
    at = _mm256_min_epi32(at, _mm256_shuffle_epi32(at, 0xB1));
    bestG[v] = _mm_cvtsi128_si32(_mm256_castsi256_si128(m));
    bestIndex[v] = _mm_cvtsi128_si32(_mm256_castsi256_si128(at));
  }
}

void NearestAvx512(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                   std::int64_t* distance) {
  NearestVnni<kTileQueries>(codes, rows, count, index, distance, Panels512);
}

void NearestAvxVnni(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                    std::int64_t* distance) {
  NearestVnni<kVexTileQueries>(codes, rows, count, index, distance, PanelsVex);
}

// ---------------------------------------------------------------- indexed

// One tile against one panel of a layout with an index, as the VNNI
// kernels' chunks do it (Panels512, PanelsVex).
MIRVO_AVX512 void IndexedTile512(const ByteCodes& codes, int panel, TileLanes& lanes) {
  const int first = panel * 16 * kPanelBlocks;
  Tile<true>(
      reinterpret_cast<const __m512i*>(codes.data) + static_cast<std::size_t>(panel) * kPanelBlocks * codes.groups,
      codes.groups, lanes.q, codes.base.data() + first, codes.odd.data() + first, codes.index.data() + first, first,
      reinterpret_cast<__m512i*>(lanes.g), reinterpret_cast<__m512i*>(lanes.at));
  for (int v = 0; v < kTileQueries; ++v) lanes.best[v] = _mm512_reduce_max_epi32(_mm512_load_si512(lanes.g + 16 * v));
}

MIRVO_AVXVNNI void IndexedTileVex(const ByteCodes& codes, int panel, TileLanes& lanes) {
  const int first = panel * 8 * kVexPanelBlocks;
  TileVex<true>(
      reinterpret_cast<const __m256i*>(codes.data) + static_cast<std::size_t>(panel) * kVexPanelBlocks * codes.groups,
      codes.groups, lanes.q, codes.base.data() + first, codes.odd.data() + first, codes.index.data() + first, first,
      reinterpret_cast<__m256i*>(lanes.g), reinterpret_cast<__m256i*>(lanes.at));
  for (int v = 0; v < kVexTileQueries; ++v) {
    __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.g + 8 * v));
    m = _mm256_max_epi32(m, _mm256_permute2x128_si256(m, m, 0x01));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
    lanes.best[v] = _mm_cvtsi128_si32(_mm256_castsi256_si128(m));
  }
}

#endif  // defined(__x86_64__)

// The portable form: one lane per training vector, the rows' bytes as they
// are in q; g = 2 q.c - |c|^2.
constexpr int kPortableTile = 4;
constexpr int kPortablePanel = 16;

void IndexedTilePortable(const ByteCodes& codes, int panel, TileLanes& lanes) {
  const int d = codes.dimension;
  const int end = std::min(codes.size, (panel + 1) * kPortablePanel);
  const auto* q = reinterpret_cast<const std::uint8_t*>(lanes.q);
  for (int v = 0; v < kPortableTile; ++v) {
    const std::uint8_t* x = q + static_cast<std::size_t>(v) * d;
    for (int j = panel * kPortablePanel; j < end; ++j) {
      const std::uint8_t* c = codes.data + static_cast<std::size_t>(j) * d;
      std::int32_t dot = 0;
      for (int k = 0; k < d; ++k) dot += std::int32_t{x[k]} * c[k];
      const std::int32_t g = 2 * dot - codes.base[static_cast<std::size_t>(j)];
      const std::int32_t index = codes.index[static_cast<std::size_t>(j)];
      if (g > lanes.g[v] || (g == lanes.g[v] && index < lanes.at[v])) {
        lanes.g[v] = g;
        lanes.at[v] = index;
      }
    }
    lanes.best[v] = lanes.g[v];
  }
}

#if defined(__x86_64__)
// The lowest index among the lanes of a row at its best value.
MIRVO_AVX512 int LowestAtBest512(const TileLanes& lanes, int row) {
  const __m512i g = _mm512_load_si512(lanes.g + 16 * row), at = _mm512_load_si512(lanes.at + 16 * row);
  return _mm512_mask_reduce_min_epi32(_mm512_cmpeq_epi32_mask(g, _mm512_set1_epi32(lanes.best[row])), at);
}
#endif

int Lanes(const ByteCodes& codes) {
  return codes.level == SimdLevel::Avx512 ? 16 : codes.level == SimdLevel::AvxVnni ? 8 : 1;
}

}  // namespace

int TileRows(const ByteCodes& codes) {
  return codes.level == SimdLevel::Avx512    ? kTileQueries
         : codes.level == SimdLevel::AvxVnni ? kVexTileQueries
                                             : kPortableTile;
}

int PanelCodes(const ByteCodes& codes) {
  return codes.level == SimdLevel::Avx512    ? 16 * kPanelBlocks
         : codes.level == SimdLevel::AvxVnni ? 8 * kVexPanelBlocks
                                             : kPortablePanel;
}

void StartTile(const ByteCodes& codes, const std::uint8_t* const* rows, int count, TileLanes& lanes) {
  const int tile = TileRows(codes);
  lanes.rows = count;
  for (int v = 0; v < tile; ++v) {
    const std::uint8_t* x = rows[std::min(v, count - 1)];
    if (codes.level == SimdLevel::Avx512 || codes.level == SimdLevel::AvxVnni) {
      PackRow(x, codes.dimension, codes.groups, lanes.q + static_cast<std::size_t>(v) * codes.groups);
    } else {
      std::memcpy(reinterpret_cast<std::uint8_t*>(lanes.q) + static_cast<std::size_t>(v) * codes.dimension, x,
                  static_cast<std::size_t>(codes.dimension));
    }
  }
  std::fill_n(lanes.g, TileLanes::kMaxRows * TileLanes::kMaxLanes, INT32_MIN);
  std::fill_n(lanes.at, TileLanes::kMaxRows * TileLanes::kMaxLanes, INT32_MAX);
  std::fill_n(lanes.best, TileLanes::kMaxRows, INT32_MIN);
}

void TileOnPanel(const ByteCodes& codes, int panel, TileLanes& lanes) {
  switch (codes.level) {
#if defined(__x86_64__)
    case SimdLevel::Avx512:
      IndexedTile512(codes, panel, lanes);
      break;
    case SimdLevel::AvxVnni:
      IndexedTileVex(codes, panel, lanes);
      break;
#endif
    default:
      IndexedTilePortable(codes, panel, lanes);
      break;
  }
}

std::int32_t TileBest(const ByteCodes& codes, const TileLanes& lanes, int row, int* index) {
  const int lanesOf = Lanes(codes);
  const std::int32_t* g = lanes.g + static_cast<std::size_t>(row) * lanesOf;
  const std::int32_t* at = lanes.at + static_cast<std::size_t>(row) * lanesOf;
  const std::int32_t best = lanes.best[row];
#if defined(__x86_64__)
  if (index != nullptr && codes.level == SimdLevel::Avx512) {
    *index = LowestAtBest512(lanes, row);
    return best;
  }
#endif
  if (index != nullptr) {
    int lowest = INT32_MAX;
    for (int l = 0; l < lanesOf; ++l) {
      if (g[l] == best) lowest = std::min(lowest, at[l]);
    }
    *index = lowest;
  }
  return best;
}

namespace {

// The per-vector terms of a layout whose elements are filled in: base (and
// odd), and the index of each place when the order is given.
template <class Element>
void FillBases(ByteCodes& out, Element element, const int* order) {
  out.base.resize(static_cast<std::size_t>(out.padded));
  const bool vnni = out.level == SimdLevel::Avx512 || out.level == SimdLevel::AvxVnni;
  if (vnni) out.odd.resize(out.base.size());
  if (order != nullptr) out.index.resize(out.base.size());
  for (int j = 0; j < out.padded; ++j) {
    std::int32_t value = 0;
    for (int k = 0; k < out.dimension; ++k) {
      const int c = element(j, k);
      value += vnni ? c * (c - 256) : c * c;
    }
    if (vnni) {
      out.base[static_cast<std::size_t>(j)] = -((value + 1) >> 1);  // -ceil(value / 2)
      out.odd[static_cast<std::size_t>(j)] = value & 1;
    } else {
      out.base[static_cast<std::size_t>(j)] = value;
    }
    if (order != nullptr) out.index[static_cast<std::size_t>(j)] = CodeAt(order, out.size, j);
  }
}

}  // namespace

std::unique_ptr<ByteCodes> PrepareByteCodes(const CodeRows& codes, const int* order, int offset, SimdLevel level) {
  const int size = codes.size, dimension = codes.dimension;
  auto out = std::make_unique<ByteCodes>();
  out->level = level;
  out->dimension = dimension;
  out->size = size;
  auto element = [&](int j, int k) { return codes.At(CodeAt(order, size, j), k) - offset; };
  switch (level) {
    case SimdLevel::Avx512:
    case SimdLevel::AvxVnni: {
      const int lanes = level == SimdLevel::Avx512 ? 16 : 8;
      const int panel = lanes * (level == SimdLevel::Avx512 ? kPanelBlocks : kVexPanelBlocks);
      out->groups = (dimension + 3) / 4;
      out->padded = (size + panel - 1) / panel * panel;
      Align(*out, static_cast<std::size_t>(out->padded) * out->groups * 4);
      for (int j = 0; j < out->padded; ++j) {
        for (int k = 0; k < dimension; ++k) {
          const std::size_t block = static_cast<std::size_t>(j / lanes), lane = static_cast<std::size_t>(j % lanes);
          const std::size_t t = static_cast<std::size_t>(k / 4), e = static_cast<std::size_t>(k % 4);
          out->data[(block * out->groups + t) * 4 * lanes + lane * 4 + e] = static_cast<std::uint8_t>(element(j, k));
        }
      }
      break;
    }
    case SimdLevel::Avx2: {
      out->groups = (dimension + 1) / 2;
      out->padded = (size + 15) / 16 * 16;
      Align(*out, static_cast<std::size_t>(out->padded) * out->groups * 4);
      auto* words = reinterpret_cast<std::int16_t*>(out->data);
      for (int j = 0; j < out->padded; ++j) {
        for (int k = 0; k < dimension; ++k) {
          const std::size_t block = static_cast<std::size_t>(j / 8), lane = static_cast<std::size_t>(j % 8);
          const std::size_t t = static_cast<std::size_t>(k / 2), e = static_cast<std::size_t>(k % 2);
          words[(block * out->groups + t) * 16 + lane * 2 + e] = static_cast<std::int16_t>(element(j, k));
        }
      }
      break;
    }
    case SimdLevel::Portable:
      out->groups = dimension;
      out->padded = size;
      Align(*out, static_cast<std::size_t>(size) * dimension);
      for (int j = 0; j < size; ++j) {
        for (int k = 0; k < dimension; ++k) {
          out->data[static_cast<std::size_t>(j) * dimension + k] = static_cast<std::uint8_t>(element(j, k));
        }
      }
      break;
  }
  FillBases(*out, element, order);
  return out;
}

void ByteNearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                 std::int64_t* distance) {
  switch (codes.level) {
#if defined(__x86_64__)
    case SimdLevel::Avx512:
      NearestAvx512(codes, rows, count, index, distance);
      break;
    case SimdLevel::AvxVnni:
      NearestAvxVnni(codes, rows, count, index, distance);
      break;
    case SimdLevel::Avx2:
      NearestAvx2(codes, rows, count, index, distance);
      break;
#else
    default:
#endif
    case SimdLevel::Portable:
      NearestPortable(codes, rows, count, index, distance);
      break;
  }
}

}  // namespace cbdetail

}  // namespace mirvo
