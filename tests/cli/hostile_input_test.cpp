// Hostile input through the whole program: frequency totals at the edge of
// 32 bits, and option errors that reach an installed exit handler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define MIRVO_LEAK_CHECK 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define MIRVO_LEAK_CHECK 1
#endif

#include "mirvo_version.h"
#include "interfc/interfc.h"
#include "mirvo.h"
#include "support/error_capture.h"
#include "support/test_support.h"

namespace mirvotest {
namespace {

const std::string kSeparator = std::string(37, '-') + "\n";

// Training set of one-element vectors 10, 20, ... with these frequencies and
// their total (as 32 bits hold it) in the header; named "v1", "v2", ...
// when named is set.
std::string TrainingSet(const std::vector<int>& freqs, bool named = false) {
  std::uint32_t total = 0;
  for (const int f : freqs) total += static_cast<std::uint32_t>(f);
  std::string bytes = "VQ TRAINING SET 2.0\n1\n1\n" + std::to_string(freqs.size()) + "\n" +
                      std::to_string(static_cast<int>(total)) + "\n1\n0\n0\n0\n" + kSeparator;
  for (std::size_t i = 0; i < freqs.size(); ++i) {
    if (named) bytes += "v" + std::to_string(i + 1);
    bytes += std::string(1, '\0') + static_cast<char>(10 * (i + 1)) + BigEndian(static_cast<std::uint32_t>(freqs[i]), 4);
  }
  return bytes;
}

struct SumCase {
  std::vector<int> freqs;
  std::string codebook;  // what pa->cb writes; empty: both conversions refuse
};

// One partition holds every vector: its frequency is the whole total.
TEST(HostileInput, FrequencyTotalsAtTheEdgeOf32Bits) {
  const std::string more = "ERROR: The frequencies in set.ts add up to more than 2147483647.\n";
  const std::vector<SumCase> cases = {
      {{2147483646, 1}, SetFileBytes({{{10}, 2147483647, ""}}, 1, 1, 1, true, MIRVO_IDENTITY)},
      {{1073741824, 1073741823}, SetFileBytes({{{15}, 2147483647, ""}}, 1, 1, 1, true, MIRVO_IDENTITY)},
      {{2147483647, 1}, ""},
      {{1073741824, 1073741824}, ""},
  };
  for (const SumCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.freqs[0]) + " + " + std::to_string(c.freqs[1]));
    TempDir dir;
    WriteFile(dir.File("set.ts"), TrainingSet(c.freqs));
    WriteFile(dir.File("book.cb"), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true));
    WriteFile(dir.File("part.pa"), "VQ PARTITIONING 2.0\n1\n2\n" + kSeparator + "1\n1\n");
    const RunResult toPartitioning = RunMirvo({"-Q0", "set.ts", "book.cb"}, dir.path());
    const RunResult toCodebook = RunMirvo({"-Q0", "set.ts", "part.pa"}, dir.path());
    if (c.codebook.empty()) {
      EXPECT_EQ(toPartitioning.status, 255);
      EXPECT_EQ(toPartitioning.err, more);
      EXPECT_EQ(toCodebook.status, 255);
      EXPECT_EQ(toCodebook.err, more);
      EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"book.cb", "part.pa", "set.ts"}));
      continue;
    }
    EXPECT_EQ(toPartitioning.status, 0);
    EXPECT_EQ(toCodebook.status, 0);
    EXPECT_EQ(toPartitioning.err + toCodebook.err, "");
    EXPECT_EQ(ReadFile(dir.File("book.pa")), "VQ PARTITIONING 2.0\n1\n2\n" + kSeparator + "1\n1\n");
    EXPECT_EQ(ReadFile(dir.File("part.cb")), c.codebook);
  }
}

// MirvoMain in this process under the capture: the status it ended with
// (what it returned, or what it gave ExitProcessing).
int RunInProcess(ErrorCapture& capture, std::vector<std::string> args) {
  args.insert(args.begin(), "mirvo");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = 0;
  return capture.Run([&] { status = MirvoMain(static_cast<int>(args.size()), argv.data()); }).value_or(status);
}

// A fatal path taken half-way through reading named vectors unwinds through
// an installed handler without losing memory (seen by the leak checker of
// the sanitized build).
TEST(HostileInput, FatalPathsUnwindWithoutLeaks) {
  TempDir dir;
  const std::string ts = dir.File("set.ts");
  std::string truncated = TrainingSet({1, 1, 1}, true);
  truncated.resize(truncated.size() - 3);
  struct Case {
    std::string trainingSet, err;
  };
  const std::vector<Case> cases = {
      {truncated, "ERROR: unable to read from file.\nERROR: " + ts + " ends inside vector 3 of 3.\n"},
      {TrainingSet({2147483647, 1}, true), "ERROR: The frequencies in " + ts + " add up to more than 2147483647.\n"},
  };
  WriteFile(dir.File("book.cb"), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true));
  WriteFile(dir.File("part.pa"), "VQ PARTITIONING 2.0\n1\n3\n" + kSeparator + "1\n1\n1\n");
  {
    ErrorCapture capture;
    for (const Case& c : cases) {
      WriteFile(ts, c.trainingSet);
      for (const char* second : {"book.cb", "part.pa"}) {
        capture.Clear();
        EXPECT_EQ(RunInProcess(capture, {"-Q0", ts, dir.File(second)}), -1) << second;
        EXPECT_EQ(capture.text(), c.err) << second;
      }
    }
  }
  EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"book.cb", "part.pa", "set.ts"}));
#ifdef MIRVO_LEAK_CHECK
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// The front end's own errors end through ExitProcessing as the library's do:
// a handler that unwinds sees status -1, and the output is unchanged.
TEST(HostileInput, OptionAndArgumentErrorsReachTheExitHandler) {
  struct Case {
    std::vector<std::string> args;
    std::string outStart;
  };
  const std::vector<Case> cases = {
      {{"-X"}, "ERROR: Unknown option -X found.\n"},
      {{"-Q100", "a", "b"}, "ERROR: Parameter Q(1) = 100 is out of range [0,99].\n"},
      {{"a"}, "ERROR: Too few parameters\n\n\n" MIRVO_IDENTITY_LINE "\n"},
      {{"a", "b", "c"}, "ERROR: Too many parameters\n\n\n" MIRVO_IDENTITY_LINE "\n"},
      {{}, "\n" MIRVO_IDENTITY_LINE "\nThis program converts"},
  };
  ErrorCapture capture;
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    const int status = RunInProcess(capture, c.args);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -1) << c.outStart;
    EXPECT_EQ(out.substr(0, c.outStart.size()), c.outStart);
  }
}

}  // namespace
}  // namespace mirvotest
