// Code vectors laid out for the byte kernels (kernels.h): vectors whose
// elements, less a common offset, lie in 0..255.
//
// Whatever the layout, a kernel minimises f(c) = |c|^2 - 2 q.c over the code
// vectors c (the lowest index at the minimum wins) and reports |q|^2 + f,
// the exact squared distance, in 32-bit integers: the terms stay far inside
// that range for the dimensions the search hands over (kMaxByteDimension in
// search.cpp).
//
// Layouts:
// - Quads (the VNNI levels): blocks of `lanes` code vectors (16 for AVX-512,
//   8 for AVX-VNNI); per group of 4 elements, one row of a block whose
//   4-byte lane j holds those elements of code vector j as unsigned bytes.
//   vpdpbusd multiplies them with the training vector's elements less 128
//   (signed bytes): q.c = sum (q - 128) c + 128 sum c, so f = b - 2 acc with
//   b = |c|^2 - 256 sum c, held as base = -ceil(b / 2) and odd = the parity
//   of b (kernels/vnni.h).
// - Pairs (AVX2): blocks of 8 code vectors; per pair of elements a 32-byte
//   row whose lane j holds them as two 16-bit values; vpmaddwd with the
//   training vector's pair: base = |c|^2 and f = base - 2 acc.
// - Plain: the code vectors as rows of bytes; base = |c|^2.
// The padding vectors of the last panel repeat the last code vector, so
// that they never win a tie against it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/kernels.h"

namespace mirvo {

namespace cbdetail {

struct CodeRows;

struct ByteCodes {
  const ByteKernels* kernels = nullptr;  // the layout and its kernels
  int dimension = 0;                     // elements per vector
  int size = 0;                          // code vectors
  int padded = 0;                        // code vectors including the padding of the last panel
  int groups = 0;                        // element groups per vector in the layout
  std::vector<std::uint8_t> storage;
  std::uint8_t* data = nullptr;    // aligned to 64 bytes inside storage
  std::vector<std::int32_t> base;  // per padded code vector, see above
  std::vector<std::int32_t> odd;   // Quads only, see above
  // Laid out in another order than the codes' own: the index of the code
  // vector at each padded place (empty in index order).
  std::vector<std::int32_t> index;
};

// The layout of the kernels for code vectors whose elements, less offset,
// lie in 0..255: in index order, or with order given, code vector order[p]
// at place p (order holds codes.size indices).
std::unique_ptr<ByteCodes> PrepareByteCodes(const CodeRows& codes, const int* order, int offset,
                                            const ByteKernels& kernels);

// |v|^2 of a vector of bytes.
inline std::int64_t SquareNorm(const std::uint8_t* v, int dimension) {
  std::int32_t sum = 0;
  for (int k = 0; k < dimension; ++k) sum += std::int32_t{v[k]} * v[k];
  return sum;
}

// A training vector as the VNNI kernels take it: groups of 4 elements less
// 128 (signed bytes) in 32-bit words, the last group filled with zeros.
inline void PackQuads(const std::uint8_t* x, int dimension, int groups, std::int32_t* q) {
  auto* words = reinterpret_cast<std::uint8_t*>(q);
  for (int k = 0; k < dimension; ++k) words[k] = static_cast<std::uint8_t>(x[k] ^ 0x80u);
  for (int k = dimension; k < 4 * groups; ++k) words[k] = 0;
}

}  // namespace cbdetail

}  // namespace mirvo
