#!/bin/sh
# Runs one libFuzzer program over a working copy of its seeds and saved regressions.
# Usage: run_fuzzer.sh [--fresh] PROGRAM CORPUS REGRESSIONS WORK ARTIFACTS [libFuzzer args...]
# --fresh starts WORK again from the seeds (CI); without it WORK keeps what earlier runs found.
set -eu
fresh=0
if [ "${1:-}" = "--fresh" ]; then
    fresh=1
    shift
fi
program=$1 corpus=$2 regressions=$3 work=$4 artifacts=$5
shift 5
[ "$fresh" = 1 ] && rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp "$corpus"/* "$work"/
[ -d "$regressions" ] && find "$regressions" -maxdepth 1 -type f ! -name '.*' -exec cp {} "$work"/ \;
exec "$program" -artifact_prefix="$artifacts"/ -print_final_stats=1 "$@" "$work"
