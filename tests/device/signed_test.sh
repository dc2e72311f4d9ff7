#!/bin/sh
# Signed bundles on the emulated router: a firmware carrying one public key (made here with
# signify-openbsd) installs a bundle signed by it and refuses a tampered, an unsigned and a
# foreign-signed one without creating /tmp/update; with the key folder gone an unsigned bundle
# installs again. Also prints the time to verify a 16 MiB bundle beside BusyBox sha512sum of it.
# Usage: signed_test.sh BUILD_DIR (a mipsel-musl build tree)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
zu_device_dir=$here
. "$here/common.sh"
work=$(zu_work_dir zu-signed-test)
trap '[ -n "${ZU_KEEP_GUEST:-}" ] || rm -rf "$work"' EXIT INT TERM


mkdir -p "$work/keys" "$work/sec" "$work/stage/bundle"
signify-openbsd -G -n -p "$work/trusted.pub" -s "$work/sec/trusted.sec"
signify-openbsd -G -n -p "$work/foreign.pub" -s "$work/sec/foreign.sec"
# The key number in lower-case hex, as the firmware names its key files.
key_number() { sed -n 2p "$1" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n'; }
cp "$work/trusted.pub" "$work/keys/$(key_number "$work/trusted.pub")"
sh "$here/build_image.sh" -k "$work/keys" "$work/image" "$build" >/dev/null

s="$work/scenario"
mkdir -p "$s/files" "$s/b"
printf '%s' '{"order":["pkg-a.ipk"]}' > "$work/stage/bundle/manifest.txt"
printf a > "$work/stage/bundle/pkg-a.ipk"
tar --sort=name --owner=0 --group=0 --numeric-owner -czf "$s/b/bundle.tar.gz" -C "$work/stage" bundle
sign() { signify-openbsd -S -s "$work/sec/$1.sec" -m "$2"; }
for name in tampered unsigned foreign; do
    cp "$s/b/bundle.tar.gz" "$s/b/$name.tar.gz"
done
sign trusted "$s/b/bundle.tar.gz"
sign trusted "$s/b/tampered.tar.gz"
# One bit of the gzip trailer's length field: tar may still unpack it, the signature must not pass.
size=$(stat -c %s "$s/b/tampered.tar.gz")
printf '\001' | dd of="$s/b/tampered.tar.gz" bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
sign foreign "$s/b/foreign.tar.gz"
# The scenario disk is small: the guest makes the same 16 MiB of zeros itself, and the hash
# functions take as long over zeros as over anything else.
head -c 16777216 /dev/zero > "$work/big.tar.gz"
sign trusted "$work/big.tar.gz"
cp "$work/big.tar.gz.sig" "$s/b/"
chmod 0644 "$s"/b/*

cat > "$s/after-boot" <<'EOF'
mkdir -p /tmp/stub /tmp/usb
printf '#!/bin/sh\nprintf "[%%s]" "$@" >> /tmp/opkg.log\necho >> /tmp/opkg.log\n' > /tmp/stub/opkg
chmod 755 /tmp/stub/opkg
cp b/* /tmp/usb/
head -c 16777216 /dev/zero > /tmp/usb/big.tar.gz
# run CASE [ARCHIVE]: one run; the archive is CASE.tar.gz unless named.
run() {
    out="$R/signed/$1"
    mkdir -p "$out"
    rm -rf /tmp/update /tmp/opkg.log
    PATH=/tmp/stub:$PATH bundle-install "/tmp/usb/${2:-$1}.tar.gz" > "$out/stdout" 2> "$out/stderr"
    echo $? > "$out/status"
    if [ -e /tmp/update ]; then echo yes; else echo no; fi > "$out/update-dir"
    cat /tmp/opkg.log > "$out/opkg.log" 2>/dev/null || echo "<no opkg run>" > "$out/opkg.log"
}
run bundle
run tampered
run unsigned
run foreign

# Verification alone: /tmp/update is a file, so the run ends right after the signature passed.
now() { adjtimex | awk '/time.tv_sec/ { s = $2 } /time.tv_usec/ { u = $2 } END { printf "%d.%06d\n", s, u }'; }
rm -rf /tmp/update
: > /tmp/update
for i in 1 2 3; do
    t0=$(now)
    bundle-install /tmp/usb/big.tar.gz > /dev/null 2> "$R/signed/big.stderr"
    t1=$(now)
    sha512sum /tmp/usb/big.tar.gz > /dev/null
    t2=$(now)
    echo "$t0 $t1 $t2" >> "$R/signed/times"
done
rm -f /tmp/update

# The same device without its key folder takes unsigned bundles as before.
rm -rf /etc/bundle-install/keys
run unsigned-without-keys unsigned
EOF

zu_guest_fresh "$work/image" "$work/flash.img" "$work/out" --scenario "$s" --timeout 300 --icount
r="$work/out/signed"
# expect_case CASE STATUS STDOUT STDERR OPKG-LOG UPDATE-DIR
expect_case() {
    expect_file "$1: exit status" "$r/$1/status" "$2
"
    expect_file "$1: standard output" "$r/$1/stdout" "$3"
    expect_file "$1: standard error" "$r/$1/stderr" "$4"
    expect_file "$1: opkg runs" "$r/$1/opkg.log" "$5"
    expect_file "$1: /tmp/update created" "$r/$1/update-dir" "$6
"
}
installed="bundle/
bundle/manifest.txt
bundle/pkg-a.ipk
Found manifest file at: /tmp/update/bundle/manifest.txt
Update successful
"
expect_case bundle 0 "$installed" "" "[install][/tmp/update/bundle/pkg-a.ipk]
" yes
expect_case tampered 1 "" "Signature does not verify: /tmp/usb/tampered.tar.gz
" "<no opkg run>
" no
expect_case unsigned 1 "" "Missing signature: /tmp/usb/unsigned.tar.gz.sig
" "<no opkg run>
" no
expect_case foreign 1 "" "No trusted key $(key_number "$work/foreign.pub") for signature: /tmp/usb/foreign.tar.gz.sig
" "<no opkg run>
" no
# The package folder is named after the archive, as ever.
expect_case unsigned-without-keys 0 "$installed" "" "[install][/tmp/update/unsigned/pkg-a.ipk]
" yes
expect_file "big: refused only for the update directory" "$r/big.stderr" \
    "Refusing unsafe update directory: /tmp/update
"
# Best of three of each, in the guest's instruction-counted clock.
awk '{ v = $2 - $1; h = $3 - $2; if (NR == 1 || v < bv) bv = v; if (NR == 1 || h < bh) bh = h }
     END { printf "16 MiB: verify %.3f s, sha512sum %.3f s, ratio %.2f\n", bv, bh, bv / bh }' \
    "$r/times"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "signed bundles: all checks passed"
