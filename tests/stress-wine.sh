#!/bin/sh
# stress-wine.sh [RUNS] [BUILD_DIR] [TESTS]
# Runs the tests RUNS times in a row (30 unless told) under load: one busy
# loop per core for as long as it takes. TESTS is a ctest regular expression,
# the Windows tests unless told; "." is the whole suite, which also has the
# quiet spells between Windows cases that a run of those alone never has.
# Each run is a whole ctest run, its wine and X servers started and stopped
# as usual. It stops at the first run that fails, whose output ctest shows
# whole (the bytes, the status and wine's own messages), and ends the busy
# loops however it ends. For whoever changes the wine tests or what they run:
#
#   sh tests/stress-wine.sh 30 build/default
#   sh tests/stress-wine.sh 30 build/default .
set -eu
runs=${1:-30}
build=${2:-build/default}
tests=${3:-Wine|ReleaseCheck}

busy=""
stop_load() {
    for pid in $busy; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_load EXIT INT TERM
for _ in $(seq "$(nproc)"); do
    # Bounded even if this script is killed before it can end them.
    timeout 7200 sh -c 'while :; do :; done' &
    busy="$busy $!"
done

for run in $(seq "$runs"); do
    echo "stress-wine: run $run of $runs" >&2
    if ! ctest --test-dir "$build" -R "$tests" -j "$(nproc)" --output-on-failure --timeout 600; then
        echo "stress-wine: run $run of $runs failed" >&2
        exit 1
    fi
done
echo "stress-wine: passed $runs times in a row" >&2
