// The search phase of the high-dimension workload against the processor's
// peak: the widest integer dot-product instruction the processor has (that
// the search kernels use), on all cores, as multiply-adds (byte pairs) per second; then the nearest
// search of every training vector of a training set and codebook (from
// code 0, 1-byte rows as the conversions hand them over, on all cores), its
// multiply-adds N x M x D per second and that rate as a fraction of the peak
// (of the exhaustive search's work: the pruned search does less), and the
// share of the code vectors whose distance it computed.
//
//   mirvo_peak [TRAINING-SET CODEBOOK]
#include <immintrin.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/engine.h"
#include "mirvo/mirvo.h"

namespace mirvo {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of all threads of the process: on a shared machine the
// rate per processor-second is what the code itself achieves.
double ProcessorSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Rate {
  double wall = 0, perProcessor = 0;  // per second, per processor-second
};

// Independent chains, enough to cover the instruction's latency on every
// port. Returns multiply-adds done.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) double RunVnni512(long rounds) {
  __m512i a[12];
  for (int k = 0; k < 12; ++k) a[k] = _mm512_set1_epi32(k);
  const __m512i x = _mm512_set1_epi32(0x01020304), y = _mm512_set1_epi32(0x05060708);
  for (long i = 0; i < rounds; ++i) {
#pragma GCC unroll 12
    for (int k = 0; k < 12; ++k) a[k] = _mm512_dpbusd_epi32(a[k], x, y);
  }
  __m512i sum = a[0];
  for (int k = 1; k < 12; ++k) sum = _mm512_add_epi32(sum, a[k]);
  alignas(64) int lanes[16];
  _mm512_store_si512(lanes, sum);
  volatile int sink = lanes[0];
  (void)sink;
  return static_cast<double>(rounds) * 12 * 64;
}

__attribute__((target("avx2,avxvnni"))) double RunVnni256(long rounds) {
  __m256i a[12];
  for (int k = 0; k < 12; ++k) a[k] = _mm256_set1_epi32(k);
  const __m256i x = _mm256_set1_epi32(0x01020304), y = _mm256_set1_epi32(0x05060708);
  for (long i = 0; i < rounds; ++i) {
#pragma GCC unroll 12
    for (int k = 0; k < 12; ++k) a[k] = _mm256_dpbusd_avx_epi32(a[k], x, y);
  }
  __m256i sum = a[0];
  for (int k = 1; k < 12; ++k) sum = _mm256_add_epi32(sum, a[k]);
  volatile int sink = _mm256_extract_epi32(sum, 0);
  (void)sink;
  return static_cast<double>(rounds) * 12 * 32;
}

__attribute__((target("avx2"))) double RunMadd256(long rounds) {
  __m256i a[12];
  for (int k = 0; k < 12; ++k) a[k] = _mm256_set1_epi32(k);
  const __m256i x = _mm256_set1_epi32(0x00010002), y = _mm256_set1_epi32(0x00030004);
  for (long i = 0; i < rounds; ++i) {
#pragma GCC unroll 12
    for (int k = 0; k < 12; ++k) {
      __m256i p = _mm256_madd_epi16(x, y);
      asm("" : "+x"(p));
      a[k] = _mm256_add_epi32(a[k], p);
    }
  }
  __m256i sum = a[0];
  for (int k = 1; k < 12; ++k) sum = _mm256_add_epi32(sum, a[k]);
  volatile int sink = _mm256_extract_epi32(sum, 0);
  (void)sink;
  return static_cast<double>(rounds) * 12 * 16;
}

// Multiply-adds per second on all cores, the best of 3 tries. On a shared
// machine a try may lose time to other work: main takes the better of two
// measurements, one before and one after the search, so that the search is
// not compared with a peak measured at a bad moment.
Rate Peak(const char** name) {
  // The widest the search kernels use: the level the search runs on.
  double perRound = 0;
  double (*run)(long) = nullptr;
  switch (BestKernelLevel()) {
    case KernelLevel::Avx512Vbmi:
    case KernelLevel::Avx512:
      *name = "vpdpbusd zmm (AVX-512 VNNI)", run = RunVnni512, perRound = 12.0 * 64;
      break;
    case KernelLevel::AvxVnni:
      *name = "vpdpbusd ymm (AVX-VNNI)", run = RunVnni256, perRound = 12.0 * 32;
      break;
    default:
      *name = "vpmaddwd ymm (AVX2)", run = RunMadd256, perRound = 12.0 * 16;
      break;
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  constexpr long kRounds = 20'000'000;
  Rate best;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const double processor = ProcessorSeconds();
    for (unsigned c = 0; c < cores; ++c) threads.emplace_back([&] { run(kRounds); });
    for (auto& t : threads) t.join();
    const double work = perRound * kRounds * cores;
    best.wall = std::max(best.wall, work / Seconds(start));
    best.perProcessor = std::max(best.perProcessor, work / (ProcessorSeconds() - processor));
  }
  return best;
}

}  // namespace

int Main(int argc, char** argv) {
  const char* instruction = nullptr;
  Rate peak = Peak(&instruction);
  auto printPeak = [&] {
    std::printf("peak: %s on %u cores: %.1f G multiply-adds/s (%.1f G per processor-second)\n", instruction,
                std::max(1u, std::thread::hardware_concurrency()), peak.wall / 1e9, peak.perProcessor / 1e9);
  };
  if (argc < 3) {
    printPeak();
    return 0;
  }

  Codebook ts, cb;
  ReadCodebook(argv[1], &ts);
  ReadCodebook(argv[2], &cb);
  const int n = ts.BookSize, d = VectorSize(&ts), m = cb.BookSize;
  // The training vectors as 1-byte rows, as the conversions hand them over.
  std::vector<unsigned char> rows(static_cast<std::size_t>(n) * d);
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < d; ++k)
      rows[static_cast<std::size_t>(i) * d + k] = static_cast<unsigned char>(ts.Book[i].Vector[k]);
  }
  std::vector<int> targets(static_cast<std::size_t>(n));
  std::vector<std::int64_t> distances(targets.size());
  double best = 1e300, bestProcessor = 1e300;
  NearestSearch::Work done;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto start = Clock::now();
    const double processor = ProcessorSeconds();
    const NearestSearch search(&cb);
    search.FindRowsInParallel(RowBlock{rows.data(), n, d, 1, static_cast<std::size_t>(d)}, targets.data(),
                              distances.data());
    done = search.Done();
    best = std::min(best, Seconds(start));
    bestProcessor = std::min(bestProcessor, ProcessorSeconds() - processor);
  }
  const Rate again = Peak(&instruction);
  peak.wall = std::max(peak.wall, again.wall);
  peak.perProcessor = std::max(peak.perProcessor, again.perProcessor);
  printPeak();
  const double work = static_cast<double>(n) * m * d;
  std::printf(
      "search: N=%d M=%d D=%d, %.1f G multiply-adds in %.1f ms: %.1f G multiply-adds/s, %.0f %% of the peak; "
      "per processor-second %.1f G, %.0f %% of the peak\n",
      n, m, d, work / 1e9, best * 1e3, work / best / 1e9, 100 * work / best / peak.wall, work / bestProcessor / 1e9,
      100 * work / bestProcessor / peak.perProcessor);
  // What pruning left of that work (a row equal to the one before it takes
  // its answer unsearched). Data beyond the byte kernels' span goes to the
  // slab search, which counts nothing.
  if (done.searched == 0) {
    std::printf("code vectors computed: not counted (the slab search, not the byte kernels)\n");
  } else {
    std::printf(
        "code vectors computed: %.2f %% of M per training vector searched, %.2f %% per training vector\n",
        100.0 * static_cast<double>(done.computed) / (static_cast<double>(m) * static_cast<double>(done.searched)),
        100.0 * static_cast<double>(done.computed) / (static_cast<double>(m) * n));
  }
  FreeCodebook(&ts);
  FreeCodebook(&cb);
  return 0;
}

}  // namespace mirvo

int main(int argc, char** argv) { return mirvo::Main(argc, argv); }
