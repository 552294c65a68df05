// Partitioning files: a short text header and one line per training vector
// with its 1-based partition index and, for convenience, its name.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "engine/kernels.h"
#include "files/output.h"
#include "files/reader.h"
#include "formats/filekind.h"
#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"
#include "records/partition_sums.h"

namespace mirvo {

namespace {

using cbdetail::kSeparator;

// Partitions beyond the training set's size are always empty; sums for
// every partition may take this much memory without data in the file to
// back them (8 bytes an element and 24 more a partition, as the record
// keeps them).
constexpr std::uint64_t kUnbackedPartitionBytes = std::uint64_t{256} << 20;

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// A header line through its line break, at most 79 characters kept; an
// empty one (or one that starts with a zero byte) is refused.
void HeaderLine(FileReader& reader, cbdetail::Refusals& refusals, char (&line)[80]) {
  // Whether a line was read whole is told by the byte count, not by the
  // text: the line may hold a zero byte.
  const std::size_t bytes = reader.ReadLine(line, sizeof line);
  if (line[0] == '\0') refusals.Refuse("ERROR: empty header (0x00)\n");
  if (bytes > 0 && line[bytes - 1] == '\n') {
    line[bytes - 1] = '\0';
  } else {
    reader.SkipLine();
  }
}

}  // namespace

namespace cbdetail {

PartitioningFileReader::PartitioningFileReader(const char* name, int vectors, int dimension, Refusals& refusals,
                                               bool sumsForEvery)
    : refusals_(refusals), lines_(ActiveKernels().lines) {
  reader_ = TakeInput(name);
  if (reader_ == nullptr) refusals.Unopened(name);
  FileReader& reader = *reader_;
  char line[80];
  HeaderLine(reader, refusals, line);

  std::int64_t count = 0;
  const auto countScan = reader.ScanInt(count);
  if (countScan == FileReader::Scan::NoNumber)
    refusals.Refuse("ERROR: The partitioning %s lacks its partition count.\n", name);
  if (countScan == FileReader::Scan::Overflow || count < 1) {
    refusals.Refuse("ERROR: The partition count of %s is %lld; it must be 1 to 2147483647.\n", name,
                    static_cast<long long>(count));
  }
  reader.SkipWhitespace();
  partitions_ = static_cast<int>(count);

  std::int64_t size = 0;
  if (reader.ScanInt(size) == FileReader::Scan::NoNumber) {
    refusals.Refuse("ERROR: The partitioning %s lacks its number of training vectors.\n", name);
  }
  if (size != vectors) {
    refusals.Refuse("ERROR: Partitioning is not for this training set (%lld != %d).\n", static_cast<long long>(size),
                    vectors);
  }
  reader.SkipWhitespace();
  if (reader.Peek() != '-') HeaderLine(reader, refusals, method_);
  while (reader.Peek() == '-') reader.Get();
  reader.Get();
  const auto d = static_cast<std::uint64_t>(dimension);
  if (sumsForEvery && count > vectors && static_cast<std::uint64_t>(count) * (8 * d + 24) > kUnbackedPartitionBytes) {
    refusals.Refuse("ERROR: The partition count of %s (%lld) is too large for a training set of %d vectors.\n", name,
                    static_cast<long long>(count), vectors);
  }
}

namespace {

// The length of the decimal number that starts line, when it is a line of
// one to seven digits, the first not 0, and a line feed (8 bytes are read):
// the most common line, read eight bytes at a time. 0 for anything else.
// Returns the number in value.
int ShortLine(const unsigned char* line, std::uint32_t& value) {
  std::uint64_t x = 0;
  std::memcpy(&x, line, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ULL;
  constexpr std::uint64_t kZeros = 0x3030303030303030ULL;
  // A byte of `other` is zero where the byte is a digit; a carry out of a
  // byte beyond the first non-digit byte only disturbs bytes after it.
  const std::uint64_t other = ((x & kHigh) ^ kZeros) | (((x + 0x0606060606060606ULL) & kHigh) ^ kZeros);
  if (other == 0) return 0;
  const int digits = std::countr_zero(other) / 8;
  if (digits == 0 || line[digits] != '\n' || line[0] == '0') return 0;
  // The digits moved to the top bytes, the bytes below them zero, then
  // combined pairwise: two, four and eight digits at a time.
  std::uint64_t v = (x << (8 * (8 - digits))) & 0x0F0F0F0F0F0F0F0FULL;
  v = (v * 2561) >> 8 & 0x00FF00FF00FF00FFULL;
  v = (v * 6553601) >> 16 & 0x0000FFFF0000FFFFULL;
  value = static_cast<std::uint32_t>((v * 42949672960001ULL) >> 32);
  return digits;
}

}  // namespace

int PartitioningFileReader::ShortLines(int* out, int count) {
  FileReader& reader = *reader_;
  if (reader.Available() < 32) reader.Ensure(32);
  const unsigned char* p = reader.Data();
  const std::size_t available = reader.Available();
  const auto partitions = static_cast<std::uint32_t>(partitions_);
  std::size_t at = 0;
  int i = 0;
  for (;;) {
    for (std::size_t used = 0; lines_ != nullptr && i < count && available - at >= 64;) {
      const int n = lines_(p + at, count - i, partitions, out + i, used);
      if (n == 0) break;
      i += n;
      at += used;
    }
    std::uint32_t v = 0;
    int digits = 0;
    if (i == count || available - at < 8 || (digits = ShortLine(p + at, v)) == 0 || v > partitions) break;
    out[i++] = static_cast<int>(v) - 1;
    at += static_cast<std::size_t>(digits) + 1;
  }
  reader.Consume(at);
  return i;
}

bool PartitioningFileReader::PlainLine(int* out) {
  FileReader& reader = *reader_;
  if (reader.Available() < 32) reader.Ensure(32);
  const unsigned char* p = reader.Data();
  const std::size_t available = reader.Available();
  std::size_t j = 0;
  while (j < available && (p[j] == ' ' || p[j] == '\t')) ++j;
  if (j == available || p[j] < '1' || p[j] > '9') return false;
  const std::size_t first = j;
  std::int64_t v = 0;
  while (j < available && j - first < 10 && IsDigit(p[j])) v = v * 10 + (p[j++] - '0');
  if (j == available || IsDigit(p[j]) || v > partitions_) return false;
  *out = static_cast<int>(v) - 1;
  if (p[j] == '\n') {
    reader.Consume(j + 1);
  } else {
    reader.Consume(j);
    reader.SkipLine();
  }
  return true;
}

void PartitioningFileReader::ScannedLine(int* out) {
  FileReader& reader = *reader_;
  std::int64_t index = 0;
  const auto scan = reader.ScanInt(index);
  if (scan == FileReader::Scan::NoNumber) refusals_.Refuse("ERROR reading partitioning.\n");
  reader.SkipLine();
  if (scan == FileReader::Scan::Overflow || index < 1 || index > partitions_) {
    refusals_.Refuse("ERROR: Invalid partition index (%lld) found.\n", static_cast<long long>(index));
  }
  *out = static_cast<int>(index) - 1;
}

void PartitioningFileReader::Read(int* out, int count) {
  for (int i = 0; i < count; ++i) {
    i += ShortLines(out + i, count - i);
    if (i == count) break;
    if (!PlainLine(out + i)) ScannedLine(out + i);
  }
}

bool PartitioningFileWriter::Open(const char* name, const char* versionString, int partitions, int vectors,
                                  int trainingSetSize, const char* method, int overwrite) {
  if (!out_.Open(name, overwrite)) return false;
  if (vectors != trainingSetSize) {
    out_.Abandon();
    ErrorMessage("ERROR: Partitioning is not for this training set (%d != %d).\n", vectors, trainingSetSize);
    ExitProcessing(-1);
  }
  if (method[0] == '-' || std::strchr(method, '\n') != nullptr) {
    out_.Abandon();
    ErrorMessage("ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line break.\n",
                 name);
    ExitProcessing(-1);
  }
  out_.Text(versionString);
  out_.Put('\n');
  out_.Decimal(partitions);
  out_.Put('\n');
  out_.Decimal(vectors);
  out_.Put('\n');
  if (method[0] != '\0') {
    out_.Text(method);
    out_.Put('\n');
  }
  out_.Text(kSeparator);
  out_.Put('\n');
  return true;
}

namespace {

// "00" to "99".
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// value in decimal and a line break at out; the end.
char* IndexLine(std::uint32_t value, char* out) {
  int digits = 1;
  for (std::uint32_t power = 10; digits < 10 && value >= power; power *= 10) ++digits;
  char* end = out + digits;
  *end = '\n';
  char* at = end;
  for (; value >= 100; value /= 100) {
    at -= 2;
    std::memcpy(at, kDigitPairs.data() + 2 * (value % 100), 2);
  }
  if (value >= 10) {
    std::memcpy(at - 2, kDigitPairs.data() + 2 * value, 2);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
  return end + 1;
}

}  // namespace

std::size_t FormatLines(const int* partitions, int count, char* text) {
  char* at = text;
  for (int i = 0; i < count; ++i) at = IndexLine(static_cast<std::uint32_t>(partitions[i]) + 1u, at);
  return static_cast<std::size_t>(at - text);
}

void PartitioningFileWriter::Line(int partition, const char* vectorName) {
  if (partition >= -1 && (vectorName == nullptr || vectorName[0] == '\0')) {
    // The common line: the index alone, formatted in place.
    out_.Advance(FormatLines(&partition, 1, out_.Reserve(kLineBytes)));
    return;
  }
  out_.Decimal(std::int64_t{partition} + 1);
  if (vectorName != nullptr && vectorName[0] != '\0') {
    out_.Put(' ');
    // A line break inside a name would start a line of its own and be read
    // as the next vector's index; it is written as a blank.
    for (const char* c = vectorName; *c != '\0'; ++c) out_.Put(*c == '\n' ? ' ' : *c);
  }
  out_.Put('\n');
}

}  // namespace cbdetail

void WritePartitioning(const char* name, const Partitioning* p, const Codebook* ts, int overwrite) {
  cbdetail::PartitioningFileWriter writer;
  if (!writer.Open(name, p->VersionString, p->PartitionCount, p->TrainingSetSize, ts->BookSize, p->GenerationMethod,
                   overwrite)) {
    return;
  }
  for (int i = 0; i < p->TrainingSetSize; ++i) writer.Line(p->PartitionOf[i], ts->Book[i].Name);
  writer.Commit();
}

void ReadPartitioning(const char* name, Partitioning* p, const Codebook* ts) {
  cbdetail::Refusals refusals(false);
  cbdetail::PartitioningFileReader file(name, ts->BookSize, VectorSize(ts), refusals);
  cbdetail::AllocatePartitioning(p, ts, file.PartitionCount());
  std::memcpy(p->GenerationMethod, file.GenerationMethod(), sizeof p->GenerationMethod);
  const int vectors = ts->BookSize;
  file.Read(p->PartitionOf, vectors);

  // Each vector in turn was moved to the head of its partition's list, so
  // every list runs in descending index order; the sums are exact totals.
  for (int i = 0; i < vectors; ++i) {
    const int partition = p->PartitionOf[i];
    p->NextVector[i] = p->FirstVector[partition];
    p->FirstVector[partition] = i;
    cbdetail::AddContribution(ts, p, partition, i);
  }
}

}  // namespace mirvo
