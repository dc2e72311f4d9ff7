#!/bin/sh
# Sets up a fresh machine, builds the release and the sanitizer builds, runs every test of both.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in default asan; do
    echo "== $preset"
    ./scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done
