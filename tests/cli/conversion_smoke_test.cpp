// End-to-end conversions on a small training set: both directions, exact
// bytes of the files written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mirvo/version.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

TEST(ConversionSmoke, PartitioningThenCodebook) {
  TempDir dir;
  WriteFile(dir.File("set.ts"), SetFileBytes({{{1, 2}, 1, "a"}, {{4, 7}, 2, ""}, {{20, 20}, 1, "far"}}, 2, 1, 1));
  WriteFile(dir.File("book.cb"), SetFileBytes({{{0, 0}, 1, ""}, {{21, 19}, 1, ""}}, 2, 1, 1, true));

  RunResult toPartitioning = RunMirvo({"set", "book"}, dir.path());
  EXPECT_EQ(toPartitioning.status, 0) << toPartitioning.err;
  EXPECT_EQ(toPartitioning.out,
            "\n" MIRVO_IDENTITY_LINE "\nTraining Set: set.ts\nCodebook:     book.cb\nPartitioning: book.pa\n\n");
  EXPECT_EQ(toPartitioning.err, "");
  EXPECT_EQ(ReadFile(dir.File("book.pa")),
            "VQ PARTITIONING 2.0\n2\n3\n-------------------------------------\n1 a\n1\n2 far\n");

  WriteFile(dir.File("part.pa"), ReadFile(dir.File("book.pa")));
  RunResult toCodebook = RunMirvo({"-Q0", "set.ts", "part.pa"}, dir.path());
  EXPECT_EQ(toCodebook.status, 0) << toCodebook.err;
  EXPECT_EQ(toCodebook.out, "");
  // Centroid of (1,2)x1 and (4,7)x2 is (3,5); the far vector is its own.
  std::string expected = "VQ CODEBOOK 2.0\n2\n1\n2\n4\n1\n0\n0\n0\n" MIRVO_IDENTITY
                         "\n"
                         "-------------------------------------\n";
  expected += std::string("\0\x03\x05", 3) + BigEndian(3, 4) + std::string("\0\x14\x14", 3) + BigEndian(1, 4);
  EXPECT_EQ(ReadFile(dir.File("part.cb")), expected);
}

TEST(ConversionSmoke, UnreadableInputEndsWithStatus255) {
  TempDir dir;
  WriteFile(dir.File("set.ts"), "VQ TRAINING SET 2.0\n2\n1\n5\n");
  WriteFile(dir.File("book.cb"), SetFileBytes({{{0, 0}, 1, ""}}, 2, 1, 1, true));
  RunResult run = RunMirvo({"-Q0", "set.ts", "book.cb"}, dir.path());
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << run.err;
  EXPECT_FALSE(FileExists(dir.File("book.pa")));
}

TEST(ConversionSmoke, DeathTestsSeeExactMessages) {
  EXPECT_EXIT(RemoveLineBreak(nullptr), testing::ExitedWithCode(255), testing::StrEq("ERROR: empty header (NULL)\n"));
}

}  // namespace
}  // namespace mirvo::test
