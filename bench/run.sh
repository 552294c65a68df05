#!/usr/bin/env bash
# The yardstick: mirvo against FAISS, scikit-learn, SciPy and numpy.
#
#   bench/run.sh [--runs N] [--peers faiss,sklearn,scipy] [--baseline PATH] [WORKLOAD ...]
#
# Installs the peers from Debian's packages (with OpenBLAS, pthread build, as
# the BLAS in use), builds mirvo (Release, in build-bench/), writes the
# workloads into bench/data/ once (git-ignored, about 0.5 GB) and prints the
# table. Run it as root or with the packages already installed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3-numpy python3-scipy python3-sklearn python3-faiss libopenblas0-pthread time cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
# The reference BLAS would otherwise be used by numpy, SciPy and FAISS.
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
for lib in libblas.so.3 liblapack.so.3; do
  target=/usr/lib/$arch/openblas-pthread/$lib
  current=$(readlink -f "/usr/lib/$arch/$lib" || true)
  if [ "$current" != "$(readlink -f "$target")" ]; then
    update-alternatives --set "$lib-$arch" "$target"
  fi
done

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=OFF \
  -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --target mirvo

python=/usr/bin/python3
for w in clustered lowdim highdim centroids; do
  [ -f "bench/data/$w.ts" ] || "$python" bench/generate.py "$w"
done
echo "BLAS: $(readlink -f /usr/lib/$arch/libblas.so.3); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$python" bench/bench.py --mirvo build-bench/mirvo "$@"
