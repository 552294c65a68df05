// The Codebook record: creation from a template, entries and names,
// resizing, copying and the text field helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "mirvo/cb.h"
#include "mirvo/global.h"
#include "support/test_support.h"

namespace mirvotest {
namespace {

using testing::ExitedWithCode;
using testing::StrEq;

// Entries from..to-1 as "x,y freq name" joined by "|"; "-" for no name.
std::string Entries(const Codebook& cb, int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) {
    const BookNode& n = cb.Book[i];
    text += (i > from ? "|" : "") + std::to_string(n.Vector[0]) + "," + std::to_string(n.Vector[1]) + " " +
            std::to_string(n.Freq) + " " + (n.Name != nullptr ? n.Name : "-");
  }
  return text;
}

TEST(CodebookRecord, NewCodebookTakesItsShapeFromTheTemplate) {
  for (const int inherit : {0, 1, 2}) {
    Codebook ts, cb;
    CreateNewTrainingSet(&ts, 3, 2, 4, 2, 5, 1, inherit, "k-means");
    ts.TotalFreq = 9;
    CreateNewCodebook(&cb, 4, &ts);
    EXPECT_STREQ(ts.VersionString, "VQ TRAINING SET 2.0");
    EXPECT_STREQ(cb.VersionString, "VQ CODEBOOK 2.0");
    EXPECT_EQ(std::vector<int>({cb.VectorSizeX, cb.VectorSizeY, cb.BookSize, cb.AllocatedSize, cb.BytesPerElement,
                                cb.ReservedValue, cb.ErrorScaling, cb.InheritLevel, cb.TotalFreq}),
              std::vector<int>({2, 4, 4, 4, 2, 5, 1, inherit, 9}));
    EXPECT_STREQ(cb.GenerationMethod, inherit > 1 ? "k-means" : "");
  }
}

TEST(CodebookRecord, EntriesResizingAndCopies) {
  Codebook cb, copy;
  std::vector<VectorSpec> vectors;
  for (int i = 0; i < 10; ++i) vectors.push_back({{i, 2 * i}, i + 1, "v" + std::to_string(i)});
  MakeSet(&cb, vectors, 2, 1, 1);
  char* const name = cb.Book[1].Name;
  CopyNode(&cb.Book[1], &cb.Book[1], 2);  // onto itself: the name is kept
  CopyNode(&cb.Book[1], &cb.Book[2], 2);
  ChangeVectorName(&cb.Book[3], nullptr);
  CopyNode(&cb.Book[3], &cb.Book[4], 2);
  EXPECT_TRUE(cb.Book[1].Name == name && cb.Book[2].Name != name);
  EXPECT_EQ(Entries(cb, 0, 5), "0,0 1 v0|1,2 2 v1|1,2 2 v1|3,6 4 -|3,6 4 -");

  DecreaseCodebookSize(&cb, 5);
  ChangeCodebookSize(&cb, 5);
  SetAllocatedCodebookSize(&cb, 9);  // never shrinks
  IncreaseCodebookSize(&cb, 8);      // entries 5..7 come back as they were
  EXPECT_EQ(Entries(cb, 5, 8), "5,10 6 v5|6,12 7 v6|7,14 8 v7");
  EXPECT_EQ(cb.AllocatedSize, 10);
  SetAllocatedCodebookSize(&cb, 12);  // copies the 8 entries in use; 8 and 9 are dropped
  ChangeCodebookSize(&cb, 14);
  EXPECT_EQ(std::vector<int>({cb.BookSize, cb.AllocatedSize, cb.TotalFreq}), std::vector<int>({14, 14, 55}));
  EXPECT_EQ(Entries(cb, 5, 8), "5,10 6 v5|6,12 7 v6|7,14 8 v7");
  EXPECT_TRUE(cb.Book[8].Name == nullptr && cb.Book[9].Name == nullptr);

  CreateNewCodebook(&copy, 20, &cb);
  ChangeVectorName(&copy.Book[16], "beyond");
  CopyCodebook(&cb, &copy);
  EXPECT_EQ(Entries(copy, 0, 14), Entries(cb, 0, 14));
  EXPECT_TRUE(copy.BookSize == 14 && copy.Book[0].Name != cb.Book[0].Name && copy.Book[16].Name != nullptr);
  EXPECT_STREQ(copy.VersionString, "VQ TRAINING SET 2.0");

  EXPECT_EXIT(DecreaseCodebookSize(&cb, 14), ExitedWithCode(255), StrEq(""));
  EXPECT_EXIT(DecreaseCodebookSize(&cb, -1), ExitedWithCode(255), StrEq(""));
  EXPECT_EXIT(IncreaseCodebookSize(&cb, 14), ExitedWithCode(255), StrEq(""));
  EXPECT_EXIT(SetAllocatedCodebookSize(&cb, 14), ExitedWithCode(255),
              StrEq("CB::SetAllocatedCodebookSize: New allocated size (14) <= logical booksize (14).\n"));
  FreeCodebook(&copy);
  CreateNewCodebook(&copy, 2, &cb);
  EXPECT_EXIT(CopyCodebook(&cb, &copy), ExitedWithCode(255),
              StrEq("ERROR: Destination codebook is too small (14 -> 2).\n"));
  EXPECT_EXIT(CopyVector(nullptr, nullptr, 1), ExitedWithCode(255),
              StrEq("ERROR: CopyVector source=(nil) dest=(nil)\n"));
  FreeCodebook(&copy);
  FreeCodebook(&cb);
}

// A caller's patterns: entries made with the record are freed, replaced,
// swapped within and between records and copied; every vector is released
// once, by whoever owns it last (the sanitized build checks it).
TEST(CodebookRecord, EntriesOwnTheirVectors) {
  Codebook a, b;
  MakeSet(&a, {{{1, 2}, 1, "a0"}, {{3, 4}, 2, ""}, {{5, 6}, 3, "a2"}, {{7, 8}, 4, ""}}, 2, 1, 1);
  CreateNewCodebook(&b, 3, &a);
  FreeNode(&a.Book[0]);
  EXPECT_TRUE(a.Book[0].Vector == nullptr && a.Book[0].Name == nullptr);
  a.Book[0] = CreateEmptyNode(2);
  a.Book[0].Vector[0] = 10;
  a.Book[0].Vector[1] = 11;
  FreeVector(a.Book[1].Vector);
  a.Book[1].Vector = CreateEmptyVector(2);
  CopyVector(a.Book[2].Vector, a.Book[1].Vector, 2);
  std::swap(a.Book[2], a.Book[3]);
  std::swap(a.Book[3], b.Book[1]);  // b now owns a vector of a's block, a one of b's
  CopyNode(&b.Book[1], &b.Book[2], 2);
  ChangeVectorName(&b.Book[0], "b0");
  SetAllocatedCodebookSize(&a, 6);  // copies into new vectors, releases the old ones
  EXPECT_EQ(Entries(a, 0, 4), "10,11 0 -|5,6 2 -|7,8 4 -|0,0 0 -");
  FreeCodebook(&a);
  EXPECT_EQ(Entries(b, 0, 3), "0,0 0 b0|5,6 3 a2|5,6 3 a2");
  FreeVector(b.Book[2].Vector);
  b.Book[2].Vector = nullptr;  // a null vector is released as nothing
  FreeCodebook(&b);
  FreeVector(nullptr);
}

TEST(CodebookRecord, AddStringAppendsAndCuts) {
  char field[80] = "xyz";
  AddString(field, "abc", 80);
  EXPECT_STREQ(field, "xyzabc");
  const std::string seventy(70, 's'), added = "abcdefghijklmnopqrstu", tooLong(81, 'x');
  std::strcpy(field, seventy.c_str());
  AddString(field, added.c_str(), 80);
  EXPECT_EQ(std::string(field), (seventy + added).substr(0, 79));
  EXPECT_EXIT(AddString(field, tooLong.c_str(), 80), ExitedWithCode(255),
              StrEq("ERROR: string too long:\n" + tooLong + "\n"));
}

}  // namespace
}  // namespace mirvotest
