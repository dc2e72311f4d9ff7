#!/bin/sh
# The main job on the emulated router: a first boot of the device (a fresh flash every run) that
# runs the password provisioner from its boot script, then one update bundle installed with
# bundle-install through an opkg stand-in. Shows the boot's console, /etc/shadow before and after,
# the bundle's transcript, and checks on this machine that the stored hashes are hashes of the
# passwords the device's label carries. Nothing here touches this machine's /etc.
# Usage: demo_router.sh HOST_BUILD_DIR MUSL_BUILD_DIR. Exits non-zero when the check fails.
set -eu
cd "$(dirname "$0")/.."
zu_device_dir=$(pwd)/tests/device
. "$zu_device_dir/common.sh"
label="$(cd "$1" && pwd)/firstboot_password/zu-factory-label"
musl_build=$(cd "$2" && pwd)
[ -x "$label" ] || { echo "demo: $label is not built" >&2; exit 1; }

work=$(zu_work_dir zu-demo-router)
trap 'rm -rf "$work"' EXIT
# A signal ends the run: going on would write into a removed folder.
trap 'exit 130' INT
trap 'exit 143' TERM
mac=02:5a:75:c0:ff:ee
model="RT-2400"

tests/device/build_image.sh "$work/image" "$musl_build" >/dev/null
s="$work/scenario"
zu_scenario "$s" "$model"
mkdir -p "$s/stage/router-fw-2.1"
cat > "$s/stage/router-fw-2.1/manifest.txt" <<'JSON'
{
  "version": "2.1",
  "order": ["zu-base_2.1_mipsel.ipk", "zu-webui_2.1_mipsel.ipk"]
}
JSON
echo "base package" > "$s/stage/router-fw-2.1/zu-base_2.1_mipsel.ipk"
echo "web interface package" > "$s/stage/router-fw-2.1/zu-webui_2.1_mipsel.ipk"
zu_pack_bundle "$s/router-fw-2.1.tar.gz" "$s/stage" router-fw-2.1
rm -rf "$s/stage"
zu_scenario_opkg "$s"
# Runs on the device once the boot scripts are done.
printf '%s\n' "$zu_guest_opkg" > "$s/after-boot"
cat >> "$s/after-boot" <<'SH'
mkdir -p /mnt/usb
cp router-fw-2.1.tar.gz /mnt/usb/
echo "root@zu-router:~# bundle-install /mnt/usb/router-fw-2.1.tar.gz"
PATH=/tmp/stub:$PATH bundle-install /mnt/usb/router-fw-2.1.tar.gz 2>&1
echo "# exit status $?"
SH

echo "== emulated router: qemu-system-mipsel (Malta, 24Kc), MAC $mac, model $model"
echo "== /etc/shadow in the firmware image ($(stat -c '%a %u:%g' "$work/image/rootfs/etc/shadow"))"
cat "$work/image/rootfs/etc/shadow"
echo "== first boot: console"
tests/device/run_guest.sh "$work/image" "$work/flash.img" --mac "$mac" --scenario "$s" \
    --results "$work/out"
r="$work/out"
tr -d '\r' < "$r/console"
echo "== boot to power-off: $(cat "$r/wall-seconds") s"
echo "== system log of the boot"
if [ -s "$r/messages" ]; then cat "$r/messages"; else echo "(nothing logged)"; fi
echo "== /etc/shadow after the first boot ($(cut -d' ' -f2- "$r/shadow.stat" | awk '{ print $1, $2 ":" $3 }'))"
cat "$r/shadow"
grep -qx '.zu-uid0-uid100-password-set' "$r/etc.list" && echo "== completion marker present"
echo "== an update bundle, installed on the device"
cat "$r/after-boot.out"

printf '%s\n' "$mac" > "$work/mac"
printf '%s\n' "$model" > "$work/model"
echo "== factory passwords on the label (computed on this machine)"
"$label" "$work/mac" "$work/model" root admin
echo "== stored hashes against the label"
check=0
"$label" --verify "$r/shadow" "$work/mac" "$work/model" root admin || check=$?
status=$(zu_boot_status "$r")
if [ "$status" != 0 ] || [ "$check" -ne 0 ]; then
    echo "demo: FAILED" >&2
    exit 1
fi
echo "demo: first boot OK"
