// mirvo with the engine's kernels forced to one level, so that a kernel is
// timed end to end against the level below it (bench/levels.sh):
//
//   mirvo_at LEVEL [mirvo's arguments ...]
//
// LEVEL is a name of KernelLevelName (portable, avx2, avx-vnni, avx512-vnni,
// avx512-vbmi); a level the processor does not offer is refused.
#include <cstdio>
#include <cstring>

#include "mirvo.h"
#include "mirvo/engine.h"

int main(int argc, char** argv) {
  constexpr mirvo::KernelLevel kLevels[] = {mirvo::KernelLevel::Portable, mirvo::KernelLevel::Avx2,
                                            mirvo::KernelLevel::AvxVnni, mirvo::KernelLevel::Avx512,
                                            mirvo::KernelLevel::Avx512Vbmi};
  for (const mirvo::KernelLevel level : kLevels) {
    if (argc < 2 || std::strcmp(argv[1], mirvo::KernelLevelName(level)) != 0) continue;
    if (mirvo::SetKernelLevel(level) != level) {
      std::fprintf(stderr, "mirvo_at: this processor does not offer %s\n", argv[1]);
      return 2;
    }
    return mirvo::MirvoMain(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "usage: mirvo_at portable|avx2|avx-vnni|avx512-vnni|avx512-vbmi [mirvo's arguments ...]\n");
  return 2;
}
