#!/bin/sh
# wine-prefix.sh start|stop WINE64 WINESERVER STATE_DIR SHARED_PREFIX REASON_FILE
# Makes ready, or stops, what the Windows tests run in: an X server of their
# own, so that a program can have a console window, and a wine prefix with one
# wine server for the whole run.
#
# The prefix is made once per user and wine version, in SHARED_PREFIX (beside
# the fetched 32-bit libraries), and never run in: each run takes a copy of its
# own, as hard links where it can, in WINEPREFIX, and removes it at "stop".
# A copy is a prefix of its own to wine, so two runs at once get two wine
# servers and never touch each other's processes.
# WINEPREFIX, WINEDLLPATH and the rest come from the environment;
# STATE_DIR/display tells the tests which display the X server has. Where no
# prefix can be made, REASON_FILE says why, as for the libraries, and the
# tests that need it report it; the script itself still succeeds.
set -eu
action=$1 wine=$2 wineserver=$3 state=$4 shared=$5 reason=$6

# Makes SHARED_PREFIX, unless a finished one is there. No wine server may run
# for the new prefix beforehand: wineboot starts its own, and "wineserver -w"
# then waits until it is done. The 32-bit libraries come from WINEDLLPATH
# whenever a program runs, so a prefix is made once wineboot has written its
# registry and system folder.
make_shared_prefix() {
    [ -f "$shared/.made" ] && return 0
    mkdir -p "$(dirname "$shared")"
    # One maker at a time; a second run waits for the first one's prefix.
    exec 9>"$shared.lock"
    flock -w 600 9
    if [ ! -f "$shared/.made" ]; then
        echo "wine-prefix: making $shared" >&2
        new=$shared.new.$$
        rm -rf "$new" "$shared"
        env -u DISPLAY WINEPREFIX="$new" "$wine" wineboot --init </dev/null >"$state/wineboot.log" 2>&1 || true
        WINEPREFIX=$new "$wineserver" -w
        if [ ! -f "$new/system.reg" ] || [ ! -f "$new/drive_c/windows/system32/kernel32.dll" ]; then
            echo "wineboot made no prefix (its log: $state/wineboot.log)" >"$reason"
            echo "wine-prefix: $(cat "$reason")" >&2
            rm -rf "$new"
            return 1
        fi
        # Moved in whole and marked last, so that a prefix cut short never looks made.
        mv "$new" "$shared"
        : >"$shared/.made"
    fi
    exec 9>&-
}

# await NAME PID LOG TEST...: waits up to ten seconds for TEST to pass while
# the server NAME, process PID, runs; else shows its LOG and fails "start".
await() {
    name=$1 pid=$2 log=$3
    shift 3
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "$name did not start:" >&2
            cat "$log" >&2
            exit 1
        fi
        sleep 0.1
    done
}

case $action in
start)
    mkdir -p "$state"
    rm -f "$state/display" "$state/xvfb.pid" "$state/wineserver.pid" "$state/wineserver.dir"
    [ -f "$reason" ] && exit 0 # no libraries: nothing to make a prefix with
    make_shared_prefix || exit 0

    # This run's copy: hard links cost nothing, and wine writes none of those
    # files in place; the registry and the users' folders it does write are
    # real copies. Where links cannot be made (another file system), a full copy.
    rm -rf "$WINEPREFIX"
    cp -al "$shared" "$WINEPREFIX" 2>/dev/null || { rm -rf "$WINEPREFIX" && cp -a "$shared" "$WINEPREFIX"; }
    for written in "$WINEPREFIX"/*.reg "$WINEPREFIX"/.update-timestamp \
        "$WINEPREFIX"/drive_c/users "$WINEPREFIX"/drive_c/windows/*.ini; do
        [ -e "$written" ] || continue # a pattern that matched nothing
        rm -rf "$written"
        cp -a "$shared/${written#"$WINEPREFIX"/}" "$written"
    done

    # The first free display, chosen by the server itself, so that no other run
    # can have it. It lives until "stop", and in any case no more than the
    # hour, should the run be cut short before "stop". Not until its last
    # client goes (-terminate): between two tests there may be none, and a
    # console window would then find no display.
    : >"$state/display.new"
    timeout 3600 Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 \
        3>"$state/display.new" </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    await Xvfb "$(cat "$state/xvfb.pid")" "$state/xvfb.log" test -s "$state/display.new"
    DISPLAY=:$(tr -d '\n' <"$state/display.new")
    export DISPLAY
    mv "$state/display.new" "$state/display"

    # One server for the whole run, however long no test runs wine: a server
    # told to linger half a minute shut down wine's own processes after any
    # such quiet spell and ended, and the next test raced it or started wine
    # on a server of its own. It lingers an hour, should the run be cut short
    # before "stop", and runs in the foreground, so that its pid says whether
    # it is still the run's. It is ready once it listens on its socket, in the
    # folder it runs in, before any wine process could start a server of its own.
    "$wineserver" --foreground --persistent=3600 </dev/null >"$state/wineserver.log" 2>&1 &
    server=$!
    await wineserver $server "$state/wineserver.log" test -S "/proc/$server/cwd/socket"
    echo $server >"$state/wineserver.pid"
    # The folder of its socket and lock, which wine leaves behind; "stop" removes it.
    readlink "/proc/$server/cwd" >"$state/wineserver.dir"
    # wine's own processes, its desktop among them, started once for the run.
    "$wine" wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    # The run's server must still be the one "start" started: had it ended,
    # the tests after that ran wine on a server of its own.
    lived=true
    if [ -f "$state/wineserver.pid" ] && ! kill -0 "$(cat "$state/wineserver.pid")" 2>/dev/null; then
        echo "wine-prefix: the run's wine server ended before \"stop\" (its log: $state/wineserver.log)" >&2
        lived=false
    fi
    # Ends the server and every process in this run's prefix; none is running is fine too.
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    if [ -f "$state/wineserver.dir" ]; then
        rm -rf "$(cat "$state/wineserver.dir")"
    fi
    rm -f "$state/wineserver.pid" "$state/wineserver.dir"
    if [ -f "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
        rm -f "$state/xvfb.pid" "$state/display"
    fi
    rm -rf "$WINEPREFIX"
    $lived
    ;;
esac
