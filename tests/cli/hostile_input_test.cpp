// Hostile input through the whole program: frequency totals at the edge of
// 32 bits, and option errors that reach an installed exit handler.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
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

#include "mirvo.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"
#include "mirvo/version.h"
#include "seed_files.h"
#include "support/error_capture.h"
#include "support/test_support.h"

namespace mirvo::test {
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
    bytes +=
        std::string(1, '\0') + static_cast<char>(10 * (i + 1)) + BigEndian(static_cast<std::uint32_t>(freqs[i]), 4);
  }
  return bytes;
}

struct SumCase {
  std::vector<int> freqs;
  std::string codebook;  // what pa->cb writes; empty: both conversions refuse
};

const std::vector<SumCase>& SumCases() {
  static const std::vector<SumCase> cases = {
      {{2147483646, 1}, SetFileBytes({{{10}, 2147483647, ""}}, 1, 1, 1, true, MIRVO_IDENTITY)},
      {{1073741824, 1073741823}, SetFileBytes({{{15}, 2147483647, ""}}, 1, 1, 1, true, MIRVO_IDENTITY)},
      {{2147483647, 1}, ""},
      {{1073741824, 1073741824}, ""},
  };
  return cases;
}

// The training set of a fatal path taken half-way through its named vectors.
std::string TruncatedSet() {
  std::string truncated = TrainingSet({1, 1, 1}, true);
  truncated.resize(truncated.size() - 3);
  return truncated;
}

// One partition holds every vector: its frequency is the whole total.
TEST(HostileInput, FrequencyTotalsAtTheEdgeOf32Bits) {
  const std::string more = "ERROR: The frequencies in set.ts add up to more than 2147483647.\n";
  for (const SumCase& c : SumCases()) {
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

// A centroid element beyond 32 bits (frequencies of mixed sign: e * 2^30 -
// 0 * (2^30 - 1) over a frequency of 1) fits no element width: refused with
// its exact value, for every width, and nothing is written.
TEST(HostileInput, CentroidElementsBeyond32BitsAreRefused) {
  for (int width = 1; width <= 4; ++width) {
    SCOPED_TRACE("width " + std::to_string(width));
    const std::int64_t largest = width == 4 ? 2147483647 : (std::int64_t{1} << (8 * width)) - 1;
    TempDir dir;
    WriteFile(dir.File("set.ts"),
              SetFileBytes({{{static_cast<int>(largest)}, 1 << 30, ""}, {{0}, -(1 << 30) + 1, ""}}, 1, 1, width));
    WriteFile(dir.File("part.pa"), "VQ PARTITIONING 2.0\n1\n2\n" + kSeparator + "1\n1\n");
    WriteFile(dir.File("part.cb"), "old");
    const RunResult run = RunMirvo({"-Q0", "-O", "set.ts", "part.pa"}, dir.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "ERROR: Vector element value " + std::to_string(largest << 30) +
                           " does not fit in 4 bytes per element.\n");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"part.cb", "part.pa", "set.ts"}));
    EXPECT_EQ(ReadFile(dir.File("part.cb")), "old");
  }
}

// A few bytes announcing many partitions reserve nothing for them: under an
// address-space limit of 32 MiB the centroids of the partitions that appear
// are written, with an empty entry (zero bytes all) for each of the others.
TEST(HostileInput, TinyFilesAnnouncingManyPartitionsTakeNoMemoryForThem) {
  struct Case {
    int dimension, partitions, member;
  };
  const Case cases[] = {{1000, 33000, 16}, {1, 4700000, 4699998}, {2, 2147483647, 2147483646}};
  RunLimits limits;
#ifndef MIRVO_TEST_SANITIZED
  limits.addressSpace = 32LL << 20;
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.partitions) + " partitions of " + std::to_string(c.dimension) + " elements");
    const VectorSpec v{std::vector<int>(static_cast<std::size_t>(c.dimension), 7), 3, ""};
    TempDir dir;
    WriteFile(dir.File("set.ts"), SetFileBytes({v}, c.dimension, 1, 1));
    WriteFile(dir.File("part.pa"), "VQ PARTITIONING 2.0\n" + std::to_string(c.partitions) + "\n1\n" + kSeparator +
                                       std::to_string(c.member + 1) + "\n");
    const RunResult run = RunMirvoLimited({"-Q0", "set.ts", "part.pa"}, dir.path(), limits);
    ASSERT_EQ(run.status, 0) << run.err;
    if (c.partitions < 10000000) {
      EXPECT_EQ(ReadFile(dir.File("part.cb")),
                SparseCodebookBytes({{c.member, v}}, c.partitions, c.dimension, 1, 1, MIRVO_IDENTITY));
      continue;
    }
    // 15 GB, nearly all of it a hole: its length and its last entry.
    const std::string header = "VQ CODEBOOK 2.0\n2\n1\n2147483647\n3\n1\n0\n0\n0\n" MIRVO_IDENTITY "\n" + kSeparator;
    const std::uint64_t size = header.size() + std::uint64_t{2147483647} * 7;
    std::ifstream in(dir.File("part.cb"), std::ios::binary | std::ios::ate);
    ASSERT_EQ(static_cast<std::uint64_t>(in.tellg()), size);
    std::string last(7, '\0');
    in.seekg(static_cast<std::streamoff>(size - 7));
    in.read(last.data(), 7);
    EXPECT_EQ(last, std::string("\0\x07\x07\0\0\0\x03", 7));
  }
}

// A name of 80 bytes from a crafted training set reaches the message with
// what could set the terminal's title, clear it or fake a message escaped;
// UTF-8 text stays as it is.
TEST(HostileInput, NameBytesInMessagesCannotDriveTheTerminal) {
  const std::string crafted = "\x1b]0;owned\x07\x1b[2J\rERROR: fake\ncaf\xc3\xa9\xff\xc2\x9b";
  const std::string name = crafted + std::string(80 - crafted.size(), 'n');
  const std::string shown = "\\x1b]0;owned\\x07\\x1b[2J\\x0dERROR: fake\\x0acaf\xc3\xa9\\xff\\xc2\\x9b" +
                            std::string(80 - crafted.size(), 'n');
  TempDir dir;
  WriteFile(dir.File("set.ts"), SetFileBytes({{{1}, 1, name}}, 1, 1, 1));
  WriteFile(dir.File("book.cb"), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true));
  const RunResult run = RunMirvo({"-Q0", "set.ts", "book.cb"}, dir.path());
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, "ERROR: Too long vector name:\n" + shown + "\nMaximum is 80 characters.\n");
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
  const std::string truncated = TruncatedSet();
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

// Every input of the fuzz corpora and seeds and of the tables above, under an
// address-space limit of 256 MiB: a conversion or an "ERROR..." with status
// 255, never an abort or another signal. (The sanitizers need more address
// space than that.)
TEST(HostileInput, CorporaUnderAMemoryLimit) {
#ifdef MIRVO_LEAK_CHECK
  GTEST_SKIP() << "the sanitized build reserves more address space than the limit";
#endif
  constexpr long long kLimit = 256LL << 20;
  struct Input {
    std::string name, first, second;  // second: a codebook or a partitioning
    std::vector<std::string> options;
  };
  std::vector<Input> inputs;
  std::vector<std::pair<std::string, std::string>> graphs;
  const std::string corpus = std::string(MIRVO_SOURCE_DIR) + "/fuzz/corpus/";
  for (const std::string target :
       {"fuzz_cb_to_pa", "fuzz_pa_to_cb", "fuzz_read_codebook", "fuzz_read_partitioning", "fuzz_graph_read"}) {
    std::vector<mirvo::fuzz::Seed> files = mirvo::fuzz::SeedsFor(target);
    if (FileExists(corpus + target)) {
      for (const std::string& name : ListFolder(corpus + target)) {
        files.push_back({name, ReadFile(corpus + target + "/" + name)});
      }
    }
    for (const auto& [name, bytes] : files) {
      const std::string label = target + "/" + name;
      if (target == "fuzz_graph_read") {
        graphs.emplace_back(label, bytes);
      } else if (target == "fuzz_read_codebook") {
        inputs.push_back({label + " as training set", bytes, mirvo::fuzz::SmallCodebook(), {"-Q0"}});
        inputs.push_back({label + " as codebook", mirvo::fuzz::SmallTrainingSet(), bytes, {"-Q0"}});
      } else if (target == "fuzz_read_partitioning") {
        const std::vector<VectorSpec> five = {{{1, 2}, 3, "first"},
                                              {{200, 7}, 1, ""},
                                              {{0, 255}, 2, "third"},
                                              {{9, 9}, 1, "fourth"},
                                              {{255, 0}, 7, "fifth"}};
        inputs.push_back({label, SetFileBytes(five, 2, 1, 1), bytes, {"-Q0"}});
      } else if (!bytes.empty()) {
        // An options byte, the training set, the separator, the second file.
        const std::string rest = bytes.substr(1);
        const auto at = rest.find(mirvo::fuzz::kFileSeparator);
        if (at == std::string::npos) continue;
        const unsigned options = static_cast<unsigned char>(bytes[0]);
        Input input{label, rest.substr(0, at), rest.substr(at + std::strlen(mirvo::fuzz::kFileSeparator)), {}};
        if ((options & 1u) != 0) input.options.push_back("-O");
        if (((options >> 1) & 3u) < 3) input.options.push_back("-Q" + std::to_string((options >> 1) & 3u));
        inputs.push_back(input);
      }
    }
  }
  for (const SumCase& c : SumCases()) {
    for (const std::string& second :
         {SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true), "VQ PARTITIONING 2.0\n1\n2\n" + kSeparator + "1\n1\n"}) {
      inputs.push_back({"frequencies " + std::to_string(c.freqs[0]), TrainingSet(c.freqs), second, {"-Q0"}});
    }
  }
  inputs.push_back({"truncated", TruncatedSet(), SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true), {"-Q0"}});
  // A vector of 4M elements each way, and a set without vectors whose
  // dimension is the largest there is.
  const VectorSpec wide{std::vector<int>(std::size_t{1} << 22, 7), 1, ""};
  inputs.push_back({"wide vectors",
                    SetFileBytes({wide}, 1 << 11, 1 << 11, 1),
                    SetFileBytes({wide, wide}, 1 << 11, 1 << 11, 1, true),
                    {"-Q0"}});
  inputs.push_back({"wide vector, centroid",
                    SetFileBytes({wide}, 1 << 11, 1 << 11, 1),
                    "VQ PARTITIONING 2.0\n1\n1\n" + kSeparator + "1\n",
                    {"-Q0"}});
  std::string emptyWide = SetFileBytes({}, 2147483647, 1, 1);
  inputs.push_back(
      {"no vectors of the largest dimension", emptyWide, SetFileBytes({{{0}, 1, ""}}, 1, 1, 1, true), {"-Q0"}});

  RunLimits limits;
  limits.addressSpace = kLimit;
  for (const Input& input : inputs) {
    TempDir dir;
    WriteFile(dir.File("one"), input.first);
    WriteFile(dir.File("two"), input.second);
    std::vector<std::string> args = input.options;
    args.insert(args.end(), {"one", "two"});
    const RunResult run = RunMirvoLimited(args, dir.path(), limits);
    EXPECT_TRUE(run.status == 0 || (run.status == 255 && run.err.find("ERROR") != std::string::npos))
        << input.name << ": status " << run.status << "\n"
        << run.err;
  }
  // The graph reader, in a child process under the limit.
  for (const auto& [name, bytes] : graphs) {
    TempDir dir;
    WriteFile(dir.File("graph"), bytes);
    const pid_t child = ::fork();
    if (child == 0) {
      const rlimit space{static_cast<rlim_t>(kLimit), static_cast<rlim_t>(kLimit)};
      if (::setrlimit(RLIMIT_AS, &space) != 0) ::_exit(126);
      ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
      Graph* g = GraphRead(dir.File("graph").c_str());
      if (g != nullptr) FreeGraph(g);
      ::_exit(IsGraphFile(dir.File("graph").c_str()) >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": status " << status;
  }
}

}  // namespace
}  // namespace mirvo::test
