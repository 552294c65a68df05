// Partition counts, joining, one partition per vector and copying, with the
// record's invariants checked after every operation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "records/partition_sums.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using Lists = std::vector<std::vector<int>>;

VectorSpec Entry(std::vector<int> elements, int freq = 1, std::string name = "") {
  return VectorSpec{std::move(elements), freq, std::move(name)};
}

template <class T>
std::vector<T> Slice(const T* a, int n) {
  return std::vector<T>(a, a + n);
}

std::vector<int> ListOf(const Partitioning& p, int q) {
  std::vector<int> list;
  for (int v = p.FirstVector[q]; v != -1 && list.size() <= std::size_t(p.TrainingSetSize); v = p.NextVector[v])
    list.push_back(v);
  return list;
}

// Lists, PartitionOf, sums and member counts recomputed from the training
// set; slots at and above the count empty; every slot its own sum buffer.
void CheckInvariants(const Codebook& ts, const Partitioning& p) {
  ASSERT_EQ(p.TrainingSetSize, ts.BookSize);
  ASSERT_TRUE(p.PartitionCount >= 1 && p.PartitionCount <= p.AllocatedPartitions);
  std::set<const std::int64_t*> buffers;
  std::vector<int> seen(ts.BookSize, 0);
  for (int q = 0; q < p.AllocatedPartitions; ++q) {
    const PartitionSum& s = p.Sums[q];
    buffers.insert(s.VectorSum);
    std::vector<std::int64_t> sum(p.Dimension, 0);
    int freq = 0, members = 0;
    for (int v : ListOf(p, q)) {
      ASSERT_TRUE(q < p.PartitionCount && v >= 0 && v < ts.BookSize && seen[v]++ == 0) << q << ": " << v;
      EXPECT_EQ(p.PartitionOf[v], q);
      for (int k = 0; k < p.Dimension; ++k) sum[k] += std::int64_t{ts.Book[v].Vector[k]} * ts.Book[v].Freq;
      freq += ts.Book[v].Freq, ++members;
    }
    EXPECT_EQ(Slice(s.VectorSum, p.Dimension), sum) << "partition " << q;
    EXPECT_EQ(s.CCFreq, freq) << "partition " << q;
    EXPECT_EQ(p.MemberCount[q], members) << "partition " << q;
  }
  EXPECT_EQ(buffers.size(), std::size_t(p.AllocatedPartitions));
  for (int v = 0; v < ts.BookSize; ++v)
    if (seen[v] == 0) {
      EXPECT_TRUE(p.PartitionOf[v] == -1 && p.NextVector[v] == -1) << "vector " << v;
    }
}

// Every field and list link of the partitions in use.
void ExpectIdentical(const Partitioning& got, const Partitioning& want) {
  EXPECT_STREQ(got.VersionString, want.VersionString);
  EXPECT_STREQ(got.GenerationMethod, want.GenerationMethod);
  ASSERT_EQ(got.PartitionCount, want.PartitionCount);
  EXPECT_EQ(Slice(got.PartitionOf, got.TrainingSetSize), Slice(want.PartitionOf, want.TrainingSetSize));
  EXPECT_EQ(Slice(got.NextVector, got.TrainingSetSize), Slice(want.NextVector, want.TrainingSetSize));
  for (int q = 0; q < got.PartitionCount; ++q) {
    EXPECT_EQ(got.FirstVector[q], want.FirstVector[q]);
    EXPECT_EQ(got.MemberCount[q], want.MemberCount[q]);
    EXPECT_EQ(got.Sums[q].CCFreq, want.Sums[q].CCFreq);
    EXPECT_EQ(Slice(got.Sums[q].VectorSum, got.Dimension), Slice(want.Sums[q].VectorSum, want.Dimension));
  }
}

void Assign(const Codebook& ts, Partitioning* p, int count, const std::vector<int>& assignment) {
  CreateNewPartitioning(p, &ts, count);
  for (std::size_t v = 0; v < assignment.size(); ++v) ChangePartition(&ts, p, assignment[v], int(v));
}

// The partitioning built anew from the record's assignment has its sums.
void ExpectAsRebuilt(const Codebook& ts, const Partitioning& p) {
  Partitioning rebuilt;
  Assign(ts, &rebuilt, p.PartitionCount, Slice(p.PartitionOf, p.TrainingSetSize));
  for (int q = 0; q < p.PartitionCount; ++q) {
    EXPECT_EQ(p.MemberCount[q], rebuilt.MemberCount[q]);
    EXPECT_EQ(p.Sums[q].CCFreq, rebuilt.Sums[q].CCFreq);
    EXPECT_EQ(Slice(p.Sums[q].VectorSum, p.Dimension), Slice(rebuilt.Sums[q].VectorSum, p.Dimension));
  }
}

// The joining as written out step by step, moving one vector at a time.
void LiteralJoin(const Codebook* ts, Partitioning* p, int keep, int gone) {
  if (p->FirstVector[keep] == -1) {
    p->FirstVector[keep] = p->FirstVector[gone];
  } else {
    int tail = p->FirstVector[keep];
    while (p->NextVector[tail] != -1) tail = p->NextVector[tail];
    p->NextVector[tail] = p->FirstVector[gone];
  }
  for (int v = p->FirstVector[gone]; v != -1; v = p->NextVector[v]) {
    p->PartitionOf[v] = keep;
    cbdetail::RemoveContribution(ts, p, gone, v);
    cbdetail::AddContribution(ts, p, keep, v);
  }
  p->FirstVector[gone] = -1;
  const int last = p->PartitionCount - 1;
  while (gone != last && p->FirstVector[last] != -1) ChangePartition(ts, p, gone, p->FirstVector[last]);
  p->PartitionCount = last;
}

// Seven vectors in partitions 0..3; lists run in descending index order.
void SmallSet(Codebook* ts) {
  MakeSet(ts,
          {Entry({1, 2}, 3), Entry({-4, 5}), Entry({7, 0}, 2), Entry({9, 9}, 0), Entry({2, 2}, 5), Entry({-1, -1}, 4),
           Entry({6, 3})},
          2, 1, 4);
}
const std::vector<int> kSmallAssignment = {0, 1, 2, 3, 1, 3, 2};

TEST(JoinPartitions, ListsAfterJoining) {
  Codebook ts;
  SmallSet(&ts);
  struct Case {
    int count, keep, gone;
    Lists lists;
  };
  const std::vector<Case> cases = {
      {5, 1, 3, {{0}, {4, 1, 5, 3}, {6, 2}, {}}},  // last partition empty
      {5, 4, 1, {{0}, {1, 4}, {6, 2}, {5, 3}}},    // empty kept partition is the last
      {5, 0, 4, {{0}, {4, 1}, {6, 2}, {5, 3}}},    // empty joined partition is the last
      {5, 2, 0, {{}, {4, 1}, {6, 2, 0}, {5, 3}}},  // kept partition was empty
      {4, 3, 1, {{0}, {1, 4, 3, 5}, {6, 2}}},      // kept is the last: merged ends at 1, reversed
      {4, 0, 1, {{0, 4, 1}, {3, 5}, {6, 2}}},      // the last moves into 1, reversed
      {4, 1, 3, {{0}, {4, 1, 5, 3}, {6, 2}}},      // joined is the last: nothing renumbered
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << ": " << c.keep << " <- " << c.gone);
    Partitioning p;
    Assign(ts, &p, c.count, kSmallAssignment);
    JoinPartitions(&ts, &p, c.keep, c.gone);
    ASSERT_EQ(p.PartitionCount, c.count - 1);
    for (int q = 0; q < p.PartitionCount; ++q) EXPECT_EQ(ListOf(p, q), c.lists[q]) << "partition " << q;
    CheckInvariants(ts, p);
    ExpectAsRebuilt(ts, p);
  }
}

TEST(JoinPartitions, MatchesStepByStepJoiningAndCopiesOnRandomData) {
  std::mt19937 rng(4);
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  for (int round = 0; round < 60; ++round) {
    const int n = uniform(1, 50), dimension = uniform(1, 4), count = uniform(1, 9);
    std::vector<VectorSpec> entries(n);
    std::vector<int> assignment(n);
    for (int v = 0; v < n; ++v) {
      for (int k = 0; k < dimension; ++k) entries[v].elements.push_back(uniform(-1000000, 1000000));
      entries[v].freq = uniform(0, 5000);
      assignment[v] = uniform(-1, count - 1);
    }
    Codebook ts;
    MakeSet(&ts, entries, dimension, 1, 4);
    Partitioning fast, literal, copy;
    Assign(ts, &fast, count, assignment);
    Assign(ts, &literal, count, assignment);
    Assign(ts, &copy, count + uniform(0, 3), std::vector<int>(n, uniform(0, count - 1)));
    std::snprintf(fast.GenerationMethod, 80, "round %d", round);
    std::snprintf(literal.GenerationMethod, 80, "round %d", round);
    while (fast.PartitionCount > 1) {
      const int keep = uniform(0, fast.PartitionCount - 1),
                gone = (keep + uniform(1, fast.PartitionCount - 1)) % fast.PartitionCount;
      JoinPartitions(&ts, &fast, keep, gone);
      LiteralJoin(&ts, &literal, keep, gone);
      ExpectIdentical(fast, literal);
      CheckInvariants(ts, fast);
      ExpectAsRebuilt(ts, fast);
      CopyPartitioning(&fast, &copy);
      ExpectIdentical(copy, fast);
      CheckInvariants(ts, copy);
      ASSERT_FALSE(HasFailure()) << "round " << round;
    }
  }
}

TEST(PartitionCount, CountsAndAllocations) {
  Codebook ts;
  SmallSet(&ts);
  struct Case {
    const char* name;
    std::function<void(Partitioning*)> run;
    int count, allocated;
  };
  const std::vector<Case> cases = {
      {"increase past allocation", [](Partitioning* p) { IncreaseNumberOfPartitions(p, 6); }, 6, 6},
      {"increase within allocation",
       [](Partitioning* p) {
         ChangeNumberOfPartitions(p, 7), ChangeNumberOfPartitions(p, 4), IncreaseNumberOfPartitions(p, 6);
       },
       6, 7},
      {"grow slots then count",
       [](Partitioning* p) { SetNumberOfAllocatedPartitions(p, 9), IncreaseNumberOfPartitions(p, 5); }, 5, 9},
      {"slots never shrink",
       [](Partitioning* p) { SetNumberOfAllocatedPartitions(p, 9), SetNumberOfAllocatedPartitions(p, 5); }, 4, 9},
      {"slots at the count", [](Partitioning* p) { SetNumberOfAllocatedPartitions(p, 4); }, 4, 4},
      {"change to same", [](Partitioning* p) { ChangeNumberOfPartitions(p, 4); }, 4, 4},
      {"decrease keeps slots",
       [](Partitioning* p) { ChangeNumberOfPartitions(p, 8), DecreaseNumberOfPartitions(p, 5); }, 5, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Partitioning p;
    Assign(ts, &p, 4, kSmallAssignment);
    Lists before;
    std::vector<const std::int64_t*> buffers;
    for (int q = 0; q < 4; ++q) before.push_back(ListOf(p, q)), buffers.push_back(p.Sums[q].VectorSum);
    c.run(&p);
    EXPECT_EQ(p.PartitionCount, c.count);
    EXPECT_EQ(p.AllocatedPartitions, c.allocated);
    // The partitions in use keep their lists, and their sums where they are.
    for (int q = 0; q < 4; ++q) EXPECT_EQ(ListOf(p, q), before[q]);
    for (int q = 0; q < 4; ++q) EXPECT_EQ(p.Sums[q].VectorSum, buffers[q]) << "partition " << q;
    CheckInvariants(ts, p);
  }
}

// A caller's patterns on two partitionings of the small set: arrays and sum
// buffers exchanged, handed over and put in through the fields; whatever a
// record holds at the end is its own, released once (the sanitized build
// checks it), and the record holding a's partitions is consistent.
TEST(PartitionCount, CallersExchangeAndHandOverArrays) {
  Codebook ts;
  SmallSet(&ts);
  const auto exchange = [](Partitioning& a, Partitioning& b) {
    std::swap(a.PartitionCount, b.PartitionCount), std::swap(a.AllocatedPartitions, b.AllocatedPartitions);
    std::swap(a.PartitionOf, b.PartitionOf), std::swap(a.NextVector, b.NextVector);
    std::swap(a.FirstVector, b.FirstVector), std::swap(a.MemberCount, b.MemberCount), std::swap(a.Sums, b.Sums);
  };
  struct Case {
    const char* name;
    std::function<void(Partitioning& a, Partitioning& b)> run;
    bool inB;  // the partitions a had end in b
  };
  const std::vector<Case> cases = {
      {"arrays exchanged field by field, then the other freed",
       [&](Partitioning& a, Partitioning& b) {
         exchange(a, b);
         FreePartitioning(&a);
       },
       true},
      {"arrays handed over by assignment",
       [&](Partitioning& a, Partitioning& b) {
         FreePartitioning(&b);
         exchange(a, b);
         FreePartitioning(&a);
         IncreaseNumberOfPartitions(&b, 9);
         DecreaseNumberOfPartitions(&b, 4);
       },
       true},
      {"a record moved",
       [&](Partitioning& a, Partitioning& b) {
         Partitioning c(std::move(a));
         b = std::move(c);
         ChangePartition(&ts, &b, 1, 0), ChangePartition(&ts, &b, 0, 0);
       },
       true},
      {"a sum buffer put in by the caller, a kept one read after growing",
       [&](Partitioning& a, Partitioning&) {
         auto* mine = static_cast<std::int64_t*>(std::malloc(2 * sizeof(std::int64_t)));
         std::copy_n(a.Sums[1].VectorSum, 2, mine);
         std::free(a.Sums[1].VectorSum);
         a.Sums[1].VectorSum = mine;
         const std::int64_t* kept = a.Sums[2].VectorSum;
         const std::vector<std::int64_t> sums(kept, kept + 2);
         SetNumberOfAllocatedPartitions(&a, 12);
         EXPECT_EQ(std::vector<std::int64_t>(kept, kept + 2), sums);
         EXPECT_EQ(a.Sums[1].VectorSum, mine);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Partitioning a, b;
    Assign(ts, &a, 4, kSmallAssignment);
    Assign(ts, &b, 6, std::vector<int>(7, 5));
    Lists lists;
    for (int q = 0; q < 4; ++q) lists.push_back(ListOf(a, q));
    c.run(a, b);
    const Partitioning& holder = c.inB ? b : a;
    ASSERT_EQ(holder.PartitionCount, 4);
    for (int q = 0; q < 4; ++q) EXPECT_EQ(ListOf(holder, q), lists[q]);
    CheckInvariants(ts, holder);
  }
}

TEST(PutAllInOwnPartition, OneVectorPerPartitionWithExactSums) {
  Codebook ts;
  MakeSet(&ts, {Entry({1000000, -3}, 5000), Entry({2, 2}, 0), Entry({-7, 1}), Entry({4, 0}, 2)}, 2, 1, 4);
  for (const int count : {2, 6}) {
    Partitioning p;
    Assign(ts, &p, count, {1, 0, 1, 0});
    PutAllInOwnPartition(&ts, &p);
    ASSERT_EQ(p.PartitionCount, 4);
    EXPECT_EQ(p.AllocatedPartitions, std::max(count, 4));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ListOf(p, i), std::vector<int>{i});
    EXPECT_EQ(p.Sums[0].VectorSum[0], 5000000000);
    CheckInvariants(ts, p);
  }
}

TEST(PartitionCount, FatalErrorsWithExactMessages) {
  Codebook ts, fewer, wider;
  SmallSet(&ts);
  MakeSet(&fewer, {Entry({1, 2}), Entry({3, 4})}, 2, 1, 4);
  MakeSet(&wider, std::vector<VectorSpec>(7, Entry({1, 2, 3})), 3, 1, 4);
  Partitioning four, five, wide;
  Assign(ts, &four, 4, kSmallAssignment);
  Assign(ts, &five, 5, {0, 1, 4, 3, 1, 0, 1});  // partition 2 empty
  Assign(wider, &wide, 6, std::vector<int>(7, 0));
  Partitioning small;
  Assign(fewer, &small, 4, {0, 0});
  struct Case {
    std::function<void()> run;
    const char* message;
  };
  const std::vector<Case> cases = {
      {[&] { IncreaseNumberOfPartitions(&four, 4); },
       "CB::IncreaseNumberOfPartitions: New partition count (4) less or equal to old (4).\n"},
      {[&] { ChangeNumberOfPartitions(&four, 0); },
       "CB::DecreaseNumberOfPartitions: New partition count (0) less than or equal to zero.\n"},
      {[&] { DecreaseNumberOfPartitions(&four, 6); },
       "CB::DecreaseNumberOfPartitions: New partition count (6) greater or equal to old (4).\n"},
      {[&] { DecreaseNumberOfPartitions(&five, 2); }, "CB::DecreaseNumberOfPartitions: Partition 3 not empty.\n"},
      {[&] { SetNumberOfAllocatedPartitions(&five, 4); },
       "CB::SetNumberOfAllocatedPartitions: New allocated size of partitions (4) < logical partition count (5).\n"},
      {[&] { CopyPartitioning(&five, &four); }, "ERROR: Destination partitioning is too small (5 -> 4).\n"},
      {[&] { CopyPartitioning(&five, &small); }, "ERROR: Destination partitioning is too small (5 -> 4).\n"},
      {[&] { CopyPartitioning(&four, &small); }, "ERROR: Partitionings are not for same training set.\n"},
      {[&] { CopyPartitioning(&four, &wide); }, "ERROR: Partitionings are not for same training set.\n"},
      {[&] {
         IncreaseNumberOfPartitions(&five, 8), ChangePartition(&ts, &five, 7, 0), PutAllInOwnPartition(&ts, &five);
       },
       "CB::DecreaseNumberOfPartitions: Partition 7 not empty.\n"},
  };
  for (const Case& c : cases) EXPECT_EXIT(c.run(), testing::ExitedWithCode(255), testing::StrEq(c.message));
#ifndef NDEBUG
  EXPECT_DEATH(JoinPartitions(&ts, &four, 2, 2), "keep != gone");
  EXPECT_DEATH(JoinPartitions(&ts, &four, 1, 4), "gone < p->PartitionCount");
#endif
}

}  // namespace
}  // namespace mirvo::test
