// One conversion end to end through MirvoMain. The input is an options byte,
// the training set, kFileSeparator and the second file (a codebook for
// fuzz_cb_to_pa, a partitioning for fuzz_pa_to_cb). Options byte: bit 0
// gives -O; bits 1-2 the quiet level 0, 1, 2 or none; bit 3 puts an old
// output file in place first.
//
// Afterwards: no temporary file; after a failure the old output (or none)
// is left as it was; after success the output reads back, fits the inputs
// and, for a partitioning, puts every vector with a nearest code vector.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "seed_files.h"

#ifndef MIRVO_FUZZ_SECOND_KIND
#error "MIRVO_FUZZ_SECOND_KIND must be KindCodebook or KindPartitioning"
#endif

namespace mirvo::fuzz {
namespace {

constexpr int kSecondKind = MIRVO_FUZZ_SECOND_KIND;
const char* const kOutput = kSecondKind == KindCodebook ? "two.pa" : "two.cb";
const std::string kOldOutput = "old output\n";

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

__int128 Distance(const int* a, const int* b, int d) {
  __int128 sum = 0;
  for (int k = 0; k < d; ++k) {
    const __int128 diff = static_cast<__int128>(a[k]) - b[k];
    sum += diff * diff;
  }
  return sum;
}

void CheckPartitioningOutput(const std::string& one, const std::string& two, const std::string& out) {
  Codebook ts, cb;
  Partitioning p;
  if (!Run([&] {
        ReadCodebook(one.c_str(), &ts);
        ReadCodebook(two.c_str(), &cb);
        ReadPartitioning(out.c_str(), &p, &ts);
      })) {
    Defect("the partitioning written cannot be read back");
  }
  if (p.PartitionCount != cb.BookSize) Defect("%d partitions for %d code vectors", p.PartitionCount, cb.BookSize);
  const int d = VectorSize(&ts);
  for (int i = 0; i < ts.BookSize; ++i) {
    const __int128 chosen = Distance(cb.Book[p.PartitionOf[i]].Vector, ts.Book[i].Vector, d);
    for (int j = 0; j < cb.BookSize; ++j) {
      if (Distance(cb.Book[j].Vector, ts.Book[i].Vector, d) < chosen) {
        Defect("vector %d put into partition %d while code vector %d is nearer", i, p.PartitionOf[i], j);
      }
    }
  }
}

void CheckCodebookOutput(const std::string& one, const std::string& two, const std::string& out) {
  Codebook ts, cb;
  Partitioning p;
  if (!Run([&] {
        ReadCodebook(one.c_str(), &ts);
        ReadPartitioning(two.c_str(), &p, &ts);
        ReadCodebook(out.c_str(), &cb);
      })) {
    Defect("the codebook written cannot be read back");
  }
  if (RecognizeVersionstr(cb.VersionString) != KindCodebook) Defect("output header '%s'", cb.VersionString);
  if (cb.BookSize != p.PartitionCount || VectorSize(&cb) != VectorSize(&ts)) Defect("codebook shaped wrong");
  for (int k = 0; k < cb.BookSize; ++k) {
    const int expected = p.Sums[k].CCFreq > 0 ? p.Sums[k].CCFreq : 0;
    if (cb.Book[k].Freq != expected) Defect("code vector %d has frequency %d, not %d", k, cb.Book[k].Freq, expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirvo::fuzz::Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return -1;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto at = rest.find(mirvo::fuzz::kFileSeparator);
  if (at == std::string_view::npos) return -1;
  const std::string_view first = rest.substr(0, at);
  const std::string_view second = rest.substr(at + std::strlen(mirvo::fuzz::kFileSeparator));
  const std::string_view header = kSecondKind == KindCodebook ? "VQ CODEBOOK" : "VQ PARTITIONING";
  if (second.substr(0, header.size()) != header) return -1;

  const unsigned options = data[0];
  const bool overwrite = (options & 1u) != 0;
  const unsigned quiet = (options >> 1) & 3u;
  const bool oldOutput = (options & 8u) != 0;
  mirvo::fuzz::RemoveAllBut({});
  mirvo::fuzz::WriteBytes("one", first);
  mirvo::fuzz::WriteBytes("two", second);
  if (oldOutput) mirvo::fuzz::WriteBytes(kOutput, kOldOutput);

  std::vector<std::string> args;
  if (overwrite) args.emplace_back("-O");
  if (quiet < 3) args.push_back("-Q" + std::to_string(quiet));
  args.emplace_back("one");
  args.emplace_back("two");
  const bool returned = mirvo::fuzz::RunMirvo(args, true);

  std::vector<std::string> expected = {"one", "two"};
  const std::string out = mirvo::fuzz::PathOf(kOutput);
  const bool keptOld = oldOutput && (!returned || !overwrite);
  if (keptOld || returned) expected.emplace_back(kOutput);
  std::sort(expected.begin(), expected.end());
  const std::vector<std::string> entries = mirvo::fuzz::Entries();
  if (entries != expected) {
    std::string list;
    for (const auto& e : entries) list += e + " ";
    Defect("folder holds: %s", list.c_str());
  }
  if (keptOld) {
    if (Contents(out) != kOldOutput) Defect("the old output was changed");
    return 0;
  }
  if (!returned) return 0;
  if (kSecondKind == KindCodebook) {
    CheckPartitioningOutput(mirvo::fuzz::PathOf("one"), mirvo::fuzz::PathOf("two"), out);
  } else {
    CheckCodebookOutput(mirvo::fuzz::PathOf("one"), mirvo::fuzz::PathOf("two"), out);
  }
  return 0;
}

}  // namespace mirvo::fuzz
