// The progress of a long conversion on a terminal, and its absence from
// pipes and files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mirvo::test {
namespace {

// Vectors over the whole 32-bit range, searched exactly in 128-bit
// arithmetic.
std::string WideSet(int count, bool codebook, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<VectorSpec> vectors(static_cast<std::size_t>(count));
  for (auto& v : vectors) {
    for (int k = 0; k < 64; ++k) v.elements.push_back(static_cast<int>(random()));
  }
  return SetFileBytes(vectors, 64, 1, 4, codebook);
}

TEST(Progress, LongConversionsShowItOnATerminalOnly) {
  TempDir data;
  WriteFile(data.File("wide.ts"), WideSet(3000, false, 1));
  WriteFile(data.File("wide.cb"), WideSet(200, true, 2));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string stderrFile;
    bool shown;
  };
  // On a 40-column terminal the stage's text is shortened so that the line
  // never wraps.
  const Case cases[] = {
      {"terminal", {"wide.ts", "wide.cb"}, "", true},
      {"quiet level 1", {"-Q1", "wide.ts", "wide.cb"}, "", false},
      {"standard error in a file", {"wide.ts", "wide.cb"}, "err.txt", false},
  };
  std::string partitioning;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.File("wide.ts"), ReadFile(data.File("wide.ts")));
    WriteFile(dir.File("wide.cb"), ReadFile(data.File("wide.cb")));
    RunLimits limits;
    limits.terminal = true;
    limits.stderrFile = c.stderrFile;
    limits.columns = 40;
    limits.binary = MIRVO_PAUSED_BINARY;
    limits.progressDelay = 0;  // shown from the start, not after a second
    const RunResult run = RunMirvoLimited(c.args, dir.path(), limits);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("\rSearching th...de vectors (") != std::string::npos, c.shown) << run.out;
    EXPECT_EQ(run.out.find("% done") != std::string::npos, c.shown) << run.out;
    // Every redrawn line fits in 39 columns, and the last one is blanked.
    const std::size_t progress = run.out.find('\r');
    if (c.shown) {
      for (std::size_t at = progress, next; at != std::string::npos; at = next) {
        next = run.out.find('\r', at + 1);
        EXPECT_LE((next == std::string::npos ? run.out.size() : next) - at - 1, 39u);
      }
      EXPECT_THAT(run.out, testing::MatchesRegex("(.|\n)*\r +\r"));
    }
    if (!c.stderrFile.empty()) {
      EXPECT_EQ(ReadFile(dir.File(c.stderrFile)), "");
    }
    // The file written is the same whatever the terminal showed.
    if (partitioning.empty()) partitioning = ReadFile(dir.File("wide.pa"));
    EXPECT_EQ(ReadFile(dir.File("wide.pa")), partitioning);
  }
  EXPECT_EQ(partitioning.rfind("VQ PARTITIONING 2.0\n200\n3000\n", 0), 0u);
}

}  // namespace
}  // namespace mirvo::test
