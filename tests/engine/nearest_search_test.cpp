// The prepared nearest search on every kernel the processor offers, against
// the plain search: every element width, dimensions 1 to 300, ties, start
// indices anywhere, data shifted away from 0 and training vectors outside
// the code vectors' span; two-element codebooks through the grid of cells. The partition sums of the centroids on the
// same instruction sets, against plain 64-bit sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "engine/centroid_sums.h"
#include "engine/plane_cells.h"
#include "engine/pruning.h"
#include "engine/search.h"
#include "mirvo/mirvo.h"
#include "support/reference.h"

namespace mirvo::test {
namespace {

using mirvo::KernelLevel;

struct Shape {
  int width, dimension, codes;
  int shift;  // added to every element (byte data away from 0)
};

// Code vectors with ties built in: twins one even step apart on an axis
// (their midpoint is equally near to both) and repeated vectors.
std::vector<VectorSpec> CodeVectors(RandomData& r, const Shape& s) {
  auto code = r.Vectors(s.codes, s.dimension, s.width);
  for (int t = 0; t < 2 && !code.empty(); ++t) {
    VectorSpec twin = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))];
    const int axis = r.Int(0, s.dimension - 1);
    twin.elements[axis] += twin.elements[axis] >= 6 ? -2 * r.Int(1, 3) : 2 * r.Int(1, 3);
    code.insert(code.begin() + r.Int(0, static_cast<int>(code.size())), twin);
  }
  for (auto& v : code) {
    for (int& e : v.elements) e += s.shift;
  }
  return code;
}

std::vector<int> Query(RandomData& r, const std::vector<VectorSpec>& code, const Shape& s, int kind) {
  const auto& some = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
  std::vector<int> v = r.Vectors(1, s.dimension, s.width)[0].elements;
  for (int& e : v) e += s.shift;
  switch (kind % 5) {
    case 1:  // a code vector itself
      return some;
    case 2: {  // halfway between two code vectors, where ties are likely
      const auto& other = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
      for (int k = 0; k < s.dimension; ++k) v[k] = static_cast<int>((std::int64_t{some[k]} + other[k]) / 2);
      return v;
    }
    case 3: {  // near a code vector, one element pushed out of the byte span
      v = some;
      const int k = r.Int(0, s.dimension - 1);
      v[k] = v[k] > INT_MIN + 300 ? v[k] - 300 : v[k] + 300;
      return v;
    }
    default:
      return v;
  }
}

void Check(const Shape& s, unsigned seed, KernelLevel level) {
  RandomData r(seed);
  const auto code = CodeVectors(r, s);
  Codebook cb;
  MakeSet(&cb, code, s.dimension, 1, 4, true);
  const NearestSearch search(&cb);
  if (s.width == 1 && s.dimension <= 8192) {
    EXPECT_TRUE(search.UsesByteKernels()) << "seed " << seed;
  }

  constexpr int kQueries = 23;  // not a multiple of the kernels' groups
  std::vector<std::vector<int>> queries;
  std::vector<int> starts, want(kQueries);
  std::vector<std::int64_t> wantDistance(kQueries);
  for (int q = 0; q < kQueries; ++q) {
    queries.push_back(Query(r, code, s, q));
    starts.push_back(r.Int(0, cb.BookSize - 1));
    Wide exact = 0;
    want[q] = PlainNearest(queries.back().data(), &cb, starts.back(), &exact);
    wantDistance[q] = Saturated(exact);
  }
  std::vector<const int*> vectors;
  for (const auto& q : queries) vectors.push_back(q.data());
  std::vector<int> got(kQueries);
  std::vector<std::int64_t> distance(kQueries);
  search.FindMany(vectors.data(), starts.data(), kQueries, got.data(), distance.data());
  const std::string where = "level " + std::to_string(static_cast<int>(level)) + " width " + std::to_string(s.width) +
                            " dimension " + std::to_string(s.dimension) + " seed " + std::to_string(seed);
  EXPECT_EQ(got, want) << where;
  EXPECT_EQ(distance, wantDistance) << where;
  // One at a time, and through the library's interface.
  for (int q = 0; q < kQueries; q += 5) {
    std::int64_t one = -1, viaInterface = -1;
    EXPECT_EQ(search.Find(vectors[q], starts[q], &one), want[q]) << where;
    EXPECT_EQ(one, wantDistance[q]) << where;
    const BookNode node{queries[q].data(), 0, 1, nullptr};
    EXPECT_EQ(FindNearestVector(&node, &cb, &viaInterface, starts[q], MetricSquaredEuclidean), want[q]) << where;
    EXPECT_EQ(viaInterface, wantDistance[q]) << where;
  }
}

class EveryKernel : public testing::TestWithParam<KernelLevel> {};

TEST_P(EveryKernel, MatchesThePlainSearch) {
  const ForcedLevel level(GetParam());
  if (!level.Offered()) GTEST_SKIP() << "not offered by this processor";
  const int dimensions[] = {1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 64, 65, 127, 128, 129, 255, 300};
  const int codeCounts[] = {1, 2, 15, 16, 17, 31, 32, 33, 70};
  unsigned seed = 1;
  for (int width = 1; width <= 4; ++width) {
    for (const int dimension : dimensions) {
      const int codes = codeCounts[seed % std::size(codeCounts)];
      Check({width, dimension, codes, 0}, seed++, GetParam());
    }
  }
  // Byte data away from 0 (a common offset), and at the top of the range.
  for (const int dimension : {1, 3, 16, 100}) {
    Check({1, dimension, 40, 1000}, seed++, GetParam());
    Check({1, dimension, 40, INT_MAX - 255}, seed++, GetParam());
    Check({1, dimension, 40, -70000}, seed++, GetParam());
  }
  Check({1, 8192, 3, 0}, seed++, GetParam());  // the byte kernels' largest dimension
  Check({1, 8193, 3, 0}, seed++, GetParam());  // beyond it
}

// Rows of every stored width straight from a block (stride longer than the
// rows), against the plain search from code vector 0: byte codebooks with
// wider rows (narrowed, or searched by the other method when out of the
// byte span), ties, repeated rows, one row and a partial last kernel tile.
TEST_P(EveryKernel, FindRowsMatchesThePlainSearch) {
  const ForcedLevel level(GetParam());
  if (!level.Offered()) GTEST_SKIP() << "not offered by this processor";
  unsigned seed = 500;
  for (const int width : {1, 2, 4}) {
    for (const int dimension : {1, 3, 4, 16, 17, 128, 129}) {
      for (const int count : {1, 37}) {
        RandomData r(seed);
        const Shape s{seed % 2 == 0 ? 1 : width, dimension, 70, 0};
        const auto code = CodeVectors(r, s);
        Codebook cb;
        MakeSet(&cb, code, dimension, 1, 4, true);
        const NearestSearch search(&cb);
        const std::size_t stride = static_cast<std::size_t>(dimension) + 3;
        std::vector<unsigned char> rows(static_cast<std::size_t>(count) * stride * width);
        std::vector<int> want(static_cast<std::size_t>(count)), got(want.size());
        std::vector<std::int64_t> wantDistance(want.size()), distance(want.size());
        const std::int64_t top = width == 4 ? INT_MAX : (std::int64_t{1} << (8 * width)) - 1;
        std::vector<int> q;
        for (int i = 0; i < count; ++i) {
          if (i % 7 != 3) q = Query(r, code, s, i);  // else the row before again
          for (int& e : q) e = static_cast<int>(std::clamp<std::int64_t>(e, width == 4 ? INT_MIN : 0, top));
          for (int k = 0; k < dimension; ++k) {
            unsigned char* at = rows.data() + (static_cast<std::size_t>(i) * stride + k) * width;
            const int e = q[static_cast<std::size_t>(k)];
            const auto narrow = static_cast<std::uint8_t>(e);
            const auto word = static_cast<std::uint16_t>(e);
            std::memcpy(at,
                        width == 1   ? static_cast<const void*>(&narrow)
                        : width == 2 ? &word
                                     : static_cast<const void*>(&e),
                        static_cast<std::size_t>(width));
          }
          Wide exact = 0;
          want[static_cast<std::size_t>(i)] = PlainNearest(q.data(), &cb, 0, &exact);
          wantDistance[static_cast<std::size_t>(i)] = Saturated(exact);
        }
        search.FindRows(RowBlock{rows.data(), count, dimension, width, stride * width}, got.data(), distance.data());
        const std::string where = "width " + std::to_string(width) + " dimension " + std::to_string(dimension) +
                                  " seed " + std::to_string(seed);
        EXPECT_EQ(got, want) << where;
        EXPECT_EQ(distance, wantDistance) << where;
        ++seed;
      }
    }
  }
}

// Codebooks large enough to be pruned, built to defeat the bounds: byte
// data shifted away from 0, few values (many ties and repeats), every code
// vector with the same sum, or a permutation of one vector (same sum and
// same spread), smooth ramps as in image blocks, bright vectors whose sums
// and spreads reach the largest keys (divided by 2 beyond 128 elements),
// even multiples of a few directions, each 16 times in a row (the bounds
// of a leaf of such copies are then as tight as they can be, and their
// roundings decide: the odd multiples between lie at equal distances from
// two code vectors, exactly at the bound). Training vectors
// are code vectors, midpoints, neighbours and random ones, odd multiples
// for the directions, in a partial last tile; rows of 1 and 2 bytes through FindRows, and int
// vectors with start indices through FindMany; every batch pruned.
TEST_P(EveryKernel, PrunedSearchMatchesThePlainSearch) {
  const ForcedLevel level(GetParam());
  if (!level.Offered()) GTEST_SKIP() << "not offered by this processor";
  struct AlwaysPrune {
    AlwaysPrune() { cbdetail::SetAlwaysPrune(true); }
    ~AlwaysPrune() { cbdetail::SetAlwaysPrune(false); }
  } always;
  enum Style { kRandom, kFewValues, kSameSum, kPermuted, kRamps, kBright, kRays };
  struct Case {
    Style style;
    int dimension, codes, shift;
  };
  const Case cases[] = {{kRandom, 16, 600, 0},   {kRandom, 5, 2000, 40},  {kFewValues, 16, 700, 0},
                        {kFewValues, 4, 900, 0}, {kSameSum, 8, 800, 0},   {kPermuted, 16, 1000, 0},
                        {kRamps, 16, 1500, 0},   {kRamps, 64, 600, 1000}, {kRandom, 256, 520, 0},
                        {kBright, 128, 700, 0},  {kBright, 129, 600, 0},  {kBright, 255, 530, 7},
                        {kRays, 4, 1024, 0},     {kRays, 16, 1024, 0},    {kRays, 151, 1024, 0}};
  unsigned seed = 900;
  for (const Case& c : cases) {
    RandomData r(seed);
    std::vector<VectorSpec> code;
    std::vector<int> base(static_cast<std::size_t>(c.dimension));
    for (int& e : base) e = r.Int(0, 255);
    constexpr int kDirections = 16;
    std::vector<std::vector<int>> directions;
    // The first two all ones, the second but for two zeros: the sums bound
    // them (nearly) alone, and with an odd dimension divided sums round down
    // at every other multiple.
    directions.assign(2, std::vector<int>(static_cast<std::size_t>(c.dimension), 1));
    directions[1][0] = directions[1][1] = 0;
    for (int j = 2; j < kDirections; ++j) directions.push_back(r.Vectors(1, c.dimension, 1)[0].elements);
    auto ray = [&](int j, int m) {  // m times direction j % kDirections
      std::vector<int> v = directions[static_cast<std::size_t>(j % kDirections)];
      for (int& e : v) e = m * (e % 4);
      return v;
    };
    for (int j = 0; j < c.codes; ++j) {
      std::vector<int> v(static_cast<std::size_t>(c.dimension));
      const int level0 = r.Int(0, 200), slope = r.Int(-3, 3);
      for (int k = 0; k < c.dimension; ++k) {
        switch (c.style) {
          case kRandom:
            v[k] = r.Int(0, 255);
            break;
          case kFewValues:
            v[k] = r.Int(0, 3) * 85;
            break;
          case kSameSum:  // pairs (a, 255 - a)
            v[k] = k % 2 == 0 ? r.Int(0, 255) : 255 - v[k - 1];
            break;
          case kPermuted:
            v[k] = base[static_cast<std::size_t>(k)];
            break;
          case kRamps:
            v[k] = std::clamp(level0 + slope * k + r.Int(0, 2), 0, 255);
            break;
          case kBright:  // near 255, or 0 in few places
            v[k] = r.Int(0, 30) == 0 ? r.Int(0, 3) : r.Int(250, 255);
            break;
          case kRays:
            break;
        }
      }
      // Multiples 8, 6, 4, 2 of even directions, 1, 3, 5, 7 of odd ones
      // (training vectors at the others): the lower index of two equally near
      // lies beyond the training vector, or short; a divided sum rounds down
      // on either side.
      const int step = j / 16 / kDirections;
      if (c.style == kRays) v = ray(j / 16, j / 16 % 2 == 0 ? 8 - 2 * step : 1 + 2 * step);
      if (c.style == kPermuted) std::shuffle(v.begin(), v.end(), std::mt19937(seed + j));
      for (int& e : v) e += c.shift;
      code.push_back({v, 1, ""});
      if (c.style != kRays && r.Int(0, 9) == 0) code.push_back(code.back());  // a repeat, at a higher index
    }
    Codebook cb;
    MakeSet(&cb, code, c.dimension, 1, 4, true);
    const int width = c.shift > 0 ? 2 : 1;
    constexpr int kRows = 203;
    std::vector<std::vector<int>> queries;
    for (int i = 0; i < kRows; ++i) {
      const auto& a = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
      const auto& b = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
      std::vector<int> q = a;
      for (int k = 0; k < c.dimension; ++k) {
        const int pick = i % 4;
        if (pick == 1) q[k] = (a[k] + b[k] + r.Int(0, 1)) / 2;
        if (pick == 2) q[k] = std::clamp(a[k] + r.Int(-2, 2), c.shift, c.shift + 255);
        if (pick == 3) q[k] = c.shift + r.Int(0, 255);
      }
      if (c.style == kRays) q = ray(i, 2 * r.Int(0, 4) + 1 - i % 2);
      queries.push_back(q);
    }
    const std::string where = "style " + std::to_string(c.style) + " dimension " + std::to_string(c.dimension);
    // FindRows from code vector 0, in the rows' stored width.
    std::vector<unsigned char> rows(static_cast<std::size_t>(kRows * c.dimension * width));
    std::vector<int> want(kRows), got(kRows), starts(kRows), wantFromStart(kRows);
    std::vector<std::int64_t> wantDistance(kRows), distance(kRows);
    for (int i = 0; i < kRows; ++i) {
      for (int k = 0; k < c.dimension; ++k) {
        const auto at = static_cast<std::size_t>(i * c.dimension + k);
        if (width == 1) rows[at] = static_cast<unsigned char>(queries[i][k]);
        if (width == 2) {
          const auto word = static_cast<std::uint16_t>(queries[i][k]);
          std::memcpy(rows.data() + 2 * at, &word, 2);
        }
      }
      Wide exact = 0;
      want[i] = PlainNearest(queries[i].data(), &cb, 0, &exact);
      wantDistance[i] = Saturated(exact);
      starts[i] = r.Int(0, 1) == 0 ? want[i] + r.Int(0, 1) : r.Int(0, cb.BookSize - 1);
      starts[i] = std::min(starts[i], cb.BookSize - 1);
      wantFromStart[i] = PlainNearest(queries[i].data(), &cb, starts[i], &exact);
    }
    const NearestSearch search(&cb);
    ASSERT_TRUE(search.Prunes()) << where;
    search.FindRows(RowBlock{rows.data(), kRows, c.dimension, width, static_cast<std::size_t>(c.dimension * width)},
                    got.data(), distance.data());
    EXPECT_EQ(got, want) << where;
    EXPECT_EQ(distance, wantDistance) << where;
    std::vector<const int*> vectors;
    for (const auto& q : queries) vectors.push_back(q.data());
    search.FindMany(vectors.data(), starts.data(), kRows, got.data(), distance.data());
    EXPECT_EQ(got, wantFromStart) << where;
    EXPECT_EQ(distance, wantDistance) << where;
    // One at a time: no other row of a tile needs a leaf that one row's
    // bounds exclude.
    if (c.style == kRays) {
      for (int i = 0; i < kRows; ++i) {
        search.FindRows(RowBlock{rows.data() + static_cast<std::size_t>(i * c.dimension * width), 1, c.dimension, width,
                                 static_cast<std::size_t>(c.dimension * width)},
                        &got[i], &distance[i]);
      }
      EXPECT_EQ(got, want) << where;
      EXPECT_EQ(distance, wantDistance) << where;
    }
    ++seed;
  }
}

// Two-element codebooks through the grid of cells, against the plain
// search: code vectors spread out, on a lattice with repeats (training
// vectors at its midpoints are equally near to two or four), in tight
// clusters far apart (their cells keep no list), on one line, one alone,
// two with a tie exactly at a cell's bound, far from 0, and spanning the
// whole int32 range (no grid: distances need more than 63 bits). Training
// vectors are code vectors, midpoints, neighbours, random ones inside the
// box and beyond it, enough in one call for the grid to be laid out.
TEST(PlaneCells, MatchThePlainSearch) {
  enum Style { kSpread, kLattice, kClusters, kLine, kOne, kEdge, kFar, kWhole };
  struct Case {
    Style style;
    int codes;
  };
  const Case cases[] = {{kSpread, 300}, {kLattice, 121}, {kClusters, 240}, {kLine, 50},
                        {kOne, 1},      {kEdge, 2},      {kFar, 200},      {kWhole, 60}};
  unsigned seed = 1300;
  for (const Case& c : cases) {
    RandomData r(seed++);
    std::vector<VectorSpec> code;
    for (int j = 0; j < c.codes; ++j) {
      int x = r.Int(0, 1000000), y = r.Int(0, 1000000);
      if (c.style == kLattice) x = j % 11 * 10, y = j / 11 * 10;
      if (c.style == kClusters) x = j % 3 * 500000 + r.Int(-5, 5), y = j % 3 == 1 ? 1000000 : r.Int(-5, 5);
      if (c.style == kLine) y = 7;
      // 14 and 0: the cell [6, 7] lists 0, nearest its middle, and 14,
      // exactly as far from 7, where the lower index wins.
      if (c.style == kEdge) x = 14 - 14 * j, y = 0;
      if (c.style == kFar) x -= 1000000000, y += 2000000000 - 1000000;
      if (c.style == kWhole) x = j < 2 ? INT_MIN + j : j < 4 ? INT_MAX - j : r.Int(INT_MIN, INT_MAX);
      code.push_back({{x, y}, 1, ""});
      if (c.style != kOne && r.Int(0, 6) == 0) code.push_back(code.back());  // a repeat, at a higher index
    }
    Codebook cb;
    MakeSet(&cb, code, 2, 1, 4, true);
    const int count = 16 * cb.BookSize + 37;  // enough for the search to lay out its grid
    std::vector<std::vector<int>> queries;
    for (int i = 0; i < count; ++i) {
      const auto& a = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
      const auto& b = code[static_cast<std::size_t>(r.Int(0, static_cast<int>(code.size()) - 1))].elements;
      std::vector<int> q = a;
      for (int k = 0; k < 2; ++k) {
        const std::int64_t e = a[k];
        if (i % 5 == 1) q[k] = static_cast<int>((e + b[k]) / 2);
        if (i % 5 == 2) q[k] = static_cast<int>(std::clamp<std::int64_t>(e + r.Int(-3, 3), INT_MIN, INT_MAX));
        if (i % 5 == 3)
          q[k] =
              static_cast<int>(std::min(e, std::int64_t{b[k]}) + r.Int(0, std::abs(static_cast<int>((e - b[k]) / 2))));
        if (i % 5 == 4)
          q[k] = static_cast<int>(std::clamp<std::int64_t>(e + r.Int(-2000000, 2000000), INT_MIN, INT_MAX));
      }
      queries.push_back(q);
    }
    std::vector<int> want(queries.size()), wantFromStart(want.size()), starts(want.size()), got(want.size());
    std::vector<std::int64_t> wantDistance(want.size()), distance(want.size());
    std::vector<unsigned char> rows(queries.size() * 2 * sizeof(int));
    for (std::size_t i = 0; i < queries.size(); ++i) {
      std::memcpy(rows.data() + i * 2 * sizeof(int), queries[i].data(), 2 * sizeof(int));
      Wide exact = 0;
      want[i] = PlainNearest(queries[i].data(), &cb, 0, &exact);
      wantDistance[i] = Saturated(exact);
      starts[i] = std::min(r.Int(0, 1) == 0 ? want[i] + r.Int(0, 1) : r.Int(0, cb.BookSize - 1), cb.BookSize - 1);
      wantFromStart[i] = PlainNearest(queries[i].data(), &cb, starts[i], &exact);
    }
    const std::string where = "style " + std::to_string(c.style);
    // The grid alone, on the vectors it answers.
    const auto cells = cbdetail::PlaneCells::Prepare(cbdetail::CodeRows::Of(&cb), [&](const int* point) {
      Wide unused = 0;
      return PlainNearest(point, &cb, 0, &unused);
    });
    ASSERT_EQ(cells == nullptr, c.style == kWhole) << where;
    int answered = 0;
    for (std::size_t i = 0; cells != nullptr && i < queries.size(); ++i) {
      int answer = -1;
      std::int64_t d = -1;
      if (!cells->Find(queries[i].data(), starts[i], &answer, &d)) continue;
      ++answered;
      EXPECT_EQ(answer, wantFromStart[i]) << where << " vector " << i;
      EXPECT_EQ(d, wantDistance[i]) << where << " vector " << i;
    }
    if (cells != nullptr && c.style != kClusters) {
      EXPECT_GT(answered, count / 3) << where;
    }
    // Through the search, from the starts and from code vector 0.
    std::vector<const int*> vectors;
    for (const auto& q : queries) vectors.push_back(q.data());
    const NearestSearch search(&cb);
    search.FindMany(vectors.data(), starts.data(), count, got.data(), distance.data());
    EXPECT_EQ(got, wantFromStart) << where;
    EXPECT_EQ(distance, wantDistance) << where;
    search.FindRows(RowBlock{rows.data(), count, 2, 4, 2 * sizeof(int)}, got.data(), distance.data());
    EXPECT_EQ(got, want) << where;
    EXPECT_EQ(distance, wantDistance) << where;
  }
}

// Rows in their stored width, one after the other or apart (as in a file's
// records), added a block at a time; frequencies of 1, small ones of either
// sign, ones large enough that 32-bit sums must be folded between blocks,
// or that the sums need 64 bits; few partitions (many rows to each, 32-bit
// sums first), many, or so many that the sums are kept for those met only;
// on one thread, or on three, each with sums of its own.
TEST_P(EveryKernel, CentroidSumsMatchPlainSums) {
  const ForcedLevel level(GetParam());
  if (!level.Offered()) GTEST_SKIP() << "not offered by this processor";
  for (unsigned seed = 1; seed <= 120; ++seed) {
    RandomData r(seed);
    // Seeds 3 mod 8: blocks whose 32-bit sums fit, but not those of all
    // blocks.
    const bool folds = seed % 8 == 3;
    const int width = folds ? 1 : seed % 3 == 0 ? 4 : 1 + static_cast<int>(seed % 2);
    // The lengths some kernels add whole among them.
    const int dimension = seed % 11 == 0 ? 64 : seed % 13 == 0 ? 16 : seed % 17 == 0 ? 32 : r.Int(1, 40);
    const int partitions = seed % 10 == 5  ? r.Int(10000, 20000)
                           : seed % 5 == 0 ? r.Int(200, 400)
                           : folds         ? 1
                                           : r.Int(1, 12);
    const int count = folds ? r.Int(1000, 1500) : r.Int(0, 1500);
    std::vector<int> freqs(static_cast<std::size_t>(count)), of(freqs.size());
    std::vector<std::int32_t> elements(freqs.size() * static_cast<std::size_t>(dimension));
    for (int& f : freqs) {
      f = seed % 4 == 1   ? 1
          : seed % 4 == 2 ? r.Int(-3, 3)
          : folds         ? r.Int(20000, 27000)
                          : r.Int(-1, 1) * r.Int(1, 1 << 22);
    }
    for (int& p : of) p = r.Int(0, partitions - 1);
    for (auto& e : elements) e = r.Element(width);
    const std::size_t rowBytes = static_cast<std::size_t>(dimension) * width;
    const std::size_t step = seed % 7 < 3 ? rowBytes + static_cast<std::size_t>(r.Int(1, 5) * width) : rowBytes;
    std::vector<unsigned char> rows(freqs.size() * step, 0xEE);
    for (std::size_t i = 0; i < elements.size(); ++i) {
      const auto narrow = static_cast<std::uint8_t>(elements[i]);
      const auto word = static_cast<std::uint16_t>(elements[i]);
      std::memcpy(rows.data() + (i / dimension) * step + (i % dimension) * width,
                  width == 1   ? static_cast<const void*>(&narrow)
                  : width == 2 ? &word
                               : static_cast<const void*>(&elements[i]),
                  static_cast<std::size_t>(width));
    }
    std::vector<std::uint64_t> want(static_cast<std::size_t>(partitions) * dimension);
    std::vector<std::uint32_t> wantFreq(static_cast<std::size_t>(partitions));
    for (int i = 0; i < count; ++i) {
      const auto p = static_cast<std::size_t>(of[i]);
      for (int k = 0; k < dimension; ++k) {
        want[p * dimension + k] += static_cast<std::uint64_t>(
            std::int64_t{elements[static_cast<std::size_t>(i) * dimension + k]} * freqs[static_cast<std::size_t>(i)]);
      }
      wantFreq[p] += static_cast<std::uint32_t>(freqs[static_cast<std::size_t>(i)]);
    }
    CentroidSums sums(partitions, dimension);
    const bool parallel = seed % 3 == 1;
    const int threads = SetThreadCount(parallel ? 3 : 1);
    for (int at = 0, take = 0; at < count; at += take) {
      take = std::min(count - at, r.Int(1, folds ? 300 : parallel ? 5000 : 700));
      const RowBlock block{rows.data() + static_cast<std::size_t>(at) * step, take, dimension, width, step};
      if (parallel) {
        sums.AddInParallel(block, freqs.data() + at, of.data() + at);
      } else {
        sums.Add(block, freqs.data() + at, of.data() + at);
      }
    }
    SetThreadCount(threads);
    const std::vector<std::uint64_t> none(static_cast<std::size_t>(dimension), 0);
    for (int p = 0; p < partitions; ++p) {
      const auto* got = sums.Sum(p) != nullptr ? reinterpret_cast<const std::uint64_t*>(sums.Sum(p)) : none.data();
      ASSERT_EQ(std::vector<std::uint64_t>(got, got + dimension),
                std::vector<std::uint64_t>(want.begin() + p * dimension, want.begin() + (p + 1) * dimension))
          << "seed " << seed << " partition " << p;
      ASSERT_EQ(static_cast<std::uint32_t>(sums.Freq(p)), wantFreq[static_cast<std::size_t>(p)]) << seed;
    }
  }
}

std::string LevelName(const testing::TestParamInfo<KernelLevel>& info) {
  static const char* const kNames[] = {"Portable", "Avx2", "AvxVnni", "Avx512", "Avx512Vbmi"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Levels, EveryKernel, testing::ValuesIn(EveryLevel()), LevelName);

TEST(KernelLevels, RequestsAreLoweredToWhatTheProcessorOffers) {
  const KernelLevel best = BestKernelLevel();
  const ForcedLevel level(KernelLevel::Avx512Vbmi);
  EXPECT_EQ(ActiveKernelLevel(), best);
  EXPECT_EQ(SetKernelLevel(KernelLevel::Portable), KernelLevel::Portable);
  EXPECT_EQ(ActiveKernelLevel(), KernelLevel::Portable);
}

}  // namespace
}  // namespace mirvo::test
