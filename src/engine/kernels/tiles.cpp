// The tile search of the pruned byte search (kernels/tiles.h), compiled once
// per instruction set:
// AVX-512 VNNI (512-bit vectors, a leaf in one block of 16 lanes), AVX-VNNI
// and AVX2 (256 bits, two blocks of 8; AVX2 multiplies pairs of 16-bit
// elements) and, without SIMD, the VNNI method on 16 lanes of plain
// integers.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <climits>
#include <cmath>
#include <cstring>

#include "engine/kernels/lanes8.h"
#include "engine/kernels/sets.h"
#include "engine/pruning_layout.h"

namespace mirvo {

namespace cbdetail {
namespace {

// The terms of the VNNI layouts: groups of 4 elements less 128 (signed
// bytes) in words; lanes start at -ceil(b / 2) and end at h = floor(g / 2),
// g = 2 h + (b odd), with b = |c|^2 - 256 sum c.
#define MIRVO_VNNI_TERMS                                                                           \
  MIRVO_TILE_INLINE void Pack(const std::uint8_t* x, int dimension, int groups, std::int32_t* q) { \
    const int whole = dimension / 4;                                                               \
    for (int t = 0; t < whole; ++t) {                                                              \
      std::uint32_t word;                                                                          \
      std::memcpy(&word, x + 4 * t, 4);                                                            \
      q[t] = static_cast<std::int32_t>(word ^ 0x80808080u);                                        \
    }                                                                                              \
    if (whole < groups) {                                                                          \
      std::uint32_t word = 0;                                                                      \
      for (int k = 4 * whole; k < dimension; ++k) word |= (x[k] ^ 0x80u) << (8 * (k - 4 * whole)); \
      q[whole] = static_cast<std::int32_t>(word);                                                  \
    }                                                                                              \
  }                                                                                                \
  MIRVO_TILE_INLINE V Initial(V base) { return base; }                                             \
  MIRVO_TILE_INLINE V Exact(const ByteCodes& codes, int place, V h) {                              \
    return Add(Add(h, h), Load(codes.odd.data() + place));                                         \
  }                                                                                                \
  MIRVO_TILE_INLINE std::int32_t Floor(std::int32_t g) { return g >> 1; }

#if defined(__x86_64__)
// A tile's rows in SSE4.1 (which every level here has).
#define MIRVO_ROWS                                                                                                   \
  using Rows = __m128i;                                                                                              \
  MIRVO_TILE_INLINE Rows RowsAt(const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const Rows*>(p)); } \
  MIRVO_TILE_INLINE Rows Same(std::int32_t x) { return _mm_set1_epi32(x); }                                          \
  MIRVO_TILE_INLINE Rows With(Rows rows, int r, std::int32_t x) {                                                    \
    const Rows lane = _mm_cmpeq_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(r));                                \
    return _mm_blendv_epi8(rows, _mm_set1_epi32(x), lane);                                                           \
  }                                                                                                                  \
  MIRVO_TILE_INLINE int Exceeds(Rows a, Rows b) { return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(a, b))); }

namespace on_avx512 {
#define MIRVO_TILE_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
using V = __m512i;
using Mask = __mmask16;
constexpr int kLanes = 16;
MIRVO_ROWS
MIRVO_TILE_INLINE V Load(const std::int32_t* p) { return _mm512_loadu_si512(p); }
MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) { return _mm512_load_si512(p); }
MIRVO_TILE_INLINE V Broadcast(std::int32_t x) { return _mm512_set1_epi32(x); }
// Written out because GCC 12 copies the accumulators of the intrinsic
// through memory when many are live; the training vector's word comes
// broadcast from memory.
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) {
  asm("vpdpbusd %2%{1to16%}, %1, %0" : "+v"(acc) : "v"(codes), "m"(*x));
  return acc;
}
MIRVO_TILE_INLINE V Add(V a, V b) { return _mm512_add_epi32(a, b); }
MIRVO_TILE_INLINE V Excess(V a, V b) { return _mm512_subs_epu16(a, b); }
MIRVO_TILE_INLINE V Square(V a) { return _mm512_madd_epi16(a, a); }
MIRVO_TILE_INLINE V Repeat(Rows rows) { return _mm512_mask_broadcast_i32x4(_mm512_setzero_si512(), 0xFFFF, rows); }
MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {
  const V lanes = _mm512_set_epi32(3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
  return _mm512_mask_permutexvar_epi32(_mm512_setzero_si512(), 0xFFFF, lanes,
                                       _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const Rows*>(p))));
}
MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { _mm512_storeu_si512(p, a); }
MIRVO_TILE_INLINE unsigned Above(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
MIRVO_TILE_INLINE Mask AtLeast(V a, V b) { return _mm512_cmpge_epi32_mask(a, b); }
MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
MIRVO_TILE_INLINE Mask Equal(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
MIRVO_TILE_INLINE Mask Greater(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
MIRVO_TILE_INLINE V Choose(Mask m, V a, V b) { return _mm512_mask_mov_epi32(b, m, a); }
// With an explicit source and a full mask (kernels/lanes8.h says why).
MIRVO_TILE_INLINE V Min(V a, V b) { return _mm512_mask_min_epi32(a, 0xFFFF, a, b); }
MIRVO_TILE_INLINE V Max(V a, V b) { return _mm512_mask_max_epi32(a, 0xFFFF, a, b); }
MIRVO_TILE_INLINE bool Any(Mask m) { return m != 0; }
MIRVO_TILE_INLINE std::int32_t Largest(V g) { return MaxOf16(g); }
MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {
  return MinOf16(
      _mm512_mask_mov_epi32(_mm512_set1_epi32(INT32_MAX), _mm512_cmpeq_epi32_mask(g, _mm512_set1_epi32(value)), index));
}
MIRVO_VNNI_TERMS
#include "engine/kernels/tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace on_avx512

// The 256-bit operations of AVX-VNNI and AVX2, but for the products.
#define MIRVO_YMM_OPERATIONS                                                                                        \
  using V = __m256i;                                                                                                \
  using Mask = __m256i;                                                                                             \
  constexpr int kLanes = 8;                                                                                         \
  MIRVO_ROWS                                                                                                        \
  MIRVO_TILE_INLINE V Load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }     \
  MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const V*>(p)); } \
  MIRVO_TILE_INLINE V Broadcast(std::int32_t x) { return _mm256_set1_epi32(x); }                                    \
  MIRVO_TILE_INLINE V Add(V a, V b) { return _mm256_add_epi32(a, b); }                                              \
  MIRVO_TILE_INLINE V Excess(V a, V b) { return _mm256_subs_epu16(a, b); }                                          \
  MIRVO_TILE_INLINE V Square(V a) { return _mm256_madd_epi16(a, a); }                                               \
  MIRVO_TILE_INLINE V Repeat(Rows rows) { return _mm256_broadcastsi128_si256(rows); }                               \
  MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {                                                               \
    const V lanes = _mm256_set_epi32(1, 1, 1, 1, 0, 0, 0, 0);                                                       \
    return _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const Rows*>(p))),   \
                                       lanes);                                                                      \
  }                                                                                                                 \
  MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { _mm256_storeu_si256(reinterpret_cast<V*>(p), a); }           \
  MIRVO_TILE_INLINE unsigned Above(V a, V b) {                                                                      \
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b))));                \
  }                                                                                                                 \
  MIRVO_TILE_INLINE Mask AtLeast(V a, V b) { return _mm256_cmpeq_epi32(_mm256_max_epi32(a, b), a); }                \
  MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return _mm256_or_si256(a, b); }                                   \
  MIRVO_TILE_INLINE Mask Equal(V a, V b) { return _mm256_cmpeq_epi32(a, b); }                                       \
  MIRVO_TILE_INLINE Mask Greater(V a, V b) { return _mm256_cmpgt_epi32(a, b); }                                     \
  MIRVO_TILE_INLINE V Choose(Mask m, V a, V b) { return _mm256_blendv_epi8(b, a, m); }                              \
  MIRVO_TILE_INLINE V Min(V a, V b) { return _mm256_min_epi32(a, b); }                                              \
  MIRVO_TILE_INLINE V Max(V a, V b) { return _mm256_max_epi32(a, b); }                                              \
  MIRVO_TILE_INLINE bool Any(Mask m) { return _mm256_testz_si256(m, m) == 0; }                                      \
  MIRVO_TILE_INLINE std::int32_t Largest(V g) { return MaxOf8(g); }                                                 \
  MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {                                       \
    return MinOf8(                                                                                                  \
        _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), index, _mm256_cmpeq_epi32(g, _mm256_set1_epi32(value))));  \
  }

namespace on_avxvnni {
#define MIRVO_TILE_TARGET __attribute__((target("avx2,avxvnni")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
MIRVO_YMM_OPERATIONS
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) {
  const V word = _mm256_set1_epi32(*x);
  asm("%{vex%} vpdpbusd %2, %1, %0" : "+x"(acc) : "x"(codes), "x"(word));
  return acc;
}
MIRVO_VNNI_TERMS
#include "engine/kernels/tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace on_avxvnni

// AVX2, on its layout: per pair of elements, a 32-bit lane holding them as
// two 16-bit values; the training vector's pairs twice over, so that the
// products add up to 2 q.c, and lanes start at -|c|^2 (the layout's base):
// they end at g itself.
namespace on_avx2 {
#define MIRVO_TILE_TARGET __attribute__((target("avx2")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
MIRVO_YMM_OPERATIONS
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) {
  return _mm256_add_epi32(acc, _mm256_madd_epi16(codes, _mm256_set1_epi32(*x)));
}
MIRVO_TILE_INLINE void Pack(const std::uint8_t* x, int dimension, int groups, std::int32_t* q) {
  for (int t = 0; t < groups; ++t) {
    const int k = 2 * t;
    const int high = k + 1 < dimension ? x[k + 1] : 0;
    q[t] = 2 * x[k] | (2 * high) << 16;
  }
}
MIRVO_TILE_INLINE V Initial(V base) { return _mm256_sub_epi32(_mm256_setzero_si256(), base); }
MIRVO_TILE_INLINE V Exact(const ByteCodes&, int, V h) { return h; }
MIRVO_TILE_INLINE std::int32_t Floor(std::int32_t g) { return g; }
#include "engine/kernels/tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace on_avx2

#undef MIRVO_YMM_OPERATIONS
#undef MIRVO_ROWS
#endif  // defined(__x86_64__)

// Without SIMD: 16 lanes of plain integers on the AVX-512 layout, Dot
// taking its bytes as vpdpbusd does.
namespace on_portable {
#define MIRVO_TILE_TARGET
#define MIRVO_TILE_INLINE inline __attribute__((always_inline))
constexpr int kLanes = 16;
constexpr int kRows = 4;
struct V {
  std::int32_t v[kLanes];
};
using Mask = std::uint32_t;
struct Rows {
  std::int32_t v[kRows];
};
template <class F>
MIRVO_TILE_INLINE V Each(V a, V b, F f) {
  for (int l = 0; l < kLanes; ++l) a.v[l] = f(a.v[l], b.v[l]);
  return a;
}
template <class F>
MIRVO_TILE_INLINE unsigned Bits(V a, V b, F f) {
  unsigned bits = 0;
  for (int l = 0; l < kLanes; ++l) bits |= (f(a.v[l], b.v[l]) ? 1u : 0u) << l;
  return bits;
}
MIRVO_TILE_INLINE V Load(const std::int32_t* p) {
  V out;
  std::memcpy(out.v, p, sizeof out.v);
  return out;
}
MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) {
  V out;
  std::memcpy(out.v, p, sizeof out.v);
  return out;
}
MIRVO_TILE_INLINE V Broadcast(std::int32_t x) {
  V out;
  for (std::int32_t& lane : out.v) lane = x;
  return out;
}
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) {
  const auto q = static_cast<std::uint32_t>(*x);
  for (int l = 0; l < kLanes; ++l) {
    const auto c = static_cast<std::uint32_t>(codes.v[l]);
    for (int e = 0; e < 32; e += 8) {
      acc.v[l] += static_cast<std::int32_t>(c >> e & 0xFF) * static_cast<std::int8_t>(q >> e & 0xFF);
    }
  }
  return acc;
}
MIRVO_TILE_INLINE V Add(V a, V b) {
  return Each(a, b, [](std::int32_t x, std::int32_t y) { return x + y; });
}
MIRVO_TILE_INLINE V Excess(V a, V b) {
  return Each(a, b, [](std::int32_t x, std::int32_t y) {
    const auto u = static_cast<std::uint32_t>(x), w = static_cast<std::uint32_t>(y);
    const std::uint32_t low = (u & 0xFFFF) > (w & 0xFFFF) ? (u & 0xFFFF) - (w & 0xFFFF) : 0;
    const std::uint32_t high = (u >> 16) > (w >> 16) ? (u >> 16) - (w >> 16) : 0;
    return static_cast<std::int32_t>(low | high << 16);
  });
}
MIRVO_TILE_INLINE V Square(V a) {
  return Each(a, a, [](std::int32_t x, std::int32_t) {
    const auto u = static_cast<std::uint32_t>(x);
    const std::int32_t low = static_cast<std::int16_t>(u & 0xFFFF), high = static_cast<std::int16_t>(u >> 16);
    return low * low + high * high;
  });
}
MIRVO_TILE_INLINE V Repeat(Rows rows) {
  V out;
  for (int l = 0; l < kLanes; ++l) out.v[l] = rows.v[l % kRows];
  return out;
}
MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {
  V out;
  for (int l = 0; l < kLanes; ++l) out.v[l] = p[l / kRows];
  return out;
}
MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { std::memcpy(p, a.v, sizeof a.v); }
MIRVO_TILE_INLINE unsigned Above(V a, V b) {
  return Bits(a, b, [](std::int32_t x, std::int32_t y) { return x > y; });
}
MIRVO_TILE_INLINE Mask AtLeast(V a, V b) {
  return Bits(a, b, [](std::int32_t x, std::int32_t y) { return x >= y; });
}
MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return a | b; }
MIRVO_TILE_INLINE Mask Equal(V a, V b) {
  return Bits(a, b, [](std::int32_t x, std::int32_t y) { return x == y; });
}
MIRVO_TILE_INLINE Mask Greater(V a, V b) { return Above(a, b); }
MIRVO_TILE_INLINE V Choose(Mask m, V a, V b) {
  for (int l = 0; l < kLanes; ++l) b.v[l] = (m >> l & 1u) != 0 ? a.v[l] : b.v[l];
  return b;
}
MIRVO_TILE_INLINE V Min(V a, V b) {
  return Each(a, b, [](std::int32_t x, std::int32_t y) { return x < y ? x : y; });
}
MIRVO_TILE_INLINE V Max(V a, V b) {
  return Each(a, b, [](std::int32_t x, std::int32_t y) { return x > y ? x : y; });
}
MIRVO_TILE_INLINE bool Any(Mask m) { return m != 0; }
MIRVO_TILE_INLINE std::int32_t Largest(V g) {
  std::int32_t top = g.v[0];
  for (const std::int32_t lane : g.v) top = lane > top ? lane : top;
  return top;
}
MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {
  std::int32_t lowest = INT32_MAX;
  for (int l = 0; l < kLanes; ++l) {
    if (g.v[l] == value && index.v[l] < lowest) lowest = index.v[l];
  }
  return lowest;
}
MIRVO_TILE_INLINE Rows RowsAt(const std::int32_t* p) {
  Rows out;
  std::memcpy(out.v, p, sizeof out.v);
  return out;
}
MIRVO_TILE_INLINE Rows Same(std::int32_t x) { return Rows{{x, x, x, x}}; }
MIRVO_TILE_INLINE Rows With(Rows rows, int r, std::int32_t x) {
  rows.v[r] = x;
  return rows;
}
MIRVO_TILE_INLINE int Exceeds(Rows a, Rows b) {
  int bits = 0;
  for (int r = 0; r < kRows; ++r) bits |= (a.v[r] > b.v[r] ? 1 : 0) << r;
  return bits;
}
MIRVO_VNNI_TERMS
#include "engine/kernels/tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace on_portable

#undef MIRVO_VNNI_TERMS

}  // namespace

#if defined(__x86_64__)
namespace avx512 {
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance) {
  return on_avx512::Search(layout, rows, count, index, distance);
}
}  // namespace avx512
namespace avxvnni {
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance) {
  return on_avxvnni::Search(layout, rows, count, index, distance);
}
}  // namespace avxvnni
namespace avx2 {
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance) {
  return on_avx2::Search(layout, rows, count, index, distance);
}
}  // namespace avx2
#endif

namespace portable {
std::int64_t Tiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index, std::int64_t* distance) {
  return on_portable::Search(layout, rows, count, index, distance);
}
}  // namespace portable

}  // namespace cbdetail

}  // namespace mirvo
