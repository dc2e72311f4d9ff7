#!/bin/sh
# Checks what the shipped programs of a musl build ask of the device's loader. Dynamic: the musl
# loader as interpreter, and only musl's libc and json-c as libraries. Static: neither.
# Usage: check_musl_elf.sh BUILD_DIR dynamic|static
set -eu
build=$1
kind=$2
status=0
for program in "$build/firstboot_password/zu-firstboot-password" "$build/bundle_install/bundle-install"; do
    interpreter=$(readelf -l "$program" | sed -n 's/.*\[Requesting program interpreter: \(.*\)\]/\1/p')
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
    case "$kind" in
        dynamic)
            [ "$interpreter" = /lib/ld-musl-mipsel.so.1 ] || {
                echo "$program: interpreter '$interpreter', want /lib/ld-musl-mipsel.so.1" >&2
                status=1
            }
            case " $needed" in *" libc.so "*) ;; *) echo "$program: does not need musl's libc.so" >&2 && status=1 ;; esac
            for library in $needed; do
                case "$library" in
                    libc.so | libjson-c.so.[0-9]*) ;;
                    *) echo "$program: needs $library" >&2 && status=1 ;;
                esac
            done
            ;;
        static)
            [ -z "$interpreter$needed" ] || {
                echo "$program: interpreter '$interpreter', libraries '$needed'; want none" >&2
                status=1
            }
            ;;
        *) echo "usage: check_musl_elf.sh BUILD_DIR dynamic|static" >&2 && exit 2 ;;
    esac
done
exit $status
