// The two conversions straight from the files, without the records of the
// training set: the optimal partitioning searches the training vectors kept
// as narrow as their file stores them; the centroid codebook adds each
// training vector into the sums of its partition as it is decoded, while a
// second thread reads the partitioning.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "cb/cb.h"
#include "cb/cb_internal.h"
#include "cb/search.h"
#include "file/file.h"
#include "file/reader.h"
#include "interfc/interfc.h"

namespace {

using cbdetail::kPartitionMemory;
using cbdetail::kVectorMemory;

// Reads the partitioning file on a thread of its own into a table of
// partitions (0-based), making them known batch by batch (WaitFor). A
// refusal is kept and reported only by Report(), which the caller invokes
// once the training set has been read whole, so that the messages come in
// the order of reading one file after the other.
class PartitioningFeed {
 public:
  PartitioningFeed(const char* name, const Codebook* ts) : name_(name), ts_(ts) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::exception&) {
      Run();  // no thread to spare: the whole file now
    }
  }
  ~PartitioningFeed() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  // Waits until the partitions of the first `count` training vectors are
  // known or the reading has stopped; returns how many are known.
  int WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ready_ >= count || finished_; });
    return ready_;
  }
  const int* Partitions() const { return partitions_.get(); }
  int PartitionCount() const { return count_; }

  // After the training set: the partitioning's refusal, if any, ends the
  // process as ReadPartitioning would.
  void Report() {
    if (thread_.joinable()) thread_.join();
    if (unopened_) {
      std::FILE* file = FileOpen(name_, FileModeRead, 0);  // reports why
      if (file != nullptr) std::fclose(file);
      ExitProcessing(-1);
    }
    if (!error_.empty()) {
      ErrorMessage("%s", error_.c_str());
      ExitProcessing(-1);
    }
  }

 private:
  void Run() {
    Read();
    const std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  void Read() {
    std::unique_ptr<std::FILE, cbdetail::CloseFile> file(std::fopen(name_, "rb"));
    if (!file) {
      unopened_ = true;
      return;
    }
    FileReader reader(file.get());
    if (!cbdetail::ReadPartitioningCount(reader, name_, ts_, &count_, &error_)) return;
    const int vectors = ts_->BookSize;
    try {
      partitions_ = std::make_unique_for_overwrite<int[]>(static_cast<std::size_t>(vectors));
    } catch (const std::bad_alloc&) {
      error_ = kPartitionMemory;
      return;
    }
    char method[80] = {};
    if (!cbdetail::ReadPartitioningRest(reader, name_, vectors, method, &error_)) return;
    constexpr int kBatch = 1 << 16;
    for (int first = 0; first < vectors && !stop_.load(std::memory_order_relaxed); first += kBatch) {
      const int count = std::min(kBatch, vectors - first);
      const int read = cbdetail::ReadPartitionIndexes(reader, count_, partitions_.get() + first, count, &error_);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ready_ = first + read;
      }
      changed_.notify_all();
      if (read < count) return;
    }
  }

  const char* name_;
  const Codebook* ts_;
  std::thread thread_;
  std::unique_ptr<int[]> partitions_;
  int count_ = 0;
  std::string error_;
  bool unopened_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  int ready_ = 0;          // guarded by mutex_
  bool finished_ = false;  // guarded by mutex_
  std::atomic<bool> stop_{false};
};

// Adds every vector into the sums of its partition; built for AVX2 as well,
// chosen when the processor has it.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void AddToSums(const int* partition, const BookNode* nodes, int count,
                                                                 std::size_t d, std::int64_t* sums, int* freqs) {
  for (int r = 0; r < count; ++r) {
    const auto k = static_cast<std::size_t>(partition[r]);
    cbdetail::AddScaled(sums + k * d, nodes[r].Vector, d, nodes[r].Freq);
    cbdetail::AddWrapped(freqs[k], nodes[r].Freq);
  }
}

}  // namespace

void GenerateOptimalCodebookFromFiles(const char* trainingSetName, const char* partitioningName, Codebook* ts,
                                      Codebook* cb) {
  cbdetail::SetFileReader set(trainingSetName, ts);
  PartitioningFeed feed(partitioningName, ts);

  const int n = ts->BookSize;
  const std::size_t d = cbdetail::Dim(ts);
  constexpr std::size_t kChunkElements = std::size_t{1} << 16;
  const int chunk = static_cast<int>(std::clamp<std::size_t>(kChunkElements / std::max<std::size_t>(d, 1), 1, 4096));
  auto elements = cbdetail::NewArray<int>(static_cast<std::size_t>(chunk) * d, kVectorMemory);
  std::vector<BookNode> nodes(static_cast<std::size_t>(chunk));
  for (int r = 0; r < chunk; ++r) nodes[static_cast<std::size_t>(r)].Vector = elements.get() + r * d;

  std::vector<std::int64_t> sums;
  std::vector<int> freqs;
  bool summing = true;
  bool memoryShort = false;
  TimedProgressStage((std::string("Reading ") + trainingSetName + " and " + partitioningName + " ").c_str());
  for (int first = 0; first < n; first += chunk) {
    const int count = std::min(chunk, n - first);
    set.Read(count, nodes.data(), false);
    TimedProgressUpdate(first + count, n);
    if (!summing) continue;
    if (feed.WaitFor(first + count) < first + count) {
      summing = false;  // the partitioning is refused; its message waits
      continue;
    }
    if (freqs.empty()) {
      try {
        const auto partitions = static_cast<std::size_t>(feed.PartitionCount());
        sums.assign(partitions * d, 0);
        freqs.assign(partitions, 0);
      } catch (const std::bad_alloc&) {
        memoryShort = true;  // reported where reading the partitioning would
        summing = false;
        continue;
      }
    }
    AddToSums(feed.Partitions() + first, nodes.data(), count, d, sums.data(), freqs.data());
  }
  set.Finish();
  feed.Report();

  const int partitions = feed.PartitionCount();
  try {
    if (freqs.empty() && !memoryShort) {
      sums.assign(static_cast<std::size_t>(partitions) * d, 0);
      freqs.assign(static_cast<std::size_t>(partitions), 0);
    }
  } catch (const std::bad_alloc&) {
    memoryShort = true;
  }
  if (memoryShort) {
    ErrorMessage("%s", kPartitionMemory);
    ExitProcessing(-1);
  }
  // The centroids from the sums, as from those of a partitioning record.
  std::vector<PartitionSum> slots(static_cast<std::size_t>(partitions));
  for (std::size_t k = 0; k < slots.size(); ++k) slots[k] = PartitionSum{sums.data() + k * d, freqs[k]};
  Partitioning view;
  view.PartitionCount = partitions;
  view.AllocatedPartitions = partitions;
  view.TrainingSetSize = n;
  view.Dimension = static_cast<int>(d);
  view.Sums = slots.data();
  CreateNewCodebook(cb, partitions, ts);
  GenerateOptimalCodebookGeneral(ts, cb, &view, ErrorMSE);
}

namespace {

// The elements of a training set, each in the width its file gives it (1, 2
// or 4 bytes; 3-byte elements take 4), and the names of its vectors.
class PackedSet {
 public:
  PackedSet(int count, std::size_t dimension, int width)
      : count_(count), dimension_(dimension), width_(width == 3 ? 4 : width) {
    elements_ = cbdetail::NewArray<std::uint8_t>(static_cast<std::size_t>(count) * dimension * width_, kVectorMemory);
  }
  ~PackedSet() {
    for (char* name : names_) cbdetail::ReleaseName(name);
  }
  PackedSet(const PackedSet&) = delete;
  PackedSet& operator=(const PackedSet&) = delete;

  void Store(int i, const BookNode& node) {
    std::uint8_t* at = elements_.get() + static_cast<std::size_t>(i) * dimension_ * width_;
    switch (width_) {
      case 1:
        for (std::size_t k = 0; k < dimension_; ++k) at[k] = static_cast<std::uint8_t>(node.Vector[k]);
        break;
      case 2: {
        auto* words = reinterpret_cast<std::uint16_t*>(at);
        for (std::size_t k = 0; k < dimension_; ++k) words[k] = static_cast<std::uint16_t>(node.Vector[k]);
        break;
      }
      default:
        std::memcpy(at, node.Vector, dimension_ * sizeof(int));
        break;
    }
    if (node.Name != nullptr) {
      if (names_.empty()) names_.assign(static_cast<std::size_t>(count_), nullptr);
      names_[static_cast<std::size_t>(i)] = node.Name;
    }
  }
  void Load(int i, int* vector) const {
    const std::uint8_t* at = elements_.get() + static_cast<std::size_t>(i) * dimension_ * width_;
    switch (width_) {
      case 1:
        for (std::size_t k = 0; k < dimension_; ++k) vector[k] = at[k];
        break;
      case 2: {
        const auto* words = reinterpret_cast<const std::uint16_t*>(at);
        for (std::size_t k = 0; k < dimension_; ++k) vector[k] = words[k];
        break;
      }
      default:
        std::memcpy(vector, at, dimension_ * sizeof(int));
        break;
    }
  }
  const char* const* Names() const { return names_.empty() ? nullptr : names_.data(); }

 private:
  int count_;
  std::size_t dimension_;
  int width_;
  std::unique_ptr<std::uint8_t[]> elements_;
  std::vector<char*> names_;  // empty while no vector has a name
};

}  // namespace

void GenerateOptimalPartitioningFromFiles(const char* trainingSetName, const char* codebookName,
                                          const char* partitioningName, int overwrite, Codebook* ts, Codebook* cb) {
  cbdetail::SetFileReader set(trainingSetName, ts);
  const int n = ts->BookSize;
  const std::size_t d = cbdetail::Dim(ts);
  PackedSet packed(n, d, ts->BytesPerElement);
  {
    constexpr std::size_t kChunkElements = std::size_t{1} << 16;
    const int chunk = static_cast<int>(std::clamp<std::size_t>(kChunkElements / std::max<std::size_t>(d, 1), 1, 4096));
    auto elements = cbdetail::NewArray<int>(static_cast<std::size_t>(chunk) * d, kVectorMemory);
    std::vector<BookNode> nodes(static_cast<std::size_t>(chunk));
    for (int r = 0; r < chunk; ++r) nodes[static_cast<std::size_t>(r)].Vector = elements.get() + r * d;
    TimedProgressStage((std::string("Reading ") + trainingSetName + " ").c_str());
    for (int first = 0; first < n; first += chunk) {
      const int count = std::min(chunk, n - first);
      // Names pass to the packed set one record at a time, so that none is
      // lost should a later record be refused.
      for (int r = 0; r < count; ++r) {
        set.Read(1, &nodes[static_cast<std::size_t>(r)], true);
        packed.Store(first + r, nodes[static_cast<std::size_t>(r)]);
      }
      TimedProgressUpdate(first + count, n);
    }
  }
  set.Finish();

  ReadCodebook(codebookName, cb);
  if (cb->BookSize < 1) {
    ErrorMessage("ERROR: The codebook %s holds no vectors.\n", codebookName);
    ExitProcessing(-1);
  }
  if (VectorSize(ts) != VectorSize(cb)) {
    ErrorMessage("ERROR: Training set and codebook dimensions differ (%d != %d).\n", VectorSize(ts), VectorSize(cb));
    ExitProcessing(-1);
  }

  // Every training vector starts in partition 0, as in a new partitioning.
  auto partitionOf = cbdetail::NewArray<int>(static_cast<std::size_t>(n), kPartitionMemory);
  const cbdetail::NearestSearch search(cb);
  TimedProgressStage("Searching the nearest code vectors ");
  cbdetail::ParallelFor(n, [&](int begin, int end) {
    constexpr int kBatch = 256;
    std::vector<int> elements(static_cast<std::size_t>(kBatch) * d);
    const int* vectors[kBatch];
    const int starts[kBatch] = {};
    std::int64_t distances[kBatch];
    for (int first = begin; first < end; first += kBatch) {
      const int count = std::min(kBatch, end - first);
      for (int b = 0; b < count; ++b) {
        int* vector = elements.data() + static_cast<std::size_t>(b) * d;
        packed.Load(first + b, vector);
        vectors[b] = vector;
      }
      search.FindMany(vectors, starts, count, partitionOf.get() + first, distances);
    }
  });

  Partitioning view;
  SetVerString(view.VersionString, KindPartitioning);
  view.PartitionCount = cb->BookSize;
  view.AllocatedPartitions = cb->BookSize;
  view.TrainingSetSize = n;
  view.Dimension = static_cast<int>(d);
  view.PartitionOf = partitionOf.get();
  TimedProgressStage((std::string("Writing ") + partitioningName + " ").c_str());
  cbdetail::WritePartitioningFile(partitioningName, &view, n, packed.Names(), overwrite);
}
