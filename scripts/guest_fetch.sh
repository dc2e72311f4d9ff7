#!/bin/sh
# Fetches the emulated router's kernel and BusyBox from Debian's mipsel archive and unpacks them
# into the cache. They are never installed on this machine: busybox-static:mipsel would put a MIPS
# binary at /bin/busybox. Prints the unpacked tree's path; reused while the versions are the same.
set -eu
cache="${ZU_CACHE_DIR:-/var/cache/zu-firmware-tools}"
kernel_meta=linux-image-4kc-malta:mipsel
busybox=busybox-static:mipsel

candidate() {
    apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'
}
# The meta package names the versioned kernel package it depends on.
kernel=$(apt-cache depends "$kernel_meta" | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)/\1/p' | head -n1)
[ -n "$kernel" ] || { echo "guest_fetch: no kernel package behind $kernel_meta" >&2; exit 1; }
case "$kernel" in *:mipsel) ;; *) kernel="$kernel:mipsel" ;; esac
stamp="$kernel=$(candidate "$kernel") $busybox=$(candidate "$busybox")"
case "$stamp" in *"=(none)"* | *"= "* | *=) echo "guest_fetch: not in the apt lists: $stamp" >&2; exit 1 ;; esac

guest="$cache/guest"
mkdir -p "$cache"
# Parallel image builds share one fetch.
exec 9>"$cache/.guest.lock"
flock 9
if [ -f "$guest/stamp" ] && [ "$(cat "$guest/stamp")" = "$stamp" ]; then
    echo "$guest"
    exit 0
fi

work=$(mktemp -d "$cache/guest-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
chmod 755 "$work"
mkdir "$work/debs" "$work/tree"
# apt's download sandbox user must be able to write the private folder.
chown _apt "$work/debs" 2>/dev/null || true
(cd "$work/debs" && apt-get download -q "$kernel" "$busybox" >&2)
for deb in "$work"/debs/*.deb; do
    dpkg -x "$deb" "$work/tree"
done
vmlinuz=$(ls "$work"/tree/boot/vmlinu* | head -n1)
modules=$(ls -d "$work"/tree/lib/modules/* 2>/dev/null || ls -d "$work"/tree/usr/lib/modules/*)
[ -f "$vmlinuz" ] && [ -d "$modules" ] && [ -x "$work/tree/bin/busybox" ] || {
    echo "guest_fetch: unexpected package contents" >&2
    exit 1
}
ln -s "${vmlinuz#"$work/tree/"}" "$work/tree/kernel"
ln -s "${modules#"$work/tree/"}" "$work/tree/modules"
echo "$stamp" > "$work/tree/stamp"
rm -rf "$guest"
mv "$work/tree" "$guest"
echo "$guest"
