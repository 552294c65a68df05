#include "engine/kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>

#include "engine/kernels/sets.h"

namespace mirvo {

namespace cbdetail {
namespace {

constexpr ByteKernels kPlain{ByteLayout::Plain, 1, 16, portable::Nearest};
// The portable tile search takes its code vectors as the AVX-512 one does.
constexpr ByteKernels kQuads16Layout{ByteLayout::Quads, 16, 16, nullptr};
// The costs of the tile search of each level, measured (kernels.h).
constexpr PruneKernels kPortableTiles{&kQuads16Layout, portable::Tiles, 2.4, 0, 0, 900};

#if defined(__x86_64__)
constexpr ByteKernels kPairs{ByteLayout::Pairs, 8, 16, avx2::Nearest};
constexpr ByteKernels kQuads8{ByteLayout::Quads, avxvnni::kLanes, avxvnni::kPanel, avxvnni::Nearest};
constexpr ByteKernels kQuads16{ByteLayout::Quads, avx512::kLanes, avx512::kPanel, avx512::Nearest};
constexpr PruneKernels kAvx2Tiles{&kPairs, avx2::Tiles, 1.0, 8, 0, 3400};
constexpr PruneKernels kAvxVnniTiles{&kQuads8, avxvnni::Tiles, 1.1, 14, 0, 6400};
constexpr PruneKernels kAvx512Tiles{&kQuads16, avx512::Tiles, 1.7, 16, 200, 9300};
#endif

// One row per level, in the order of KernelLevel.
const Kernels kTable[kKernelLevels] = {
    {KernelLevel::Portable, &kPlain, &kPortableTiles, portable::Narrow, nullptr},
#if defined(__x86_64__)
    {KernelLevel::Avx2, &kPairs, &kAvx2Tiles, avx2::Narrow, nullptr},
    {KernelLevel::AvxVnni, &kQuads8, &kAvxVnniTiles, avx2::Narrow, nullptr},
    {KernelLevel::Avx512, &kQuads16, &kAvx512Tiles, avx512::Narrow, nullptr},
    {KernelLevel::Avx512Vbmi, &kQuads16, &kAvx512Tiles, avx512::Narrow, vbmi::Lines},
#endif
};

bool Offered(KernelLevel level) {
#if defined(__x86_64__)
  __builtin_cpu_init();
#define MIRVO_HAS(feature) (__builtin_cpu_supports(feature) != 0)
  switch (level) {
    case KernelLevel::Avx512Vbmi:
      return Offered(KernelLevel::Avx512) && MIRVO_HAS("avx512vbmi") && MIRVO_HAS("avx512vbmi2") &&
             MIRVO_HAS("avx512vl") && MIRVO_HAS("bmi") && MIRVO_HAS("popcnt");
    case KernelLevel::Avx512:
      return MIRVO_HAS("avx2") && MIRVO_HAS("avx512f") && MIRVO_HAS("avx512bw") && MIRVO_HAS("avx512vnni");
    case KernelLevel::AvxVnni: {
      // GCC 12 does not report this one through __builtin_cpu_supports.
      unsigned a = 0, b = 0, c = 0, d = 0;
      return MIRVO_HAS("avx2") && __get_cpuid_count(7, 1, &a, &b, &c, &d) != 0 && (a >> 4 & 1u) != 0;
    }
    case KernelLevel::Avx2:
      return MIRVO_HAS("avx2");
    case KernelLevel::Portable:
      break;
  }
#undef MIRVO_HAS
  return true;
#else
  return level == KernelLevel::Portable;
#endif
}

// The requested level, lowered until the processor offers it.
KernelLevel Lowered(KernelLevel level) {
  while (level != KernelLevel::Portable && !Offered(level)) {
    level = static_cast<KernelLevel>(static_cast<int>(level) - 1);
  }
  return level;
}

std::atomic<int> forced{-1};

}  // namespace

const Kernels& ActiveKernels() {
  const int level = forced.load(std::memory_order_relaxed);
  return kTable[level < 0 ? static_cast<int>(BestKernelLevel()) : level];
}

}  // namespace cbdetail

using cbdetail::kKernelLevels;

KernelLevel BestKernelLevel() {
  static const KernelLevel best = cbdetail::Lowered(KernelLevel::Avx512Vbmi);
  return best;
}

KernelLevel SetKernelLevel(KernelLevel level) {
  const KernelLevel set = cbdetail::Lowered(level);
  cbdetail::forced.store(static_cast<int>(set));
  return set;
}

KernelLevel ActiveKernelLevel() { return cbdetail::ActiveKernels().level; }

const char* KernelLevelName(KernelLevel level) {
  static const char* const kNames[kKernelLevels] = {"portable", "avx2", "avx-vnni", "avx512-vnni", "avx512-vbmi"};
  return kNames[static_cast<int>(level)];
}

}  // namespace mirvo
