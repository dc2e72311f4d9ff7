#!/bin/sh
# bundle-check on this machine against bundle-install on the emulated router, row by row over the
# bundles on which a build host's tar and BusyBox tar disagree: the exit status, the manifest taken
# and the commands run must be the same. Usage: check_agreement.sh IMAGE_DIR BUNDLE_CHECK
set -eu
here=$(cd "$(dirname "$0")" && pwd)
image=$(cd "$1" && pwd)
check=$2
zu_device_dir=$here
. "$here/common.sh"
work=$(zu_work_dir zu-agreement)
trap '[ -n "${ZU_KEEP_GUEST:-}" ] || rm -rf "$work"' EXIT INT TERM

# Both sides get the same argument, so the same base name and unpack command.
bundles="$work/bundles"
s="$work/scenario"
mkdir -p "$s"
python3 "$here/../bundle_install/odd_bundles.py" "$bundles"
# A bundle as bundle-pack makes it must install on the device too.
pack="$(dirname "$check")/bundle-pack"
mkdir "$work/packages"
printf 'a' > "$work/packages/base-files_2.ipk"
printf 'b' > "$work/packages/luci_3.ipk"
"$pack" -o "$bundles/packed.tar.gz" "$work/packages/base-files_2.ipk" "$work/packages/luci_3.ipk"
echo "packed-by-bundle-pack packed.tar.gz" >> "$bundles/cases"
cp -a "$bundles" "$s/bundles"
printf '%s\n' "$bundles" > "$s/bundle_dir"
printf "model='ZU-R5300 v2'\n" > "$s/env"
cp "$here/check_agreement_guest.sh" "$s/after-boot"

# The check runs as an ordinary user, as a bundle's maker would run it.
chmod 755 "$work" "$bundles"
while read -r name archive; do
    mkdir -p "$work/check/$name"
    status=0
    setpriv --reuid 65534 --regid 65534 --clear-groups "$check" "$bundles/$archive" \
        > "$work/check/$name/stdout" 2> "$work/check/$name/stderr" || status=$?
    echo "$status" > "$work/check/$name/status"
done < "$bundles/cases"

zu_guest_fresh "$image" "$work/flash.img" "$work/guest" --scenario "$s" --timeout 150
echo "guest: $(cat "$work/guest/wall-seconds") s to power-off"

failures=0
rows=0
while read -r name archive; do
    rows=$((rows + 1))
    c="$work/check/$name"
    d="$work/guest/agree/$name"
    if [ ! -f "$d/status" ]; then
        echo "FAIL $name: the device has no result"
        failures=$((failures + 1))
        continue
    fi
    sed -n 's/^Manifest: //p' "$c/stdout" > "$c/manifest"
    manifest=$(cat "$c/manifest")
    sed -n 's/^Found manifest file at: //p' "$d/stdout" > "$d/manifest"
    sed -n 's/^Command: //p' "$c/stdout" > "$c/commands"
    sed 's/^/opkg /' "$d/opkg.log" > "$d/commands"
    verdict="status $(cat "$c/status"), manifest ${manifest:-(none)}, $(wc -l < "$c/commands") commands"
    for what in status manifest commands; do
        if ! cmp -s "$c/$what" "$d/$what"; then
            echo "FAIL $name: $what differs (check, then device)"
            diff "$c/$what" "$d/$what" || true
            failures=$((failures + 1))
            verdict=
        fi
    done
    [ -z "$verdict" ] || echo "agree $name: $verdict"
done < "$bundles/cases"

if [ "$(cat "$work/guest/agree/packed-by-bundle-pack/status" 2>/dev/null)" != 0 ]; then
    echo "FAIL: the bundle bundle-pack made did not install on the device"
    failures=$((failures + 1))
fi
printf 'status 0\ndrwxr-xr-x 0\nstatus 0\ndrwxr-xr-x 0\n' > "$work/dot-twice.expected"
if ! cmp -s "$work/dot-twice.expected" "$work/guest/agree/dot-twice"; then
    echo "FAIL: the \"./\" bundle installed twice on the device (expected, then found):"
    diff "$work/dot-twice.expected" "$work/guest/agree/dot-twice" || true
    failures=$((failures + 1))
fi
[ "$rows" -gt 0 ] || { echo "FAIL: no bundles"; exit 1; }
[ "$failures" -eq 0 ] || { echo "$failures disagreements"; exit 1; }
echo "bundle-check and the device agree on $rows bundles"
