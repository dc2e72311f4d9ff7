#!/bin/sh
# Checks the firmware package recipe against what the built programs really are.
# Usage: check_package.sh RECIPE_DIR BUILD_DIR FIRSTBOOT_PROGRAM BUNDLE_PROGRAM
set -u
recipe_dir=$1 build_dir=$2 firstboot=$3 bundle=$4
makefile=$recipe_dir/Makefile
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for include in rules.mk package.mk cmake.mk; do
    grep -q "^include .*/$include\$" "$makefile" || fail "recipe does not include $include"
done
for var in PKG_NAME PKG_VERSION PKG_RELEASE PKG_LICENSE; do
    grep -q "^$var:=..*" "$makefile" || fail "recipe does not set $var"
done
# The firmware's own libubox, and no failure on warnings that a newer compiler adds.
for option in -DUSE_SYSTEM_LIBUBOX=ON -DZU_WERROR=OFF; do
    grep -q "^CMAKE_OPTIONS += .*$option" "$makefile" || fail "recipe does not pass $option"
done

# DEPENDS of one binary package, "" when it has none.
depends_of() {
    sed -n "/^define Package\/$1\$/,/^endef/p" "$makefile" | sed -n 's/^ *DEPENDS:=//p'
}
# NEEDED libraries of a program, one base name (up to ".so") per line.
needed_of() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sed 's/\.so.*//'
}
# The firmware package that provides a library; libc (with crypt, as musl has it) is implicit.
package_of() {
    case $1 in
        libc | ld-linux* | ld | libcrypt) echo "" ;;
        libjson-c) echo "+libjson-c" ;;
        libubox) echo "+libubox" ;;
        libblobmsg_json) echo "+libblobmsg-json" ;;
        libsodium) echo "+libsodium" ;;
        *) echo "unknown:$1" ;;
    esac
}

check_program() {
    name=$1 program=$2 expected=$3
    [ -f "$program" ] || { fail "$program is missing"; return; }
    declared=$(depends_of "$name")
    [ "$declared" = "$expected" ] || fail "$name DEPENDS is '$declared', expected '$expected'"
    for lib in $(needed_of "$program"); do
        case $lib in libstdc++ | libgcc_s) fail "$name needs $lib at run time" ;; esac
        dep=$(package_of "$lib")
        [ -z "$dep" ] && continue
        case " $declared " in
            *" $dep "*) ;;
            *) fail "$name needs $lib but its package does not depend on ${dep#unknown:}" ;;
        esac
    done
}
check_program zu-firstboot-password "$firstboot" ""
check_program bundle-install "$bundle" "+libubox +libblobmsg-json +libjson-c +libsodium"

init=$recipe_dir/files/zu-firstboot-password.init
sh -n "$init" || fail "boot script has a syntax error"
head -n 1 "$init" | grep -qx '#!/bin/sh /etc/rc.common' || fail "boot script is not an rc.common script"
grep -qx 'START=11' "$init" || fail "boot script does not start at 11"
grep -q '^boot()' "$init" || fail "boot script defines no boot()"
grep -Eq '^(start|stop|restart|reload)\(\)' "$init" && fail "boot script defines more than boot()"
grep -q '^	/usr/sbin/zu-firstboot-password$' "$init" || fail "boot() does not run the program in the foreground"
[ "$(cat "$recipe_dir/files/zu-firstboot-password.keep")" = "/etc/.zu-uid0-uid100-password-set" ] ||
    fail "keep.d file does not list the completion marker"

# The host tools never reach the firmware: the recipe builds without them and installs none.
tools="bundle-pack bundle-check zu-factory-label"
grep -q '^CMAKE_OPTIONS.*-DZU_TOOLS=OFF' "$makefile" || fail "recipe does not build with -DZU_TOOLS=OFF"
for tool in $tools; do
    grep -q -- "$tool" "$makefile" && fail "recipe mentions the host tool $tool"
done

# The install rules put both programs in /usr/sbin, and the host tools, when built, in /usr/bin.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
if cmake --install "$build_dir" --prefix "$stage/usr" >/dev/null; then
    for program in zu-firstboot-password bundle-install; do
        [ -x "$stage/usr/sbin/$program" ] || fail "install does not put $program in /usr/sbin"
    done
    # Host tools are built only where the build is for this machine.
    if grep -q '^ZU_TOOLS:BOOL=ON$' "$build_dir/CMakeCache.txt" &&
        ! grep -q '^CMAKE_TOOLCHAIN_FILE' "$build_dir/CMakeCache.txt"; then
        for tool in $tools; do
            [ -x "$stage/usr/bin/$tool" ] || fail "install does not put $tool in /usr/bin"
        done
    fi
else
    fail "cmake --install failed"
fi

[ "$failures" -eq 0 ] && echo "package recipe matches the programs"
[ "$failures" -eq 0 ]
