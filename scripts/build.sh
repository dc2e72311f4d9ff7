#!/bin/sh
# Configures and builds one preset (default: "default"); further arguments go to the build, e.g.
# "--target NAME".
set -eu
cd "$(dirname "$0")/.."
preset=${1:-default}
[ $# -eq 0 ] || shift
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" "$@"
