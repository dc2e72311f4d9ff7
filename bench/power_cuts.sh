#!/bin/sh
# A dense sweep of power cuts on the emulated router: first boots cut at stepped delays after the
# boot script starts, on JFFS2 and on UBIFS over UBI, each cut checked as the device comes back and
# then finishing the job (the power-cuts case of tests/device/device_test.sh). Prints each cut's
# state and, per flash kind, how many cuts left which state.
# Usage: bench/power_cuts.sh [MUSL_BUILD_DIR [LABEL_TOOL]]
#   MUSL_BUILD_DIR  the build whose programs the device runs (default build-mipsel-musl)
#   LABEL_TOOL      this machine's zu-factory-label (default build/firstboot_password/...)
# JFFS2_DELAYS and UBIFS_DELAYS override the delays (seconds); KINDS the flash kinds to cut;
# ZU_FLASH_THROTTLE the flash disk's throttling while cut (iops-write=10 stretches UBIFS's
# write-back over seconds, with delays up to 2 s, but then the disk can hold UBIFS's later
# writes without its earlier ones: images that mount yet no real flash holds, judged all the
# same, so such a sweep fails whatever the program does).
# Exits non-zero when a cut left a state that breaks the provisioner's promise.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-mipsel-musl}
label=${2:-build/firstboot_password/zu-factory-label}
label=$(cd "$(dirname "$label")" && pwd)/$(basename "$label")
# UBIFS writes its journal out within a few tenths of a second, JFFS2 over about a second.
jffs2_delays=${JFFS2_DELAYS:-$(seq 0.2 0.1 1.4)}
ubifs_delays=${UBIFS_DELAYS:-$(seq 0.04 0.03 0.4)}
work=$(mktemp -d /tmp/zu-power-cuts-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A signal ends the run: going on would write into a removed folder.
trap 'exit 130' INT
trap 'exit 143' TERM

tests/device/build_image.sh "$work/image" "$build" >/dev/null
status=0
for kind in ${KINDS:-jffs2 ubifs}; do
    eval "delays=\$${kind}_delays"
    echo "######## $kind"
    ZU_FLASH_KIND=$kind ZU_CUT_DELAYS=$delays ZU_CUT_STATES="$work/states" \
        sh tests/device/device_test.sh power-cuts "$work/image" "$label" > "$work/$kind.out" ||
        status=1
    grep -v '^boot ' "$work/$kind.out" || true
done
echo "######## cuts and the states they left"
awk '{ print $1 }' "$work/states" | sort | uniq -c | awk '{ printf "%s: %d cuts\n", $2, $1 }'
awk '{ kind = $1; $1 = ""; $2 = ""; sub(/^ +/, ""); n[kind "\t" $0]++ }
     END { for (s in n) print s "\t" n[s] }' "$work/states" | sort |
    awk -F '\t' '{ printf "  %s, %s: %d\n", $1, $2, $3 }'
exit $status
