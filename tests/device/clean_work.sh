#!/bin/sh
# Clears the device tests' work folder before a run: what a run killed by CTest's timeout left
# (its traps never ran), the emulator it started included.
# Usage: clean_work.sh WORK_DIR
set -eu
work=$1
[ -d "$work" ] || exit 0
for pidfile in "$work"/zu-guest-*/qemu.pid; do
    [ -s "$pidfile" ] || continue
    pid=$(cat "$pidfile")
    # Only the emulator that wrote this very pid file, never whatever holds its pid now.
    if tr '\0' '\n' < "/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$pidfile"; then
        echo "clean_work: ending qemu $pid left by an earlier run"
        kill -KILL "$pid" 2>/dev/null || true
    fi
done
rm -rf "$work"
