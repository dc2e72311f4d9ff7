#!/bin/sh
# Fuzzes one target for a while: scripts/fuzz.sh TARGET [SECONDS [libFuzzer options...]].
# What it finds is kept in build-fuzz/tests/fuzz/work/TARGET for the next run; crashing inputs
# land in build-fuzz/tests/fuzz/artifacts/TARGET. ZU_FUZZ_BUILD_DIR picks another build tree.
set -eu
cd "$(dirname "$0")/.."
if [ $# -lt 1 ]; then
    echo "usage: $0 TARGET [SECONDS [libFuzzer options...]]" >&2
    echo "targets: $(ls tests/fuzz/corpus | tr '\n' ' ')" >&2
    exit 2
fi
target=$1
seconds=${2:-300}
[ $# -ge 2 ] && shift 2 || shift 1
if [ ! -d "tests/fuzz/corpus/$target" ]; then
    echo "$0: no fuzz target '$target'; targets: $(ls tests/fuzz/corpus | tr '\n' ' ')" >&2
    exit 2
fi
build=${ZU_FUZZ_BUILD_DIR:-build-fuzz}
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "fuzz_$target" -j "$(nproc)"
exec sh "$build/tests/fuzz/fuzz-$target.sh" -max_total_time="$seconds" "$@"
