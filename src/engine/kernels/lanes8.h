// The largest and the smallest of the eight 32-bit lanes of a 256-bit
// vector, for the kernels of the levels that have AVX2, and of the sixteen
// of a 512-bit vector for those of AVX-512 (inlined into theirs). The
// halves are taken with an explicit source and a full mask: the plain
// intrinsics start from an undefined register, which GCC 12 reports as
// uninitialised.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#define MIRVO_LANES8 __attribute__((target("avx2"), always_inline)) inline

namespace mirvo {

namespace cbdetail {

MIRVO_LANES8 std::int32_t MaxOf8(__m256i m) {
  m = _mm256_max_epi32(m, _mm256_permute2x128_si256(m, m, 0x01));
  m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
  m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
  return _mm_cvtsi128_si32(_mm256_castsi256_si128(m));
}

MIRVO_LANES8 std::int32_t MinOf8(__m256i m) {
  m = _mm256_min_epi32(m, _mm256_permute2x128_si256(m, m, 0x01));
  m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
  m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
  return _mm_cvtsi128_si32(_mm256_castsi256_si128(m));
}

#define MIRVO_LANES16 __attribute__((target("avx2,avx512f"), always_inline)) inline

MIRVO_LANES16 std::int32_t MaxOf16(__m512i m) {
  return MaxOf8(_mm256_max_epi32(_mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xF, m, 0),
                                 _mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xF, m, 1)));
}

MIRVO_LANES16 std::int32_t MinOf16(__m512i m) {
  return MinOf8(_mm256_min_epi32(_mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xF, m, 0),
                                 _mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xF, m, 1)));
}

#undef MIRVO_LANES16

}  // namespace cbdetail

}  // namespace mirvo

#undef MIRVO_LANES8
#endif  // defined(__x86_64__)
