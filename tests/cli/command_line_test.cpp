// The command line through the built program: option and name errors with
// the usage text, options among the names, names of any length.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "mirvo/version.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

TEST(CommandLine, ErrorsGoToStandardOutput) {
  const std::string usage = "\n" MIRVO_IDENTITY_LINE
                            "\nThis program converts given codebook and trainingset to partition\n"
                            "or, alternatively, it converts given partition and trainingset to codebook.\n"
                            "Usage (cb->pa): MIRVO [-option] <training-set> <codebook>\n"
                            "or (pa->cb):    MIRVO [-option] <training-set> <partitioning>\n"
                            "For example: MIRVO bridge bridge-km\n\n  Options:\n"
                            "  -O               = Overwrite existing file (default=NO)\n"
                            "  -Qn              = Quiet level (0..99, default=2)\n\n" MIRVO_IDENTITY_LINE "\n";
  const std::string range = "ERROR: Parameter Q(1) = ";
  TempDir dir;
  for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, usage},
           {{"set"}, "ERROR: Too few parameters\n\n" + usage},
           {{"a", "b", "c"}, "ERROR: Too many parameters\n\n" + usage},
           {{"-O", "-Q12abc,200"}, usage},  // a second value has no entry and is ignored
           {{"a", "b", "-Q"}, "ERROR: Unknown option -Q found.\n"},
           {{"-x", "a"}, "ERROR: Unknown option -X found.\n"},
           {{"a", "-", "b"}, std::string("ERROR: Unknown option -\0 found.\n", 32)},
           {{"-Q,", "a", "b"}, range + "-1 is out of range [0,99].\n"},
           {{"-Q100"}, range + "100 is out of range [0,99].\n"},
           {{"-Q5", "-q4294967297"}, range + "2147483647 is out of range [0,99].\n"}}) {  // no wrap into range
    const RunResult run = RunMirvo(args, dir.path());
    EXPECT_EQ(run.status, 255) << testing::PrintToString(args);
    EXPECT_EQ(run.out, out) << testing::PrintToString(args);
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{});
}

TEST(CommandLine, OptionsAmongNamesAndNamesOfAnyLength) {
  TempDir dir;
  const std::string folder(200, 'f');  // names of 300 characters with their extensions
  const std::string set = folder + "/" + std::string(95, 's'), book = folder + "/" + std::string(95, 'b');
  ::mkdir(dir.File(folder).c_str(), 0700);
  for (const std::string& name : {std::string("set"), set}) {
    WriteFile(dir.File(name + ".ts"), SetFileBytes({{{1, 2}, 1, ""}}, 2, 1, 1));
  }
  for (const std::string& name : {std::string("book"), book}) {
    WriteFile(dir.File(name + ".cb"), SetFileBytes({{{0, 0}, 1, ""}}, 2, 1, 1, true));
  }
  for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"set", "book", "-Q0", "-O"}, ""},
           {{"-Q0", "set", "-O", "-q1", "book.cb"}, "set.ts       book.cb      "},
           {{"-Q1", set, book}, set + ".ts " + book + ".cb "}}) {
    const RunResult run = RunMirvo(args, dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
  }
  EXPECT_TRUE(FileExists(dir.File(book + ".pa")));
}

}  // namespace
}  // namespace mirvo::test
