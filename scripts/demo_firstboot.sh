#!/bin/sh
# A first boot of the password provisioner on a simulated device, inside a private mount namespace
# (never this machine's /etc): the shadow lines before and after, the factory passwords the
# device's label carries, and a check that the stored hashes are hashes of exactly those.
# Usage: demo_firstboot.sh [build directory]. Exits non-zero when the check fails.
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
program="$build/firstboot_password/zu-firstboot-password"
label="$build/firstboot_password/zu-factory-label"
for p in "$program" "$label"; do
    [ -x "$p" ] || { echo "demo: $p is not built" >&2; exit 1; }
done

device=$(mktemp -d /tmp/zu-demo-firstboot-XXXXXX)
trap 'rm -rf "$device"' EXIT INT TERM
mkdir -p "$device/etc" "$device/tmp/sysinfo" "$device/sys/class/net/eth0"
printf 'root:x:0:0:root:/root:/bin/ash\ndaemon:*:1:1:daemon:/var:/bin/false\nadmin:x:100:100:admin:/home/admin:/bin/ash\n' \
    > "$device/etc/passwd"
printf 'root:x:0:\nshadow:x:42:\nadmin:x:100:\n' > "$device/etc/group"
printf 'root::19000:0:99999:7:::\ndaemon:*:0:0:99999:7:::\nadmin:!:19000:0:99999:7:::\n' \
    > "$device/etc/shadow"
chmod 0640 "$device/etc/shadow"
echo "aa:bb:cc:dd:ee:ff" > "$device/sys/class/net/eth0/address"
echo "RT-2400" > "$device/tmp/sysinfo/model"

echo "== device: MAC $(cat "$device/sys/class/net/eth0/address"), model $(cat "$device/tmp/sysinfo/model")"
echo "== /etc/shadow before first boot"
cat "$device/etc/shadow"

status=0
bwrap --die-with-parent --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
    --symlink usr/bin /bin --symlink usr/sbin /sbin --proc /proc --dev /dev \
    --bind "$device/etc" /etc --bind "$device/tmp" /tmp --bind "$device/sys" /sys \
    --ro-bind "$build/firstboot_password" "$build/firstboot_password" \
    -- "$program" || status=$?
echo "== first boot: zu-firstboot-password exited with $status"
echo "== /etc/shadow after first boot ($(stat -c '%a %u:%g' "$device/etc/shadow"))"
cat "$device/etc/shadow"
[ -e "$device/etc/.zu-uid0-uid100-password-set" ] && echo "== completion marker present"

echo "== factory passwords on the label"
"$label" "$device/sys/class/net/eth0/address" "$device/tmp/sysinfo/model" root admin
echo "== stored hashes against the label"
check=0
"$label" --verify "$device/etc/shadow" "$device/sys/class/net/eth0/address" \
    "$device/tmp/sysinfo/model" root admin || check=$?
if [ "$status" -ne 0 ] || [ "$check" -ne 0 ]; then
    echo "demo: FAILED" >&2
    exit 1
fi
echo "demo: first boot OK"
