// Training-set and codebook files: exact bytes written, all three versions
// read, and every refusal with its message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::ExitedWithCode;
using testing::StrEq;

const std::string kSeparator(37, '-');

// The record on one line: header fields, then each entry's elements, mean,
// frequency and name ("-" for none).
std::string Describe(const Codebook& cb) {
  std::string text =
      std::string(cb.VersionString) + "|" + std::to_string(cb.VectorSizeX) + "x" + std::to_string(cb.VectorSizeY);
  for (const int v :
       {cb.BookSize, cb.TotalFreq, cb.BytesPerElement, cb.ReservedValue, cb.ErrorScaling, cb.InheritLevel}) {
    text += " " + std::to_string(v);
  }
  text += "|" + std::string(cb.GenerationMethod) + "|";
  for (int i = 0; i < cb.BookSize; ++i) {
    text += " [";
    for (int k = 0; k < VectorSize(&cb); ++k) text += (k > 0 ? "," : "") + std::to_string(cb.Book[i].Vector[k]);
    text += "]m" + std::to_string(cb.Book[i].VectorMean) + "f" + std::to_string(cb.Book[i].Freq) +
            (cb.Book[i].Name != nullptr ? cb.Book[i].Name : "-");
  }
  return text;
}

// The path inserted for the '@' of a message.
std::string Message(std::string text, const std::string& path) {
  if (const auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, path);
  return text;
}

TEST(CodebookFile, WritesTheDocumentedLayout) {
  TempDir dir;
  const std::string a = dir.File("a.ts"), b = dir.File("b.ts");
  const std::string header = "VQ TRAINING SET 2.0\n2\n1\n1\n2\n1\n0\n0\n0\n" + kSeparator + "\n";
  Codebook cb, back;
  MakeSet(&cb, {{{3, 250}, 2, "a"}}, 2, 1, 1);
  cb.TotalFreq = 0;
  WriteCodebook(a.c_str(), &cb, 0);
  EXPECT_EQ(ReadFile(a), header + std::string("a\0\x03\xFA\0\0\0\x02", 8));
  cb.Book[0].Freq = 5;
  testing::internal::CaptureStderr();
  WriteCodebook(a.c_str(), &cb, 0);  // kept, but the total is recomputed all the same
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: File already exists: " + a);
  EXPECT_EQ(cb.TotalFreq, 5);
  EXPECT_EQ(ReadFile(a).back(), '\x02');
  // An empty name is written as a lone zero byte and read back as no name.
  ChangeVectorName(&cb.Book[0], "");
  WriteCodebook(b.c_str(), &cb, 0);
  EXPECT_EQ(ReadFile(b).substr(header.size()), std::string("\0\x03\xFA\0\0\0\x05", 7));
  ReadCodebook(b.c_str(), &back);
  EXPECT_EQ(back.Book[0].Name, nullptr);
  FreeCodebook(&back);
  FreeCodebook(&cb);
}

TEST(CodebookFile, RandomRecordsComeBackUnchanged) {
  std::mt19937 random(17);
  TempDir dir;
  for (int round = 0; round < 12; ++round) {
    const int width = round % 4 + 1, x = static_cast<int>(random() % 4) + 1, y = static_cast<int>(random() % 3) + 1;
    std::vector<VectorSpec> vectors(round == 0 ? 0 : round == 11 ? 150'000 : random() % 40);
    for (VectorSpec& s : vectors) {
      for (int k = 0; k < x * y; ++k) {
        const auto bits = static_cast<std::uint32_t>(random());
        s.elements.push_back(width == 4 ? static_cast<int>(bits) : static_cast<int>(bits >> (32 - 8 * width)));
      }
      s.freq = static_cast<int>(random() % 1000);
      if (random() % 3 != 0) s.name.assign(random() % 80, static_cast<char>('!' + random() % 90));
    }
    const std::string method = round % 2 == 0 ? "" : std::string(random() % 79, 'g') + "+";
    Codebook written, read;
    MakeSet(&written, vectors, x, y, width, round % 3 == 0);
    std::snprintf(written.GenerationMethod, 80, "%s", method.c_str());
    const std::string path = dir.File("set" + std::to_string(round));
    WriteCodebook(path.c_str(), &written, 0);
    ASSERT_EQ(ReadFile(path), SetFileBytes(vectors, x, y, width, round % 3 == 0, method));
    ReadCodebook(path.c_str(), &read);
    ASSERT_EQ(Describe(read), Describe(written));
    EXPECT_EQ(read.AllocatedSize, read.BookSize);
    {  // The same bytes through a FIFO, whose length is not known ahead.
      const Fifo fifo(path + ".fifo", ReadFile(path));
      ReadCodebook((path + ".fifo").c_str(), &read);
    }
    ASSERT_EQ(Describe(read), Describe(written));
    EXPECT_EQ(read.AllocatedSize, read.BookSize);
    FreeCodebook(&written);
    FreeCodebook(&read);
  }
}

TEST(CodebookFile, ReadsEveryVersionAndVariant) {
  const std::string one = std::string("\0\x01\x02\0\0\0\x03", 7), head = "VQ CODEBOOK 2.0|2x1 1 3 1 ";
  const auto v2 = [](const std::string& fields) { return "VQ CODEBOOK 2.0\n" + fields + kSeparator + "\n"; };
  struct Case {
    std::string bytes, record, out;
  };
  for (const Case& c : std::vector<Case>{
           {v2("0x2\n01\n1\n0x3\n1\n010\n0\n0\n") + one, head + "8 0 0|| [1,2]m2f3-", ""},
           {v2("2\n\n 1\n1\n3\n1\n-4\n1\n2\ngm\r\n") + one, head + "-4 1 2|gm\r| [1,2]m2f3-", ""},
           {v2("2\n1\n1\n3\n1\n0\n0\n0\n   " + std::string(100, 'g') + "\n") + one,
            head + "0 0 0|" + std::string(79, 'g') + "| [1,2]m2f3-", ""},
           {v2("2\n1\n1\n10\n1\n0\n0\n0\n") + one, head + "0 0 0|| [1,2]m2f3-",
            "WARNING: TotalFreq header field = 10 but calculated totalfreq = 3.\n"},
           {v2("3\n1\n1\n1\n1\n0\n0\n0\n") + std::string(79, 'n') + std::string("\0\x01\x01\x02\0\0\0\x01", 8),
            "VQ CODEBOOK 2.0|3x1 1 1 1 0 0 0|| [1,1,2]m1f1" + std::string(79, 'n'), ""},
           {v2("2\n1\n1\n1\n4\n0\n0\n0\n") + std::string("\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE\0\0\0\x01", 13),
            "VQ CODEBOOK 2.0|2x1 1 1 4 0 0 0|| [-1,-2]m-1f1-", ""},
           {v2("2\n1\n0\n0\n1\n0\n0\n0\n"), "VQ CODEBOOK 2.0|2x1 0 0 1 0 0 0||", ""},
           {"VQ TRAINING SET 2.0 site-42\n2\n1\n1\n3\n1\n0\n0\n0\n" + kSeparator + "\n" + one,
            "VQ TRAINING SET 2.0 site-42|2x1 1 3 1 0 0 0|| [1,2]m2f3-", ""},
           {"VQ TRAINING SET 1.0\n2\n1\n1\n3\n9\n9\n9\n1\n---\n\x01\x02\x02\x01",
            "VQ TRAINING SET 1.0|2x1 1 258 1 0 1 3|| [1,2]m2f258-", ""},
           {"VQ CODEBOOK 0.5 beta2\n2\n1\n2\n0\n9\n9\n9\n0\n  method\r\n-\n\x01\x02\x02\x01\x05\x06\x07\x01",
            "VQ CODEBOOK 0.5 beta2|2x1 2 521 1 0 0 0|method\r| [1,2]m2f258- [5,6]m6f263-", ""},
           {"VQ CODEBOOK 1\n2\n1\n0\n0\n9\n9\n9\n0\n-method\n-\n", "VQ CODEBOOK 1|2x1 0 0 1 0 0 0|-method|", ""}}) {
    SCOPED_TRACE(c.record);
    TempDir dir;
    WriteFile(dir.File("in"), c.bytes);
    Codebook cb, again;
    testing::internal::CaptureStdout();
    ReadCodebook(dir.File("in").c_str(), &cb);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(Describe(cb), c.record);
    if (cb.GenerationMethod[0] != '-') {  // such a method cannot be written
      // Written back in the current layout; an old header line gives way to
      // the current one, a version 2 line stays whole.
      WriteCodebook(dir.File("out").c_str(), &cb, 0);
      ReadCodebook(dir.File("out").c_str(), &again);
      std::string expected = Describe(cb);
      if (*std::strpbrk(cb.VersionString, "0123456789") != '2') {
        expected.replace(0, expected.find('|'), cb.VersionString[3] == 'T' ? "VQ TRAINING SET 2.0" : "VQ CODEBOOK 2.0");
      }
      EXPECT_EQ(Describe(again), expected);
    }
    FreeCodebook(&cb);
    FreeCodebook(&again);
  }
}

TEST(CodebookFile, RefusesBrokenFiles) {
  const std::string ints = "2\n1\n1\n1\n1\n0\n0\n0\n";
  const auto v2 = [](const std::string& fields) { return "VQ CODEBOOK 2.0\n" + fields + kSeparator + "\n"; };
  const auto header = [](const char* field) { return "ERROR: The header of @ " + std::string(field) + "\n"; };
  TempDir dir;
  const std::string path = dir.File("in");
  for (const auto& [bytes, err] : std::vector<std::pair<std::string, std::string>>{
           {"VQ CODEBOOK\n" + ints, "ERROR: No version number found in header.\n"},
           {"VQ CODEBOOK 3.0\n" + ints, "ERROR: Unknown file version number (3).\n"},
           {"", "ERROR: empty header (0x00)\n"},
           {std::string("\0VQ CODEBOOK 2.0\n", 17), "ERROR: empty header (0x00)\n"},
           {v2(ints) + "abcdefgh", "ERROR: premature end of file\n"},
           {v2(ints) + std::string(80, 'n') + std::string(7, '\0'),
            "ERROR: Too long vector name:\n" + std::string(80, 'n') + "\nMaximum is 80 characters.\n"},
           {v2("2\n1\n"), header("lacks a number for BookSize.")},
           {v2("2\n1\nmany\n"), header("lacks a number for BookSize.")},
           {v2("4294967296\n"), header("gives VectorSizeX a value beyond 32 bits.")},
           {v2("0\n1\n1\n1\n1\n0\n0\n0\n"), "ERROR: The vector size of @ is 0 x 1; both must be at least 1.\n"},
           {v2("65536\n65536\n1\n1\n1\n0\n0\n0\n"),
            "ERROR: The vector size of @, 65536 x 65536, exceeds 2147483647 elements.\n"},
           {v2("2\n1\n-1\n1\n1\n0\n0\n0\n"), header("gives a negative number of vectors (-1).")},
           {v2("2\n1\n1\n1\n0\n0\n0\n0\n"), header("gives 0 bytes per element; it must be 1 to 4.")},
           {v2("2\n1\n1\n1\n5\n0\n0\n0\n"), header("gives 5 bytes per element; it must be 1 to 4.")},
           {v2("2\n1\n2000000000\n1\n1\n0\n0\n0\n") + std::string(100, '\0'),
            "ERROR: @ is too short for the 2000000000 vectors its header announces.\n"},
           {"VQ TRAINING SET 1.0\n2\n1\n3\n0\n0\n0\n0\n0\n-\n12341234",
            "ERROR: @ is too short for the 3 vectors its header announces.\n"},
           {v2("2\n1\n2\n1\n1\n0\n0\n0\n") + std::string("abcdefgh\0\x01\x02\0\0\0\x01\0\x01\x02\0\0", 20),
            "ERROR: unable to read from file.\nERROR: @ ends inside vector 2 of 2.\n"}}) {
    WriteFile(path, bytes);
    Codebook cb;
    EXPECT_EXIT(ReadCodebook(path.c_str(), &cb), ExitedWithCode(255), StrEq(Message(err, path))) << bytes;
  }
  Codebook cb;
  EXPECT_EXIT(ReadCodebook(dir.File("missing").c_str(), &cb), ExitedWithCode(255),
              StrEq("ERROR: Cannot find the file: " + dir.File("missing")));
}

TEST(CodebookFile, RefusesRecordsThatWouldReadBackWrong) {
  const std::string method =
      "ERROR: Cannot write @: its generation method may neither begin with '-' nor hold a "
      "line break.\n";
  TempDir dir;
  const std::string path = dir.File("out.cb");
  for (const auto& [width, element, generation, err] : std::vector<std::tuple<int, int, const char*, std::string>>{
           {1, 256, "", "ERROR: Vector element value is too big (256). Increase bytes/elem ratio.\n"},
           {2, -1, "",
            "ERROR: Vector element value is negative (-1); only 4 bytes per element hold negative "
            "values.\n"},
           {4, -1, "-x", method},
           {4, -1, "a\nb", method}}) {
    Codebook cb;
    MakeSet(&cb, {{{1, element}, 1, ""}}, 2, 1, width, true);
    std::snprintf(cb.GenerationMethod, 80, "%s", generation);
    EXPECT_EXIT(WriteCodebook(path.c_str(), &cb, 0), ExitedWithCode(255), StrEq(Message(err, path)));
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{});  // nothing left behind
    FreeCodebook(&cb);
  }
}

}  // namespace
}  // namespace mirvo::test
