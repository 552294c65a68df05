// The tile search of pruning_tiles.h, compiled once per instruction set:
// AVX-512 VNNI (512-bit vectors, a leaf in one block of 16 lanes), AVX-VNNI
// (256 bits, two blocks of 8) and, on the AVX2 and portable levels, the same
// code on 16 lanes of plain integers (which the compiler vectorises as the
// level allows).
#include "engine/pruning_kernels.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "engine/intrinsics.h"

namespace mirvo {

namespace cbdetail {
namespace {

// A tile's rows: 4 in SSE4.1, 8 in AVX2 (which the levels using them have).
#define MIRVO_FOUR_ROWS                                                                                              \
  constexpr int kTileRows = 4;                                                                                       \
  using Rows = __m128i;                                                                                              \
  MIRVO_TILE_INLINE Rows RowsAt(const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const Rows*>(p)); } \
  MIRVO_TILE_INLINE Rows Same(std::int32_t x) { return _mm_set1_epi32(x); }                                          \
  MIRVO_TILE_INLINE Rows With(Rows rows, int r, std::int32_t x) {                                                    \
    const Rows lane = _mm_cmpeq_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(r));                                \
    return _mm_blendv_epi8(rows, _mm_set1_epi32(x), lane);                                                           \
  }                                                                                                                  \
  MIRVO_TILE_INLINE int Above(Rows a, Rows b) { return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(a, b))); }
#define MIRVO_EIGHT_ROWS                                                                                   \
  constexpr int kTileRows = 8;                                                                             \
  using Rows = __m256i;                                                                                    \
  MIRVO_TILE_INLINE Rows RowsAt(const std::int32_t* p) {                                                   \
    return _mm256_loadu_si256(reinterpret_cast<const Rows*>(p));                                           \
  }                                                                                                        \
  MIRVO_TILE_INLINE Rows Same(std::int32_t x) { return _mm256_set1_epi32(x); }                             \
  MIRVO_TILE_INLINE Rows With(Rows rows, int r, std::int32_t x) {                                          \
    const Rows lane = _mm256_cmpeq_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(r)); \
    return _mm256_blendv_epi8(rows, _mm256_set1_epi32(x), lane);                                           \
  }                                                                                                        \
  MIRVO_TILE_INLINE int Above(Rows a, Rows b) {                                                            \
    return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b)));                              \
  }

#if defined(__x86_64__)
namespace avx512 {
#define MIRVO_TILE_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
using V = __m512i;
using Mask = __mmask16;
constexpr int kLanes = 16;
MIRVO_TILE_INLINE V Load(const std::int32_t* p) { return _mm512_loadu_si512(p); }
MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) { return _mm512_load_si512(p); }
MIRVO_TILE_INLINE V Broadcast(std::int32_t x) { return _mm512_set1_epi32(x); }
// Written out because GCC 12 copies the accumulators of the intrinsic
// through memory when many are live.
MIRVO_TILE_INLINE V Dot(V acc, V codes, V x) {
  asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(codes), "v"(x));
  return acc;
}
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) {
  asm("vpdpbusd %2%{1to16%}, %1, %0" : "+v"(acc) : "v"(codes), "m"(*x));
  return acc;
}
MIRVO_TILE_INLINE V Add(V a, V b) { return _mm512_add_epi32(a, b); }
MIRVO_TILE_INLINE V Excess(V a, V b) { return _mm512_subs_epu16(a, b); }
MIRVO_TILE_INLINE V Square(V a) { return _mm512_madd_epi16(a, a); }
MIRVO_TILE_INLINE V Repeat(__m128i rows) { return _mm512_broadcast_i32x4(rows); }
MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {
  const V lanes = _mm512_set_epi32(3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
  return _mm512_permutexvar_epi32(lanes, _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { _mm512_storeu_si512(p, a); }
MIRVO_TILE_INLINE unsigned Above(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
MIRVO_TILE_INLINE Mask AtLeast(V a, V b) { return _mm512_cmpge_epi32_mask(a, b); }
MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
MIRVO_TILE_INLINE bool Any(Mask m) { return m != 0; }
MIRVO_TILE_INLINE std::int32_t Largest(V g) { return _mm512_reduce_max_epi32(g); }
MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {
  return _mm512_mask_reduce_min_epi32(_mm512_cmpeq_epi32_mask(g, _mm512_set1_epi32(value)), index);
}
MIRVO_FOUR_ROWS
#include "engine/pruning_tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace avx512

namespace avxvnni {
#define MIRVO_TILE_TARGET __attribute__((target("avx2,avxvnni")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
using V = __m256i;
using Mask = __m256i;
constexpr int kLanes = 8;
MIRVO_TILE_INLINE V Load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const V*>(p)); }
MIRVO_TILE_INLINE V Broadcast(std::int32_t x) { return _mm256_set1_epi32(x); }
MIRVO_TILE_INLINE V Dot(V acc, V codes, V x) {
  asm("%{vex%} vpdpbusd %2, %1, %0" : "+x"(acc) : "x"(codes), "x"(x));
  return acc;
}
MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) { return Dot(acc, codes, Broadcast(*x)); }
MIRVO_TILE_INLINE V Add(V a, V b) { return _mm256_add_epi32(a, b); }
MIRVO_TILE_INLINE V Excess(V a, V b) { return _mm256_subs_epu16(a, b); }
MIRVO_TILE_INLINE V Square(V a) { return _mm256_madd_epi16(a, a); }
MIRVO_TILE_INLINE V Repeat(__m128i rows) { return _mm256_broadcastsi128_si256(rows); }
MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {
  const V lanes = _mm256_set_epi32(1, 1, 1, 1, 0, 0, 0, 0);
  return _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))),
                                     lanes);
}
MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { _mm256_storeu_si256(reinterpret_cast<V*>(p), a); }
MIRVO_TILE_INLINE unsigned Above(V a, V b) {
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b))));
}
MIRVO_TILE_INLINE Mask AtLeast(V a, V b) { return _mm256_cmpeq_epi32(_mm256_max_epi32(a, b), a); }
MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return _mm256_or_si256(a, b); }
MIRVO_TILE_INLINE bool Any(Mask m) { return _mm256_testz_si256(m, m) == 0; }
MIRVO_TILE_INLINE std::int32_t Largest(V g) {
  g = _mm256_max_epi32(g, _mm256_permute2x128_si256(g, g, 0x01));
  g = _mm256_max_epi32(g, _mm256_shuffle_epi32(g, 0x4E));
  g = _mm256_max_epi32(g, _mm256_shuffle_epi32(g, 0xB1));
  return _mm_cvtsi128_si32(_mm256_castsi256_si128(g));
}
MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {
  V at = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), index, _mm256_cmpeq_epi32(g, _mm256_set1_epi32(value)));
  at = _mm256_min_epi32(at, _mm256_permute2x128_si256(at, at, 0x01));
  at = _mm256_min_epi32(at, _mm256_shuffle_epi32(at, 0x4E));
  at = _mm256_min_epi32(at, _mm256_shuffle_epi32(at, 0xB1));
  return _mm_cvtsi128_si32(_mm256_castsi256_si128(at));
}
MIRVO_FOUR_ROWS
#include "engine/pruning_tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace avxvnni
#endif  // defined(__x86_64__)

// 16 lanes of plain integers, for the levels below VNNI: the layout is the
// AVX-512 one, and Dot takes its bytes as vpdpbusd does.
struct Lanes {
  std::int32_t v[16];
};
using LaneMask = std::uint32_t;

#define MIRVO_LANE_OPERATIONS                                                                                 \
  using V = Lanes;                                                                                            \
  using Mask = LaneMask;                                                                                      \
  constexpr int kLanes = 16;                                                                                  \
  MIRVO_TILE_INLINE V Load(const std::int32_t* p) {                                                           \
    V out;                                                                                                    \
    std::memcpy(out.v, p, sizeof out.v);                                                                      \
    return out;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE V LoadCodes(const std::uint8_t* p) {                                                      \
    V out;                                                                                                    \
    std::memcpy(out.v, p, sizeof out.v);                                                                      \
    return out;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Broadcast(std::int32_t x) {                                                             \
    V out;                                                                                                    \
    for (std::int32_t & lane : out.v) lane = x;                                                               \
    return out;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Dot(V acc, V codes, V x) {                                                              \
    for (int l = 0; l < 16; ++l) {                                                                            \
      const auto c = static_cast<std::uint32_t>(codes.v[l]), q = static_cast<std::uint32_t>(x.v[l]);          \
      for (int e = 0; e < 32; e += 8) {                                                                       \
        acc.v[l] += static_cast<std::int32_t>(c >> e & 0xFF) * static_cast<std::int8_t>(q >> e & 0xFF);       \
      }                                                                                                       \
    }                                                                                                         \
    return acc;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE V DotAt(V acc, V codes, const std::int32_t* x) { return Dot(acc, codes, Broadcast(*x)); } \
  MIRVO_TILE_INLINE V Add(V a, V b) {                                                                         \
    for (int l = 0; l < 16; ++l) a.v[l] += b.v[l];                                                            \
    return a;                                                                                                 \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Excess(V a, V b) {                                                                      \
    for (int l = 0; l < 16; ++l) {                                                                            \
      const auto x = static_cast<std::uint32_t>(a.v[l]), y = static_cast<std::uint32_t>(b.v[l]);              \
      const std::uint32_t lo = (x & 0xFFFF) > (y & 0xFFFF) ? (x & 0xFFFF) - (y & 0xFFFF) : 0;                 \
      const std::uint32_t hi = (x >> 16) > (y >> 16) ? (x >> 16) - (y >> 16) : 0;                             \
      a.v[l] = static_cast<std::int32_t>(lo | hi << 16);                                                      \
    }                                                                                                         \
    return a;                                                                                                 \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Square(V a) {                                                                           \
    for (int l = 0; l < 16; ++l) {                                                                            \
      const auto x = static_cast<std::uint32_t>(a.v[l]);                                                      \
      const std::int32_t lo = static_cast<std::int16_t>(x & 0xFFFF), hi = static_cast<std::int16_t>(x >> 16); \
      a.v[l] = lo * lo + hi * hi;                                                                             \
    }                                                                                                         \
    return a;                                                                                                 \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Repeat(Rows rows) {                                                                     \
    std::int32_t lanes[kTileRows];                                                                            \
    std::memcpy(lanes, &rows, sizeof lanes);                                                                  \
    V out;                                                                                                    \
    for (int l = 0; l < 16; ++l) out.v[l] = lanes[l % kTileRows];                                             \
    return out;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE V Spread(const std::int32_t* p) {                                                         \
    V out;                                                                                                    \
    for (int l = 0; l < 16; ++l) out.v[l] = p[l / kTileRows];                                                 \
    return out;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE void Store(std::int32_t* p, V a) { std::memcpy(p, a.v, sizeof a.v); }                     \
  MIRVO_TILE_INLINE unsigned Above(V a, V b) {                                                                \
    unsigned bits = 0;                                                                                        \
    for (int l = 0; l < 16; ++l) bits |= (a.v[l] > b.v[l] ? 1u : 0u) << l;                                    \
    return bits;                                                                                              \
  }                                                                                                           \
  MIRVO_TILE_INLINE Mask AtLeast(V a, V b) {                                                                  \
    Mask m = 0;                                                                                               \
    for (int l = 0; l < 16; ++l) m |= static_cast<Mask>(a.v[l] >= b.v[l]) << l;                               \
    return m;                                                                                                 \
  }                                                                                                           \
  MIRVO_TILE_INLINE Mask Either(Mask a, Mask b) { return a | b; }                                             \
  MIRVO_TILE_INLINE bool Any(Mask m) { return m != 0; }                                                       \
  MIRVO_TILE_INLINE std::int32_t Largest(V g) {                                                               \
    std::int32_t top = g.v[0];                                                                                \
    for (const std::int32_t lane : g.v) top = lane > top ? lane : top;                                        \
    return top;                                                                                               \
  }                                                                                                           \
  MIRVO_TILE_INLINE std::int32_t LowestAt(V g, std::int32_t value, V index) {                                 \
    std::int32_t lowest = INT32_MAX;                                                                          \
    for (int l = 0; l < 16; ++l) {                                                                            \
      if (g.v[l] == value && index.v[l] < lowest) lowest = index.v[l];                                        \
    }                                                                                                         \
    return lowest;                                                                                            \
  }

#if defined(__x86_64__)
namespace avx2 {
#define MIRVO_TILE_TARGET __attribute__((target("avx2")))
#define MIRVO_TILE_INLINE MIRVO_TILE_TARGET inline __attribute__((always_inline))
MIRVO_FOUR_ROWS
MIRVO_LANE_OPERATIONS
#include "engine/pruning_tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace avx2
#endif

// A tile's rows in plain integers, 4 of them.
constexpr int kPortableRows = 4;
struct RowLanes {
  std::int32_t v[kPortableRows];
};
inline __attribute__((always_inline)) RowLanes RowsAt(const std::int32_t* p) {
  RowLanes out;
  std::memcpy(out.v, p, sizeof out.v);
  return out;
}
inline __attribute__((always_inline)) RowLanes Same(std::int32_t x) { return RowLanes{{x, x, x, x}}; }
inline __attribute__((always_inline)) RowLanes With(RowLanes rows, int r, std::int32_t x) {
  rows.v[r] = x;
  return rows;
}
inline __attribute__((always_inline)) int Above(RowLanes a, RowLanes b) {
  int bits = 0;
  for (int r = 0; r < kPortableRows; ++r) bits |= (a.v[r] > b.v[r] ? 1 : 0) << r;
  return bits;
}

namespace portable {
#define MIRVO_TILE_TARGET
#define MIRVO_TILE_INLINE inline __attribute__((always_inline))
constexpr int kTileRows = kPortableRows;
using Rows = RowLanes;
MIRVO_LANE_OPERATIONS
#include "engine/pruning_tiles.h"
#undef MIRVO_TILE_TARGET
#undef MIRVO_TILE_INLINE
}  // namespace portable

#undef MIRVO_LANE_OPERATIONS
#undef MIRVO_FOUR_ROWS
#undef MIRVO_EIGHT_ROWS

}  // namespace

SimdLevel PruneLayoutLevel(SimdLevel level) {
  return level == SimdLevel::AvxVnni ? SimdLevel::AvxVnni : SimdLevel::Avx512;
}

std::int64_t SearchTiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index,
                         std::int64_t* distance) {
  switch (layout.level) {
#if defined(__x86_64__)
    case SimdLevel::Avx512:
      return avx512::Search(layout, rows, count, index, distance);
    case SimdLevel::AvxVnni:
      return avxvnni::Search(layout, rows, count, index, distance);
    case SimdLevel::Avx2:
      return avx2::Search(layout, rows, count, index, distance);
#endif
    default:
      return portable::Search(layout, rows, count, index, distance);
  }
}

}  // namespace cbdetail

}  // namespace mirvo
