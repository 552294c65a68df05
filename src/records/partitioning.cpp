// The Partitioning record: assignment of training vectors to partitions,
// member lists and running sums.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"
#include "records/partition_sums.h"

namespace mirvo {

namespace {

using cbdetail::kPartitionMemory;

// Releases the arrays and sum buffers as the fields point to them now.
void ReleaseArrays(Partitioning* p) {
  std::free(p->PartitionOf);
  std::free(p->FirstVector);
  std::free(p->NextVector);
  std::free(p->MemberCount);
  if (p->Sums != nullptr) {
    for (int s = 0; s < p->AllocatedPartitions; ++s) std::free(p->Sums[s].VectorSum);
  }
  std::free(p->Sums);
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
  ReleaseArrays(p);
  SetVerString(p->VersionString, KindPartitioning);
  p->PartitionCount = partitionCount;
  p->TrainingSetSize = vectors;
  p->Dimension = VectorSize(ts);
  p->AllocatedPartitions = 0;
  p->GenerationMethod[0] = '\0';

  const auto n = static_cast<std::size_t>(vectors);
  const auto slots = static_cast<std::size_t>(partitionCount);
  const auto dimension = static_cast<std::size_t>(p->Dimension);
  p->PartitionOf = Allocate<int>(n, kPartitionMemory);
  p->NextVector = Allocate<int>(n, kPartitionMemory);
  p->FirstVector = Allocate<int>(slots, kPartitionMemory);
  p->MemberCount = Allocate<int>(slots, kPartitionMemory, true);
  p->Sums = Allocate<PartitionSum>(slots, kPartitionMemory);
  // Each slot owns a buffer of its own, counted as soon as it is made.
  for (std::size_t s = 0; s < slots; ++s) {
    p->FirstVector[s] = -1;
    p->Sums[s] = PartitionSum{Allocate<std::int64_t>(dimension, kPartitionMemory, true), 0};
    p->AllocatedPartitions = static_cast<int>(s) + 1;
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

void FreePartitioning(Partitioning* p) { ReleaseArrays(p); }

Partitioning::Partitioning(Partitioning&& other) noexcept { *this = std::move(other); }

Partitioning& Partitioning::operator=(Partitioning&& other) noexcept {
  if (this == &other) return *this;
  ReleaseArrays(this);
  std::memcpy(VersionString, other.VersionString, sizeof VersionString);
  PartitionCount = other.PartitionCount;
  TrainingSetSize = other.TrainingSetSize;
  PartitionOf = std::exchange(other.PartitionOf, nullptr);
  FirstVector = std::exchange(other.FirstVector, nullptr);
  NextVector = std::exchange(other.NextVector, nullptr);
  Sums = std::exchange(other.Sums, nullptr);
  MemberCount = std::exchange(other.MemberCount, nullptr);
  Dimension = other.Dimension;
  std::memcpy(GenerationMethod, other.GenerationMethod, sizeof GenerationMethod);
  AllocatedPartitions = other.AllocatedPartitions;
  return *this;
}

Partitioning::~Partitioning() { ReleaseArrays(this); }

}  // namespace mirvo
