#!/bin/sh
# Sets up a fresh machine, builds the release and the sanitizer builds, runs every test of both,
# then the short fuzz runs.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in default asan; do
    echo "== $preset"
    ./scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done
# The fuzz targets (clang), each run briefly from its seeds.
echo "== fuzz"
./scripts/build.sh fuzz
ctest --preset fuzz -j "$(nproc)"
