// Writes the seed inputs of one fuzz target into a folder:
//   make_corpus TARGET FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "seed_files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TARGET FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[2];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const auto seeds = mirvo::fuzz::SeedsFor(argv[1]);
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds for %s\n", argv[1]);
    return 1;
  }
  for (const auto& seed : seeds) {
    std::ofstream out(folder + "/" + seed.name, std::ios::binary | std::ios::trunc);
    out.write(seed.bytes.data(), static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), seed.name.c_str());
      return 1;
    }
  }
  return 0;
}
