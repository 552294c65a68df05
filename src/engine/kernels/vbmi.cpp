// Partitioning lines 16 at a time with AVX-512 VBMI and VBMI2 (vpcompressb,
// vpermb): the line feeds' positions of 64 bytes are compressed into one
// vector, each line's last four places gathered into a 32-bit lane and
// weighted by vpmaddubsw and vpmaddwd.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "engine/kernels/sets.h"

#define MIRVO_VBMI __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,popcnt")))

namespace mirvo {

namespace cbdetail {

namespace {

// The low 16 bytes. The plain cast (and vpermb) start from an undefined
// register, which GCC 12 reports as uninitialised: these give the same
// instructions from a defined one.
MIRVO_VBMI inline __m128i Low(__m512i v) { return _mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xF, v, 0); }
MIRVO_VBMI inline __m512i Permute(__m512i index, __m512i v) {
  return _mm512_mask_permutexvar_epi8(v, ~__mmask64{0}, index, v);
}

}  // namespace

namespace vbmi {

MIRVO_VBMI int Lines(const unsigned char* line, int want, std::uint32_t partitions, int* out, std::size_t& used) {
  const __m512i bytes = _mm512_loadu_si512(line);
  const __m512i digits = _mm512_sub_epi8(bytes, _mm512_set1_epi8('0'));
  const __mmask64 feeds = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
  // Lines end before the first byte that is neither a digit nor a line feed.
  const __mmask64 other = ~(feeds | _mm512_cmplt_epu8_mask(digits, _mm512_set1_epi8(10)));
  const __mmask64 before = other == 0 ? ~__mmask64{0} : _blsmsk_u64(other) >> 1;
  int n = std::min({static_cast<int>(_mm_popcnt_u64(feeds & before)), want, 16});
  if (n <= 0) return 0;
  // The position of each line's feed, and of the feed before it (-1 for the
  // first line).
  const __m128i ends = Low(_mm512_maskz_compress_epi8(
      feeds & before,
      _mm512_set_epi64(0x3F3E3D3C3B3A3938, 0x3736353433323130, 0x2F2E2D2C2B2A2928, 0x2726252423222120,
                       0x1F1E1D1C1B1A1918, 0x1716151413121110, 0x0F0E0D0C0B0A0908, 0x0706050403020100)));
  const __m128i starts = _mm_alignr_epi8(ends, _mm_set1_epi8(-1), 15);
  // Lines of one to four digits whose first digit is not 0.
  const __m128i lengths = _mm_sub_epi8(_mm_sub_epi8(ends, starts), _mm_set1_epi8(1));
  const __mmask16 shortOnes = _mm_cmple_epu8_mask(_mm_sub_epi8(lengths, _mm_set1_epi8(1)), _mm_set1_epi8(3));
  const __m128i first = Low(Permute(_mm512_castsi128_si512(_mm_add_epi8(starts, _mm_set1_epi8(1))), bytes));
  const __mmask16 zeros = _mm_cmpeq_epi8_mask(first, _mm_set1_epi8('0'));
  n = std::min(n, static_cast<int>(_tzcnt_u32(static_cast<std::uint32_t>(~shortOnes | zeros) | 0x10000u)));
  if (n == 0) return 0;
  // Line i's four last places in bytes 4i..4i+3 (thousands first), 0 where
  // the line has no such place.
  const __m512i spread =
      _mm512_set_epi64(0x0F0F0F0F0E0E0E0E, 0x0D0D0D0D0C0C0C0C, 0x0B0B0B0B0A0A0A0A, 0x0909090908080808,
                       0x0707070706060606, 0x0505050504040404, 0x0303030302020202, 0x0101010100000000);
  const __m512i place = _mm512_sub_epi8(Permute(spread, _mm512_castsi128_si512(ends)), _mm512_set1_epi32(0x01020304));
  const __mmask64 inLine = _mm512_cmpgt_epi8_mask(place, Permute(spread, _mm512_castsi128_si512(starts)));
  const __m512i placed = _mm512_maskz_permutexvar_epi8(inLine, place, digits);
  // (thousands * 10 + hundreds) * 100 + tens * 10 + ones.
  const __m512i pairs = _mm512_maddubs_epi16(placed, _mm512_set1_epi16(0x010A));
  const __m512i values = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));
  const __mmask16 beyond = _mm512_cmpgt_epu32_mask(values, _mm512_set1_epi32(static_cast<int>(partitions)));
  n = std::min(n, static_cast<int>(_tzcnt_u32(static_cast<std::uint32_t>(beyond) | 0x10000u)));
  if (n == 0) return 0;
  _mm512_mask_storeu_epi32(out, static_cast<__mmask16>((1u << n) - 1), _mm512_sub_epi32(values, _mm512_set1_epi32(1)));
  alignas(16) unsigned char at[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(at), ends);
  used = static_cast<std::size_t>(at[n - 1]) + 1;
  return n;
}

}  // namespace vbmi

}  // namespace cbdetail

}  // namespace mirvo

#endif  // defined(__x86_64__)
