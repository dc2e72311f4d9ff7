#!/bin/sh
# Cost figures on the emulated router, for each musl build given (default: the mipsel-musl and
# mipsel-musl-static build trees): boot-to-power-off wall time of a first boot, and the
# provisioner's first boot beside two bare crypt("$6$...") calls in the same guest. The second
# boot runs with a virtual clock that counts guest instructions, so those times do not depend on
# this machine's load (their unit is the emulator's, only their ratios mean something); each
# figure there is the least of RUNS runs (default 5).
set -eu
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
[ $# -gt 0 ] || set -- build-mipsel-musl build-mipsel-musl-static
work=$(mktemp -d /tmp/zu-bench-device-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A signal ends the run: going on would write into a removed folder.
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$work/scenario"
printf "model='RT-2400'\n" > "$work/scenario/env"
cat > "$work/scenario/after-boot" <<SH
runs=$runs
SH
cat >> "$work/scenario/after-boot" <<'SH'
# least TIMES...: the smallest.
least() { printf '%s\n' "$@" | sort -n | head -n1; }
elapsed() { s=$(now); "$@" >/dev/null; e=$(now); echo "$s $e" | awk '{ printf "%.6f\n", $2 - $1 }'; }
own="" whole="" again="" boot=""
i=0
while [ $i -lt $runs ]; do
    own="$own $(bench_crypt_baseline)"
    whole="$whole $(elapsed bench_crypt_baseline)"
    rm -f /etc/.zu-uid0-uid100-password-set
    again="$again $(elapsed zu-firstboot-password)"
    rm -f /etc/.zu-uid0-uid100-password-set
    boot="$boot $(elapsed /etc/rc.d/S11zu-firstboot-password boot)"
    i=$((i + 1))
done
echo "crypt $(least $own) $(least $whole) $(least $again) $(least $boot)"
SH

for build in "$@"; do
    echo "######## $build"
    tests/device/build_image.sh "$work/image" "$build" >/dev/null
    rm -f "$work/flash.img"
    tests/device/run_guest.sh "$work/image" "$work/flash.img" --scenario "$work/scenario" \
        --results "$work/plain"
    echo "first boot to power-off, wall time: $(cat "$work/plain/wall-seconds") s"
    rm -f "$work/flash.img"
    tests/device/run_guest.sh "$work/image" "$work/flash.img" --scenario "$work/scenario" \
        --results "$work/counted" --icount
    awk '$1 == "S11zu-firstboot-password" { print "boot", $4 - $3 }' "$work/counted/boot" |
        cat - "$work/counted/after-boot.out" | awk '
        $1 == "boot" { first = $2 }
        $1 == "crypt" { own = $2; whole = $3; again = $4; script = $5 }
        END {
            printf "two bare crypt() calls (the tool'"'"'s own clock):   %.4f\n", own
            printf "the same, whole process:                        %.4f\n", whole
            printf "the first boot (boot script, fresh flash):      %.4f  = %.3f x crypt\n", first, first / own
            printf "the boot script again (flash already written):  %.4f  = %.3f x crypt\n", script, script / own
            printf "zu-firstboot-password alone, again:             %.4f  = %.3f x crypt, %.3f x its process\n", again, again / own, again / whole
        }'
done
