// The example codebook generator against the command line: its rounds give
// the files that running `mirvo ts cb` and `mirvo -O ts cb.pa` as often gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace mirvo::test {
namespace {

struct Case {
  const char* name;
  std::string trainingSet;
  std::string codebook;
  const char* rounds;  // "" for until the distortion stops falling
};

std::string Example(const char* name) { return ReadFile(std::string(MIRVO_SOURCE_DIR "/examples/") + name); }

TEST(KMeansExample, WritesTheCommandLinesFilesOfAsManyRounds) {
  const Case cases[] = {
      {"bundled example, 3 rounds", Example("image.ts"), Example("image.cb"), "3"},
      // Twin code vectors: the second one's partition stays empty (ties go
      // to the lowest index) and becomes a zero vector.
      {"ties and an empty partition",
       SetFileBytes({{{1, 1}, 2, "a"}, {{3, 3}, 1, "b"}, {{9, 9}, 1, ""}, {{10, 8}, 3, "d"}, {{2, 2}, 1, "e"}}, 2, 1,
                    1),
       SetFileBytes({{{2, 2}, 1, ""}, {{2, 2}, 1, ""}, {{9, 9}, 1, ""}}, 2, 1, 1, true), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.File("t.ts"), c.trainingSet);
    WriteFile(dir.File("c.cb"), c.codebook);
    RunLimits example;
    example.binary = MIRVO_KMEANS_BINARY;
    std::vector<std::string> args{"t.ts", "c.cb", "k.cb", "k.pa"};
    if (*c.rounds != 0) args.push_back(c.rounds);
    const RunResult run = RunMirvoLimited(args, dir.path(), example);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto rounds = std::count(run.out.begin(), run.out.end(), '\n');
    EXPECT_EQ(run.out.rfind("round 1: distortion ", 0), 0u) << run.out;
    if (*c.rounds != 0) {
      EXPECT_EQ(std::to_string(rounds), c.rounds);
    }
    for (long r = 0; r < rounds; ++r) {
      ASSERT_EQ(RunMirvo({"-Q0", "-O", "t", "c"}, dir.path()).status, 0);
      ASSERT_EQ(RunMirvo({"-Q0", "-O", "t", "c.pa"}, dir.path()).status, 0);
    }
    EXPECT_EQ(ReadFile(dir.File("k.cb")), ReadFile(dir.File("c.cb")));
    EXPECT_EQ(ReadFile(dir.File("k.pa")), ReadFile(dir.File("c.pa")));
  }
}

}  // namespace
}  // namespace mirvo::test
