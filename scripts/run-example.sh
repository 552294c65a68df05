#!/usr/bin/env bash
# Installs what is missing, builds mirvo and runs both conversions on the
# bundled example (a copy in build/example, so examples/ stays as it is).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target mirvo
mkdir -p build/example
cp examples/image.ts examples/image.cb build/example/
cd build/example
rm -f image.pa
../mirvo image image              # training set + codebook -> image.pa
head -n 8 image.pa
../mirvo -O image.ts image.pa     # training set + partitioning -> image.cb
head -n 10 image.cb | head -c 160; echo
