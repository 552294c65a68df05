#!/usr/bin/env bash
# Time and peak memory of both conversions as the training set grows, from
# files and through a pipe:
#
#   bench/scale.sh [N ...]        (default: 10000000 30000000 100000000)
#
# Training sets of N vectors of 16 one-byte elements and a codebook of 256
# vectors (bench/stream_set.py) are written once into bench/data/scale/
# (git-ignored; 2.1 GB for N = 100M). Peak memory is GNU time's maximum
# resident set size.
set -euo pipefail
cd "$(dirname "$0")/.."
for p in python3-numpy time; do
  dpkg -s "$p" >/dev/null 2>&1 || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p"; }
done
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=OFF -DMIRVO_BUILD_PYTHON=OFF >/dev/null
cmake --build build-bench --target mirvo >/dev/null
mirvo=$PWD/build-bench/mirvo
python=/usr/bin/python3
data=bench/data/scale
mkdir -p "$data"
[ -f "$data/book.cb" ] || "$python" bench/stream_set.py 256 --codebook --seed 2 >"$data/book.cb"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000000 30000000 100000000)

# One run: seconds and peak MiB.
measure() {
  /usr/bin/time -f "%e %M" -o "$data/time.txt" "$@" >/dev/null
  awk '{ printf "%s | %.0f", $1, $2 / 1024 }' "$data/time.txt"
}

echo "| N | cb->pa s | cb->pa MiB | pa->cb s | pa->cb MiB | cb->pa s, pipe | pa->cb s, pipe |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
for n in "${sizes[@]}"; do
  ts=$data/set-$n.ts
  [ -f "$ts" ] || "$python" bench/stream_set.py "$n" >"$ts"
  cat "$ts" >/dev/null  # warm cache, as for every run below
  cp "$data/book.cb" "$data/book-$n.cb"
  cbpa=$(measure "$mirvo" -Q0 -O "$ts" "$data/book-$n.cb")
  mv "$data/book-$n.pa" "$data/part-$n.pa"
  pacb=$(measure "$mirvo" -Q0 -O "$ts" "$data/part-$n.pa")
  cbpaPipe=$(measure sh -c "cat '$ts' | '$mirvo' -Q0 -O /dev/stdin '$data/book-$n.cb'" | cut -d'|' -f1)
  pacbPipe=$(measure sh -c "cat '$ts' | '$mirvo' -Q0 -O /dev/stdin '$data/part-$n.pa'" | cut -d'|' -f1)
  cmp -s "$data/book-$n.pa" "$data/part-$n.pa" || echo "the pipe's partitioning differs from the file's" >&2
  echo "| $n | $cbpa | $pacb | $cbpaPipe | $pacbPipe |"
done
