// The block decoders of the readers against byte-wise references: training
// set records of every width, with and without names, and partitioning lines
// in every form the "%i" conversion reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "engine/search.h"
#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/mirvo.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

TEST(RecordDecoding, ReadsWhatTheByteWiseEncodingHolds) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 60; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), x = r.Int(1, 300), y = seed % 7 == 0 ? 2 : 1;
    // Records long enough to straddle the reader's buffer now and then.
    const int n = seed % 10 == 3 ? 3000 : r.Int(0, 40);
    const auto vectors = r.Vectors(n, x * y, width, seed % 2 == 0);
    const std::string file = dir.File("s.ts");
    WriteFile(file, SetFileBytes(vectors, x, y, width));
    Codebook cb;
    ReadCodebook(file.c_str(), &cb);
    ASSERT_EQ(cb.BookSize, n) << seed;
    for (int i = 0; i < n; ++i) {
      const BookNode& node = cb.Book[i];
      ASSERT_EQ(std::vector<int>(node.Vector, node.Vector + x * y), vectors[i].elements) << seed << " " << i;
      ASSERT_EQ(node.Freq, vectors[i].freq) << seed << " " << i;
      ASSERT_EQ(std::string(node.Name != nullptr ? node.Name : ""), vectors[i].name) << seed << " " << i;
    }
  }
}

// Records left in the reader's buffer (one-byte elements, no name) against
// the records written: their elements, frequencies, and whether all of
// these are 1; a record with a name is read instead. The totals counted
// give no warning.
TEST(RecordDecoding, RecordsViewedInPlaceAreTheRecordsWritten) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    RandomData r(seed);
    const int d = seed % 4 == 0 ? 16 : r.Int(1, 40), n = seed % 5 == 0 ? 30000 : r.Int(0, 300);
    auto vectors = r.Vectors(n, d, 1, seed % 4 == 0);
    for (auto& v : vectors) {
      // All 1, 1 but for a few, or anything.
      if (seed % 3 != 0) v.freq = seed % 3 == 2 && r.Int(0, 40) == 0 ? r.Int(-1, 2) : 1;
      if (!v.name.empty() && r.Int(0, 20) != 0) v.name.clear();  // a few names among many without
    }
    const std::string file = dir.File("s.ts");
    WriteFile(file, SetFileBytes(vectors, d, 1, 1));
    Codebook header;
    cbdetail::Refusals refusals(true);
    cbdetail::SetFileReader set(file.c_str(), &header, refusals);
    std::vector<int> freqs(static_cast<std::size_t>(n) + 1);
    std::vector<unsigned char> copied(freqs.size() * static_cast<std::size_t>(d));
    for (int at = 0, take = 0; at < n; at += take) {
      take = std::min(n - at, r.Int(1, 3) == 1 ? r.Int(1, 20) : r.Int(1, 5000));
      RowBlock block;
      const int viewed = set.View(take, &block);
      std::int64_t total = 0, magnitude = 0;
      const bool ones = viewed > 0 && cbdetail::Frequencies(block, freqs.data(), total, magnitude);
      if (viewed > 0) set.Account(total, magnitude);
      const unsigned char* rows = static_cast<const unsigned char*>(block.data);
      std::size_t stride = block.stride;
      if (viewed == 0) {
        set.Read(1, copied.data(), freqs.data(), nullptr);
        rows = copied.data();
        stride = static_cast<std::size_t>(d);
        take = 1;
      } else {
        take = viewed;
        bool all = true;
        for (int i = 0; i < viewed; ++i) all = all && vectors[static_cast<std::size_t>(at + i)].freq == 1;
        EXPECT_EQ(ones, all) << seed << " " << at;
        if (ones) std::fill_n(freqs.begin(), viewed, 1);  // left as they were
      }
      for (int i = 0; i < take; ++i) {
        const VectorSpec& want = vectors[static_cast<std::size_t>(at + i)];
        const unsigned char* row = rows + static_cast<std::size_t>(i) * stride;
        ASSERT_EQ(std::vector<int>(row, row + d), want.elements) << seed << " " << at + i;
        ASSERT_EQ(freqs[static_cast<std::size_t>(i)], want.freq) << seed << " " << at + i;
      }
    }
    set.Finish();
    EXPECT_TRUE(refusals.Messages().empty()) << seed;
  }
}

// What "%i" reads on a vector line, then the rest of the line skipped:
// the reference is the C library's own scanner.
std::vector<long long> Reference(const std::string& text, int lines) {
  std::vector<long long> values;
  std::size_t at = 0;
  for (int i = 0; i < lines; ++i) {
    long long value = 0;
    int used = 0;
    if (std::sscanf(text.c_str() + at, "%lli%n", &value, &used) != 1) break;
    values.push_back(value);
    const std::size_t end = text.find('\n', at + static_cast<std::size_t>(used));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return values;
}

TEST(RecordDecoding, PartitionLinesFollowTheScanner) {
  // Text before the number, its form (decimal, "%#o", "%#x", "%#X") and text
  // after it.
  struct Form {
    const char* before;
    int base;
    const char* after;
  };
  const Form forms[] = {{"", 10, ""},      {"", 10, "\n"},     {" ", 10, ""}, {"\t", 10, " x"}, {"", 8, ""},
                        {"", 16, ""},      {"", 17, ""},       {"+", 10, ""}, {"\n\n", 10, ""}, {"", 10, "\r"},
                        {"", 10, " name"}, {"  \v", 10, "\t"}, {"0", 10, ""}, {"", 10, "\f"}};
  const auto number = [](int base, int value) {
    char text[32];
    switch (base) {
      case 8:
        std::snprintf(text, sizeof text, "%#o", static_cast<unsigned>(value));
        break;
      case 16:
        std::snprintf(text, sizeof text, "%#x", static_cast<unsigned>(value));
        break;
      case 17:
        std::snprintf(text, sizeof text, "%#X", static_cast<unsigned>(value));
        break;
      default:
        std::snprintf(text, sizeof text, "%d", value);
    }
    return std::string(text);
  };
  TempDir dir;
  for (unsigned seed = 1; seed <= 240; ++seed) {
    RandomData r(seed);
    // The lines of each file read on one level of the kernels in turn (16 at
    // a time where the level has a scanner, else one at a time).
    const ForcedLevel level(EveryLevel()[seed % EveryLevel().size()]);
    // Now and then numbers of up to seven digits (the most a partition count
    // may have without as many vectors), and files longer than the reader's
    // buffer, read many lines at a time; every fourth file mostly plain
    // lines, the odd one among them anywhere.
    const int partitions = seed % 3 == 0 ? r.Int(1, 8388608) : r.Int(1, seed % 4 == 1 ? 12000 : 3000);
    const int lines = seed % 40 == 0 ? 60000 : seed % 4 == 1 ? r.Int(1, 400) : r.Int(1, 60);
    const int plain = seed % 4 == 1 ? 95 : 0;  // per cent
    std::string text;
    for (int i = 0; i < lines; ++i) {
      const int value = r.Int(0, plain > 0 ? 300 : 9) == 0 ? r.Int(-2, partitions + 2) : r.Int(1, partitions);
      const Form& form = r.Int(1, 100) <= plain ? forms[1] : forms[r.Int(0, static_cast<int>(std::size(forms)) - 1)];
      text += form.before + number(form.base, value) + form.after;
      if (text.back() != '\n' && r.Int(0, 5) != 0) text += '\n';
    }
    if (r.Int(0, 3) == 0) text += "garbage";
    const std::string file = dir.File("p.pa");
    WriteFile(file, "VQ PARTITIONING 2.0\n" + std::to_string(partitions) + "\n" + std::to_string(lines) + "\n" +
                        std::string(37, '-') + "\n" + text);
    cbdetail::Refusals refusals(true);
    cbdetail::PartitioningFileReader reader(file.c_str(), lines, 1, refusals);
    std::vector<int> got(static_cast<std::size_t>(lines), -7);
    try {
      for (int at = 0, take = 0; at < lines; at += take) {
        take = std::min(lines - at, r.Int(1, 3) == 1 ? 1 : r.Int(1, 5000));
        reader.Read(&got[static_cast<std::size_t>(at)], take);
      }
    } catch (const cbdetail::Refusals::Deferred&) {
    }
    const int read = static_cast<int>(std::find(got.begin(), got.end(), -7) - got.begin());
    const std::string error = refusals.Messages().empty() ? "" : refusals.Messages().back();

    const auto want = Reference(text, lines);
    int valid = 0;
    while (valid < static_cast<int>(want.size()) && want[valid] >= 1 && want[valid] <= partitions) ++valid;
    ASSERT_EQ(read, valid) << "seed " << seed << "\n" << text;
    for (int i = 0; i < valid; ++i) EXPECT_EQ(got[i], want[i] - 1) << "seed " << seed << " line " << i;
    if (valid == lines) {
      EXPECT_EQ(error, "") << seed;
    } else if (valid == static_cast<int>(want.size())) {
      EXPECT_EQ(error, "ERROR reading partitioning.\n") << seed;
    } else {
      EXPECT_EQ(error, "ERROR: Invalid partition index (" + std::to_string(want[valid]) + ") found.\n") << seed;
    }
  }
}

}  // namespace
}  // namespace mirvo::test
