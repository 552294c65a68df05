// The Codebook record: entries, vectors and names, creation, resizing,
// copying and release.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "console/fatal.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/memory.h"

namespace mirvo {

namespace cbdetail {

void OutOfMemory(const char* failureMessage) {
  ErrorMessage("%s", failureMessage);
  ExitProcessing(-1);
}

char* CopyName(const char* text, std::size_t length) {
  char* copy = Allocate<char>(length + 1, kNameMemory);
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* CopyName(const char* text) { return CopyName(text, std::strlen(text)); }

void ExchangeBooks(Codebook* a, Codebook* b) {
  std::swap(a->Book, b->Book);
  std::swap(a->AllocatedSize, b->AllocatedSize);
}

}  // namespace cbdetail

using cbdetail::CopyName;
using cbdetail::kVectorMemory;

namespace {

// Releases every vector and name and the entry array of the record, as its
// fields point to them now.
void ReleaseBook(Codebook* cb) {
  if (cb->Book != nullptr) {
    for (int i = 0; i < cb->AllocatedSize; ++i) FreeNode(&cb->Book[i]);
    std::free(cb->Book);
  }
  cb->Book = nullptr;
  cb->AllocatedSize = 0;
}

// AllocateMemoryForBook, with every element zero when `zero` is set.
void AllocateBook(Codebook* cb, bool zero) {
  ReleaseBook(cb);
  if (cb->BookSize < 0 || cb->VectorSizeX < 0 || cb->VectorSizeY < 0) {
    ErrorMessage("%s", cbdetail::kBookMemory);
    ExitProcessing(-1);
  }
  const auto size = static_cast<std::size_t>(cb->BookSize);
  const std::size_t dimension = cbdetail::Dim(cb);
  cb->Book = cbdetail::Allocate<BookNode>(size, cbdetail::kBookMemory);
  // Entries get their vectors one by one, each counted as soon as it is
  // made, so that the record owns exactly what it holds at any moment.
  for (std::size_t i = 0; i < size; ++i) {
    cb->Book[i] = BookNode{cbdetail::Allocate<int>(dimension, kVectorMemory, zero), 0, 0, nullptr};
    cb->AllocatedSize = static_cast<int>(i) + 1;
  }
  cb->AllocatedSize = cb->BookSize;
}

// The header values a new record takes.
struct Shape {
  int x, y, bytes, reserved, scaling, inherit, total;
};

// A new record of the kind with bookSize zeroed entries.
void CreateSet(Codebook* cb, int kind, int bookSize, const Shape& shape, const char* method) {
  SetVerString(cb->VersionString, kind);
  cb->VectorSizeX = shape.x;
  cb->VectorSizeY = shape.y;
  cb->BytesPerElement = shape.bytes;
  cb->ReservedValue = shape.reserved;
  cb->ErrorScaling = shape.scaling;
  cb->InheritLevel = shape.inherit;
  cb->TotalFreq = shape.total;
  std::snprintf(cb->GenerationMethod, sizeof cb->GenerationMethod, "%s", method != nullptr ? method : "");
  cb->BookSize = bookSize;
  AllocateBook(cb, true);
}

}  // namespace

int* CreateEmptyVector(int count) {
  return cbdetail::Allocate<int>(static_cast<std::size_t>(std::max(count, 0)), kVectorMemory);
}

void CopyVector(const int* source, int* destination, int count) {
  if (source == nullptr || destination == nullptr) {
    ErrorMessage("ERROR: CopyVector source=%p dest=%p\n", static_cast<const void*>(source),
                 static_cast<void*>(destination));
    ExitProcessing(-1);
  }
  if (count > 0) std::memmove(destination, source, static_cast<std::size_t>(count) * sizeof(int));
}

void FreeVector(int* vector) { std::free(vector); }

BookNode CreateEmptyNode(int count) { return BookNode{CreateEmptyVector(count), 0, 0, nullptr}; }

void CopyNode(const BookNode* source, BookNode* destination, int count) {
  if (source == destination) return;
  CopyVector(source->Vector, destination->Vector, count);
  destination->Freq = source->Freq;
  destination->VectorMean = source->VectorMean;
  ChangeVectorName(destination, source->Name);
}

void FreeNode(BookNode* node) {
  std::free(node->Vector);
  std::free(node->Name);
  node->Vector = nullptr;
  node->Name = nullptr;
}

void ChangeVectorName(BookNode* node, const char* name) {
  // Renaming a node to its own name keeps it.
  if (name != nullptr && name == node->Name) return;
  std::free(node->Name);
  node->Name = name != nullptr ? CopyName(name) : nullptr;
}

Codebook* AllocateMemoryForBook(Codebook* cb) {
  AllocateBook(cb, false);
  return cb;
}

void CreateNewCodebook(Codebook* cb, int bookSize, const Codebook* templ) {
  // The template may be the record itself: its values are taken first.
  char method[80] = {};
  if (templ->InheritLevel > 1) std::memcpy(method, templ->GenerationMethod, sizeof method - 1);
  const Codebook& t = *templ;
  CreateSet(
      cb, KindCodebook, bookSize,
      {t.VectorSizeX, t.VectorSizeY, t.BytesPerElement, t.ReservedValue, t.ErrorScaling, t.InheritLevel, t.TotalFreq},
      method);
}

void CreateNewTrainingSet(Codebook* cb, int bookSize, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                          int reservedValue, int errorScaling, int inheritLevel, const char* generationMethod) {
  CreateSet(cb, KindTrainingSet, bookSize,
            {vectorSizeX, vectorSizeY, bytesPerElement, reservedValue, errorScaling, inheritLevel, 0},
            generationMethod);
}

void CopyCodebookHeader(const Codebook* source, Codebook* destination) {
  if (source == destination) return;
  std::memcpy(destination->VersionString, source->VersionString, sizeof destination->VersionString);
  destination->VectorSizeX = source->VectorSizeX;
  destination->VectorSizeY = source->VectorSizeY;
  destination->BookSize = source->BookSize;
  destination->BytesPerElement = source->BytesPerElement;
  destination->ReservedValue = source->ReservedValue;
  destination->ErrorScaling = source->ErrorScaling;
  destination->InheritLevel = source->InheritLevel;
  destination->TotalFreq = source->TotalFreq;
  std::memcpy(destination->GenerationMethod, source->GenerationMethod, sizeof destination->GenerationMethod);
}

void CopyCodebook(const Codebook* source, Codebook* destination) {
  if (destination->AllocatedSize < source->BookSize) {
    ErrorMessage("ERROR: Destination codebook is too small (%d -> %d).\n", source->BookSize,
                 destination->AllocatedSize);
    ExitProcessing(-1);
  }
  if (source == destination) return;
  const int dimension = VectorSize(source);
  CopyCodebookHeader(source, destination);
  for (int i = 0; i < source->BookSize; ++i) CopyNode(&source->Book[i], &destination->Book[i], dimension);
}

void SetAllocatedCodebookSize(Codebook* cb, int newAllocatedSize) {
  if (newAllocatedSize <= cb->BookSize) {
    ErrorMessage("CB::SetAllocatedCodebookSize: New allocated size (%i) <= logical booksize (%i).\n", newAllocatedSize,
                 cb->BookSize);
    ExitProcessing(-1);
  }
  if (newAllocatedSize <= cb->AllocatedSize) return;
  Codebook temporary;
  CreateNewCodebook(&temporary, newAllocatedSize, cb);
  CopyCodebook(cb, &temporary);
  cbdetail::ExchangeBooks(cb, &temporary);
  FreeCodebook(&temporary);
}

void IncreaseCodebookSize(Codebook* cb, int newSize) {
  if (newSize <= cb->BookSize) ExitProcessing(-1);
  if (newSize > cb->AllocatedSize) SetAllocatedCodebookSize(cb, newSize);
  cb->BookSize = newSize;
}

void DecreaseCodebookSize(Codebook* cb, int newSize) {
  if (newSize < 0 || newSize >= cb->BookSize) ExitProcessing(-1);
  cb->BookSize = newSize;
}

void ChangeCodebookSize(Codebook* cb, int newSize) {
  if (newSize < cb->BookSize) {
    DecreaseCodebookSize(cb, newSize);
  } else if (newSize > cb->BookSize) {
    IncreaseCodebookSize(cb, newSize);
  }
}

void FreeCodebook(Codebook* cb) { ReleaseBook(cb); }

Codebook::Codebook(Codebook&& other) noexcept { *this = std::move(other); }

Codebook& Codebook::operator=(Codebook&& other) noexcept {
  if (this == &other) return *this;
  ReleaseBook(this);
  std::memcpy(VersionString, other.VersionString, sizeof VersionString);
  VectorSizeX = other.VectorSizeX;
  VectorSizeY = other.VectorSizeY;
  BookSize = other.BookSize;
  TotalFreq = other.TotalFreq;
  BytesPerElement = other.BytesPerElement;
  ReservedValue = other.ReservedValue;
  ErrorScaling = other.ErrorScaling;
  InheritLevel = other.InheritLevel;
  std::memcpy(GenerationMethod, other.GenerationMethod, sizeof GenerationMethod);
  Book = std::exchange(other.Book, nullptr);
  AllocatedSize = std::exchange(other.AllocatedSize, 0);
  return *this;
}

Codebook::~Codebook() { ReleaseBook(this); }

void AddString(char* field, const char* text, int size) {
  if (std::strlen(text) > static_cast<std::size_t>(std::max(size, 0))) {
    ErrorMessage("ERROR: string too long:\n%*s\n", size, cbdetail::Printable(text).c_str());
    ExitProcessing(-1);
  }
  if (size <= 0) return;
  std::string joined(field, strnlen(field, static_cast<std::size_t>(size)));
  joined += text;
  const std::size_t kept = std::min(joined.size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(field, joined.data(), kept);
  field[kept] = '\0';
}

}  // namespace mirvo
