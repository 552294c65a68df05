// Distance metrics between vectors and error functions of whole solutions.
#include <cmath>
#include <limits>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace {

constexpr double kLn2 = 0.6931471805599453;

// Truncation toward zero of a double to a 64-bit integer, clamped to the
// 64-bit range.
std::int64_t TruncateTo64(double x) {
  if (!(x > -9223372036854775808.0)) return x != x ? 0 : std::numeric_limits<std::int64_t>::min();
  if (!(x < 9223372036854775808.0)) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(x);
}

std::int64_t SquaredEuclidean(const int* a, const int* b, int count, std::int64_t bound) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t sum = 0;
  for (int i = 0; i < count; ++i) {
    const std::int64_t diff = std::int64_t{a[i]} - b[i];
    const std::uint64_t magnitude = diff < 0 ? static_cast<std::uint64_t>(-diff) : static_cast<std::uint64_t>(diff);
    // A sum beyond the 64-bit range is larger than every bound: it is
    // returned as the largest distance.
    if (__builtin_add_overflow(sum, magnitude * magnitude, &sum) || sum > kMax) return kNoBound;
    if (static_cast<std::int64_t>(sum) >= bound) return static_cast<std::int64_t>(sum);
  }
  return static_cast<std::int64_t>(sum);
}

std::int64_t CodeLength(const int* a, const int* b, int count, std::int64_t bound) {
  const double scaledBound = static_cast<double>(bound) / 1000000;
  double sum = 0;
  for (int i = 0; i < count; ++i) {
    double probability;
    if (b[i] == 1000000) {
      const int element = a[i] < 1000 ? 1000 : a[i];
      probability = element / 1000000.0;
    } else if (b[i] == 0) {
      const int element = a[i] > 999000 ? 999000 : a[i];
      probability = 1 - element / 1000000.0;
    } else {
      ErrorMessage("ERROR: input vector elements should be either 0 or 1000000 (was %d).\n", b[i]);
      ExitProcessing(-1);
    }
    sum += std::log(probability) / -kLn2;
    if (!(scaledBound > sum)) break;
  }
  return TruncateTo64(sum * 1000000 + 0.5);
}

std::int64_t SetDistance(const int* a, const int* b, int count, int metric) {
  std::int64_t equal = 0;
  std::int64_t mismatch = 0;
  for (int i = 0; i < count; ++i) {
    if (a[i] != b[i]) {
      ++mismatch;
    } else if (a[i] != 0) {
      ++equal;
    }
  }
  if (metric == MetricDice) equal *= 2;
  if (equal + mismatch == 0) return kNoBound;
  return TruncateTo64(static_cast<double>(mismatch) / static_cast<double>(equal + mismatch) * 1000000 + 0.5);
}

// log2 t as the error functions compute it.
double Log2(std::int64_t t) { return std::log(static_cast<double>(t)) / kLn2; }

// The partitioning must cover the training set; the mean errors measure the
// code vectors in the training set's dimension, and the code length reads
// the sums of the first BookSize partitions.
void CheckSolution(const Codebook* ts, const Codebook* cb, const Partitioning* p, bool codeLength) {
  if (!codeLength && VectorSize(ts) != VectorSize(cb)) {
    ErrorMessage("ERROR: Training set and codebook dimensions differ (%d != %d).\n", VectorSize(ts), VectorSize(cb));
    ExitProcessing(-1);
  }
  if (p->TrainingSetSize != ts->BookSize) {
    ErrorMessage("ERROR: Partitioning is not for this training set (%d != %d).\n", p->TrainingSetSize, ts->BookSize);
    ExitProcessing(-1);
  }
  if (codeLength && p->PartitionCount < cb->BookSize) {
    ErrorMessage("CB::AverageErrorForSolution: %i partitions cannot hold %i code vectors.\n", p->PartitionCount,
                 cb->BookSize);
    ExitProcessing(-1);
  }
}

// sum += sign * log2(t) for t = from .. to, in this order.
void AddLog2(double& sum, std::int64_t from, std::int64_t to, double sign) {
  for (std::int64_t t = from; t <= to; ++t) sum += sign * Log2(t);
}

// Per element, the total frequency of the members of partition k whose
// element is positive.
void PositiveCounts(const Codebook* ts, const Partitioning* p, int k, std::vector<std::int64_t>& ones) {
  std::fill(ones.begin(), ones.end(), 0);
  const std::size_t dimension = ones.size();
  for (int v = p->FirstVector[k]; v != -1; v = p->NextVector[v]) {
    const BookNode& node = ts->Book[v];
    for (std::size_t e = 0; e < dimension; ++e) {
      if (node.Vector[e] > 0) ones[e] += node.Freq;
    }
  }
}

double CodeLengthError(const Codebook* ts, const Codebook* cb, const Partitioning* p) {
  CheckSolution(ts, cb, p, true);
  const std::int64_t n = ts->TotalFreq;
  const int m = cb->BookSize;
  double a = 0;
  double b = 0;
  AddLog2(a, 2, n, 1);
  for (int k = 0; k < m; ++k) AddLog2(a, 2, p->Sums[k].CCFreq, -1);
  AddLog2(a, n, n + m - 1, 1);
  AddLog2(a, 2, m - 1, -1);
  std::vector<std::int64_t> ones(static_cast<std::size_t>(VectorSize(ts)));
  for (int k = 0; k < m; ++k) {
    PositiveCounts(ts, p, k, ones);
    const std::int64_t members = p->Sums[k].CCFreq;
    for (const std::int64_t s : ones) {
      AddLog2(b, 2, members + 1, 1);
      AddLog2(b, 2, s, -1);
      AddLog2(b, 2, members - s, -1);
    }
  }
  return (a + b) / static_cast<double>(n);
}

}  // namespace

std::int64_t VectorDistance(const int* a, const int* b, int count, std::int64_t bound, int metric) {
  switch (metric) {
    case MetricSquaredEuclidean:
      return SquaredEuclidean(a, b, count, bound);
    case MetricCodeLength:
      return CodeLength(a, b, count, bound);
    case MetricJaccard:
    case MetricDice:
      return SetDistance(a, b, count, metric);
    default:
      ErrorMessage("ERROR: unsupported vector distance metric %d\n", metric);
      ExitProcessing(-1);
  }
}

int DistType(int errorFunction) {
  switch (errorFunction) {
    case 0:
    case 2:
      return MetricSquaredEuclidean;
    case 1:
      return MetricCodeLength;
    case 11:
      return MetricJaccard;
    case 12:
      return MetricDice;
    default:
      ErrorMessage("ERROR: Unknown error function %d (DistType).\n", errorFunction);
      ExitProcessing(-1);
  }
}

double AverageErrorForSolutionMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric) {
  CheckSolution(ts, cb, p, false);
  const int dimension = VectorSize(ts);
  __int128 sum = 0;
  for (int i = 0; i < ts->BookSize; ++i) {
    const int partition = p->PartitionOf[i];
    if (partition < 0 || partition >= cb->BookSize) {
      ErrorMessage("CB::AverageErrorForSolution: Training vector %i is in partition %i, which has no code vector.\n", i,
                   partition);
      ExitProcessing(-1);
    }
    const std::int64_t d = VectorDistance(cb->Book[partition].Vector, ts->Book[i].Vector, dimension, kNoBound, metric);
    sum += static_cast<__int128>(d) * ts->Book[i].Freq;
  }
  return static_cast<double>(sum) / static_cast<double>(std::int64_t{dimension} * ts->TotalFreq);
}

double AverageErrorForSolution(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction) {
  switch (errorFunction) {
    case ErrorMSE:
      return AverageErrorForSolutionMeanError(ts, cb, p, MetricSquaredEuclidean);
    case ErrorJaccard:
    case ErrorDice:
      return AverageErrorForSolutionMeanError(ts, cb, p, errorFunction);
    case ErrorCodeLength:
      return CodeLengthError(ts, cb, p);
    default:
      ErrorMessage("ERROR: Unknown error function.\n");
      ExitProcessing(-1);
  }
}

double PrintableError(double error, const Codebook* cb) {
  if (cb->ErrorScaling == 1) return error * static_cast<double>(std::int64_t{cb->VectorSizeX} * cb->VectorSizeY);
  return error;
}

}  // namespace mirvo
