#!/bin/sh
# wine-prefix.sh start|stop WINE64 WINESERVER: makes ready, or stops, the wine
# prefix that the tests run in; WINEPREFIX and the rest come from the environment.
set -eu
action=$1 wine=$2 wineserver=$3

case $action in
start)
    mkdir -p "$WINEPREFIX"
    # One server for the whole run: no test starts wine while a lingering server
    # shuts down, and nothing the server starts holds on to a test's pipes. Should
    # the run be cut short before "stop", it still ends half a minute after its
    # last wine process.
    "$wineserver" -p30 </dev/null >/dev/null 2>&1
    "$wine" wineboot --init </dev/null >/dev/null 2>&1
    ;;
stop)
    # Ends the server and every process in the prefix; none is running is fine too.
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    ;;
esac
