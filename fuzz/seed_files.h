// Small valid files of every kind, the starting points of the fuzz corpora
// and the fixed inputs of the command-line target.
#pragma once

#include <string>
#include <vector>

namespace mirvo::fuzz {

// Separates the two files in the input of a conversion target.
inline constexpr char kFileSeparator[] = "@@next file@@";

// Three vectors of dimension 2, named "a", "" and "far".
std::string SmallTrainingSet();
// Two code vectors of dimension 2.
std::string SmallCodebook();
// A partitioning of SmallTrainingSet into two partitions.
std::string SmallPartitioning();
// One code vector of dimension 3.
std::string WideCodebook();

// Seed inputs per target: (file name, bytes).
struct Seed {
  std::string name;
  std::string bytes;
};
std::vector<Seed> SeedsFor(const std::string& target);

}  // namespace mirvo::fuzz
