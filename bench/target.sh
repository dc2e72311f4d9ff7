# Sourced by the bench scripts with the program's path in $program: a cross-built mipsel program
# runs under qemu-mipsel and is measured with the cross binutils.
emulator="" tools=""
if readelf -h "$program" | grep -q 'Machine:.*MIPS'; then
    emulator="qemu-mipsel -L /usr/mipsel-linux-gnu"
    tools="mipsel-linux-gnu-"
fi
machine=$(readelf -h "$program" | sed -n 's/.*Machine: *//p')
