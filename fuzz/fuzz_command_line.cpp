// The whole front end with a command line made of the input: arguments are
// the pieces between zero bytes. The working folder holds a small training
// set, a codebook, a partitioning and a codebook of another dimension, so
// that names can reach both conversions and their checks.
//
// Every run must end by returning 0 or on the fatal path; afterwards the
// inputs must be unchanged and no temporary file may be left.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "seed_files.h"

namespace mirvo::fuzz {
namespace {

struct Fixed {
  const char* name;
  std::string bytes;
};
std::vector<Fixed> fixed;
std::vector<std::string> fixedNames;

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirvo::fuzz::Setup();
  fixed = {{"set.ts", mirvo::fuzz::SmallTrainingSet()},
           {"book.cb", mirvo::fuzz::SmallCodebook()},
           {"part.pa", mirvo::fuzz::SmallPartitioning()},
           {"wide.cb", mirvo::fuzz::WideCodebook()}};
  for (const auto& f : fixed) {
    mirvo::fuzz::WriteBytes(f.name, f.bytes);
    fixedNames.emplace_back(f.name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  for (const auto piece : mirvo::fuzz::Split(text, std::string_view("\0", 1))) {
    if (args.size() == 8) break;
    std::string arg(piece);
    // Names stay inside the working folder.
    for (char& c : arg) {
      if (c == '/') c = '_';
    }
    args.push_back(arg);
  }
  // Option and argument errors go to standard output, some without any text.
  const bool returned = mirvo::fuzz::RunMirvo(args, false);

  std::vector<std::string> extra;
  for (const auto& name : mirvo::fuzz::Entries()) {
    bool isFixed = false;
    for (const auto& f : fixedNames) isFixed = isFixed || f == name;
    if (isFixed) continue;
    if (name[0] == '.') Defect("temporary file %s left behind", name.c_str());
    extra.push_back(name);
  }
  if (!returned && !extra.empty()) Defect("a failed run left the file %s", extra[0].c_str());
  if (extra.size() > 1) Defect("a run wrote %zu files", extra.size());
  for (const auto& f : fixed) {
    if (Contents(mirvo::fuzz::PathOf(f.name)) != f.bytes) Defect("the input %s was changed", f.name);
  }
  mirvo::fuzz::RemoveAllBut(fixedNames);
  return 0;
}

}  // namespace mirvo::fuzz
