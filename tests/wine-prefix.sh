#!/bin/sh
# wine-prefix.sh start|stop WINE64 WINESERVER STATE_DIR: makes ready, or stops,
# what the Windows tests run in: an X server of their own, so that a program
# can have a console window, and the wine prefix with one wine server for the
# whole run. WINEPREFIX, WINEDLLPATH and the rest come from the environment;
# STATE_DIR/display tells the tests which display the X server has.
set -eu
action=$1 wine=$2 wineserver=$3 state=$4

case $action in
start)
    mkdir -p "$WINEPREFIX" "$state"
    rm -f "$state/display" "$state/xvfb.pid"
    # The first free display, chosen by the server itself, so that no other run
    # can have it. It ends when its last client (wine's desktop) goes, and in
    # any case within the hour, should the run be cut short before "stop".
    : >"$state/display.new"
    timeout 3600 Xvfb -displayfd 3 -nolisten tcp -terminate -screen 0 1024x768x24 \
        3>"$state/display.new" </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    tries=0
    until [ -s "$state/display.new" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
            echo "Xvfb did not start:" >&2
            cat "$state/xvfb.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    DISPLAY=:$(tr -d '\n' <"$state/display.new")
    export DISPLAY
    mv "$state/display.new" "$state/display"

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
    if [ -f "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
        rm -f "$state/xvfb.pid" "$state/display"
    fi
    ;;
esac
