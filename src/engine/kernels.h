// The engine's kernels in one table: the processor is probed once, and the
// table of the best level it offers is used, unless a level is forced
// (SetKernelLevel of mirvo/engine.h, for tests and benchmarks). Every level
// gives the same results; only the time differs.
//
// The table holds the kernels that exist in more than one form:
// - the byte search over every code vector (ByteKernels::nearest) and the
//   tile search of the pruned search (PruneKernels::search), each with the
//   layout of the code vectors it reads (byte_codes.h);
// - the sums of rows of one- and two-byte elements into 32-bit partition
//   sums (centroid_sums.cpp);
// - the reading of many partitioning lines at once (partitioning_file.cpp).
// The kernels themselves live in kernels/, one file per instruction set;
// the byte search of the two VNNI levels is one source for both vector
// widths (kernels/vnni.h), and the tile search one source for every level
// (kernels/tiles.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

struct ByteCodes;
struct PruneLayout;
struct PruneRow;

// The levels of KernelLevel, in the order they are tried: a forced level is
// lowered until the processor offers it.
inline constexpr int kKernelLevels = 5;

// How the byte kernels see code vectors: rows of bytes (Plain); per pair of
// elements a 16-bit value in each of 8 lanes (Pairs: vpmaddwd); per group of
// 4 elements a 32-bit word in each of `lanes` lanes (Quads: vpdpbusd).
enum class ByteLayout { Plain, Pairs, Quads };

// For each of count training vectors, rows[i] pointing to its elements as
// bytes (less the layout's offset), the lowest index at the smallest
// distance on a layout in index order and that distance.
using NearestKernel = void (*)(const ByteCodes& codes, const std::uint8_t* const* rows, int count, int* index,
                               std::int64_t* distance);
struct ByteKernels {
  ByteLayout layout;
  int lanes;              // code vectors side by side
  int panel;              // code vectors per panel: what a layout is padded to
  NearestKernel nearest;  // null for a layout that only the tile search reads
};

// Searches rows[0 .. count) of a pruned layout (pruning_layout.h) in tiles
// of 4 consecutive rows (the last tile repeating its last row):
// index[slot] and distance[slot] of every row become the lowest index at
// the smallest distance and that distance. Returns the code vectors
// computed, counted once per row of each tile.
using TileSearch = std::int64_t (*)(const PruneLayout& layout, const PruneRow* rows, int count, int* index,
                                    std::int64_t* distance);

struct PruneKernels {
  const ByteKernels* layout;  // the layout of the code vectors the search reads
  TileSearch search;
  // What a code vector the tile search computes costs against one of the
  // exhaustive kernels, r0 + r1 / D, and what it costs per training vector
  // besides, f0 + f1 / D code vectors of the exhaustive kernels (measured
  // on the photographs' blocks and the benchmark's workloads, D from 16 to
  // 128): pruning.cpp decides from them whether pruning pays.
  double r0, r1, f0, f1;
};

// Adds row r of rows (elements of 1 or 2 bytes) times freqs[r] (1 when
// freqs is null) into the 32-bit sums of partition partitionOf[r]
// (rows.dimension sums each) and its frequency into totals; the caller has
// made sure that no sum can leave the 32-bit range.
using NarrowSums = void (*)(const RowBlock& rows, const int* freqs, const int* partitionOf, std::int32_t* sums,
                            int* totals);

// Up to 16 partitioning lines of one to four digits, the first not 0, each
// ending in a line feed, from the 64 bytes at line, as long as their
// numbers are at most partitions (and at most want lines); their numbers
// less 1 go to out. Returns how many lines were read and their length in
// bytes in used; 0 when the first line is not of that form.
using LineScanner = int (*)(const unsigned char* line, int want, std::uint32_t partitions, int* out, std::size_t& used);

struct Kernels {
  KernelLevel level;
  const ByteKernels* exhaustive;  // the byte search over every code vector
  const PruneKernels* pruned;     // the tile search of the pruned search
  NarrowSums narrow;
  LineScanner lines;  // null: the lines are read one at a time
};

// The table of the level in force.
const Kernels& ActiveKernels();

}  // namespace cbdetail

}  // namespace mirvo
