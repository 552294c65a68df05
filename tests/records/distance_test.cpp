// Vector distances under the four metrics and the error functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "support/reference.h"

namespace mirvo::test {
namespace {

struct DistanceCase {
  std::vector<int> a, b;
  std::int64_t bound;
  int metric;
  std::int64_t want;
};

TEST(VectorDistance, KnownValues) {
  const std::int64_t none = INT64_MAX;
  const DistanceCase cases[] = {
      {{1, 2, 3}, {4, 6, 3}, none, 0, 25},
      {{1, 2, 3}, {4, 6, 3}, 10, 0, 25},  // passes 10 only at the second element
      {{1, 2, 3}, {4, 6, 3}, 5, 0, 9},
      {{1, 2, 3}, {4, 6, 3}, 0, 0, 9},
      {{-1518500250}, {1518500249}, none, 0, 9223372030926249001},  // the largest square below 2^63
      {{INT_MIN, 0}, {INT_MAX, 0}, none, 0, INT64_MAX},             // past 64 bits
      {{500000}, {1000000}, none, 1, 1000000},
      {{500000, 250000}, {0, 1000000}, none, 1, 3000000},
      {{500000, 250000}, {0, 1000000}, 1000000, 1, 1000000},
      {{0}, {1000000}, none, 1, 9965784},
      {{999}, {1000000}, none, 1, 9965784},
      {{1000000}, {0}, none, 1, 9965784},
      {{999000}, {0}, none, 1, 9965784},
      {{2000000}, {1000000}, none, 1, -999999},  // the first vector is taken as it is
      {{1, 0, 5, 7}, {1, 0, 3, 7}, none, 11, 333333},
      {{1, 0, 5, 7}, {1, 0, 3, 7}, 0, 12, 200000},
      {{0, 0}, {0, 0}, none, 11, INT64_MAX},
      {{0, 0}, {0, 0}, none, 12, INT64_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VectorDistance(c.a.data(), c.b.data(), static_cast<int>(c.a.size()), c.bound, c.metric), c.want)
        << "metric " << c.metric << " bound " << c.bound << " first " << c.a[0];
  }
  const int five[] = {5};
  EXPECT_EXIT(VectorDistance(five, five, 1, none, 7), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: unsupported vector distance metric 7\n"));
  EXPECT_EXIT(VectorDistance(five, five, 1, none, 1), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: input vector elements should be either 0 or 1000000 (was 5).\n"));
}

TEST(ErrorFunctions, OfASolution) {
  EXPECT_EQ(std::vector<int>({DistType(0), DistType(1), DistType(2), DistType(11), DistType(12)}),
            std::vector<int>({0, 1, 0, 11, 12}));
  EXPECT_EXIT(DistType(5), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Unknown error function 5 (DistType).\n"));
  Codebook ts, cb;
  MakeSet(&ts, {{{1000000}, 1, ""}, {{0}, 1, ""}}, 1, 1, 4);
  MakeSet(&cb, {{{500000}, 1, ""}}, 1, 1, 4, true);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 1);
  EXPECT_DOUBLE_EQ(AverageErrorForSolution(&ts, &cb, &p, 1), 1.792481250360578);
  EXPECT_DOUBLE_EQ(AverageErrorForSolution(&ts, &cb, &p, 11), 1000000.0);
  EXPECT_EXIT(AverageErrorForSolution(&ts, &cb, &p, 2), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Unknown error function.\n"));
  // Weighted by frequency, divided by dimension x total frequency.
  MakeSet(&ts, {{{1000000}, 3, ""}, {{500003}, 1, ""}}, 1, 1, 4);
  EXPECT_DOUBLE_EQ(AverageErrorForSolution(&ts, &cb, &p, 0), (3 * 250000000000.0 + 9) / 4);
}

// Solutions that do not fit together are refused before anything is read.
TEST(ErrorFunctions, RefuseSolutionsThatDoNotFit) {
  Codebook ts, other, two, wide;
  MakeSet(&ts, {{{1000000}, 1, ""}, {{0}, 1, ""}}, 1, 1, 4);
  MakeSet(&other, {{{0}, 1, ""}, {{0}, 1, ""}, {{0}, 1, ""}}, 1, 1, 4);
  MakeSet(&two, {{{500000}, 1, ""}, {{0}, 1, ""}}, 1, 1, 4, true);
  MakeSet(&wide, {{{1, 2}, 1, ""}, {{3, 4}, 1, ""}}, 2, 1, 4, true);
  Partitioning one, foreign, split;
  CreateNewPartitioning(&one, &ts, 1);
  CreateNewPartitioning(&foreign, &other, 2);
  CreateNewPartitioning(&split, &ts, 3);
  ChangePartition(&ts, &split, 2, 1);
  struct Case {
    const Codebook* cb;
    const Partitioning* p;
    int errorFunction;
    const char* message;
  };
  const Case cases[] = {
      {&two, &one, 1, "CB::AverageErrorForSolution: 1 partitions cannot hold 2 code vectors.\n"},
      {&two, &foreign, 1, "ERROR: Partitioning is not for this training set (3 != 2).\n"},
      {&two, &foreign, 0, "ERROR: Partitioning is not for this training set (3 != 2).\n"},
      {&wide, &one, 11, "ERROR: Training set and codebook dimensions differ (1 != 2).\n"},
      {&two, &split, 0,
       "CB::AverageErrorForSolution: Training vector 1 is in partition 2, which has no code vector.\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(AverageErrorForSolution(&ts, c.cb, c.p, c.errorFunction), testing::ExitedWithCode(255),
                testing::StrEq(c.message));
  }
}

}  // namespace
}  // namespace mirvo::test
