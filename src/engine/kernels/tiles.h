// The tile search, written once for every instruction set: kernels/tiles.cpp
// includes this file once per set, each time inside a namespace of its own
// after defining MIRVO_TILE_TARGET (the attributes of the search's entry),
// MIRVO_TILE_INLINE (those of every other function here, inlined), the
// vector type V of kLanes 32-bit lanes (8 or 16), its comparison mask Mask
// and these operations:
//
//   V Load(const std::int32_t*)          kLanes words, unaligned
//   V LoadCodes(const std::uint8_t*)     one row of a block of the layout
//   V Broadcast(std::int32_t)
//   V DotAt(V acc, V codes, const std::int32_t* x)
//                                        acc + per lane the products of the
//                                        elements of a code vector in a row
//                                        of the layout with those of the
//                                        training vector in the word *x
//   V Add(V, V)
//   V Excess(V a, V b)                   per 16 bits, unsigned: a - b, or 0
//   V Square(V)                          per lane, the sum of the squares of
//                                        its two 16-bit halves (0 .. 32767)
//   V Repeat(Rows)                       lane l: lane l % 4 of Rows
//   V Spread(const std::int32_t* p)      lane l: p[l / 4]
//   void Store(std::int32_t*, V)         unaligned
//   unsigned Above(V a, V b)             bit l set where lane l of a > of b
//   Mask AtLeast(V, V)                   lane by lane a >= b
//   Mask Greater(V, V), Mask Equal(V, V) lane by lane a > b, a == b
//   Mask Either(Mask, Mask)
//   V Choose(Mask m, V a, V b)           a where m is set, else b
//   V Min(V, V), V Max(V, V)             lane by lane
//   bool Any(Mask)
//   std::int32_t Largest(V)
//   std::int32_t LowestAt(V g, std::int32_t value, V index)
//                                        the lowest index of a lane of g
//                                        equal to value
//
// and, for the layout's terms (byte_codes.h), how a training vector is
// packed into words and how the kernel's lanes h relate to g = 2 q.c -
// |c|^2 = |q|^2 - distance:
//
//   void Pack(const std::uint8_t* x, int dimension, int groups, std::int32_t* q)
//   V Initial(V base)                    a lane's start from the layout's base
//   V Exact(const ByteCodes&, int place, V h)
//                                        g of the kLanes lanes from place
//   std::int32_t Floor(std::int32_t g)   the least h of a lane whose g may
//                                        reach g
//
// and Rows, 4 lanes of 32 bits (one per row of a tile), with
// Rows RowsAt(const std::int32_t*), Rows Same(std::int32_t),
// Rows With(Rows, int lane, std::int32_t) and int Exceeds(Rows a, Rows b)
// (bit r set where lane r of a > of b). It includes nothing itself (the
// including file includes what it needs before) and has no include guard.
//
// The kernel computes a leaf for the whole tile: 16 code vectors (one block
// or two) against 4 training vectors, the accumulators in registers; a row
// takes the largest g and the lowest index there. A leaf where no lane
// reaches Floor(best) for any row changes nothing: the test is one
// comparison per lane, and only a leaf that passes it is folded exactly.
//
// The leaves of a stretch of slabs are bounded all at once, 4 rows by
// kLanes / 4 leaves to a vector; those that some row may need are computed,
// each tested again against the limits as they are then.

constexpr int kTileRows = 4;
constexpr int kBlocks = kLeafCodes / kLanes;
constexpr int kLeavesPerVector = kLanes / kTileRows;
constexpr int kAllRows = (1 << kTileRows) - 1;

// What a tile keeps while it walks the layout: its rows packed as the
// kernels take them, their keys, and per row the best g so far, its lowest
// index, Floor(best) and the limit of the bounds.
struct Tile {
  alignas(64) std::int32_t q[kTileRows * kMaxPrunedDimension / 2];
  std::int64_t norm[kTileRows];
  // Kept as whole vectors: a vector read of values just stored one by one
  // would wait for them.
  Rows keys{}, limits{};  // keys packed
  std::int32_t sum[kTileRows], root[kTileRows];
  std::int32_t best[kTileRows], floor[kTileRows], limit[kTileRows];
  // Per row and lane, the largest g folded and its lowest index.
  V lanes[kTileRows][kBlocks], lanesAt[kTileRows][kBlocks];
  int count = 0;
  std::int64_t computed = 0;
};

// D times the distance of a row's best, divided by 4^shift, at most INT32_MAX.
MIRVO_TILE_INLINE std::int32_t Limit(const PruneLayout& layout, const Tile& tile, int r) {
  const std::int64_t scaled = (std::int64_t{layout.dimension} * (tile.norm[r] - tile.best[r])) >> (2 * layout.shift);
  return scaled < INT32_MAX ? static_cast<std::int32_t>(scaled) : INT32_MAX;
}

// The exact fold of row r over a leaf whose lanes hold h: lane by lane, the
// largest g at the lowest index (a larger g, or an equal one at a lower
// index, since leaves come in any order); the row's best g is the largest
// of the leaf's lanes, if larger. The index of the best is taken from the
// lanes once the tile is done (Lowest).
MIRVO_TILE_INLINE void Fold(const PruneLayout& layout, int first, const V (&h)[kBlocks], Tile& tile, int r) {
  const ByteCodes& codes = *layout.codes;
  V top = Broadcast(INT32_MIN);
  for (int b = 0; b < kBlocks; ++b) {
    const int place = first + b * kLanes;
    const V g = Exact(codes, place, h[b]), index = Load(codes.index.data() + place);
    V& best = tile.lanes[r][b];
    V& at = tile.lanesAt[r][b];
    const V lower = Choose(Equal(g, best), Min(index, at), at);
    at = Choose(Greater(g, best), index, lower);
    best = Max(g, best);
    top = Max(top, g);
  }
  const std::int32_t largest = Largest(top);
  if (largest > tile.best[r]) {
    tile.best[r] = largest;
    tile.floor[r] = Floor(largest);
    tile.limit[r] = Limit(layout, tile, r);
    tile.limits = With(tile.limits, r, tile.limit[r]);
  }
}

// Leaf `leaf` against every row of the tile; kGroups is the layout's number
// of groups when it is known as the code is compiled, else 0.
template <int kGroups>
MIRVO_TILE_INLINE void ComputeLeaf(const PruneLayout& layout, int leaf, Tile& tile) {
  const ByteCodes& codes = *layout.codes;
  const int groups = kGroups > 0 ? kGroups : codes.groups;
  const int first = leaf * kLeafCodes;
  const std::uint8_t* data = codes.data + static_cast<std::size_t>(first) * static_cast<std::size_t>(groups) * 4;
  V h[kTileRows][kBlocks];
  for (int b = 0; b < kBlocks; ++b) {
    const V base = Initial(Load(codes.base.data() + first + b * kLanes));
    for (int r = 0; r < kTileRows; ++r) h[r][b] = base;
  }
#pragma GCC unroll 4
  for (int t = 0; t < groups; ++t) {
    for (int b = 0; b < kBlocks; ++b) {
      const V c = LoadCodes(data + (static_cast<std::size_t>(b) * groups + t) * kLanes * 4);
      for (int r = 0; r < kTileRows; ++r) h[r][b] = DotAt(h[r][b], c, tile.q + r * groups + t);
    }
  }
  bool hit[kTileRows];
  bool any = false;
  for (int r = 0; r < kTileRows; ++r) {
    const V floor = Broadcast(tile.floor[r]);
    Mask m = AtLeast(h[r][0], floor);
    for (int b = 1; b < kBlocks; ++b) m = Either(m, AtLeast(h[r][b], floor));
    hit[r] = Any(m);
    any |= hit[r];
  }
  tile.computed += std::int64_t{layout.leaves.codes[static_cast<std::size_t>(leaf)]} * tile.count;
  if (__builtin_expect(!any, 1)) return;
#pragma GCC unroll 4
  for (int r = 0; r < kTileRows; ++r) {
    if (hit[r]) Fold(layout, first, h[r], tile, r);
  }
}

// Of kLanes bits, kTileRows to a leaf, one bit per leaf: whether one of its
// rows is set.
MIRVO_TILE_INLINE unsigned AnyRow(unsigned bits) {
  if constexpr (kTileRows == 4 && kLeavesPerVector == 4) {
    bits |= bits >> 1;
    bits |= bits >> 2;
    // Bits 0, 4, 8 and 12 to 9, 10, 11 and 12 (no two products overlap).
    return ((bits & 0x1111u) * 0x249u) >> 9 & 0xFu;
  } else {
    unsigned out = 0;
    for (int l = 0; l < kLeavesPerVector; ++l) out |= ((bits >> (kTileRows * l) & kAllRows) != 0 ? 1u : 0u) << l;
    return out;
  }
}

// The squared gaps of packed keys to packed ranges, added.
MIRVO_TILE_INLINE V Bounds(V keys, V low, V high) { return Square(Add(Excess(low, keys), Excess(keys, high))); }

// The bounds of leaves [first, first + count) (count at most 64) for the
// rows of the tile, kTileRows to a leaf (leaf by leaf, into bounds); returns
// the leaves whose bound some row's limit admits, as bits.
MIRVO_TILE_INLINE std::uint64_t Candidates(const PruneLayout& layout, int first, int count, const Tile& tile,
                                           std::int32_t* bounds) {
  const auto* low = reinterpret_cast<const std::int32_t*>(layout.leaves.low.data()) + first;
  const auto* high = reinterpret_cast<const std::int32_t*>(layout.leaves.high.data()) + first;
  const V keys = Repeat(tile.keys), limit = Repeat(tile.limits);
  std::uint64_t admitted = 0;
  for (int q = 0; q < count; q += kLeavesPerVector) {
    const V bound = Bounds(keys, Spread(low + q), Spread(high + q));
    Store(bounds + q * kTileRows, bound);
    admitted |= std::uint64_t{AnyRow(~Above(bound, limit))} << q;
  }
  // Leaves past the end were read (the copies of the last leaf, or other
  // leaves): left out.
  return count < 64 ? admitted & ((std::uint64_t{1} << count) - 1) : admitted;
}

// The first leaf of a slab whose F reaches root, or its last leaf (the
// leaves' high ends of F grow along the slab).
MIRVO_TILE_INLINE int Home(const PruneLayout& layout, const PruneSlab& slab, std::int32_t root) {
  const V key = Broadcast(root);
  int home = 0;
  for (int q = 0; q < slab.count; q += kLanes) {
    const auto below =
        static_cast<int>(__builtin_ctz(~Above(key, Load(layout.leaves.highRoot.data() + slab.first + q))));
    home += below;
    if (below < kLanes) break;
  }
  return home < slab.count ? home : slab.count - 1;
}

// Leaves [first, end) each computed unless the limits, as they are then,
// exclude it; except leaf `done`.
template <int kGroups>
MIRVO_TILE_INLINE void ComputeAdmitted(const PruneLayout& layout, int first, int end, int done, Tile& tile) {
  alignas(16) std::int32_t bounds[(64 + kLeavesPerVector) * kTileRows];
  for (; first < end; first += 64) {
    std::uint64_t admitted = Candidates(layout, first, end - first < 64 ? end - first : 64, tile, bounds);
    if (done >= first && done < first + 64) admitted &= ~(std::uint64_t{1} << (done - first));
    for (; admitted != 0; admitted &= admitted - 1) {
      const int q = __builtin_ctzll(admitted);
      if (Exceeds(RowsAt(bounds + q * kTileRows), tile.limits) != kAllRows)
        ComputeLeaf<kGroups>(layout, first + q, tile);
    }
  }
}

// The tile's search: first the leaf of the middle row in the slab `home`
// whose S reaches that row's, then the other leaves of that slab, whose
// distances bound the rest; then the stretches of slabs on either side whose
// S lies within the square root of some row's limit of that row's S. The
// slabs beyond hold no code vector whose bound any limit admits.
template <int kGroups>
MIRVO_TILE_INLINE void Walk(const PruneLayout& layout, Tile& tile, int home) {
  const auto& slabs = layout.slabs;
  const PruneSlab& own = slabs[static_cast<std::size_t>(home)];
  const int start = own.first + Home(layout, own, tile.root[tile.count / 2]);
  ComputeLeaf<kGroups>(layout, start, tile);
  ComputeAdmitted<kGroups>(layout, own.first, own.first + own.count, start, tile);
  // The root rounded up.
  std::int32_t low = INT32_MAX, high = INT32_MIN;
  for (int r = 0; r < kTileRows; ++r) {
    const auto reach = static_cast<std::int32_t>(std::sqrt(static_cast<double>(tile.limit[r]))) + 1;
    const std::int32_t sum = tile.sum[r];
    low = sum - reach < low ? sum - reach : low;
    high = sum + reach > high ? sum + reach : high;
  }
  const auto top = static_cast<std::int32_t>(layout.slabFrom.size()) - 1;
  const int first = layout.slabFrom[static_cast<std::size_t>(low < 0 ? 0 : low > top ? top : low)];
  const int last = layout.slabTo[static_cast<std::size_t>(high < 0 ? 0 : high > top ? top : high)];
  if (first < home) ComputeAdmitted<kGroups>(layout, slabs[static_cast<std::size_t>(first)].first, own.first, -1, tile);
  if (last > home) {
    const PruneSlab& end = slabs[static_cast<std::size_t>(last)];
    ComputeAdmitted<kGroups>(layout, own.first + own.count, end.first + end.count, -1, tile);
  }
}

// The lowest index of row r's best among its lanes.
MIRVO_TILE_INLINE std::int32_t Lowest(const Tile& tile, int r) {
  std::int32_t lowest = INT32_MAX;
  for (int b = 0; b < kBlocks; ++b) {
    const std::int32_t at = LowestAt(tile.lanes[r][b], tile.best[r], tile.lanesAt[r][b]);
    lowest = at < lowest ? at : lowest;
  }
  return lowest;
}

// Row r of the tile from a training vector.
MIRVO_TILE_INLINE void Take(const PruneLayout& layout, const PruneRow& row, Tile& tile, int r) {
  Pack(row.bytes, layout.dimension, layout.codes->groups, tile.q + r * layout.codes->groups);
  tile.norm[r] = row.norm;
  tile.keys = With(tile.keys, r, static_cast<std::int32_t>(Packed(row.sum, row.root)));
  tile.sum[r] = row.sum;
  tile.root[r] = row.root;
  tile.best[r] = INT32_MIN;
  for (int b = 0; b < kBlocks; ++b) {
    tile.lanes[r][b] = Broadcast(INT32_MIN);
    tile.lanesAt[r][b] = Broadcast(INT32_MAX);
  }
  tile.floor[r] = Floor(INT32_MIN);
  tile.limit[r] = INT32_MAX;
}

template <int kGroups>
MIRVO_TILE_TARGET std::int64_t SearchTiles(const PruneLayout& layout, const PruneRow* rows, int count, int* index,
                                           std::int64_t* distance) {
  Tile tile;
  for (int first = 0; first < count; first += kTileRows) {
    tile.count = count - first < kTileRows ? count - first : kTileRows;
    tile.limits = Same(INT32_MAX);
    for (int r = 0; r < kTileRows; ++r) Take(layout, rows[first + (r < tile.count ? r : tile.count - 1)], tile, r);
    Walk<kGroups>(layout, tile, rows[first + tile.count / 2].slab);
    for (int r = 0; r < tile.count; ++r) {
      const PruneRow& row = rows[first + r];
      index[row.slot] = Lowest(tile, r);
      distance[row.slot] = row.norm - tile.best[r];
    }
  }
  return tile.computed;
}

// The tile search, its loops fixed for the common numbers of groups (4 x 4
// and 8 x 8 blocks).
MIRVO_TILE_TARGET std::int64_t Search(const PruneLayout& layout, const PruneRow* rows, int count, int* index,
                                      std::int64_t* distance) {
  switch (layout.codes->groups) {
    case 4:
      return SearchTiles<4>(layout, rows, count, index, distance);
    case 8:
      return SearchTiles<8>(layout, rows, count, index, distance);
    case 16:
      return SearchTiles<16>(layout, rows, count, index, distance);
    default:
      return SearchTiles<0>(layout, rows, count, index, distance);
  }
}
