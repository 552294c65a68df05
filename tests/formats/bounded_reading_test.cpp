// Hostile files: header values at the ends of the 32-bit range in every
// notation are refused (or read) without an allocation the file cannot
// justify, frequencies whose sums leave 32 bits are refused, and text lines
// holding a zero byte do not throw the reader off its lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::ExitedWithCode;
using testing::StrEq;

const std::string kSeparator = std::string(37, '-') + "\n";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// In a death-test child: no more than 512 MiB of address space, so that an
// allocation sized by a header value fails instead of succeeding lazily.
// AddressSanitizer reserves far more address space; there the limit is left
// out and the tests check the messages only.
void LimitAddressSpace() {
  if (kAddressSanitizer) return;
  const rlimit limit{rlim_t{512} << 20, rlim_t{512} << 20};
  setrlimit(RLIMIT_AS, &limit);
}

std::string Named(std::string text, const std::string& path) {
  if (const auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, path);
  return text;
}

std::string V2Header(const std::string& fields) { return "VQ TRAINING SET 2.0\n" + fields + kSeparator; }

// A version 2 training set of one-element vectors with these frequencies;
// the header's total is 0.
std::string WithFrequencies(const std::vector<int>& freqs) {
  std::string bytes = V2Header("1\n1\n" + std::to_string(freqs.size()) + "\n0\n1\n0\n0\n0\n");
  for (const int f : freqs) bytes += std::string("\0\x01", 2) + BigEndian(static_cast<std::uint32_t>(f), 4);
  return bytes;
}

TEST(BoundedReading, CodebookHeaderValuesAreRefusedBeforeAllocating) {
  const std::string tooShort = "ERROR: @ is too short for the 2147483647 vectors its header announces.\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {V2Header("1\n1\n2147483647\n0\n1\n0\n0\n0\n") + std::string(64, '\0'), tooShort},
      {V2Header("1\n1\n0x7fffffff\n0\n1\n0\n0\n0\n") + std::string(64, '\0'), tooShort},
      {V2Header("1\n1\n017777777777\n0\n1\n0\n0\n0\n") + std::string(64, '\0'), tooShort},
      {V2Header("017777777777\n1\n1\n0\n4\n0\n0\n0\n") + std::string(64, '\0'),
       "ERROR: @ is too short for the 1 vectors its header announces.\n"},
      {V2Header("1\n0x7fffffff\n1\n0\n1\n0\n0\n0\n") + std::string(64, '\0'),
       "ERROR: @ is too short for the 1 vectors its header announces.\n"},
      {V2Header("1\n1\n-0x7fffffff\n0\n1\n0\n0\n0\n"),
       "ERROR: The header of @ gives a negative number of vectors (-2147483647).\n"},
      {V2Header("1\n1\n1\n0\n2147483647\n0\n0\n0\n") + std::string(64, '\0'),
       "ERROR: The header of @ gives 2147483647 bytes per element; it must be 1 to 4.\n"},
      {"VQ TRAINING SET 1.0\n1\n1\n2147483647\n0\n0\n0\n0\n0\n" + kSeparator + std::string(64, '\0'), tooShort},
  };
  TempDir dir;
  const std::string path = dir.File("in.ts");
  for (const auto& [bytes, err] : cases) {
    WriteFile(path, bytes);
    Codebook cb;
    EXPECT_EXIT((LimitAddressSpace(), ReadCodebook(path.c_str(), &cb)), ExitedWithCode(255), StrEq(Named(err, path)))
        << bytes.substr(0, 60);
  }
  // Values the records do not depend on are carried, whatever their size.
  WriteFile(path, V2Header("1\n1\n0\n0\n1\n0x7fffffff\n-2147483648\n017777777777\n"));
  Codebook cb;
  ReadCodebook(path.c_str(), &cb);
  EXPECT_EQ(cb.ReservedValue, 2147483647);
  EXPECT_EQ(cb.ErrorScaling, -2147483647 - 1);
  EXPECT_EQ(cb.InheritLevel, 2147483647);
  EXPECT_EQ(cb.BookSize, 0);
}

// Through a FIFO, whose length is not known ahead, the entries grow as the
// records arrive: a count of long vectors announced by the header takes no
// memory before they come.
TEST(BoundedReading, CodebookEntriesGrowAsRecordsArrive) {
  TempDir dir;
  const std::string path = dir.File("in.ts");
  constexpr int kDimension = 1 << 20;  // 4 MiB a vector: 1000 of them are beyond the limit
  const std::string bytes =
      V2Header("1024\n1024\n1000\n0\n1\n0\n0\n0\n") + '\0' + std::string(kDimension, '\x07') + BigEndian(3, 4) + "x";
  EXPECT_EXIT(
      {
        LimitAddressSpace();
        const Fifo fifo(path, bytes);
        Codebook cb;
        ReadCodebook(path.c_str(), &cb);
      },
      ExitedWithCode(255), StrEq("ERROR: premature end of file\n"));
}

TEST(BoundedReading, PartitionCountsBeyondTheDataAreRefusedBeforeAllocating) {
  TempDir dir;
  Codebook small, emptyWide;
  MakeSet(&small, {{{1, 2}, 1, ""}, {{3, 4}, 1, ""}, {{5, 6}, 1, ""}}, 2, 1, 1);
  CreateNewTrainingSet(&emptyWide, 0, 2147483647, 1, 1, 0, 0, 0, "");
  const std::string head = "VQ PARTITIONING 2.0\n", tooLarge = "ERROR: The partition count of @ ";
  struct Case {
    const Codebook* ts;
    std::string text, err;
  };
  const std::vector<Case> cases = {
      {&small, head + "2147483647\n3\n" + kSeparator + "1\n1\n1\n",
       tooLarge + "(2147483647) is too large for a training set of 3 vectors.\n"},
      {&small, head + "0x7fffffff\n3\n" + kSeparator + "1\n1\n1\n",
       tooLarge + "(2147483647) is too large for a training set of 3 vectors.\n"},
      {&small, head + "017777777777\n3\n" + kSeparator + "1\n1\n1\n",
       tooLarge + "(2147483647) is too large for a training set of 3 vectors.\n"},
      {&small, head + "-2147483648\n3\n" + kSeparator, tooLarge + "is -2147483648; it must be 1 to 2147483647.\n"},
      {&emptyWide, head + "1\n0\n" + kSeparator, tooLarge + "(1) is too large for a training set of 0 vectors.\n"},
      {&small, head + "3\n2147483647\n" + kSeparator + "1\n1\n1\n",
       "ERROR: Partitioning is not for this training set (2147483647 != 3).\n"},
      {&small, head + "3\n3\n" + kSeparator + "1\n0x7fffffff\n1\n",
       "ERROR: Invalid partition index (2147483647) found.\n"},
      {&small, head + "3\n3\n" + kSeparator + "1\n-017777777777\n1\n",
       "ERROR: Invalid partition index (-2147483647) found.\n"},
  };
  const std::string path = dir.File("in.pa");
  for (const Case& c : cases) {
    WriteFile(path, c.text);
    Partitioning p;
    EXPECT_EXIT((LimitAddressSpace(), ReadPartitioning(path.c_str(), &p, c.ts)), ExitedWithCode(255),
                StrEq(Named(c.err, path)))
        << c.text;
  }
}

TEST(BoundedReading, GraphHeaderValuesAreBoundedByTheFile) {
  TempDir dir;
  const std::string path = dir.File("in.graph");
  const std::string sep = "---\n";
  struct Case {
    std::string text, err;
    bool graph, header;  // GraphRead gives a graph; IsGraphFile says 1
  };
  const std::vector<Case> cases = {
      // More vectors than the file has bytes for their line breaks: a
      // header, but no graph.
      {"Graph v. 1\n2147483647\n0\n0\n" + sep + "\n", "", false, true},
      {"Graph v. 1\n0x7fffffff\n0\n0\n" + sep + "\n\n\n", "", false, true},
      {"Graph v. 1\n9\n0\n0\n" + sep + "\n\n\n", "", false, true},
      // Lines too short for the numbers announced: nothing allocated for them.
      {"Graph v. 1\n1\n2147483647\n0\n" + sep + "1 2\n",
       "ERROR: Graph file @: line 6 holds 2 numbers instead of 2147483647.\n", false, true},
      {"Graph v. 1\n1\n0\n017777777777\n" + sep + "5\n",
       "ERROR: Graph file @: line 6 holds 1 numbers instead of 2147483647.\n", false, true},
      {"Graph v. 1\n1\n0x7fffffff\n0x7fffffff\n" + sep + "\n",
       "ERROR: Graph file @: line 6 holds 0 numbers instead of 4294967294.\n", false, true},
      // The same values where the file holds what they announce.
      {"Graph v. 1\n3\n0\n0\n" + sep + "\n\n\n", "", true, true},
      {"Graph v. 1\n1\n1\n2\n" + sep + "1 2 0\n", "", true, true},
  };
  for (const Case& c : cases) {
    WriteFile(path, c.text);
    // The child prints what it saw: the message, then the two answers.
    const std::string expected = Named(c.err, path) + (c.graph ? "graph" : "null") + (c.header ? " header" : " none");
    EXPECT_EXIT(
        {
          LimitAddressSpace();
          Graph* g = GraphRead(path.c_str());
          std::fprintf(stderr, "%s %s", g != nullptr ? "graph" : "null", IsGraphFile(path.c_str()) ? "header" : "none");
          FreeGraph(g);
          std::exit(0);
        },
        ExitedWithCode(0), StrEq(expected))
        << c.text;
  }
}

// Any selection of the vectors, so any partition, adds up to a frequency
// that 32 bits hold: a file where that is not so is refused.
TEST(BoundedReading, FrequencySumsBeyond32BitsAreRefused) {
  const std::string more = "ERROR: The frequencies in @ add up to more than 2147483647.\n";
  struct Case {
    std::string bytes;
    std::string err;  // empty: read, TotalFreq as given
    int total;
  };
  std::string v1Head = "VQ TRAINING SET 1.0\n1\n1\n", v1Full, v1Over;
  for (int i = 0; i < 32768; ++i) v1Full += std::string("\x07\xff\xff", 3);  // 32768 x 65535
  v1Over = v1Full + std::string("\x07\xff\xff", 3);
  const auto v1 = [&](const std::string& records) {
    return v1Head + std::to_string(records.size() / 3) + "\n0\n0\n0\n0\n0\n" + kSeparator + records;
  };
  const std::vector<Case> cases = {
      {WithFrequencies({2147483647}), "", 2147483647},
      {WithFrequencies({2147483646, 1}), "", 2147483647},
      {WithFrequencies({-2147483647}), "", -2147483647},
      {WithFrequencies({2147483647, 1}), more, 0},
      {WithFrequencies({1073741824, 1073741824, -5}), more, 0},
      {WithFrequencies({-2147483647, -1}), more, 0},
      {WithFrequencies({-2147483647 - 1}), more, 0},
      {v1(v1Full), "", 32768 * 65535},
      {v1(v1Over), more, 0},
  };
  TempDir dir;
  const std::string path = dir.File("in.ts");
  for (const Case& c : cases) {
    WriteFile(path, c.bytes);
    Codebook cb;
    if (!c.err.empty()) {
      EXPECT_EXIT(ReadCodebook(path.c_str(), &cb), ExitedWithCode(255), StrEq(Named(c.err, path)));
      continue;
    }
    testing::internal::CaptureStdout();  // the warning about the header's total
    ReadCodebook(path.c_str(), &cb);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cb.TotalFreq, c.total);
  }
}

// The writer refuses a total it could not store, before it writes anything.
TEST(BoundedReading, WriterRefusesTotalsBeyond32BitsAndKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir.File("out.cb");
  for (const auto& freqs : std::vector<std::vector<int>>{{2147483647, 1}, {-2147483647 - 1, -1}}) {
    Codebook cb;
    CreateNewTrainingSet(&cb, 2, 1, 1, 1, 0, 0, 0, "");
    cb.Book[0].Freq = freqs[0];
    cb.Book[1].Freq = freqs[1];
    WriteFile(path, "old");
    EXPECT_EXIT(WriteCodebook(path.c_str(), &cb, 1), ExitedWithCode(255),
                StrEq("ERROR: The frequencies of the codebook for " + path + " add up to more than 32 bits hold.\n"));
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.cb"});
  }
}

// A header line other than a training set's or a codebook's is written as it
// is; one that would read back in another layout, or not at all, is refused
// before writing.
TEST(BoundedReading, WriterRefusesHeaderLinesThatReadBackDifferently) {
  TempDir dir;
  const std::string path = dir.File("out.cb");
  struct Case {
    const char* header;
    const char* written;  // null: refused
  };
  for (const Case& c : std::vector<Case>{{"VQ PARTITIONING VQ TS 0.1", nullptr},
                                         {"MY SET 1.2", nullptr},
                                         {"NO VERSION", nullptr},
                                         {"MY SET\n2.0", nullptr},
                                         {"MY SET 2.1", "MY SET 2.1"},
                                         {"VQ CODEBOOK 1.0", "VQ CODEBOOK 2.0"}}) {
    Codebook cb, back;
    MakeSet(&cb, {{{7, 8}, 3, "v"}}, 2, 1, 1);
    std::snprintf(cb.VersionString, sizeof cb.VersionString, "%s", c.header);
    if (c.written == nullptr) {
      EXPECT_EXIT(WriteCodebook(path.c_str(), &cb, 1), ExitedWithCode(255),
                  StrEq("ERROR: Cannot write " + path + ": its header line does not name version 2.\n"))
          << c.header;
      EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{});
      continue;
    }
    WriteCodebook(path.c_str(), &cb, 1);
    ReadCodebook(path.c_str(), &back);
    EXPECT_STREQ(back.VersionString, c.written);
    EXPECT_EQ(back.BookSize, 1);
    EXPECT_EQ(back.Book[0].Freq, 3);
    EXPECT_STREQ(back.Book[0].Name, "v");
    std::remove(path.c_str());
  }
}

// A record for another training set is refused before a byte is written: an
// existing file stays as it was, even with overwriting allowed.
TEST(BoundedReading, PartitioningSizeCheckComesBeforeWriting) {
  TempDir dir;
  Codebook ts, other;
  MakeSet(&ts, {{{1}, 1, ""}, {{2}, 1, ""}}, 1, 1, 1);
  MakeSet(&other, {{{1}, 1, ""}}, 1, 1, 1);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 2);
  const std::string path = dir.File("out.pa");
  WriteFile(path, "old");
  EXPECT_EXIT(WritePartitioning(path.c_str(), &p, &other, 1), ExitedWithCode(255),
              StrEq("ERROR: Partitioning is not for this training set (2 != 1).\n"));
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.pa"});
}

// A zero byte inside a text line ends the text there; the line still ends at
// its line break, and the next line is read as the next line.
TEST(BoundedReading, ZeroBytesInTextLinesKeepTheLines) {
  TempDir dir;
  const std::string path = dir.File("in");
  const std::string record = std::string("v\0\x05\x06\0\0\0\x02", 8);
  struct Case {
    std::string bytes, method;
  };
  for (const Case& c : std::vector<Case>{
           {"VQ CODEBOOK 2.0\n2\n1\n1\n2\n1\n0\n0\n0\n" + std::string("\0junk\n", 6) + kSeparator + record, ""},
           {"VQ CODEBOOK 2.0\n2\n1\n1\n2\n1\n0\n0\n0\n" + std::string("ab\0cd\n", 6) + kSeparator + record, "ab"},
           {"VQ CODEBOOK 1.0\n2\n1\n1\n0\n0\n0\n0\n0\n" + std::string("x\0y\n", 4) + kSeparator +
                std::string("\x05\x06\x02\0", 4),
            "x"}}) {
    WriteFile(path, c.bytes);
    Codebook cb;
    ReadCodebook(path.c_str(), &cb);
    EXPECT_EQ(cb.GenerationMethod, c.method);
    ASSERT_EQ(cb.BookSize, 1);
    EXPECT_EQ(std::vector<int>(cb.Book[0].Vector, cb.Book[0].Vector + 2), (std::vector<int>{5, 6}));
    EXPECT_EQ(cb.Book[0].Freq, 2);
  }
  Codebook ts;
  MakeSet(&ts, {{{1}, 1, ""}, {{2}, 1, ""}}, 1, 1, 1);
  for (const Case& c :
       std::vector<Case>{{std::string("VQ PARTITIONING 2.0\0tail\n", 25) + "2\n2\n" + kSeparator + "2\n1\n", ""},
                         {"VQ PARTITIONING 2.0\n2\n2\n" + std::string("ab\0c\n", 5) + kSeparator + "2\n1\n", "ab"}}) {
    WriteFile(path, c.bytes);
    Partitioning p;
    ReadPartitioning(path.c_str(), &p, &ts);
    EXPECT_EQ(p.GenerationMethod, c.method);
    EXPECT_EQ(p.PartitionCount, 2);
    EXPECT_EQ(std::vector<int>(p.PartitionOf, p.PartitionOf + 2), (std::vector<int>{1, 0}));
  }
}

}  // namespace
}  // namespace mirvo::test
