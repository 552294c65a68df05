#!/usr/bin/env bash
# cb->pa against large codebooks: the 4x4 blocks of the sample photographs
# of scikit-image (about a million, bench/photos.py) against M distinct
# training blocks drawn at random, for every M given.
#
#   bench/sweep.sh [--runs N] [--baseline PATH] [--peers ckdtree] [M ...]
#                                  (default M: 256 1024 4096 16384 65536)
#
# Prints per M the best wall time of N runs (default 5) of `mirvo -Q0 -O`
# end to end (of the baseline too, alternating with it, and checked to write
# the same bytes), the share of the code vectors whose distance the search
# computes per training vector searched (mirvo_peak), and each peer's
# compute time (bench/peers.py, the faster of 1 and 2 threads, best of N).
# Data goes to bench/data/photos/ (git-ignored, about 40 MB).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5 baseline="" peers=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --peers) peers=$2; shift 2 ;;
    *) break ;;
  esac
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(256 1024 4096 16384 65536)
packages=(python3-numpy python3-skimage cmake ninja-build g++)
[ -z "$peers" ] || packages+=(python3-scipy)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=OFF \
  -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --target mirvo mirvo_peak >/dev/null
python=/usr/bin/python3
data=bench/data/photos
"$python" bench/photos.py --out "$data" "${sizes[@]}"

# The best of $runs wall times of a command, in seconds.
best() {
  "$python" - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, argv = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    times.append(time.perf_counter() - start)
print(f"{min(times):.3f}")
PY
}

head="| M | mirvo s |"
[ -z "$baseline" ] || head+=" baseline s | baseline / mirvo |"
head+=" code vectors computed |"
for p in ${peers//,/ }; do head+=" $p s | mirvo / $p |"; done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$head"
echo "|$(printf -- '---:|%.0s' $(seq 2 "$(grep -o '|' <<<"$head" | wc -l)"))"
for m in "${sizes[@]}"; do
  args=(-Q0 -O "$data/blocks.ts" "$data/book-$m.cb")
  row="| $m |"
  if [ -n "$baseline" ]; then
    # Alternating, one run of each at a time.
    mine=() theirs=()
    for _ in $(seq "$runs"); do
      mine+=("$(runs=1 best build-bench/mirvo "${args[@]}")")
      theirs+=("$(runs=1 best "$baseline" "${args[@]}")")
    done
    cp "$data/book-$m.pa" "$data/baseline-$m.pa"
    build-bench/mirvo "${args[@]}"
    cmp -s "$data/book-$m.pa" "$data/baseline-$m.pa" || echo "M = $m: the partitionings differ" >&2
    t=$(printf '%s\n' "${mine[@]}" | sort -n | head -1)
    b=$(printf '%s\n' "${theirs[@]}" | sort -n | head -1)
    row+=" $t | $b | $("$python" -c "print(f'{$b / $t:.1f}')") |"
  else
    t=$(best build-bench/mirvo "${args[@]}")
    row+=" $t |"
  fi
  share=$(build-bench/bench/mirvo_peak "$data/blocks.ts" "$data/book-$m.cb" | sed -n 's/^code vectors computed: \([0-9.]*\) %.*/\1 %/p')
  row+=" $share |"
  for p in ${peers//,/ }; do
    pt=$(for threads in 1 2; do
      for _ in $(seq "$runs"); do "$python" bench/peers.py "$p" "$data" "m$m" "$threads" | cut -d' ' -f1; done
    done | sort -n | head -1)
    row+=" $("$python" -c "print(f'{$pt:.3f} | {$t / $pt:.3f}')") |"
  done
  echo "$row"
done
