#include "engine/kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>

#include "engine/kernels/sets.h"

namespace mirvo {

namespace cbdetail {
namespace {

// Code vectors per panel of the portable tile kernel, and its training
// vectors per tile.
constexpr int kPlainPanel = 16;
constexpr int kPlainTile = 4;

constexpr ByteKernels kPlain{ByteLayout::Plain,  1, kPlainPanel, kPlainTile, portable::Nearest, portable::Tile,
                             portable::TileIndex};

// Pruning pays on the portable tile kernel only where the bounds exclude
// nearly everything; a code vector computed by the VNNI tile kernels costs
// about four times one of the exhaustive kernels, and each training vector
// about 150 of those besides (its keys, the sort, the tile's start). At the
// AVX2 level the exhaustive kernel is fast beside the portable tile kernel.
constexpr double kPortableShare = 0.4, kAvx2Share = 0.04, kVnniShare = 0.22, kVnniPerRow = 150;

#if defined(__x86_64__)
constexpr ByteKernels kPairs{ByteLayout::Pairs, 8, 16, 0, avx2::Nearest, nullptr, nullptr};
constexpr ByteKernels kQuads8{ByteLayout::Quads, avxvnni::kLanes, avxvnni::kPanel,   avxvnni::kTileRows,
                              avxvnni::Nearest,  avxvnni::Tile,   avxvnni::TileIndex};
constexpr ByteKernels kQuads16{ByteLayout::Quads, avx512::kLanes, avx512::kPanel,   avx512::kTileRows,
                               avx512::Nearest,   avx512::Tile,   avx512::TileIndex};
#endif

// One row per level, in the order of KernelLevel.
const Kernels kTable[kKernelLevels] = {
    {KernelLevel::Portable, &kPlain, &kPlain, kPortableShare, 0, portable::Narrow, nullptr},
#if defined(__x86_64__)
    {KernelLevel::Avx2, &kPairs, &kPlain, kAvx2Share, 0, avx2::Narrow, nullptr},
    {KernelLevel::AvxVnni, &kQuads8, &kQuads8, kVnniShare, kVnniPerRow, avx2::Narrow, nullptr},
    {KernelLevel::Avx512, &kQuads16, &kQuads16, kVnniShare, kVnniPerRow, avx2::Narrow, nullptr},
    {KernelLevel::Avx512Vbmi, &kQuads16, &kQuads16, kVnniShare, kVnniPerRow, avx2::Narrow, vbmi::Lines},
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
