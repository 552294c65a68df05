// The partitioning record's per-partition lists and sums, as the operations
// that move vectors keep them.
#pragma once

#include "mirvo/cb.h"

namespace mirvo {

namespace cbdetail {

// A partitioning record with the given number of empty partitions and every
// training vector unassigned.
void AllocatePartitioning(Partitioning* p, const Codebook* ts, int partitionCount);

// The training vector's contribution to a partition's sums.
void AddContribution(const Codebook* ts, Partitioning* p, int partition, int vector);
void RemoveContribution(const Codebook* ts, Partitioning* p, int partition, int vector);

}  // namespace cbdetail

}  // namespace mirvo
