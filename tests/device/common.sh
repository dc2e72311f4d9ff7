# What the device tests and the demo both put on the emulated router, sourced by both:
# scenario folders, the boot script's name, the stand-in opkg and how a bundle is packed.
# Expects zu_device_dir to name tests/device.

# The boot script's link in /etc/rc.d, from the START the package's boot script carries.
zu_boot_script="S$(sed -n 's/^START=\([0-9]*\)$/\1/p' \
    "$zu_device_dir/../../packaging/openwrt/files/zu-firstboot-password.init")zu-firstboot-password"

# zu_work_dir NAME: a fresh folder for one run. Under $ZU_WORK_DIR when set (the device tests set
# it inside the build tree, whose clean-up test removes what a killed run left), else /tmp.
zu_work_dir() {
    mkdir -p "${ZU_WORK_DIR:-/tmp}"
    mktemp -d "${ZU_WORK_DIR:-/tmp}/$1-XXXXXX"
}

# zu_scenario DIR [MODEL]: an empty scenario folder; no MODEL means no model file on the device.
zu_scenario() {
    mkdir -p "$1/files"
    if [ $# -gt 1 ]; then
        printf "model='%s'\n" "$2" > "$1/env"
    else
        : > "$1/env"
    fi
}

# zu_scenario_opkg DIR: the stand-in opkg in the scenario as ./opkg; the guest installs it with
# the lines of zu_guest_opkg.
zu_scenario_opkg() {
    cp "$zu_device_dir/opkg" "$1/opkg"
}
zu_guest_opkg='mkdir -p /tmp/stub && cp opkg /tmp/stub/opkg && chmod 755 /tmp/stub/opkg'

# zu_pack_bundle ARCHIVE STAGE TOP: STAGE/TOP packed as a vendor packs a bundle (names sorted,
# owned by root), so the listing bundle-install prints is the same on every machine.
zu_pack_bundle() {
    tar --sort=name --owner=0 --group=0 --numeric-owner -czf "$1" -C "$2" "$3"
}

# zu_boot_status RESULTS: the provisioner's boot script's exit status in a run's results.
zu_boot_status() {
    awk -v s="$zu_boot_script" '$1 == s { print $2 }' "$1/boot"
}

# zu_guest_fresh IMAGE FLASH RESULTS RUN_GUEST_ARGS...: one boot from fresh flash, made once more
# from fresh flash when it does not power off (the emulated kernel has been seen to stall on a
# busy host); a fault of ours fails both times.
zu_guest_fresh() {
    zu_g_image=$1
    zu_g_flash=$2
    zu_g_results=$3
    shift 3
    rm -rf "$zu_g_flash" "$zu_g_results"
    "$zu_device_dir/run_guest.sh" "$zu_g_image" "$zu_g_flash" --results "$zu_g_results" "$@" &&
        return 0
    echo "the boot did not finish; booting it once more from fresh flash" >&2
    rm -rf "$zu_g_flash" "$zu_g_results"
    "$zu_device_dir/run_guest.sh" "$zu_g_image" "$zu_g_flash" --results "$zu_g_results" "$@"
}

# The tests' verdicts: fail WHAT counts a failure; expect_file WHAT FILE TEXT fails unless FILE
# holds exactly TEXT. Both need $work.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
expect_file() {
    printf '%s' "$3" > "$work/expected"
    if ! cmp -s "$work/expected" "$2"; then
        fail "$1"
        diff -u "$work/expected" "$2" || true
    fi
}
