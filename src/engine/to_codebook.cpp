// Partitioning to codebook as one streaming pipeline, for files and pipes
// alike, on the engine's threads. Every thread in turn reads the next chunk
// of the training set into a buffer of its own (records of one-byte
// elements without a name are left where they lie there), then, in the
// order of the chunks, that chunk's partitions, and adds the chunk into
// sums of its own, added together at the end: the records are summed on the
// core that copied them from the file, and each file is read in its order,
// one chunk at a time, while the other threads sum. Memory holds the sums
// (for the partitions that appear, when sums for every one announced would
// take more than 1 MiB) and a chunk per thread.
//
// Messages keep the order of reading the training set whole before the
// partitioning: the partitioning's refusals wait until the training set has
// been read to its end, and so does a shortage of memory for the sums.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/centroid_sums.h"
#include "engine/stream.h"
#include "engine/workers.h"
#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/cb.h"
#include "mirvo/engine.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

namespace {

using cbdetail::Refusals;

// The sums of both files, read as the header of this comment says. A
// refusal of the training set stops the reading; a refusal of the
// partitioning, or a shortage of memory, only the summing (both files are
// still read through, for their messages).
class SharedSums {
 public:
  SharedSums(cbdetail::SetFileReader& set, int n, const char* partitioningName, Refusals& second)
      : set_(set),
        n_(n),
        chunk_(std::min(n, cbdetail::VectorsPerChunk(set.Dimension() * static_cast<std::size_t>(set.RowWidth())))),
        buffers_(static_cast<std::size_t>(workers_.Threads())),
        partitions_(buffers_.size()) {
    try {
      partitioning_.emplace(partitioningName, n, static_cast<int>(set.Dimension()), second, false);
    } catch (const Refusals::Deferred&) {  // its message waits
    }
  }

  // Reads both files to their end, or to the training set's refusal: false
  // then.
  bool Run() {
    try {
      sums_.emplace(partitioning_ ? partitioning_->PartitionCount() : 0, static_cast<int>(set_.Dimension()));
      threads_.emplace(*sums_, workers_.Threads());
    } catch (const std::bad_alloc&) {
      short_ = true;
    }
    workers_.Start(
        workers_.Threads(), [this](int, int, int slot) { Work(slot); }, 1);
    workers_.Finish();
    set_.Lend(nullptr);
    // The frequencies of the records viewed: counted now, a refusal of
    // theirs comes before any the reading found.
    try {
      set_.Account(total_, magnitude_);
    } catch (const Refusals::Deferred&) {
      refused_ = true;
    }
    return !refused_;
  }
  // The sums of every chunk; a shortage of memory ends the process.
  CentroidSums Result() {
    try {
      if (!short_) threads_->Merge();
    } catch (const std::bad_alloc&) {
      short_ = true;
    }
    if (short_) {
      ErrorMessage("%s", cbdetail::kPartitionMemory);
      ExitProcessing(-1);
    }
    return std::move(*sums_);
  }

 private:
  // One thread's work, `slot` its number (0 for the calling thread, which
  // alone shows the progress).
  void Work(int slot) {
    cbdetail::ChunkBuffer& buffer = buffers_[static_cast<std::size_t>(slot)];
    std::vector<int>& partitions = partitions_[static_cast<std::size_t>(slot)];
    std::int64_t total = 0, magnitude = 0;
    for (;;) {
      cbdetail::Chunk chunk;
      int turn = 0;
      if (!ReadSet(buffer, chunk, turn)) break;
      if (chunk.viewed) {
        chunk.freqs =
            cbdetail::Frequencies(chunk.rows, buffer.freqs.data(), total, magnitude) ? nullptr : buffer.freqs.data();
      }
      partitions.resize(static_cast<std::size_t>(chunk.rows.count));
      if (ReadPartitions(turn, partitions) && !short_) Add(slot, chunk, partitions);
      if (slot == 0) TimedProgressUpdate(chunk.first + chunk.rows.count, n_);
    }
    const std::lock_guard<cbdetail::HandoffLock> lock(set_mutex_);
    total_ += total;
    magnitude_ += magnitude;
  }

  // The next chunk of the training set and its turn among the chunks;
  // false at the end or at a refusal.
  bool ReadSet(cbdetail::ChunkBuffer& buffer, cbdetail::Chunk& chunk, int& turn) {
    const std::lock_guard<cbdetail::HandoffLock> lock(set_mutex_);
    if (refused_ || next_ >= n_) return false;
    try {
      chunk = cbdetail::ReadChunk(set_, next_, std::min(chunk_, n_ - next_), chunk_, buffer, false, true);
    } catch (const Refusals::Deferred&) {
      refused_ = true;
      return false;
    }
    next_ += chunk.rows.count;
    turn = turns_++;
    return true;
  }

  // The partitions of the chunk of the given turn, once the chunks before
  // have taken theirs (every chunk read takes its turn): false when the
  // partitioning is refused (its message waits).
  bool ReadPartitions(int turn, std::vector<int>& partitions) {
    std::unique_lock<std::mutex> lock(partitions_mutex_);
    partitions_changed_.wait(lock, [&] { return turn_ == turn; });
    bool read = false;
    if (partitioning_) {
      try {
        partitioning_->Read(partitions.data(), static_cast<int>(partitions.size()));
        read = true;
      } catch (const Refusals::Deferred&) {
        partitioning_.reset();
      }
    }
    ++turn_;
    partitions_changed_.notify_all();
    return read;
  }

  void Add(int slot, const cbdetail::Chunk& chunk, const std::vector<int>& partitions) {
    try {
      threads_->Add(slot, chunk.rows, chunk.freqs, partitions.data());
    } catch (const std::bad_alloc&) {
      short_ = true;
    }
  }

  cbdetail::SetFileReader& set_;
  const int n_;
  const int chunk_;
  std::optional<cbdetail::PartitioningFileReader> partitioning_;  // none once refused
  cbdetail::Workers workers_;
  std::vector<cbdetail::ChunkBuffer> buffers_;  // per thread
  std::vector<std::vector<int>> partitions_;    // per thread
  std::optional<CentroidSums> sums_;
  std::optional<cbdetail::SumsPerThread> threads_;
  std::atomic<bool> short_{false};
  cbdetail::HandoffLock set_mutex_;  // taken for every chunk, by each thread in turn
  int next_ = 0;                     // guarded by set_mutex_: the first vector not read
  int turns_ = 0;                    // guarded by set_mutex_: the chunks read
  bool refused_ = false;             // guarded by set_mutex_
  std::int64_t total_ = 0;           // guarded by set_mutex_: frequencies of the records viewed
  std::int64_t magnitude_ = 0;       // guarded by set_mutex_: and their magnitudes
  std::mutex partitions_mutex_;
  std::condition_variable partitions_changed_;
  int turn_ = 0;  // guarded by partitions_mutex_: the chunk whose partitions are read next
};

// Writes the codebook of the partitions' centroids: entry k the centroid of
// partition k when its frequency is positive, else zeros with frequency 0.
// The empty entries between two centroids, zero bytes all, go out as one
// run: a partitioning that announces many more partitions than appear takes
// neither memory nor time for them.
void WriteCentroids(const char* name, Codebook& header, const CentroidSums& sums, int overwrite) {
  const std::vector<int> members = sums.Positive();
  std::int64_t total = 0;
  for (const int partition : members) total += sums.Freq(partition);
  header.TotalFreq = cbdetail::CodebookTotal(total, name);

  cbdetail::SetFileWriter writer;
  TimedProgressStage((std::string("Writing ") + name + " ").c_str());
  if (!writer.Open(name, &header, overwrite)) return;
  // Each centroid is made and written a piece at a time.
  const auto d = static_cast<std::size_t>(sums.Dimension());
  constexpr std::size_t kPiece = 4096;
  std::vector<int> piece(std::min(d, kPiece));
  int next = 0;  // the first entry not written yet
  for (const int partition : members) {
    writer.EmptyEntries(partition - next);
    const int freq = sums.Freq(partition);
    writer.Begin(nullptr);
    for (std::size_t start = 0; start < d; start += kPiece) {
      const std::size_t length = std::min(kPiece, d - start);
      cbdetail::Centroid(sums.Sum(partition) + start, freq, length, piece.data());
      writer.Elements(piece.data(), length);
    }
    writer.End(freq);
    next = partition + 1;
    TimedProgressUpdate(next, header.BookSize);
  }
  writer.EmptyEntries(header.BookSize - next);
  TimedProgressUpdate(header.BookSize, header.BookSize);
  writer.Commit();
}

}  // namespace

void ConvertToCodebook(const char* trainingSetName, const char* partitioningName, const char* codebookName,
                       const char* identity, int overwrite) {
  Refusals first(true), second(true);
  Codebook ts;
  std::optional<cbdetail::SetFileReader> opened;
  cbdetail::SetFileReader& set = cbdetail::OpenTrainingSet(opened, trainingSetName, &ts, first);
  TimedProgressStage((std::string("Reading ") + trainingSetName + " and " + partitioningName + " ").c_str());
  SharedSums shared(set, ts.BookSize, partitioningName, second);
  if (!shared.Run()) first.Report();
  set.Finish();
  first.Report();
  second.Report();
  const CentroidSums sums = shared.Result();

  // The codebook CreateNewCodebook makes from the training set, filled with
  // the centroids.
  Codebook header;
  CopyCodebookHeader(&ts, &header);
  SetVerString(header.VersionString, KindCodebook);
  if (ts.InheritLevel <= 1) header.GenerationMethod[0] = '\0';
  AddString(header.GenerationMethod, identity, 80);
  header.BookSize = sums.Partitions();
  WriteCentroids(codebookName, header, sums, overwrite);
}

}  // namespace mirvo
