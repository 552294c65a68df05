// The VNNI byte search (kernels/vnni.h) on 256-bit vectors with 16
// registers: blocks of 8 code vectors, tiles of 4 training vectors against
// panels of 3 blocks (12 accumulators, 3 code rows, 1 broadcast element).
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#include "engine/kernels/lanes8.h"
#include "engine/kernels/sets.h"

#define MIRVO_VNNI_TARGET __attribute__((target("avx2,avxvnni")))
#define MIRVO_VECTOR MIRVO_VNNI_TARGET static inline __attribute__((always_inline))

namespace mirvo {

namespace cbdetail {

namespace {

// Masks are vectors of lanes all ones or all zeros.
struct Vnni {
  using V = __m256i;
  using Mask = __m256i;
  static constexpr int kLanes = avxvnni::kLanes;
  static constexpr int kTileRows = avxvnni::kTileRows;
  static constexpr int kPanelBlocks = avxvnni::kPanelBlocks;

  MIRVO_VECTOR V Load(const void* p) { return _mm256_load_si256(static_cast<const V*>(p)); }
  MIRVO_VECTOR V LoadU(const void* p) { return _mm256_loadu_si256(static_cast<const V*>(p)); }
  MIRVO_VECTOR void Store(void* p, V v) { _mm256_store_si256(static_cast<V*>(p), v); }
  MIRVO_VECTOR V Broadcast(std::int32_t x) { return _mm256_set1_epi32(x); }
  MIRVO_VECTOR V Add(V a, V b) { return _mm256_add_epi32(a, b); }
  MIRVO_VECTOR V Max(V a, V b) { return _mm256_max_epi32(a, b); }
  // The VEX form; written out as the AVX-512 one is.
  MIRVO_VECTOR V Dot(V acc, V c, V x) {
    asm("%{vex%} vpdpbusd %2, %1, %0" : "+x"(acc) : "x"(c), "x"(x));
    return acc;
  }
  MIRVO_VECTOR Mask Greater(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
  MIRVO_VECTOR Mask Equal(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
  MIRVO_VECTOR V Select(Mask m, V a, V b) { return _mm256_blendv_epi8(b, a, m); }
  MIRVO_VECTOR std::int32_t ReduceMax(V v) { return MaxOf8(v); }
  MIRVO_VECTOR std::int32_t ReduceMin(V v) { return MinOf8(v); }
};

}  // namespace

}  // namespace cbdetail

}  // namespace mirvo

#define MIRVO_VNNI_SET avxvnni
#include "engine/kernels/vnni.h"

#endif  // defined(__x86_64__)
