// Sizes the streaming conversions work with, settable for tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvo {

namespace cbdetail {

// The most the centroid conversion spends on sums for every partition
// before it keeps them only for partitions with members (256 MiB); returns
// the previous limit. For tests.
std::uint64_t SetDenseSumsLimit(std::uint64_t bytes);
// The bytes of training vectors the conversions take at a time (256 KiB);
// returns the previous size. For tests.
std::size_t SetChunkBytes(std::size_t bytes);

}  // namespace cbdetail

}  // namespace mirvo
