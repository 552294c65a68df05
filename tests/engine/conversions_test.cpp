// The two conversions straight from the files against the same conversions
// done with whole records (ReadCodebook, ReadPartitioning, the generators and
// the writers): the same output bytes, the same messages on each stream in
// the same order, the same exit status, for valid files and for refused ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "engine/stream.h"
#include "mirvo/engine.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"
#include "support/error_capture.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

struct Outcome {
  int status = 0;
  std::vector<std::string> errors;  // standard error, message by message
  std::string out;                  // standard output
  std::string file;                 // the output file, or "(none)"
};

Outcome Observe(const std::function<void()>& body, const std::string& output) {
  Outcome o;
  {
    ErrorCapture capture;
    testing::internal::CaptureStdout();
    o.status = capture.Run(body).value_or(0);
    std::fflush(stdout);
    o.out = testing::internal::GetCapturedStdout();
    o.errors = capture.messages();
  }
  o.file = FileExists(output) ? ReadFile(output) : "(none)";
  return o;
}

void ExpectSame(const Outcome& files, const Outcome& records, const std::string& label) {
  EXPECT_EQ(files.status, records.status) << label;
  EXPECT_EQ(files.errors, records.errors) << label;
  EXPECT_EQ(files.out, records.out) << label;
  EXPECT_EQ(files.file, records.file) << label;
}

// cb->pa both ways; the output is written in a folder of its own each time.
void ComparePartitioning(const std::string& ts, const std::string& cb, const std::string& label,
                         const std::string& existing = "") {
  TempDir dir;
  WriteFile(dir.File("t.ts"), ts);
  WriteFile(dir.File("c.cb"), cb);
  // Both write the same file (its name is in the messages), one after the
  // other.
  const std::string a = dir.File("o.pa"), b = a;
  auto fresh = [&] {
    std::remove(a.c_str());
    if (!existing.empty()) WriteFile(a, existing);
  };
  fresh();
  const std::string tsName = dir.File("t.ts"), cbName = dir.File("c.cb");
  const Outcome records = Observe(
      [&] {
        Codebook trainingSet, codebook;
        Partitioning p;
        ReadCodebook(tsName.c_str(), &trainingSet);
        ReadCodebook(cbName.c_str(), &codebook);
        if (codebook.BookSize < 1) {
          ErrorMessage("ERROR: The codebook %s holds no vectors.\n", cbName.c_str());
          ExitProcessing(-1);
        }
        if (VectorSize(&trainingSet) != VectorSize(&codebook)) {
          ErrorMessage("ERROR: Training set and codebook dimensions differ (%d != %d).\n", VectorSize(&trainingSet),
                       VectorSize(&codebook));
          ExitProcessing(-1);
        }
        CreateNewPartitioning(&p, &trainingSet, codebook.BookSize);
        GenerateOptimalPartitioningGeneral(&trainingSet, &codebook, &p, ErrorMSE);
        WritePartitioning(a.c_str(), &p, &trainingSet, 0);
      },
      a);
  fresh();
  const Outcome files = Observe([&] { ConvertToPartitioning(tsName.c_str(), cbName.c_str(), b.c_str(), 0); }, b);
  ExpectSame(files, records, label);
}

// pa->cb both ways.
void CompareCentroids(const std::string& ts, const std::string& pa, const std::string& label) {
  TempDir dir;
  WriteFile(dir.File("t.ts"), ts);
  WriteFile(dir.File("p.pa"), pa);
  const std::string a = dir.File("o.cb"), b = a;
  const std::string tsName = dir.File("t.ts"), paName = dir.File("p.pa");
  const Outcome records = Observe(
      [&] {
        Codebook trainingSet, codebook;
        Partitioning p;
        ReadCodebook(tsName.c_str(), &trainingSet);
        ReadPartitioning(paName.c_str(), &p, &trainingSet);
        CreateNewCodebook(&codebook, p.PartitionCount, &trainingSet);
        GenerateOptimalCodebookGeneral(&trainingSet, &codebook, &p, ErrorMSE);
        AddString(codebook.GenerationMethod, "MIRVO\tV", 80);
        WriteCodebook(a.c_str(), &codebook, 0);
      },
      a);
  std::remove(a.c_str());
  const Outcome files =
      Observe([&] { ConvertToCodebook(tsName.c_str(), paName.c_str(), b.c_str(), "MIRVO\tV", 0); }, b);
  ExpectSame(files, records, label);
}

std::string Header(int count, int vectors) {
  return "VQ PARTITIONING 2.0\n" + std::to_string(count) + "\n" + std::to_string(vectors) + "\n" +
         std::string(37, '-') + "\n";
}

TEST(ConversionsFromFiles, MatchTheRecordsOnRandomData) {
  for (unsigned seed = 1; seed <= 48; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), x = r.Int(1, 40), y = r.Int(1, 3);
    // Now and then many vectors and partitions (indices of several digits).
    const int n = seed % 16 == 5 ? 5000 : r.Int(0, 60), books = seed % 16 == 5 ? 1234 : r.Int(1, 9);
    const auto train = r.Vectors(n, x * y, width, seed % 3 == 0);
    const std::string ts = SetFileBytes(train, x, y, width);
    const std::string label = "seed " + std::to_string(seed);
    ComparePartitioning(ts, SetFileBytes(r.Vectors(books, x * y, width), x, y, width, true), label);
    std::vector<int> assignment;
    for (int i = 0; i < n; ++i) assignment.push_back(r.Int(0, books - 1));
    CompareCentroids(ts, PartitioningText(books, train, assignment), label);
  }
}

// Many partitions announced, few of them met, some far beyond the others:
// the sums kept for the partitions met and the runs of empty entries
// written at once give the bytes of the records' conversion.
TEST(ConversionsFromFiles, CentroidsOfFewPartitionsAmongManyMatchTheRecords) {
  RandomData r(11);
  const int n = 30000, books = 200000;
  const auto train = r.Vectors(n, 1, 2);
  std::vector<int> assignment;
  for (int i = 0; i < n; ++i) {
    // Clusters at the start, the middle and the end, and strays in the upper
    // half: a long run of empty partitions and many partitions met.
    const int cluster = r.Int(0, 4);
    assignment.push_back(cluster > 2 ? r.Int(books / 2, books - 1) : cluster * (books / 2 - 50) + r.Int(0, 99));
  }
  for (const int chunk : {2048, 1 << 18}) {
    const auto previous = cbdetail::SetChunkBytes(static_cast<std::size_t>(chunk));
    CompareCentroids(SetFileBytes(train, 1, 1, 2), PartitioningText(books, train, assignment),
                     "chunks of " + std::to_string(chunk) + " bytes");
    cbdetail::SetChunkBytes(previous);
  }
}

// Sets summed in many small chunks, on one thread and on three, of every
// width, as they are and as they go wrong: a record with a name among
// records read where they lie, frequencies beyond 32 bits (late, or early
// with a cut later on: the first fault in the file is the one reported),
// a training set cut short, and partitionings refused late.
TEST(ConversionsFromFiles, CentroidsInSmallChunksMatchTheRecords) {
  const auto chunk = cbdetail::SetChunkBytes(2048);
  RandomData r(7);
  const int n = 20000, d = 4, books = 300;
  auto train = r.Vectors(n, d, 1);
  std::vector<int> assignment;
  for (int i = 0; i < n; ++i) assignment.push_back(r.Int(0, books - 1));
  auto ones = train;
  for (auto& v : ones) v.freq = 1;
  auto named = ones;
  named[n - 100].name = "late";
  auto heavy = ones, early = ones;
  heavy[n - 5].freq = 2147483647;
  early[300].freq = 2147483647;
  const std::string pa = PartitioningText(books, train, assignment);
  const std::string ts = SetFileBytes(ones, d, 1, 1), earlyTs = SetFileBytes(early, d, 1, 1);
  std::string badLine = pa, badIndex = pa;
  badLine.replace(badLine.size() - 40, 1, "x");
  badIndex.insert(badIndex.size() - 1, "999");
  const struct {
    const char* label;
    std::string ts, pa;
  } cases[] = {
      {"frequencies of 1", ts, pa},
      {"other frequencies", SetFileBytes(train, d, 1, 1), pa},
      {"two-byte elements", SetFileBytes(r.Vectors(n, d, 2), d, 1, 2), pa},
      {"three-byte elements", SetFileBytes(r.Vectors(n, d, 3), d, 1, 3), pa},
      {"a name among two-byte elements", SetFileBytes(named, d, 1, 2), pa},
      {"a name", SetFileBytes(named, d, 1, 1), pa},
      {"frequencies beyond 32 bits", SetFileBytes(heavy, d, 1, 1), pa},
      {"frequencies beyond 32 bits, then a cut", earlyTs.substr(0, earlyTs.size() - 30), pa},
      {"a training set cut short", ts.substr(0, ts.size() - 30), pa},
      {"a line that is no number", ts, badLine},
      {"an index beyond the count", ts, badIndex},
  };
  for (const int threads : {1, 3}) {
    const int previous = SetThreadCount(threads);
    for (const auto& c : cases) CompareCentroids(c.ts, c.pa, c.label + std::string(" on ") + std::to_string(threads));
    SetThreadCount(previous);
  }
  cbdetail::SetChunkBytes(chunk);
}

TEST(ConversionsFromFiles, MatchTheRecordsOnRefusedFiles) {
  const std::vector<VectorSpec> train = {{{1, 2}, 1, "a"}, {{7, 9}, 2, ""}, {{3, 3}, 1, ""}, {{250, 0}, 3, "d"}};
  const std::string ts = SetFileBytes(train, 2, 1, 1);
  const std::string cb = SetFileBytes({{{0, 0}, 1, ""}, {{8, 8}, 1, ""}}, 2, 1, 1, true);
  // The training set as files go wrong: cut inside a record, a name without
  // its end, a header total that differs (a warning), an unknown version.
  std::string wrongTotal = ts;
  wrongTotal.replace(wrongTotal.find("\n7\n"), 3, "\n9\n");
  const std::string badTs[] = {ts.substr(0, ts.size() - 3), ts.substr(0, ts.size() - 8) + std::string(90, 'x'),
                               wrongTotal, "VQ TRAINING SET 3.0\n"};
  const std::string pa = Header(2, 4) + "1\n2\n1\n2\n";
  const std::string badPa[] = {
      pa,
      Header(2, 4) + "1\n3\n1\n2\n",                      // index beyond the count
      Header(2, 4) + "1\n2\n",                            // too few lines
      Header(2, 4) + "1\nx\n1\n2\n",                      // not a number
      Header(2, 5) + "1\n2\n1\n2\n1\n",                   // for another training set
      "VQ PARTITIONING 2.0\n0\n4\n",                      // no partitions
      "VQ PARTITIONING 2.0\n",                            // no count
      "VQ PARTITIONING 2.0\n2\n4\n",                      // ends after the size
      "VQ PARTITIONING 2.0\n2000000000\n4\n",             // far too many partitions
      Header(2, 4) + "  01\n\n0x2 text\n+1\r\n\t2\n9\n",  // octal, hexadecimal, sign, blanks
      "VQ PARTITIONING 2.0\n2\n4\nmethod\n" + std::string(37, '-') + "\n1\n1\n1\n0\n",
  };
  for (std::size_t t = 0; t <= std::size(badTs); ++t) {
    const std::string& set = t < std::size(badTs) ? badTs[t] : ts;
    for (std::size_t p = 0; p < std::size(badPa); ++p) {
      CompareCentroids(set, badPa[p], "ts " + std::to_string(t) + " pa " + std::to_string(p));
    }
    const std::string badCb[] = {cb, SetFileBytes({}, 2, 1, 1, true), SetFileBytes({{{1}, 1, ""}}, 1, 1, 1, true),
                                 cb.substr(0, cb.size() - 2)};
    for (std::size_t c = 0; c < std::size(badCb); ++c) {
      ComparePartitioning(set, badCb[c], "ts " + std::to_string(t) + " cb " + std::to_string(c));
    }
  }
  // An existing output file is kept, with the writer's message.
  ComparePartitioning(ts, cb, "existing output", "old");
}

}  // namespace
}  // namespace mirvo::test
