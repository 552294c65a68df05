#include "support/reference.h"

#include <gtest/gtest.h>

#include <climits>

namespace mirvo::test {

Wide ExactDistance(const int* a, const int* b, int count) {
  Wide sum = 0;
  for (int i = 0; i < count; ++i) {
    const __int128 diff = static_cast<__int128>(a[i]) - b[i];
    sum += static_cast<Wide>(diff * diff);
  }
  return sum;
}

std::int64_t Saturated(Wide distance) {
  return distance > static_cast<Wide>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(distance);
}

int PlainNearest(const int* vector, const Codebook* cb, int start, Wide* distance) {
  *distance = ExactDistance(cb->Book[start].Vector, vector, VectorSize(cb));
  int answer = start;
  for (int j = 0; j<cb->BookSize&& * distance> 0; ++j) {
    const Wide d = ExactDistance(cb->Book[j].Vector, vector, VectorSize(cb));
    if (d < *distance) *distance = d, answer = j;
  }
  return answer;
}

std::string PartitioningText(int count, const std::vector<VectorSpec>& ts, const std::vector<int>& assignment,
                             const std::string& method) {
  std::string text = "VQ PARTITIONING 2.0\n" + std::to_string(count) + "\n" + std::to_string(ts.size()) + "\n";
  if (!method.empty()) text += method + "\n";
  text += std::string(37, '-') + "\n";
  for (std::size_t i = 0; i < ts.size(); ++i) {
    text += std::to_string(assignment[i] + 1) + (ts[i].name.empty() ? "" : " " + ts[i].name) + "\n";
  }
  return text;
}

std::vector<VectorSpec> Centroids(const std::vector<VectorSpec>& ts, const std::vector<int>& assignment, int count,
                                  int dimension) {
  std::vector<VectorSpec> book(static_cast<std::size_t>(count), VectorSpec{std::vector<int>(dimension, 0), 0, ""});
  std::vector<std::vector<std::int64_t>> sums(book.size(), std::vector<std::int64_t>(dimension, 0));
  for (std::size_t i = 0; i < ts.size(); ++i) {
    const auto k = static_cast<std::size_t>(assignment[i]);
    for (int e = 0; e < dimension; ++e) sums[k][e] += std::int64_t{ts[i].elements[e]} * ts[i].freq;
    book[k].freq += ts[i].freq;
  }
  for (std::size_t k = 0; k < book.size(); ++k) {
    for (int e = 0; e < dimension && book[k].freq > 0; ++e) {
      book[k].elements[e] = static_cast<int>(static_cast<double>(sums[k][e]) / book[k].freq + 0.5);
    }
  }
  return book;
}

RandomData::RandomData(unsigned seed) : rng_(seed) { style_ = Int(0, 2); }

int RandomData::Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

int RandomData::Element(int width) {
  const std::int64_t top = width == 4 ? INT_MAX : (std::int64_t{1} << (8 * width)) - 1;
  const std::int64_t bottom = width == 4 ? INT_MIN : 0;
  if (style_ == 2) return width == 4 ? Int(-1000, 1000) : Int(0, static_cast<int>(std::min<std::int64_t>(top, 20)));
  const int pick = style_ == 0 ? Int(0, 3) : 3;
  if (pick == 0) return static_cast<int>(bottom + Int(0, 2));
  if (pick == 1) return static_cast<int>(top - Int(0, 2));
  if (pick == 2) return Int(0, 2);
  return static_cast<int>(std::uniform_int_distribution<std::int64_t>(bottom, top)(rng_));
}

std::vector<VectorSpec> RandomData::Vectors(int count, int dimension, int width, bool named) {
  std::vector<VectorSpec> vectors;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && Int(0, 4) == 0) {
      vectors.push_back(vectors[static_cast<std::size_t>(Int(0, i - 1))]);
    } else {
      vectors.push_back({std::vector<int>(static_cast<std::size_t>(dimension)), 1, ""});
      for (int& e : vectors.back().elements) e = Element(width);
    }
    vectors.back().freq = Int(0, 3);
    const bool hasName = named && Int(0, 1) == 1;
    vectors.back().name = hasName ? std::string(1, static_cast<char>('a' + Int(0, 25))) + std::to_string(i) : "";
  }
  return vectors;
}

namespace {
template <class T>
std::vector<T> Copy(const T* data, int n) {
  return n > 0 ? std::vector<T>(data, data + n) : std::vector<T>();
}
}  // namespace

void ExpectSamePartitioning(const Partitioning& got, const Partitioning& want) {
  EXPECT_STREQ(got.VersionString, want.VersionString);
  EXPECT_STREQ(got.GenerationMethod, want.GenerationMethod);
  ASSERT_EQ(got.PartitionCount, want.PartitionCount);
  ASSERT_EQ(got.TrainingSetSize, want.TrainingSetSize);
  ASSERT_EQ(got.Dimension, want.Dimension);
  ASSERT_EQ(got.AllocatedPartitions, want.AllocatedPartitions);
  const int n = got.TrainingSetSize, slots = got.AllocatedPartitions;
  EXPECT_EQ(Copy(got.PartitionOf, n), Copy(want.PartitionOf, n));
  EXPECT_EQ(Copy(got.NextVector, n), Copy(want.NextVector, n));
  EXPECT_EQ(Copy(got.FirstVector, slots), Copy(want.FirstVector, slots));
  EXPECT_EQ(Copy(got.MemberCount, slots), Copy(want.MemberCount, slots));
  for (int q = 0; q < slots; ++q) {
    EXPECT_EQ(got.Sums[q].CCFreq, want.Sums[q].CCFreq) << "partition " << q;
    EXPECT_EQ(Copy(got.Sums[q].VectorSum, got.Dimension), Copy(want.Sums[q].VectorSum, got.Dimension)) << q;
  }
}

void ExpectConsistent(const Codebook& ts, const Partitioning& p) {
  std::vector<int> seen(static_cast<std::size_t>(p.TrainingSetSize), 0);
  for (int q = 0; q < p.AllocatedPartitions; ++q) {
    std::vector<std::int64_t> sum(static_cast<std::size_t>(p.Dimension), 0);
    std::int64_t freq = 0;
    int members = 0;
    for (int v = p.FirstVector[q]; v != -1; v = p.NextVector[v], ++members) {
      ASSERT_TRUE(v >= 0 && v < p.TrainingSetSize && seen[v]++ == 0) << "bad link to " << v << " in " << q;
      EXPECT_EQ(p.PartitionOf[v], q);
      for (int k = 0; k < p.Dimension; ++k) sum[k] += std::int64_t{ts.Book[v].Vector[k]} * ts.Book[v].Freq;
      freq += ts.Book[v].Freq;
    }
    EXPECT_EQ(Copy(p.Sums[q].VectorSum, p.Dimension), sum) << "partition " << q;
    EXPECT_EQ(p.Sums[q].CCFreq, freq) << "partition " << q;
    EXPECT_EQ(p.MemberCount[q], members) << "partition " << q;
  }
  for (int v = 0; v < p.TrainingSetSize; ++v) {
    if (seen[v] != 0) continue;
    EXPECT_EQ(p.PartitionOf[v], -1) << "vector " << v;
    EXPECT_EQ(p.NextVector[v], -1) << "vector " << v;
  }
}

}  // namespace mirvo::test
