# Sourced by demo.sh and test.sh: runs their set-up and build stages quietly. Each stage prints
# one line (what it does, then how long it took); the tool's own output goes to a log file in the
# cache, and only a failing stage shows the end of its log, and ends the run with its status.

stages_cache="${ZU_CACHE_DIR:-/var/cache/zu-firmware-tools}"

# stages_begin NAME: a log folder of this run's own, so two runs at once keep their logs apart;
# the newest ten runs of NAME are kept.
stages_begin() {
    mkdir -p "$stages_cache/logs"
    stages_logs="$stages_cache/logs/$1-$(date +%Y%m%d-%H%M%S)-$$"
    mkdir "$stages_logs"
    # shellcheck disable=SC2012
    ls -1dt "$stages_cache/logs/$1"-* 2>/dev/null | tail -n +11 | while read -r old; do
        rm -rf "$old"
    done
}

stages_took() {
    seconds=$(($(date +%s) - $1))
    if [ "$seconds" -ge 60 ]; then
        echo "$((seconds / 60)) min $((seconds % 60)) s"
    else
        echo "$seconds s"
    fi
}

# stage LOG "WHAT" COMMAND...: runs COMMAND with its output in LOG.log.
stage() {
    stage_log="$stages_logs/$1.log"
    printf '%s ... ' "$2"
    shift 2
    stage_start=$(date +%s)
    if "$@" > "$stage_log" 2>&1 < /dev/null; then
        echo "done in $(stages_took "$stage_start")"
    else
        stage_status=$?
        echo "FAILED after $(stages_took "$stage_start") (status $stage_status)"
        echo "The end of $stage_log:"
        tail -n 40 "$stage_log" | sed 's/^/    /'
        exit "$stage_status"
    fi
}

# stage_ctest LOG "WHAT" CTEST-ARGUMENTS...: a test run as a stage whose summary stays visible:
# the pass rate, the failed tests (if any) and the times, as ctest prints them.
stage_ctest() {
    stage_log="$stages_logs/$1.log"
    printf '%s ... ' "$2"
    shift 2
    stage_start=$(date +%s)
    if ctest --output-on-failure "$@" > "$stage_log" 2>&1 < /dev/null; then
        stage_status=0
        echo "done in $(stages_took "$stage_start")"
    else
        stage_status=$?
        echo "FAILED after $(stages_took "$stage_start") (status $stage_status)"
    fi
    if [ "$stage_status" -ne 0 ]; then
        # What the failing tests printed is what a CI reader needs; the log stays on the machine.
        echo "The end of $stage_log:"
        tail -n 150 "$stage_log" | sed 's/^/    /'
    elif grep -q 'tests passed' "$stage_log"; then
        sed -n '/tests passed/,$p' "$stage_log" | grep -v '^$' | sed 's/^/    /'
    else
        tail -n 40 "$stage_log" | sed 's/^/    /'
    fi
    if [ "$stage_status" -ne 0 ]; then
        echo "The whole run: $stage_log"
        exit "$stage_status"
    fi
}
