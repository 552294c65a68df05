#!/usr/bin/env bash
# Every level of the kernels on the workloads of bench/run.sh, end to end:
# the best wall time of N runs (default 7) of `mirvo -Q0 -O` with the kernels
# forced to each level the processor offers (mirvo_at), one run of each
# level at a time. A specialised kernel or scanner earns its place by what
# its level gains over the level below it.
#
#   bench/levels.sh [--runs N] [WORKLOAD ...]     (default: every workload)
#
# The workloads must exist (bench/run.sh writes them into bench/data/).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=7
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=OFF \
  -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --target mirvo_at >/dev/null
/usr/bin/python3 - "$runs" "$@" <<'PY'
import os, subprocess, sys, time
sys.path.insert(0, "bench")
from generate import WORKLOADS
runs, names = int(sys.argv[1]), sys.argv[2:] or list(WORKLOADS)
levels = ["portable", "avx2", "avx-vnni", "avx512-vnni", "avx512-vbmi"]
at = "build-bench/bench/mirvo_at"
offered = [l for l in levels if subprocess.run([at, l], capture_output=True).returncode != 2]
print("| workload | " + " | ".join(offered) + " |")
print("|---|" + "---:|" * len(offered))
for name in names:
    second = "pa" if WORKLOADS[name][4] == "pa" else "cb"
    argv = ["-Q0", "-O", f"bench/data/{name}.ts", f"bench/data/{name}.{second}"]
    best = {l: float("inf") for l in offered}
    for _ in range(runs):
        for level in offered:
            start = time.perf_counter()
            subprocess.run([at, level] + argv, check=True, stdout=subprocess.DEVNULL)
            best[level] = min(best[level], time.perf_counter() - start)
    print(f"| {name} | " + " | ".join(f"{best[l]:.3f}" for l in offered) + " |", flush=True)
PY
