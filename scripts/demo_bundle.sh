#!/bin/sh
# Installs a small update bundle with bundle-install inside a private mount namespace: the
# program gets a /tmp of its own (never this machine's /tmp/update) and an opkg stand-in that
# only says what it would install. Usage: demo_bundle.sh [build directory, default build]
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
program="$build/bundle_install/bundle-install"
if [ ! -x "$program" ]; then
    echo "demo_bundle: $program is not built (run ./scripts/build.sh first)" >&2
    exit 1
fi

work=$(mktemp -d /tmp/zu-demo-bundle-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/stage/router-fw-2.1" "$work/usb" "$work/stub"
cat > "$work/stage/router-fw-2.1/manifest.txt" <<'JSON'
{
  "version": "2.1",
  "order": ["zu-base_2.1_mipsel.ipk", "zu-webui_2.1_mipsel.ipk"]
}
JSON
echo "base package" > "$work/stage/router-fw-2.1/zu-base_2.1_mipsel.ipk"
echo "web interface package" > "$work/stage/router-fw-2.1/zu-webui_2.1_mipsel.ipk"
tar --sort=name --owner=0 --group=0 -czf "$work/usb/router-fw-2.1.tar.gz" -C "$work/stage" \
    router-fw-2.1

cat > "$work/stub/opkg" <<'STUB'
#!/bin/sh
echo "opkg (demo stand-in): would $1 $2 ($(wc -c < "$2") bytes)"
STUB
chmod 755 "$work/stub/opkg"

echo "# bundle-install /mnt/usb/router-fw-2.1.tar.gz"
status=0
bwrap --die-with-parent --unshare-pid \
    --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
    --symlink usr/bin /bin --symlink usr/sbin /sbin --proc /proc --dev /dev --tmpfs /tmp \
    --ro-bind "$work/usb" /mnt/usb --ro-bind "$work/stub" /stub --ro-bind "$build" "$build" \
    --chdir / --setenv PATH /stub:/usr/bin:/bin \
    -- "$program" /mnt/usb/router-fw-2.1.tar.gz || status=$?
echo "# exit status $status"
exit "$status"
