#!/bin/sh
# Footprint and cost of both programs for both architectures: the host build and the mipsel build
# (run under qemu-mipsel). Builds what is missing. BENCH_SKIP_WALK=1 leaves out the slow
# 10,000-package walk of the host build.
set -eu
cd "$(dirname "$0")/.."
for preset in default mipsel; do
    ./scripts/build.sh "$preset" > /dev/null
done
for build in build build-mipsel; do
    echo "######## $build"
    sh bench/firstboot.sh "$build"
    sh bench/bundle.sh "$build"
done
echo "######## build (host tool)"
sh bench/factory_label.sh build
