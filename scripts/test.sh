#!/bin/sh
# Sets up a fresh machine, builds the release, sanitizer and mipsel (tests under qemu) builds,
# runs every test of each, then the device tests on the emulated router (the musl builds), then
# the short fuzz runs.
set -eu
cd "$(dirname "$0")/.."
. scripts/stages.sh
stages_begin test
test_start=$(date +%s)
echo "Building and testing: a first run takes 12 to 23 minutes, most of it building."
echo "What the tools print goes to $stages_logs"
stage setup "Installing the Debian packages it needs (only what is missing)" ./scripts/setup.sh
# What the device runs: musl built from Debian's sources, Debian's Malta kernel and BusyBox.
stage musl "Building musl, json-c and libsodium for the device (once per cache, 1 to 8 minutes)" \
    sh scripts/musl_sysroot.sh
stage guest "Fetching the router's kernel and BusyBox (once per cache, under a minute)" \
    ./scripts/guest_fetch.sh
for preset in mipsel-musl mipsel-musl-static; do
    stage "build-$preset" "Building the $preset preset (what ships)" ./scripts/build.sh "$preset"
done
for preset in default asan mipsel; do
    stage "build-$preset" "Building the $preset preset" ./scripts/build.sh "$preset"
    stage_ctest "test-$preset" "Running the $preset tests" --preset "$preset" -j "$(nproc)" \
        -LE '^device$'
done
# Real power cuts on UBIFS are left to `ctest -L ubifs-cuts`: the emulated flash can reorder them.
stage_ctest test-device "Running the device tests on the emulated router (about 5 minutes)" \
    --preset default -j "$(nproc)" -L '^device$' -LE '^ubifs-cuts$'
# The fuzz targets (clang), each run briefly from its seeds.
stage build-fuzz "Building the fuzz targets" ./scripts/build.sh fuzz
stage_ctest test-fuzz "Running each fuzz target briefly" --preset fuzz -j "$(nproc)"
echo "Every build and test run passed, in $(stages_took "$test_start") in all."
