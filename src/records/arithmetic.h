// The integer arithmetic of sums and averages shared by the records and the
// engine: wrapping sums, frequency-weighted sums, rounded means, centroids.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "console/fatal.h"

namespace mirvo {

namespace cbdetail {

// Adds with wrap-around instead of undefined overflow. The readers refuse
// data whose sums could leave the 64-bit range, so the wrap never shows.
inline void AddWrapped(std::int64_t& sum, std::int64_t value) {
  sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(sum) + static_cast<std::uint64_t>(value));
}
inline void AddWrapped(int& sum, int value) {
  sum = static_cast<int>(static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(value));
}

// sum[k] += freq * vector[k] for k < count, with wrap-around. The factor is
// 64 bits wide so that a frequency can be taken away (-freq) for any int.
inline void AddScaled(std::int64_t* sum, const int* vector, std::size_t count, std::int64_t freq) {
  auto* s = reinterpret_cast<std::uint64_t*>(sum);
  if (freq == 1) {
    for (std::size_t k = 0; k < count; ++k) s[k] += static_cast<std::uint64_t>(std::int64_t{vector[k]});
  } else {
    const std::int64_t f = freq;
    for (std::size_t k = 0; k < count; ++k) s[k] += static_cast<std::uint64_t>(vector[k] * f);
  }
}

// Truncation toward zero of a double to an int; values beyond the int range
// are clamped (the means of int values never are).
inline int TruncateToInt(double x) {
  if (!(x > -2147483649.0)) return x != x ? 0 : std::numeric_limits<int>::min();
  if (!(x < 2147483648.0)) return std::numeric_limits<int>::max();
  return static_cast<int>(x);
}

// Average as the library rounds it: the sum as a double, divided by the
// count, plus 0.5, truncated toward zero.
inline int RoundedMean(std::int64_t sum, double count) { return TruncateToInt(static_cast<double>(sum) / count + 0.5); }

// An element of a centroid: the sum over the frequency, rounded as averages
// are. One beyond the int range (only frequencies of mixed sign lead there)
// fits no element width and is refused: "ERROR: Vector element value %.0f
// does not fit in 4 bytes per element.\n" with the exact value, then
// ExitProcessing(-1).
inline int CentroidElement(std::int64_t sum, double freq) {
  const double x = static_cast<double>(sum) / freq + 0.5;
  if (!(x > -2147483649.0 && x < 2147483648.0)) {
    Fatal("ERROR: Vector element value %.0f does not fit in 4 bytes per element.\n", std::trunc(x));
  }
  return static_cast<int>(x);
}

// The centroid of sums over members of total frequency freq (positive):
// each element as CentroidElement makes it (a refusal ends the process).
// Returns the mean of the elements, rounded.
inline int Centroid(const std::int64_t* sums, int freq, std::size_t dimension, int* vector) {
  std::int64_t total = 0;
  for (std::size_t e = 0; e < dimension; ++e) {
    vector[e] = CentroidElement(sums[e], static_cast<double>(freq));
    total += vector[e];
  }
  return RoundedMean(total, static_cast<double>(dimension));
}

}  // namespace cbdetail

}  // namespace mirvo
