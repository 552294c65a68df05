#!/usr/bin/env bash
# Cross-compiles the library and the program for arm64, where only the
# portable kernels are built, runs both conversions of the bundled example
# under qemu-user and compares every output byte, message and exit status
# with those of the x86 build.
#   scripts/cross-check.sh [x86 build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
cross=build-arm64
cmake -S . -B "$cross" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DMIRVO_BUILD_TESTS=OFF -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_BUILD_BENCH=OFF -DMIRVO_WERROR=ON
cmake --build "$cross" --target mirvo
cmake --build "$native" --target mirvo
# The ELF machine field: 0xb7 is AArch64.
[ "$(od -An -tx1 -j18 -N2 "$cross/mirvo" | tr -d ' ')" = b700 ] ||
  { echo "cross-check: $cross/mirvo is not an arm64 program" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One run of both conversions in a folder of its own: report, messages and
# status of each, and the two files written (image.pa, then image.cb over
# the input codebook).
run() {
  local dir=$work/$1
  shift
  mkdir -p "$dir"
  cp examples/image.ts examples/image.cb "$dir/"
  (
    cd "$dir"
    set +e
    "$@" image image >cb2pa.out 2>cb2pa.err
    echo $? >cb2pa.status
    "$@" -O image.ts image.pa >pa2cb.out 2>pa2cb.err
    echo $? >pa2cb.status
  )
}
run x86 "$PWD/$native/mirvo"
run arm64 qemu-aarch64 -L /usr/aarch64-linux-gnu "$PWD/$cross/mirvo"
failed=0
for f in cb2pa.out cb2pa.err cb2pa.status pa2cb.out pa2cb.err pa2cb.status image.pa image.cb; do
  if ! cmp -s "$work/x86/$f" "$work/arm64/$f"; then
    echo "cross-check: $f differs between x86 and arm64" >&2
    failed=1
  fi
done
[ "$(cat "$work/x86/cb2pa.status") $(cat "$work/x86/pa2cb.status")" = "0 0" ] || {
  echo "cross-check: the x86 build did not convert the example" >&2
  failed=1
}
[ $failed -eq 0 ] && echo "cross-check: arm64 (qemu) and x86 give the same bytes"
exit $failed
