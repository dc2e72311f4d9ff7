#!/bin/sh
# Runs in the guest after boot, behind the lines that put the stand-in opkg in /tmp/stub:
# bundle-install on the device's own BusyBox sh and tar, once per bundle in ./bundles. Each case's
# output, errors, exit status and the stub's log go to $R/bundle/CASE for the host to compare.
set -u
here=$(pwd)
mkdir -p /tmp/usb
cp "$here"/bundles/*.tar.gz /tmp/usb/

# run CASE DIR COMMAND...: one run from DIR with the stub first on the search path.
run() {
    name=$1
    dir=$2
    shift 2
    out="$R/bundle/$name"
    mkdir -p "$out"
    rm -rf /tmp/update /tmp/opkg.log
    (cd "$dir" && PATH=/tmp/stub:$PATH "$@") > "$out/stdout" 2> "$out/stderr"
    echo $? > "$out/status"
    cat /tmp/opkg.log > "$out/opkg.log" 2>/dev/null || echo "<no opkg run>" > "$out/opkg.log"
}

run success / bundle-install /tmp/usb/bundle.tar.gz
run stop-at-failure / bundle-install /tmp/usb/three.tar.gz
run manifest-in-subdir /tmp/usb bundle-install fw-1.2.tar.gz

# A root with the program and what it links, but no shell: system() cannot start one.
jail() {
    rm -rf "$1"
    mkdir -p "$1/usr/sbin" "$1/usr/lib" "$1/lib" "$1/tmp" "$1/bin"
    cp /usr/sbin/bundle-install "$1/usr/sbin/"
    [ -e /lib/ld-musl-mipsel.so.1 ] && cp /lib/ld-musl-mipsel.so.1 "$1/lib/"
    for lib in /usr/lib/libjson-c.so*; do [ -e "$lib" ] && cp -P "$lib" "$1/usr/lib/"; done
    cp /tmp/usb/bundle.tar.gz "$1/tmp/"
}
jail /tmp/noshell
run no-shell / chroot /tmp/noshell /usr/sbin/bundle-install /tmp/bundle.tar.gz

# The same root with BusyBox as its shell, until the first package's opkg takes the shell away.
jail /tmp/shellgoes
cp /bin/busybox /tmp/shellgoes/bin/busybox
for applet in sh mkdir tar gzip cat rm; do ln -s busybox "/tmp/shellgoes/bin/$applet"; done
cp "$here/opkg" /tmp/shellgoes/bin/opkg
printf 'rm -f /bin/sh\n' > /tmp/shellgoes/tmp/opkg-then
run shell-goes / chroot /tmp/shellgoes /bin/sh -c \
    'PATH=/bin; exec /usr/sbin/bundle-install /tmp/bundle.tar.gz'
cp /tmp/shellgoes/tmp/opkg.log "$R/bundle/shell-goes/opkg.log" 2>/dev/null
exit 0
