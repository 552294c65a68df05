// Micro-benchmarks: the nearest search on each kernel and method (int
// vectors through FindMany, 1-byte rows through FindRows), the plain search,
// the decoding of partitioning lines, and ReadCodebook of a whole training
// set. Rates are training vectors (or lines) per processor-second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mirvo/mirvo.h"

namespace mirvo {
namespace {

struct Data {
  Codebook cb;
  std::vector<int> train;  // n x dimension
  int n, dimension;
};

// Clustered data: code vectors and training vectors around common centres.
void Make(Data& data, int n, int dimension, int codes, int top) {
  data.n = n;
  data.dimension = dimension;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> any(0, top);
  std::normal_distribution<double> noise(0, top / 40.0 + 1);
  std::vector<int> centres(static_cast<std::size_t>(64) * dimension);
  for (int& c : centres) c = any(rng);
  auto sample = [&](int* out) {
    const int* c = centres.data() + static_cast<std::size_t>(rng() % 64) * dimension;
    for (int k = 0; k < dimension; ++k) out[k] = std::clamp(static_cast<int>(c[k] + noise(rng)), 0, top);
  };
  CreateNewTrainingSet(&data.cb, codes, dimension, 1, top > 255 ? 4 : 1, 0, 0, 0, "");
  for (int j = 0; j < codes; ++j) sample(data.cb.Book[j].Vector);
  data.train.resize(static_cast<std::size_t>(n) * dimension);
  for (int i = 0; i < n; ++i) sample(data.train.data() + static_cast<std::size_t>(i) * dimension);
}

void Search(benchmark::State& state, KernelLevel level, int dimension, int top) {
  const KernelLevel set = SetKernelLevel(level);
  if (set != level) {
    state.SkipWithError("not offered by this processor");
    return;
  }
  Data data;
  Make(data, 4096, dimension, static_cast<int>(state.range(0)), top);
  const NearestSearch search(&data.cb);
  std::vector<const int*> vectors;
  for (int i = 0; i < data.n; ++i) vectors.push_back(data.train.data() + static_cast<std::size_t>(i) * dimension);
  std::vector<int> starts(static_cast<std::size_t>(data.n), 0), targets(starts.size());
  std::vector<std::int64_t> distances(starts.size());
  for (auto _ : state) {
    search.FindMany(vectors.data(), starts.data(), data.n, targets.data(), distances.data());
    benchmark::DoNotOptimize(targets.data());
  }
  state.SetItemsProcessed(state.iterations() * data.n);
  SetKernelLevel(BestKernelLevel());
}

// The entry the conversions use: 1-byte rows from code vector 0.
void Rows(benchmark::State& state, KernelLevel level, int dimension) {
  const KernelLevel set = SetKernelLevel(level);
  if (set != level) {
    state.SkipWithError("not offered by this processor");
    return;
  }
  Data data;
  Make(data, 4096, dimension, static_cast<int>(state.range(0)), 255);
  const NearestSearch search(&data.cb);
  const std::vector<unsigned char> rows(data.train.begin(), data.train.end());
  std::vector<int> targets(static_cast<std::size_t>(data.n));
  std::vector<std::int64_t> distances(targets.size());
  for (auto _ : state) {
    search.FindRows(RowBlock{rows.data(), data.n, dimension, 1, static_cast<std::size_t>(dimension)}, targets.data(),
                    distances.data());
    benchmark::DoNotOptimize(targets.data());
  }
  state.SetItemsProcessed(state.iterations() * data.n);
  state.counters["multiply-adds/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * data.n * dimension * state.range(0), benchmark::Counter::kIsRate);
  SetKernelLevel(BestKernelLevel());
}

void Plain(benchmark::State& state, int dimension, int top) {
  Data data;
  Make(data, 256, dimension, static_cast<int>(state.range(0)), top);
  for (auto _ : state) {
    for (int i = 0; i < data.n; ++i) {
      std::int64_t d = 0;
      const BookNode node{data.train.data() + static_cast<std::size_t>(i) * dimension, 0, 1, nullptr};
      benchmark::DoNotOptimize(FindNearestVector(&node, &data.cb, &d, 0, MetricSquaredEuclidean));
    }
  }
  state.SetItemsProcessed(state.iterations() * data.n);
}

void PartitionLines(benchmark::State& state) {
  std::string text;
  std::mt19937 rng(3);
  constexpr int kLines = 1 << 16;
  text = "VQ PARTITIONING 2.0\n1024\n" + std::to_string(kLines) + "\n" + std::string(37, '-') + "\n";
  for (int i = 0; i < kLines; ++i) text += std::to_string(1 + rng() % 1024) + "\n";
  const std::string name = "/tmp/mirvo-bench-lines.pa";
  std::FILE* f = std::fopen(name.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  std::vector<int> out(kLines);
  Codebook ts;
  CreateNewTrainingSet(&ts, 0, 1, 1, 1, 0, 0, 0, "");
  ts.BookSize = kLines;  // the header alone: the partitioning is read against it
  for (auto _ : state) {
    PartitioningReader reader(name.c_str(), &ts);
    reader.Read(out.data(), kLines);
    benchmark::DoNotOptimize(out.data());
  }
  std::remove(name.c_str());
  state.SetItemsProcessed(state.iterations() * kLines);
}

// ReadCodebook of a training set file of 1M vectors of 16 one-byte
// elements, without names or (Arg 1) every one named; the FreeCodebook after
// each read is not timed.
void ReadSet(benchmark::State& state) {
  constexpr int kVectors = 1 << 20, kDimension = 16;
  const bool named = state.range(0) != 0;
  std::mt19937 rng(5);
  std::string text = "VQ TRAINING SET 2.0\n4\n4\n" + std::to_string(kVectors) + "\n" + std::to_string(kVectors) +
                     "\n1\n0\n0\n0\n" + std::string(37, '-') + "\n";
  for (int i = 0; i < kVectors; ++i) {
    if (named) text += "v" + std::to_string(i);
    text += '\0';
    for (int k = 0; k < kDimension; ++k) text += static_cast<char>(rng() % 256);
    text += std::string("\0\0\0\1", 4);
  }
  const std::string name = "/tmp/mirvo-bench-set-" + std::to_string(state.range(0)) + ".ts";
  std::FILE* f = std::fopen(name.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  for (auto _ : state) {
    Codebook ts;
    ReadCodebook(name.c_str(), &ts);
    benchmark::DoNotOptimize(ts.Book);
    state.PauseTiming();
    FreeCodebook(&ts);
    state.ResumeTiming();
  }
  std::remove(name.c_str());
  state.SetItemsProcessed(state.iterations() * kVectors);
}

using mirvo::KernelLevel;
BENCHMARK_CAPTURE(Search, bytes_avx512_d16, KernelLevel::Avx512, 16, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avxvnni_d16, KernelLevel::AvxVnni, 16, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avx2_d16, KernelLevel::Avx2, 16, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_portable_d16, KernelLevel::Portable, 16, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avx512_d128, KernelLevel::Avx512, 128, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avxvnni_d128, KernelLevel::AvxVnni, 128, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avx2_d128, KernelLevel::Avx2, 128, 255)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_portable_d128, KernelLevel::Portable, 128, 255)->Arg(1024);
BENCHMARK_CAPTURE(Rows, bytes_avx512_d16, KernelLevel::Avx512, 16)->Arg(1024);
BENCHMARK_CAPTURE(Rows, bytes_avx512_d128, KernelLevel::Avx512, 128)->Arg(1024);
BENCHMARK_CAPTURE(Search, bytes_avx512_d2, KernelLevel::Avx512, 2, 255)->Arg(1000);
BENCHMARK_CAPTURE(Search, sorted_d2, KernelLevel::Portable, 2, 1000000)->Arg(1000);
BENCHMARK_CAPTURE(Search, sorted_d16_wide, KernelLevel::Portable, 16, 65535)->Arg(1024);
BENCHMARK_CAPTURE(Plain, d16, 16, 255)->Arg(1024);
BENCHMARK_CAPTURE(Plain, d2, 2, 1000000)->Arg(1000);
BENCHMARK(PartitionLines);
BENCHMARK(ReadSet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mirvo
