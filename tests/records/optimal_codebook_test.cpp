// Optimal codebook: centroids from the running sums, empty partitions and
// their refilling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/reference.h"

namespace mirvo::test {
namespace {

using testing::ElementsAre;

// Entry k as its elements, Freq and VectorMean.
std::vector<int> Entry(const Codebook& cb, int k) {
  std::vector<int> entry(cb.Book[k].Vector, cb.Book[k].Vector + VectorSize(&cb));
  entry.push_back(cb.Book[k].Freq);
  entry.push_back(cb.Book[k].VectorMean);
  return entry;
}

TEST(PartitionCentroid, AddsAHalfAndTruncates) {
  const std::vector<VectorSpec> members[] = {
      {{{1, 2}, 1, ""}, {{4, 7}, 2, ""}},
      {{{5}, 1, ""}, {{0}, 1, ""}},    // 2.5 gives 3
      {{{-3}, 7, ""}, {{-2}, 3, ""}},  // -2.7 gives -2, and the mean -1.5 gives -1
  };
  const std::vector<int> want[] = {{3, 5, 3, 4}, {3, 2, 3}, {-2, 10, -1}};
  for (int c = 0; c < 3; ++c) {
    const int dim = static_cast<int>(members[c][0].elements.size());
    Codebook ts, cb;
    MakeSet(&ts, members[c], dim, 1, 4);
    CreateNewCodebook(&cb, 1, &ts);
    ChangeVectorName(&cb.Book[0], "kept");
    Partitioning p;
    CreateNewPartitioning(&p, &ts, 2);
    PartitionCentroid(&p, 0, &cb.Book[0]);
    EXPECT_EQ(Entry(cb, 0), want[c]);
    EXPECT_STREQ(cb.Book[0].Name, "kept");
    EXPECT_EXIT(PartitionCentroid(&p, 1, &cb.Book[0]), testing::ExitedWithCode(255),
                testing::StrEq("ERROR: PartitionCentroid Pindex=1 CCFreq=0\n"));
  }
}

// Frequencies of mixed sign can take a centroid element beyond the int
// range, which no element width holds: refused with its exact value, by
// every function that makes centroids.
TEST(PartitionCentroid, RefusesElementsBeyond32Bits) {
  struct Case {
    std::vector<VectorSpec> members;
    std::string value;
  };
  const Case cases[] = {
      {{{{2147483647}, 5, ""}, {{0}, -4, ""}}, "10737418235"},
      {{{{0}, 1073741824, ""}, {{-2147483647 - 1}, -1073741823, ""}}, "2305843007066210304"},
      {{{{-2147483647 - 1}, 3, ""}, {{7}, -2, ""}}, "-6442450957"},  // -6442450958 + 0.5, truncated
  };
  for (const Case& c : cases) {
    Codebook ts, cb;
    MakeSet(&ts, c.members, 1, 1, 4);
    ts.TotalFreq = 1;
    CreateNewCodebook(&cb, 1, &ts);
    Partitioning p;
    CreateNewPartitioning(&p, &ts, 1);
    const std::string message = "ERROR: Vector element value " + c.value + " does not fit in 4 bytes per element.\n";
    int centroid = 0;
    EXPECT_EXIT(PartitionCentroid(&p, 0, &cb.Book[0]), testing::ExitedWithCode(255), testing::StrEq(message));
    EXPECT_EXIT(GenerateOptimalCodebookGeneral(&ts, &cb, &p, 0), testing::ExitedWithCode(255), testing::StrEq(message));
    EXPECT_EXIT(CodebookCentroid(&ts, &centroid), testing::ExitedWithCode(255), testing::StrEq(message));
  }
}

TEST(OptimalCodebook, EmptyPartitionsGetFrequencyZero) {
  Codebook ts;
  MakeSet(&ts, {{{1, 2}, 1, ""}, {{4, 7}, 2, ""}, {{9, 9}, 0, ""}, {{20, 31}, 1, ""}}, 2, 1, 1);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 3);
  ChangePartition(&ts, &p, 1, 2);  // its only member has frequency 0: partition 1 counts as empty
  ChangePartition(&ts, &p, 2, 3);
  for (const int function : {0, 1, 2, 11, 12}) {
    Codebook cb;
    CreateNewCodebook(&cb, 3, &ts);
    GenerateOptimalCodebookGeneral(&ts, &cb, &p, function);
    EXPECT_THAT(Entry(cb, 0), ElementsAre(3, 5, 3, 4));
    EXPECT_THAT(Entry(cb, 1), ElementsAre(0, 0, 0, 0));  // a new codebook's vectors are zero
    EXPECT_THAT(Entry(cb, 2), ElementsAre(20, 31, 1, 26));
    cb.Book[1].Vector[0] = cb.Book[1].Freq = cb.Book[1].VectorMean = 8;
    GenerateOptimalCodebookMSE(&ts, &cb, &p);
    EXPECT_THAT(Entry(cb, 1), ElementsAre(8, 0, 0, 8));  // what an entry held stays but its frequency
  }
  Codebook cb;
  CreateNewCodebook(&cb, 3, &ts);
  EXPECT_EXIT(GenerateOptimalCodebookGeneral(&ts, &cb, &p, 7), testing::ExitedWithCode(255),
              testing::StrEq("cb::GenerateOptimalCodebookGeneral: Unknown error function.\n"));
}

TEST(OptimalCodebook, FillEmptyPartitionsTakesTheWorstServedVectors) {
  Codebook ts, cb;
  // Centroid 2: keys 4, 4, 64, 64, 3; the two 64s fill partitions 1 and 2,
  // the lower index first.
  MakeSet(&ts, {{{0}, 1, ""}, {{4}, 1, ""}, {{-6}, 1, "far"}, {{10}, 1, ""}, {{1}, 3, ""}}, 1, 1, 4);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 3);
  CreateNewCodebook(&cb, 3, &ts);
  GenerateOptimalCodebookGeneral(&ts, &cb, &p, 0);
  EXPECT_EQ(cb.Book[0].Vector[0], 2);
  FillEmptyPartitions(&ts, &cb, &p);
  EXPECT_THAT(std::vector<int>(p.PartitionOf, p.PartitionOf + 5), ElementsAre(0, 0, 1, 2, 0));
  EXPECT_THAT(Entry(cb, 0), ElementsAre(1, 5, 1));    // renewed: 7 / 5
  EXPECT_THAT(Entry(cb, 1), ElementsAre(-6, 1, -5));  // a copy of the training vector
  EXPECT_THAT(Entry(cb, 2), ElementsAre(10, 1, 10));
  EXPECT_STREQ(cb.Book[1].Name, "far");
  ExpectConsistent(ts, p);
  FillEmptyPartitions(&ts, &cb, &p);  // nothing empty: nothing moves
  EXPECT_THAT(std::vector<int>(p.PartitionOf, p.PartitionOf + 5), ElementsAre(0, 0, 1, 2, 0));
  // Errors 1 + 9 + 0 (+ 1 to the centroid of the lone -6, which is -5).
  EXPECT_DOUBLE_EQ(AverageErrorForSolution(&ts, &cb, &p, 0), 10.0 / 7);
  EXPECT_DOUBLE_EQ(AverageErrorForPartitioning(&ts, &p, 0), 11.0 / 7);
  EXPECT_EXIT(AverageErrorForPartitioning(&ts, &p, 2), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Unknown error function.\n"));
}

// A codebook smaller than the partitioning: the walk fills what it reaches
// while the list lasts and refuses only a partition without a code vector.
TEST(OptimalCodebook, FillEmptyPartitionsWithASmallerCodebook) {
  Codebook ts, cb;
  MakeSet(&ts, {{{4}, 2, "v"}}, 1, 1, 1);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 3);
  CreateNewCodebook(&cb, 2, &ts);
  FillEmptyPartitions(&ts, &cb, &p);
  EXPECT_EQ(p.PartitionOf[0], 1);
  EXPECT_THAT(Entry(cb, 0), ElementsAre(0, 0, 0));
  EXPECT_THAT(Entry(cb, 1), ElementsAre(4, 2, 4));
  ExpectConsistent(ts, p);

  Codebook two;
  MakeSet(&two, {{{4}, 2, ""}, {{6}, 1, ""}}, 1, 1, 1);
  Partitioning q;
  CreateNewPartitioning(&q, &two, 3);
  EXPECT_EXIT(FillEmptyPartitions(&two, &cb, &q), testing::ExitedWithCode(255),
              testing::StrEq("CB::FillEmptyPartitions: A codebook of 2 vectors cannot fill partition 2.\n"));
  FreePartitioning(&q);
  FreePartitioning(&p);
}

}  // namespace
}  // namespace mirvo::test
