// Sizes the streaming conversions work with, settable for tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvo {

namespace cbdetail {

// The bytes of training vectors the conversions take at a time (256 KiB);
// returns the previous size. For tests.
std::size_t SetChunkBytes(std::size_t bytes);

}  // namespace cbdetail

}  // namespace mirvo
