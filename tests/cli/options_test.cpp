// The option table linked directly: parsing into values and name slots, the
// listings generated from the table, and option values in files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "mirvo.h"
#include "mirvo/version.h"

namespace mirvo::test {
namespace {

using namespace testing::internal;  // CaptureStdout and friends

// Puts the option table back as it was when the test ends.
struct SavedTable {
  SavedTable() { std::copy(Parameter, Parameter + 4, saved); }
  ~SavedTable() { std::copy(saved, saved + 4, Parameter); }
  ParameterEntry saved[4];
};

// Parses the arguments into slots made of the texts; returns them joined by "|".
std::string Parse(std::vector<std::string> args, std::vector<NameSlot> slots, std::vector<std::string> texts) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  for (std::size_t i = 0; i < slots.size(); ++i) slots[i].FileName = &texts[i];
  ParseParameters(static_cast<int>(argv.size()), argv.data(), static_cast<int>(slots.size()), slots.data());
  std::string joined;
  for (const auto& t : texts) joined += t + "|";
  return joined;
}

TEST(Options, ParsedIntoValuesAndNames) {
  SavedTable saved;
  const std::vector<NameSlot> two = {{nullptr, "", 0, 1}, {nullptr, "", 0, 1}};
  struct Case {
    std::vector<std::string> args;
    int quiet, overwrite;
  };
  for (const Case& c : std::vector<Case>{{{"x", "a", "b"}, 2, 0},
                                         {{"x", "-q5", "a", "b"}, 5, 0},
                                         {{"x", "a", "-Q-5", "b"}, 5, 0},
                                         {{"x", "-Q5,7", "a", "b"}, 5, 0},
                                         {{"x", "-Q 1x2", "a", "b"}, 1, 0},
                                         {{"x", "-Q3", "a", "b", "-Q4"}, 4, 0},
                                         {{"x", "-O", "a", "b"}, 2, 1},
                                         {{"x", "-O0", "-Q+0", "a", "b"}, 0, 1},
                                         {{"x", "a", "-o7", "b"}, 2, 1}}) {
    EXPECT_EQ(Parse(c.args, two, {"", ""}), "a|b|");
    EXPECT_EQ(std::vector<int>({Value_(1), Value_(2)}), std::vector<int>({c.quiet, c.overwrite}))
        << testing::PrintToString(c.args);
  }
  // An optional slot, a default extension, and the clash test: role 3 is
  // exempt, an output named like an input (regardless of case) is not.
  const std::vector<NameSlot> three = {{nullptr, "", 0, 1}, {nullptr, "ts", 0, 2}, {nullptr, nullptr, 1, 3}};
  EXPECT_EQ(Parse({"x", "in", "out"}, three, {"", "", "stale"}), "in|out.ts||");
  EXPECT_EQ(Parse({"x", "in", "-Q3", "x", "in"}, three, {"", "", ""}), "in|x.ts|in|");
  EXPECT_EXIT((::dup2(STDERR_FILENO, STDOUT_FILENO), Parse({"x", "in.ts", "IN"}, three, {"", "", ""})),
              testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Input and output filenames should be different. (IN.ts)\n"));
}

TEST(Options, ListingsFollowTheTable) {
  SavedTable saved;
  const std::string quiet = "Quiet level (0..99, default=2)\n", indent(22, ' ');
  const auto listing = [] { return CaptureStdout(), PrintOptions(), GetCapturedStdout(); };
  Parameter[2].Key = 'Q';  // Q gains a value-less form
  EXPECT_EQ(listing(), "  -Qn              = Overwrite existing file (default=NO)\n" + indent + "n: " + quiet);
  Parameter[2] = {"Detail", 'Q', 2, 2, 1, 0, 2, 1, 0, {"none", "some", "all"}, 1};  // a named second value
  EXPECT_EQ(listing(), "  -Qn1,n2          = \n" + indent + "n1: " + quiet + indent + "n2: Detail\n" + indent +
                           "      0 = none\n" + indent + "      1 = some (default)\n" + indent + "      2 = all\n");
  Parameter[1].ShallWePrint = 1;
  SetValue_(1, -1);
  CaptureStdout();
  PrintSelectedOptions();
  PrintOperatingInfo("t", "c", "p");  // a quiet level of -1 prints nothing
  SetValue_(1, 3);
  PrintOperatingInfo("t", "c", "p");
  const std::string selected = "Quiet level               = 3\nDetail                    = some\n";
  EXPECT_EQ(GetCapturedStdout(),
            "Quiet level               = NOT DEFINED\nDetail                    = some\n"
            "\n" MIRVO_IDENTITY_LINE "\nTraining Set: t\nCodebook:     c\nPartitioning: p\n" +
                selected + "\n");
}

TEST(Options, ValuesInFiles) {
  SavedTable saved;
  for (const auto& [save1, save2, bytes] : std::vector<std::tuple<int, int, std::string>>{
           {0, 0, ""}, {1, 1, std::string("\xFF\xFF\0\x01", 4)}, {0, 1, std::string("\0\x01", 2)}}) {
    Parameter[1].SaveToFile = save1;
    Parameter[2].SaveToFile = save2;
    SetValue_(1, -1);
    SetValue_(2, 1);
    std::FILE* f = std::tmpfile();
    WriteOptions(f);
    std::fputc('#', f);  // what follows the block is left unread
    std::string written(bytes.size() + 1, '\0');
    std::rewind(f);
    written.resize(std::fread(written.data(), 1, written.size(), f));
    EXPECT_EQ(written, bytes + "#");
    SetValue_(1, 9);
    SetValue_(2, 9);
    std::rewind(f);
    ReadOptions(f);
    EXPECT_EQ(std::vector<int>({Value_(1), Value_(2), std::fgetc(f)}),
              std::vector<int>({save1 ? 65535 : 9, save2 ? 1 : 9, '#'}));  // two bytes come back without sign
    std::fclose(f);
  }
}

}  // namespace
}  // namespace mirvo::test
