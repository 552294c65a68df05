#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for the
# given number of seconds, two at a time:
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# Environment: MIRVO_FUZZ_BUILD, the build folder (default build-fuzz);
# MIRVO_FUZZ_PARALLEL, fuzzers run at once (default 2).
#
# Each target starts from its generated seeds, the committed corpus in
# fuzz/corpus/TARGET (inputs that once failed) and what earlier runs found
# (BUILD/corpus/TARGET). Limits: 2 GiB of memory, 10 s per input. A finding
# is saved as BUILD/artifacts/TARGET-crash-... (or leak-, timeout-, oom-),
# with the log in BUILD/logs/TARGET.log; the script then exits non-zero.
# Executions and coverage of every run are printed and added to
# BUILD/fuzz-totals.tsv.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_read_codebook fuzz_read_partitioning fuzz_graph_read fuzz_command_line
                                     fuzz_cb_to_pa fuzz_pa_to_cb)
build=${MIRVO_FUZZ_BUILD:-build-fuzz}
# A relative folder is taken from the repository; an absolute one as it is.
[[ $build = /* ]] || build="$root/$build"
parallel=${MIRVO_FUZZ_PARALLEL:-2}

scripts/setup.sh fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DMIRVO_FUZZ=ON -DMIRVO_BUILD_TESTS=OFF -DMIRVO_BUILD_PYTHON=OFF >/dev/null
fi
cmake --build "$build" --target make_corpus "${targets[@]}"

mkdir -p "$build/seeds" "$build/corpus" "$build/artifacts" "$build/logs"
run_target() {
  local target=$1
  local seeds="$build/seeds/$target" corpus="$build/corpus/$target" committed="fuzz/corpus/$target"
  "$build/fuzz/make_corpus" "$target" "$seeds"
  [ "$target" = fuzz_read_codebook ] && cp examples/image.cb "$seeds/"
  mkdir -p "$corpus"
  local dirs=("$corpus" "$seeds")
  [ -d "$committed" ] && dirs+=("$committed")
  local result=ok
  "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10 \
    -max_len=8192 -dict=fuzz/mirvo.dict -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "${dirs[@]}" >"$build/logs/$target.log" 2>&1 || result=FAILED
  echo "$result" >"$build/logs/$target.result"
}

for target in "${targets[@]}"; do
  rm -f "$build/logs/$target.result"
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_target "$target" &
done
wait

status=0
passed=0
failed=0
printf '%-24s %8s %12s %7s %7s  %s\n' target seconds executions cov ft result
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  result=$(cat "$build/logs/$target.result" 2>/dev/null || echo FAILED)
  if [ "$result" = ok ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  done_line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  printf '%-24s %8s %12s %7s %7s  %s\n' "$target" "$seconds" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "${execs:-0}" "${cov:-0}" \
    "${ft:-0}" "$result" >>"$build/fuzz-totals.tsv"
  if [ "$result" != ok ]; then
    echo "---- $target: end of $log" >&2
    tail -n 40 "$log" >&2
  fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status
