#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the code
# style, the functions' size and complexity (scripts/tidy.sh), the Release
# build (warnings as errors) and its suite, the arm64 cross-check, the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of every fuzz target. Every stage runs even when an earlier one
# failed (but for those that need its build); the last line sums them all
# up, as
#   summary: format ok, tidy ok, build ok, 138 tests passed, sanitized 148 passed, arm64 ok, fuzz ok
# and the status is 1 when any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=0
setup="" format="" tidy="" build="" tests="" sanitized="" arm64="" fuzz=""

# From ctest's status and output: "passed N", or "FAILED: N of M" (also
# when no test ran).
ctest_verdict() {
  local line total bad
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$2" | tail -n 1)
  total=$(sed -nE 's/.* out of ([0-9]+).*/\1/p' <<<"$line")
  bad=$(sed -nE 's/.*passed, ([0-9]+) tests? failed.*/\1/p' <<<"$line")
  if [ "$1" -eq 0 ] && [ "${total:-0}" -gt 0 ] && [ "$bad" = 0 ]; then
    echo "passed $total"
  else
    echo "FAILED: ${bad:-?} of ${total:-0}"
  fi
}

scripts/setup.sh test || { failed=1; setup="setup FAILED, "; }

# The code style (.clang-format) of every C++ file.
if find include src tests fuzz bench python examples \( -type d -name 'build*' -prune \) -o \
    \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format-14 --dry-run --Werror; then
  format="format ok"
else
  failed=1 format="format FAILED"
fi

configured=0
if cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=ON -DMIRVO_WERROR=ON; then
  configured=1
fi
# The size and complexity of the library's functions, from the build's
# compile commands.
if [ "$configured" = 1 ] && scripts/tidy.sh build; then
  tidy="tidy ok"
elif [ "$configured" = 1 ]; then
  failed=1 tidy="tidy FAILED"
else
  failed=1 tidy="tidy not run"
fi

if [ "$configured" = 1 ] && cmake --build build; then
  build="build ok"
  ctest --test-dir build --output-on-failure -j2 | tee "$logs/tests"
  verdict=$(ctest_verdict "${PIPESTATUS[0]}" "$logs/tests")
  case "$verdict" in
    passed*) tests="${verdict#passed } tests passed" ;;
    *) failed=1 tests="tests ${verdict}" ;;
  esac
  # The same example converted by an arm64 build under qemu-user.
  if scripts/cross-check.sh build; then arm64="arm64 ok"; else failed=1 arm64="arm64 FAILED"; fi
else
  failed=1 build="build FAILED" tests="tests not run" arm64="arm64 not run"
fi

# clang, with the fuzz targets, whose seeds and committed corpus replay as
# tests; the fuzz run uses the same build.
if cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DMIRVO_FUZZ=ON -DMIRVO_BUILD_TESTS=ON -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_WERROR=ON && cmake --build build-asan; then
  ctest --test-dir build-asan --output-on-failure -j2 | tee "$logs/sanitized"
  verdict=$(ctest_verdict "${PIPESTATUS[0]}" "$logs/sanitized")
  case "$verdict" in
    passed*) sanitized="sanitized ${verdict#passed } passed" ;;
    *) failed=1 sanitized="sanitized ${verdict}" ;;
  esac
  if MIRVO_FUZZ_BUILD=build-asan scripts/fuzz.sh 20; then fuzz="fuzz ok"; else failed=1 fuzz="fuzz FAILED"; fi
else
  failed=1 sanitized="sanitized build FAILED" fuzz="fuzz not run"
fi

echo
echo "summary: $setup$format, $tidy, $build, $tests, $sanitized, $arm64, $fuzz"
exit $failed
