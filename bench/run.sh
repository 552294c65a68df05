#!/usr/bin/env bash
# The yardstick: mirvo against FAISS, scikit-learn, SciPy (vq and the exact
# k-d tree cKDTree) and numpy.
#
#   bench/run.sh [--runs N] [--peers faiss,sklearn,scipy,ckdtree] [--baseline PATH] [WORKLOAD ...]
#
# Installs the peers from Debian's packages (with OpenBLAS, pthread build, as
# the BLAS in use, on the kernels for the processor's widest vectors), builds
# mirvo (Release, in build-bench/), writes the workloads into bench/data/ once
# (git-ignored, about 0.5 GB) and prints the table; then the peak
# dot-product rate of the processor and mirvo's search phase on the
# high-dimension workload as a fraction of it. Run it as root or with the
# packages already installed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3-numpy python3-scipy python3-sklearn python3-faiss python3-threadpoolctl libopenblas0-pthread time cmake
  ninja-build g++ libbenchmark-dev)
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

python=/usr/bin/python3
# OpenBLAS 0.3.21 does not know every AVX-512 processor by name and may fall
# back to a narrower kernel; the peers then get the AVX-512 one (SkylakeX),
# with the second-level cache size to go with it. Only the benchmark's
# processes see this; whatever the environment set for these two is
# dropped here.
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
blas_kernel() {
  "$python" -c 'import numpy; from threadpoolctl import threadpool_info as t
print(*[i["architecture"] for i in t() if i.get("internal_api") == "openblas"])'
}
if grep -qw avx512f /proc/cpuinfo; then
  case "$(blas_kernel)" in
    SkylakeX | CooperLake | SapphireRapids) ;;
    *)
      export OPENBLAS_CORETYPE=SkylakeX
      l2=$(cat /sys/devices/system/cpu/cpu0/cache/index2/size 2>/dev/null || true)
      case "$l2" in *K) export OPENBLAS_L2_SIZE=$((${l2%K} * 1024)) ;; *M) export OPENBLAS_L2_SIZE=$((${l2%M} * 1048576)) ;; esac
      ;;
  esac
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=OFF \
  -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --target mirvo mirvo_peak

for w in $("$python" -c "import sys; sys.path.insert(0, 'bench'); from generate import WORKLOADS; print(*WORKLOADS)"); do
  [ -f "bench/data/$w.ts" ] || "$python" bench/generate.py "$w"
done
echo "BLAS: $(readlink -f /usr/lib/$arch/libblas.so.3), kernel $(blas_kernel); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$python" bench/bench.py --mirvo build-bench/mirvo "$@"
echo
build-bench/bench/mirvo_peak bench/data/highdim.ts bench/data/highdim.cb
