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

// The code vectors' elements less offset, one byte each, in their own order.
template <class Element>
void Narrow(const CodeRows& codes, int offset, std::vector<std::uint8_t>& out) {
  const auto* from = reinterpret_cast<const Element*>(codes.bytes.data());
  out.resize(static_cast<std::size_t>(codes.size) * static_cast<std::size_t>(codes.dimension));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(static_cast<int>(from[i]) - offset);
}

}  // namespace

std::unique_ptr<ByteCodes> PrepareByteCodes(const CodeRows& codes, const int* order, int offset,
                                            const ByteKernels& kernels) {
  const int size = codes.size, dimension = codes.dimension;
  auto out = std::make_unique<ByteCodes>();
  out->kernels = &kernels;
  out->dimension = dimension;
  out->size = size;
  std::vector<std::uint8_t> narrow;
  if (codes.width == 1) {
    Narrow<std::uint8_t>(codes, offset, narrow);
  } else if (codes.width == 2) {
    Narrow<std::uint16_t>(codes, offset, narrow);
  } else {
    Narrow<std::int32_t>(codes, offset, narrow);
  }
  const auto d = static_cast<std::size_t>(dimension);
  // The elements of place j.
  auto place = [&](int j) { return narrow.data() + static_cast<std::size_t>(CodeAt(order, size, j)) * d; };
  auto element = [&](int j, int k) { return static_cast<int>(place(j)[k]); };
  if (kernels.layout == ByteLayout::Plain) {
    out->groups = dimension;
    out->padded = size;
    Align(*out, static_cast<std::size_t>(size) * d);
    for (int j = 0; j < size; ++j) std::copy_n(place(j), d, out->data + static_cast<std::size_t>(j) * d);
  } else {
    // Blocks of `lanes` code vectors, a row per group of elements, each lane
    // 4 bytes: a group of 4 bytes (Quads), or of 2 elements as 16-bit
    // values of 0..255, little-endian as the kernel loads them, the high
    // bytes zero (Pairs).
    const std::size_t group = kernels.layout == ByteLayout::Quads ? 4 : 2, bytes = 4 / group;
    const auto lanes = static_cast<std::size_t>(kernels.lanes);
    out->groups = static_cast<int>((d + group - 1) / group);
    out->padded = (size + kernels.panel - 1) / kernels.panel * kernels.panel;
    const auto groups = static_cast<std::size_t>(out->groups);
    Align(*out, static_cast<std::size_t>(out->padded) * groups * 4);
    for (int j = 0; j < out->padded; ++j) {
      const std::uint8_t* elements = place(j);
      const std::size_t block = static_cast<std::size_t>(j) / lanes, lane = static_cast<std::size_t>(j) % lanes;
      std::uint8_t* row = out->data + bytes * (block * groups * group * lanes + lane * group);
      for (std::size_t k = 0, t = 0; k < d; ++t) {
        for (std::size_t e = 0; e < group && k < d; ++e, ++k) row[bytes * (t * group * lanes + e)] = elements[k];
      }
    }
  }
  FillBases(*out, element, order);
  return out;
}

}  // namespace cbdetail

}  // namespace mirvo
