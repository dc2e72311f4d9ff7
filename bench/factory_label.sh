#!/bin/sh
# Throughput of zu-factory-label --batch for two user names on one core: devices per second by
# processor time (best of RUNS, so other work on a shared machine costs us nothing but cache),
# the wall-clock rate beside it, and the instructions per device counted by callgrind (repeatable
# anywhere). Usage: factory_label.sh [build directory] (DEVICES and RUNS override the sizes.)
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
program="$build/firstboot_password/zu-factory-label"
[ -x "$program" ] || { echo "bench: $program is not built" >&2; exit 1; }
devices=${DEVICES:-1000000}
runs=${RUNS:-5}

work=$(mktemp -d /tmp/zu-bench-label-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

# One production batch: consecutive MACs of one vendor block, one model.
awk -v n="$devices" 'BEGIN {
    for (i = 0; i < n; i++)
        printf "00:1a:2b:%02x:%02x:%02x,RT-2400\n", int(i / 65536) % 256, int(i / 256) % 256, i % 256
}' > "$work/batch.csv"

echo "== zu-factory-label --batch root admin, $devices devices, one core (best of $runs)"
best_cpu="" best_wall=""
i=0
while [ "$i" -lt "$runs" ]; do
    /usr/bin/time -f '%U %S %e' -o "$work/time" \
        taskset -c 0 "$program" --batch root admin < "$work/batch.csv" > "$work/labels.csv"
    read -r user sys wall < "$work/time"
    cpu=$(echo "$user $sys" | awk '{ printf "%.2f", $1 + $2 }')
    echo "run $((i + 1)): processor ${cpu}s, wall ${wall}s"
    best_cpu=$(echo "$cpu ${best_cpu:-$cpu}" | awk '{ print ($1 < $2 ? $1 : $2) }')
    best_wall=$(echo "$wall ${best_wall:-$wall}" | awk '{ print ($1 < $2 ? $1 : $2) }')
    i=$((i + 1))
done
[ "$(wc -l < "$work/labels.csv")" -eq "$devices" ] || { echo "bench: labels missing" >&2; exit 1; }
echo "$devices $best_cpu $best_wall" | awk '{
    printf "devices per second: %.0f by processor time, %.0f by wall clock\n",
        $1 / ($2 > 0 ? $2 : 0.01), $1 / ($3 > 0 ? $3 : 0.01) }'

counted=100000
head -n "$counted" "$work/batch.csv" > "$work/small.csv"
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
    "$program" --batch root admin < "$work/small.csv" > /dev/null 2> "$work/callgrind.log"
sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/callgrind.log" |
    awk -v n="$counted" '{ printf "instructions per device (callgrind, %d devices): %.0f\n", n, $1 / n }'
