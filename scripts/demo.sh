#!/bin/sh
# Sets up a fresh machine, builds, and runs the main job on the emulated router (qemu-system-mipsel
# with Debian's Malta kernel and BusyBox, the programs built against musl): a first boot of the
# password provisioner and one update bundle. Every run starts from fresh flash.
set -eu
cd "$(dirname "$0")/.."
. scripts/stages.sh
stages_begin demo
echo "Preparing the demo; what the tools print goes to $stages_logs"
stage setup "Installing the Debian packages it needs (only what is missing)" ./scripts/setup.sh
stage musl "Building musl, json-c and libsodium for the device (once per cache, 1 to 8 minutes)" \
    sh scripts/musl_sysroot.sh
stage guest "Fetching the router's kernel and BusyBox (once per cache, under a minute)" \
    ./scripts/guest_fetch.sh
stage build-device "Building both programs against musl (under a minute)" \
    ./scripts/build.sh mipsel-musl
# This machine's build computes the label passwords that the stored hashes are checked against.
stage build-label "Building the label tool for this machine" \
    ./scripts/build.sh default --target zu-factory-label
echo
./scripts/demo_router.sh build build-mipsel-musl
