// The Codebook record: creation from a template, entries and names,
// resizing, copying and the text field helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
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

// A caller's patterns on two records a (4 entries) and b (3): arrays,
// vectors and names are put in (malloc, strdup), taken out, exchanged and
// handed over through the fields, and every allocation is released once by
// whoever owns it last (the sanitized build checks it).
TEST(CodebookRecord, CallersMoveGrowAndHandOverWhatRecordsOwn) {
  const auto own = [](std::initializer_list<int> elements) {
    int* vector = static_cast<int*>(std::malloc(elements.size() * sizeof(int)));
    std::copy(elements.begin(), elements.end(), vector);
    return vector;
  };
  struct Case {
    const char* name;
    std::function<void(Codebook& a, Codebook& b)> run;
    std::string a, b;  // Entries of the records in use afterwards
  };
  const std::vector<Case> cases = {
      {"exchange of the books, then the other is freed",
       [](Codebook& a, Codebook& b) {
         std::swap(a.Book, b.Book), std::swap(a.AllocatedSize, b.AllocatedSize), std::swap(a.BookSize, b.BookSize);
         FreeCodebook(&b);
       },
       "0,0 0 -|0,0 0 -|0,0 0 b2", ""},
      {"a book handed over by assignment",
       [](Codebook& a, Codebook& b) {
         FreeCodebook(&b);
         b.Book = a.Book, b.AllocatedSize = a.AllocatedSize, b.BookSize = a.BookSize;
         a.Book = nullptr, a.AllocatedSize = 0, a.BookSize = 0;
         FreeCodebook(&a);
         IncreaseCodebookSize(&b, 5);
       },
       "", "1,2 1 a0|3,4 2 -|5,6 3 a2|7,8 4 -|0,0 0 -"},
      {"a whole record moved",
       [](Codebook& a, Codebook& b) {
         b = std::move(a);
         Codebook c(std::move(b));
         std::swap(c.Book[0], c.Book[3]);
         b = std::move(c);
       },
       "", "7,8 4 -|3,4 2 -|5,6 3 a2|1,2 1 a0"},
      {"names made with strdup and malloc",
       [](Codebook& a, Codebook&) {
         std::free(a.Book[0].Name);
         a.Book[0].Name = strdup("mine");
         a.Book[1].Name = static_cast<char*>(std::malloc(3));
         std::memcpy(a.Book[1].Name, "m1", 3);
         FreeNode(&a.Book[2]);
         a.Book[2] = CreateEmptyNode(2);
         a.Book[2].Vector[0] = a.Book[2].Vector[1] = 9;
         ChangeVectorName(&a.Book[2], "made");
       },
       "1,2 1 mine|3,4 2 m1|9,9 0 made|7,8 4 -", "0,0 0 -|0,0 0 -|0,0 0 b2"},
      {"vectors put in and taken out, then the book grown",
       [&](Codebook& a, Codebook& b) {
         int* taken = a.Book[0].Vector;
         a.Book[0].Vector = own({10, 11});
         FreeVector(a.Book[1].Vector);
         a.Book[1].Vector = CreateEmptyVector(2);
         CopyVector(taken, a.Book[1].Vector, 2);
         std::free(taken);
         std::swap(a.Book[3], b.Book[1]);
         SetAllocatedCodebookSize(&a, 6);
       },
       "10,11 1 a0|1,2 2 -|5,6 3 a2|0,0 0 -", "0,0 0 -|7,8 4 -|0,0 0 b2"},
      {"a book the caller made, then unrolled",
       [&](Codebook& a, Codebook&) {
         FreeCodebook(&a);
         a.Book = static_cast<BookNode*>(std::malloc(2 * sizeof(BookNode)));
         a.Book[0] = BookNode{own({1, 1}), 1, 2, strdup("x")};
         a.Book[1] = BookNode{own({2, 2}), 2, 1, nullptr};
         a.AllocatedSize = a.BookSize = 2;
         a.TotalFreq = 3;
         UnrollTrainingSet(&a);
       },
       "1,1 1 x|1,1 1 x|2,2 1 -", "0,0 0 -|0,0 0 -|0,0 0 b2"},
      {"a copy into vectors longer than the destination was made with",
       [&](Codebook&, Codebook& b) {
         Codebook wide;
         MakeSet(&wide, {{{1, 2, 3, 4}, 5, "w"}}, 4, 1, 1);
         for (int i = 0; i < b.AllocatedSize; ++i) {
           FreeVector(b.Book[i].Vector);
           b.Book[i].Vector = own({0, 0, 0, 0});
         }
         CopyCodebook(&wide, &b);
         EXPECT_EQ(std::vector<int>(b.Book[0].Vector, b.Book[0].Vector + 4), std::vector<int>({1, 2, 3, 4}));
         b.VectorSizeX = 2, b.BookSize = 3;
       },
       "1,2 1 a0|3,4 2 -|5,6 3 a2|7,8 4 -", "1,2 5 w|0,0 0 -|0,0 0 b2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Codebook a, b;
    MakeSet(&a, {{{1, 2}, 1, "a0"}, {{3, 4}, 2, ""}, {{5, 6}, 3, "a2"}, {{7, 8}, 4, ""}}, 2, 1, 1);
    CreateNewCodebook(&b, 3, &a);
    ChangeVectorName(&b.Book[2], "b2");
    c.run(a, b);
    // A freed record keeps its BookSize; it holds no entries.
    EXPECT_EQ(Entries(a, 0, std::min(a.BookSize, a.AllocatedSize)), c.a);
    EXPECT_EQ(Entries(b, 0, std::min(b.BookSize, b.AllocatedSize)), c.b);
  }
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
}  // namespace mirvo::test
