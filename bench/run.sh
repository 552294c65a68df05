#!/usr/bin/env bash
# The yardstick: mirvo against FAISS, scikit-learn, SciPy (vq and the exact
# k-d tree cKDTree) and numpy.
#
#   bench/run.sh [--runs N] [--peers faiss,sklearn,scipy,ckdtree] [--baseline PATH ...] [--pipes] [WORKLOAD ...]
#
# Installs the peers from Debian's packages, gives their processes OpenBLAS
# (pthread build, on the kernels for the processor's widest vectors) in place
# of the reference BLAS, without changing the system's choice, builds mirvo
# (Release, in build-bench/), writes the workloads into bench/data/ once
# (git-ignored, about 0.5 GB) and prints the table; then the peak
# dot-product rate of the processor and mirvo's search phase on the
# high-dimension workload as a fraction of it. Run it as root or with the
# packages already installed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3-numpy python3-scipy python3-sklearn python3-faiss python3-threadpoolctl libgfortran5 time cmake
  ninja-build g++ libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
# numpy, SciPy and FAISS load libblas.so.3 and liblapack.so.3: OpenBLAS's
# folder goes first on the library path of the benchmark's processes only.
# When the system lacks OpenBLAS, its Debian package is unpacked into
# bench/data/ rather than installed, whose alternatives would make it every
# program's BLAS.
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
openblas=/usr/lib/$arch/openblas-pthread
if [ ! -f "$openblas/libblas.so.3" ]; then
  openblas=$PWD/bench/data/openblas/usr/lib/$arch/openblas-pthread
  if [ ! -f "$openblas/libblas.so.3" ]; then
    mkdir -p bench/data
    (cd bench/data && apt-get download -qq libopenblas0-pthread && dpkg-deb -x libopenblas0-pthread_*.deb openblas &&
      rm -f libopenblas0-pthread_*.deb)
  fi
fi
peers=(env "LD_LIBRARY_PATH=$openblas${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}")

python=/usr/bin/python3
# OpenBLAS 0.3.21 does not know every AVX-512 processor by name and may fall
# back to a narrower kernel; the peers then get the AVX-512 one (SkylakeX),
# with the second-level cache size to go with it. Only the benchmark's
# processes see this; whatever the environment set for these two is
# dropped here.
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
blas_kernel() {
  "${peers[@]}" "$python" -c 'import numpy; from threadpoolctl import threadpool_info as t
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
echo "BLAS: $openblas, kernel $(blas_kernel); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"${peers[@]}" "$python" bench/bench.py --mirvo build-bench/mirvo "$@"
echo
build-bench/bench/mirvo_peak bench/data/highdim.ts bench/data/highdim.cb
