// Partitioning files: exact text written, and what reading accepts, rebuilds
// and refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "formats/partitioning_file.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

const std::string kSeparator = std::string(37, '-') + "\n";

// Names and the generation method are written as the random comparison below
// shows; here the two records that cannot be read back as they are.
TEST(PartitioningFile, WritingUnassignedOrForeignRecords) {
  TempDir dir;
  Codebook ts, other;
  MakeSet(&ts, {{{1}, 1, "first"}, {{2}, 1, ""}}, 1, 1, 1);
  MakeSet(&other, {{{1}, 1, ""}}, 1, 1, 1);
  Partitioning p, q;
  CreateNewPartitioning(&p, &ts, 3);
  ChangePartition(&ts, &p, -1, 1);
  const std::string file = dir.File("a.pa");
  WritePartitioning(file.c_str(), &p, &ts, 0);
  EXPECT_EQ(ReadFile(file), "VQ PARTITIONING 2.0\n3\n2\n" + kSeparator + "1 first\n0\n");
  EXPECT_EXIT(ReadPartitioning(file.c_str(), &q, &ts), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Invalid partition index (0) found.\n"));
  // A record made for another training set is refused and leaves no file.
  EXPECT_EXIT(WritePartitioning(dir.File("b.pa").c_str(), &p, &other, 0), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Partitioning is not for this training set (2 != 1).\n"));
  EXPECT_FALSE(FileExists(dir.File("b.pa")));
  // A line break in a name would read as the next vector's index: a blank
  // takes its place, and the file reads back.
  ChangeVectorName(&ts.Book[0], "two\nlines");
  ChangePartition(&ts, &p, 2, 1);
  WritePartitioning(dir.File("c.pa").c_str(), &p, &ts, 0);
  EXPECT_EQ(ReadFile(dir.File("c.pa")), "VQ PARTITIONING 2.0\n3\n2\n" + kSeparator + "1 two lines\n3\n");
  ReadPartitioning(dir.File("c.pa").c_str(), &q, &ts);
  EXPECT_EQ(q.PartitionOf[1], 2);
}

// The lines formatted apart from the writer, for every number of digits:
// each value's neighbours of a power of ten, unassigned (-1) and the
// largest index.
TEST(PartitioningFile, FormattedLinesOfEveryLength) {
  std::vector<int> partitions{-1, INT_MAX - 1};
  for (std::int64_t power = 10; power <= INT_MAX; power *= 10) {
    for (const std::int64_t value : {power - 1, power, power + 1}) partitions.push_back(static_cast<int>(value - 1));
  }
  std::string want;
  for (const int p : partitions) want += std::to_string(std::int64_t{p} + 1) + "\n";
  std::string text(partitions.size() * cbdetail::kLineBytes, '\0');
  text.resize(cbdetail::FormatLines(partitions.data(), static_cast<int>(partitions.size()), text.data()));
  EXPECT_EQ(text, want);
}

struct ReadCase {
  std::string text;
  std::vector<int> partitionOf;
  std::string method;
  std::string error;
};

TEST(PartitioningFile, ReadsLeniencyAndRefusals) {
  const std::string h = "VQ PARTITIONING 2.0\n2\n3\n" + kSeparator, m79(79, 'm');
  const ReadCase cases[] = {
      {"VQ PARTITIONING 1.0\n2\n3\n" + kSeparator + "1\n2\n1\n", {0, 1, 0}, "", ""},
      {"VQ PARTITIONING 2.0\n9\n3\n" + kSeparator + "010\n0x3\n9 any text 7\n", {7, 2, 8}, "", ""},
      {"VQ PARTITIONING 2.0\n 2\n\n 3\n" + kSeparator + "  1\n\n\t2\n\n1\n5\nextra\n", {0, 1, 0}, "", ""},
      {"VQ PARTITIONING 2.0\n2\n3\n   " + m79 + "\n" + kSeparator + "1\n1\n1\n", {0, 0, 0}, m79, ""},
      {"VQ PARTITIONING 2.0\n2\n3\n" + m79 + "xyz\n" + kSeparator + "2\n2\n2", {1, 1, 1}, m79, ""},
      {"VQ PARTITIONING 2.0\n2\n4\n" + kSeparator + "1\n1\n1\n1\n",
       {},
       "",
       "ERROR: Partitioning is not for this training set (4 != 3).\n"},
      {h + "1\n2\n", {}, "", "ERROR reading partitioning.\n"},
      {h + "1\nx\n1\n", {}, "", "ERROR reading partitioning.\n"},
      {h + "1\n0\n1\n", {}, "", "ERROR: Invalid partition index (0) found.\n"},
      {h + "1\n3 c\n1\n", {}, "", "ERROR: Invalid partition index (3) found.\n"},
      {h + "-1\n1\n1\n", {}, "", "ERROR: Invalid partition index (-1) found.\n"},
      {"VQ PARTITIONING 2.0\n2\n3\n", {}, "", "ERROR: empty header (0x00)\n"},
      {"", {}, "", "ERROR: empty header (0x00)\n"},
  };
  TempDir dir;
  Codebook ts;
  MakeSet(&ts, {{{1}, 1, "a"}, {{2}, 2, ""}, {{3}, 3, "c"}}, 1, 1, 1);
  for (const auto& c : cases) {
    WriteFile(dir.File("p.pa"), c.text);
    Partitioning p;
    if (!c.error.empty()) {
      EXPECT_EXIT(ReadPartitioning(dir.File("p.pa").c_str(), &p, &ts), testing::ExitedWithCode(255),
                  testing::StrEq(c.error))
          << c.text;
      continue;
    }
    ReadPartitioning(dir.File("p.pa").c_str(), &p, &ts);
    EXPECT_STREQ(p.VersionString, "VQ PARTITIONING 2.0");
    EXPECT_EQ(p.GenerationMethod, c.method);
    EXPECT_EQ(std::vector<int>(p.PartitionOf, p.PartitionOf + 3), c.partitionOf) << c.text;
    ExpectConsistent(ts, p);
  }
}

// Reading builds the lists and sums at once; the result must be the record
// that moving each vector in turn out of a new partitioning gives.
TEST(PartitioningFile, ReadingBuildsWhatMovingVectorsBuilds) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 60; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), dim = r.Int(1, 12), count = r.Int(1, 8);
    const int n = seed == 1 ? 20000 : r.Int(0, 40);
    auto train = r.Vectors(n, dim, width, true);
    if (seed == 1) {  // a file larger than the reader's and writer's buffers
      for (auto& t : train) t.name += std::string(60, 'n');
    }
    std::vector<int> to(static_cast<std::size_t>(n));
    for (int& k : to) k = r.Int(0, count - 1);
    const std::string method = seed % 3 == 0 ? "method " + std::to_string(seed) : "";
    const std::string text = PartitioningText(count, train, to, method);
    WriteFile(dir.File("in.pa"), text);
    Codebook ts;
    MakeSet(&ts, train, dim, 1, width);
    Partitioning got, want;
    ReadPartitioning(dir.File("in.pa").c_str(), &got, &ts);
    CreateNewPartitioning(&want, &ts, count);
    for (int i = 0; i < n; ++i) ChangePartition(&ts, &want, to[static_cast<std::size_t>(i)], i);
    std::strcpy(want.GenerationMethod, method.c_str());
    ExpectSamePartitioning(got, want);
    const std::string out = dir.File("out" + std::to_string(seed) + ".pa");
    WritePartitioning(out.c_str(), &got, &ts, 0);
    EXPECT_EQ(ReadFile(out), text) << "seed " << seed;
  }
}

}  // namespace
}  // namespace mirvo::test
