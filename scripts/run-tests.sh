#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The code style (.clang-format) of every C++ file.
find include src tests fuzz bench python examples \( -type d -name 'build*' -prune \) -o \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format-14 --dry-run --Werror
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRVO_BUILD_TESTS=ON -DMIRVO_WERROR=ON
cmake --build build
ctest --test-dir build --output-on-failure -j2
# The same example converted by an arm64 build under qemu-user.
scripts/cross-check.sh build

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, with the fuzz targets, whose seeds and committed corpus replay as
# tests), then a short run of every fuzz target.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMIRVO_FUZZ=ON -DMIRVO_BUILD_TESTS=ON -DMIRVO_BUILD_PYTHON=OFF -DMIRVO_WERROR=ON
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2
MIRVO_FUZZ_BUILD=build-asan scripts/fuzz.sh 20
