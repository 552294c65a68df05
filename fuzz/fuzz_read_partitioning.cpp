// ReadPartitioning on any bytes against a small fixed training set. A file it
// accepts must give a record whose lists and sums agree with its
// assignment, and the file WritePartitioning makes of it must read back the
// same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "mirvo/cb.h"
#include "mirvo/mirvo.h"

namespace mirvo::fuzz {
namespace {

// Five vectors of dimension 2 (one without a name), frequencies of both signs.
Codebook trainingSet;

void MakeTrainingSet() {
  struct Entry {
    int a, b, freq;
    const char* name;
  };
  const Entry entries[] = {
      {1, 2, 3, "first"}, {200, 7, 1, nullptr}, {0, 255, 2, "third"}, {9, 9, -1, "fourth"}, {255, 0, 7, "fifth"}};
  CreateNewTrainingSet(&trainingSet, 5, 2, 1, 1, 0, 0, 0, "");
  for (int i = 0; i < 5; ++i) {
    trainingSet.Book[i].Vector[0] = entries[i].a;
    trainingSet.Book[i].Vector[1] = entries[i].b;
    trainingSet.Book[i].Freq = entries[i].freq;
    ChangeVectorName(&trainingSet.Book[i], entries[i].name);
  }
}

void CheckRecord(const Partitioning& p) {
  const Codebook& ts = trainingSet;
  if (p.PartitionCount < 1 || p.AllocatedPartitions < p.PartitionCount) {
    Defect("PartitionCount %d, AllocatedPartitions %d", p.PartitionCount, p.AllocatedPartitions);
  }
  if (p.TrainingSetSize != ts.BookSize || p.Dimension != VectorSize(&ts)) Defect("record shaped wrong");
  if (std::strcmp(p.VersionString, "VQ PARTITIONING 2.0") != 0) Defect("version '%s'", p.VersionString);
  if (std::memchr(p.GenerationMethod, 0, sizeof p.GenerationMethod) == nullptr) Defect("method not terminated");
  std::vector<int> seen(static_cast<std::size_t>(ts.BookSize), 0);
  for (int partition = 0; partition < p.PartitionCount; ++partition) {
    int members = 0;
    std::int64_t freq = 0;
    std::int64_t sums[2] = {0, 0};
    int previous = ts.BookSize;
    for (int v = p.FirstVector[partition]; v != -1; v = p.NextVector[v]) {
      if (v < 0 || v >= previous) Defect("list of partition %d not in descending order", partition);
      if (p.PartitionOf[v] != partition) Defect("vector %d listed in partition %d", v, partition);
      ++seen[static_cast<std::size_t>(v)];
      previous = v;
      ++members;
      freq += ts.Book[v].Freq;
      for (int k = 0; k < 2; ++k) sums[k] += std::int64_t{ts.Book[v].Vector[k]} * ts.Book[v].Freq;
    }
    if (members != p.MemberCount[partition] || freq != p.Sums[partition].CCFreq ||
        sums[0] != p.Sums[partition].VectorSum[0] || sums[1] != p.Sums[partition].VectorSum[1]) {
      Defect("sums of partition %d do not match its members", partition);
    }
  }
  for (int v = 0; v < ts.BookSize; ++v) {
    if (seen[static_cast<std::size_t>(v)] != 1)
      Defect("vector %d is listed %d times", v, seen[static_cast<std::size_t>(v)]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirvo::fuzz::Setup();
  MakeTrainingSet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mirvo::fuzz::WriteBytes("input", data, size);
  const std::string input = mirvo::fuzz::PathOf("input");
  const std::string copy = mirvo::fuzz::PathOf("copy");
  Partitioning p;
  if (!Run([&] { ReadPartitioning(input.c_str(), &p, &trainingSet); })) return 0;
  CheckRecord(p);

  if (!Run([&] { WritePartitioning(copy.c_str(), &p, &trainingSet, 1); })) return 0;
  Partitioning back;
  if (!Run([&] { ReadPartitioning(copy.c_str(), &back, &trainingSet); })) {
    Defect("a partitioning written cannot be read back");
  }
  if (back.PartitionCount != p.PartitionCount || std::strcmp(back.GenerationMethod, p.GenerationMethod) != 0 ||
      std::memcmp(back.PartitionOf, p.PartitionOf, sizeof(int) * static_cast<std::size_t>(p.TrainingSetSize)) != 0) {
    Defect("a partitioning written reads back different");
  }
  return 0;
}

}  // namespace mirvo::fuzz
