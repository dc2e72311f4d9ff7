#!/bin/sh
# Footprint and cost of zu-firstboot-password: stripped size, peak memory of a first boot, and
# the whole-process instruction count of a first boot (callgrind) beside that of two bare
# SHA-512 crypt() calls, the work no implementation can avoid. Every first boot runs on a fresh
# simulated device inside a private mount namespace. Usage: firstboot.sh [build directory]
# A cross-built mipsel build runs under qemu-mipsel: its instructions are counted from qemu's
# log of executed blocks, and its peak memory is that of the emulator process.
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
bin="$build/firstboot_password"
program="$bin/zu-firstboot-password"
baseline="$bin/bench_crypt_baseline"
for p in "$program" "$baseline"; do
    [ -x "$p" ] || { echo "bench: $p is not built" >&2; exit 1; }
done

. bench/target.sh

work=$(mktemp -d /tmp/zu-bench-firstboot-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

# new_device DIR: a device that has not booted yet.
new_device() {
    rm -rf "$1"
    mkdir -p "$1/etc" "$1/tmp/sysinfo" "$1/sys/class/net/eth0"
    printf 'root:x:0:0:root:/root:/bin/ash\nadmin:x:100:100:admin:/home/admin:/bin/ash\n' > "$1/etc/passwd"
    printf 'root::19000:0:99999:7:::\ndaemon:*:0:0:99999:7:::\nadmin:!:19000:0:99999:7:::\n' > "$1/etc/shadow"
    echo "aa:bb:cc:dd:ee:ff" > "$1/sys/class/net/eth0/address"
    echo "RT-2400" > "$1/tmp/sysinfo/model"
}

# on_device DIR COMMAND...: runs COMMAND with DIR's etc, tmp and sys as the root's.
on_device() {
    dir=$1
    shift
    bwrap --die-with-parent --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
        --symlink usr/bin /bin --symlink usr/sbin /sbin --proc /proc --dev /dev \
        --bind "$dir/etc" /etc --bind "$dir/tmp" /tmp --bind "$dir/sys" /sys \
        --ro-bind "$bin" "$bin" -- "$@"
}

# instructions DIR PROGRAM: whole-process instruction count, under callgrind or, for the
# target, from the emulator's log of executed blocks.
instructions() {
    dir=$1
    shift
    if [ -n "$emulator" ]; then
        on_device "$dir" sh -c "$emulator -d in_asm,exec,nochain $1 2>&1 >/dev/null" |
            awk -f bench/qemu_instructions.awk > "$work/count"
    else
        on_device "$dir" valgrind --tool=callgrind --callgrind-out-file=/tmp/callgrind.out "$@" \
            > /dev/null 2> "$work/callgrind.log"
        sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/callgrind.log" > "$work/count"
    fi
    [ -f "$dir/etc/.zu-uid0-uid100-password-set" ] || [ "$1" = "$baseline" ] ||
        { echo "bench: the measured first boot failed" >&2; exit 1; }
    cat "$work/count"
}

cp "$program" "$work/stripped"
"${tools}strip" "$work/stripped"
echo "== stripped size of zu-firstboot-password ($machine)"
"${tools}size" "$work/stripped"
echo "file bytes: $(stat -c %s "$work/stripped")"

new_device "$work/dev"
# shellcheck disable=SC2086
on_device "$work/dev" /usr/bin/time -v $emulator "$program" 2> "$work/time.log"
echo "== peak memory of a first boot${emulator:+ (the emulator process, emulator included)}"
grep 'Maximum resident set size' "$work/time.log" | sed 's/^[[:space:]]*//'

new_device "$work/dev"
full=$(instructions "$work/dev" "$program")
new_device "$work/dev"
floor=$(instructions "$work/dev" "$baseline")
counter=callgrind
[ -z "$emulator" ] || counter="qemu block log"
echo "== instructions (whole process, $counter)"
echo "first boot:             $full"
echo "two bare crypt() calls: $floor"
awk -v a="$full" -v b="$floor" 'BEGIN { printf "on top of crypt():      %d (%.2f%%)\n", a - b, 100 * (a - b) / b }'
