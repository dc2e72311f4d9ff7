#!/bin/sh
# Device tests: boot the emulated router built by build_image.sh and check from this machine what
# the programs did on it. Usage: device_test.sh CASE IMAGE_DIR LABEL_TOOL
#   CASE: firstboot | upgrade | failures | bundle | power-cuts
# LABEL_TOOL is this machine's build of zu-factory-label (the label passwords and their check).
# ZU_FLASH_KIND=ubifs puts the writable layer on UBIFS over UBI instead of JFFS2.
# ZU_BOOT_TIMEOUT: seconds one boot may take before it is made once more (default 90).
# power-cuts: cuts the power during first boots, each cut's device checked as it comes back up,
# then it must finish the job. The cuts are placed from the guest's own report of when the boot
# script starts and ends, closing in on the moment the writes begin (see next_delay), ZU_CUTS of
# them (default 6) as long as ZU_CUT_BUDGET seconds (default 1500) cover one
# more cut's worst case; ZU_CUT_DELAYS (seconds after the boot script starts, a list) places them
# by hand instead. Each cut's state goes to stdout as "cut DELAY: STATE"; ZU_CUT_STATES names a
# file that collects them too. ZU_FLASH_THROTTLE overrides the flash disk's throttling during the
# cut boot (run_guest.sh --flash-throttle).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
zu_device_dir=$here
. "$here/common.sh"
case_name=$1
image=$(cd "$2" && pwd)
label=$3
boot_timeout=${ZU_BOOT_TIMEOUT:-90}
work=$(zu_work_dir zu-device-test)
guest_pid=
trap '[ -n "${ZU_KEEP_GUEST:-}" ] || rm -rf "$work"' EXIT
# A signal ends the guest in hand and then this script: its work folder is gone after it.
on_signal() {
    if [ -n "$guest_pid" ]; then
        kill -TERM "$guest_pid" 2>/dev/null || true
        wait "$guest_pid" 2>/dev/null || true
    fi
    exit "$1"
}
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
# guest ARGS...: run_guest.sh, waited for in the background: the shell runs a trap only once a
# foreground child has ended, and a boot may take minutes.
guest() {
    "$here/run_guest.sh" "$@" &
    guest_pid=$!
    guest_status=0
    wait "$guest_pid" || guest_status=$?
    guest_pid=
    return "$guest_status"
}

mac=02:5a:75:00:01:02
model="ZU-R5300 v2"
# The label passwords of this MAC and model, worked out once apart from this tree's code (Python's
# hashlib: SHA-256 of "MAC|model|user", as a big-endian number in base 62, the first 16 digits):
# a changed derivation cannot agree with itself here as it does with zu-factory-label.
known_password() {
    case "$1" in
    root) echo vrjVaKClJDgVD5UB ;;
    admin) echo xahxVg64c1Ddf9yV ;;
    esac
}
boot_status() { zu_boot_status "$1"; }
# new_scenario NAME [MODEL]
new_scenario() {
    name=$1
    shift
    zu_scenario "$work/$name" "$@"
}
# boot NAME FLASH: one boot of the scenario NAME with flash image FLASH; results in $work/NAME.out.
# A boot that does not come to power-off is made once more from the flash as it was: on a busy
# host the emulated kernel has been seen to stall, once on the way to init before any program ran.
# What a boot must show is checked from its results, so a fault of ours fails both times.
boot() {
    if [ -e "$2" ]; then cp "$2" "$2.before"; else rm -f "$2.before"; fi
    if ! guest "$image" "$2" --mac "$mac" --scenario "$work/$1" --results "$work/$1.out" \
        --flash-kind "${ZU_FLASH_KIND:-jffs2}" --timeout "$boot_timeout" 2> "$work/$1.err"; then
        echo "boot $1: failed; what it showed:" >&2
        cat "$work/$1.err" >&2
        echo "boot $1: booting it once more from the flash as it was" >&2
        if [ -e "$2.before" ]; then cp "$2.before" "$2"; else rm -f "$2"; fi
        rm -rf "$work/$1.out"
        guest "$image" "$2" --mac "$mac" --scenario "$work/$1" --results "$work/$1.out" \
            --flash-kind "${ZU_FLASH_KIND:-jffs2}" --timeout "$boot_timeout" || return 1
    fi
    rm -f "$2.before"
    echo "boot $1: $(cat "$work/$1.out/wall-seconds") s to power-off"
}
# quiet_boot WHAT DIR: the boot script printed nothing: the program writes only to syslog.
quiet_boot() {
    expect_file "$1: the boot script's standard output" "$2/$zu_boot_script.stdout" ""
    expect_file "$1: the boot script's standard error" "$2/$zu_boot_script.stderr" ""
}
# The firmware image's own /etc listing and shadow, for comparisons.
firmware_etc=$(ls -A "$image/rootfs/etc")
firmware_shadow="$image/rootfs/etc/shadow"
printf '%s\n' "$mac" > "$work/mac"
printf '%s\n' "$model" > "$work/model"
# mask_hashes FILE: the shadow file with the two provisioned password fields masked.
mask_hashes() {
    awk -F: -v OFS=: '($1 == "root" || $1 == "admin") { $2 = "<hash>" } { print }' "$1"
}
# password_field FILE USER
password_field() {
    awk -F: -v u="$2" '$1 == u { print $2; exit }' "$1"
}
# known_hash FILE USER: the user's stored field is the SHA-512 crypt of the known label password
# with the stored salt, computed by openssl (not by anything built here).
known_hash() {
    field=$(password_field "$1" "$2")
    salt=$(printf '%s' "$field" | cut -d'$' -f3)
    [ "$(openssl passwd -6 -salt "$salt" "$(known_password "$2")")" = "$field" ]
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
        elif known_hash "$2/shadow" "$user"; then
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


# salt FILE USER: the salt of the user's stored hash.
salt() {
    password_field "$1" "$2" | cut -d'$' -f3
}
# check_first_boot WHAT DIR: a first boot's results: the job done, quietly, and nothing else.
check_first_boot() {
    [ "$(boot_status "$2")" = 0 ] || fail "$1: boot script exited $(boot_status "$2")"
    quiet_boot "$1" "$2"
    expect_file "$1: nothing logged" "$2/messages" ""
    expect_file "$1: /etc gains the marker only" "$2/etc.list" \
        "$(printf '%s\n.zu-uid0-uid100-password-set\n' "$firmware_etc" | LC_ALL=C sort)
"
    expect_file "$1: /etc/shadow owner and mode" "$2/shadow.stat" \
        "$(stat -c '/etc/shadow %a %u %g' "$firmware_shadow") $(stat -c %s "$2/shadow")
"
    mask_hashes "$firmware_shadow" > "$work/shadow.before"
    mask_hashes "$2/shadow" > "$work/shadow.after"
    cmp -s "$work/shadow.before" "$work/shadow.after" ||
        { fail "$1: bytes beside the two hashes changed"; diff -u "$work/shadow.before" "$work/shadow.after" || true; }
    "$label" --verify "$2/shadow" "$work/mac" "$work/model" root admin >/dev/null ||
        fail "$1: zu-factory-label does not verify the stored hashes"
    for user in root admin; do
        # "$6$", 16 salt characters of the 64-character alphabet, "$", the hash proper.
        password_field "$2/shadow" $user | grep -q '^\$6\$[./0-9A-Za-z]\{16\}\$[./0-9A-Za-z]\{86\}$' ||
            fail "$1: $user's field is not a salted \$6\$ hash"
        known_hash "$2/shadow" $user || fail "$1: $user's hash is not of the known label password"
    done
    [ "$(salt "$2/shadow" root)" != "$(salt "$2/shadow" admin)" ] || fail "$1: both accounts have one salt"
}

case "$case_name" in
firstboot)
    # The label passwords this machine's tool prints are the known ones.
    "$label" "$work/mac" "$work/model" root admin > "$work/label" || fail "zu-factory-label failed"
    expect_file "zu-factory-label: label passwords" "$work/label" "root $(known_password root)
admin $(known_password admin)
"
    new_scenario first "$model"
    printf 'cat /sys/class/net/eth0/address > $R/eth0-address\n' > "$work/first/after-boot"
    cat >> "$work/first/after-boot" <<'SH'
[ -x /usr/bin/bench_crypt_baseline ] && bench_crypt_baseline > $R/crypt-seconds
# What the boot script costs when the marker makes the program do nothing.
start=$(now)
/etc/rc.d/S*zu-firstboot-password boot
echo "$start $(now)" > $R/noop-boot
SH
    boot first "$work/flash.img"
    r="$work/first.out"
    expect_file "eth0 address is the NIC's" "$r/eth0-address" "$mac
"
    check_first_boot "first boot" "$r"
    awk -v s="$zu_boot_script" '$1 == s { printf "first boot inside the guest: %.3f s\n", $4 - $3 }' "$r/boot"
    awk '{ printf "the same boot script with the marker present: %.3f s\n", $2 - $1 }' "$r/noop-boot"
    if [ -s "$r/crypt-seconds" ]; then
        echo "two bare crypt() calls inside the guest: $(cat "$r/crypt-seconds") s"
    fi

    # The next boot, same flash: the marker makes it do nothing.
    new_scenario second "$model"
    boot second "$work/flash.img"
    r2="$work/second.out"
    [ "$(boot_status "$r2")" = 0 ] || fail "next boot: boot script exited $(boot_status "$r2")"
    quiet_boot "next boot" "$r2"
    expect_file "next boot: nothing logged" "$r2/messages" ""
    cmp -s "$r/shadow" "$r2/shadow" || fail "next boot: /etc/shadow changed"
    cmp -s "$r/etc.list" "$r2/etc.list" || fail "next boot: /etc changed"

    # Another device's first boot, same MAC and model: same passwords, fresh salts.
    new_scenario other "$model"
    boot other "$work/other.img"
    check_first_boot "another first boot" "$work/other.out"
    for a in root admin; do
        for b in root admin; do
            [ "$(salt "$r/shadow" $a)" != "$(salt "$work/other.out/shadow" $b)" ] ||
                fail "another first boot: $b's salt repeats $a's of the first"
        done
    done
    ;;

upgrade)
    # Either upgrade file alone means an upgrade: only the marker is created.
    for file in sysupgrade.tgz tmp/sysupgrade.tar; do
        rm -rf "$work/upgrade" "$work/upgrade.out" "$work/flash.img"
        new_scenario upgrade "$model"
        mkdir -p "$work/upgrade/files/tmp"
        echo "saved settings" > "$work/upgrade/files/$file"
        boot upgrade "$work/flash.img"
        r="$work/upgrade.out"
        [ "$(boot_status "$r")" = 0 ] || fail "upgrade boot, /$file: boot script exited $(boot_status "$r")"
        quiet_boot "upgrade boot, /$file" "$r"
        expect_file "upgrade boot, /$file: nothing logged" "$r/messages" ""
        check_untouched_device "$r" "upgrade boot, /$file"
        # /tmp is the device's tmpfs, not flash.
        printf '.\n./etc\n./etc/.zu-uid0-uid100-password-set\n' > "$work/upper.list"
        case $file in tmp/*) ;; *) echo "./$file" >> "$work/upper.list" ;; esac
        cmp -s "$work/upper.list" "$r/upper.list" ||
            { fail "upgrade boot, /$file: more than the marker created"; diff -u "$work/upper.list" "$r/upper.list" || true; }
    done
    ;;

failures)
    # At boot: no model file. Then each failure a device can show, staged by failure_rows.sh.
    new_scenario failures
    cp "$here/failure_rows.sh" "$work/failures/after-boot"
    boot failures "$work/flash.img"
    r="$work/failures.out"
    [ "$(boot_status "$r")" = 1 ] || fail "failures: boot script exited $(boot_status "$r")"
    quiet_boot "failures" "$r"
    expect_file "failures: the rows' runs" "$r/rows" "not-root: exit 1, output 0 bytes, shadow kept, no marker
upgrade-marker-read-only: exit 1, output 0 bytes, shadow kept, no marker
no-uid0: exit 1, output 0 bytes, shadow kept, no marker
no-uid100: exit 1, output 0 bytes, shadow kept, no marker
empty-name-uid100: exit 1, output 0 bytes, shadow kept, no marker
long-name-uid100: exit 1, output 0 bytes, shadow kept, no marker
empty-mac-file: exit 1, output 0 bytes, shadow kept, no marker
model-starts-with-line-end: exit 1, output 0 bytes, shadow kept, no marker
model-is-a-fifo: exit 1, output 0 bytes, shadow kept, no marker
no-shadow: exit 1, output 0 bytes, shadow kept, no marker
shadow-without-uid100: exit 1, output 0 bytes, shadow changed, no marker
malformed-uid100: exit 1, output 0 bytes, shadow changed, no marker
temporary-path-is-a-folder: exit 1, output 0 bytes, shadow kept, no marker
shadow-is-a-mount-point: exit 1, output 0 bytes, shadow kept, no marker
"
    # BusyBox syslogd's lines: time, host, facility.priority, identity[pid]: text. su logs its
    # own switch to nobody.
    sed 's/^.* zu-router //; s/\[[0-9]*\]:/[PID]:/; / su: /d' "$r/messages" > "$work/messages"
    p="auth.err zu-firstboot-password[PID]:"
    expect_file "failures: syslog lines" "$work/messages" "$p failed to read /tmp/sysinfo/model
user.notice zu-device: row not-root
$p must run as root
user.notice zu-device: row upgrade-marker-read-only
$p failed to create firstboot marker during sysupgrade
user.notice zu-device: row no-uid0
$p failed to resolve CLI uid 0 username
user.notice zu-device: row no-uid100
$p failed to resolve GUI uid 100 username
user.notice zu-device: row empty-name-uid100
$p failed to resolve GUI uid 100 username
user.notice zu-device: row long-name-uid100
$p GUI uid 100 username is too long
user.notice zu-device: row empty-mac-file
$p failed to read /sys/class/net/eth0/address
user.notice zu-device: row model-starts-with-line-end
$p failed to read /tmp/sysinfo/model
user.notice zu-device: row model-is-a-fifo
$p failed to read /tmp/sysinfo/model
user.notice zu-device: row no-shadow
$p failed to read /etc/shadow
user.notice zu-device: row shadow-without-uid100
$p GUI uid 100 user entry not found in /etc/shadow
user.notice zu-device: row malformed-uid100
$p GUI uid 100 user shadow entry is malformed
user.notice zu-device: row temporary-path-is-a-folder
$p failed to open temporary shadow file
user.notice zu-device: row shadow-is-a-mount-point
$p failed to replace /etc/shadow
"
    check_untouched_device "$r" "failures"
    grep -qx '.zu-uid0-uid100-password-set' "$r/etc.list" && fail "failures: marker created"
    ;;

bundle)
    new_scenario bundle "$model"
    s="$work/bundle"
    zu_scenario_opkg "$s"
    { printf '%s\n' "$zu_guest_opkg"; cat "$here/bundle_cases.sh"; } > "$s/after-boot"
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
        zu_pack_bundle "$s/bundles/$archive" "$work/stage" "$top"
    }
    make_bundle bundle.tar.gz bundle 'manifest.txt={"version":"1.2","order":["pkg-b.ipk","pkg-a.ipk"]}' \
        pkg-a.ipk=a pkg-b.ipk=b
    make_bundle three.tar.gz three 'manifest.txt={"order":["p1.ipk","p2.ipk","p3.ipk"]}' p1.ipk=one \
        p2.ipk=failing p3.ipk=three
    make_bundle fw-1.2.tar.gz fw-1.2 'meta/manifest.txt={"order":["sub/pkg-c.ipk"]}' sub/pkg-c.ipk=c
    boot bundle "$work/flash.img"
    quiet_boot "bundle" "$work/bundle.out"
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
    started=$(date +%s)
    # The flash every cut starts from: formatted and mounted once, by a boot that cannot provision
    # (no model), so the cut boot is the device's first provisioning.
    new_scenario prepare
    boot prepare "$work/prepared.img"
    [ "$(boot_status "$work/prepare.out")" = 1 ] || fail "prepare: boot script exited $(boot_status "$work/prepare.out")"
    # cut_boot SCENARIO FLASH [--cut TEXT DELAY]: a boot as the cut ones are made, the flash's
    # write-back spread over time.
    cut_boot() {
        scenario=$1
        flash=$2
        shift 2
        rm -rf "$work/$scenario.out"
        guest "$image" "$flash" --mac "$mac" --scenario "$work/$scenario" \
            --results "$work/$scenario.out" --flash-kind "$kind" --eager-writeback \
            --flash-throttle "${ZU_FLASH_THROTTLE:-iops-total=100}" --timeout "$boot_timeout" "$@"
    }
    # The guest's own clock says how long the job takes from the boot script's start to its end,
    # in one boot made as the cut ones are, but not cut.
    new_scenario measure "$model"
    measured=0
    for attempt in 1 2; do
        cp "$work/prepared.img" "$work/flash.img"
        if cut_boot measure "$work/flash.img"; then
            measured=1
            break
        fi
    done
    [ "$measured" = 1 ] || { fail "power cuts: the measuring boot did not power off"; exit 1; }
    check_shadow_state "the measuring boot" "$work/measure.out"
    [ "$state" = done ] || fail "the measuring boot did not finish the job"
    job=$(tr -d '\r' < "$work/measure.out/console" | awk -v s="$zu_boot_script" '
        $1 == "init:" && $3 == s && $5 == "start" { start = $2 }
        $1 == "init:" && $3 == s && $5 == "exit" { end = $2 }
        END { if (start != "" && end != "") printf "%.3f\n", end - start }')
    [ -n "$job" ] || { fail "power cuts: no start and end of the boot script on the console"; exit 1; }
    echo "power cuts: the boot script ran $job s in the guest"
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
    # Each probe: its delay and the kind of state the cut left (before, between, done). The job's
    # two ends seed the search: nothing has happened at its start, all of it at its end.
    printf '0 before\n%s done\n' "$job" > "$work/probes"
    # next_delay: in the guest's seconds, the middle of the gap where the writes begin (the last
    # untouched cut before the first touched one): the states a faulty writer leaves lie there,
    # and a cut's own jitter spreads the cuts around it. Once that gap is a few milliseconds
    # wide, the middle of the widest gap that may hide a state of its own.
    next_delay() {
        sort -n "$work/probes" | awk '
            NR > 1 && kind == "before" && $2 != "before" && !edge {
                edge = 1; if ($1 - at > 0.005) start = (at + $1) / 2 }
            NR > 1 && !($2 == kind && kind != "between") && $1 - at > widest {
                widest = $1 - at; middle = (at + $1) / 2 }
            { at = $1; kind = $2 }
            END {
                if (start != "") printf "%.3f\n", start
                else if (widest > 0) printf "%.3f\n", middle
            }'
    }
    # One cut's worst case: the cut boot, and the two boots after it with a retry each.
    worst=$((5 * boot_timeout))
    budget=${ZU_CUT_BUDGET:-1500}
    cuts=0
    touched=0
    n=0
    set -- ${ZU_CUT_DELAYS:-}
    while :; do
        if [ -n "${ZU_CUT_DELAYS:-}" ]; then
            [ $# -gt 0 ] || break
            delay=$1
            shift
        else
            [ "$n" -lt "${ZU_CUTS:-6}" ] || break
            delay=$(next_delay)
            [ -n "$delay" ] || break
        fi
        if [ $(($(date +%s) - started + worst)) -gt "$budget" ]; then
            echo "power cuts: stopping after $n cuts, another could outlast the $budget s budget"
            break
        fi
        n=$((n + 1))
        rm -rf "$work/check.out" "$work/again.out"
        cp "$work/prepared.img" "$work/flash.img"
        if ! cut_boot cut "$work/flash.img" --cut "$zu_boot_script boot: start" "$delay"; then
            fail "cut $delay: the boot to be cut failed"
            state="no boot"
        elif [ "$(cat "$work/cut.out/cut")" != cut ]; then
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
                case "$state" in
                untouched) echo "$delay before" >> "$work/probes" ;;
                done) echo "$delay done" >> "$work/probes" ;;
                *)
                    echo "$delay between" >> "$work/probes"
                    touched=$((touched + 1))
                    ;;
                esac
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
    # Only a cut inside the job proves anything: one that left the device untouched or done
    # shows no more than an uncut boot does.
    [ "$touched" -gt 0 ] ||
        fail "power cuts: none of $cuts cuts left a state between an untouched device and a done one"
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
