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
//   base = |c|^2 - 256 sum c and f = base - 2 * acc.
// - AVX2: blocks of 8 code vectors; per pair of elements a 32-byte row whose
//   lane j holds them as two 16-bit values; vpmaddwd with the training
//   vector's pair: base = |c|^2 and f = base - 2 * acc.
// - Portable: the code vectors as rows of bytes; base = |c|^2.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>

#include "cb/search.h"

// GCC 12 warns about the deliberately undefined upper parts of its own
// AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace cbdetail {
namespace {

constexpr int kMaxQueries = 4;

void Align(ByteCodes& codes, std::size_t bytes) {
  codes.storage.assign(bytes + 64, 0);
  const auto address = reinterpret_cast<std::uintptr_t>(codes.storage.data());
  codes.data = codes.storage.data() + ((64 - address % 64) % 64);
}

// Element k of code vector j, less the offset; the padding vectors repeat the
// last code vector, so that they never win a tie against it.
int Element(const int* const* codes, int size, int j, int k, int offset) {
  return codes[std::min(j, size - 1)][k] - offset;
}

std::int32_t SquareNorm(const int* v, int dimension, int offset) {
  std::int32_t sum = 0;
  for (int k = 0; k < dimension; ++k) sum += (v[k] - offset) * (v[k] - offset);
  return sum;
}

void Finish(std::int32_t bestF, int bestIndex, const int* vector, int dimension, int offset, int* index,
            std::int64_t* distance) {
  *index = bestIndex;
  *distance = std::int64_t{bestF} + SquareNorm(vector, dimension, offset);
}

// The smallest value seen so far and its lowest index. Blocks of code
// vectors come in index order, so a later block only wins when strictly
// smaller.
struct Best {
  std::int32_t f = INT32_MAX;
  int index = 0;
};

// ---------------------------------------------------------------- portable

void NearestPortable(const ByteCodes& codes, const int* const* vectors, int count, int offset, int* index,
                     std::int64_t* distance) {
  const int d = codes.dimension;
  std::uint8_t q[8192];
  for (int v = 0; v < count; ++v) {
    for (int k = 0; k < d; ++k) q[k] = static_cast<std::uint8_t>(vectors[v][k] - offset);
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
    Finish(bestF, best, vectors[v], d, offset, &index[v], &distance[v]);
  }
}

#if defined(__x86_64__)
// ---------------------------------------------------------------- AVX2

__attribute__((target("avx2"))) void NearestAvx2(const ByteCodes& codes, const int* const* vectors, int count,
                                                 int offset, int* index, std::int64_t* distance) {
  const int groups = codes.groups;
  // Pairs of elements of each training vector as 32-bit words.
  alignas(32) std::int32_t q[kMaxQueries][4096];
  for (int v = 0; v < kMaxQueries; ++v) {
    const int* x = vectors[std::min(v, count - 1)];
    for (int t = 0; t < groups; ++t) {
      const int k = 2 * t;
      const int lo = x[k] - offset;
      const int hi = k + 1 < codes.dimension ? x[k + 1] - offset : 0;
      q[v][t] = lo | (hi << 16);
    }
  }
  Best best[kMaxQueries];
  __m256i limit[kMaxQueries];
  for (int v = 0; v < kMaxQueries; ++v) limit[v] = _mm256_set1_epi32(INT32_MAX);
  const auto* rows = reinterpret_cast<const __m256i*>(codes.data);
  for (int b = 0; b < codes.padded; b += 16) {
    __m256i acc[kMaxQueries][2];
    for (int v = 0; v < kMaxQueries; ++v) acc[v][0] = acc[v][1] = _mm256_setzero_si256();
    const __m256i* r0 = rows + static_cast<std::size_t>(b / 8) * groups;
    const __m256i* r1 = r0 + groups;
    for (int t = 0; t < groups; ++t) {
      const __m256i c0 = _mm256_load_si256(r0 + t), c1 = _mm256_load_si256(r1 + t);
      for (int v = 0; v < kMaxQueries; ++v) {
        const __m256i x = _mm256_set1_epi32(q[v][t]);
        acc[v][0] = _mm256_add_epi32(acc[v][0], _mm256_madd_epi16(c0, x));
        acc[v][1] = _mm256_add_epi32(acc[v][1], _mm256_madd_epi16(c1, x));
      }
    }
    const __m256i base0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b));
    const __m256i base1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes.base.data() + b + 8));
    for (int v = 0; v < kMaxQueries; ++v) {
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
  for (int v = 0; v < count; ++v)
    Finish(best[v].f, best[v].index, vectors[v], codes.dimension, offset, &index[v], &distance[v]);
}

// ---------------------------------------------------------------- AVX-512

__attribute__((target("avx512f,avx512bw,avx512vnni"))) void NearestAvx512(const ByteCodes& codes,
                                                                          const int* const* vectors, int count,
                                                                          int offset, int* index,
                                                                          std::int64_t* distance) {
  const int groups = codes.groups;
  // Groups of 4 elements of each training vector, less 128, as signed bytes.
  alignas(64) std::int32_t q[kMaxQueries][2048];
  for (int v = 0; v < kMaxQueries; ++v) {
    const int* x = vectors[std::min(v, count - 1)];
    for (int t = 0; t < groups; ++t) {
      std::uint32_t word = 0;
      for (int e = 0; e < 4; ++e) {
        const int k = 4 * t + e;
        const int value = k < codes.dimension ? x[k] - offset - 128 : 0;
        word |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(static_cast<std::int8_t>(value))) << (8 * e);
      }
      q[v][t] = static_cast<std::int32_t>(word);
    }
  }
  Best best[kMaxQueries];
  __m512i limit[kMaxQueries];
  for (int v = 0; v < kMaxQueries; ++v) limit[v] = _mm512_set1_epi32(INT32_MAX);
  const auto* rows = reinterpret_cast<const __m512i*>(codes.data);
  for (int b = 0; b < codes.padded; b += 32) {
    __m512i acc[kMaxQueries][2];
    for (int v = 0; v < kMaxQueries; ++v) acc[v][0] = acc[v][1] = _mm512_setzero_si512();
    const __m512i* r0 = rows + static_cast<std::size_t>(b / 16) * groups;
    const __m512i* r1 = r0 + groups;
    for (int t = 0; t < groups; ++t) {
      const __m512i c0 = _mm512_load_si512(r0 + t), c1 = _mm512_load_si512(r1 + t);
      for (int v = 0; v < kMaxQueries; ++v) {
        const __m512i x = _mm512_set1_epi32(q[v][t]);
        acc[v][0] = _mm512_dpbusd_epi32(acc[v][0], c0, x);
        acc[v][1] = _mm512_dpbusd_epi32(acc[v][1], c1, x);
      }
    }
    const __m512i base0 = _mm512_loadu_si512(codes.base.data() + b);
    const __m512i base1 = _mm512_loadu_si512(codes.base.data() + b + 16);
    for (int v = 0; v < kMaxQueries; ++v) {
      const __m512i f0 = _mm512_sub_epi32(base0, _mm512_add_epi32(acc[v][0], acc[v][0]));
      const __m512i f1 = _mm512_sub_epi32(base1, _mm512_add_epi32(acc[v][1], acc[v][1]));
      // Rarely taken once a near code vector has been seen.
      __m512i m = _mm512_min_epi32(f0, f1);
      if (_mm512_cmplt_epi32_mask(m, limit[v]) != 0) {
        // The block's smallest value in every lane, then its first place.
        m = _mm512_min_epi32(m, _mm512_maskz_shuffle_i32x4(0xFFFF, m, m, 0x4E));
        m = _mm512_min_epi32(m, _mm512_maskz_shuffle_i32x4(0xFFFF, m, m, 0xB1));
        m = _mm512_min_epi32(m, _mm512_maskz_shuffle_epi32(0xFFFF, m, _MM_PERM_BADC));
        m = _mm512_min_epi32(m, _mm512_maskz_shuffle_epi32(0xFFFF, m, _MM_PERM_CDAB));
        const unsigned at0 = _mm512_cmpeq_epi32_mask(f0, m), at1 = _mm512_cmpeq_epi32_mask(f1, m);
        best[v].f = _mm_cvtsi128_si32(_mm512_castsi512_si128(m));
        best[v].index = b + (at0 != 0 ? __builtin_ctz(at0) : 16 + __builtin_ctz(at1));
        limit[v] = m;
      }
    }
  }
  for (int v = 0; v < count; ++v)
    Finish(best[v].f, best[v].index, vectors[v], codes.dimension, offset, &index[v], &distance[v]);
}

#endif  // defined(__x86_64__)

}  // namespace

std::unique_ptr<ByteCodes> PrepareByteCodes(const int* const* codes, int size, int dimension, int offset,
                                            SimdLevel level) {
  auto out = std::make_unique<ByteCodes>();
  out->level = level;
  out->dimension = dimension;
  out->size = size;
  switch (level) {
    case SimdLevel::Avx512: {
      out->groups = (dimension + 3) / 4;
      out->padded = (size + 31) / 32 * 32;
      Align(*out, static_cast<std::size_t>(out->padded) * out->groups * 4);
      for (int j = 0; j < out->padded; ++j) {
        for (int k = 0; k < dimension; ++k) {
          const std::size_t block = static_cast<std::size_t>(j / 16), lane = static_cast<std::size_t>(j % 16);
          const std::size_t t = static_cast<std::size_t>(k / 4), e = static_cast<std::size_t>(k % 4);
          out->data[(block * out->groups + t) * 64 + lane * 4 + e] =
              static_cast<std::uint8_t>(Element(codes, size, j, k, offset));
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
          words[(block * out->groups + t) * 16 + lane * 2 + e] =
              static_cast<std::int16_t>(Element(codes, size, j, k, offset));
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
          out->data[static_cast<std::size_t>(j) * dimension + k] = static_cast<std::uint8_t>(codes[j][k] - offset);
        }
      }
      break;
  }
  out->base.resize(static_cast<std::size_t>(out->padded));
  for (int j = 0; j < out->padded; ++j) {
    std::int32_t value = 0;
    for (int k = 0; k < dimension; ++k) {
      const int c = Element(codes, size, j, k, offset);
      value += level == SimdLevel::Avx512 ? c * (c - 256) : c * c;
    }
    out->base[static_cast<std::size_t>(j)] = value;
  }
  return out;
}

void ByteNearest(const ByteCodes& codes, const int* const* vectors, int count, int offset, int* index,
                 std::int64_t* distance) {
  switch (codes.level) {
#if defined(__x86_64__)
    case SimdLevel::Avx512:
      NearestAvx512(codes, vectors, count, offset, index, distance);
      break;
    case SimdLevel::Avx2:
      NearestAvx2(codes, vectors, count, offset, index, distance);
      break;
#else
    default:
#endif
    case SimdLevel::Portable:
      NearestPortable(codes, vectors, count, offset, index, distance);
      break;
  }
}

}  // namespace cbdetail
