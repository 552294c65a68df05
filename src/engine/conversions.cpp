// The program's two conversions as one streaming pipeline: a chunk of
// training vectors is decoded in the width its file stores, then searched
// (codebook to partitioning) or added into the partitions' sums (partitioning
// to codebook), and the output is formatted as it goes. Memory holds the
// codebook or the sums and a chunk, never the training set.
//
// Messages keep the order of reading the training set whole before the
// second file: the second file's refusals and warnings are kept (deferred)
// until the training set has been read to its end.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/centroid_sums.h"
#include "engine/conversions.h"
#include "engine/search.h"
#include "engine/workers.h"
#include "files/output.h"
#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

namespace {

using cbdetail::kPartitionMemory;
using cbdetail::kVectorMemory;
using cbdetail::Refusals;

// Training vectors are taken about 256 KiB at a time.
std::atomic<std::size_t> chunkBytes{std::size_t{1} << 18};

// Training vectors of `bytes` bytes each in a chunk: at least one, at most
// 65536.
int VectorsPerChunk(std::size_t bytes) {
  constexpr std::size_t kMaxChunk = std::size_t{1} << 16;
  return static_cast<int>(std::clamp<std::size_t>(chunkBytes.load() / std::max<std::size_t>(bytes, 1), 1, kMaxChunk));
}

// Reads the training set to its end a chunk at a time, giving each to
// body(count, rows, stride, freqs, names), and then reports its warnings;
// freqs is null when every frequency of the chunk is 1.
// Chunks are decoded into two buffers in turn, so that a chunk's rows,
// frequencies and names (when names is set) stay as they are until body has
// returned for the next chunk: body may leave work on a chunk to other
// threads while this one is read. With inPlace set, records that need no
// decoding are instead given where they lie in the reader's buffer, `stride`
// bytes apart (0: the rows follow each other), and stay there only until
// body returns. A chunk is never more than the n vectors announced: a set
// without vectors takes no memory for them, whatever their dimension, and a
// set of one chunk takes one buffer. After the last chunk, drain() is
// called while the buffers are still there. A refusal of the set calls
// abandon, then reports it, which ends the process.
template <class Abandon, class Body, class Drain>
void StreamSet(cbdetail::SetFileReader& set, int n, Refusals& refusals, bool names, bool inPlace, Abandon abandon,
               Body body, Drain drain) {
  const std::size_t rowBytes = set.Dimension() * static_cast<std::size_t>(set.RowWidth());
  const int chunk = std::min(n, VectorsPerChunk(rowBytes));
  struct Buffer {
    std::unique_ptr<unsigned char[]> rows;
    std::vector<int> freqs;
    std::vector<std::string> names;
  };
  Buffer buffers[2];
  int turn = 0;
  for (int first = 0, count = 0; first < n; first += count, turn ^= 1) {
    count = std::min(chunk, n - first);
    Buffer& buffer = buffers[turn];
    if (buffer.freqs.empty()) buffer.freqs.resize(static_cast<std::size_t>(chunk));
    const unsigned char* rows = nullptr;
    std::size_t stride = 0;
    bool ones = false;
    try {
      const int viewed = inPlace ? set.View(count, &rows, &stride, buffer.freqs.data(), &ones) : 0;
      if (viewed > 0) {
        count = viewed;
      } else {
        if (!buffer.rows) {
          buffer.rows = cbdetail::NewArray<unsigned char>(static_cast<std::size_t>(chunk) * rowBytes, kVectorMemory);
        }
        set.Read(count, buffer.rows.get(), false, buffer.freqs.data(), names ? &buffer.names : nullptr);
        rows = buffer.rows.get();
        stride = 0;
        ones = false;
      }
    } catch (const Refusals::Deferred&) {
      abandon();
      refusals.Report();
    }
    body(count, rows, stride, ones ? nullptr : static_cast<const int*>(buffer.freqs.data()),
         static_cast<const std::vector<std::string>*>(names ? &buffer.names : nullptr));
    TimedProgressUpdate(first + count, n);
  }
  drain();
  set.Finish();
  refusals.Report();
}

// The training set's header, or its refusal, which comes before anything.
cbdetail::SetFileReader& OpenTrainingSet(std::optional<cbdetail::SetFileReader>& set, const char* name, Codebook* ts,
                                         Refusals& refusals) {
  try {
    set.emplace(name, ts, refusals);
  } catch (const Refusals::Deferred&) {
    refusals.Report();
  }
  return *set;
}

// The partitions of a partitioning file, read on a thread of their own
// into a bounded ring, taken in order by the summing thread.
class PartitionFeed {
 public:
  PartitionFeed(const char* name, int vectors, int dimension, Refusals& refusals)
      : name_(name), vectors_(vectors), dimension_(dimension), refusals_(refusals), ring_(kRing) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::exception&) {
      inline_ = true;  // no thread to spare: read as the partitions are taken
      Open();
    }
  }
  ~PartitionFeed() { Join(true); }
  PartitionFeed(const PartitionFeed&) = delete;
  PartitionFeed& operator=(const PartitionFeed&) = delete;

  // The partition count, once the header is read; 0 when it is refused.
  int PartitionCount() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return opened_ || finished_; });
    return reader_ ? reader_->PartitionCount() : 0;
  }

  // Copies the partitions of the next count (at most kRing / 2) vectors to
  // out; returns false when the file has been refused first.
  bool Take(int* out, int count) {
    if (inline_) {
      if (!reader_) return false;
      try {
        reader_->Read(out, count);
        return true;
      } catch (const Refusals::Deferred&) {
        reader_.reset();
        return false;
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return produced_ - consumed_ >= count || finished_; });
    if (produced_ - consumed_ < count) return false;
    lock.unlock();
    for (int i = 0; i < count;) {
      const auto at = static_cast<std::size_t>((consumed_ + i) % kRing);
      const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(count - i), kRing - at));
      std::copy_n(ring_.data() + at, n, out + i);
      i += n;
    }
    lock.lock();
    consumed_ += count;
    changed_.notify_all();
    return true;
  }

  void Join(bool stop = false) {
    if (stop) {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  static constexpr std::size_t kRing = std::size_t{1} << 18;
  static constexpr int kBlock = 1 << 14;

  void Open() {
    try {
      reader_.emplace(name_, vectors_, dimension_, refusals_, false);
    } catch (const Refusals::Deferred&) {
    }
  }

  void Run() {
    Open();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      opened_ = true;
      changed_.notify_all();
    }
    try {
      while (reader_ && produced_ < vectors_) {
        std::int64_t start = 0;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock,
                        [&] { return stop_ || produced_ + kBlock - consumed_ <= static_cast<std::int64_t>(kRing); });
          if (stop_) break;
          start = produced_;
        }
        const auto at = static_cast<std::size_t>(start % kRing);
        const int n =
            static_cast<int>(std::min<std::int64_t>({kBlock, static_cast<std::int64_t>(kRing - at), vectors_ - start}));
        reader_->Read(ring_.data() + at, n);
        const std::lock_guard<std::mutex> lock(mutex_);
        produced_ += n;
        changed_.notify_all();
      }
    } catch (const Refusals::Deferred&) {
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  const char* name_;
  int vectors_;
  int dimension_;
  Refusals& refusals_;
  std::optional<cbdetail::PartitioningFileReader> reader_;
  std::vector<int> ring_;
  std::thread thread_;
  bool inline_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t produced_ = 0;  // guarded by mutex_ (written by the reader)
  std::int64_t consumed_ = 0;  // guarded by mutex_ (written by the taker)
  bool opened_ = false;        // guarded by mutex_
  bool finished_ = false;      // guarded by mutex_
  bool stop_ = false;          // guarded by mutex_
};

// The partitions' sums on two threads, for a training set whose records can
// be read at known offsets and a partitioning in a regular file. The other
// thread reads the partitioning a chunk of lines at a time; it hands a chunk
// to this thread whenever fewer than two wait here, and otherwise reads
// that chunk of the training set and adds it into sums of its own. Each
// thread reads its chunks of the training set itself (pread), so that the
// records are decoded and summed where they were copied. Anything out of the ordinary
// (a record with a name, a refusal of the partitioning, sums too large to
// keep twice, memory) gives up without a word: the caller then reads both
// files again as one stream, which reports it in order.
class TwoThreadSums {
 public:
  TwoThreadSums(cbdetail::SetFileReader& set, const cbdetail::SetFileReader::Records& records, int n,
                std::size_t dimension, Refusals& refusals)
      : set_(set),
        records_(records),
        n_(n),
        dimension_(dimension),
        refusals_(refusals),
        rowWidth_(records.width <= 2 ? records.width : 4),
        rowBytes_(records.width == 1 ? 0 : dimension * static_cast<std::size_t>(rowWidth_)),
        chunk_(VectorsPerChunk(records.record)) {}

  // The sums of every partition and their count, or false.
  bool Run(const char* name, std::optional<cbdetail::CentroidSums>& sums, int& partitionCount) {
    Worker mine, other;
    std::thread helper;
    try {
      for (auto& slot : slots_) slot.resize(static_cast<std::size_t>(chunk_));
      mine.Allocate(chunk_, records_.record, rowBytes_);
      helper = std::thread([&] { Feed(name, other); });
    } catch (const std::exception&) {  // no memory, or no thread
      return false;
    }
    try {
      Take(mine);
    } catch (const std::exception&) {
      Fail();
    }
    helper.join();
    if (failed_.load() || !mine.sums || !other.sums) return false;
    mine.sums->Merge(*other.sums);
    const std::int64_t magnitude = mine.magnitude + other.magnitude;
    if (magnitude > std::numeric_limits<int>::max()) return false;
    set_.Account(n_, mine.total + other.total, magnitude);
    partitionCount = partitions_;
    sums = std::move(mine.sums);
    return true;
  }

 private:
  // Sums kept twice at most this large.
  static constexpr std::uint64_t kSumsBytes = std::uint64_t{8} << 20;

  struct Worker {
    std::optional<cbdetail::CentroidSums> sums;
    std::unique_ptr<unsigned char[]> records;
    std::unique_ptr<unsigned char[]> rows;  // decoded, for elements wider than a byte
    std::vector<int> freqs;
    std::int64_t total = 0;
    std::int64_t magnitude = 0;
    void Allocate(int chunk, std::size_t record, std::size_t rowBytes) {
      const auto n = static_cast<std::size_t>(chunk);
      records = cbdetail::NewArray<unsigned char>(n * record, kVectorMemory);
      if (rowBytes > 0) rows = cbdetail::NewArray<unsigned char>(n * rowBytes, kVectorMemory);
      freqs.resize(n);
    }
  };

  void Fail() {
    failed_ = true;
    Publish([] {});
  }

  // Reads chunk k of the training set and adds it into the worker's sums.
  bool Add(int k, int count, const int* partitions, Worker& worker) {
    const std::size_t bytes = static_cast<std::size_t>(count) * records_.record;
    unsigned char* at = worker.records.get();
    std::uint64_t offset =
        records_.offset + static_cast<std::uint64_t>(k) * static_cast<std::uint64_t>(chunk_) * records_.record;
    for (std::size_t done = 0; done < bytes;) {
      const ssize_t got = ::pread(records_.descriptor, at + done, bytes - done, static_cast<off_t>(offset));
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    bool ones = false;
    if (records_.width == 1) {
      // Summed where they lie.
      const int viewed = cbdetail::ViewRecords(at, bytes, dimension_, count, worker.freqs.data(), worker.total,
                                               worker.magnitude, &ones);
      if (viewed != count || worker.magnitude > std::numeric_limits<int>::max()) return false;
      worker.sums->Add(at + 1, 1, count, ones ? nullptr : worker.freqs.data(), partitions, records_.record);
    } else {
      const int decoded = cbdetail::DecodeRecords(at, bytes, dimension_, records_.width, worker.rows.get(), rowWidth_,
                                                  worker.freqs.data(), count, worker.total, worker.magnitude);
      if (decoded != count || worker.magnitude > std::numeric_limits<int>::max()) return false;
      worker.sums->Add(worker.rows.get(), rowWidth_, count, worker.freqs.data(), partitions);
    }
    done_ += count;
    return true;
  }

  // The other thread: the partitioning, and the chunks it keeps.
  void Feed(const char* name, Worker& worker) {
    try {
      std::optional<cbdetail::PartitioningFileReader> reader;
      try {
        reader.emplace(name, n_, static_cast<int>(dimension_), refusals_, false);
      } catch (const Refusals::Deferred&) {
      }
      // Sums for every partition, twice: only when they are few, for no more
      // partitions than the training set has vectors (the others would be
      // empty), and together no larger than the training set.
      const std::uint64_t bytes =
          reader ? static_cast<std::uint64_t>(reader->PartitionCount()) * (8 * dimension_ + 4) : 0;
      if (!reader || reader->PartitionCount() > n_ || bytes > kSumsBytes ||
          2 * bytes > static_cast<std::uint64_t>(n_) * records_.record) {
        Fail();
      } else {
        worker.Allocate(chunk_, records_.record, rowBytes_);
        worker.sums.emplace(reader->PartitionCount(), dimension_);
        Publish([&] { partitions_ = reader->PartitionCount(); });
        std::vector<int> kept(static_cast<std::size_t>(chunk_));
        for (int k = 0; k < (n_ - 1) / chunk_ + 1 && !failed_.load(); ++k) {
          const int count = std::min(chunk_, n_ - k * chunk_);
          // A chunk goes to the other thread when fewer than two wait
          // there, into a slot neither waiting nor being summed.
          int slot = -1;
          {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.size() < kSlots - 1) {
              for (slot = 0; slot == busy_ || std::any_of(queue_.begin(), queue_.end(),
                                                          [&](const Handed& h) { return h.slot == slot; });) {
                ++slot;
              }
            }
          }
          int* partitions = slot >= 0 ? slots_[slot].data() : kept.data();
          reader->Read(partitions, count);
          if (slot >= 0) {
            Publish([&] { queue_.push_back(Handed{k, count, slot}); });
          } else if (!Add(k, count, partitions, worker)) {
            Fail();
          }
        }
      }
    } catch (const Refusals::Deferred&) {
      Fail();
    } catch (const std::exception&) {
      Fail();
    }
    Publish([&] { finished_ = true; });
  }

  // This thread: the chunks handed over.
  void Take(Worker& worker) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return partitions_ >= 0 || finished_ || failed_.load(); });
      if (partitions_ < 0) return;
    }
    worker.sums.emplace(partitions_, dimension_);
    for (;;) {
      Handed chunk{};
      {
        std::unique_lock<std::mutex> lock(mutex_);
        busy_ = -1;
        changed_.wait(lock, [&] { return !queue_.empty() || finished_; });
        if (queue_.empty()) return;
        chunk = queue_.front();
        queue_.pop_front();
        busy_ = chunk.slot;
      }
      if (!failed_.load() && !Add(chunk.k, chunk.count, slots_[chunk.slot].data(), worker)) Fail();
      TimedProgressUpdate(std::min<std::int64_t>(done_.load(), n_), n_);
    }
  }

  template <class Change>
  void Publish(Change change) {
    const std::lock_guard<std::mutex> lock(mutex_);
    change();
    changed_.notify_all();
  }

  cbdetail::SetFileReader& set_;
  const cbdetail::SetFileReader::Records records_;
  const int n_;
  const std::size_t dimension_;
  Refusals& refusals_;
  const int rowWidth_;          // as SetFileReader::RowWidth
  const std::size_t rowBytes_;  // of a decoded row; 0 for rows summed where they lie
  const int chunk_;
  struct Handed {
    int k, count, slot;
  };
  static constexpr std::size_t kSlots = 3;
  std::vector<int> slots_[kSlots];  // partitions of the chunks handed over
  std::atomic<bool> failed_{false};
  std::atomic<std::int64_t> done_{0};  // vectors summed, for the progress
  std::mutex mutex_;
  std::condition_variable changed_;
  int partitions_ = -1;       // guarded by mutex_: set once the header is read
  std::deque<Handed> queue_;  // guarded by mutex_: chunks handed over and not yet taken
  int busy_ = -1;             // guarded by mutex_: the slot being summed here, -1 for none
  bool finished_ = false;     // guarded by mutex_
};

// The partitions' sums: by partition (slots unset), or in the slots of the
// partitions met.
struct PartitionTotals {
  std::optional<cbdetail::CentroidSums> sums;
  std::optional<cbdetail::PartitionSlots> slots;
  int partitions = 0;  // the count the partitioning announces
};

// Sums for every partition a partitioning announces are kept while they
// take no more than the reading's own buffers.
constexpr std::uint64_t kAnnouncedSums = std::uint64_t{1} << 20;

// The partitions' sums as one stream: the training set a chunk at a time,
// the partitioning on a thread of its own. Beyond kAnnouncedSums, the sums
// grow as the partitions appear, whatever number the header announces. A
// refusal of the partitioning is left in `second`; memory that runs short
// ends the process once both files are read through (for their messages).
void StreamSums(cbdetail::SetFileReader& set, Refusals& first, Refusals& second, const char* partitioningName, int n,
                int dimension, PartitionTotals& totals) {
  PartitionFeed feed(partitioningName, n, dimension, second);
  const int width = set.RowWidth();
  std::vector<int> partitions;
  bool summing = true;
  bool memoryShort = false;
  auto makeSums = [&] {
    try {
      totals.partitions = feed.PartitionCount();
      if (static_cast<std::uint64_t>(totals.partitions) * (8 * set.Dimension() + 4) <= kAnnouncedSums) {
        totals.sums.emplace(totals.partitions, set.Dimension());
      } else {
        totals.sums.emplace(0, set.Dimension());
        totals.slots.emplace(totals.partitions);
      }
    } catch (const std::bad_alloc&) {
      memoryShort = true;
    }
  };
  StreamSet(
      set, n, first, false, true, [&] { feed.Join(true); },
      [&](int count, const unsigned char* rows, std::size_t stride, const int* freqs, const std::vector<std::string>*) {
        partitions.resize(static_cast<std::size_t>(count));
        if (!summing || !feed.Take(partitions.data(), count)) {
          summing = false;  // the partitioning is refused; its message waits
          return;
        }
        if (!totals.sums && !memoryShort) makeSums();
        if (memoryShort) return;  // the partitioning is still read through, for its messages
        try {
          if (totals.slots) {
            totals.slots->Map(partitions.data(), partitions.size());
            totals.sums->Grow(totals.slots->Count());
          }
        } catch (const std::bad_alloc&) {
          memoryShort = true;
          return;
        }
        totals.sums->Add(rows, width, count, freqs, partitions.data(), stride);
      },
      [] {});
  feed.Join();
  second.Report();
  if (!totals.sums && !memoryShort) makeSums();
  if (memoryShort) {
    ErrorMessage("%s", kPartitionMemory);
    ExitProcessing(-1);
  }
}

// Writes the codebook of the partitions' centroids: entry k the centroid of
// partition k when its frequency is positive, else zeros with frequency 0.
// The empty entries between two centroids, zero bytes all, go out as one
// run: a partitioning that announces many more partitions than appear takes
// neither memory nor time for them.
void WriteCentroids(const char* name, Codebook& header, PartitionTotals& totals, int overwrite) {
  cbdetail::CentroidSums& sums = *totals.sums;
  // The partitions with a positive frequency, in order, with their slots.
  std::vector<std::pair<int, int>> members;
  if (totals.slots) {
    members = totals.slots->InOrder();
  } else {
    for (int k = 0; k < sums.Partitions(); ++k) members.emplace_back(k, k);
  }
  std::erase_if(members, [&](const std::pair<int, int>& m) { return sums.Freq(m.second) <= 0; });
  std::int64_t total = 0;
  for (const auto& m : members) total += sums.Freq(m.second);
  header.TotalFreq = cbdetail::CodebookTotal(total, name);

  cbdetail::CodebookWriter writer;
  TimedProgressStage((std::string("Writing ") + name + " ").c_str());
  if (!writer.Open(name, &header, overwrite)) return;
  // Each centroid is made and written a piece at a time.
  const std::size_t d = sums.Dimension();
  constexpr std::size_t kPiece = 4096;
  std::vector<int> piece(std::min(d, kPiece));
  int next = 0;  // the first entry not written yet
  for (const auto& [partition, slot] : members) {
    writer.EmptyEntries(partition - next);
    const int freq = sums.Freq(slot);
    writer.Begin(nullptr);
    for (std::size_t start = 0; start < d; start += kPiece) {
      const std::size_t length = std::min(kPiece, d - start);
      cbdetail::Centroid(sums.Sum(slot) + start, freq, length, piece.data());
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

std::size_t cbdetail::SetChunkBytes(std::size_t bytes) { return chunkBytes.exchange(bytes); }

void ConvertToPartitioning(const char* trainingSetName, const char* codebookName, const char* partitioningName,
                           int overwrite) {
  Refusals first(true), second(true);
  Codebook ts, cb;  // cb: the codebook's header; its vectors go to codes
  std::optional<cbdetail::SetFileReader> opened;
  cbdetail::SetFileReader& set = OpenTrainingSet(opened, trainingSetName, &ts, first);
  cbdetail::CodeRows codes;
  try {
    codes.width = cbdetail::ReadRows(codebookName, &cb, codes.bytes, second);
    if (cb.BookSize < 1) second.Refuse("ERROR: The codebook %s holds no vectors.\n", codebookName);
    if (VectorSize(&ts) != VectorSize(&cb)) {
      second.Refuse("ERROR: Training set and codebook dimensions differ (%d != %d).\n", VectorSize(&ts),
                    VectorSize(&cb));
    }
  } catch (const Refusals::Deferred&) {
  }

  // The output is written as the training set is searched, unless it is
  // refused anyway or cannot be written: then the training set is only read
  // through, for its own messages. Its header goes to the file before the
  // search, so that a full disk or a file-size limit shows before the
  // search is done in vain.
  const int n = ts.BookSize;
  bool existing = !second.Refused() && SafeOutput::Keeps(partitioningName, overwrite);
  cbdetail::PartitioningWriter writer;
  bool writing = false;
  if (!second.Refused() && !existing) {
    char version[80];
    SetVerString(version, KindPartitioning);
    writing = writer.Open(partitioningName, version, cb.BookSize, n, n, "", overwrite) && writer.Flush();
  }
  std::optional<NearestSearch> search;
  std::optional<cbdetail::Workers> workers;
  if (writing) {
    codes.size = cb.BookSize;
    codes.dimension = VectorSize(&cb);
    search.emplace(cbdetail::PrepareSearch(std::move(codes)));
    workers.emplace();
  }

  // Chunk k is searched by the other threads while this thread reads chunk
  // k + 1 and joins the search; chunk k's lines are then written while the
  // others search chunk k + 1.
  const std::size_t d = set.Dimension();
  const int width = set.RowWidth();
  const std::size_t rowBytes = d * static_cast<std::size_t>(width);
  struct Results {
    std::vector<int> targets;
    std::vector<std::int64_t> distances;
    int count = 0;
    const std::vector<std::string>* names = nullptr;
  } results[2];
  int turn = 0;
  auto writeLines = [&](Results& done) {
    for (int r = 0; r < done.count; ++r) {
      const auto i = static_cast<std::size_t>(r);
      const bool named = done.names != nullptr && !done.names->empty();
      writer.Line(done.targets[i], named ? (*done.names)[i].c_str() : nullptr);
    }
    done.count = 0;
  };
  TimedProgressStage("Searching the nearest code vectors ");
  StreamSet(
      set, n, first, writing, false,
      [&] {
        if (workers) workers->Finish();
        writer.Abandon();
      },
      [&](int count, const unsigned char* rows, std::size_t, const int*, const std::vector<std::string>* names) {
        if (!writing) return;
        workers->Finish();
        Results& chunk = results[turn];
        chunk.targets.resize(static_cast<std::size_t>(count));
        chunk.distances.resize(chunk.targets.size());
        chunk.count = count;
        chunk.names = names;
        const RowBlock block{rows, count, static_cast<int>(d), width, rowBytes};
        workers->Start(count, [&search, &chunk, block](int begin, int end, int) {
          search->FindRows(block.Part(begin, end - begin), chunk.targets.data() + begin,
                           chunk.distances.data() + begin);
        });
        turn ^= 1;
        writeLines(results[turn]);
      },
      [&] {
        if (!writing) return;
        workers->Finish();
        writeLines(results[turn ^ 1]);
      });
  second.Report();
  if (existing) {
    SafeOutput::ReportExisting(partitioningName);
    return;
  }
  if (writing) {
    TimedProgressStage((std::string("Writing ") + partitioningName + " ").c_str());
    writer.Commit();
  }
}

void ConvertToCodebook(const char* trainingSetName, const char* partitioningName, const char* codebookName,
                       const char* identity, int overwrite) {
  Refusals first(true);
  std::optional<Refusals> second(std::in_place, true);
  Codebook ts;
  std::optional<cbdetail::SetFileReader> opened;
  cbdetail::SetFileReader& set = OpenTrainingSet(opened, trainingSetName, &ts, first);
  const int n = ts.BookSize;
  PartitionTotals totals;
  TimedProgressStage((std::string("Reading ") + trainingSetName + " and " + partitioningName + " ").c_str());

  // Two regular files of many records: summed on two threads, when the
  // thread count allows more than one.
  bool summed = false;
  const auto records = set.FixedRecords();
  struct stat info {};
  if (records && ThreadCount() > 1 && static_cast<std::uint64_t>(n) * records->record >= 2 * chunkBytes.load() &&
      ::stat(partitioningName, &info) == 0 && S_ISREG(info.st_mode)) {
    summed =
        TwoThreadSums(set, *records, n, set.Dimension(), *second).Run(partitioningName, totals.sums, totals.partitions);
    if (summed) {
      TimedProgressUpdate(n, n);
      set.Finish();
      first.Report();
    } else {
      second.emplace(true);  // read again, from the start
    }
  }
  if (!summed) StreamSums(set, first, *second, partitioningName, n, VectorSize(&ts), totals);
  second->Report();

  // The codebook CreateNewCodebook makes from the training set, filled with
  // the centroids.
  Codebook header;
  CopyCodebookHeader(&ts, &header);
  SetVerString(header.VersionString, KindCodebook);
  if (ts.InheritLevel <= 1) header.GenerationMethod[0] = '\0';
  AddString(header.GenerationMethod, identity, 80);
  header.BookSize = totals.partitions;
  WriteCentroids(codebookName, header, totals, overwrite);
}

}  // namespace mirvo
