#!/bin/sh
# Builds the device's C library (musl), json-c and libsodium for mipsel from Debian's source
# packages, with Debian's mipsel-linux-gnu cross compiler, into a sysroot in the cache. Debian's own
# musl-dev binary lacks crypt(); the upstream sources in its source package still have it.
# Prints the sysroot's path; reused while the source versions and these build recipes are the same.
# The machine's apt configuration is left alone: the source index lives in the cache too.
set -eu
cache="${ZU_CACHE_DIR:-/var/cache/zu-firmware-tools}"
here=$(cd "$(dirname "$0")" && pwd)
toolchain="$here/../cmake/mipsel-musl.cmake"
sysroot="$cache/musl-sysroot"
jobs="${ZU_JOBS:-2}"

apt_dir="$cache/apt-src"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"

# The private source list names the archives this machine's apt already uses (its mirror, its
# suites, its keys), turned into source entries: a mirror works here as well, and apt.conf's proxy
# applies because only the list is replaced. Files are found where apt itself looks for them.
eval "$(apt-config shell machine_list Dir::Etc::SourceList/f machine_parts Dir::Etc::SourceParts/d)"
: > "$apt_dir/sources.list.new"
: > "$apt_dir/machine.sources.new"
for f in "${machine_list:-/etc/apt/sources.list}" "${machine_parts:-/etc/apt/sources.list.d/}"*.list; do
    [ -f "$f" ] || continue
    # One-line form: "deb [options] URI suite components"; arch= does not apply to sources.
    sed -n -e 's/^[[:space:]]*deb\(-src\)\{0,1\}[[:space:]]/deb-src /' \
        -e 's/\([[[:space:]]\)arch[-+]\{0,1\}=[^][:space:]]*/\1/g' -e '/^deb-src /p' "$f" \
        >> "$apt_dir/sources.list.new"
done
for f in "${machine_parts:-/etc/apt/sources.list.d/}"*.sources; do
    [ -f "$f" ] || continue
    # deb822 form: every stanza becomes a source stanza; Enabled, Signed-By and the rest stay.
    awk 'tolower($1) == "types:" { print "Types: deb-src"; next }
         tolower($1) ~ /^architectures(-add|-remove)?:$/ { next }
         { print }
         END { print "" }' "$f" >> "$apt_dir/machine.sources.new"
done
if ! grep -q '^deb-src ' "$apt_dir/sources.list.new" &&
    ! grep -qi '^types: deb-src' "$apt_dir/machine.sources.new"; then
    echo "musl_sysroot: no archive in this machine's apt configuration" >&2
    exit 1
fi
# Archives that changed are indexed afresh rather than tomorrow.
if ! cmp -s "$apt_dir/sources.list.new" "$apt_dir/sources.list" ||
    ! cmp -s "$apt_dir/machine.sources.new" "$apt_dir/parts/machine.sources"; then
    rm -f "$apt_dir/updated"
fi
mv "$apt_dir/sources.list.new" "$apt_dir/sources.list"
mv "$apt_dir/machine.sources.new" "$apt_dir/parts/machine.sources"
apt_private() {
    cmd=$1
    shift
    "$cmd" -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts" \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" "$@"
}
# The source index is refreshed once a day; an old one serves when the archive cannot be reached.
if [ -z "$(find "$apt_dir" -maxdepth 1 -name updated -mtime -1)" ]; then
    if apt_private apt-get update >&2; then
        touch "$apt_dir/updated"
    else
        echo "musl_sysroot: could not refresh the source index" >&2
    fi
fi
version() {
    apt_private apt-cache showsrc "$1" | sed -n 's/^Version: //p' | head -n1
}
musl_version=$(version musl)
jsonc_version=$(version json-c)
[ -n "$musl_version" ] && [ -n "$jsonc_version" ] || {
    echo "musl_sysroot: musl or json-c not in Debian's source index" >&2
    exit 1
}
# libsodium: signature checks of update bundles.
sodium_version=$(version libsodium)
[ -n "$sodium_version" ] || {
    echo "musl_sysroot: libsodium not in Debian's source index" >&2
    exit 1
}
recipe=$(cat "$0" "$toolchain" "$here/../cmake/musl-cxx/bits/os_defines.h" | sha256sum | cut -d' ' -f1)
stamp="musl=$musl_version json-c=$jsonc_version libsodium=$sodium_version recipe=$recipe"
if [ -f "$sysroot/stamp" ] && [ "$(cat "$sysroot/stamp")" = "$stamp" ]; then
    echo "$sysroot"
    exit 0
fi

echo "musl_sysroot: building musl $musl_version, json-c $jsonc_version and libsodium $sodium_version for mipsel" >&2
mkdir -p "$cache"
work=$(mktemp -d "$cache/musl-sysroot-build.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
chmod 755 "$work"
mkdir "$work/src" "$work/sysroot"
# apt's download sandbox user must be able to write the private folder.
chown _apt "$work/src" 2>/dev/null || true
(cd "$work/src" && apt_private apt-get source "musl=$musl_version" "json-c=$jsonc_version" >&2)

musl_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'musl-*')
(
    cd "$musl_src"
    # musl's own gcc wrapper is not installed: cmake/mipsel-musl.cmake writes its specs per build.
    ./configure --target=mipsel-linux-gnu --prefix=/usr --syslibdir=/lib --disable-wrapper \
        CROSS_COMPILE=mipsel-linux-gnu- CC=mipsel-linux-gnu-gcc
    make -j"$jobs"
    make install DESTDIR="$work/sysroot"
) >&2
# The loader is the C library itself; a relative link keeps the tree usable wherever it is copied.
loader=$(cd "$work/sysroot/lib" && ls ld-musl-*.so.1)
ln -sf ../usr/lib/libc.so "$work/sysroot/lib/$loader"

jsonc_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'json-c-*')
cmake -S "$jsonc_src" -B "$work/json-c-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DZU_MUSL_SYSROOT="$work/sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF \
    -DDISABLE_EXTRA_LIBS=ON -DDISABLE_WERROR=ON >&2
cmake --build "$work/json-c-build" -j"$jobs" >&2
DESTDIR="$work/sysroot" cmake --install "$work/json-c-build" >&2

# libsodium, minimal and static only: both builds link in just the verification code (one section
# per function, so the linker can drop the rest), and the device needs no library file for it.
# Debian's source has no configure script; the compiler is steered to musl by the specs file the
# json-c build wrote.
(cd "$work/src" && apt_private apt-get source "libsodium=$sodium_version" >&2)
sodium_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*')
(
    cd "$sodium_src"
    autoreconf -fi
    ./configure --host=mipsel-linux-gnu --prefix=/usr --libdir=/usr/lib --enable-minimal \
        --disable-shared --enable-static \
        CC="mipsel-linux-gnu-gcc -specs=$work/json-c-build/musl-gcc.specs" CFLAGS="-O2 -ffunction-sections -fdata-sections"
    make -j"$jobs"
    make install DESTDIR="$work/sysroot"
) >&2
rm -f "$work/sysroot/usr/lib/libsodium.la"

echo "$stamp" > "$work/sysroot/stamp"
# Swapped in whole, so a build using the old tree sees it go away only for a moment.
[ ! -d "$sysroot" ] || mv "$sysroot" "$work/old"
mv "$work/sysroot" "$sysroot"
echo "$sysroot"
