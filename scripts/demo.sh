#!/bin/sh
# Sets up a fresh machine, builds, and runs the main job on the emulated router (qemu-system-mipsel
# with Debian's Malta kernel and BusyBox, the programs built against musl): a first boot of the
# password provisioner and one update bundle. Every run starts from fresh flash.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
sh scripts/musl_sysroot.sh >/dev/null
./scripts/guest_fetch.sh >/dev/null
./scripts/build.sh mipsel-musl >/dev/null
# This machine's build computes the label passwords that the stored hashes are checked against.
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target zu-factory-label >/dev/null
echo
./scripts/demo_router.sh build build-mipsel-musl
