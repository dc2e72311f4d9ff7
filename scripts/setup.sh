#!/bin/sh
# Installs what building and testing need on a Debian 12 machine; safe to run again.
set -eu

packages="build-essential cmake g++ pkg-config libgtest-dev libgmock-dev libjson-c-dev libcrypt-dev
bubblewrap strace util-linux tar gzip clang-format valgrind time binutils clang libclang-rt-14-dev
g++-mipsel-linux-gnu qemu-user libjson-c-dev:mipsel libcrypt-dev:mipsel libgtest-dev:mipsel
qemu-system-mips squashfs-tools mtd-utils cpio zlib1g-dev busybox python3 openssl
libsodium-dev libsodium-dev:mipsel signify-openbsd autoconf automake libtool"

# The device's architecture: its libraries come from Debian's mipsel packages.
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
fi

missing=""
for p in $packages; do
    # A package installed for two architectures has two statuses: one line each.
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi
