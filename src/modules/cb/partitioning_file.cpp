// Partitioning files: a short text header and one line per training vector
// with its 1-based partition index and, for convenience, its name.
#include <cstring>
#include <memory>

#include "cb/cb.h"
#include "cb/cb_internal.h"
#include "file/file.h"
#include "file/output.h"
#include "file/reader.h"
#include "interfc/interfc.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

constexpr char kSeparator[] = "-------------------------------------";

// Partitions beyond the training set's size are always empty; their sums
// may take this much memory without data in the file to back them.
constexpr std::uint64_t kUnbackedPartitionBytes = std::uint64_t{256} << 20;

[[noreturn]] void Fatal(const char* format, auto... args) {
  ErrorMessage(format, args...);
  ExitProcessing(-1);
}

// One partition index read as "%i" reads it. Plain decimal numbers, by far
// the most common, are taken straight from the buffer.
FileReader::Scan ScanIndex(FileReader& reader, std::int64_t& value) {
  if (reader.Available() < 32) reader.Ensure(32);
  const unsigned char* p = reader.Data();
  const std::size_t available = reader.Available();
  std::size_t i = 0;
  while (i < available && (p[i] == ' ' || p[i] == '\t')) ++i;
  if (i < available && p[i] >= '1' && p[i] <= '9') {
    std::int64_t v = 0;
    std::size_t j = i;
    while (j < available && j - i < 10 && p[j] >= '0' && p[j] <= '9') v = v * 10 + (p[j++] - '0');
    if (j < available && !(p[j] >= '0' && p[j] <= '9') && v <= 2147483647) {
      reader.Consume(j);
      value = v;
      return FileReader::Scan::Ok;
    }
  }
  return reader.ScanInt(value);
}

}  // namespace

void WritePartitioning(const char* name, const Partitioning* p, const Codebook* ts, int overwrite) {
  SafeOutput out;
  if (!out.Open(name, overwrite)) return;
  if (p->TrainingSetSize != ts->BookSize) {
    out.Abandon();
    Fatal("ERROR: Partitioning is not for this training set (%d != %d).\n", p->TrainingSetSize, ts->BookSize);
  }
  if (p->GenerationMethod[0] == '-' || std::strchr(p->GenerationMethod, '\n') != nullptr) {
    out.Abandon();
    Fatal("ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line break.\n",
          name);
  }
  out.Text(p->VersionString);
  out.Put('\n');
  out.Decimal(p->PartitionCount);
  out.Put('\n');
  out.Decimal(p->TrainingSetSize);
  out.Put('\n');
  if (p->GenerationMethod[0] != '\0') {
    out.Text(p->GenerationMethod);
    out.Put('\n');
  }
  out.Text(kSeparator);
  out.Put('\n');
  for (int i = 0; i < p->TrainingSetSize; ++i) {
    out.Decimal(std::int64_t{p->PartitionOf[i]} + 1);
    const char* vectorName = ts->Book[i].Name;
    if (vectorName != nullptr && vectorName[0] != '\0') {
      out.Put(' ');
      // A line break inside a name would start a line of its own and be
      // read as the next vector's index; it is written as a blank.
      for (const char* c = vectorName; *c != '\0'; ++c) out.Put(*c == '\n' ? ' ' : *c);
    }
    out.Put('\n');
  }
  out.Commit();
}

void ReadPartitioning(const char* name, Partitioning* p, const Codebook* ts) {
  std::unique_ptr<std::FILE, FileCloser> file(FileOpen(name, FileModeRead, 0));
  if (!file) ExitProcessing(-1);
  FileReader reader(file.get());

  char line[80];
  if (!reader.ReadLine(line, sizeof line)) line[0] = '\0';
  const bool wholeLine = std::strchr(line, '\n') != nullptr;
  RemoveLineBreak(line);
  if (!wholeLine) reader.SkipLine();

  std::int64_t count = 0;
  const auto countScan = reader.ScanInt(count);
  if (countScan == FileReader::Scan::NoNumber) Fatal("ERROR: The partitioning %s lacks its partition count.\n", name);
  if (countScan == FileReader::Scan::Overflow || count < 1) {
    Fatal("ERROR: The partition count of %s is %lld; it must be 1 to 2147483647.\n", name,
          static_cast<long long>(count));
  }
  reader.SkipWhitespace();
  const int vectors = ts->BookSize;
  const auto dimension = static_cast<std::uint64_t>(VectorSize(ts));
  if (count > vectors && static_cast<std::uint64_t>(count) * (8 * dimension + 24) > kUnbackedPartitionBytes) {
    Fatal("ERROR: The partition count of %s (%lld) is too large for a training set of %d vectors.\n", name,
          static_cast<long long>(count), vectors);
  }
  const int partitions = static_cast<int>(count);
  cbdetail::AllocatePartitioning(p, ts, partitions);

  std::int64_t size = 0;
  const auto sizeScan = reader.ScanInt(size);
  if (sizeScan == FileReader::Scan::NoNumber) {
    Fatal("ERROR: The partitioning %s lacks its number of training vectors.\n", name);
  }
  if (size != vectors) {
    Fatal("ERROR: Partitioning is not for this training set (%lld != %d).\n", static_cast<long long>(size), vectors);
  }
  reader.SkipWhitespace();

  if (reader.Peek() != '-') {
    if (!reader.ReadLine(line, sizeof line)) line[0] = '\0';
    const bool complete = std::strchr(line, '\n') != nullptr;
    RemoveLineBreak(line);
    if (!complete) reader.SkipLine();
    std::memcpy(p->GenerationMethod, line, sizeof line);
  }
  while (reader.Peek() == '-') reader.Get();
  reader.Get();

  for (int i = 0; i < vectors; ++i) {
    std::int64_t index = 0;
    const auto scan = ScanIndex(reader, index);
    if (scan == FileReader::Scan::NoNumber) Fatal("ERROR reading partitioning.\n");
    reader.SkipLine();
    if (scan == FileReader::Scan::Overflow || index < 1 || index > partitions) {
      Fatal("ERROR: Invalid partition index (%lld) found.\n", static_cast<long long>(index));
    }
    p->PartitionOf[i] = static_cast<int>(index) - 1;
  }

  // Each vector in turn was moved to the head of its partition's list, so
  // every list runs in descending index order; the sums are exact totals.
  const auto d = static_cast<std::size_t>(dimension);
  for (int i = 0; i < vectors; ++i) {
    const int partition = p->PartitionOf[i];
    p->NextVector[i] = p->FirstVector[partition];
    p->FirstVector[partition] = i;
    ++p->MemberCount[partition];
    PartitionSum& sum = p->Sums[partition];
    const BookNode& node = ts->Book[i];
    const std::int64_t freq = node.Freq;
    for (std::size_t k = 0; k < d; ++k) cbdetail::AddWrapped(sum.VectorSum[k], node.Vector[k] * freq);
    cbdetail::AddWrapped(sum.CCFreq, node.Freq);
  }
}
