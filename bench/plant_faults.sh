#!/bin/sh
# Tests of the tests: plants realistic faults in a copy of this tree, one at a time, rebuilds the
# copy's musl build and its zu-factory-label (a fault in a shared routine reaches the host tool
# too), runs the named tests there and prints whether each fault was caught, and by which test.
# Not part of the test command: each fault costs a rebuild and minutes of emulated boots.
# Usage: bench/plant_faults.sh [TEST_REGEX]
#   TEST_REGEX  the tests to run, as for ctest -R (default: every device test of the dynamic
#               build but the UBIFS cuts)
# FAULTS: only the faults whose names match this grep pattern. RUNS: how many times the tests run
# for each fault (default 1), the count of runs that caught it printed. A first run without any
# fault must pass, else nothing is planted (NO_BASELINE=1 skips it). KEEP=1 keeps the copy.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
tests=${1:-'^device\.(clean|dynamic\.(elf|image|firstboot|upgrade|failures|bundle|power-cuts-jffs2))$'}
runs=${RUNS:-1}

# One fault a line: NAME @@ FILE @@ SED EXPRESSION. Lines of the same name are one fault with
# several edits; every edit must change its file, or the fault is reported as not planted.
faults() {
    cat <<'EOF'
the same salt every time @@ firstboot_password/shadow_hash.cpp @@ s/kSaltAlphabet\[byte & 0x3f\]/kSaltAlphabet[byte \& 0]/
both passwords on standard output @@ firstboot_password/firstboot.cpp @@ s/^\(\s*\)if (replace_shadow_password(&entry) != 0)/\1std::printf("%s\\n", entry.password.data());\n&/
/tmp/sysupgrade.tar ignored @@ firstboot_password/firstboot.cpp @@ s/ || access(kUpgradeTarPath, F_OK) == 0//
a failure message reworded @@ firstboot_password/shadow_file.cpp @@ s/failed to open temporary shadow file/failed to open the temporary shadow file/
the identifier's fields in another order @@ firstboot_password/device_password.cpp @@ /"%s|%s|%s",$/{n;s/mac_line, model_line, username/model_line, mac_line, username/}
the marker before the renames @@ firstboot_password/firstboot.cpp @@ s/^    for (const AccountEntry &entry : \*table) {/    if (create_completion_marker() != 0)\n        return -1;\n&/
the shadow file written in place @@ firstboot_password/shadow_file.cpp @@ s/open(kShadowTempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)/open(kShadowPath, O_WRONLY | O_TRUNC | O_CLOEXEC)/
the shadow file written in place @@ firstboot_password/shadow_file.cpp @@ s/rename(kShadowTempPath, kShadowPath) != 0/false/
the MAC line kept with its line end @@ firstboot_password/first_line.cpp @@ s/std::strcspn(buffer, "\\r\\n")/std::strcspn(buffer, "\\r")/
the mode of /etc/shadow not carried over @@ firstboot_password/shadow_file.cpp @@ s/ || fchmod(fd, st.st_mode & 0777) != 0//
the second account left as it was @@ firstboot_password/firstboot.cpp @@ s/if (replace_shadow_password(&entry) != 0)/if (entry.uid == 0 \&\& replace_shadow_password(\&entry) != 0)/
the marker made after a failure @@ firstboot_password/firstboot.cpp @@ s/^    int result = run_phases(&table);/&\n    if (result != 0)\n        (void)create_completion_marker();/
a success that logs @@ firstboot_password/firstboot.cpp @@ s/^    wipe(table.data(), sizeof table);/&\n    report_error("done");/
a salt of eight characters @@ firstboot_password/shadow_hash.cpp @@ s/^\(\s*\)setting\[at++\] = kSaltAlphabet/\1if (at < 11)\n\1    setting[at++] = kSaltAlphabet/
an upgrade boot that rewrites the passwords @@ firstboot_password/firstboot.cpp @@ s/if (access(kUpgradeArchivePath, F_OK) == 0 || /if (false \&\& /
a failed rename taken for success @@ firstboot_password/shadow_file.cpp @@ s/report_error("failed to replace %s", kShadowPath);/return 0;/
EOF
}

work=$(mktemp -d "${ZU_WORK_DIR:-/tmp}/zu-plant-faults-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
copy="$work/tree"
mkdir -p "$copy"
# The tree as it stands, edits not yet committed included, without its builds.
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
# The host tests' own broken copies patch these sources at configure time and refuse a source
# they no longer match: a planted fault must not stop the copy from configuring.
sed -i 's/message(FATAL_ERROR "A broken copy/message(WARNING "A broken copy/' \
    "$copy/tests/firstboot_password/CMakeLists.txt"
echo "plant_faults: configuring and building the copy in $copy"
(cd "$copy" && cmake --preset default >/dev/null && cmake --preset mipsel-musl >/dev/null) ||
    { echo "plant_faults: the copy does not configure" >&2; exit 1; }

# build: the musl build and the host's label tool, from the copy as it stands.
build() {
    cmake --build "$copy/build-mipsel-musl" -j 2 >"$work/build.log" 2>&1 &&
        cmake --build "$copy/build" -j 2 --target zu-factory-label >>"$work/build.log" 2>&1
}
# run_tests: prints the first test that failed, or nothing when all passed; the states the
# power cuts left go to $work/cuts.
run_tests() {
    (cd "$copy" && ctest --preset default -R "$tests" --stop-on-failure --output-on-failure) \
        >"$work/ctest.log" 2>&1 || true
    grep '^cut [0-9.]*: ' "$work/ctest.log" >> "$work/cuts" || true
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\).*/\1/p' "$work/ctest.log" | head -n1
}

if [ -z "${NO_BASELINE:-}" ]; then
    build || { tail -n 30 "$work/build.log"; echo "plant_faults: the copy does not build" >&2; exit 1; }
    failed=$(run_tests)
    if [ -n "$failed" ]; then
        tail -n 40 "$work/ctest.log"
        echo "plant_faults: $failed fails without any fault planted" >&2
        exit 1
    fi
    echo "plant_faults: no fault planted: the tests pass"
fi

faults | awk -F ' @@ ' '{ print $1 }' | uniq | grep -e "${FAULTS:-.}" > "$work/names" || true
printf '%-52s %s\n' "fault" "result"
status=0
while IFS= read -r name; do
    # Back to the tree as it is, then this fault's edits.
    for file in $(faults | awk -F ' @@ ' '{ print $2 }' | sort -u); do
        cp "$src/$file" "$copy/$file"
    done
    planted=1
    faults | awk -F ' @@ ' -v n="$name" '$1 == n { print $2 " " $3 }' > "$work/edits"
    while read -r file edit; do
        cp "$copy/$file" "$work/before"
        sed -i -e "$edit" "$copy/$file"
        cmp -s "$work/before" "$copy/$file" && planted=0
    done < "$work/edits"
    if [ "$planted" = 0 ]; then
        printf '%-52s %s\n' "$name" "NOT PLANTED (an edit matched nothing)"
        status=1
        continue
    fi
    if ! build; then
        printf '%-52s %s\n' "$name" "does not build"
        tail -n 5 "$work/build.log" | sed 's/^/    /'
        status=1
        continue
    fi
    caught=0
    by=""
    : > "$work/cuts"
    i=0
    while [ "$i" -lt "$runs" ]; do
        i=$((i + 1))
        failed=$(run_tests)
        if [ -n "$failed" ]; then
            caught=$((caught + 1))
            case " $by " in *" $failed "*) ;; *) by="${by:+$by }$failed" ;; esac
        fi
    done
    if [ "$caught" -eq 0 ]; then
        result="MISSED"
        status=1
    else
        result="caught by $by"
    fi
    [ "$runs" -eq 1 ] || result="$result ($caught of $runs runs)"
    printf '%-52s %s\n' "$name" "$result"
    # Where the cuts landed, when the tests cut the power (a passing run prints them too).
    sed 's/^/    /' "$work/cuts"
done < "$work/names"
# The copy's sources back as they were, so a kept copy is the tree itself.
for file in $(faults | awk -F ' @@ ' '{ print $2 }' | sort -u); do
    cp "$src/$file" "$copy/$file"
done
exit $status
