#!/bin/sh
# Boots the emulated router once, to power-off, and reads its results back.
# Usage: run_guest.sh IMAGE_DIR FLASH_FILE [options]
#   --mac MAC          eth0's address (the NIC's own, seen by the kernel in sysfs)
#   --scenario DIR     handed to the guest as a tar disk: env, files/, before-boot, after-boot
#                      (see sbin/init)
#   --results DIR      where the guest's results are unpacked (created if missing)
#   --console FILE     the serial console's output (default RESULTS/console)
#   --flash-kind KIND  jffs2 (default) or ubifs: the flash layer under the overlay
#   --timeout SECONDS  give up on a guest that does not power off (default 180)
#   --icount           the guest's clock driven by its count of executed instructions: timings
#                      inside it do not depend on this machine's load (compare them as ratios)
#   --eager-writeback  the guest writes dirty pages back at once and the flash disk takes 100
#                      requests a second: what the flash filesystem wrote reaches the disk over
#                      about a second instead of at the next sync, so a power cut lands inside it
#   --flash-throttle T the flash disk's qemu throttling with --eager-writeback (default
#                      iops-total=100; iops-write=N slows writes alone)
#   --cut TEXT SECONDS cut the power (SIGKILL qemu) SECONDS after the console first shows a line
#                      holding TEXT; RESULTS/cut then tells "cut" or "late" (the guest powered
#                      off first), and only a late guest has results
# A missing FLASH_FILE is created as erased flash (all 0xff). Prints nothing on success; exits
# non-zero when qemu fails, the guest does not power off in time, or its system log never showed
# the end-of-run marker (then what it logged is not known to be whole). A signal ends qemu too.
# ZU_WORK_DIR: where the scratch folder goes (default /tmp).
set -eu
zu_device_dir=$(cd "$(dirname "$0")" && pwd)
. "$zu_device_dir/common.sh"
image=$1
flash=$2
shift 2
mac=52:54:00:12:34:56
scenario=
results=
console=
flash_kind=jffs2
timeout=180
icount=
eager=
flash_throttle=iops-total=100
cut_text=
cut_after=
while [ $# -gt 0 ]; do
    case "$1" in
    --mac) mac=$2 ;;
    --scenario) scenario=$2 ;;
    --results) results=$2 ;;
    --console) console=$2 ;;
    --flash-kind) flash_kind=$2 ;;
    --timeout) timeout=$2 ;;
    --icount) icount="-icount shift=0"; shift; continue ;;
    --eager-writeback) eager=1; shift; continue ;;
    --flash-throttle) flash_throttle=$2 ;;
    --cut) cut_text=$2; cut_after=$3; shift ;;
    *) echo "run_guest: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

work=$(zu_work_dir zu-guest)
qemu=
# stop_guest: ends qemu and the timeout around it. The pid file is trusted only while the timeout
# still runs: until it has reaped qemu, that pid cannot name another process. The timeout hands a
# TERM on to qemu, which ends it even when the pid file is gone with a removed work folder.
stop_guest() {
    if [ -n "$qemu" ] && kill -0 "$qemu" 2>/dev/null; then
        [ ! -s "$work/qemu.pid" ] || kill -KILL "$(cat "$work/qemu.pid")" 2>/dev/null || true
        kill -TERM "$qemu" 2>/dev/null || true
        wait "$qemu" 2>/dev/null || true
    fi
    qemu=
}
trap 'stop_guest; [ -n "${ZU_KEEP_GUEST:-}" ] || rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
if [ ! -e "$flash" ]; then
    # 8 MiB of erased NOR flash: 128 erase blocks of 64 KiB.
    tr '\000' '\377' < /dev/zero | head -c 8388608 > "$work/erased"
    if [ "$flash_kind" = ubifs ]; then
        # UBI cannot make a volume by itself: lay out an empty one that grows to the whole flash;
        # UBIFS formats it at the first mount.
        printf '[rootfs_data]\nmode=ubi\nvol_id=0\nvol_type=dynamic\nvol_name=rootfs_data\nvol_size=1MiB\nvol_flags=autoresize\n' \
            > "$work/ubi.cfg"
        ubinize -o "$work/ubi.img" -p 65536 -m 1 "$work/ubi.cfg"
        dd if="$work/ubi.img" of="$work/erased" conv=notrunc status=none
    fi
    mv "$work/erased" "$flash"
fi
mkdir -p "$work/scenario"
[ -z "$scenario" ] || cp -a "$scenario/." "$work/scenario/"
# One disk carries the scenario in and, overwritten by the guest, the results out.
tar -cf "$work/exchange.img" -C "$work/scenario" .
truncate -s 4M "$work/exchange.img"
[ -n "$results" ] || results="$work/out"
mkdir -p "$results"
[ -n "$console" ] || console="$results/console"

append="console=ttyS0 panic=-1 quiet zu_flash=$flash_kind"
throttle=
if [ -n "$eager" ]; then
    append="$append sysctl.vm.dirty_writeback_centisecs=1 sysctl.vm.dirty_expire_centisecs=0"
    throttle=",throttling.$flash_throttle"
fi
: > "$console"
rm -f "$results/cut"

start=$(date +%s.%N)
status=0
timeout -s KILL "$timeout" qemu-system-mipsel -M malta -cpu 24Kc -m 256 -smp 1 \
    -kernel "$image/vmlinuz" -initrd "$image/initramfs.cpio.gz" \
    -append "$append" \
    $icount -pidfile "$work/qemu.pid" -display none -vga none -monitor none \
    -serial "file:$console" -no-reboot \
    -nic none -device "pcnet,mac=$mac,romfile=" \
    -drive "if=none,id=firmware,file=$image/firmware.squashfs,format=raw,readonly=on" \
    -device virtio-blk-pci,drive=firmware,serial=firmware,romfile= \
    -drive "if=none,id=flash,file=$flash,format=raw,cache=writeback$throttle" \
    -device virtio-blk-pci,drive=flash,serial=flash,romfile= \
    -drive "if=none,id=exchange,file=$work/exchange.img,format=raw" \
    -device virtio-blk-pci,drive=exchange,serial=exchange,romfile= \
    </dev/null >"$work/qemu.out" 2>&1 &
qemu=$!
if [ -n "$cut_text" ]; then
    # Watch the console from here: the cut is timed from the guest's own line.
    while kill -0 "$qemu" 2>/dev/null && ! grep -qF -- "$cut_text" "$console"; do
        sleep 0.005
    done
    sleep "$cut_after"
    # The emulator itself, not the timeout around it.
    if [ -s "$work/qemu.pid" ] && kill -KILL "$(cat "$work/qemu.pid")" 2>/dev/null; then
        # The timeout around it dies of the same signal; the shell's notice of that is noise.
        { wait "$qemu"; } 2>/dev/null || true
        qemu=
        date +%s.%N | awk -v s="$start" '{ printf "%.2f\n", $1 - s }' > "$results/wall-seconds"
        echo cut > "$results/cut"
        exit 0
    fi
    echo late > "$results/cut"
fi
wait "$qemu" || status=$?
qemu=
end=$(date +%s.%N)
if [ "$status" -ne 0 ]; then
    cat "$work/qemu.out" >&2
    tail -n 20 "$console" >&2
    if [ "$status" -eq 137 ]; then
        echo "run_guest: no power-off within $timeout s; the console's last lines are above" >&2
    else
        echo "run_guest: qemu ended with status $status" >&2
    fi
    exit 1
fi
# The guest clock runs ahead with --icount: keep the files' times from this machine.
tar -xmf "$work/exchange.img" -C "$results"
if [ ! -e "$results/log-complete" ]; then
    tail -n 20 "$console" >&2
    echo "run_guest: the guest's system log never showed its end-of-run marker, so what it logged is not known to be whole" >&2
    exit 1
fi
echo "$start $end" | awk '{ printf "%.2f\n", $2 - $1 }' > "$results/wall-seconds"
