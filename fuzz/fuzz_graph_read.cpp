// GraphRead on any bytes. A graph it returns must be complete, with the
// coordinate bounds of its vectors, and the file GraphWrite makes of it must
// read back the same. IsGraphFile must agree with GraphRead on the header.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "mirvo/cb.h"
#include "mirvo/mirvo.h"

namespace mirvo::fuzz {
namespace {

void CheckGraph(const Graph* g) {
  if (g->NumberVectors < 0 || g->K < 0 || g->Dim < 0) Defect("negative size");
  int maxCoord = 0, minCoord = 2147483647;
  for (int i = 0; i < g->NumberVectors; ++i) {
    const GraphVector* v = g->Vectors[i];
    if (v == nullptr) Defect("slot %d empty", i);
    if (v->Index != i) Defect("vector %d has index %d", i, v->Index);
    for (int k = 0; k < g->Dim; ++k) {
      maxCoord = std::max(maxCoord, v->Coord[k]);
      minCoord = std::min(minCoord, v->Coord[k]);
    }
  }
  if (maxCoord != g->MaxCoord || minCoord != g->MinCoord) Defect("coordinate bounds wrong");
}

void CheckSame(const Graph* a, const Graph* b) {
  if (a->NumberVectors != b->NumberVectors || a->K != b->K || a->Dim != b->Dim) Defect("header read back different");
  for (int i = 0; i < a->NumberVectors; ++i) {
    const GraphVector* x = a->Vectors[i];
    const GraphVector* y = b->Vectors[i];
    if (std::memcmp(x->Coord, y->Coord, sizeof(int) * static_cast<std::size_t>(a->Dim)) != 0 ||
        std::memcmp(x->NN, y->NN, sizeof(int) * static_cast<std::size_t>(a->K)) != 0) {
      Defect("vector %d read back different", i);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirvo::fuzz::Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mirvo::fuzz::WriteBytes("input", data, size);
  const std::string input = mirvo::fuzz::PathOf("input");
  const std::string copy = mirvo::fuzz::PathOf("copy");
  // The graph functions report with null, not with a fatal exit.
  Graph* g = nullptr;
  int isGraph = 0;
  if (!Run([&] { g = GraphRead(input.c_str()); }) || !Run([&] { isGraph = IsGraphFile(input.c_str()); })) {
    Defect("fatal path in the graph reader");
  }
  if (g == nullptr) return 0;
  if (isGraph != 1) Defect("GraphRead gives a graph while IsGraphFile says no");
  CheckGraph(g);
  mirvo::fuzz::RemoveAllBut({"input"});
  if (!Run([&] { GraphWrite(copy.c_str(), g, 1); })) {
    FreeGraph(g);
    return 0;
  }
  Graph* back = GraphRead(copy.c_str());
  if (back == nullptr) Defect("a graph written cannot be read back");
  CheckSame(g, back);
  FreeGraph(back);
  FreeGraph(g);
  return 0;
}

}  // namespace mirvo::fuzz
