#include "engine/byte_codes.h"

#include <algorithm>
#include <climits>

#include "engine/search.h"

namespace mirvo {

namespace cbdetail {
namespace {

void Align(ByteCodes& codes, std::size_t bytes) {
  codes.storage.assign(bytes + 64, 0);
  const auto address = reinterpret_cast<std::uintptr_t>(codes.storage.data());
  codes.data = codes.storage.data() + ((64 - address % 64) % 64);
}

// The code vector at place j of a layout; the padding repeats the last one.
int CodeAt(const int* order, int size, int j) {
  const int place = std::min(j, size - 1);
  return order != nullptr ? order[place] : place;
}

// The per-vector terms of a layout whose elements are filled in: base (and
// odd), and the index of each place when the order is given.
template <class Element>
void FillBases(ByteCodes& out, Element element, const int* order) {
  out.base.resize(static_cast<std::size_t>(out.padded));
  const bool quads = out.kernels->layout == ByteLayout::Quads;
  if (quads) out.odd.resize(out.base.size());
  if (order != nullptr) out.index.resize(out.base.size());
  for (int j = 0; j < out.padded; ++j) {
    std::int32_t value = 0;
    for (int k = 0; k < out.dimension; ++k) {
      const int c = element(j, k);
      value += quads ? c * (c - 256) : c * c;
    }
    if (quads) {
      out.base[static_cast<std::size_t>(j)] = -((value + 1) >> 1);  // -ceil(value / 2)
      out.odd[static_cast<std::size_t>(j)] = value & 1;
    } else {
      out.base[static_cast<std::size_t>(j)] = value;
    }
    if (order != nullptr) out.index[static_cast<std::size_t>(j)] = CodeAt(order, out.size, j);
  }
}

// Element k of place j goes to byte `at(j, k)` of the layout's data.
template <class Element, class Place>
void FillElements(ByteCodes& out, Element element, Place at) {
  for (int j = 0; j < out.padded; ++j) {
    for (int k = 0; k < out.dimension; ++k) at(j, k) = static_cast<std::uint8_t>(element(j, k));
  }
}

}  // namespace

std::unique_ptr<ByteCodes> PrepareByteCodes(const CodeRows& codes, const int* order, int offset,
                                            const ByteKernels& kernels) {
  const int size = codes.size, dimension = codes.dimension;
  auto out = std::make_unique<ByteCodes>();
  out->kernels = &kernels;
  out->dimension = dimension;
  out->size = size;
  auto element = [&](int j, int k) { return codes.At(CodeAt(order, size, j), k) - offset; };
  if (kernels.layout == ByteLayout::Plain) {
    out->groups = dimension;
    out->padded = size;
    Align(*out, static_cast<std::size_t>(size) * dimension);
    FillElements(*out, element,
                 [&](int j, int k) -> std::uint8_t& { return out->data[static_cast<std::size_t>(j) * dimension + k]; });
  } else {
    // Blocks of `lanes` code vectors, a row per group of elements, each lane
    // 4 bytes: a group of 4 bytes (Quads), or of 2 elements as 16-bit
    // values of 0..255, little-endian as the kernel loads them, the high
    // bytes zero (Pairs).
    const std::size_t group = kernels.layout == ByteLayout::Quads ? 4 : 2, bytes = 4 / group;
    const auto lanes = static_cast<std::size_t>(kernels.lanes);
    out->groups = static_cast<int>((static_cast<std::size_t>(dimension) + group - 1) / group);
    out->padded = (size + kernels.panel - 1) / kernels.panel * kernels.panel;
    Align(*out, static_cast<std::size_t>(out->padded) * out->groups * 4);
    FillElements(*out, element, [&](int j, int k) -> std::uint8_t& {
      const std::size_t block = static_cast<std::size_t>(j) / lanes, lane = static_cast<std::size_t>(j) % lanes;
      const std::size_t t = static_cast<std::size_t>(k) / group, e = static_cast<std::size_t>(k) % group;
      return out->data[bytes * ((block * out->groups + t) * group * lanes + lane * group + e)];
    });
  }
  FillBases(*out, element, order);
  return out;
}

}  // namespace cbdetail

}  // namespace mirvo
