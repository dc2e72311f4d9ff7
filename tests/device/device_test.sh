#!/bin/sh
# Device tests: boot the emulated router built by build_image.sh and check from this machine what
# the programs did on it. Usage: device_test.sh CASE IMAGE_DIR LABEL_TOOL
#   CASE: firstboot | upgrade | failures | bundle | power-cuts
# LABEL_TOOL is this machine's build of zu-factory-label (the label passwords and their check).
# ZU_FLASH_KIND=ubifs puts the writable layer on UBIFS over UBI instead of JFFS2.
# power-cuts: cuts the power during first boots, ZU_CUT_DELAYS seconds (a list) after the boot
# script starts; each cut's device is checked as it comes back up, then must finish the job.
# Each cut's state goes to stdout as "cut DELAY: STATE"; ZU_CUT_STATES names a file that
# collects them too. ZU_FLASH_THROTTLE overrides the flash disk's throttling during the cut boot
# (run_guest.sh --flash-throttle).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
case_name=$1
image=$(cd "$2" && pwd)
label=$3
work=$(mktemp -d /tmp/zu-device-test-XXXXXX)
trap '[ -n "${ZU_KEEP_GUEST:-}" ] || rm -rf "$work"' EXIT INT TERM

mac=02:5a:75:00:01:02
model="ZU-R5300 v2"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# expect_file WHAT FILE EXPECTED-TEXT: the file holds exactly the text.
expect_file() {
    printf '%s' "$3" > "$work/expected"
    if ! cmp -s "$work/expected" "$2"; then
        fail "$1"
        diff -u "$work/expected" "$2" || true
    fi
}
# The boot script's exit status in a run's results.
boot_status() {
    awk '$1 == "S11zu-firstboot-password" { print $2 }' "$1/boot"
}
# new_scenario NAME [MODEL]: a scenario folder; no MODEL means no model file on the device.
new_scenario() {
    mkdir -p "$work/$1/files"
    if [ $# -gt 1 ]; then
        printf "model='%s'\n" "$2" > "$work/$1/env"
    else
        : > "$work/$1/env"
    fi
}
# boot NAME FLASH: one boot of the scenario NAME with flash image FLASH; results in $work/NAME.out.
# A boot that does not come to power-off is made once more from the flash as it was: on a busy
# host the emulated kernel has been seen to stall, once on the way to init before any program ran.
# What a boot must show is checked from its results, so a fault of ours fails both times.
boot() {
    if [ -e "$2" ]; then cp "$2" "$2.before"; else rm -f "$2.before"; fi
    if ! "$here/run_guest.sh" "$image" "$2" --mac "$mac" --scenario "$work/$1" \
        --results "$work/$1.out" --flash-kind "${ZU_FLASH_KIND:-jffs2}" --timeout 120; then
        echo "boot $1: no power-off; booting it once more from the flash as it was" >&2
        if [ -e "$2.before" ]; then cp "$2.before" "$2"; else rm -f "$2"; fi
        rm -rf "$work/$1.out"
        "$here/run_guest.sh" "$image" "$2" --mac "$mac" --scenario "$work/$1" \
            --results "$work/$1.out" --flash-kind "${ZU_FLASH_KIND:-jffs2}" --timeout 120 || return 1
    fi
    rm -f "$2.before"
    echo "boot $1: $(cat "$work/$1.out/wall-seconds") s to power-off"
}
# The firmware image's own /etc listing and shadow, for comparisons.
firmware_etc=$(ls -A "$image/rootfs/etc")
firmware_shadow="$image/rootfs/etc/shadow"
# mask_hashes FILE: the shadow file with the two provisioned password fields masked.
mask_hashes() {
    awk -F: -v OFS=: '($1 == "root" || $1 == "admin") { $2 = "<hash>" } { print }' "$1"
}
check_untouched_device() {
    cmp -s "$firmware_shadow" "$1/shadow" || fail "$2: /etc/shadow changed"
    expect_file "$2: /etc/shadow owner and mode" "$1/shadow.stat" "$(stat -c '/etc/shadow %a %u %g %s' "$firmware_shadow")
"
}

# check_shadow_state WHAT DIR: checks the device state collected in DIR (shadow, shadow.stat,
# etc.list) against what a power cut may leave, and names it in $state.
check_shadow_state() {
    unsound=0
    [ -f "$2/shadow" ] || { fail "$1: /etc/shadow is missing"; : > "$2/shadow"; unsound=1; }
    mask_hashes "$firmware_shadow" > "$work/state.before"
    mask_hashes "$2/shadow" > "$work/state.after"
    cmp -s "$work/state.before" "$work/state.after" ||
        { fail "$1: bytes beside the two hashes changed"; unsound=1; }
    [ "$(cut -d' ' -f2-4 "$2/shadow.stat")" = "$(stat -c '%a %u %g' "$firmware_shadow")" ] ||
        { fail "$1: /etc/shadow owner or mode changed: $(cat "$2/shadow.stat")"; unsound=1; }
    new=""
    for user in root admin; do
        if [ "$(grep "^$user:" "$2/shadow")" = "$(grep "^$user:" "$firmware_shadow")" ]; then
            continue
        elif "$label" --verify "$2/shadow" "$work/mac" "$work/model" "$user" >/dev/null; then
            new="$new $user"
        else
            fail "$1: $user's line is neither the old one nor the label password's hash"
            unsound=1
        fi
    done
    marker=0
    grep -qx '.zu-uid0-uid100-password-set' "$2/etc.list" && marker=1
    [ "$marker" = 0 ] || [ "$new" = " root admin" ] ||
        { fail "$1: marker without both new lines"; unsound=1; }
    if [ "$unsound" = 1 ]; then
        state=UNSOUND
    elif [ "$marker" = 1 ]; then
        state=done
    elif [ "$new" = " root admin" ]; then
        state="both new, no marker"
    elif [ -n "$new" ]; then
        state="${new# }'s line new"
    elif grep -qx 'shadow.zu-firstboot-password' "$2/etc.list"; then
        state="temporary file present"
    else
        state=untouched
    fi
}

case "$case_name" in
firstboot)
    new_scenario first "$model"
    printf 'cat /sys/class/net/eth0/address > $R/eth0-address\n' > "$work/first/after-boot"
    cat >> "$work/first/after-boot" <<'SH'
[ -x /usr/bin/bench_crypt_baseline ] && bench_crypt_baseline > $R/crypt-seconds
# What the boot script costs when the marker makes the program do nothing.
start=$(now)
/etc/rc.d/S11zu-firstboot-password boot
echo "$start $(now)" > $R/noop-boot
SH
    boot first "$work/flash.img"
    r="$work/first.out"
    expect_file "eth0 address is the NIC's" "$r/eth0-address" "$mac
"
    [ "$(boot_status "$r")" = 0 ] || fail "first boot: boot script exited $(boot_status "$r")"
    expect_file "first boot: nothing logged" "$r/messages" ""
    expect_file "first boot: /etc gains the marker only" "$r/etc.list" \
        "$(printf '%s\n.zu-uid0-uid100-password-set\n' "$firmware_etc" | LC_ALL=C sort)
"
    expect_file "first boot: /etc/shadow owner and mode" "$r/shadow.stat" \
        "$(stat -c '/etc/shadow %a %u %g' "$firmware_shadow") $(stat -c %s "$r/shadow")
"
    mask_hashes "$firmware_shadow" > "$work/shadow.before"
    mask_hashes "$r/shadow" > "$work/shadow.after"
    cmp -s "$work/shadow.before" "$work/shadow.after" ||
        { fail "first boot: bytes beside the two hashes changed"; diff -u "$work/shadow.before" "$work/shadow.after" || true; }
    printf '%s\n' "$mac" > "$work/mac"
    printf '%s\n' "$model" > "$work/model"
    "$label" --verify "$r/shadow" "$work/mac" "$work/model" root admin ||
        fail "first boot: stored hashes are not the label passwords'"
    for user in root admin; do
        grep -q "^$user:\$6\$[^:\$]\{16\}\\$" "$r/shadow" || fail "first boot: $user's field is not a salted \$6\$ hash"
    done
    awk '$1 == "S11zu-firstboot-password" { printf "first boot inside the guest: %.3f s\n", $4 - $3 }' "$r/boot"
    awk '{ printf "the same boot script with the marker present: %.3f s\n", $2 - $1 }' "$r/noop-boot"
    if [ -s "$r/crypt-seconds" ]; then
        echo "two bare crypt() calls inside the guest: $(cat "$r/crypt-seconds") s"
    fi

    # The next boot, same flash: the marker makes it do nothing.
    new_scenario second "$model"
    boot second "$work/flash.img"
    r2="$work/second.out"
    [ "$(boot_status "$r2")" = 0 ] || fail "next boot: boot script exited $(boot_status "$r2")"
    expect_file "next boot: nothing logged" "$r2/messages" ""
    cmp -s "$r/shadow" "$r2/shadow" || fail "next boot: /etc/shadow changed"
    cmp -s "$r/etc.list" "$r2/etc.list" || fail "next boot: /etc changed"
    ;;

upgrade)
    new_scenario upgrade "$model"
    echo "saved settings" > "$work/upgrade/files/sysupgrade.tgz"
    boot upgrade "$work/flash.img"
    r="$work/upgrade.out"
    [ "$(boot_status "$r")" = 0 ] || fail "upgrade boot: boot script exited $(boot_status "$r")"
    expect_file "upgrade boot: nothing logged" "$r/messages" ""
    check_untouched_device "$r" "upgrade boot"
    expect_file "upgrade boot: only the marker is created" "$r/upper.list" ".
./etc
./etc/.zu-uid0-uid100-password-set
./sysupgrade.tgz
"
    ;;

failures)
    # At boot: no model file. Then, by hand, a model but no password-database entry for uid 100.
    new_scenario failures
    grep -v '^admin:' "$here/rootfs/etc/passwd" > "$work/failures/passwd"
    cat > "$work/failures/after-boot" <<'SH'
echo 'ZU-R5300 v2' > /tmp/sysinfo/model
cp passwd /etc/passwd
/etc/init.d/zu-firstboot-password boot
echo "second run: exit $?"
cp /etc/shadow $R/shadow.after-second
SH
    boot failures "$work/flash.img"
    r="$work/failures.out"
    [ "$(boot_status "$r")" = 1 ] || fail "failures: boot script exited $(boot_status "$r")"
    expect_file "failures: second run" "$r/after-boot.out" "second run: exit 1
"
    # BusyBox syslogd's lines: time, host, facility.priority, identity[pid]: text.
    sed 's/^.* zu-router //; s/\[[0-9]*\]:/[PID]:/' "$r/messages" > "$work/messages"
    expect_file "failures: syslog lines" "$work/messages" \
        "auth.err zu-firstboot-password[PID]: failed to read /tmp/sysinfo/model
auth.err zu-firstboot-password[PID]: failed to resolve GUI uid 100 username
"
    check_untouched_device "$r" "failures"
    cmp -s "$firmware_shadow" "$r/shadow.after-second" || fail "failures: /etc/shadow changed"
    grep -qx '.zu-uid0-uid100-password-set' "$r/etc.list" && fail "failures: marker created"
    ;;

bundle)
    new_scenario bundle "$model"
    s="$work/bundle"
    cp "$here/bundle_cases.sh" "$s/after-boot"
    cp "$here/opkg" "$s/opkg"
    mkdir -p "$s/bundles" "$work/stage"
    # make_bundle ARCHIVE TOP FILE=CONTENT...: a bundle as a vendor would pack it.
    make_bundle() {
        archive=$1
        top=$2
        shift 2
        rm -rf "$work/stage"
        mkdir -p "$work/stage/$top"
        for entry in "$@"; do
            mkdir -p "$(dirname "$work/stage/$top/${entry%%=*}")"
            printf '%s' "${entry#*=}" > "$work/stage/$top/${entry%%=*}"
        done
        tar --sort=name --owner=0 --group=0 --numeric-owner -czf "$s/bundles/$archive" \
            -C "$work/stage" "$top"
    }
    make_bundle bundle.tar.gz bundle 'manifest.txt={"version":"1.2","order":["pkg-b.ipk","pkg-a.ipk"]}' \
        pkg-a.ipk=a pkg-b.ipk=b
    make_bundle three.tar.gz three 'manifest.txt={"order":["p1.ipk","p2.ipk","p3.ipk"]}' p1.ipk=one \
        p2.ipk=failing p3.ipk=three
    make_bundle fw-1.2.tar.gz fw-1.2 'meta/manifest.txt={"order":["sub/pkg-c.ipk"]}' sub/pkg-c.ipk=c
    boot bundle "$work/flash.img"
    b="$work/bundle.out/bundle"
    listing='bundle/
bundle/manifest.txt
bundle/pkg-a.ipk
bundle/pkg-b.ipk
'
    # expect_case CASE STATUS STDOUT STDERR OPKG-LOG
    expect_case() {
        expect_file "bundle $1: exit status" "$b/$1/status" "$2
"
        expect_file "bundle $1: standard output" "$b/$1/stdout" "$3"
        expect_file "bundle $1: standard error" "$b/$1/stderr" "$4"
        expect_file "bundle $1: opkg runs" "$b/$1/opkg.log" "$5"
    }
    expect_case success 0 "${listing}Found manifest file at: /tmp/update/bundle/manifest.txt
opkg: installing pkg-b.ipk
opkg: installing pkg-a.ipk
Update successful
" "" "[install][/tmp/update/bundle/pkg-b.ipk]
[install][/tmp/update/bundle/pkg-a.ipk]
"
    expect_case stop-at-failure 1 "three/
three/manifest.txt
three/p1.ipk
three/p2.ipk
three/p3.ipk
Found manifest file at: /tmp/update/three/manifest.txt
opkg: installing p1.ipk
opkg: installing p2.ipk
" "Failed to install p2.ipk
Update failed
" "[install][/tmp/update/three/p1.ipk]
[install][/tmp/update/three/p2.ipk]
"
    expect_case manifest-in-subdir 0 "fw-1.2/
fw-1.2/meta/
fw-1.2/meta/manifest.txt
fw-1.2/sub/
fw-1.2/sub/pkg-c.ipk
Found manifest file at: /tmp/update/fw-1.2/meta/manifest.txt
opkg: installing pkg-c.ipk
Update successful
" "" "[install][/tmp/update/fw-1.2/sub/pkg-c.ipk]
"
    expect_case no-shell 1 "" "system: No such file or directory
Failed to extract tar.gz file
" "<no opkg run>
"
    expect_case shell-goes 1 "${listing}Found manifest file at: /tmp/update/bundle/manifest.txt
opkg: installing pkg-b.ipk
" "system: No such file or directory
Failed to install pkg-a.ipk
Update failed
" "[install][/tmp/update/bundle/pkg-b.ipk]
"
    ;;
power-cuts)
    kind=${ZU_FLASH_KIND:-jffs2}
    printf '%s\n' "$mac" > "$work/mac"
    printf '%s\n' "$model" > "$work/model"
    # The flash every cut starts from: formatted and mounted once, by a boot that cannot provision
    # (no model), so the cut boot is the device's first provisioning.
    new_scenario prepare
    boot prepare "$work/prepared.img"
    [ "$(boot_status "$work/prepare.out")" = 1 ] || fail "prepare: boot script exited $(boot_status "$work/prepare.out")"
    new_scenario cut "$model"
    # The device goes on without a sync, as after a real boot: write-back runs on until the cut.
    echo 'sleep 10' > "$work/cut/after-boot"
    new_scenario check "$model"
    # What the device looks like as it comes back, before the boot scripts run.
    cat > "$work/check/before-boot" <<'SH'
mkdir -p $R/as-found
: > $R/as-found/up
cp /etc/shadow $R/as-found/shadow
stat -c '%n %a %u %g %s' /etc/shadow > $R/as-found/shadow.stat
ls -A /etc > $R/as-found/etc.list
SH
    new_scenario again "$model"
    cuts=0
    touched=0
    for delay in ${ZU_CUT_DELAYS:-0.3 0.6 0.9}; do
        rm -rf "$work/cut.out" "$work/check.out" "$work/again.out"
        cp "$work/prepared.img" "$work/flash.img"
        "$here/run_guest.sh" "$image" "$work/flash.img" --mac "$mac" --scenario "$work/cut" \
            --results "$work/cut.out" --flash-kind "$kind" --eager-writeback \
            --flash-throttle "${ZU_FLASH_THROTTLE:-iops-total=100}" \
            --cut "S11zu-firstboot-password boot: start" "$delay"
        if [ "$(cat "$work/cut.out/cut")" != cut ]; then
            state="late (powered off before the cut)"
        else
            boot check "$work/flash.img" >/dev/null 2>&1 || true
            if grep -q "preinit: cannot mount the $kind flash" "$work/check.out/console"; then
                # Write-back in page order can leave an image no flash would hold: the file
                # system's own artefact, counted apart and not judged.
                state="filesystem artefact (cannot mount)"
            elif [ ! -f "$work/check.out/as-found/up" ]; then
                fail "cut $delay: the device did not come back up"
                tail -n 20 "$work/check.out/console"
                state="no boot"
            else
                check_shadow_state "cut $delay" "$work/check.out/as-found"
                cuts=$((cuts + 1))
                [ "$state" = untouched ] || touched=$((touched + 1))
                r="$work/check.out"
                [ "$(boot_status "$r")" = 0 ] || fail "cut $delay: next boot's script exited $(boot_status "$r")"
                cut_state=$state
                check_shadow_state "cut $delay, next boot" "$r"
                [ "$state" = done ] || fail "cut $delay: the next boot did not finish the job"
                state=$cut_state
                boot again "$work/flash.img" >/dev/null
                [ "$(boot_status "$work/again.out")" = 0 ] || fail "cut $delay: the boot after exited $(boot_status "$work/again.out")"
                cmp -s "$r/shadow" "$work/again.out/shadow" || fail "cut $delay: the boot after changed /etc/shadow"
                cmp -s "$r/etc.list" "$work/again.out/etc.list" || fail "cut $delay: the boot after changed /etc"
            fi
        fi
        echo "cut $delay: $state"
        [ -z "${ZU_CUT_STATES:-}" ] || echo "$kind $delay $state" >> "$ZU_CUT_STATES"
    done
    # All untouched would prove nothing: the cuts must land inside the write-back.
    [ "$touched" -gt 0 ] || fail "power cuts: no cut of $cuts left anything but an untouched device"
    ;;
*)
    echo "device_test: unknown case $case_name" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "device_test $case_name: $failures check(s) failed; console of the last boot:"
    tail -n 30 "$(ls -td "$work"/*.out | head -n1)/console"
    exit 1
fi
echo "device_test $case_name: passed"
