// The training set read a chunk at a time, for both streaming conversions:
// decoded in the width its file stores, never held whole, so that memory
// holds the codebook or the sums and a chunk or two, whatever the size of
// the set.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/buffer.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

// The bytes of training vectors the conversions take at a time (256 KiB);
// returns the previous size. For tests.
std::size_t SetChunkBytes(std::size_t bytes);
// Training vectors of `bytes` bytes each in a chunk: at least one, at most
// 65536.
int VectorsPerChunk(std::size_t bytes);

// The training set's reader with its header read, or its refusal, which
// comes before anything.
SetFileReader& OpenTrainingSet(std::optional<SetFileReader>& set, const char* name, Codebook* ts, Refusals& refusals);

// One chunk of training vectors: its rows, their frequencies (null when
// every one is 1, or when viewed) and names (null when not asked for, or
// none of them has one). The frequencies of records viewed where they lie
// are left to the caller (Frequencies, SetFileReader::Account).
struct Chunk {
  int first = 0;  // the index of its first vector
  RowBlock rows;
  const int* freqs = nullptr;
  const std::vector<std::string>* names = nullptr;
  bool viewed = false;
};

// Where a chunk's vectors go when they are decoded, and, when they are left
// where they lie, the buffer they were read into.
struct ChunkBuffer {
  std::unique_ptr<unsigned char[]> rows;
  std::vector<int> freqs;
  std::vector<std::string> names;
  Buffer<unsigned char> input;
};

// The next chunk of the training set, first its index and at most count
// (of at most `chunk`) vectors: decoded into the buffer, or, with inPlace
// set, the reading goes on in buffer.input (SetFileReader::Lend) and
// records that need no decoding are left where they lie there, their
// frequencies not yet taken. A refusal of the set throws
// Refusals::Deferred.
Chunk ReadChunk(SetFileReader& set, int first, int count, int chunk, ChunkBuffer& buffer, bool names, bool inPlace);

// Reads the n vectors of the training set to its end a chunk at a time,
// giving each to body, then calls drain (the chunks still there), checks
// the set's total frequency and reports its warnings. Chunks are decoded
// into two buffers in turn, so that a chunk stays as it is until body has
// returned for the next chunk: body may leave work on a chunk to other
// threads while the next one is read. With names set, the chunks' names
// are read. A chunk is never more than the vectors announced: a set without
// vectors takes no memory for them, whatever their dimension. A refusal of
// the set calls abandon, then reports it, which ends the process.
void StreamSet(SetFileReader& set, int n, Refusals& refusals, bool names, const std::function<void(const Chunk&)>& body,
               const std::function<void()>& drain, const std::function<void()>& abandon);

}  // namespace cbdetail

}  // namespace mirvo
