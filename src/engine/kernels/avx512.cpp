// The VNNI byte search (kernels/vnni.h) on 512-bit vectors: blocks of 16
// code vectors, tiles of 6 training vectors against panels of 4 blocks; and
// the 32-bit sums, 16 elements at a time.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/kernels/lanes8.h"
#include "engine/kernels/sets.h"
#include "records/arithmetic.h"

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

namespace mirvo {

namespace cbdetail {

namespace {

#define MIRVO_AVX512 __attribute__((target("avx512f")))

// 16 elements from e, widened to 32 bits (zero-masked, the same
// instruction: the plain intrinsic starts from an undefined register).
MIRVO_AVX512 inline __m512i Widen16(const std::uint8_t* e) {
  return _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(e)));
}
MIRVO_AVX512 inline __m512i Widen16(const std::uint16_t* e) {
  return _mm512_maskz_cvtepu16_epi32(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e)));
}

// Rows of kVectors x 16 elements (of any length d when kVectors is 0),
// times their frequencies (1 with kOnes, freqs then unread).
template <int kVectors, bool kOnes, class Element>
MIRVO_AVX512 inline void AddNarrowOf(const Element* rows, std::size_t d, std::size_t stride, int count,
                                     const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals) {
  constexpr std::size_t kWidth = 16;
  if constexpr (kVectors > 0) d = kVectors * kWidth;
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * stride;
    std::int32_t* s = sums + static_cast<std::size_t>(partitionOf[r]) * d;
    const int freq = kOnes ? 1 : freqs[r];
    const __m512i f = _mm512_set1_epi32(freq);
    std::size_t k = 0;
    for (; k + kWidth <= d; k += kWidth) {
      const __m512i e = kOnes ? Widen16(row + k) : _mm512_mullo_epi32(Widen16(row + k), f);
      _mm512_storeu_si512(s + k, _mm512_add_epi32(_mm512_loadu_si512(s + k), e));
    }
    if constexpr (kVectors == 0) {
      for (; k < d; ++k) s[k] += std::int32_t{row[k]} * freq;
    }
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

// The common row lengths (4 x 4, 8 x 4 and 8 x 8 blocks) are added in
// registers whole, and frequencies left out when every one is 1 (freqs
// null).
template <class Element>
MIRVO_AVX512 void AddNarrow(const Element* rows, std::size_t d, std::size_t stride, int count, const int* freqs,
                            const int* partitionOf, std::int32_t* sums, int* totals) {
  const auto run = [&](auto vectors) {
    constexpr int kVectors = decltype(vectors)::value;
    if (freqs == nullptr) {
      AddNarrowOf<kVectors, true>(rows, d, stride, count, freqs, partitionOf, sums, totals);
    } else {
      AddNarrowOf<kVectors, false>(rows, d, stride, count, freqs, partitionOf, sums, totals);
    }
  };
  switch (d) {
    case 16:
      return run(std::integral_constant<int, 1>{});
    case 32:
      return run(std::integral_constant<int, 2>{});
    case 64:
      return run(std::integral_constant<int, 4>{});
    default:
      return run(std::integral_constant<int, 0>{});
  }
}

#undef MIRVO_AVX512

}  // namespace

namespace avx512 {

void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals) {
  ByWidth(rows, [&](const auto* data, std::size_t d, std::size_t stride) {
    AddNarrow(data, d, stride, rows.count, freqs, partitionOf, sums, totals);
  });
}

}  // namespace avx512

}  // namespace cbdetail

}  // namespace mirvo

#endif  // defined(__x86_64__)
