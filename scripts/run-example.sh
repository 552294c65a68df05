#!/usr/bin/env bash
# Installs what building needs when it is missing, builds mirvo and the
# Python module, and converts the bundled example both ways, with the
# program and with the module (in build/example, so examples/ stays as it
# is); ends with one line saying what it checked.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target mirvo mirvo_python
rm -rf build/example
mkdir -p build/example/python
cp examples/image.ts examples/image.cb build/example/
cp examples/image.ts examples/image.cb build/example/python/
cd build/example
../mirvo image image              # training set + codebook -> image.pa
../mirvo -O image.ts image.pa     # training set + partitioning -> image.cb
# The same two conversions through the Python module.
(cd python && PYTHONPATH=../../python /usr/bin/python3 -c '
import mirvo
ts, cb = mirvo.read_vector_set("image.ts"), mirvo.read_vector_set("image.cb")
indices = mirvo.partition(ts, cb)
mirvo.write_partitioning("image.pa", mirvo.Partitioning(indices, len(cb)), ts)
codebook = mirvo.centroids(ts, indices, len(cb))
codebook.generation_method += mirvo.PROGRAM_IDENTITY
mirvo.write_vector_set("image.cb", codebook, overwrite=True)
')
for file in image.pa image.cb python/image.pa python/image.cb; do
  cmp -s "$file" "../../examples/expected/${file#python/}" ||
    { echo "example: $file differs from examples/expected/${file#python/}" >&2; exit 1; }
done
echo "example: image.pa and image.cb from mirvo and from the Python module are byte for byte examples/expected/"
