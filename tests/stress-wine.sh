#!/bin/sh
# stress-wine.sh [RUNS] [BUILD_DIR]
# Runs the Windows tests RUNS times in a row (30 unless told) under load: one
# busy loop per core for as long as it takes. It stops at the first run that
# fails, whose output ctest shows whole (the bytes, the status and wine's own
# messages), and ends the busy loops however it ends. For whoever changes the
# wine tests or what they run:
#
#   sh tests/stress-wine.sh 30 build/default
set -eu
runs=${1:-30}
build=${2:-build/default}

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

ctest --test-dir "$build" -R 'Wine|ReleaseCheck' --output-on-failure \
    --repeat until-fail:"$runs" --timeout 600
