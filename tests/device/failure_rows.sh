#!/bin/sh
# Runs in the guest after a boot that failed for want of a model file: the provisioner once for
# each failure a device can show, staged before the run and undone after it. A "row NAME" line in
# the system log goes before each run, so the host can tie each message to its row; each run's
# exit status, output and what it left go to $R/rows.
set -u
marker=/etc/.zu-uid0-uid100-password-set
long_name=$(printf 'a%.0s' $(seq 64))

# The firmware's own files and a model file: the device as a first boot would find it.
restore() {
    cp -p /rom/etc/shadow /etc/shadow
    cp -p /rom/etc/passwd /etc/passwd
    printf 'ZU-R5300 v2\n' > /tmp/sysinfo/model
    rm -f $marker
}
# run NAME [PREFIX...]: one run of the provisioner, under PREFIX (e.g. another user) if given.
run() {
    name=$1
    shift
    rm -f /tmp/staged
    [ ! -e /etc/shadow ] || cp /etc/shadow /tmp/staged
    logger -t zu-device "row $name"
    "$@" /usr/sbin/zu-firstboot-password > /tmp/row.out 2>&1
    status=$?
    if [ ! -e /etc/shadow ] && [ ! -e /tmp/staged ]; then
        shadow=kept
    elif cmp -s /etc/shadow /tmp/staged; then
        shadow=kept
    else
        shadow=changed
    fi
    if [ -e $marker ]; then m=marker; else m="no marker"; fi
    echo "$name: exit $status, output $(wc -c < /tmp/row.out) bytes, shadow $shadow, $m" >> $R/rows
}
as_nobody() { su -s /bin/sh nobody -c "$*"; }
# without_line FILE NAME: FILE without NAME's line.
without_line() {
    grep -v "^$2:" "$1" > /tmp/edited
    cat /tmp/edited > "$1"
}

restore
run not-root as_nobody

: > /tmp/sysupgrade.tar
mount -o remount,ro /
run upgrade-marker-read-only
mount -o remount,rw /
rm -f /tmp/sysupgrade.tar
restore

without_line /etc/passwd root
run no-uid0
restore

without_line /etc/passwd admin
run no-uid100
restore

sed -i 's/^admin:/:/' /etc/passwd
run empty-name-uid100
restore

sed -i "s/^admin:/$long_name:/" /etc/passwd
run long-name-uid100
restore

: > /tmp/empty
mount --bind /tmp/empty /sys/class/net/eth0/address
run empty-mac-file
umount /sys/class/net/eth0/address
restore

printf '\nZU-R5300 v2\n' > /tmp/sysinfo/model
run model-starts-with-line-end
restore

# A FIFO nobody writes must not hold the boot; restore would wait on it too, so it goes first.
rm /tmp/sysinfo/model
mkfifo /tmp/sysinfo/model
run model-is-a-fifo
rm /tmp/sysinfo/model
restore

rm /etc/shadow
run no-shadow
restore

without_line /etc/shadow admin
run shadow-without-uid100
restore

sed -i 's/^admin:.*/admin:!/' /etc/shadow
run malformed-uid100
restore

mkdir /etc/shadow.zu-firstboot-password
run temporary-path-is-a-folder
rmdir /etc/shadow.zu-firstboot-password
restore

# rename() cannot replace a mount point.
mount --bind /etc/shadow /etc/shadow
run shadow-is-a-mount-point
umount /etc/shadow
restore
exit 0
