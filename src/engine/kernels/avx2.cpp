// The AVX2 kernels: the byte search on the Pairs layout (vpmaddwd) and the
// 32-bit sums, 8 elements at a time.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <climits>

#include "engine/kernels/sets.h"
#include "records/arithmetic.h"

#define MIRVO_AVX2 __attribute__((target("avx2")))

namespace mirvo {

namespace cbdetail {

namespace {

// Training vectors per step.
constexpr int kQueries = 4;

// The smallest value seen so far and its lowest index. Blocks of code
// vectors come in index order, so a later block only wins when strictly
// smaller.
struct Best {
  std::int32_t f = INT32_MAX;
  int index = 0;
};

MIRVO_AVX2 void NearestGroup(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                             std::int64_t* distance) {
  const int groups = codes.groups;
  // Pairs of elements of each training vector as 32-bit words.
  alignas(32) std::int32_t q[kQueries][4096];
  for (int v = 0; v < kQueries; ++v) {
    const std::uint8_t* x = rows[std::min(v, count - 1)];
    for (int t = 0; t < groups; ++t) {
      const int k = 2 * t;
      const int hi = k + 1 < codes.dimension ? x[k + 1] : 0;
      q[v][t] = x[k] | (hi << 16);
    }
  }
  Best best[kQueries];
  __m256i limit[kQueries];
  for (int v = 0; v < kQueries; ++v) limit[v] = _mm256_set1_epi32(INT32_MAX);
  const auto* blocks = reinterpret_cast<const __m256i*>(codes.data);
  for (int b = 0; b < codes.padded; b += 16) {
    __m256i acc[kQueries][2];
    for (int v = 0; v < kQueries; ++v) acc[v][0] = acc[v][1] = _mm256_setzero_si256();
    const __m256i* r0 = blocks + static_cast<std::size_t>(b / 8) * groups;
    const __m256i* r1 = r0 + groups;
    for (int t = 0; t < groups; ++t) {
      const __m256i c0 = _mm256_load_si256(r0 + t), c1 = _mm256_load_si256(r1 + t);
      for (int v = 0; v < kQueries; ++v) {
        const __m256i x = _mm256_set1_epi32(q[v][t]);
        acc[v][0] = _mm256_add_epi32(acc[v][0], _mm256_madd_epi16(c0, x));
        acc[v][1] = _mm256_add_epi32(acc[v][1], _mm256_madd_epi16(c1, x));
      }
    }
    const __m256i base0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b));
    const __m256i base1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b + 8));
    for (int v = 0; v < kQueries; ++v) {
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

// 8 elements from e, widened to 32 bits.
MIRVO_AVX2 inline __m256i Widen8(const std::uint8_t* e) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(e)));
}
MIRVO_AVX2 inline __m256i Widen8(const std::uint16_t* e) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(e)));
}

template <class Element>
MIRVO_AVX2 void AddNarrow(const Element* rows, std::size_t d, std::size_t stride, int count, const int* freqs,
                          const int* partitionOf, std::int32_t* sums, int* totals) {
  constexpr std::size_t kLanes = 8;
  for (int r = 0; r < count; ++r) {
    const Element* row = rows + static_cast<std::size_t>(r) * stride;
    std::int32_t* s = sums + static_cast<std::size_t>(partitionOf[r]) * d;
    const int freq = freqs == nullptr ? 1 : freqs[r];
    std::size_t k = 0;
    const __m256i f = _mm256_set1_epi32(freq);
    for (; k + kLanes <= d; k += kLanes) {
      auto* at = reinterpret_cast<__m256i*>(s + k);
      const __m256i e = freq == 1 ? Widen8(row + k) : _mm256_mullo_epi32(Widen8(row + k), f);
      _mm256_storeu_si256(at, _mm256_add_epi32(_mm256_loadu_si256(at), e));
    }
    for (; k < d; ++k) s[k] += std::int32_t{row[k]} * freq;
    AddWrapped(totals[partitionOf[r]], freq);
  }
}

}  // namespace

namespace avx2 {

void Nearest(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index, std::int64_t* distance) {
  for (int v = 0; v < count; v += kQueries) {
    NearestGroup(codes, rows + v, std::min(kQueries, count - v), index + v, distance + v);
  }
}

void Narrow(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums, int* totals) {
  ByWidth(rows, [&](const auto* data, std::size_t d, std::size_t stride) {
    AddNarrow(data, d, stride, rows.count, freqs, partitionOf, sums, totals);
  });
}

}  // namespace avx2

}  // namespace cbdetail

}  // namespace mirvo

#endif  // defined(__x86_64__)
