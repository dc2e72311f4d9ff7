#!/bin/sh
# Sets up a fresh machine, builds the release, sanitizer and mipsel (tests under qemu) builds,
# runs every test of each, then the device tests on the emulated router (the musl builds), then
# the short fuzz runs.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
# What the device runs: musl built from Debian's sources, Debian's Malta kernel and BusyBox.
sh scripts/musl_sysroot.sh >/dev/null
./scripts/guest_fetch.sh >/dev/null
for preset in mipsel-musl mipsel-musl-static; do
    echo "== $preset"
    ./scripts/build.sh "$preset"
done
for preset in default asan mipsel; do
    echo "== $preset"
    ./scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)" -LE '^device$'
done
echo "== device"
# Real power cuts on UBIFS are left to `ctest -L ubifs-cuts`: the emulated flash can reorder them.
ctest --preset default -j "$(nproc)" -L '^device$' -LE '^ubifs-cuts$'
# The fuzz targets (clang), each run briefly from its seeds.
echo "== fuzz"
./scripts/build.sh fuzz
ctest --preset fuzz -j "$(nproc)"
