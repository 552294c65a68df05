// ReadCodebook on any bytes. A file it accepts must give a consistent record,
// and when WriteCodebook writes that record, the file must read back as the
// same record.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "mirvo/cb.h"
#include "mirvo/mirvo.h"

namespace mirvo::fuzz {
namespace {

void CheckRecord(const Codebook& cb) {
  if (cb.BookSize < 0 || cb.AllocatedSize != cb.BookSize) {
    Defect("BookSize %d, AllocatedSize %d", cb.BookSize, cb.AllocatedSize);
  }
  if (cb.VectorSizeX < 1 || cb.VectorSizeY < 1) Defect("vector size %d x %d", cb.VectorSizeX, cb.VectorSizeY);
  if (cb.BytesPerElement < 1 || cb.BytesPerElement > 4) Defect("%d bytes per element", cb.BytesPerElement);
  if (std::memchr(cb.VersionString, 0, sizeof cb.VersionString) == nullptr ||
      std::memchr(cb.GenerationMethod, 0, sizeof cb.GenerationMethod) == nullptr) {
    Defect("a text field is not terminated");
  }
  const int d = VectorSize(&cb);
  std::int64_t total = 0;
  for (int i = 0; i < cb.BookSize; ++i) {
    const BookNode& node = cb.Book[i];
    if (node.Name != nullptr && (node.Name[0] == '\0' || std::strlen(node.Name) > 79)) {
      Defect("vector %d has a name of %zu characters", i, std::strlen(node.Name));
    }
    if (cb.BytesPerElement < 4) {
      const std::int64_t largest = (std::int64_t{1} << (8 * cb.BytesPerElement)) - 1;
      for (int k = 0; k < d; ++k) {
        if (node.Vector[k] < 0 || node.Vector[k] > largest)
          Defect("element %d of vector %d is %d", k, i, node.Vector[k]);
      }
    }
    total += node.Freq;
  }
  if (total != cb.TotalFreq)
    Defect("TotalFreq %d, frequencies add up to %lld", cb.TotalFreq, static_cast<long long>(total));
}

void CheckSame(const Codebook& a, const Codebook& b) {
  if (RecognizeVersionstr(a.VersionString) != RecognizeVersionstr(b.VersionString)) {
    Defect("kind changed: '%s' read back as '%s'", a.VersionString, b.VersionString);
  }
  const int fa[] = {a.VectorSizeX,     a.VectorSizeY,   a.BookSize,     a.TotalFreq,
                    a.BytesPerElement, a.ReservedValue, a.ErrorScaling, a.InheritLevel};
  const int fb[] = {b.VectorSizeX,     b.VectorSizeY,   b.BookSize,     b.TotalFreq,
                    b.BytesPerElement, b.ReservedValue, b.ErrorScaling, b.InheritLevel};
  for (int f = 0; f < 8; ++f) {
    if (fa[f] != fb[f]) Defect("header field %d: %d read back as %d", f + 2, fa[f], fb[f]);
  }
  if (std::strcmp(a.GenerationMethod, b.GenerationMethod) != 0) {
    Defect("generation method '%s' read back as '%s'", a.GenerationMethod, b.GenerationMethod);
  }
  const int d = VectorSize(&a);
  for (int i = 0; i < a.BookSize; ++i) {
    const BookNode& x = a.Book[i];
    const BookNode& y = b.Book[i];
    if (x.Freq != y.Freq || x.VectorMean != y.VectorMean ||
        std::memcmp(x.Vector, y.Vector, sizeof(int) * static_cast<std::size_t>(d)) != 0) {
      Defect("vector %d read back different", i);
    }
    if ((x.Name == nullptr) != (y.Name == nullptr) || (x.Name != nullptr && std::strcmp(x.Name, y.Name) != 0)) {
      Defect("name of vector %d read back different", i);
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
  Codebook cb;
  if (!Run([&] { ReadCodebook(input.c_str(), &cb); })) return 0;
  CheckRecord(cb);

  if (!Run([&] { WriteCodebook(copy.c_str(), &cb, 1); })) return 0;
  Codebook back;
  if (!Run([&] { ReadCodebook(copy.c_str(), &back); })) Defect("a codebook written cannot be read back");
  CheckSame(cb, back);
  return 0;
}

}  // namespace mirvo::fuzz
