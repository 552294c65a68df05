// The engine: the conversions' nearest search and centroid sums over blocks
// of rows as they lie in memory, the threads they run on, and the kernels
// they use. The command line, the records' operations of mirvo/cb.h and the
// Python module all work through it.
//
// Conventions:
// - Rows are vectors of integer elements in a RowBlock: in their own width
//   (1, 2 or 4 bytes, never widened as a whole), `stride` bytes apart.
//   Element values are those of the files: 0 to 255 and 0 to 65535 for 1
//   and 2 bytes, any int32 for 4.
// - Results never depend on the thread count or the kernel level: every
//   search gives the answer of the plain search of mirvo/cb.h
//   (FindNearestVector: the start index when it is among the nearest, else
//   the lowest index at the smallest squared Euclidean distance, distances
//   exact and saturated to the 64-bit range), and every sum the exact
//   integer sum.
// - Failures are those of the library: a message through ErrorMessage, then
//   ExitProcessing(-1) (mirvo/interfc.h), unless a comment says otherwise.
//   What the engine allocates is owned by its objects and released when they
//   go.
//
// Threads and process-wide state: the thread count (SetThreadCount) and the
// kernel level (SetKernelLevel) are process-wide; the thread count has an
// override per calling thread (SetThreadCountHere). Both may be set from any
// thread at any time: work takes them when it starts (a NearestSearch or a
// CentroidSums its level when it is made) and keeps them until it ends. The const members of
// a NearestSearch may be called from any number of threads at once; every
// other object is used by one thread at a time. Work "on the engine's
// threads" starts ThreadCount() - 1 threads beside the calling one for the
// duration of the call, and joins them before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mirvo/cb.h"

namespace mirvo {

// ---- Rows ------------------------------------------------------------------

// count rows of dimension elements, each element `width` bytes wide in the
// machine's byte order (1: uint8_t, 2: uint16_t, 4: int32_t); row i starts
// i * stride bytes after data, the stride a multiple of the width (rows one
// after the other: dimension * width, RowBytes(); 0: every row the same).
// The block does not own the rows.
struct RowBlock {
  const void* data = nullptr;
  int count = 0;
  int dimension = 0;
  int width = 1;
  std::size_t stride = 0;

  std::size_t RowBytes() const { return static_cast<std::size_t>(dimension) * static_cast<std::size_t>(width); }
  const unsigned char* Row(int i) const {
    return static_cast<const unsigned char*>(data) + static_cast<std::size_t>(i) * stride;
  }
  // Rows first .. first + n - 1.
  RowBlock Part(int first, int n) const { return RowBlock{Row(first), n, dimension, width, stride}; }
};

// ---- Threads ---------------------------------------------------------------

// Sets the process-wide thread count; 0 (the default) means one thread per
// processor core. Returns the previous setting; a negative count is taken as
// 0.
int SetThreadCount(int count);
// Sets the count of the work the calling thread starts; 0 (the default)
// leaves it to the process-wide count. Returns the previous setting.
int SetThreadCountHere(int count);
// The threads work started now from the calling thread uses: its own count
// when set, else the process-wide one, else the processor cores; at least 1.
int ThreadCount();

// Long work on the engine's threads reports to a watch, when it is given
// one. The work goes in parts of at most 256 rows; before each part, on the
// thread that is to do it, Stop is asked whether the work should end (then
// the parts not yet begun are left undone, and the call says so), and after
// it Done is told its rows. Both are called from several threads at once.
class WorkWatch {
 public:
  virtual ~WorkWatch() = default;
  virtual void Done(std::int64_t rows) = 0;
  virtual bool Stop() = 0;
};

// ---- Kernels ---------------------------------------------------------------

// The instruction sets the kernels are built for (x86-64; elsewhere only
// Portable): AvxVnni is the 256-bit VNNI of processors without AVX-512,
// Avx512 needs AVX-512 VNNI, Avx512Vbmi adds VBMI and VBMI2.
enum class KernelLevel { Portable = 0, Avx2 = 1, AvxVnni = 2, Avx512 = 3, Avx512Vbmi = 4 };
// The best level the processor offers (probed once).
KernelLevel BestKernelLevel();
// Forces the level of the work started from now on, lowered until the
// processor offers it; returns the level set (for tests and benchmarks:
// only the time changes).
KernelLevel SetKernelLevel(KernelLevel level);
// The level in force.
KernelLevel ActiveKernelLevel();
// "portable", "avx2", "avx-vnni", "avx512-vnni", "avx512-vbmi".
const char* KernelLevelName(KernelLevel level);

// ---- Nearest search --------------------------------------------------------

// A search prepared once for a set of code vectors (at least one) and used
// for many training vectors, under the squared Euclidean distance (the
// conversions' and metric 0's). Code vectors whose elements span at most
// 256 consecutive values are searched by dot-product kernels, pruned for
// large codebooks; others by an exact search over slabs of code vectors.
class NearestSearch {
 public:
  // A copy of the code vectors (rows of the block).
  explicit NearestSearch(const RowBlock& codes);
  // A copy of the entries in use of a codebook.
  explicit NearestSearch(const Codebook* cb);
  ~NearestSearch();
  NearestSearch(NearestSearch&&) noexcept;
  NearestSearch& operator=(NearestSearch&&) noexcept;

  // The nearest code vector of a vector of the codebook's dimension,
  // searched from start (a code vector), and its distance.
  int Find(const int* vector, int start, std::int64_t* distance) const;
  // For each i in [0, count): targets[i] = Find(vectors[i], starts[i],
  // &distances[i]).
  void FindMany(const int* const* vectors, const int* starts, int count, int* targets, std::int64_t* distances) const;
  // For each row i of the block (the codebook's dimension): targets[i] =
  // its nearest code vector from code vector 0 (the lowest index among the
  // nearest), distances[i] its distance (distances may be null). On the
  // calling thread.
  void FindRows(const RowBlock& rows, int* targets, std::int64_t* distances) const;
  // FindRows on the engine's threads; false when the watch stopped it (the
  // rows not searched keep what their places held).
  bool FindRowsInParallel(const RowBlock& rows, int* targets, std::int64_t* distances,
                          WorkWatch* watch = nullptr) const;

  // How the search works: by the dot-product kernels, and pruned.
  bool UsesByteKernels() const;
  bool Prunes() const;
  // Training vectors searched and code vectors whose distance was computed
  // for them, since the search was prepared (for benchmarks).
  struct Work {
    std::int64_t searched = 0;
    std::int64_t computed = 0;
  };
  Work Done() const;

  // The library's own construction (engine/search.h).
  struct Impl;
  explicit NearestSearch(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// ---- Centroid sums ---------------------------------------------------------

// Per partition, the sums of the training vectors added to it (each element
// times the vector's frequency) and of their frequencies, for the codebook
// of the partitions' centroids. Sums wrap around in 64 bits and frequencies
// in 32, as the partitioning record's do (the readers refuse data whose sums
// could leave that range). Memory: sums for every partition while they take
// at most 1 MiB, else for the partitions rows are added to, whatever their
// count.
class CentroidSums {
 public:
  // Zero sums of `partitions` partitions (0 or more) of `dimension` (1 or
  // more) elements.
  CentroidSums(int partitions, int dimension);
  ~CentroidSums();
  CentroidSums(CentroidSums&&) noexcept;
  CentroidSums& operator=(CentroidSums&&) noexcept;

  // Adds row i of the block (Dimension() elements) times freqs[i] (1 when
  // freqs is null) to partition partitionOf[i] (0 to Partitions() - 1).
  // Memory that runs short throws std::bad_alloc, as the standard containers
  // do, with the sums as they were before the block.
  void Add(const RowBlock& rows, const int* freqs, const int* partitionOf);
  // Add on the engine's threads; false when the watch stopped it, with the
  // rows of the parts done added.
  bool AddInParallel(const RowBlock& rows, const int* freqs, const int* partitionOf, WorkWatch* watch = nullptr);
  // Adds the sums of others of the same partitions and dimension.
  void Merge(const CentroidSums& other);

  int Partitions() const;
  int Dimension() const;
  // The partitions whose frequency is positive, in increasing order.
  std::vector<int> Positive() const;
  // A partition's frequency (0 when nothing was added to it), and its sums
  // (Dimension() values; null when nothing was added to it).
  int Freq(int partition) const;
  const std::int64_t* Sum(int partition) const;
  // Replaces a partition's sums (Dimension() values) and frequency.
  void Set(int partition, const std::int64_t* sums, int freq);
  // The centroid of a partition of positive frequency into vector
  // (Dimension() elements): each sum over the frequency, plus 0.5,
  // truncated toward zero, as the library rounds averages. Returns the mean
  // of the elements, rounded alike. An element beyond the int range (only
  // frequencies of mixed sign lead there) is fatal: "ERROR: Vector element
  // value %.0f does not fit in 4 bytes per element.\n".
  int Centroid(int partition, int* vector) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// ---- Files a record at a time ---------------------------------------------

// The three kinds of data files (mirvo/cb.h), read and written a record or a
// line at a time: data of any size passes in constant memory. A reader's
// refusals are those of ReadCodebook or ReadPartitioning, fatal as theirs;
// a writer is all or nothing as WriteCodebook (it writes a temporary file
// and puts it in place at the end; LastWriteFailed of mirvo/file.h tells how
// it ended), and refuses before writing what the reader could not read
// back, fatal as WriteCodebook's refusals.

// A training-set or codebook file, versions 0 to 2.
class VectorSetReader {
 public:
  // Opens the file and reads its header into *header: every field but Book
  // and AllocatedSize, which stay as they are.
  VectorSetReader(const char* name, Codebook* header);
  ~VectorSetReader();
  VectorSetReader(const VectorSetReader&) = delete;
  VectorSetReader& operator=(const VectorSetReader&) = delete;

  // Elements per vector, and the width Read stores them in: 1 (uint8_t) for
  // 1-byte elements, 2 (uint16_t) for 2-byte ones, 4 (int32_t) for 3 and 4.
  int Dimension() const;
  int Width() const;
  // Decodes the next count records (no more than the header announces are
  // left): their elements row after row into rows (count x Dimension()
  // elements of Width() bytes), their frequencies into freqs. With names
  // given, it is left empty when none of the records has a name, else holds
  // count names ("" for none).
  void Read(int count, void* rows, int* freqs, std::vector<std::string>* names);
  // After the last record: ReadCodebook's warning when the header's total
  // frequency differs from the records' (PrintMessage), and the header's
  // TotalFreq set to theirs.
  void Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The writer of a training-set or codebook file (version 2).
class VectorSetWriter {
 public:
  VectorSetWriter();
  ~VectorSetWriter();
  VectorSetWriter(const VectorSetWriter&) = delete;
  VectorSetWriter& operator=(const VectorSetWriter&) = delete;

  // Writes the header of *header as it stands (its TotalFreq and BookSize
  // included: CodebookTotal gives the total). Returns false, having written
  // nothing, when the file exists and overwrite is not 1 ("ERROR: File
  // already exists: %s") or cannot be created.
  bool Open(const char* name, const Codebook* header, int overwrite);
  // rows.count entries from a block of rows of the header's dimension, with
  // their frequencies and names (names may be null: none; any of them may
  // be null).
  void Rows(const RowBlock& rows, const int* freqs, const char* const* names);
  // Puts the file in place; false when it could not be written.
  bool Commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The total frequency of a codebook about to be written to the named file;
// a total beyond 32 bits is fatal ("ERROR: The frequencies of the codebook
// for %s add up to more than 32 bits hold.\n").
int CodebookTotal(std::int64_t total, const char* name);

// A partitioning file, read against the training set it was made for.
class PartitioningReader {
 public:
  // Opens the file and reads its header; trainingSet gives BookSize and the
  // dimension (its header suffices).
  PartitioningReader(const char* name, const Codebook* trainingSet);
  ~PartitioningReader();
  PartitioningReader(const PartitioningReader&) = delete;
  PartitioningReader& operator=(const PartitioningReader&) = delete;

  int PartitionCount() const;
  // The generation-method line, "" when there is none.
  const char* GenerationMethod() const;
  // The partitions (0-based) of the next count training vectors.
  void Read(int* partitions, int count);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The writer of a partitioning file.
class PartitioningWriter {
 public:
  PartitioningWriter();
  ~PartitioningWriter();
  PartitioningWriter(const PartitioningWriter&) = delete;
  PartitioningWriter& operator=(const PartitioningWriter&) = delete;

  // Writes the header ("VQ PARTITIONING 2.0", the counts, the generation
  // method when not empty); false as VectorSetWriter::Open.
  bool Open(const char* name, int partitions, int vectors, const char* method, int overwrite);
  // The next training vector's line: its partition (0-based) and its name,
  // null or "" for none.
  void Line(int partition, const char* vectorName);
  // As VectorSetWriter::Commit.
  bool Commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mirvo
