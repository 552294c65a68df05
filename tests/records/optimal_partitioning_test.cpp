// Optimal partitioning: the nearest-code-vector search and its fast paths
// against the plain search, every vector moved into its nearest partition,
// incremental repartitioning and the fast error estimate.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/search.h"
#include "mirvo/mirvo.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

Codebook* OneDimensional(Codebook* cb, const std::vector<int>& values, bool codebook) {
  std::vector<VectorSpec> vectors;
  for (const int v : values) vectors.push_back({{v}, 1, ""});
  MakeSet(cb, vectors, 1, 1, 1, codebook);
  return cb;
}

struct SearchCase {
  std::vector<int> code;
  int start, want;
  std::int64_t distance;
};

TEST(FindNearestVector, TiesKeepTheStartElseTheLowestIndex) {
  const SearchCase cases[] = {{{0, 10, 10}, 0, 0, 25},   {{0, 10, 10}, 2, 2, 25}, {{0, 10, 10}, 1, 1, 25},
                              {{0, 4, 6}, 0, 1, 1},      {{0, 4, 6}, 2, 2, 1},    {{9, 4, 6, 5, 5}, 0, 3, 0},
                              {{9, 4, 6, 5, 5}, 4, 4, 0}};
  for (const auto& c : cases) {  // searching for 5
    Codebook cb;
    OneDimensional(&cb, c.code, true);
    int five = 5;
    const BookNode node{&five, 5, 1, nullptr};
    std::int64_t d1 = -1, d2 = -1;
    const std::vector<int> got = {FindNearestVector(&node, &cb, &d1, c.start, 0),
                                  NearestSearch(&cb).Find(&five, c.start, &d2)};
    EXPECT_EQ(got, std::vector<int>(2, c.want)) << "start " << c.start;
    EXPECT_EQ(std::vector<std::int64_t>({d1, d2}), std::vector<std::int64_t>(2, c.distance));
  }
}

TEST(FindNearestVector, FastPathsMatchThePlainSearch) {
  for (unsigned seed = 1; seed <= 400; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), dim = r.Int(1, 64);
    auto code = r.Vectors(r.Int(1, 20), dim, width);
    // A twin of a code vector one even step away along one axis: the point
    // halfway between them is equally near to both.
    const VectorSpec base = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))];
    const int axis = r.Int(0, dim - 1), half = base.elements[axis] >= 6 ? -r.Int(1, 3) : r.Int(1, 3);
    VectorSpec twin = base;
    twin.elements[axis] += 2 * half;
    code.insert(code.begin() + r.Int(0, static_cast<int>(code.size())), twin);
    Codebook cb;
    MakeSet(&cb, code, dim, 1, width, true);
    const NearestSearch search(&cb);
    for (int t = 0; t < 16; ++t) {
      std::vector<int> v = r.Vectors(1, dim, width)[0].elements;
      if (t % 4 == 1) v = code[static_cast<std::size_t>(r.Int(0, cb.BookSize - 1))].elements;
      if (t % 4 == 2) {
        v = base.elements;
        v[axis] += half;
      }
      const int start = r.Int(0, cb.BookSize - 1);
      Wide exact = 0;
      const int want = PlainNearest(v.data(), &cb, start, &exact);
      const BookNode node{v.data(), 0, 1, nullptr};
      std::int64_t d1 = -1, d2 = -1, d3 = -1;
      const std::vector<int> got = {search.Find(v.data(), start, &d1), FindNearestVector(&node, &cb, &d2, start, 0),
                                    cbdetail::FindNearestSquared(v.data(), &cb, start, &d3)};
      EXPECT_EQ(got, std::vector<int>(3, want)) << "seed " << seed << " vector " << t;
      EXPECT_EQ(std::vector<std::int64_t>({d1, d2, d3}), std::vector<std::int64_t>(3, Saturated(exact))) << seed;
    }
  }
}

// The plain algorithm: one vector at a time, in index order, moved with
// ChangePartition; returns the mean squared error per element.
double MoveOneByOne(const Codebook& ts, const Codebook& cb, Partitioning* p) {
  __int128 sum = 0;
  for (int i = 0; i < ts.BookSize; ++i) {
    Wide d = 0;
    const int j = PlainNearest(ts.Book[i].Vector, &cb, p->PartitionOf[i], &d);
    if (j != p->PartitionOf[i]) ChangePartition(&ts, p, j, i);
    sum += static_cast<__int128>(Saturated(d)) * ts.Book[i].Freq;
  }
  return static_cast<double>(sum) / (static_cast<double>(VectorSize(&ts)) * ts.TotalFreq);
}

TEST(GenerateOptimalPartitioning, MatchesMovingVectorsOneByOne) {
  for (unsigned seed = 1; seed <= 160; ++seed) {
    RandomData r(seed);
    const int width = 1 + static_cast<int>(seed % 4), dim = r.Int(1, 64), books = r.Int(1, 12);
    const int n = seed % 40 == 7 ? 6000 : r.Int(0, 80);  // large sets are searched in parallel
    const auto code = r.Vectors(books, dim, width);
    auto train = r.Vectors(n, dim, width);
    for (auto& t : train) {
      if (r.Int(0, 3) == 0) t.elements = code[static_cast<std::size_t>(r.Int(0, books - 1))].elements;
    }
    Codebook ts, cb;
    MakeSet(&ts, train, dim, 1, width);
    MakeSet(&cb, code, dim, 1, width, true);
    Partitioning fast, plain;
    const int count = books + r.Int(0, 2);
    for (Partitioning* p : {&fast, &plain}) {
      CreateNewPartitioning(p, &ts, count);
      RandomData moves(seed + 1000);
      for (int k = 0; seed % 2 == 0 && k < n; ++k)
        ChangePartition(&ts, p, moves.Int(0, books - 1), moves.Int(0, n - 1));
    }
    const double error = GenerateOptimalPartitioningMeanError(&ts, &cb, &fast, 0);
    EXPECT_THAT(error, testing::NanSensitiveDoubleEq(MoveOneByOne(ts, cb, &plain))) << "seed " << seed;
    ExpectSamePartitioning(fast, plain);
  }
}

// Codebooks large enough for the search to skip work: the record searches
// of metric 0 against the plain one, from scattered start partitions, with
// repeated code vectors (ties) and training vectors equal to code vectors.
TEST(GenerateOptimalPartitioning, LargeCodebooksMatchThePlainSearch) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    RandomData r(seed);
    const int dim = seed == 3 ? 4 : 16, n = 2500, books = 700;
    std::vector<VectorSpec> train;
    for (int i = 0; i < n; ++i) {
      const int level = r.Int(0, 230), slope = r.Int(-2, 2);
      train.push_back({std::vector<int>(static_cast<std::size_t>(dim)), r.Int(0, 3), ""});
      for (int k = 0; k < dim; ++k) train.back().elements[k] = std::clamp(level + slope * k + r.Int(0, 3), 0, 255);
    }
    std::vector<VectorSpec> code;
    for (int j = 0; j < books; ++j) code.push_back(train[static_cast<std::size_t>(r.Int(0, n - 1))]);
    Codebook ts, cb;
    MakeSet(&ts, train, dim, 1, 1);
    MakeSet(&cb, code, dim, 1, 1, true);
    Partitioning fast, plain;
    for (Partitioning* p : {&fast, &plain}) {
      CreateNewPartitioning(p, &ts, books);
      RandomData moves(seed + 1000);
      for (int k = 0; k < n; ++k) ChangePartition(&ts, p, moves.Int(0, 40), k);
    }
    // The estimate from the scattered starts, then the partitionings.
    __int128 sum = 0;
    for (int i = 0; i < n; ++i) {
      Wide d = 0;
      PlainNearest(ts.Book[i].Vector, &cb, fast.PartitionOf[i], &d);
      sum += static_cast<__int128>(Saturated(d)) * ts.Book[i].Freq;
    }
    EXPECT_DOUBLE_EQ(AverageErrorCBFastMeanError(&ts, &cb, &fast, 0),
                     static_cast<double>(sum) / (static_cast<double>(dim) * ts.TotalFreq));
    LocalRepartitioningGeneral(&ts, &cb, &fast, 7, 0);
    for (int v = plain.FirstVector[7]; v != -1;) {
      const int next = plain.NextVector[v];
      Wide d = 0;
      const int j = PlainNearest(ts.Book[v].Vector, &cb, 7, &d);
      if (j != 7) ChangePartition(&ts, &plain, j, v);
      v = next;
    }
    ExpectSamePartitioning(fast, plain);
    const double error = GenerateOptimalPartitioningMeanError(&ts, &cb, &fast, 0);
    EXPECT_DOUBLE_EQ(error, MoveOneByOne(ts, cb, &plain)) << "seed " << seed;
    ExpectSamePartitioning(fast, plain);
  }
}

TEST(GenerateOptimalPartitioning, ErrorFunctionsChooseTheMetric) {
  Codebook ts, cb;
  MakeSet(&ts, {{{1000000, 0}, 1, ""}}, 2, 1, 4);
  MakeSet(&cb, {{{700000, 300000}, 1, ""}, {{1000000, 500000}, 1, ""}}, 2, 1, 4, true);
  // Squared distances 1.8e11 and 2.5e11; code lengths 1.03 and 1 bits;
  // Jaccard 1 and 1/2, Dice 1 and 1/3.
  const int functions[] = {0, 1, 11, 12}, want[] = {0, 1, 1, 1};
  Partitioning p[5];
  for (int f = 0; f < 4; ++f) {
    CreateNewPartitioning(&p[f], &ts, 2);
    const double error = GenerateOptimalPartitioningGeneral(&ts, &cb, &p[f], functions[f]);
    EXPECT_EQ(p[f].PartitionOf[0], want[f]) << functions[f];
    EXPECT_DOUBLE_EQ(error, AverageErrorForSolution(&ts, &cb, &p[f], functions[f])) << functions[f];
  }
  CreateNewPartitioning(&p[4], &ts, 2);
  EXPECT_EXIT(GenerateOptimalPartitioningGeneral(&ts, &cb, &p[4], 2), testing::ExitedWithCode(255),
              testing::StrEq("ERROR: Unknown error function.\n"));
}

TEST(Repartitioning, MovesOnlyToStrictlyNearerCodeVectors) {
  Codebook ts, cb;
  OneDimensional(&ts, {5, 1, 9}, false);
  OneDimensional(&cb, {0, 10, 4, 6}, true);
  Partitioning p, q;
  CreateNewPartitioning(&p, &ts, 4);
  RepartitionDueToNewVectorGeneral(&ts, &cb, &p, 1, 0);  // 5 is as near to 10 as to 0: it stays
  const int listed[] = {3, 2};
  RepartitionDueToNewVectorsGeneral(&ts, &cb, &p, listed, 2, 0);  // 6 and 4 equally near: first listed
  EXPECT_THAT(std::vector<int>(p.PartitionOf, p.PartitionOf + 3), testing::ElementsAre(3, 0, 1));
  CreateNewPartitioning(&q, &ts, 4);
  LocalRepartitioningGeneral(&ts, &cb, &q, 0, 0);
  EXPECT_THAT(std::vector<int>(q.PartitionOf, q.PartitionOf + 3), testing::ElementsAre(2, 0, 1));
  ExpectConsistent(ts, q);
  EXPECT_DOUBLE_EQ(AverageErrorCBFast(&ts, &cb, &p, 0), 1.0);
  EXPECT_DOUBLE_EQ(AverageErrorCBFastMeanError(&cb, &cb, nullptr, 0), 0.0);
}

}  // namespace
}  // namespace mirvo::test
