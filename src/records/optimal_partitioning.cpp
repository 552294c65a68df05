// Optimal partitioning: every training vector into the partition of its
// nearest code vector; incremental repartitioning; fast error estimates.
#include <algorithm>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "engine/search.h"
#include "engine/workers.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"
#include "records/partition_sums.h"

namespace mirvo {

namespace {

void CheckStart(const Codebook* cb, int start) {
  if (start < 0 || start >= cb->BookSize) {
    ErrorMessage("CB::FindNearestVector: Start index (%i) is not a code vector of a codebook of %i vectors.\n", start,
                 cb->BookSize);
    ExitProcessing(-1);
  }
}

void CheckShapes(const Codebook* ts, const Codebook* cb, const Partitioning* p) {
  if (VectorSize(ts) != VectorSize(cb)) {
    ErrorMessage("ERROR: Training set and codebook dimensions differ (%d != %d).\n", VectorSize(ts), VectorSize(cb));
    ExitProcessing(-1);
  }
  if (p->TrainingSetSize != ts->BookSize) {
    ErrorMessage("ERROR: Partitioning is not for this training set (%d != %d).\n", p->TrainingSetSize, ts->BookSize);
    ExitProcessing(-1);
  }
  if (p->PartitionCount < cb->BookSize) {
    ErrorMessage("CB::GenerateOptimalPartitioning: %i partitions cannot hold %i code vectors.\n", p->PartitionCount,
                 cb->BookSize);
    ExitProcessing(-1);
  }
}

double PerElement(__int128 sum, const Codebook* ts, std::int64_t divisor) {
  return static_cast<double>(sum) / static_cast<double>(std::int64_t{VectorSize(ts)} * divisor);
}

// Applies the moves target[i] for every i with target[i] != PartitionOf[i],
// leaving the record exactly as moving them one by one in index order with
// ChangePartition would: each partition's list holds the vectors moved into
// it, highest index first, followed by its remaining former members in their
// former order.
// Takes the vectors that leave a partition out of its list; returns how many
// move.
int Unlink(Partitioning* p, const int* target) {
  const int n = p->TrainingSetSize;
  std::vector<char> losing(static_cast<std::size_t>(p->PartitionCount), 0);
  int moved = 0;
  for (int i = 0; i < n; ++i) {
    if (target[i] == p->PartitionOf[i]) continue;
    ++moved;
    if (p->PartitionOf[i] != -1) losing[static_cast<std::size_t>(p->PartitionOf[i])] = 1;
  }
  for (int q = 0; q < p->PartitionCount && moved > 0; ++q) {
    if (losing[static_cast<std::size_t>(q)] == 0) continue;
    int* link = &p->FirstVector[q];
    for (int v = *link; v != -1; v = p->NextVector[v]) {
      if (target[v] == q) {
        *link = v;
        link = &p->NextVector[v];
      }
    }
    *link = -1;
  }
  return moved;
}

// Every partition's sums formed anew from its members.
void SumsAnew(const Codebook* ts, Partitioning* p) {
  const auto d = static_cast<std::size_t>(p->Dimension);
  for (int q = 0; q < p->PartitionCount; ++q) {
    std::fill_n(p->Sums[q].VectorSum, d, 0);
    p->Sums[q].CCFreq = 0;
    p->MemberCount[q] = 0;
  }
  for (int i = 0; i < p->TrainingSetSize; ++i) {
    const int q = p->PartitionOf[i];
    if (q == -1) continue;
    const BookNode& node = ts->Book[i];
    cbdetail::AddScaled(p->Sums[q].VectorSum, node.Vector, d, node.Freq);
    cbdetail::AddWrapped(p->Sums[q].CCFreq, node.Freq);
    ++p->MemberCount[q];
  }
}

void ApplyMoves(const Codebook* ts, Partitioning* p, const int* target) {
  const int n = p->TrainingSetSize;
  const int moved = Unlink(p, target);
  if (moved == 0) return;
  // When most vectors move, the sums are formed anew in one pass: integer
  // sums with wrap-around do not depend on the order of their terms.
  const bool anew = moved >= n / 4;
  for (int i = 0; i < n; ++i) {
    const int old = p->PartitionOf[i];
    const int now = target[i];
    if (now == old) continue;
    if (old != -1 && !anew) cbdetail::RemoveContribution(ts, p, old, i);
    p->PartitionOf[i] = now;
    p->NextVector[i] = p->FirstVector[now];
    p->FirstVector[now] = i;
    if (!anew) cbdetail::AddContribution(ts, p, now, i);
  }
  if (anew) SumsAnew(ts, p);
}

// The nearest code vector of training vectors first .. first + count - 1
// of ts (at most kSearchBatch), each from its start, by the prepared search.
constexpr int kSearchBatch = 256;
void SearchBatch(const NearestSearch& search, const Codebook* ts, const int* members, int count, const int* starts,
                 int* targets, std::int64_t* distances) {
  const int* vectors[kSearchBatch];
  for (int b = 0; b < count; ++b) vectors[b] = ts->Book[members[b]].Vector;
  search.FindMany(vectors, starts, count, targets, distances);
}

}  // namespace

int FindNearestVector(const BookNode* trainingEntry, const Codebook* cb, std::int64_t* distance, int start,
                      int metric) {
  CheckStart(cb, start);
  if (metric == MetricSquaredEuclidean) return cbdetail::FindNearestSquared(trainingEntry->Vector, cb, start, distance);
  const int dimension = VectorSize(cb);
  std::int64_t best = VectorDistance(cb->Book[start].Vector, trainingEntry->Vector, dimension, kNoBound, metric);
  *distance = best;
  int answer = start;
  for (int j = 0; j < cb->BookSize; ++j) {
    const std::int64_t d = VectorDistance(cb->Book[j].Vector, trainingEntry->Vector, dimension, best, metric);
    if (d < best) {
      best = d;
      *distance = d;
      answer = j;
      if (d == 0) return j;
    }
  }
  return answer;
}

double GenerateOptimalPartitioningMeanError(const Codebook* ts, const Codebook* cb, Partitioning* p, int metric) {
  CheckShapes(ts, cb, p);
  const int n = ts->BookSize;
  for (int i = 0; i < n; ++i) CheckStart(cb, p->PartitionOf[i]);
  auto target = cbdetail::NewArray<int>(static_cast<std::size_t>(n), "ERROR: Not enough memory for the search.\n");
  __int128 sum = 0;
  if (metric == MetricSquaredEuclidean) {
    const NearestSearch search(cb);
    std::vector<__int128> partial;
    std::mutex lock;
    cbdetail::ParallelFor(n, [&](int begin, int end, int) {
      int members[kSearchBatch];
      std::int64_t distances[kSearchBatch];
      __int128 local = 0;
      for (int first = begin; first < end; first += kSearchBatch) {
        const int count = std::min(kSearchBatch, end - first);
        std::iota(members, members + count, first);
        SearchBatch(search, ts, members, count, p->PartitionOf + first, target.get() + first, distances);
        for (int b = 0; b < count; ++b) local += static_cast<__int128>(distances[b]) * ts->Book[first + b].Freq;
      }
      const std::lock_guard<std::mutex> guard(lock);
      partial.push_back(local);
    });
    for (const __int128 s : partial) sum += s;
  } else {
    for (int i = 0; i < n; ++i) {
      std::int64_t d = 0;
      target[i] = FindNearestVector(&ts->Book[i], cb, &d, p->PartitionOf[i], metric);
      sum += static_cast<__int128>(d) * ts->Book[i].Freq;
    }
  }
  ApplyMoves(ts, p, target.get());
  return PerElement(sum, ts, ts->TotalFreq);
}

double GenerateOptimalPartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int errorFunction) {
  switch (errorFunction) {
    case ErrorMSE:
      return GenerateOptimalPartitioningMeanError(ts, cb, p, MetricSquaredEuclidean);
    case ErrorCodeLength:
      GenerateOptimalPartitioningMeanError(ts, cb, p, MetricCodeLength);
      return AverageErrorForSolution(ts, cb, p, ErrorCodeLength);
    case ErrorJaccard:
    case ErrorDice:
      return GenerateOptimalPartitioningMeanError(ts, cb, p, errorFunction);
    default:
      ErrorMessage("ERROR: Unknown error function.\n");
      ExitProcessing(-1);
  }
}

void RepartitionDueToNewVectorsGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, const int* newVectors,
                                       int count, int metric) {
  const int dimension = VectorSize(ts);
  for (int c = 0; c < count; ++c) CheckStart(cb, newVectors[c]);
  for (int i = 0; i < ts->BookSize; ++i) {
    CheckStart(cb, p->PartitionOf[i]);
    const int* vector = ts->Book[i].Vector;
    std::int64_t best = VectorDistance(cb->Book[p->PartitionOf[i]].Vector, vector, dimension, kNoBound, metric);
    int choice = -1;
    for (int c = 0; c < count; ++c) {
      const std::int64_t d = VectorDistance(cb->Book[newVectors[c]].Vector, vector, dimension, best, metric);
      if (d < best) {
        best = d;
        choice = newVectors[c];
      }
    }
    if (choice != -1) ChangePartition(ts, p, choice, i);
  }
}

void RepartitionDueToNewVectorGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int newVector,
                                      int metric) {
  RepartitionDueToNewVectorsGeneral(ts, cb, p, &newVector, 1, metric);
}

void LocalRepartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int partition, int metric) {
  // Many members under metric 0: the prepared search first (the codebook
  // does not change, so neither do the answers), then the moves in the
  // members' order.
  constexpr int kPrepared = 16;
  std::vector<int> members;
  for (int v = p->FirstVector[partition]; v != -1 && metric == MetricSquaredEuclidean; v = p->NextVector[v]) {
    members.push_back(v);
  }
  if (members.size() >= kPrepared) {
    const NearestSearch search(cb);
    std::vector<int> starts(members.size()), targets(members.size());
    std::int64_t distances[kSearchBatch];
    for (std::size_t m = 0; m < members.size(); ++m) {
      CheckStart(cb, p->PartitionOf[members[m]]);
      starts[m] = p->PartitionOf[members[m]];
    }
    for (std::size_t first = 0; first < members.size(); first += kSearchBatch) {
      const int count = static_cast<int>(std::min<std::size_t>(kSearchBatch, members.size() - first));
      SearchBatch(search, ts, members.data() + first, count, starts.data() + first, targets.data() + first, distances);
    }
    for (std::size_t m = 0; m < members.size(); ++m) {
      if (targets[m] != partition) ChangePartition(ts, p, targets[m], members[m]);
    }
    return;
  }
  int v = p->FirstVector[partition];
  while (v != -1) {
    const int next = p->NextVector[v];
    std::int64_t d = 0;
    const int j = FindNearestVector(&ts->Book[v], cb, &d, p->PartitionOf[v], metric);
    if (j != partition) ChangePartition(ts, p, j, v);
    v = next;
  }
}

double AverageErrorCBFastMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric) {
  const bool differentKinds = RecognizeVersionstr(ts->VersionString) != RecognizeVersionstr(cb->VersionString);
  __int128 sum = 0;
  std::unique_ptr<NearestSearch> search;
  if (metric == MetricSquaredEuclidean && ts->BookSize > 0) search = std::make_unique<NearestSearch>(cb);
  int members[kSearchBatch], starts[kSearchBatch], targets[kSearchBatch];
  std::int64_t distances[kSearchBatch];
  for (int first = 0; first < ts->BookSize; first += kSearchBatch) {
    const int count = std::min(kSearchBatch, ts->BookSize - first);
    for (int b = 0; b < count; ++b) {
      members[b] = first + b;
      starts[b] = p != nullptr ? p->PartitionOf[first + b] : 0;
      if (search != nullptr) {
        CheckStart(cb, starts[b]);
      } else {
        FindNearestVector(&ts->Book[first + b], cb, &distances[b], starts[b], metric);
      }
    }
    if (search != nullptr) SearchBatch(*search, ts, members, count, starts, targets, distances);
    for (int b = 0; b < count; ++b) {
      sum += static_cast<__int128>(distances[b]) * (differentKinds ? ts->Book[first + b].Freq : 1);
    }
  }
  return PerElement(sum, ts, differentKinds ? ts->TotalFreq : ts->BookSize);
}

double AverageErrorCBFast(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction) {
  switch (errorFunction) {
    case ErrorMSE:
    case ErrorJaccard:
    case ErrorDice:
      return AverageErrorCBFastMeanError(ts, cb, p, errorFunction);
    case ErrorCodeLength: {
      Partitioning temporary;
      CreateNewPartitioning(&temporary, ts, cb->BookSize);
      const double error = GenerateOptimalPartitioningGeneral(ts, cb, &temporary, ErrorCodeLength);
      FreePartitioning(&temporary);
      return error;
    }
    default:
      ErrorMessage("ERROR: Unknown error function.\n");
      ExitProcessing(-1);
  }
}

}  // namespace mirvo
