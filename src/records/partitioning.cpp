// The Partitioning record: assignment of training vectors to partitions,
// member lists and running sums.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"
#include "records/partition_sums.h"

namespace mirvo {

namespace {

using cbdetail::kPartitionMemory;

void ReleaseStorage(Partitioning* p) {
  p->PartitionOfStore.reset();
  p->NextVectorStore.reset();
  p->FirstVectorStore.reset();
  p->MemberCountStore.reset();
  p->SumsStore.reset();
  p->VectorSumStore.reset();
  p->PartitionOf = p->NextVector = p->FirstVector = p->MemberCount = nullptr;
  p->Sums = nullptr;
}

}  // namespace

namespace cbdetail {

void AddContribution(const Codebook* ts, Partitioning* p, int partition, int vector) {
  const BookNode& node = ts->Book[vector];
  PartitionSum& sum = p->Sums[partition];
  AddScaled(sum.VectorSum, node.Vector, static_cast<std::size_t>(p->Dimension), node.Freq);
  AddWrapped(sum.CCFreq, node.Freq);
  ++p->MemberCount[partition];
}

void RemoveContribution(const Codebook* ts, Partitioning* p, int partition, int vector) {
  const BookNode& node = ts->Book[vector];
  PartitionSum& sum = p->Sums[partition];
  AddScaled(sum.VectorSum, node.Vector, static_cast<std::size_t>(p->Dimension), -std::int64_t{node.Freq});
  AddWrapped(sum.CCFreq, -node.Freq);
  --p->MemberCount[partition];
}

}  // namespace cbdetail

namespace cbdetail {

void AllocatePartitioning(Partitioning* p, const Codebook* ts, int partitionCount) {
  const int vectors = ts->BookSize;
  if (partitionCount < 0 || (partitionCount == 0 && vectors > 0)) {
    ErrorMessage("CB::CreateNewPartitioning: Partition count (%i) must be at least 1.\n", partitionCount);
    ExitProcessing(-1);
  }
  ReleaseStorage(p);
  SetVerString(p->VersionString, KindPartitioning);
  p->PartitionCount = partitionCount;
  p->TrainingSetSize = vectors;
  p->Dimension = VectorSize(ts);
  p->AllocatedPartitions = partitionCount;
  p->GenerationMethod[0] = '\0';

  const auto n = static_cast<std::size_t>(vectors);
  const auto slots = static_cast<std::size_t>(partitionCount);
  const auto dimension = static_cast<std::size_t>(p->Dimension);
  p->PartitionOfStore = NewArray<int>(n, kPartitionMemory);
  p->NextVectorStore = NewArray<int>(n, kPartitionMemory);
  p->FirstVectorStore = NewArray<int>(slots, kPartitionMemory);
  p->MemberCountStore = NewZeroArray<int>(slots, kPartitionMemory);
  p->SumsStore = NewArray<PartitionSum>(slots, kPartitionMemory);
  p->VectorSumStore = NewZeroArray<std::int64_t>(slots * dimension, kPartitionMemory);
  p->PartitionOf = p->PartitionOfStore.get();
  p->NextVector = p->NextVectorStore.get();
  p->FirstVector = p->FirstVectorStore.get();
  p->MemberCount = p->MemberCountStore.get();
  p->Sums = p->SumsStore.get();
  for (std::size_t s = 0; s < slots; ++s) {
    p->FirstVector[s] = -1;
    p->Sums[s] = PartitionSum{p->VectorSumStore.get() + s * dimension, 0};
  }
  std::fill_n(p->PartitionOf, n, -1);
  std::fill_n(p->NextVector, n, -1);
}

}  // namespace cbdetail

void CreateNewPartitioning(Partitioning* p, const Codebook* ts, int partitionCount) {
  cbdetail::AllocatePartitioning(p, ts, partitionCount);
  const int vectors = ts->BookSize;
  const auto n = static_cast<std::size_t>(vectors);
  const auto dimension = static_cast<std::size_t>(p->Dimension);
  if (vectors == 0) return;

  // Every training vector in partition 0, its list in index order.
  PartitionSum& sum = p->Sums[0];
  p->FirstVector[0] = 0;
  for (std::size_t v = 0; v < n; ++v) {
    p->PartitionOf[v] = 0;
    p->NextVector[v] = static_cast<int>(v) + 1;
    const BookNode& node = ts->Book[v];
    cbdetail::AddScaled(sum.VectorSum, node.Vector, dimension, node.Freq);
    cbdetail::AddWrapped(sum.CCFreq, node.Freq);
  }
  p->NextVector[n - 1] = -1;
  p->MemberCount[0] = vectors;
}

void AddToPartition(const Codebook* ts, Partitioning* p, int partition, int vector) {
  assert(partition >= 0 && partition < p->PartitionCount);
  assert(vector >= 0 && vector < p->TrainingSetSize);
  assert(p->PartitionOf[vector] == -1);
  p->PartitionOf[vector] = partition;
  p->NextVector[vector] = p->FirstVector[partition];
  p->FirstVector[partition] = vector;
  cbdetail::AddContribution(ts, p, partition, vector);
}

void ChangePartition(const Codebook* ts, Partitioning* p, int newPartition, int vector) {
  assert(vector >= 0 && vector < p->TrainingSetSize);
  assert(newPartition >= -1 && newPartition < p->PartitionCount);
  const int old = p->PartitionOf[vector];
  if (old != -1) {
    if (p->FirstVector[old] == vector) {
      p->FirstVector[old] = p->NextVector[vector];
    } else {
      int member = p->FirstVector[old];
      while (p->NextVector[member] != vector) member = p->NextVector[member];
      p->NextVector[member] = p->NextVector[vector];
    }
    p->PartitionOf[vector] = -1;
    p->NextVector[vector] = -1;
    cbdetail::RemoveContribution(ts, p, old, vector);
  }
  if (newPartition != -1) AddToPartition(ts, p, newPartition, vector);
}

void ChangePartitionFast(const Codebook* ts, Partitioning* p, int newPartition, int vector, int predecessor) {
  assert(vector >= 0 && vector < p->TrainingSetSize);
  assert(newPartition >= 0 && newPartition < p->PartitionCount);
  const int old = p->PartitionOf[vector];
  if (old == -1) return;
  if (p->FirstVector[old] == vector) {
    p->FirstVector[old] = p->NextVector[vector];
  } else {
    assert(predecessor >= 0 && predecessor < p->TrainingSetSize && p->NextVector[predecessor] == vector);
    p->NextVector[predecessor] = p->NextVector[vector];
  }
  p->PartitionOf[vector] = -1;
  p->NextVector[vector] = -1;
  cbdetail::RemoveContribution(ts, p, old, vector);
  AddToPartition(ts, p, newPartition, vector);
}

void FreePartitioning(Partitioning* p) { ReleaseStorage(p); }

}  // namespace mirvo
