#!/bin/sh
# Sets up a fresh machine, builds, and runs the main job on a simulated device: a first boot of the
# password provisioner and one update bundle, each in a private mount namespace.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh default
for part in firstboot bundle; do
    if [ -x "scripts/demo_$part.sh" ]; then
        echo
        "./scripts/demo_$part.sh" build
    fi
done
