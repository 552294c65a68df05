// Helpers shared by the sources of the cb module; not part of its interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "cb/cb.h"
#include "file/reader.h"
#include "interfc/interfc.h"

namespace cbdetail {

// A new array of n elements, contents unset. An allocation that fails ends
// the process after the given message.
template <class T>
std::unique_ptr<T[]> NewArray(std::size_t n, const char* failureMessage) {
  try {
    return std::make_unique_for_overwrite<T[]>(n);
  } catch (const std::bad_alloc&) {
    ErrorMessage("%s", failureMessage);
    ExitProcessing(-1);
  }
}

// As NewArray, with every element zero.
template <class T>
std::unique_ptr<T[]> NewZeroArray(std::size_t n, const char* failureMessage) {
  try {
    return std::make_unique<T[]>(n);
  } catch (const std::bad_alloc&) {
    ErrorMessage("%s", failureMessage);
    ExitProcessing(-1);
  }
}

// Dimension as an unsigned size for indexing.
inline std::size_t Dim(const Codebook* cb) {
  return static_cast<std::size_t>(cb->VectorSizeX) * static_cast<std::size_t>(cb->VectorSizeY);
}

// Adds with wrap-around instead of undefined overflow. The readers refuse
// data whose sums could leave the 64-bit range, so the wrap never shows.
inline void AddWrapped(std::int64_t& sum, std::int64_t value) {
  sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(sum) + static_cast<std::uint64_t>(value));
}
inline void AddWrapped(int& sum, int value) {
  sum = static_cast<int>(static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(value));
}

// sum[k] += freq * vector[k] for k < count, with wrap-around. The factor is
// 64 bits wide so that a frequency can be taken away (-freq) for any int.
inline void AddScaled(std::int64_t* sum, const int* vector, std::size_t count, std::int64_t freq) {
  auto* s = reinterpret_cast<std::uint64_t*>(sum);
  if (freq == 1) {
    for (std::size_t k = 0; k < count; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{vector[k]});
  } else {
    const std::int64_t f = freq;
    for (std::size_t k = 0; k < count; ++k) s[k] += static_cast<std::uint64_t>(vector[k] * f);
  }
}

// The text printf would write.
std::string Format(const char* format, ...) MIRVO_PRINTF(1, 2);
// ErrorMessage, then ExitProcessing(-1).
[[noreturn]] void Fatal(const char* format, ...) MIRVO_PRINTF(1, 2);

// Owned copy of a zero-terminated text.
char* CopyName(const char* text);
void ReleaseName(char* name);

// Exchanges the entries (Book, AllocatedSize and the storage behind them) of
// two records; the headers stay.
void ExchangeBooks(Codebook* a, Codebook* b);

// Truncation toward zero of a double to an int; values beyond the int range
// (only reachable through frequencies of mixed sign) are clamped.
inline int TruncateToInt(double x) {
  if (!(x > -2147483649.0)) return x != x ? 0 : std::numeric_limits<int>::min();
  if (!(x < 2147483648.0)) return std::numeric_limits<int>::max();
  return static_cast<int>(x);
}

// Average as the library rounds it: the sum as a double, divided by the
// count, plus 0.5, truncated toward zero.
inline int RoundedMean(std::int64_t sum, double count) {
  return TruncateToInt(static_cast<double>(sum) / count + 0.5);
}

// Messages and texts shared by the sources of the module.
inline constexpr char kSeparator[] = "-------------------------------------";
inline constexpr const char* kPartitionMemory = "ERROR: Not enough memory for the partitioning.\n";
inline constexpr const char* kVectorMemory = "ERROR: Not enough memory for new vector element.\n";

// Closes an owned stream.
struct CloseFile {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reading of a training-set or codebook file: the constructor opens it and
// reads and checks its header into the record (every field but the entries),
// Read decodes the next records, Finish checks the total frequency. Every
// message and refusal is ReadCodebook's.
class SetFileReader {
 public:
  SetFileReader(const char* name, Codebook* cb);
  ~SetFileReader();
  SetFileReader(const SetFileReader&) = delete;
  SetFileReader& operator=(const SetFileReader&) = delete;
  // Fills the vectors (room for the dimension each), frequencies and, when
  // keepNames is set, the names of the next count entries.
  void Read(int count, BookNode* nodes, bool keepNames);
  void Finish();

 private:
  std::unique_ptr<std::FILE, CloseFile> file_;
  std::unique_ptr<FileReader> reader_;
  const char* name_;
  Codebook* cb_;
  int version_ = 2;
  std::size_t dimension_ = 0;
  int next_ = 0;
  std::int64_t total_ = 0;
  std::int64_t magnitude_ = 0;
};

// Pieces of ReadPartitioning, with their refusals returned as the text of
// the message instead of being reported. The partition count (line 2):
bool ReadPartitioningCount(FileReader& reader, const char* name, const Codebook* ts, int* partitions,
                           std::string* error);
// The number of training vectors, the generation method and the separator:
bool ReadPartitioningRest(FileReader& reader, const char* name, int vectors, char (&method)[80], std::string* error);
// The partitions (0-based) of the next count vector lines; returns the
// number read, less than count after a refusal.
int ReadPartitionIndexes(FileReader& reader, int partitions, int* out, int count, std::string* error);

// WritePartitioning for a training set known by its size and names (names
// may be null: no vector has a name).
void WritePartitioningFile(const char* name, const Partitioning* p, int vectors, const char* const* names,
                           int overwrite);

// A partitioning record with the given number of empty partitions and every
// training vector unassigned.
void AllocatePartitioning(Partitioning* p, const Codebook* ts, int partitionCount);

// The training vector's contribution to a partition's sums.
void AddContribution(const Codebook* ts, Partitioning* p, int partition, int vector);
void RemoveContribution(const Codebook* ts, Partitioning* p, int partition, int vector);

}  // namespace cbdetail
