// The VNNI byte search (kernels/vnni.h) on 512-bit vectors: blocks of 16
// code vectors, tiles of 6 training vectors against panels of 4 blocks.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#include "engine/kernels/lanes8.h"
#include "engine/kernels/sets.h"

#define MIRVO_VNNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
#define MIRVO_VECTOR MIRVO_VNNI_TARGET static inline __attribute__((always_inline))

namespace mirvo {

namespace cbdetail {

namespace {

// Operations whose plain intrinsics start from an undefined register (which
// GCC 12 reports as uninitialised) are written with an explicit source and
// a full mask, the same instructions.
struct Vnni {
  using V = __m512i;
  using Mask = __mmask16;
  static constexpr int kLanes = avx512::kLanes;
  static constexpr int kTileRows = avx512::kTileRows;
  static constexpr int kPanelBlocks = avx512::kPanelBlocks;
  static constexpr Mask kAll = 0xFFFF;

  MIRVO_VECTOR V Load(const void* p) { return _mm512_load_si512(p); }
  MIRVO_VECTOR V LoadU(const void* p) { return _mm512_loadu_si512(p); }
  MIRVO_VECTOR void Store(void* p, V v) { _mm512_store_si512(p, v); }
  MIRVO_VECTOR V Broadcast(std::int32_t x) { return _mm512_set1_epi32(x); }
  MIRVO_VECTOR V Add(V a, V b) { return _mm512_add_epi32(a, b); }
  MIRVO_VECTOR V Max(V a, V b) { return _mm512_mask_max_epi32(a, kAll, a, b); }
  // Written out because GCC 12 copies the accumulators of the intrinsic
  // through memory when many are live.
  MIRVO_VECTOR V Dot(V acc, V c, V x) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(c), "v"(x));
    return acc;
  }
  MIRVO_VECTOR Mask Greater(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
  MIRVO_VECTOR Mask Equal(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
  MIRVO_VECTOR V Select(Mask m, V a, V b) { return _mm512_mask_mov_epi32(b, m, a); }
  // Of the two halves, then of their eight lanes.
  MIRVO_VECTOR std::int32_t ReduceMax(V v) { return MaxOf16(v); }
  MIRVO_VECTOR std::int32_t ReduceMin(V v) { return MinOf16(v); }
};

}  // namespace

}  // namespace cbdetail

}  // namespace mirvo

#define MIRVO_VNNI_SET avx512
#include "engine/kernels/vnni.h"

#endif  // defined(__x86_64__)
