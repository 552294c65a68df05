// Helpers shared by the sources of the cb module; not part of its interface.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "file/output.h"
#include "file/reader.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"

namespace mirvo {

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
std::string FormatList(const char* format, va_list args) MIRVO_PRINTF(1, 0);
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
inline int RoundedMean(std::int64_t sum, double count) { return TruncateToInt(static_cast<double>(sum) / count + 0.5); }

// Messages and texts shared by the sources of the module.
inline constexpr char kSeparator[] = "-------------------------------------";
inline constexpr const char* kPartitionMemory = "ERROR: Not enough memory for the partitioning.\n";
inline constexpr const char* kVectorMemory = "ERROR: Not enough memory for new vector element.\n";

// Closes an owned stream.
struct CloseFile {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Where a reader's refusals go. Reported at once: the message, then the end
// of the process. Deferred: the messages are kept and a Deferred exception
// unwinds the reader, so that the caller can first finish reading a file
// whose messages come before; Report then gives what was kept. Warnings are
// kept alike while deferred.
class Refusals {
 public:
  struct Deferred {};
  explicit Refusals(bool deferred) : deferred_(deferred) {}
  Refusals(const Refusals&) = delete;
  Refusals& operator=(const Refusals&) = delete;

  // A message that goes before the refusal that follows it, kept with it.
  void Note(const char* format, ...) MIRVO_PRINTF(2, 3);
  [[noreturn]] void Refuse(const char* format, ...) MIRVO_PRINTF(2, 3);
  // The named input cannot be opened: FileOpen says why.
  [[noreturn]] void Unopened(const char* name);
  // For the module information stream.
  void Warn(const char* format, ...) MIRVO_PRINTF(2, 3);
  bool Refused() const { return refused_; }
  const std::vector<std::string>& Messages() const { return messages_; }
  // The kept warnings, then the kept refusal, which ends the process.
  void Report();

 private:
  [[noreturn]] void Stop();

  bool deferred_;
  bool refused_ = false;
  std::vector<std::string> messages_;
  std::string unopened_;
  std::string warnings_;
};

// Reading of a training-set or codebook file: the constructor opens it and
// reads and checks its header into the record (every field but the entries);
// Read decodes the next records; Finish checks the total frequency. Every
// message and refusal is ReadCodebook's.
class SetFileReader {
 public:
  SetFileReader(const char* name, Codebook* cb, Refusals& refusals);
  SetFileReader(const SetFileReader&) = delete;
  SetFileReader& operator=(const SetFileReader&) = delete;

  std::size_t Dimension() const { return dimension_; }
  // Whether the length of the file is known (a regular file).
  bool KnowsLength() const { return reader_->Remaining().has_value(); }
  // The width in which Read stores elements: 1 (uint8_t) for 1-byte
  // elements, 2 (uint16_t) for 2-byte ones, 4 (int) for wider ones.
  int RowWidth() const;
  // Decodes the next count records: their elements row after row into rows
  // (count x Dimension() elements of RowWidth() bytes, or of int when wide
  // is set), their frequencies into freqs. With names given, it is left
  // empty when none of the records has a name, else holds count names
  // (empty for none).
  void Read(int count, void* rows, bool wide, int* freqs, std::vector<std::string>* names);
  // Records of one-byte elements without a name that lie whole in the
  // reader's buffer, at most count, left where they are: *rows points to the
  // first one's elements, the next ones *stride bytes apart, and their
  // frequencies go to freqs; *ones tells whether every one of them is 1.
  // Returns how many: 0 when the next record has a name or the elements need
  // decoding (Read then). The rows stay valid until the next call of the
  // reader.
  int View(int count, const unsigned char** rows, std::size_t* stride, int* freqs, bool* ones);
  // Where the remaining records lie, for reading them at known offsets from
  // several threads (with DecodeRecords or ViewRecords): a regular file of
  // version 2 that holds them all, each `record` bytes long unless it has a
  // name, of elements `width` bytes wide. None otherwise.
  struct Records {
    int descriptor;
    std::uint64_t offset;  // of the next record
    std::size_t record;
    int width;
  };
  std::optional<Records> FixedRecords() const;
  // Counts count records read elsewhere as read, with the sums of their
  // frequencies and of the frequencies' magnitudes; the magnitudes must not
  // add up beyond 2^31 - 1 (ViewRecords).
  void Account(int count, std::int64_t total, std::int64_t magnitude);
  // After the last record: the header's total frequency against the records'.
  void Finish();

 private:
  const char* ReadName(bool keep, std::string* out);
  [[noreturn]] void Truncated(int entry);

  std::shared_ptr<FileReader> reader_;
  const char* name_;
  Codebook* cb_;
  Refusals& refusals_;
  int version_ = 2;
  std::size_t dimension_ = 0;
  int next_ = 0;
  std::int64_t total_ = 0;
  std::int64_t magnitude_ = 0;
};

// Decodes the records without a name at p (available bytes, `dimension`
// elements of `width` bytes each) into rows, row after row, as Read stores
// them in `rowWidth` bytes (RowWidth()), and their frequencies into freqs,
// at most count; adds the frequencies and their magnitudes to total and
// magnitude. Returns how many lie whole there before the first with a name,
// and stops after a record that takes magnitude beyond 2^31 - 1.
int DecodeRecords(const unsigned char* p, std::size_t available, std::size_t dimension, int width, void* rows,
                  int rowWidth, int* freqs, int count, std::int64_t& total, std::int64_t& magnitude);
// The frequencies of the records of one-byte elements without a name at p
// (available bytes, `dimension` elements each), at most count, into freqs,
// their sum and the sum of their magnitudes added to total and magnitude;
// *ones tells whether every one is 1. Returns how many lie whole there
// before the first with a name, and stops after a record that takes
// magnitude beyond 2^31 - 1.
int ViewRecords(const unsigned char* p, std::size_t available, std::size_t dimension, int count, int* freqs,
                std::int64_t& total, std::int64_t& magnitude, bool* ones);

// ReadCodebook with its refusals sent where the caller says.
void ReadCodebook(const char* name, Codebook* cb, Refusals& refusals);

// Reading of a partitioning file made for a training set of `vectors`
// vectors of the given dimension: the constructor opens it and reads its
// header; Read gives the partitions (0-based) of the next vectors. Every
// message and refusal is ReadPartitioning's.
class PartitioningFileReader {
 public:
  PartitioningFileReader(const char* name, int vectors, int dimension, Refusals& refusals);
  int PartitionCount() const { return partitions_; }
  const char (&GenerationMethod() const)[80] { return method_; }
  void Read(int* out, int count);

 private:
  std::shared_ptr<FileReader> reader_;
  Refusals& refusals_;
  int partitions_ = 0;
  char method_[80] = {};
};

// The writers of the two files, a record at a time: Open applies the
// overwrite rule and writes the header, returning false after "ERROR: File
// already exists: %s" when the target may not be replaced; each entry is
// checked before it is written, and a refusal removes the unfinished file;
// Commit puts the file in place.
// The total frequency of a codebook about to be written to the named file;
// a total beyond 32 bits is fatal.
int CodebookTotal(std::int64_t total, const char* name);

class CodebookWriter {
 public:
  // The header of cb as it stands (TotalFreq and BookSize included).
  bool Open(const char* name, const Codebook* cb, int overwrite);
  void Entry(const int* vector, int freq, const char* entryName);
  // The same a piece at a time: Begin, the elements in order in any number
  // of pieces, then End with the frequency.
  void Begin(const char* entryName);
  void Elements(const int* values, std::size_t count);
  void End(int freq);
  // count entries at once from rows stored `rowWidth` bytes wide (1:
  // uint8_t, 2: uint16_t, 4: int) in the machine's byte order, row i at
  // element i * stride; names may be null (no names), as may any of them.
  void Rows(const void* rows, int rowWidth, std::size_t stride, int count, const int* freqs, const char* const* names);
  bool Commit() { return out_.Commit(); }
  void Abandon() { out_.Abandon(); }

 private:
  SafeOutput out_;
  const char* name_ = nullptr;
  std::size_t dimension_ = 0;
  int width_ = 0;
  int written_ = 0;
};

class PartitioningWriter {
 public:
  // vectors is the partitioning's training-set size, trainingSetSize the
  // number of vectors of the training set it is written for.
  bool Open(const char* name, const char* versionString, int partitions, int vectors, int trainingSetSize,
            const char* method, int overwrite);
  // One training vector's line: its 1-based partition and its name, if any.
  void Line(int partition, const char* vectorName);
  bool Commit() { return out_.Commit(); }
  void Abandon() { out_.Abandon(); }

 private:
  SafeOutput out_;
};

// The most the centroid conversion spends on sums for every partition
// before it keeps them only for partitions with members (256 MiB); returns
// the previous limit. For tests.
std::uint64_t SetDenseSumsLimit(std::uint64_t bytes);
// The bytes of training vectors the conversions take at a time (256 KiB);
// returns the previous size. For tests.
std::size_t SetChunkBytes(std::size_t bytes);

// The centroid of sums over members of total frequency freq (positive):
// each sum over the frequency, rounded as averages are. Returns the mean
// of the elements, rounded.
int Centroid(const std::int64_t* sums, int freq, std::size_t dimension, int* vector);

// A partitioning record with the given number of empty partitions and every
// training vector unassigned.
void AllocatePartitioning(Partitioning* p, const Codebook* ts, int partitionCount);

// The training vector's contribution to a partition's sums.
void AddContribution(const Codebook* ts, Partitioning* p, int partition, int vector);
void RemoveContribution(const Codebook* ts, Partitioning* p, int partition, int vector);

}  // namespace cbdetail

}  // namespace mirvo
