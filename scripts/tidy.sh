#!/usr/bin/env bash
# The measure of simplicity of the library's code: clang-tidy-14's
# readability-function-cognitive-complexity (threshold 25) and
# readability-function-size (80 lines) over every source file under src/,
# with the compile commands of a configured build folder (default build/).
# Prints what it finds and fails when it finds anything.
#
# The one exception: the SIMD kernels, the files of src/engine/kernels/
# (one per instruction set, with the generic kernels they include), whose
# register-blocked loops are written out for the registers they keep.
#
#   scripts/tidy.sh [BUILD-FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/compile_commands.json" ] || { echo "tidy: no $build/compile_commands.json (configure first)" >&2; exit 2; }
config='{Checks: "-*,readability-function-cognitive-complexity,readability-function-size",
  CheckOptions: [{key: readability-function-cognitive-complexity.Threshold, value: 25},
                 {key: readability-function-size.LineThreshold, value: 80}]}'
report=$(mktemp)
trap 'rm -f "$report"' EXIT
find src -name '*.cpp' -not -path 'src/engine/kernels/*' -print0 | sort -z |
  xargs -0 -n 4 -P "$(nproc)" clang-tidy-14 -p "$build" --quiet --config="$config" \
    --extra-arg=-Wno-unknown-warning-option >"$report" 2>/dev/null || true
if grep -E 'warning:|error:' "$report" | sort -u | grep .; then
  echo "tidy: functions beyond the thresholds (above)" >&2
  exit 1
fi
echo "tidy: every function under src/ within the thresholds (but the SIMD kernels of src/engine/kernels/)"
