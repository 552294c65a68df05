// Operations on whole vector sets: comparing vectors, counting duplicates,
// vector means, appending one set to another, unrolling a training set by
// frequency, and listings on the module information stream.
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "console/fatal.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

int CompareVectors(const int* a, const int* b, int count) {
  for (int k = 0; k < count; ++k) {
    if (a[k] != b[k]) return a[k] > b[k] ? 1 : -1;
  }
  return 0;
}

int DuplicatesInCodebook(const Codebook* cb) {
  // An entry counts when an equal vector follows it somewhere, so the count
  // is the number of entries less the number of distinct vectors. Sorting
  // brings equal vectors together.
  const int size = cb->BookSize;
  if (size < 2) return 0;
  const int dimension = VectorSize(cb);
  std::vector<int> order(static_cast<std::size_t>(size));
  std::iota(order.begin(), order.end(), 0);
  const BookNode* book = cb->Book;
  std::sort(order.begin(), order.end(),
            [book, dimension](int a, int b) { return CompareVectors(book[a].Vector, book[b].Vector, dimension) < 0; });
  int distinct = 1;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (CompareVectors(book[order[i - 1]].Vector, book[order[i]].Vector, dimension) != 0) ++distinct;
  }
  return size - distinct;
}

void CalculateVectorMeans(Codebook* cb) {
  const int dimension = VectorSize(cb);
  for (int i = 0; i < cb->BookSize; ++i) {
    BookNode& node = cb->Book[i];
    std::int64_t sum = 0;
    for (int k = 0; k < dimension; ++k) sum += node.Vector[k];
    node.VectorMean = cbdetail::RoundedMean(sum, static_cast<double>(dimension));
  }
}

void AddCodebook(Codebook* destination, const Codebook* source) {
  // Read before growing: the source may be the destination itself.
  const int start = destination->BookSize;
  const int added = source->BookSize;
  const int addedFreq = source->TotalFreq;
  const int dimension = VectorSize(destination);
  assert(VectorSize(source) >= dimension);
  if (added > INT_MAX - start) {
    ErrorMessage("ERROR: Adding %d vectors to %d would exceed 2147483647 vectors.\n", added, start);
    ExitProcessing(-1);
  }
  IncreaseCodebookSize(destination, start + added);
  for (int i = 0; i < added; ++i) CopyNode(&source->Book[i], &destination->Book[start + i], dimension);
  cbdetail::AddWrapped(destination->TotalFreq, addedFreq);

  // "++" marks a merged set, once, and only where it fits the field.
  char* method = destination->GenerationMethod;
  const std::size_t length = strnlen(method, sizeof destination->GenerationMethod);
  const bool marked = length >= 2 && method[length - 2] == '+' && method[length - 1] == '+';
  if (length <= 77 && !marked) std::memcpy(method + length, "++", 3);
}

void UnrollTrainingSet(Codebook* cb) {
  // The unrolled set has TotalFreq entries; frequencies that do not add up
  // to it would overrun or underfill it.
  std::int64_t copies = 0;
  for (int i = 0; i < cb->BookSize; ++i) copies += std::max(cb->Book[i].Freq, 0);
  if (copies != cb->TotalFreq) {
    ErrorMessage("CB::UnrollTrainingSet: TotalFreq (%i) differs from the sum of the positive frequencies (%lld).\n",
                 cb->TotalFreq, static_cast<long long>(copies));
    ExitProcessing(-1);
  }
  const int dimension = VectorSize(cb);
  Codebook unrolled;
  CreateNewTrainingSet(&unrolled, cb->TotalFreq, cb->VectorSizeX, cb->VectorSizeY, cb->BytesPerElement,
                       cb->ReservedValue, cb->ErrorScaling, cb->InheritLevel, cb->GenerationMethod);
  int next = 0;
  for (int i = 0; i < cb->BookSize; ++i) {
    const BookNode& node = cb->Book[i];
    for (int c = 0; c < node.Freq; ++c, ++next) {
      CopyNode(&node, &unrolled.Book[next], dimension);
      unrolled.Book[next].Freq = 1;
    }
  }
  cbdetail::ExchangeBooks(cb, &unrolled);
  cb->BookSize = cb->TotalFreq;
  FreeCodebook(&unrolled);
}

void PrintVector(const int* vector, int rows, int columns) {
  // The elements of one vector go out as one message, each as "%3i ".
  std::string text;
  if (rows > 0 && columns > 0) {
    const std::int64_t count = std::int64_t{rows} * columns;
    char element[16];
    for (std::int64_t k = 0; k < count; ++k) {
      const int length = std::snprintf(element, sizeof element, "%3i ", vector[k]);
      text.append(element, static_cast<std::size_t>(length));
    }
  }
  text += '\n';
  PrintMessage("%s", text.c_str());
}

void PrintCodebook(const Codebook* cb) {
  PrintMessage("Codebook generated: %s\n", cbdetail::Printable(cb->GenerationMethod).c_str());
  PrintMessage("Vectors=%i, Totalfreq=%i \n", cb->BookSize, cb->TotalFreq);
  const int dimension = VectorSize(cb);
  for (int i = 0; i < cb->BookSize; ++i) {
    const BookNode& node = cb->Book[i];
    PrintMessage("%-3i: (f=%-4i, vm=%-3i)  ", i, node.Freq, node.VectorMean);
    PrintVector(node.Vector, dimension, 1);
  }
}

}  // namespace mirvo
