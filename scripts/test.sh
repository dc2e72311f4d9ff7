#!/bin/sh
# Sets up a fresh machine, builds the release, sanitizer and mipsel (tests under qemu) builds,
# runs every test of each, then the short fuzz runs.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in default asan mipsel; do
    echo "== $preset"
    ./scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done
# The fuzz targets (clang), each run briefly from its seeds.
echo "== fuzz"
./scripts/build.sh fuzz
ctest --preset fuzz -j "$(nproc)"
