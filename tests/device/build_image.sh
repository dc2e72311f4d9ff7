#!/bin/sh
# Builds the emulated router's firmware: a read-only squashfs root (BusyBox, the musl loader and
# json-c, both programs as `cmake --install` lays them out, their boot script and keep.d entry,
# the shipped passwd, group and shadow) and the initramfs that mounts it under the flash overlay.
# Usage: build_image.sh [-k KEY_DIR] OUT_DIR [BUILD_DIR [MUSL_SYSROOT]]
# MUSL_SYSROOT defaults to $ZU_MUSL_SYSROOT, else the cache's musl-sysroot.
# Without BUILD_DIR the firmware holds BusyBox alone. -k puts KEY_DIR's public keys into the
# firmware's /etc/bundle-install/keys: the device then installs only bundles signed by one.
set -eu
keys=
if [ "${1:-}" = -k ]; then
    keys=$2
    shift 2
fi
here=$(cd "$(dirname "$0")" && pwd)
zu_device_dir=$here
. "$here/common.sh"
source_dir=$(cd "$here/../.." && pwd)
out=$1
build=${2:-}
sysroot=${3:-}

if [ -n "$build" ] && [ ! -f "$build/CMakeCache.txt" ]; then
    echo "build_image: $build is not a build tree (build the mipsel-musl presets first)" >&2
    exit 1
fi
# The test and demo commands refresh the cache first; asking apt again here costs seconds.
guest="${ZU_CACHE_DIR:-/var/cache/zu-firmware-tools}/guest"
[ -f "$guest/stamp" ] || guest=$("$source_dir/scripts/guest_fetch.sh")
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/rootfs" "$out/initramfs"
root="$out/rootfs"

mkdir -p "$root"
for d in bin sbin usr/bin usr/sbin lib usr/lib etc/init.d etc/rc.d lib/upgrade/keep.d proc sys dev \
    tmp rom overlay root home/admin mnt; do
    mkdir -p "$root/$d"
done
ln -s tmp "$root/var"
cp "$guest/bin/busybox" "$root/bin/busybox"
# BusyBox names its own applets' places; it is a static binary, so the user emulator runs it.
qemu-mipsel "$guest/bin/busybox" --list-full | while read -r applet; do
    [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
done
rm -f "$root/sbin/init" "$root/linuxrc"

install -m 0755 "$here/rootfs/sbin/init" "$root/sbin/init"
install -m 0755 "$here/rootfs/etc/rc.common" "$root/etc/rc.common"
install -m 0644 "$here/rootfs/etc/passwd" "$here/rootfs/etc/group" "$root/etc/"
install -m 0640 "$here/rootfs/etc/shadow" "$root/etc/shadow"
echo zu-router > "$root/etc/hostname"

# The package's files, placed and enabled as the firmware's package manager would.
files="$source_dir/packaging/openwrt/files"
install -m 0755 "$files/zu-firstboot-password.init" "$root/etc/init.d/zu-firstboot-password"
install -m 0644 "$files/zu-firstboot-password.keep" "$root/lib/upgrade/keep.d/zu-firstboot-password"
ln -s ../init.d/zu-firstboot-password "$root/etc/rc.d/$zu_boot_script"

if [ -n "$build" ]; then
    DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
    # The crypt timing tool is not shipped; the test image carries it for the cost figures.
    DESTDIR="$root" cmake --install "$build" --prefix /usr --component bench >/dev/null 2>&1 || true
    for program in "$root"/usr/sbin/* "$root"/usr/bin/bench_crypt_baseline; do
        if [ -f "$program" ] && [ ! -L "$program" ]; then
            mipsel-linux-gnu-strip "$program"
        fi
    done
    # A dynamic build needs musl's loader (musl's libc is its own loader) and json-c; a static
    # build's firmware goes without them.
    if mipsel-linux-gnu-readelf -l "$root/usr/sbin/bundle-install" | grep -q 'program interpreter'; then
        sysroot=${sysroot:-${ZU_MUSL_SYSROOT:-${ZU_CACHE_DIR:-/var/cache/zu-firmware-tools}/musl-sysroot}}
        cp "$sysroot/usr/lib/libc.so" "$root/lib/ld-musl-mipsel.so.1"
        cp -P "$sysroot"/usr/lib/libjson-c.so.* "$root/usr/lib/"
    fi
fi
if [ -n "$keys" ]; then
    mkdir -p "$root/etc/bundle-install/keys"
    install -m 0644 "$keys"/* "$root/etc/bundle-install/keys/"
fi

# Owner and group as the firmware build sets them (root, the shadow group for /etc/shadow).
chown -R -h 0:0 "$root"
chgrp 42 "$root/etc/shadow"
mksquashfs "$root" "$out/firmware.squashfs" -noappend -quiet -no-progress >/dev/null

# The initramfs: BusyBox, the first-stage init and the drivers it loads.
ird="$out/initramfs"
mkdir -p "$ird/bin" "$ird/lib/modules" "$ird/proc" "$ird/sys" "$ird/dev" "$ird/rom" "$ird/overlay" \
    "$ird/newroot"
cp "$guest/bin/busybox" "$ird/bin/busybox"
install -m 0755 "$here/initramfs/init" "$ird/init"
for m in virtio virtio_ring virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk squashfs \
    overlay mii pcnet32 block2mtd jffs2 ubi crc16 deflate zstd_compress zstd ubifs; do
    ko=$(find "$guest/modules/" -name "$m.ko" | head -n1)
    [ -n "$ko" ] || { echo "build_image: no module $m" >&2; exit 1; }
    cp "$ko" "$ird/lib/modules/"
done
(cd "$ird" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) > "$out/initramfs.cpio.gz"
# A copy, not a link: a refresh of the cache must not change the kernel of a running test.
rm -f "$out/vmlinuz"
cp "$guest/kernel" "$out/vmlinuz"
rm -rf "$ird"
echo "$out"
