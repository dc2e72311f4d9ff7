#!/bin/sh
# Footprint and cost of bundle-install: stripped size, peak memory for a bundle of 1,000
# packages, and the time of a 10,000-element manifest walk beside 10,000 bare shells. Every run
# is inside a private mount namespace with its own /tmp. Usage: bundle.sh [build directory]
# (BENCH_SKIP_WALK=1 stops before the slow 10,000-element runs.)
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
program="$build/bundle_install/bundle-install"
[ -x "$program" ] || { echo "bench: $program is not built" >&2; exit 1; }
# A cross-built mipsel program runs under qemu-mipsel: its peak memory is the emulator's, and
# the walk (shell starts, not our code) is measured on the host build only.
. bench/target.sh

work=$(mktemp -d /tmp/zu-bench-bundle-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/usb" "$work/stub" "$work/out"
# An opkg that exits at once, so the walk and the shell starts are what is measured.
ln -s /usr/bin/true "$work/stub/opkg"

# make_bundle NAME COUNT: a bundle whose manifest lists COUNT packages (only the first is packed).
make_bundle() {
    stage="$work/stage-$1"
    mkdir -p "$stage/$1"
    awk -v n="$2" 'BEGIN {
        printf "{\"order\":["
        for (i = 1; i <= n; i++) printf "%s\"pkg-%05d_1.0_mipsel.ipk\"", (i > 1 ? "," : ""), i
        print "]}"
    }' > "$stage/$1/manifest.txt"
    echo package > "$stage/$1/pkg-00001_1.0_mipsel.ipk"
    tar -czf "$work/usb/$1.tar.gz" -C "$stage" "$1"
}

# in_box COMMAND...: runs the command with a fresh /tmp, the bundles and the stub opkg.
in_box() {
    bwrap --die-with-parent --unshare-pid \
        --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
        --symlink usr/bin /bin --symlink usr/sbin /sbin --proc /proc --dev /dev --tmpfs /tmp \
        --ro-bind "$work/usb" /mnt/usb --ro-bind "$work/stub" /stub --ro-bind "$build" "$build" \
        --bind "$work/out" /out --chdir / --setenv PATH /stub:/usr/bin:/bin -- "$@"
}

cp "$program" "$work/bundle-install.stripped"
"${tools}strip" "$work/bundle-install.stripped"
echo "== stripped size ($machine)"
"${tools}size" "$work/bundle-install.stripped" | sed 's|'"$work"'/||'
echo "file: $(stat -c %s "$work/bundle-install.stripped") bytes"

make_bundle b1000 1000
echo "== peak memory, bundle of 1,000 packages (/usr/bin/time -v)"
# time -v reports the largest of the program and every child it waited for (sh, tar, opkg).
# shellcheck disable=SC2086
in_box /usr/bin/time -v -o /out/time1000 $emulator "$program" /mnt/usb/b1000.tar.gz > "$work/out/log1000"
tail -n 1 "$work/out/log1000"
grep -E 'Maximum resident set size|Elapsed' "$work/out/time1000"
if [ -n "$emulator" ]; then
    echo "(the emulator process, emulator included)"
    exit 0
fi
# The program's own peak: a preloaded destructor reports VmHWM of the bundle-install process only.
cat > "$work/hwm.c" <<'C'
#include <stdio.h>
#include <string.h>
__attribute__((destructor)) static void report_hwm(void) {
    char line[256], comm[64] = "";
    FILE *f = fopen("/proc/self/comm", "r");
    if (f) { if (!fgets(comm, sizeof comm, f)) comm[0] = 0; fclose(f); }
    if (strcmp(comm, "bundle-install\n") != 0) return;
    f = fopen("/proc/self/status", "r");
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) fprintf(stderr, "bundle-install alone: %s", line);
    if (f) fclose(f);
}
C
cc -shared -fPIC -O2 -o "$work/out/hwm.so" "$work/hwm.c"
in_box env LD_PRELOAD=/out/hwm.so "$program" /mnt/usb/b1000.tar.gz 2>&1 >/dev/null | grep VmHWM
echo "for comparison, the unpack command alone:"
in_box /usr/bin/time -v -o /out/time_tar sh -c \
    'mkdir -p /tmp/update && tar --no-same-permissions -xzvof /mnt/usb/b1000.tar.gz -C /tmp/update' > /dev/null
grep 'Maximum resident set size' "$work/out/time_tar"

[ "${BENCH_SKIP_WALK:-}" = 1 ] && exit 0
make_bundle b10000 10000
echo "== 10,000-element manifest walk, opkg exiting at once (whole process)"
in_box /usr/bin/time -f '%e s elapsed, %U s user, %S s system' -o /out/time10000 \
    "$program" /mnt/usb/b10000.tar.gz > "$work/out/log10000"
tail -n 1 "$work/out/log10000"
cat "$work/out/time10000"
echo "== 10,000 bare 'sh -c true' in the same namespace"
in_box /usr/bin/time -f '%e s elapsed, %U s user, %S s system' -o /out/time_sh sh -c \
    'i=0; while [ $i -lt 10000 ]; do sh -c true; i=$((i + 1)); done'
cat "$work/out/time_sh"
