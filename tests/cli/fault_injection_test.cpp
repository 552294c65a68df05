// Output is written whole or not at all: the binary runs under a file-size
// limit, or without root's privileges in a folder it cannot write to. A failed write ends
// with status 255 and a message naming the file, the old output stays byte
// for byte, and no temporary file is left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mirvo::test {
namespace {

const std::string kOld = "old output, kept byte for byte\n";

// 1500 training vectors, a codebook of 2 and a partitioning into 300: both
// outputs are a few kilobytes.
struct Inputs {
  std::string trainingSet, codebook, partitioning;
};

Inputs MakeInputs() {
  std::vector<VectorSpec> vectors;
  for (int i = 0; i < 1500; ++i) vectors.push_back({{i % 256, (7 * i) % 256}, 1 + i % 3, ""});
  std::string lines;
  for (int i = 0; i < 1500; ++i) lines += std::to_string(1 + i % 300) + "\n";
  return {SetFileBytes(vectors, 2, 1, 1), SetFileBytes({{{0, 0}, 1, ""}, {{255, 255}, 1, ""}}, 2, 1, 1, true),
          "VQ PARTITIONING 2.0\n300\n1500\n" + std::string(37, '-') + "\n" + lines};
}

// The folder with the three inputs.
void Populate(const TempDir& dir, const Inputs& in) {
  WriteFile(dir.File("set.ts"), in.trainingSet);
  WriteFile(dir.File("book.cb"), in.codebook);
  WriteFile(dir.File("part.pa"), in.partitioning);
}

// What each conversion writes when nothing stands in its way.
std::string GoodOutput(const Inputs& in, const std::string& second, const std::string& output) {
  TempDir dir;
  Populate(dir, in);
  const RunResult run = RunMirvo({"-Q0", "set.ts", second}, dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  return ReadFile(dir.File(output));
}

struct FaultCase {
  std::string second, output;
  bool oldOutput;                   // an output file exists before the run (given -O)
  bool readOnly;                    // the folder cannot be written
  std::optional<long long> margin;  // file-size limit: the good output's size plus this
  std::string err;                  // expected standard error; empty: success
};

TEST(FaultInjection, FailedWritesLeaveTheOldFileAndNoTemporary) {
  const Inputs in = MakeInputs();
  const std::string goodPa = GoodOutput(in, "book.cb", "book.pa"), goodCb = GoodOutput(in, "part.pa", "part.cb");
  ASSERT_GT(goodPa.size(), 2048u);
  ASSERT_GT(goodCb.size(), 2048u);
  const std::string tooLargePa = "ERROR: Writing the file book.pa failed: File too large\n";
  const std::string tooLargeCb = "ERROR: Writing the file part.cb failed: File too large\n";
  const std::vector<FaultCase> cases = {
      // A limit far below the output, over an existing file and into none.
      {"book.cb", "book.pa", true, false, -2000, tooLargePa},
      {"part.pa", "part.cb", true, false, -2000, tooLargeCb},
      {"book.cb", "book.pa", false, false, -2000, tooLargePa},
      // One byte short fails, the exact size passes: every byte is checked.
      {"book.cb", "book.pa", true, false, -1, tooLargePa},
      {"part.pa", "part.cb", true, false, -1, tooLargeCb},
      {"book.cb", "book.pa", true, false, 0, ""},
      {"part.pa", "part.cb", false, false, 0, ""},
      // A folder where no file can be created.
      {"book.cb", "book.pa", false, true, std::nullopt, "ERROR: Couldn't open the file: book.pa"},
      {"part.pa", "part.cb", true, true, std::nullopt, "ERROR: Couldn't open the file: part.cb"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.output + (c.oldOutput ? " over an old file" : "") + (c.readOnly ? " read-only" : "") +
                 (c.margin ? " limit " + std::to_string(*c.margin) : ""));
    const std::string& good = c.output == "book.pa" ? goodPa : goodCb;
    TempDir dir;
    Populate(dir, in);
    if (c.oldOutput) WriteFile(dir.File(c.output), kOld);
    if (c.readOnly) ::chmod(dir.path().c_str(), 0555);
    RunLimits limits;
    if (c.margin) limits.fileSize = static_cast<long long>(good.size()) + *c.margin;
    limits.unprivileged = c.readOnly;
    const RunResult run = RunMirvoLimited({"-Q0", "-O", "set.ts", c.second}, dir.path(), limits);
    ::chmod(dir.path().c_str(), 0700);

    EXPECT_EQ(run.status, c.err.empty() ? 0 : 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    std::vector<std::string> expected = {"book.cb", "part.pa", "set.ts"};
    if (c.err.empty() || c.oldOutput) expected.push_back(c.output);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFolder(dir.path()), expected);
    if (c.err.empty()) {
      EXPECT_EQ(ReadFile(dir.File(c.output)), good);
    } else if (c.oldOutput) {
      EXPECT_EQ(ReadFile(dir.File(c.output)), kOld);
    }
  }
}

// What can be found before the search is found there: an output name longer
// than the folder allows, a file-size limit below the header. The run never
// gets as far as writing its first block (where the paused binary would
// stop).
TEST(FaultInjection, AnOutputThatCannotBeWrittenFailsBeforeTheSearch) {
  const Inputs in = MakeInputs();
  const std::string longName = std::string(254, 'n') + ".", longOutput = std::string(254, 'n') + ".pa";
  struct Case {
    std::string second;
    long long fileSize;
    std::string err;
  };
  const Case cases[] = {
      {longName, -1, "ERROR: Couldn't open the file: " + longOutput},
      // The header takes 65 bytes; standard error's file takes the message.
      {"book.cb", 60, "ERROR: Writing the file book.pa failed: File too large\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    Populate(dir, in);
    WriteFile(dir.File(longName), in.codebook);
    RunLimits limits;
    limits.binary = MIRVO_PAUSED_BINARY;
    limits.fileSize = c.fileSize;
    bool stopped = false;
    limits.whenStopped = [&](int pid) {
      stopped = true;
      ::kill(pid, SIGCONT);
    };
    const RunResult run = RunMirvoLimited({"-Q0", "set.ts", c.second}, dir.path(), limits);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"book.cb", longName, "part.pa", "set.ts"}));
  }
}

}  // namespace
}  // namespace mirvo::test
