// Partitioning files: a short text header and one line per training vector
// with its 1-based partition index and, for convenience, its name.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cb/cb.h"
#include "cb/cb_internal.h"
#include "file/file.h"
#include "file/output.h"
#include "file/reader.h"
#include "interfc/interfc.h"

namespace {

using cbdetail::kSeparator;

// Partitions beyond the training set's size are always empty; their sums
// may take this much memory without data in the file to back them.
constexpr std::uint64_t kUnbackedPartitionBytes = std::uint64_t{256} << 20;

using cbdetail::Fatal;
using cbdetail::Format;

// RemoveLineBreak, with its refusal returned as text.
bool StripLineBreak(char* line, std::string* error) {
  const std::size_t length = std::strlen(line);
  if (length == 0) {
    *error = "ERROR: empty header (0x00)\n";
    return false;
  }
  if (line[length - 1] == '\n') line[length - 1] = '\0';
  return true;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

namespace {

// The file of a partitioning of `vectors` training vectors whose names are
// name(i) (null or empty: none).
template <class Names>
void WriteFile(const char* name, const Partitioning* p, int vectors, Names vectorName, int overwrite) {
  SafeOutput out;
  if (!out.Open(name, overwrite)) return;
  if (p->TrainingSetSize != vectors) {
    out.Abandon();
    Fatal("ERROR: Partitioning is not for this training set (%d != %d).\n", p->TrainingSetSize, vectors);
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
    const char* text = vectorName(i);
    if (text == nullptr || text[0] == '\0') {
      // The common line: the index alone, formatted in place.
      char* line = out.Reserve(16);
      char digits[12];
      int n = 0;
      auto value = static_cast<std::uint32_t>(std::int64_t{p->PartitionOf[i]} + 1);
      if (p->PartitionOf[i] < -1) {
        out.Decimal(std::int64_t{p->PartitionOf[i]} + 1);
        out.Put('\n');
        continue;
      }
      do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value != 0);
      for (int k = 0; k < n; ++k) line[k] = digits[n - 1 - k];
      line[n] = '\n';
      out.Advance(static_cast<std::size_t>(n) + 1);
      continue;
    }
    out.Decimal(std::int64_t{p->PartitionOf[i]} + 1);
    out.Put(' ');
    // A line break inside a name would start a line of its own and be read
    // as the next vector's index; it is written as a blank.
    for (const char* c = text; *c != '\0'; ++c) out.Put(*c == '\n' ? ' ' : *c);
    out.Put('\n');
  }
  out.Commit();
}

}  // namespace

void WritePartitioning(const char* name, const Partitioning* p, const Codebook* ts, int overwrite) {
  WriteFile(name, p, ts->BookSize, [&](int i) -> const char* { return ts->Book[i].Name; }, overwrite);
}

namespace cbdetail {

void WritePartitioningFile(const char* name, const Partitioning* p, int vectors, const char* const* names,
                           int overwrite) {
  WriteFile(
      name, p, vectors, [&](int i) -> const char* { return names != nullptr ? names[i] : nullptr; }, overwrite);
}

}  // namespace cbdetail

namespace cbdetail {

bool ReadPartitioningCount(FileReader& reader, const char* name, const Codebook* ts, int* partitions,
                           std::string* error) {
  // Whether a line was read whole is told by the byte count, not by the
  // text: the line may hold a zero byte.
  char line[80];
  const std::size_t headerBytes = reader.ReadLine(line, sizeof line);
  const bool wholeLine = headerBytes > 0 && line[headerBytes - 1] == '\n';
  if (!StripLineBreak(line, error)) return false;
  if (!wholeLine) reader.SkipLine();

  std::int64_t count = 0;
  const auto countScan = reader.ScanInt(count);
  if (countScan == FileReader::Scan::NoNumber) {
    *error = Format("ERROR: The partitioning %s lacks its partition count.\n", name);
    return false;
  }
  if (countScan == FileReader::Scan::Overflow || count < 1) {
    *error = Format("ERROR: The partition count of %s is %lld; it must be 1 to 2147483647.\n", name,
                    static_cast<long long>(count));
    return false;
  }
  reader.SkipWhitespace();
  const int vectors = ts->BookSize;
  const auto dimension = static_cast<std::uint64_t>(VectorSize(ts));
  if (count > vectors && static_cast<std::uint64_t>(count) * (8 * dimension + 24) > kUnbackedPartitionBytes) {
    *error = Format("ERROR: The partition count of %s (%lld) is too large for a training set of %d vectors.\n", name,
                    static_cast<long long>(count), vectors);
    return false;
  }
  *partitions = static_cast<int>(count);
  return true;
}

bool ReadPartitioningRest(FileReader& reader, const char* name, int vectors, char (&method)[80],
                          std::string* error) {
  std::int64_t size = 0;
  const auto sizeScan = reader.ScanInt(size);
  if (sizeScan == FileReader::Scan::NoNumber) {
    *error = Format("ERROR: The partitioning %s lacks its number of training vectors.\n", name);
    return false;
  }
  if (size != vectors) {
    *error = Format("ERROR: Partitioning is not for this training set (%lld != %d).\n", static_cast<long long>(size),
                    vectors);
    return false;
  }
  reader.SkipWhitespace();

  if (reader.Peek() != '-') {
    char line[80];
    const std::size_t methodBytes = reader.ReadLine(line, sizeof line);
    const bool complete = methodBytes > 0 && line[methodBytes - 1] == '\n';
    if (!StripLineBreak(line, error)) return false;
    if (!complete) reader.SkipLine();
    std::memcpy(method, line, sizeof line);
  }
  while (reader.Peek() == '-') reader.Get();
  reader.Get();
  return true;
}

int ReadPartitionIndexes(FileReader& reader, int partitions, int* out, int count, std::string* error) {
  for (int i = 0; i < count; ++i) {
    // Plain decimal numbers, by far the most common, straight from the
    // buffer; anything else as "%i" reads it.
    if (reader.Available() < 32) reader.Ensure(32);
    const unsigned char* p = reader.Data();
    const std::size_t available = reader.Available();
    std::size_t j = 0;
    while (j < available && (p[j] == ' ' || p[j] == '\t')) ++j;
    if (j < available && p[j] >= '1' && p[j] <= '9') {
      const std::size_t first = j;
      std::int64_t v = 0;
      while (j < available && j - first < 10 && IsDigit(p[j])) v = v * 10 + (p[j++] - '0');
      if (j < available && !IsDigit(p[j]) && v <= partitions) {
        out[i] = static_cast<int>(v) - 1;
        if (p[j] == '\n') {
          reader.Consume(j + 1);
        } else {
          reader.Consume(j);
          reader.SkipLine();
        }
        continue;
      }
    }
    std::int64_t index = 0;
    const auto scan = reader.ScanInt(index);
    if (scan == FileReader::Scan::NoNumber) {
      *error = "ERROR reading partitioning.\n";
      return i;
    }
    reader.SkipLine();
    if (scan == FileReader::Scan::Overflow || index < 1 || index > partitions) {
      *error = Format("ERROR: Invalid partition index (%lld) found.\n", static_cast<long long>(index));
      return i;
    }
    out[i] = static_cast<int>(index) - 1;
  }
  return count;
}

}  // namespace cbdetail

void ReadPartitioning(const char* name, Partitioning* p, const Codebook* ts) {
  std::unique_ptr<std::FILE, cbdetail::CloseFile> file(FileOpen(name, FileModeRead, 0));
  if (!file) ExitProcessing(-1);
  FileReader reader(file.get());
  std::string error;
  auto refuse = [&] {
    ErrorMessage("%s", error.c_str());
    ExitProcessing(-1);
  };
  int partitions = 0;
  if (!cbdetail::ReadPartitioningCount(reader, name, ts, &partitions, &error)) refuse();
  cbdetail::AllocatePartitioning(p, ts, partitions);
  const int vectors = ts->BookSize;
  if (!cbdetail::ReadPartitioningRest(reader, name, vectors, p->GenerationMethod, &error)) refuse();
  if (cbdetail::ReadPartitionIndexes(reader, partitions, p->PartitionOf, vectors, &error) < vectors) refuse();

  // Each vector in turn was moved to the head of its partition's list, so
  // every list runs in descending index order; the sums are exact totals.
  const auto d = cbdetail::Dim(ts);
  for (int i = 0; i < vectors; ++i) {
    const int partition = p->PartitionOf[i];
    p->NextVector[i] = p->FirstVector[partition];
    p->FirstVector[partition] = i;
    ++p->MemberCount[partition];
    PartitionSum& sum = p->Sums[partition];
    const BookNode& node = ts->Book[i];
    cbdetail::AddScaled(sum.VectorSum, node.Vector, d, node.Freq);
    cbdetail::AddWrapped(sum.CCFreq, node.Freq);
  }
}
