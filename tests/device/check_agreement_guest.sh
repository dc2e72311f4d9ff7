#!/bin/sh
# Runs in the guest after boot: bundle-install, as root with the device's BusyBox, on each bundle
# listed in ./bundles/cases, from the same path the host checked it at, with an opkg stand-in that
# fails for a file it cannot read. Each run's output, errors, exit status and the stand-in's log go
# to $R/agree/CASE.
set -u
here=$(pwd)
dir=$(cat "$here/bundle_dir")
mkdir -p /tmp/stub "$dir"
cp "$here"/bundles/*.tar.gz "$dir/"
cat > /tmp/stub/opkg <<'EOF'
#!/bin/sh
printf '%s\n' "$*" >> /tmp/opkg.log
[ -f "$2" ] && [ -r "$2" ] || exit 255
exit 0
EOF
chmod 755 /tmp/stub/opkg

while read -r name archive; do
    out="$R/agree/$name"
    mkdir -p "$out"
    rm -rf /tmp/update /tmp/opkg.log
    (cd / && PATH=/tmp/stub:$PATH bundle-install "$dir/$archive") > "$out/stdout" 2> "$out/stderr"
    echo $? > "$out/status"
    touch /tmp/opkg.log
    cp /tmp/opkg.log "$out/opkg.log"
done < "$here/bundles/cases"
exit 0
