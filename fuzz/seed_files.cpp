#include "seed_files.h"

#include "support/file_bytes.h"

#include <cstdint>

namespace mirvo::fuzz {
namespace {

using mirvo::test::SetFileBytes;
using mirvo::test::VectorSpec;

const std::string kSeparatorLine = std::string(37, '-') + "\n";

// Version 0/1 layout: no names, 1-byte elements, 2-byte little-endian
// frequencies; a codebook carries a method line.
std::string OldSetFileBytes(const std::vector<VectorSpec>& vectors, int x, bool codebook) {
  std::string bytes = codebook ? "VQ CODEBOOK 1.0\n" : "VQ TRAINING SET 1.0\n";
  bytes += std::to_string(x) + "\n1\n" + std::to_string(vectors.size()) + "\n0\n0\n0\n0\n0\n";
  if (codebook) bytes += "old method\n";
  bytes += kSeparatorLine;
  for (const auto& v : vectors) {
    for (const int e : v.elements) bytes.push_back(static_cast<char>(e));
    bytes.push_back(static_cast<char>(v.freq & 0xFF));
    bytes.push_back(static_cast<char>((v.freq >> 8) & 0xFF));
  }
  return bytes;
}

std::string Pair(char options, const std::string& first, const std::string& second) {
  return std::string(1, options) + first + kFileSeparator + second;
}

std::string Args(const std::vector<std::string>& args) {
  std::string bytes;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) bytes.push_back('\0');
    bytes += args[i];
  }
  return bytes;
}

// The five-vector training set the partitioning target reads against.
std::string FivePartitioning(const std::string& method, const std::string& lines) {
  std::string bytes = "VQ PARTITIONING 2.0\n3\n5\n";
  if (!method.empty()) bytes += method + "\n";
  return bytes + kSeparatorLine + lines;
}

}  // namespace

std::string SmallTrainingSet() {
  return SetFileBytes({{{1, 2}, 1, "a"}, {{4, 7}, 2, ""}, {{20, 20}, 1, "far"}}, 2, 1, 1, false);
}

std::string SmallCodebook() { return SetFileBytes({{{0, 0}, 1, ""}, {{21, 19}, 1, ""}}, 2, 1, 1, true, "k-means"); }

std::string SmallPartitioning() { return "VQ PARTITIONING 2.0\n2\n3\n" + kSeparatorLine + "1 a\n1\n2 far\n"; }

std::string WideCodebook() { return SetFileBytes({{{1, 2, 3}, 1, "w"}}, 3, 1, 1, true); }

std::vector<Seed> SeedsFor(const std::string& target) {
  const std::vector<VectorSpec> four = {
      {{1, 2}, 3, "one"}, {{200, 7}, 1, ""}, {{0, 255}, 2, "three"}, {{9, 9}, 5, "x"}};
  const std::string wideSet = SetFileBytes({{{1000, 70000, 3}, 2, "p"}, {{5, 6, 7}, 1, "q"}}, 3, 1, 3, false);
  const std::string signedSet =
      SetFileBytes({{{-5, 1 << 30}, 2, "neg"}, {{7, -8}, -1, ""}, {{0, 0}, 4, "z"}}, 1, 2, 4, false);
  if (target == "fuzz_read_codebook") {
    return {{"ts-v2", SetFileBytes(four, 2, 1, 1, false)},
            {"cb-v2-method", SetFileBytes(four, 1, 2, 2, true, "made by hand")},
            {"ts-v2-width3", wideSet},
            {"ts-v2-width4-signed", signedSet},
            {"ts-v2-empty", SetFileBytes({}, 4, 4, 1, false)},
            {"ts-v2-hex-octal", "VQ TRAINING SET 2.0\n0x2\n01\n1\n7\n1\n0\n0\n0\n" + kSeparatorLine +
                                    std::string("v\0\x05\x06\0\0\0\x07", 8)},
            {"cb-v1", OldSetFileBytes({{{1, 2}, 258, ""}, {{3, 4}, 1, ""}}, 2, true)},
            {"ts-v1", OldSetFileBytes({{{1, 2, 3}, 2, ""}}, 3, false)},
            {"ts-v0", "VQ TRAINING SET 0.1\n1\n1\n1\n0\n0\n0\n0\n0\n--\n" + std::string("\x09\x01\x00", 3)}};
  }
  if (target == "fuzz_read_partitioning") {
    return {{"plain", FivePartitioning("", "1 first\n3\n2 third\n3 fourth\n1 fifth\n")},
            {"method", FivePartitioning("by hand", "1\n1\n1\n1\n1\n")},
            {"octal-hex-blanks", FivePartitioning("", "  01\n\n0x3 x\n\t2\n1\n3 extra\n")},
            {"old-header", "VQ PARTITIONING 1.0\n5\n5\n" + kSeparatorLine + "5\n4\n3\n2\n1\n"}};
  }
  if (target == "fuzz_graph_read") {
    return {{"small", "Graph v. 1\n3\n2\n2\n" + kSeparatorLine + "1 2 1 2 \n3 4 0 2 \n-5 6 0 1 \n"},
            {"no-k", "Graph v. 1\n2\n0\n3\n" + kSeparatorLine + "1 2 3 \n4,5,6\n"},
            {"empty", "Graph v. 1\n0\n0\n0\n" + kSeparatorLine},
            {"hex", "Graph v. 0x1\n0x2\n01\n0\n" + kSeparatorLine + "1 \n0 \n"}};
  }
  if (target == "fuzz_command_line") {
    return {{"cb-to-pa", Args({"set", "book"})},
            {"pa-to-cb", Args({"-Q0", "set.ts", "part.pa"})},
            {"overwrite", Args({"set", "book", "-O", "-q1"})},
            {"wide", Args({"set", "wide"})},
            {"options", Args({"-Q5,7", "-O0", "-q-3", "set", "part"})},
            {"range", Args({"-Q,", "set", "book"})},
            {"unknown", Args({"-X", "set"})},
            {"too-many", Args({"a", "b", "c"})},
            {"too-few", Args({"set"})},
            {"none", Args({"-Q1"})},
            {"wrong-order", Args({"book", "set"})}};
  }
  if (target == "fuzz_cb_to_pa") {
    return {{"small", Pair(0, SmallTrainingSet(), SmallCodebook())},
            {"report", Pair(2, SetFileBytes(four, 2, 1, 1, false),
                            SetFileBytes({{{0, 0}, 1, ""}, {{9, 9}, 1, "c"}}, 2, 1, 1, true))},
            {"width3", Pair(1, wideSet, SetFileBytes({{{0, 0, 0}, 1, ""}}, 3, 1, 2, true))},
            {"signed", Pair(0, signedSet, SetFileBytes({{{0, 0}, 1, ""}, {{-9, 9}, 1, ""}}, 1, 2, 4, true))},
            {"old", Pair(0, OldSetFileBytes({{{1, 2}, 3, ""}, {{9, 8}, 1, ""}}, 2, false),
                         OldSetFileBytes({{{1, 1}, 1, ""}}, 2, true))}};
  }
  if (target == "fuzz_pa_to_cb") {
    return {{"small", Pair(0, SmallTrainingSet(), SmallPartitioning())},
            {"report", Pair(2, SetFileBytes(four, 2, 1, 1, false, "inherited"),
                            "VQ PARTITIONING 2.0\n3\n4\nmethod\n" + kSeparatorLine + "1\n2\n3\n1\n")},
            {"empty-partition", Pair(0, wideSet, "VQ PARTITIONING 2.0\n3\n2\n" + kSeparatorLine + "3\n1\n")},
            {"signed", Pair(1, signedSet, "VQ PARTITIONING 2.0\n2\n3\n" + kSeparatorLine + "1\n1\n2\n")}};
  }
  return {};
}

}  // namespace mirvo::fuzz
