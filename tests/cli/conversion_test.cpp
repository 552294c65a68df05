// Both conversions through the binary: results against the plain model on
// random data, refusals, output naming, the overwrite rule and the report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "mirvo/version.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kIdentity = "\n" MIRVO_IDENTITY_LINE "\n";
const std::string kInfoLine = MIRVO_IDENTITY;
const std::string kSeparator = std::string(37, '-') + "\n";
const std::string kOnePartition = "VQ PARTITIONING 2.0\n1\n1\n" + kSeparator + "1\n";

// Status, standard output and standard error of a run, in one text.
std::string Outcome(const RunResult& run) { return std::to_string(run.status) + "|" + run.out + "|" + run.err; }

int FileCount(const std::string& folder) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_regular_file() ? 1 : 0;
  return count;
}

// Every training vector goes to its nearest code vector (the lowest index
// among equals); the centroids of a random assignment leave partitions
// empty. Every fifth set has no vectors at all: it still converts both ways.
TEST(Conversion, RandomDataMatchesThePlainModel) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 60; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), dim = r.Int(1, 64), books = r.Int(1, 10);
    const int n = seed % 5 == 0 ? 0 : r.Int(1, 50), x = dim % 4 == 0 ? 4 : 1, count = r.Int(1, 12);
    const auto code = r.Vectors(books, dim, width);
    auto train = r.Vectors(n, dim, width, true);
    std::vector<int> nearest, to;
    Codebook cb;
    MakeSet(&cb, code, dim, 1, width, true);
    for (auto& t : train) {
      if (r.Int(0, 3) == 0) t.elements = code[static_cast<std::size_t>(r.Int(0, books - 1))].elements;
      Wide d = 0;
      nearest.push_back(PlainNearest(t.elements.data(), &cb, 0, &d));
      to.push_back(r.Int(0, count - 1));
    }
    WriteFile(dir.File("t.ts"), SetFileBytes(train, x, dim / x, width));
    WriteFile(dir.File("c.cb"), SetFileBytes(code, x, dim / x, width, true));
    WriteFile(dir.File("p.pa"), PartitioningText(count, train, to));
    EXPECT_EQ(Outcome(RunMirvo({"-O", "-Q0", "t", "c"}, dir.path())), "0||");  // t.ts, c.cb
    EXPECT_EQ(ReadFile(dir.File("c.pa")), PartitioningText(books, train, nearest)) << "seed " << seed;
    EXPECT_EQ(Outcome(RunMirvo({"-Q0", "t", "p"}, dir.path())), "0||");  // p.pa, as there is no p.cb
    EXPECT_EQ(ReadFile(dir.File("p.cb")),
              SetFileBytes(Centroids(train, to, count, dim), x, dim / x, width, true, kInfoLine))
        << "seed " << seed;
    fs::remove(dir.File("p.cb"));
  }
}

struct RefusalCase {
  std::string first, second, bytes, err;
};

// Each refusal: status 255, its message on standard error, no output file;
// file-kind refusals are followed by the usage text.
TEST(Conversion, RefusesWhatItCannotConvert) {
  const std::string pa = "VQ PARTITIONING 2.0\n", lines = "2\n" + kSeparator + "1\n1\n";
  const std::string count = "ERROR: The partition count of x.pa ", range = "; it must be 1 to 2147483647.\n";
  const std::string kind = "\nERROR: You must give ", cb2 = SetFileBytes({{{1, 2}, 1, ""}}, 2, 1, 1, true);
  const RefusalCase cases[] = {
      {"t.ts", "none", "", kind + "two valid files: one ts file and one cb or pa file.\n\n"},
      {"x.cb", "t.ts", cb2, "\nERROR: The first given file must be a ts file.\n\n"},
      {"t", "t", "", kind + "a cb or pa file as input file.\n\n"},
      {"t", "x.cb", SetFileBytes({}, 2, 1, 1, true), "ERROR: The codebook x.cb holds no vectors.\n"},
      {"t", "x.cb", SetFileBytes({{{1, 2, 3}, 1, ""}}, 3, 1, 1, true),
       "ERROR: Training set and codebook dimensions differ (2 != 3).\n"},
      {"t", "x.pa", pa, "ERROR: The partitioning x.pa lacks its partition count.\n"},
      {"t", "x.pa", pa + "two\n" + lines, "ERROR: The partitioning x.pa lacks its partition count.\n"},
      {"t", "x.pa", pa + "0\n" + lines, count + "is 0" + range},
      {"t", "x.pa", pa + "-4\n" + lines, count + "is -4" + range},
      {"t", "x.pa", pa + "2147483648\n" + lines, count + "is 2147483648" + range},
      {"t", "x.pa", pa + "2\n3\n" + kSeparator + "1\n1\n1\n",
       "ERROR: Partitioning is not for this training set (3 != 2).\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    WriteFile(dir.File("t.ts"), SetFileBytes({{{1, 2}, 1, ""}, {{3, 4}, 1, ""}}, 2, 1, 1));
    if (!c.bytes.empty()) WriteFile(dir.File(c.first[0] == 'x' ? c.first : c.second), c.bytes);
    const RunResult run = RunMirvo({"-Q0", c.first, c.second}, dir.path());
    EXPECT_EQ(Outcome(run), "255|" + run.out + "|" + c.err);
    EXPECT_EQ(run.out.starts_with(kIdentity + "This program converts"), c.err[0] == '\n') << run.out;
    EXPECT_EQ(run.out.empty(), c.err[0] != '\n') << run.out;
    EXPECT_EQ(FileCount(dir.path()), c.bytes.empty() ? 1 : 2) << c.err;
  }
}

struct NamingCase {
  std::string first, second, folder, output;
};

TEST(Conversion, OutputIsNamedAfterTheSecondFileInItsFolder) {
  const NamingCase cases[] = {{"../data/x.ts", "../data/x.cb", "run", "data/x.pa"},
                              {"t.ts", "v1.2/k.a.cb", ".", "v1.2/k.pa"},
                              {"t.ts", "./k.cb", ".", "k.pa"},
                              {"t.ts", "v1.2/k.a.pa", ".", "v1.2/k.cb"}};
  for (const auto& c : cases) {
    TempDir dir;
    const fs::path folder = fs::path(dir.path()) / c.folder, first = folder / c.first, second = folder / c.second;
    fs::create_directories(first.parent_path());
    fs::create_directories(second.parent_path());
    WriteFile(first, SetFileBytes({{{1}, 2, ""}}, 1, 1, 1));
    const bool toPartitioning = c.second.ends_with(".cb");
    WriteFile(second, toPartitioning ? SetFileBytes({{{3}, 1, ""}}, 1, 1, 1, true) : kOnePartition);
    EXPECT_EQ(Outcome(RunMirvo({"-Q0", c.first, c.second}, folder)), "0||");
    EXPECT_EQ(ReadFile(dir.File(c.output)),
              toPartitioning ? kOnePartition : SetFileBytes({{{1}, 2, ""}}, 1, 1, 1, true, kInfoLine))
        << c.second;
    EXPECT_EQ(FileCount(dir.path()), 3) << c.second;
  }
}

TEST(Conversion, AnExistingFileIsReplacedOnlyWithOverwriteAndNeverAnInput) {
  TempDir dir;
  const std::string ts = SetFileBytes({{{1}, 1, ""}}, 1, 1, 1), cb = SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true);
  WriteFile(dir.File("x.pa"), ts);  // a training set under the partitioning's extension
  WriteFile(dir.File("x.cb"), cb);
  WriteFile(dir.File("y.cb"), cb);
  WriteFile(dir.File("y.pa"), "old");
  EXPECT_EQ(Outcome(RunMirvo({"-O", "x.pa", "x.cb"}, dir.path())),
            "255|ERROR: Input and output filenames should be different. (x.pa)\n|");
  EXPECT_EQ(Outcome(RunMirvo({"-Q0", "x.pa", "x.cb"}, dir.path())), "0||ERROR: File already exists: x.pa");
  EXPECT_EQ(Outcome(RunMirvo({"-Q0", "x.pa", "y.cb"}, dir.path())), "0||ERROR: File already exists: y.pa");
  EXPECT_EQ(ReadFile(dir.File("x.pa")), ts);
  EXPECT_EQ(ReadFile(dir.File("y.pa")), "old");
  EXPECT_EQ(Outcome(RunMirvo({"-Q0", "-O", "x.pa", "y.cb"}, dir.path())), "0||");
  EXPECT_EQ(ReadFile(dir.File("y.pa")), kOnePartition);
  EXPECT_EQ(FileCount(dir.path()), 4);
}

// More code vectors than training vectors, of 4M elements: the partitioning
// written converts back, however much memory sums for all its (empty)
// partitions would take.
TEST(Conversion, APartitioningItWroteConvertsBack) {
  const int x = 2048, y = 2048;
  const VectorSpec vector{std::vector<int>(std::size_t{x} * y, 9), 2, ""};
  TempDir dir;
  WriteFile(dir.File("t.ts"), SetFileBytes({vector}, x, y, 1));
  // Seven zero vectors and the training vector itself, fourth.
  WriteFile(dir.File("c.cb"), SparseCodebookBytes({{3, vector}}, 8, x, y, 1, ""));
  EXPECT_EQ(Outcome(RunMirvo({"-Q0", "t.ts", "c.cb"}, dir.path())), "0||");
  EXPECT_EQ(ReadFile(dir.File("c.pa")), "VQ PARTITIONING 2.0\n8\n1\n" + kSeparator + "4\n");
  EXPECT_EQ(Outcome(RunMirvo({"-Q0", "-O", "t.ts", "c.pa"}, dir.path())), "0||");
  EXPECT_EQ(ReadFile(dir.File("c.cb")), SparseCodebookBytes({{3, vector}}, 8, x, y, 1, kInfoLine));
}

// The new output takes the old one's permission bits (whatever the umask)
// and, where the process may give them (as root), its owner and group; a
// hard link to the old file keeps the old content.
TEST(Conversion, AReplacedOutputKeepsItsModeAndOwner) {
  const bool root = ::geteuid() == 0;
  const uid_t owner = root ? 54321 : ::geteuid();
  const gid_t group = root ? 54322 : ::getegid();
  for (const char* second : {"c.cb", "p.pa"}) {
    for (const mode_t mode : {0600, 0664, 0640}) {
      SCOPED_TRACE(std::string(second) + " over mode " + std::to_string(mode));
      TempDir dir;
      WriteFile(dir.File("t.ts"), SetFileBytes({{{1}, 1, ""}}, 1, 1, 1));
      WriteFile(dir.File("c.cb"), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true));
      WriteFile(dir.File("p.pa"), kOnePartition);
      const std::string output = dir.File(second[0] == 'c' ? "c.pa" : "p.cb");
      WriteFile(output, "old");
      ASSERT_EQ(::chmod(output.c_str(), mode), 0);
      ASSERT_EQ(::chown(output.c_str(), owner, group), 0);
      ASSERT_EQ(::link(output.c_str(), dir.File("link").c_str()), 0);
      EXPECT_EQ(Outcome(RunMirvo({"-Q0", "-O", "t.ts", second}, dir.path())), "0||");
      struct stat info {};
      ASSERT_EQ(::stat(output.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, mode);
      EXPECT_EQ(info.st_uid, owner);
      EXPECT_EQ(info.st_gid, group);
      EXPECT_NE(ReadFile(output), "old");
      EXPECT_EQ(ReadFile(dir.File("link")), "old");
    }
  }
}

TEST(Conversion, ReportFollowsTheQuietLevel) {
  TempDir dir;
  WriteFile(dir.File("t.ts"), SetFileBytes({{{1}, 1, ""}}, 1, 1, 1));
  WriteFile(dir.File("c.cb"), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true));
  WriteFile(dir.File("p.pa"), kOnePartition);
  const std::vector<std::string> cases[] = {
      {"-Q2", "c.cb", kIdentity + "Training Set: t.ts\nCodebook:     c.cb\nPartitioning: c.pa\n\n"},
      {"-Q1", "c.cb", "t.ts         c.cb         "},
      {"-Q0", "c.cb", ""},
      {"-Q99", "p.pa", kIdentity + "Training Set: t.ts\nCodebook:     p.cb\nPartitioning: p.pa\n\n"},
      {"-Q1", "p.pa", "t.ts         p.cb         "},
  };
  for (const auto& c : cases) EXPECT_EQ(Outcome(RunMirvo({"-O", c[0], "t.ts", c[1]}, dir.path())), "0|" + c[2] + "|");
  // The library's one warning is no part of the report: even quiet level 0
  // shows it, on standard output.
  std::string wrongTotal = SetFileBytes({{{1}, 1, ""}}, 1, 1, 1);
  wrongTotal.replace(wrongTotal.find("\n1\n1\n1\n1\n"), 9, "\n1\n1\n1\n5\n");
  WriteFile(dir.File("t.ts"), wrongTotal);
  for (const char* second : {"c.cb", "p.pa"}) {
    EXPECT_EQ(Outcome(RunMirvo({"-O", "-Q0", "t.ts", second}, dir.path())),
              "0|WARNING: TotalFreq header field = 5 but calculated totalfreq = 1.\n|");
  }
}

}  // namespace
}  // namespace mirvo::test
