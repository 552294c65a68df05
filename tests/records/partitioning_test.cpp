// The partitioning record: a new record, moves between partitions, and the
// member lists and running sums that every move keeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/reference.h"

namespace mirvo::test {
namespace {

using testing::ElementsAre;

std::vector<int> List(const Partitioning& p, int q) {
  std::vector<int> members;
  for (int v = p.FirstVector[q]; v != -1; v = p.NextVector[v]) members.push_back(v);
  return members;
}

TEST(Partitioning, NewRecordHoldsEverythingInPartitionZero) {
  Codebook ts, none;
  MakeSet(&ts, {{{1000000, 2}, 5000, ""}, {{-3, 4}, 2, ""}, {{7, 0}, 0, ""}}, 1, 2, 4);
  Partitioning p, empty;
  CreateNewPartitioning(&p, &ts, 3);
  EXPECT_STREQ(p.VersionString, "VQ PARTITIONING 2.0");
  EXPECT_EQ(p.GenerationMethod[0], '\0');
  EXPECT_THAT(List(p, 0), ElementsAre(0, 1, 2));
  // 1000000 x 5000 passes 32 bits and is summed exactly.
  EXPECT_EQ(p.Sums[0].VectorSum[0], 5000000000 - 6);
  ExpectConsistent(ts, p);
  // Without training vectors every partition is empty.
  MakeSet(&none, {}, 2, 2, 1);
  CreateNewPartitioning(&empty, &none, 4);
  EXPECT_EQ(empty.PartitionCount, 4);
  EXPECT_EQ(empty.TrainingSetSize, 0);
  EXPECT_EQ(empty.Dimension, 4);
  ExpectConsistent(none, empty);
}

TEST(Partitioning, MovesFollowTheirRules) {
  Codebook ts;
  MakeSet(&ts, {{{1}, 1, ""}, {{2}, 2, ""}, {{3}, 3, ""}}, 1, 1, 1);
  Partitioning p;
  CreateNewPartitioning(&p, &ts, 2);
  ChangePartition(&ts, &p, 0, 2);  // into its own partition: it becomes the head
  EXPECT_THAT(List(p, 0), ElementsAre(2, 0, 1));
  EXPECT_EQ(p.Sums[0].VectorSum[0], 14);
  ChangePartition(&ts, &p, -1, 1);
  ChangePartition(&ts, &p, -1, 1);        // an unassigned vector stays so
  ChangePartitionFast(&ts, &p, 1, 1, 0);  // and is not moved by the fast move
  EXPECT_THAT(List(p, 0), ElementsAre(2, 0));
  EXPECT_EQ(p.PartitionOf[1], -1);
  EXPECT_EQ(p.Sums[0].VectorSum[0], 10);
  EXPECT_EQ(p.FirstVector[1], -1);
  ChangePartitionFast(&ts, &p, 1, 0, 2);  // from the middle of a list, after its predecessor
  AddToPartition(&ts, &p, 1, 1);
  EXPECT_THAT(List(p, 0), ElementsAre(2));
  EXPECT_THAT(List(p, 1), ElementsAre(1, 0));
  ExpectConsistent(ts, p);
}

}  // namespace
}  // namespace mirvo::test
