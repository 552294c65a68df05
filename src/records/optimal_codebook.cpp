// Optimal codebook: the centroid of every partition from its running sums;
// the centroid of a whole set; refilling empty partitions.
#include <algorithm>
#include <queue>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

namespace {

void CheckCodebookFits(const Codebook* cb, const Partitioning* p) {
  if (cb->BookSize > p->PartitionCount || VectorSize(cb) != p->Dimension) {
    ErrorMessage(
        "CB::GenerateOptimalCodebook: A codebook of %i vectors of dimension %i does not fit %i partitions of "
        "dimension %i.\n",
        cb->BookSize, VectorSize(cb), p->PartitionCount, p->Dimension);
    ExitProcessing(-1);
  }
}

}  // namespace

void PartitionCentroid(const Partitioning* p, int partition, BookNode* target) {
  const int freq = p->Sums[partition].CCFreq;
  if (freq <= 0) {
    ErrorMessage("ERROR: PartitionCentroid Pindex=%i CCFreq=%i\n", partition, freq);
    ExitProcessing(-1);
  }
  target->VectorMean =
      cbdetail::Centroid(p->Sums[partition].VectorSum, freq, static_cast<std::size_t>(p->Dimension), target->Vector);
  target->Freq = freq;
}

void GenerateOptimalCodebookMSE(const Codebook* /*ts*/, Codebook* cb, const Partitioning* p) {
  CheckCodebookFits(cb, p);
  for (int k = 0; k < cb->BookSize; ++k) {
    if (p->Sums[k].CCFreq > 0) {
      PartitionCentroid(p, k, &cb->Book[k]);
    } else {
      cb->Book[k].Freq = 0;
    }
  }
}

void GenerateOptimalCodebookGeneral(const Codebook* ts, Codebook* cb, const Partitioning* p, int errorFunction) {
  switch (errorFunction) {
    case 0:
    case 1:
    case 2:
    case 11:
    case 12:
      GenerateOptimalCodebookMSE(ts, cb, p);
      return;
    default:
      ErrorMessage("cb::GenerateOptimalCodebookGeneral: Unknown error function.\n");
      ExitProcessing(-1);
  }
}

void CodebookCentroid(const Codebook* cb, int* centroid) {
  if (cb->TotalFreq == 0) return;
  const auto dimension = cbdetail::Dim(cb);
  std::vector<std::int64_t> sums(dimension, 0);
  for (int i = 0; i < cb->BookSize; ++i) {
    cbdetail::AddScaled(sums.data(), cb->Book[i].Vector, dimension, cb->Book[i].Freq);
  }
  for (std::size_t e = 0; e < dimension; ++e) {
    centroid[e] = cbdetail::CentroidElement(sums[e], static_cast<double>(cb->TotalFreq));
  }
}

namespace {

// The `count` training vectors with the largest keys (the squared distance
// to their code vector times their frequency), ordered by key from the
// largest down and, among equal keys, by index from the lowest up.
std::vector<int> WorstServed(const Codebook* ts, const Codebook* cb, const Partitioning* p, int count) {
  const int dimension = VectorSize(ts);
  struct Candidate {
    __int128 key;
    int index;
  };
  const auto before = [](const Candidate& a, const Candidate& b) {
    return a.key != b.key ? a.key > b.key : a.index < b.index;
  };
  std::priority_queue<Candidate, std::vector<Candidate>, decltype(before)> kept(before);
  for (int m = 0; m < ts->BookSize; ++m) {
    const int partition = p->PartitionOf[m];
    if (partition < 0 || partition >= cb->BookSize) {
      ErrorMessage("CB::FillEmptyPartitions: Training vector %i is in partition %i, which has no code vector.\n", m,
                   partition);
      ExitProcessing(-1);
    }
    const std::int64_t d =
        VectorDistance(cb->Book[partition].Vector, ts->Book[m].Vector, dimension, kNoBound, MetricSquaredEuclidean);
    const Candidate candidate{static_cast<__int128>(d) * ts->Book[m].Freq, m};
    if (static_cast<int>(kept.size()) < count) {
      kept.push(candidate);
    } else if (before(candidate, kept.top())) {
      kept.pop();
      kept.push(candidate);
    }
  }
  std::vector<int> list(kept.size());
  for (auto i = list.size(); i-- > 0; kept.pop()) list[i] = kept.top().index;
  return list;
}

// A smaller codebook than the partitioning is refused only when the walk
// would fill a partition that has no code vector. The walk is played first
// on the frequencies alone, so that a refusal changes nothing.
void CheckWalk(const Codebook* ts, const Codebook* cb, const Partitioning* p, const std::vector<int>& list) {
  if (cb->BookSize >= p->PartitionCount) return;
  std::vector<int> freq(static_cast<std::size_t>(p->PartitionCount));
  for (int l = 0; l < p->PartitionCount; ++l) freq[static_cast<std::size_t>(l)] = p->Sums[l].CCFreq;
  std::size_t next = 0;
  for (int l = 0; l < p->PartitionCount && next < list.size(); ++l) {
    if (freq[static_cast<std::size_t>(l)] != 0) continue;
    if (l >= cb->BookSize) {
      ErrorMessage("CB::FillEmptyPartitions: A codebook of %i vectors cannot fill partition %i.\n", cb->BookSize, l);
      ExitProcessing(-1);
    }
    const int v = list[next++];
    cbdetail::AddWrapped(freq[static_cast<std::size_t>(p->PartitionOf[v])], -ts->Book[v].Freq);
    cbdetail::AddWrapped(freq[static_cast<std::size_t>(l)], ts->Book[v].Freq);
  }
}

}  // namespace

void FillEmptyPartitions(const Codebook* ts, Codebook* cb, Partitioning* p) {
  int empty = 0;
  for (int l = 0; l < p->PartitionCount; ++l) {
    if (p->Sums[l].CCFreq == 0) ++empty;
  }
  if (empty == 0) return;
  const int dimension = VectorSize(ts);
  if (VectorSize(cb) != dimension || p->Dimension != dimension) {
    ErrorMessage("CB::FillEmptyPartitions: Dimensions differ (training set %i, codebook %i, partitioning %i).\n",
                 dimension, VectorSize(cb), p->Dimension);
    ExitProcessing(-1);
  }
  const std::vector<int> list = WorstServed(ts, cb, p, empty);
  CheckWalk(ts, cb, p, list);
  std::size_t next = 0;
  for (int l = 0; l < p->PartitionCount && next < list.size(); ++l) {
    if (p->Sums[l].CCFreq != 0) continue;
    const int v = list[next++];
    const int old = p->PartitionOf[v];
    CopyNode(&ts->Book[v], &cb->Book[l], dimension);
    ChangePartition(ts, p, l, v);
    if (p->Sums[old].CCFreq <= 0) {
      cb->Book[old].Freq = 0;
    } else {
      PartitionCentroid(p, old, &cb->Book[old]);
    }
  }
}

double AverageErrorForPartitioning(const Codebook* ts, const Partitioning* p, int errorFunction) {
  Codebook temporary;
  CreateNewCodebook(&temporary, p->PartitionCount, ts);
  GenerateOptimalCodebookGeneral(ts, &temporary, p, errorFunction);
  const double error = AverageErrorForSolution(ts, &temporary, p, errorFunction);
  FreeCodebook(&temporary);
  return error;
}

}  // namespace mirvo
