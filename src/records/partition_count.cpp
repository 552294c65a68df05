// Operations on the number of partitions of a Partitioning: raising and
// lowering the count, growing the slot arrays, joining two partitions,
// one partition per training vector, and copying a whole partitioning.
//
// Every operation leaves the record consistent: member lists, PartitionOf,
// the running sums and member counts agree, and the slots at and above
// PartitionCount are empty.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "mirvo/cb.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

namespace {

using cbdetail::kPartitionMemory;

void EmptySlot(Partitioning* p, int slot) {
  p->FirstVector[slot] = -1;
  std::fill_n(p->Sums[slot].VectorSum, p->Dimension, std::int64_t{0});
  p->Sums[slot].CCFreq = 0;
  p->MemberCount[slot] = 0;
}

}  // namespace

void JoinPartitions(const Codebook* ts, Partitioning* p, int keep, int gone) {
  assert(keep >= 0 && keep < p->PartitionCount);
  assert(gone >= 0 && gone < p->PartitionCount);
  assert(keep != gone);
  (void)ts;

  // The list of gone goes behind the list of keep.
  const int goneHead = p->FirstVector[gone];
  if (p->FirstVector[keep] == -1) {
    p->FirstVector[keep] = goneHead;
  } else {
    int tail = p->FirstVector[keep];
    while (p->NextVector[tail] != -1) tail = p->NextVector[tail];
    p->NextVector[tail] = goneHead;
  }
  for (int v = goneHead; v != -1; v = p->NextVector[v]) p->PartitionOf[v] = keep;

  // The sums of gone are exactly its members' contributions, so they move
  // as a whole: keep gains them and gone is left at zero.
  PartitionSum& kept = p->Sums[keep];
  PartitionSum& joined = p->Sums[gone];
  for (int k = 0; k < p->Dimension; ++k) cbdetail::AddWrapped(kept.VectorSum[k], joined.VectorSum[k]);
  cbdetail::AddWrapped(kept.CCFreq, joined.CCFreq);
  p->MemberCount[keep] += p->MemberCount[gone];
  EmptySlot(p, gone);

  // The last partition moves into the freed index. Moving its members one
  // at a time, head first, to the head of gone's list reverses the list;
  // its sums move whole.
  const int last = p->PartitionCount - 1;
  if (gone != last) {
    int reversed = -1;
    int v = p->FirstVector[last];
    while (v != -1) {
      const int next = p->NextVector[v];
      p->PartitionOf[v] = gone;
      p->NextVector[v] = reversed;
      reversed = v;
      v = next;
    }
    p->FirstVector[gone] = reversed;
    std::copy_n(p->Sums[last].VectorSum, p->Dimension, joined.VectorSum);
    joined.CCFreq = p->Sums[last].CCFreq;
    p->MemberCount[gone] = p->MemberCount[last];
    EmptySlot(p, last);
  }
  p->PartitionCount = last;
}

void PutAllInOwnPartition(const Codebook* ts, Partitioning* p) {
  assert(ts->BookSize == p->TrainingSetSize);
  ChangeNumberOfPartitions(p, ts->BookSize);
  // The former lists and sums are overwritten, not unwound.
  for (int i = 0; i < p->PartitionCount; ++i) {
    const BookNode& node = ts->Book[i];
    p->PartitionOf[i] = i;
    p->FirstVector[i] = i;
    p->NextVector[i] = -1;
    std::fill_n(p->Sums[i].VectorSum, p->Dimension, std::int64_t{0});
    cbdetail::AddScaled(p->Sums[i].VectorSum, node.Vector, static_cast<std::size_t>(p->Dimension), node.Freq);
    p->Sums[i].CCFreq = node.Freq;
    p->MemberCount[i] = 1;
  }
}

void ChangeNumberOfPartitions(Partitioning* p, int newCount) {
  if (newCount < p->PartitionCount) {
    DecreaseNumberOfPartitions(p, newCount);
  } else if (newCount > p->PartitionCount) {
    IncreaseNumberOfPartitions(p, newCount);
  }
}

void IncreaseNumberOfPartitions(Partitioning* p, int newCount) {
  if (newCount <= p->PartitionCount) {
    ErrorMessage("CB::IncreaseNumberOfPartitions: New partition count (%i) less or equal to old (%i).\n", newCount,
                 p->PartitionCount);
    ExitProcessing(-1);
  }
  if (newCount > p->AllocatedPartitions) SetNumberOfAllocatedPartitions(p, newCount);
  // Slots above the count are always empty, so the new partitions are too.
  p->PartitionCount = newCount;
}

void DecreaseNumberOfPartitions(Partitioning* p, int newCount) {
  if (newCount >= p->PartitionCount) {
    ErrorMessage("CB::DecreaseNumberOfPartitions: New partition count (%i) greater or equal to old (%i).\n", newCount,
                 p->PartitionCount);
    ExitProcessing(-1);
  }
  if (newCount <= 0) {
    ErrorMessage("CB::DecreaseNumberOfPartitions: New partition count (%i) less than or equal to zero.\n", newCount);
    ExitProcessing(-1);
  }
  for (int i = newCount; i < p->PartitionCount; ++i) {
    if (p->FirstVector[i] != -1) {
      ErrorMessage("CB::DecreaseNumberOfPartitions: Partition %i not empty.\n", i);
      ExitProcessing(-1);
    }
  }
  p->PartitionCount = newCount;
}

void SetNumberOfAllocatedPartitions(Partitioning* p, int newSlots) {
  if (newSlots < p->PartitionCount) {
    ErrorMessage(
        "CB::SetNumberOfAllocatedPartitions: New allocated size of partitions (%i) < logical partition count "
        "(%i).\n",
        newSlots, p->PartitionCount);
    ExitProcessing(-1);
  }
  if (newSlots <= p->AllocatedPartitions) return;

  // The slots in use bring their sum buffers along: the pointers move, the
  // sums stay where they are. The new slots get empty buffers of their own.
  const auto slots = static_cast<std::size_t>(newSlots);
  const auto dimension = static_cast<std::size_t>(p->Dimension);
  const auto used = static_cast<std::size_t>(p->PartitionCount);
  int* firstVector = nullptr;
  int* memberCount = nullptr;
  PartitionSum* sums = nullptr;
  std::size_t made = used;  // slots of sums that hold their values
  try {
    firstVector = cbdetail::Allocate<int>(slots, kPartitionMemory);
    memberCount = cbdetail::Allocate<int>(slots, kPartitionMemory);
    sums = cbdetail::Allocate<PartitionSum>(slots, kPartitionMemory);
    for (; made < slots; ++made) {
      firstVector[made] = -1;
      memberCount[made] = 0;
      sums[made] = PartitionSum{cbdetail::Allocate<std::int64_t>(dimension, kPartitionMemory, true), 0};
    }
  } catch (...) {
    // A handler unwinds out of the failed allocation: the record stays as
    // it was, and what was made for it goes.
    for (std::size_t s = used; sums != nullptr && s < made; ++s) std::free(sums[s].VectorSum);
    std::free(firstVector);
    std::free(memberCount);
    std::free(sums);
    throw;
  }
  for (std::size_t s = 0; s < used; ++s) {
    firstVector[s] = p->FirstVector[s];
    memberCount[s] = p->MemberCount[s];
    sums[s] = p->Sums[s];
  }
  for (int s = p->PartitionCount; s < p->AllocatedPartitions; ++s) std::free(p->Sums[s].VectorSum);
  std::free(p->FirstVector);
  std::free(p->MemberCount);
  std::free(p->Sums);
  p->FirstVector = firstVector;
  p->MemberCount = memberCount;
  p->Sums = sums;
  p->AllocatedPartitions = newSlots;
}

void CopyPartitioning(const Partitioning* source, Partitioning* destination) {
  if (destination->AllocatedPartitions < source->PartitionCount) {
    ErrorMessage("ERROR: Destination partitioning is too small (%d -> %d).\n", source->PartitionCount,
                 destination->AllocatedPartitions);
    ExitProcessing(-1);
  }
  if (source->TrainingSetSize != destination->TrainingSetSize || source->Dimension != destination->Dimension) {
    ErrorMessage("ERROR: Partitionings are not for same training set.\n");
    ExitProcessing(-1);
  }
  if (source == destination) return;
  assert(destination->PartitionOf != nullptr || destination->TrainingSetSize == 0);

  std::memcpy(destination->VersionString, source->VersionString, sizeof destination->VersionString);
  destination->PartitionCount = source->PartitionCount;
  std::memcpy(destination->GenerationMethod, source->GenerationMethod, sizeof destination->GenerationMethod);
  const auto vectors = static_cast<std::size_t>(source->TrainingSetSize);
  std::copy_n(source->PartitionOf, vectors, destination->PartitionOf);
  std::copy_n(source->NextVector, vectors, destination->NextVector);
  for (int s = 0; s < source->PartitionCount; ++s) {
    destination->FirstVector[s] = source->FirstVector[s];
    std::copy_n(source->Sums[s].VectorSum, source->Dimension, destination->Sums[s].VectorSum);
    destination->Sums[s].CCFreq = source->Sums[s].CCFreq;
    destination->MemberCount[s] = source->MemberCount[s];
  }
  for (int s = source->PartitionCount; s < destination->AllocatedPartitions; ++s) EmptySlot(destination, s);
}

}  // namespace mirvo
