// The Codebook record: entries, vectors and names, creation, resizing,
// copying and release.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "console/fatal.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/memory.h"

namespace mirvo {

namespace cbdetail {

char* CopyName(const char* text) {
  const std::size_t length = std::strlen(text);
  auto copy = NewArray<char>(length + 1, "ERROR: Not enough memory for a vector name.\n");
  std::memcpy(copy.get(), text, length + 1);
  return copy.release();
}

void ReleaseName(char* name) { std::unique_ptr<char[]> owned(name); }

void ExchangeBooks(Codebook* a, Codebook* b) {
  std::swap(a->Book, b->Book);
  std::swap(a->AllocatedSize, b->AllocatedSize);
  std::swap(a->BookStore, b->BookStore);
  std::swap(a->StoredDimension, b->StoredDimension);
}

}  // namespace cbdetail

using cbdetail::CopyName;
using cbdetail::ReleaseName;

namespace {

using cbdetail::kVectorMemory;

// Vectors made for a whole record lie in one block each. A block belongs to
// its vectors together: every vector is released on its own (FreeVector,
// FreeNode, FreeCodebook) and the block goes with the last of them. Blocks
// are known by their address ranges, so that a vector pointer alone tells
// whether it lies in a block or was allocated separately.
struct VectorBlock {
  std::unique_ptr<int[]> storage;
  std::size_t length = 0;  // in elements
  std::size_t live = 0;    // vectors not yet released
};

class BlockRegistry {
 public:
  using Blocks = std::map<const int*, VectorBlock, std::less<const int*>>;

  // A block of count vectors of stride elements each, with every vector live.
  int* Add(std::size_t count, std::size_t stride, bool zero) {
    VectorBlock block;
    block.length = count * stride;
    block.live = count;
    block.storage = zero ? cbdetail::NewZeroArray<int>(block.length, kVectorMemory)
                         : cbdetail::NewArray<int>(block.length, kVectorMemory);
    int* base = block.storage.get();
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.emplace(base, std::move(block));
    return base;
  }

  // Releases the vectors (and, with names set, the names) of the nodes, each
  // vector in its block or on its own, and leaves the nodes without them.
  // Entries of one record mostly lie in one block, so the block of the
  // previous vector is tried first.
  void Release(BookNode* nodes, std::size_t count, bool names) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto hint = blocks_.end();
    std::uintptr_t low = 0, high = 0;  // the hint's range; empty when none
    for (std::size_t i = 0; i < count; ++i) {
      if (names) {
        cbdetail::ReleaseName(nodes[i].Name);
        nodes[i].Name = nullptr;
      }
      int* vector = nodes[i].Vector;
      nodes[i].Vector = nullptr;
      if (vector == nullptr) continue;
      const auto address = reinterpret_cast<std::uintptr_t>(vector);
      if (address - low >= high - low) {
        hint = Find(vector);
        if (hint == blocks_.end()) {
          std::unique_ptr<int[]> owned(vector);
          low = high = 0;
          continue;
        }
        low = reinterpret_cast<std::uintptr_t>(hint->first);
        high = reinterpret_cast<std::uintptr_t>(hint->first + hint->second.length);
      }
      if (--hint->second.live == 0) {
        blocks_.erase(hint);
        low = high = 0;
      }
    }
  }

 private:
  static bool Contains(Blocks::const_iterator at, const int* vector) {
    return !std::less<const int*>()(vector, at->first) &&
           std::less<const int*>()(vector, at->first + at->second.length);
  }
  Blocks::iterator Find(const int* vector) {
    auto at = blocks_.upper_bound(vector);
    if (at == blocks_.begin()) return blocks_.end();
    --at;
    return Contains(at, vector) ? at : blocks_.end();
  }

  std::mutex mutex_;
  Blocks blocks_;
};

// Never destroyed, so that records of static duration can still be freed
// while the program ends.
BlockRegistry& Registry() {
  static BlockRegistry* registry = new BlockRegistry;
  return *registry;
}

// Releases every vector and name and the entry array of the record.
void ReleaseBook(Codebook* cb) {
  if (cb->Book != nullptr) Registry().Release(cb->Book, static_cast<std::size_t>(std::max(cb->AllocatedSize, 0)), true);
  cb->BookStore.reset();
  cb->Book = nullptr;
  cb->AllocatedSize = 0;
  cb->StoredDimension = 0;
}

// AllocateMemoryForBook, with every element zero when `zero` is set.
void AllocateBook(Codebook* cb, bool zero) {
  ReleaseBook(cb);
  if (cb->BookSize < 0 || cb->VectorSizeX < 0 || cb->VectorSizeY < 0) {
    ErrorMessage("ERROR: allocate CB->Book\n");
    ExitProcessing(-1);
  }
  const std::size_t size = static_cast<std::size_t>(cb->BookSize);
  const std::size_t dimension = cbdetail::Dim(cb);
  cb->BookStore = cbdetail::NewArray<BookNode>(size, "ERROR: allocate CB->Book\n");
  cb->Book = cb->BookStore.get();
  // Vectors without elements still get addresses of their own.
  const std::size_t stride = std::max<std::size_t>(dimension, 1);
  int* vector = size > 0 ? Registry().Add(size, stride, zero) : nullptr;
  for (std::size_t i = 0; i < size; ++i, vector += stride) cb->Book[i] = BookNode{vector, 0, 0, nullptr};
  cb->StoredDimension = dimension;
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
  return cbdetail::NewArray<int>(static_cast<std::size_t>(std::max(count, 0)), kVectorMemory).release();
}

void CopyVector(const int* source, int* destination, int count) {
  if (source == nullptr || destination == nullptr) {
    ErrorMessage("ERROR: CopyVector source=%p dest=%p\n", static_cast<const void*>(source),
                 static_cast<void*>(destination));
    ExitProcessing(-1);
  }
  if (count > 0) std::memmove(destination, source, static_cast<std::size_t>(count) * sizeof(int));
}

void FreeVector(int* vector) {
  BookNode node{vector, 0, 0, nullptr};
  Registry().Release(&node, 1, false);
}

BookNode CreateEmptyNode(int count) { return BookNode{CreateEmptyVector(count), 0, 0, nullptr}; }

void CopyNode(const BookNode* source, BookNode* destination, int count) {
  if (source == destination) return;
  CopyVector(source->Vector, destination->Vector, count);
  destination->Freq = source->Freq;
  destination->VectorMean = source->VectorMean;
  ChangeVectorName(destination, source->Name);
}

void FreeNode(BookNode* node) { Registry().Release(node, 1, true); }

void ChangeVectorName(BookNode* node, const char* name) {
  // Renaming a node to its own name keeps it.
  if (name != nullptr && name == node->Name) return;
  ReleaseName(node->Name);
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
  // Vectors of the destination hold the dimension they were made with; a
  // longer source vector would not fit.
  if (source->BookSize > 0 && destination->StoredDimension < static_cast<std::size_t>(dimension)) {
    ErrorMessage("ERROR: Destination codebook vectors are too short (%d < %d).\n",
                 static_cast<int>(destination->StoredDimension), dimension);
    ExitProcessing(-1);
  }
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
