// Comparing vectors, duplicates, vector means, appending, unrolling and
// listing whole vector sets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::ExitedWithCode;
using testing::StrEq;

VectorSpec Entry(std::vector<int> elements, int freq = 1, std::string name = "") {
  return VectorSpec{std::move(elements), freq, std::move(name)};
}

TEST(CodebookUtils, CompareVectors) {
  struct Case {
    std::vector<int> a, b;
    int count, want;
  };
  const std::vector<Case> cases = {
      {{1, 5}, {1, 7}, 2, -1}, {{2, 0}, {1, 9}, 2, 1}, {{2, 0}, {1, 9}, 0, 0},        {{3, 4}, {3, 4}, 2, 0},
      {{3, 4}, {3, 5}, 1, 0},  {{-1}, {1}, 1, -1},     {{INT_MIN}, {INT_MAX}, 1, -1}, {{INT_MAX}, {INT_MIN}, 1, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(CompareVectors(c.a.data(), c.b.data(), c.count), c.want) << c.a[0];
}

// Entries with an equal vector somewhere after them, counted pair by pair.
int PairwiseDuplicates(const Codebook& cb) {
  int count = 0;
  for (int i = 0; i + 1 < cb.BookSize; ++i) {
    for (int j = i + 1; j < cb.BookSize; ++j) {
      if (CompareVectors(cb.Book[i].Vector, cb.Book[j].Vector, VectorSize(&cb)) == 0) {
        ++count;
        break;
      }
    }
  }
  return count;
}

TEST(CodebookUtils, DuplicatesInCodebook) {
  struct Case {
    std::vector<VectorSpec> set;
    int want;
  };
  const std::vector<Case> cases = {
      {{Entry({1, 2}, 1, "a"), Entry({3, 3}), Entry({1, 2}, 4), Entry({1, 2}, 0, "b")}, 2},
      {{Entry({1, 2})}, 0},
      {{}, 0},
      {{Entry({1, 2}), Entry({2, 1}), Entry({1, 3})}, 0},
  };
  for (const Case& c : cases) {
    Codebook cb;
    MakeSet(&cb, c.set, 2, 1, 4);
    EXPECT_EQ(DuplicatesInCodebook(&cb), c.want);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const int n = int(rng() % 40), dimension = 1 + int(rng() % 3);
    std::vector<VectorSpec> set(n);
    for (auto& v : set)
      for (int k = 0; k < dimension; ++k) v.elements.push_back(int(rng() % 3) - 1);
    Codebook cb;
    MakeSet(&cb, set, dimension, 1, 4);
    EXPECT_EQ(DuplicatesInCodebook(&cb), PairwiseDuplicates(cb)) << "round " << round;
  }
}

TEST(CodebookUtils, CalculateVectorMeans) {
  struct Case {
    std::vector<int> elements;
    int want;
  };
  const std::vector<Case> cases = {{{1, 2}, 2},    {{1, 1, 2}, 1},    {{0, 0, 1, 2}, 1},
                                   {{-1, -2}, -1}, {{-1, -1, -2}, 0}, {{INT_MAX, INT_MAX}, INT_MAX}};
  for (const Case& c : cases) {
    Codebook cb;
    const int dimension = int(c.elements.size());
    MakeSet(&cb, {Entry(c.elements), Entry(std::vector<int>(dimension, 9))}, dimension, 1, 4);
    cb.Book[0].VectorMean = cb.Book[1].VectorMean = 77;
    DecreaseCodebookSize(&cb, 1);
    CalculateVectorMeans(&cb);
    EXPECT_EQ(cb.Book[0].VectorMean, c.want) << c.elements[0];
    EXPECT_EQ(cb.Book[1].VectorMean, 77);  // not in use
  }
}

TEST(CodebookUtils, AddCodebook) {
  Codebook source;
  MakeSet(&source, {Entry({5, 6}, 2, "five"), Entry({7, 8}, 0), Entry({9, 9}, 4, "nine")}, 2, 1, 4);
  struct Case {
    std::string method, marked;
  };
  const std::vector<Case> cases = {{"abc", "abc++"},
                                   {"abc++", "abc++"},
                                   {"", "++"},
                                   {"a+", "a+++"},
                                   {std::string(77, 'x'), std::string(77, 'x') + "++"},
                                   {std::string(78, 'x'), std::string(78, 'x')}};
  for (const Case& c : cases) {
    Codebook cb;
    MakeSet(&cb, {Entry({1, 2}, 1, "one"), Entry({3, 4}, 3)}, 2, 1, 4);
    std::snprintf(cb.GenerationMethod, 80, "%s", c.method.c_str());
    AddCodebook(&cb, &source);
    EXPECT_EQ(std::string(cb.GenerationMethod), c.marked);
    ASSERT_EQ(cb.BookSize, 5);
    EXPECT_EQ(cb.AllocatedSize, 5);
    EXPECT_EQ(cb.TotalFreq, 10);
    for (int i = 0; i < 3; ++i) {
      const BookNode &got = cb.Book[2 + i], &want = source.Book[i];
      EXPECT_EQ(std::vector<int>(got.Vector, got.Vector + 2), std::vector<int>(want.Vector, want.Vector + 2));
      EXPECT_EQ(got.Freq * 1000 + got.VectorMean, want.Freq * 1000 + want.VectorMean);
      EXPECT_EQ(std::string(got.Name ? got.Name : "-"), std::string(want.Name ? want.Name : "-"));
      EXPECT_TRUE(got.Name == nullptr || got.Name != want.Name);  // an own copy
    }
    EXPECT_STREQ(cb.Book[0].Name, "one");
  }
  // A set added to itself doubles; an empty source is a silent fatal exit.
  AddCodebook(&source, &source);
  ASSERT_EQ(source.BookSize, 6);
  EXPECT_EQ(source.TotalFreq, 12);
  EXPECT_STREQ(source.Book[5].Name, "nine");
  Codebook empty;
  MakeSet(&empty, {}, 2, 1, 4);
  EXPECT_EXIT(AddCodebook(&source, &empty), ExitedWithCode(255), StrEq(""));
}

TEST(CodebookUtils, UnrollTrainingSet) {
  Codebook ts;
  MakeSet(&ts, {Entry({1, 2}, 2, "a"), Entry({3, 4}, 0, "b"), Entry({5, 6}, 1)}, 2, 1, 1);
  std::snprintf(ts.GenerationMethod, 80, "method");
  ts.ReservedValue = 3;
  UnrollTrainingSet(&ts);
  ASSERT_EQ(ts.BookSize, 3);
  EXPECT_EQ(ts.TotalFreq, 3);
  EXPECT_STREQ(ts.VersionString, "VQ TRAINING SET 2.0");
  EXPECT_STREQ(ts.GenerationMethod, "method");
  EXPECT_EQ(ts.ReservedValue, 3);
  const std::vector<std::vector<int>> vectors = {{1, 2}, {1, 2}, {5, 6}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::vector<int>(ts.Book[i].Vector, ts.Book[i].Vector + 2), vectors[i]);
    EXPECT_EQ(ts.Book[i].Freq, 1);
    EXPECT_STREQ(ts.Book[i].Name, i < 2 ? "a" : nullptr);
  }
  Codebook negative;
  MakeSet(&negative, {Entry({1, 2}, 2), Entry({3, 4}, -1), Entry({5, 6}, 1)}, 2, 1, 4);
  EXPECT_EXIT(UnrollTrainingSet(&negative), ExitedWithCode(255),
              StrEq("CB::UnrollTrainingSet: TotalFreq (2) differs from the sum of the positive frequencies (3).\n"));
}

TEST(CodebookUtils, PrintCodebookAndVector) {
  OpenInfoFlow(0);
  Codebook cb;
  MakeSet(&cb, {Entry({3, 250}, 2, "hidden"), Entry({-5, 1234}, 12345)}, 2, 1, 4);
  cb.Book[0].VectorMean = 127;
  std::snprintf(cb.GenerationMethod, 80, "by hand");
  const int elements[] = {1, -22, 333, 4444, -55555, 6};
  testing::internal::CaptureStdout();
  PrintCodebook(&cb);
  PrintVector(elements, 2, 3);
  PrintVector(elements, 0, 3);
  PrintVector(elements, 3, -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Codebook generated: by hand\nVectors=2, Totalfreq=12347 \n"
            "0  : (f=2   , vm=127)    3 250 \n"
            "1  : (f=12345, vm=615)   -5 1234 \n"
            "  1 -22 333 4444 -55555   6 \n\n\n");
}

}  // namespace
}  // namespace mirvo::test
