// Reading and writing of partitioning files a line at a time.
#pragma once

#include <memory>

#include "engine/kernels.h"
#include "files/output.h"
#include "files/reader.h"
#include "formats/refusals.h"

namespace mirvo {

namespace cbdetail {

// Reading of a partitioning file made for a training set of `vectors`
// vectors of the given dimension: the constructor opens it and reads its
// header; Read gives the partitions (0-based) of the next vectors. Every
// message and refusal is ReadPartitioning's. A caller that keeps sums for
// every partition (sumsForEvery) has a count refused that exceeds the
// training set's size when those sums, 8 x dimension + 24 bytes a
// partition, would take more than 256 MiB; one whose sums grow as the
// partitions appear takes every count.
class PartitioningFileReader {
 public:
  PartitioningFileReader(const char* name, int vectors, int dimension, Refusals& refusals, bool sumsForEvery = true);
  int PartitionCount() const { return partitions_; }
  const char (&GenerationMethod() const)[80] { return method_; }
  void Read(int* out, int count);

 private:
  // Lines of a number of at most seven digits alone, the most common, in
  // one run over the buffer (many at a time with the table's scanner, else
  // eight bytes at a time): how many of the next count lie there.
  int ShortLines(int* out, int count);
  // A line of another plain decimal number straight from the buffer; false
  // when the line is of another form.
  bool PlainLine(int* out);
  // A line as "%i" reads it, with the refusals of a line that holds no
  // number or an index out of range.
  void ScannedLine(int* out);

  std::shared_ptr<FileReader> reader_;
  Refusals& refusals_;
  LineScanner lines_;  // of the kernel table, when it has one
  int partitions_ = 0;
  char method_[80] = {};
};

// The lines of count training vectors without names, partitions[i] their
// 0-based partitions (each at least -1), written into text, which has room
// for kLineBytes a line; returns the bytes written. Any thread may format
// lines for a writer.
constexpr std::size_t kLineBytes = 12;
std::size_t FormatLines(const int* partitions, int count, char* text);

// The writer of a partitioning file, a line at a time, with the rules of
// SetFileWriter (formats/set_file.h).
class PartitioningFileWriter {
 public:
  // vectors is the partitioning's training-set size, trainingSetSize the
  // number of vectors of the training set it is written for.
  bool Open(const char* name, const char* versionString, int partitions, int vectors, int trainingSetSize,
            const char* method, int overwrite);
  // One training vector's line: its 1-based partition and its name, if any.
  void Line(int partition, const char* vectorName);
  // Lines made by FormatLines, as they are.
  void Lines(const char* text, std::size_t size) { out_.Write(text, size); }
  // SafeOutput::Flush.
  bool Flush() { return out_.Flush(); }
  bool Commit() { return out_.Commit(); }
  void Abandon() { out_.Abandon(); }

 private:
  SafeOutput out_;
};

}  // namespace cbdetail

}  // namespace mirvo
