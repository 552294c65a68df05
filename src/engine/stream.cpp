#include "engine/stream.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "mirvo/interfc.h"
#include "records/memory.h"

namespace mirvo {

namespace cbdetail {
namespace {

// Training vectors are taken about 256 KiB at a time.
std::atomic<std::size_t> chunkBytes{std::size_t{1} << 18};

}  // namespace

std::size_t SetChunkBytes(std::size_t bytes) { return chunkBytes.exchange(bytes); }

int VectorsPerChunk(std::size_t bytes) {
  constexpr std::size_t kMaxChunk = std::size_t{1} << 16;
  return static_cast<int>(std::clamp<std::size_t>(chunkBytes.load() / std::max<std::size_t>(bytes, 1), 1, kMaxChunk));
}

SetFileReader& OpenTrainingSet(std::optional<SetFileReader>& set, const char* name, Codebook* ts, Refusals& refusals) {
  try {
    set.emplace(name, ts, refusals);
  } catch (const Refusals::Deferred&) {
    refusals.Report();
  }
  return *set;
}

Chunk ReadChunk(SetFileReader& set, int first, int count, int chunk, ChunkBuffer& buffer, bool names, bool inPlace) {
  Chunk c;
  c.first = first;
  if (buffer.freqs.empty()) buffer.freqs.resize(static_cast<std::size_t>(chunk));
  if (inPlace) {
    set.Lend(&buffer.input);
    if (set.View(count, &c.rows) > 0) {
      c.viewed = true;
      return c;
    }
  }
  const int d = static_cast<int>(set.Dimension());
  const int width = set.RowWidth();
  const std::size_t rowBytes = static_cast<std::size_t>(d) * static_cast<std::size_t>(width);
  if (!buffer.rows) buffer.rows = NewArray<unsigned char>(static_cast<std::size_t>(chunk) * rowBytes, kVectorMemory);
  set.Read(count, buffer.rows.get(), buffer.freqs.data(), names ? &buffer.names : nullptr);
  c.rows = RowBlock{buffer.rows.get(), count, d, width, rowBytes};
  c.freqs = buffer.freqs.data();
  c.names = names && !buffer.names.empty() ? &buffer.names : nullptr;
  return c;
}

void StreamSet(SetFileReader& set, int n, Refusals& refusals, bool names, const std::function<void(const Chunk&)>& body,
               const std::function<void()>& drain, const std::function<void()>& abandon) {
  const std::size_t rowBytes = set.Dimension() * static_cast<std::size_t>(set.RowWidth());
  const int chunk = std::min(n, VectorsPerChunk(rowBytes));
  ChunkBuffer buffers[2];
  int turn = 0;
  for (int first = 0; first < n; turn ^= 1) {
    Chunk c;
    try {
      c = ReadChunk(set, first, std::min(chunk, n - first), chunk, buffers[turn], names, false);
    } catch (const Refusals::Deferred&) {
      abandon();
      refusals.Report();
    }
    body(c);
    first += c.rows.count;
    TimedProgressUpdate(first, n);
  }
  drain();
  set.Finish();
  refusals.Report();
}

}  // namespace cbdetail

}  // namespace mirvo
