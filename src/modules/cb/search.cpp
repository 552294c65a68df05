#include "cb/search.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

namespace cbdetail {
namespace {

using u128 = unsigned __int128;

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::int64_t Saturate(u128 d) { return d > kInt64Max ? kNoBound : static_cast<std::int64_t>(d); }

std::uint64_t Square(int a, int b) {
  const std::int64_t diff = std::int64_t{a} - b;
  const std::uint64_t magnitude = diff < 0 ? 0 - static_cast<std::uint64_t>(diff) : static_cast<std::uint64_t>(diff);
  return magnitude * magnitude;  // below 2^64: |diff| < 2^32
}

// Squared distance, exact for any int32 data; once the partial sum reaches
// the bound the (partial) sum is returned.
u128 WideDistance(const int* a, const int* b, int count, u128 bound) {
  u128 sum = 0;
  for (int i = 0; i < count; ++i) {
    sum += Square(a[i], b[i]);
    if (sum >= bound) return sum;
  }
  return sum;
}

// Squared distance in 64-bit arithmetic, for data known not to overflow it.
std::int64_t NarrowDistance(const int* a, const int* b, int count, std::int64_t bound) {
  std::int64_t sum = 0;
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    std::int64_t block = 0;
    for (int k = 0; k < 8; ++k) {
      const std::int64_t diff = std::int64_t{a[i + k]} - b[i + k];
      block += diff * diff;
    }
    sum += block;
    if (sum >= bound) return sum;
  }
  for (; i < count; ++i) {
    const std::int64_t diff = std::int64_t{a[i]} - b[i];
    sum += diff * diff;
  }
  return sum;
}

template <class D, class F>
int Search(const Codebook* cb, int start, D noBound, D& best, F distance) {
  best = distance(cb->Book[start].Vector, noBound);
  int answer = start;
  if (best == 0) return answer;
  for (int j = 0; j < cb->BookSize; ++j) {
    if (j == start) continue;
    const D d = distance(cb->Book[j].Vector, best);
    if (d < best) {
      best = d;
      answer = j;
      if (d == 0) return j;
    }
  }
  return answer;
}

}  // namespace

int FindNearestSquared(const int* vector, const Codebook* cb, int start, std::int64_t* distance) {
  const int dimension = VectorSize(cb);
  u128 best = 0;
  const int answer = Search(cb, start, ~u128{0}, best, [&](const int* code, u128 bound) {
    return WideDistance(code, vector, dimension, bound);
  });
  *distance = Saturate(best);
  return answer;
}

NearestSearch::NearestSearch(const Codebook* cb) : cb_(cb), size_(cb->BookSize), dimension_(VectorSize(cb)) {
  bool any = false;
  for (int j = 0; j < size_; ++j) {
    const int* v = cb->Book[j].Vector;
    for (int k = 0; k < dimension_; ++k) {
      if (!any || v[k] < minimum_) minimum_ = v[k];
      if (!any || v[k] > maximum_) maximum_ = v[k];
      any = true;
    }
  }
}

int NearestSearch::Find(const int* vector, int start, std::int64_t* distance) const {
  std::int64_t low = dimension_ > 0 ? vector[0] : 0, high = low;
  for (int k = 1; k < dimension_; ++k) {
    low = std::min<std::int64_t>(low, vector[k]);
    high = std::max<std::int64_t>(high, vector[k]);
  }
  // Every distance of this vector fits 63 bits when the largest element
  // difference squared, times the dimension, does.
  const auto spread = static_cast<u128>(std::max({high - minimum_, maximum_ - low, std::int64_t{0}}));
  if (spread * spread * static_cast<u128>(dimension_) > kInt64Max) {
    return FindNearestSquared(vector, cb_, start, distance);
  }
  std::int64_t best = 0;
  const int answer = Search(cb_, start, kNoBound, best, [&](const int* code, std::int64_t bound) {
    return NarrowDistance(code, vector, dimension_, bound);
  });
  *distance = best;
  return answer;
}

void ParallelFor(int count, const std::function<void(int begin, int end)>& body) {
  constexpr int kChunk = 2048;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const int workers = static_cast<int>(std::min<unsigned>(cores, static_cast<unsigned>((count + kChunk - 1) / kChunk)));
  if (workers <= 1) {
    if (count > 0) body(0, count);
    return;
  }
  std::atomic<std::int64_t> next{0};
  auto work = [&] {
    for (;;) {
      const std::int64_t begin = next.fetch_add(kChunk);
      if (begin >= count) return;
      body(static_cast<int>(begin), static_cast<int>(std::min<std::int64_t>(count, begin + kChunk)));
    }
  };
  std::vector<std::thread> threads;
  for (int w = 1; w < workers; ++w) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

}  // namespace cbdetail
