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

# The "./" bundle an ordinary user made, twice without clearing: the second run must not be
# refused, and the folder must be root's and closed to others after each.
rm -rf /tmp/update /tmp/opkg.log
for run in 1 2; do
    (cd / && PATH=/tmp/stub:$PATH bundle-install "$dir/dot.tar.gz") > /dev/null 2>&1
    echo "status $?" >> "$R/agree/dot-twice"
    ls -ldn /tmp/update | awk '{ print $1, $3 }' >> "$R/agree/dot-twice"
done
exit 0
