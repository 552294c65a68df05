// The share of the code vectors whose distance the search computes, for a
// training set and a codebook of 1-byte elements:
//
//   build/bench/mirvo_work TRAINING-SET CODEBOOK
//
// Prints the training vectors, the code vectors, the share of code vectors
// computed per training vector searched (a row equal to the one before it
// takes its answer unsearched) and per training vector, and the search's
// time on both cores.
#include <chrono>
#include <cstdio>
#include <vector>

#include "engine/search.h"
#include "mirvo/global.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TRAINING-SET CODEBOOK\n", argv[0]);
    return 2;
  }
  Codebook ts, cb;
  ReadCodebook(argv[1], &ts);
  ReadCodebook(argv[2], &cb);
  const int n = ts.BookSize, d = VectorSize(&ts);
  std::vector<unsigned char> rows(static_cast<std::size_t>(n) * d);
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < d; ++k)
      rows[static_cast<std::size_t>(i) * d + k] = static_cast<unsigned char>(ts.Book[i].Vector[k]);
  }
  std::vector<int> targets(static_cast<std::size_t>(n));
  std::vector<std::int64_t> distances(targets.size());
  const auto start = std::chrono::steady_clock::now();
  const mirvo::cbdetail::NearestSearch search(&cb);
  mirvo::cbdetail::ParallelFor(
      n,
      [&](int begin, int end) {
        search.FindRows(rows.data() + static_cast<std::size_t>(begin) * d, 1, static_cast<std::size_t>(d), end - begin,
                        targets.data() + begin, distances.data() + begin);
      },
      false);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto work = search.Done();
  const double m = cb.BookSize;
  std::printf("%d %d %.4f %.4f %.4f\n", n, cb.BookSize, work.computed / (m * static_cast<double>(work.searched)),
              work.computed / (m * n), seconds);
}
