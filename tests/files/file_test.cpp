// Opening under the overwrite rule, fixed-width integers, bit streams and
// file names.
#include "mirvo/file.h"
#include "mirvo/mirvo.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace mirvo::test {
namespace {

using namespace testing::internal;  // CaptureStderr and friends

std::string Contents(std::FILE* f) {
  std::string bytes;
  std::rewind(f);
  for (int c; (c = std::getc(f)) != EOF;) bytes.push_back(static_cast<char>(c));
  return bytes;
}

TEST(FileOpen, OverwriteRuleAndModes) {
  TempDir dir;
  const std::string name = dir.File("data"), missing = dir.File("missing"), noFolder = dir.File("no/data");
  struct Case {
    std::string file;
    int mode, overwrite;
    std::string err;
    const char* content;
  };
  for (const Case& c : std::vector<Case>{{name, 0, 0, "ERROR: File already exists: " + name, nullptr},
                                         {name, 0, 2, "ERROR: File already exists: " + name, nullptr},
                                         {name, 5, 1, "ERROR: Invalid file mode:5", nullptr},
                                         {missing, 1, 0, "ERROR: Cannot find the file: " + missing, nullptr},
                                         {noFolder, 0, 1, "ERROR: Couldn't open the file: " + noFolder, nullptr},
                                         {name, 1, 1, "", "old"},
                                         {name, 0, 1, "", ""}}) {
    WriteFile(name, "old");
    CaptureStderr();
    std::FILE* f = FileOpen(c.file.c_str(), c.mode, c.overwrite);
    EXPECT_EQ(GetCapturedStderr(), c.err);
    EXPECT_EQ(f != nullptr, c.content != nullptr) << c.err;
    if (f != nullptr) {
      EXPECT_EQ(Contents(f), c.content);
      std::fclose(f);
    }
    EXPECT_EQ(ReadFile(name), c.content != nullptr ? c.content : "old");
  }
  const std::size_t openFiles = ListFolder("/proc/self/fd").size();
  EXPECT_EQ(ExistFile(name.c_str()), 1);
  EXPECT_EQ(ExistFile(missing.c_str()), 0);
  EXPECT_EQ(ListFolder("/proc/self/fd").size(), openFiles);
  EXPECT_EXIT(OpenFile(missing.c_str(), 1, 0), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Cannot find the file: " + missing));
  // Overwriting is for files: an empty folder of the name stays.
  const std::string folder = dir.File("folder");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  CaptureStderr();
  EXPECT_EQ(FileOpen(folder.c_str(), 0, 1), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: Couldn't open the file: " + folder);
  EXPECT_TRUE(FileExists(folder));
}

TEST(BinaryIntegers, WriteMostSignificantByteFirst) {
  struct Case {
    int value, width;
    std::string bytes;
    bool tooBig;
  };
  for (const Case& c : std::vector<Case>{{255, 1, "\xFF", false},
                                         {256, 1, "", true},
                                         {1, 0, "", true},
                                         {0, 0, "", false},
                                         {-1, 2, "\xFF\xFF", false},
                                         {65536, 2, "", true},
                                         {16777216, 3, "", true},
                                         {0x01020304, 4, "\x01\x02\x03\x04", false},
                                         {INT_MIN, 4, std::string("\x80\0\0\0", 4), false}}) {
    std::FILE* f = std::tmpfile();
    CaptureStderr();
    EXPECT_EQ(WriteIntegerToFile(f, c.value, c.width), static_cast<int>(c.bytes.size())) << c.value;
    EXPECT_EQ(GetCapturedStderr(), c.tooBig ? "ERROR: Vector element value is too big (" + std::to_string(c.value) +
                                                  "). Increase bytes/elem ratio."
                                            : "");
    EXPECT_EQ(Contents(f), c.bytes);
    std::fclose(f);
  }
}

TEST(BinaryIntegers, ReadBothByteOrders) {
  struct Case {
    std::string bytes;
    int width, big, little, count;
  };
  for (const Case& c : std::vector<Case>{{"\xFF\xFF", 2, 65535, 65535, 2},
                                         {"\xFF\xFF\xFF\xFF", 4, -1, -1, 4},
                                         {"\x01\x02\x03\x04", 4, 0x01020304, 0x04030201, 4},
                                         {"\x12", 2, 0x1200, 0x12, 1},
                                         {"", 1, 0, 0, 0},
                                         {"\x12", 0, 0, 0, 0}}) {
    for (const auto read : {ReadIntegerFromFile, ReadLittleEndianIntegerFromFile}) {
      std::FILE* f = std::tmpfile();
      std::fputs(c.bytes.c_str(), f);
      std::rewind(f);
      int value = 12345;
      CaptureStderr();
      EXPECT_EQ(read(f, &value, c.width), c.count);
      EXPECT_EQ(GetCapturedStderr(), c.count < c.width ? "ERROR: unable to read from file." : "");
      EXPECT_EQ(value, read == ReadIntegerFromFile ? c.big : c.little) << c.bytes.size();
      std::fclose(f);
    }
  }
}

TEST(BitStreams, PackMostSignificantBitFirst) {
  BitStream bits;
  std::FILE* f = std::tmpfile();
  InitializeBitStream(&bits, f);
  OutputValue(&bits, 6, 3);
  FlushOutput(&bits);
  FlushOutput(&bits);
  for (int i = 0; i < 8; ++i) OutputBit(&bits, 1);
  EXPECT_EQ(Contents(f), "\x60\xFF");
  std::rewind(f);
  InitializeBitStream(&bits, f);
  EXPECT_EQ(InputValue(&bits, 3), 6);
  FlushInput(&bits);
  EXPECT_EQ(InputBit(&bits), 1);
  FlushInput(&bits);
  CaptureStderr();
  EXPECT_EQ(InputBit(&bits), -1);
  EXPECT_EQ(InputValue(&bits, 4), 15);
  std::string eofs;
  for (int i = 0; i < 5; ++i) eofs += "Unexpected EOF in input file.";
  EXPECT_EQ(GetCapturedStderr(), eofs);
  std::fclose(f);
  EXPECT_EXIT(OutputBit(&bits, 2), testing::KilledBySignal(SIGABRT),
              testing::HasSubstr("Assertion `bit == 0 || bit == 1' failed"));
}

TEST(FileNames, DeriveCompleteAndCompare) {
  // name, with the extension "cb" completed, cut at its first '.'
  for (const auto& [name, completed, picked] :
       std::vector<std::tuple<std::string, std::string, std::string>>{{"data", "data.cb", "data"},
                                                                      {"data.ts", "data.ts", "data"},
                                                                      {"data.", "data.", "data"},
                                                                      {".hidden", ".hidden", ""},
                                                                      {"old.dir/data", "old.dir/data.cb", "old"},
                                                                      {"a.b.c", "a.b.c", "a"},
                                                                      {"old.dir\\data", "old.dir\\data.cb", "old"},
                                                                      {"./set.ts", "./set.ts", ""},
                                                                      {"", ".cb", ""}}) {
    std::string withExtension = name, cut = "stale";
    CheckFileName(withExtension, "cb");
    PickFileName(name, cut);
    EXPECT_EQ(withExtension + " " + cut, completed + " " + picked);
    // The same in a caller's 80-byte buffers, and in place.
    char buffer[80], picks[80] = "stale", inPlace[80];
    std::snprintf(buffer, sizeof buffer, "%s", name.c_str());
    std::snprintf(inPlace, sizeof inPlace, "%s", name.c_str());
    CheckFileName(buffer, "cb");
    PickFileName(name.c_str(), picks);
    PickFileName(inPlace, inPlace);
    EXPECT_EQ(std::string(buffer) + " " + picks + " " + inPlace, completed + " " + picked + " " + picked);
  }
  EXPECT_EQ(std::vector<int>({CheckExtention("x.cb", "cb"), CheckExtention("x.CB", "cb"),
                              CheckExtention("x.y.cb", "cb"), CheckExtention("x", "cb")}),
            std::vector<int>({1, 0, 0, 0}));
  EXPECT_EQ(std::vector<int>({EqualFileNames("A.TS", "a.ts"), EqualFileNames("", ""), EqualFileNames("a", "ab"),
                              EqualFileNames("ab", "a"), EqualFileNames("[", "{")}),  // only a-z change case
            std::vector<int>({1, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace mirvo::test
