// File kinds: header lines, recognising a file by its first line, and
// completing names given without extension.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::ExitedWithCode;
using testing::StrEq;

TEST(FileKind, HeaderLines) {
  for (const auto& [text, kind] : std::vector<std::pair<const char*, int>>{{"VQ CODEBOOKS", 2},
                                                                           {"vq codebook 2.0", 0},
                                                                           {"VQ TRAINING SE", 0},
                                                                           {"VQ CODEBOOK 1.0", 2},
                                                                           {"VQ CODEBOOK", 2},
                                                                           {"VQ TRAINING SET 2.0", 1},
                                                                           {"VQ PARTITIONING", 3},
                                                                           {" VQ CODEBOOK", 0},
                                                                           {"", 0}}) {
    EXPECT_EQ(RecognizeVersionstr(text), kind) << text;
  }
  char line[80] = "abc\r\n";
  EXPECT_STREQ(RemoveLineBreak(line), "abc\r");
  EXPECT_STREQ(RemoveLineBreak(line), "abc\r");
  EXPECT_STREQ(ClearString(line), "");
  EXPECT_EXIT(RemoveLineBreak(line), ExitedWithCode(255), StrEq("ERROR: empty header (0x00)\n"));
  const char* const made[] = {"VQ TRAINING SET 2.0", "VQ CODEBOOK 2.0", "VQ PARTITIONING 2.0"};
  for (const int kind : {1, 2, 3}) EXPECT_STREQ((SetVerString(line, kind), line), made[kind - 1]);
  EXPECT_EXIT(SetVerString(line, 4), ExitedWithCode(255), StrEq("ERROR: Unknown file type (SetVersionString)\n"));
}

TEST(FileKind, NamesAreCompletedInPriorityOrder) {
  const std::string ts = "VQ TRAINING SET 2.0\n2\n", cb = "VQ CODEBOOK 2.0\n2\n", pa = "VQ PARTITIONING 2.0\n2\n";
  const std::string longName = std::string(200, 'd') + "/" + std::string(90, 'n');
  struct Case {
    std::map<std::string, std::string> files;
    std::string name;
    int order, kind;
    std::string found;
  };
  for (const Case& c :
       std::vector<Case>{{{{"data.ts", ts}}, "data", 12, 1, "data.ts"},
                         {{{"data.cb", ts}}, "data", 12, 1, "data.cb"},  // the header decides, not the extension
                         {{{"data.ts", ts}, {"data.cb", cb}}, "data", 231, 2, "data.cb"},
                         {{{"data.ts", ts}, {"data.pa", pa}}, "data", 231, 3, "data.pa"},
                         {{{"data.ts", ts}}, "data", 14, 1, "data.ts"},
                         {{{"data", pa}, {"data.ts", ts}}, "data", 0, 3, "data"},  // the order is not looked at
                         {{{"data", "junk\n"}, {"data.ts", ts}}, "data", 12, 1, "data.ts"},
                         {{{"data", ""}, {"data.ts", ""}, {"data.cb", "\n" + cb}}, "data", 12, 0, "data"},
                         {{{"data.ts", ts}}, "data.cb", 12, 0, "data.cb"},
                         {{{longName + ".ts", ts}}, longName, 12, 1, longName + ".ts"}}) {
    TempDir dir;
    ::mkdir(dir.File(std::string(200, 'd')).c_str(), 0700);
    for (const auto& [file, bytes] : c.files) WriteFile(dir.File(file), bytes);
    std::string name = dir.File(c.name);
    EXPECT_EQ(DetermineCBFileTypeConsideringOrder(name, c.order), c.kind) << c.found;
    EXPECT_EQ(name, dir.File(c.found));
    EXPECT_EQ(AnalyzeFileType(name.c_str()), c.kind) << c.found;
    // The same in a caller's char buffer.
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%s", dir.File(c.name).c_str());
    EXPECT_EQ(DetermineCBFileTypeConsideringOrder(buffer, c.order), c.kind) << c.found;
    EXPECT_EQ(buffer, dir.File(c.found));
  }
  TempDir dir;
  WriteFile(dir.File("data.ts"), "not a header\n");
  for (const int order : {14, 0, -12}) {
    std::string name = dir.File("data");
    EXPECT_EXIT(
        DetermineCBFileTypeConsideringOrder(name, order), ExitedWithCode(255),
        StrEq("ERROR: invalid priority order in DetermineCBFileTypeConsideringOrder: " + std::to_string(order) + "\n"));
  }
}

}  // namespace
}  // namespace mirvo::test
