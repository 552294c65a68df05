// Interrupted runs: any signal that ends the process, alone or in a burst,
// removes the temporary file in the middle of the write, keeps the old
// output and ends the process by that signal, leaving the terminal's line
// clean; once the output is in place, the run ends with its own status;
// SIGKILL at any moment leaves the old output or the complete new one, and
// at most the recognisable temporary file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace mirvo::test {
namespace {

const std::string kOld = "old output, kept byte for byte\n";

// A training set of n one-byte pairs, a codebook of two and a partitioning
// of the set into three.
void Populate(const TempDir& dir, int n) {
  std::vector<VectorSpec> vectors;
  std::string lines;
  for (int i = 0; i < n; ++i) {
    vectors.push_back({{i % 256, (7 * i) % 256}, 1, ""});
    lines += std::to_string(1 + i % 3) + "\n";
  }
  WriteFile(dir.File("set.ts"), SetFileBytes(vectors, 2, 1, 1));
  WriteFile(dir.File("book.cb"), SetFileBytes({{{0, 0}, 1, ""}, {{255, 255}, 1, ""}}, 2, 1, 1, true));
  WriteFile(dir.File("part.pa"),
            "VQ PARTITIONING 2.0\n3\n" + std::to_string(n) + "\n" + std::string(37, '-') + "\n" + lines);
}

const std::vector<std::string> kInputs = {"book.cb", "part.pa", "set.ts"};

std::vector<std::string> With(std::vector<std::string> names, const std::string& extra) {
  names.push_back(extra);
  std::sort(names.begin(), names.end());
  return names;
}

// Every signal whose default action ends the process (SIGKILL and SIGSTOP
// cannot be caught), but those AddressSanitizer handles itself.
std::vector<int> EndingSignals() {
  std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGUSR1,
                              SIGUSR2, SIGPIPE,   SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF,
                              SIGIO,   SIGSTKFLT, SIGPWR,  SIGSYS,  SIGXFSZ};
#ifndef MIRVO_TEST_SANITIZED
  signals.insert(signals.end(), {SIGBUS, SIGFPE, SIGSEGV});
#endif
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) signals.push_back(signal);
  return signals;
}

struct Conversion {
  std::string second, output;
};
const Conversion kConversions[] = {{"book.cb", "book.pa"}, {"part.pa", "part.cb"}};

// The temporary file is there while the binary is stopped in its write, and
// gone after it; the old output stays as it was.
void ExpectCleanEnd(const TempDir& dir, const std::vector<std::string>& seen, const Conversion& c, bool oldOutput) {
  ASSERT_EQ(seen.size(), kInputs.size() + 1 + (oldOutput ? 1 : 0));
  EXPECT_THAT(seen, testing::Contains(testing::MatchesRegex("\\." + c.output + "\\.[0-9a-f]{10}\\.tmp")));
  EXPECT_EQ(ListFolder(dir.path()), oldOutput ? With(kInputs, c.output) : kInputs);
  if (oldOutput) {
    EXPECT_EQ(ReadFile(dir.File(c.output)), kOld);
  }
}

// The paused binary writing c's output (over an old one when asked), acted
// on by `signal` where it stops itself; seen gets what the folder held then.
RunResult RunStopped(const TempDir& dir, const Conversion& c, bool oldOutput, const std::function<void(int)>& signal,
                     std::vector<std::string>& seen) {
  Populate(dir, 100);
  if (oldOutput) WriteFile(dir.File(c.output), kOld);
  RunLimits limits;
  limits.binary = MIRVO_PAUSED_BINARY;
  limits.whenStopped = [&](int pid) {
    seen = ListFolder(dir.path());
    signal(pid);
  };
  return RunMirvoLimited({"-Q0", "-O", "set.ts", c.second}, dir.path(), limits);
}

// SIGXFSZ is ignored (a file-size limit is reported as a failed write): the
// run goes on to its end.
TEST(Interrupts, EverySignalWhileWritingRemovesTheTemporaryFile) {
  int turn = 0;
  for (const int signal : EndingSignals()) {
    for (const Conversion& c : kConversions) {
      const bool oldOutput = ++turn % 2 == 0;
      SCOPED_TRACE(std::string(strsignal(signal)) + " writing " + c.output + (oldOutput ? " over an old file" : ""));
      TempDir dir;
      std::vector<std::string> seen;
      const RunResult run = RunStopped(
          dir, c, oldOutput,
          [&](int pid) {
            ::kill(pid, signal);
            ::kill(pid, SIGCONT);
          },
          seen);
      EXPECT_EQ(run.out + run.err, "");
      if (signal == SIGXFSZ) {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(ListFolder(dir.path()), With(kInputs, c.output));
        continue;
      }
      EXPECT_EQ(run.status, 128 + signal);
      ExpectCleanEnd(dir, seen, c, oldOutput);
    }
  }
}

// Bursts of 2 and 5 signals, the same one repeated or several at once, as a
// double Ctrl-C, a supervisor signalling the process and its group or a kill
// loop send them: one of them ends the process, and no temporary file stays.
// The first is sent before the process goes on, the others while it runs: so
// a test process kept off the processor meanwhile cannot let the run finish
// its write before the burst.
TEST(Interrupts, BurstsOfSignalsLeaveNoTemporaryFile) {
  const int kinds[] = {SIGTERM, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTERM, SIGUSR1};
  int next = 0;
  for (int round = 0; round < 64; ++round) {
    const Conversion& c = kConversions[round % 2];
    const int count = round % 4 < 2 ? 2 : 5;
    std::vector<int> burst;
    for (int k = 0; k < count; ++k) burst.push_back(kinds[next++ % std::size(kinds)]);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(count) + " signals writing " + c.output);
    TempDir dir;
    const bool oldOutput = round % 3 == 0;
    std::vector<std::string> seen;
    const RunResult run = RunStopped(
        dir, c, oldOutput,
        [&](int pid) {
          ::kill(pid, burst.front());
          ::kill(pid, SIGCONT);
          for (std::size_t k = 1; k < burst.size(); ++k) ::kill(pid, burst[k]);
        },
        seen);
    EXPECT_THAT(burst, testing::Contains(run.status - 128));
    ExpectCleanEnd(dir, seen, c, oldOutput);
  }
}

// Held between putting its output in place and its end, the run is signalled
// as a scheduler or a script would: it ends with its own status, 0, and the
// new output stays.
TEST(Interrupts, SignalsOnceTheOutputIsInPlaceDoNotEndTheRun) {
  for (const Conversion& c : kConversions) {
    SCOPED_TRACE(c.output);
    TempDir plain;
    Populate(plain, 100);
    ASSERT_EQ(RunMirvo({"-Q0", "set.ts", c.second}, plain.path()).status, 0);
    TempDir dir;
    Populate(dir, 100);
    WriteFile(dir.File(c.output), kOld);
    RunLimits limits;
    limits.binary = MIRVO_PAUSED_BINARY;
    limits.pauseInPlace = true;
    bool held = false;
    limits.whenStopped = [&](int pid) {
      held = true;
      for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU}) {
        ::kill(pid, signal);
      }
      ::kill(pid, SIGCONT);
    };
    const RunResult run = RunMirvoLimited({"-Q0", "-O", "set.ts", c.second}, dir.path(), limits);
    EXPECT_TRUE(held);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(ListFolder(dir.path()), With(kInputs, c.output));
    EXPECT_EQ(ReadFile(dir.File(c.output)), ReadFile(plain.File(c.output)));
  }
}

// A closed standard output ends the run when the report goes out, before
// anything is written; without a report the run does not notice it.
TEST(Interrupts, AClosedStandardOutputEndsTheRunBeforeItWrites) {
  for (const Conversion& c : kConversions) {
    for (const char* quiet : {"-Q2", "-Q1", "-Q0"}) {
      SCOPED_TRACE(c.output + " " + quiet);
      TempDir dir;
      Populate(dir, 100);
      WriteFile(dir.File(c.output), kOld);
      RunLimits limits;
      limits.closedOutput = true;
      const RunResult run = RunMirvoLimited({quiet, "-O", "set.ts", c.second}, dir.path(), limits);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(ListFolder(dir.path()), With(kInputs, c.output));
      if (std::string(quiet) == "-Q0") {
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(ReadFile(dir.File(c.output)), kOld);
      } else {
        EXPECT_EQ(run.status, 128 + SIGPIPE);
        EXPECT_EQ(ReadFile(dir.File(c.output)), kOld);
      }
    }
  }
}

// Ctrl-C with the progress line drawn on a 40-column terminal: the line is
// blanked before the process ends, nothing is left after it.
TEST(Interrupts, TerminalLineIsClearedOnInterrupt) {
  TempDir dir;
  Populate(dir, 100);
  RunLimits limits;
  limits.binary = MIRVO_PAUSED_BINARY;
  limits.terminal = true;
  limits.columns = 40;
  limits.whenStopped = [](int pid) {
    ::kill(pid, SIGINT);
    ::kill(pid, SIGCONT);
  };
  const RunResult run = RunMirvoLimited({"-Q0", "set.ts", "book.cb"}, dir.path(), limits);
  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_THAT(run.out, testing::EndsWith("\rWriting (-) 50 % done\r" + std::string(21, ' ') + "\r"));
  EXPECT_EQ(ListFolder(dir.path()), kInputs);
}

// SIGKILL at random moments of a large write: the target is the old file or
// the complete new one; the only debris is the temporary file.
TEST(Interrupts, KillAtAnyMomentKeepsOldOrNewFile) {
  TempDir data;
  Populate(data, 540000);  // a partitioning of 1.08 MB, written in two blocks
  TempDir dir;
  const auto reset = [&] {
    for (const std::string& name : ListFolder(dir.path())) ::unlink(dir.File(name).c_str());
    for (const std::string& name : kInputs) WriteFile(dir.File(name), ReadFile(data.File(name)));
    WriteFile(dir.File("book.pa"), kOld);
  };
  reset();
  // The whole write once, unhindered: how long after the first block the
  // new file takes its place.
  RunLimits limits;
  limits.binary = MIRVO_PAUSED_BINARY;
  std::chrono::steady_clock::duration rest{};
  limits.whenStopped = [&](int pid) {
    struct stat old {};
    struct stat now {};
    ::stat(dir.File("book.pa").c_str(), &old);
    const auto resumed = std::chrono::steady_clock::now();
    ::kill(pid, SIGCONT);
    do {
      rest = std::chrono::steady_clock::now() - resumed;
    } while (::stat(dir.File("book.pa").c_str(), &now) == 0 && now.st_ino == old.st_ino &&
             rest < std::chrono::seconds(5));
  };
  const std::vector<std::string> args = {"-Q0", "-O", "set.ts", "book.cb"};
  ASSERT_EQ(RunMirvoLimited(args, dir.path(), limits).status, 0);
  const std::string complete = ReadFile(dir.File("book.pa"));
  ASSERT_GT(complete.size(), std::size_t{1} << 20);

  // Random moments up to a little after that; the span follows the machine's
  // pace: it shrinks after a round that came too late, so that most land
  // during the write.
  std::mt19937 random(12);
  double span = 1.0;
  int kept = 0;
  for (int round = 0; round < 20; ++round) {
    reset();
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
        rest * std::uniform_real_distribution<double>(0.0, span)(random));
    limits.whenStopped = [&](int pid) {
      ::kill(pid, SIGCONT);
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
    };
    const RunResult run = RunMirvoLimited(args, dir.path(), limits);
    const std::string now = ReadFile(dir.File("book.pa"));
    ASSERT_TRUE(now == kOld || now == complete) << "round " << round << ": " << now.size() << " bytes";
    kept += now == kOld ? 1 : 0;
    span *= now == kOld ? 1.05 : 0.5;
    std::vector<std::string> listing = ListFolder(dir.path());
    if (run.status == 128 + SIGKILL && listing.size() == kInputs.size() + 2) {
      EXPECT_THAT(listing[0], testing::MatchesRegex("\\.book\\.pa\\.[0-9a-f]{10}\\.tmp"));
      listing.erase(listing.begin());
    }
    EXPECT_EQ(listing, With(kInputs, "book.pa")) << "round " << round;
  }
  EXPECT_GE(kept, 10);
}

}  // namespace
}  // namespace mirvo::test
