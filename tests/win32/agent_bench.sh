#!/usr/bin/env bash
# talagent.exe's costs under Wine on a 1280x800 Xvfb:
#   1. per frame (agent_bench.exe): GDI capture, then change detection and ZRLE encoding;
#   2. idle: CPU taken over 20 s while a viewer holds a session open on a screen that does not
#      change, talagent.exe against x11vnc (started by the Linux talagent) on the same display.
#   tests/win32/agent_bench.sh BUILD_WIN BUILD
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_win=$(realpath "$1") build=$(realpath -m "$2")
source "$here/lib.sh"
work=$build_win/agent-bench
rm -rf "$work"
mkdir -p "$work/app"
trap stop_all EXIT
fail() { echo "FAIL: $*"; tail -n 5 "$work"/*.log; exit 1; }

wine_prefix_prepare "$build_win" || fail "no Wine prefix"
xvfb_start 1280x800x24 || fail "no Xvfb"
WINE_DISPLAY=$DISPLAY WINE_XVFB=$XVFB_PID
"$WINESERVER" -p >/dev/null 2>&1
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
xsetroot -display "$WINE_DISPLAY" -solid '#20c040'

echo "=== per frame, 1280x800"
"$WINE" "$build_win/win32-tools/agent_bench.exe" 60 2>/dev/null | tr -d '\r'

echo "=== idle: CPU over 20 s with a session open on a still screen"
xvfb_start 1024x768x24 || fail "no Xvfb for the viewer"
VIEWER_DISPLAY=$DISPLAY
pids+=("$XVFB_PID")
XVFB_PID=$WINE_XVFB DISPLAY=$WINE_DISPLAY
talpki=$here/../../tools/pki/talpki
{ "$talpki" ca "$work/pki" && "$talpki" agent "$work/pki" pc-1 && "$talpki" agent "$work/pki" pc-2 &&
    "$talpki" operator "$work/pki" alice && "$talpki" server "$work/pki" localhost 127.0.0.1; } \
    >/dev/null 2>&1 || fail "no certificates"
chmod 600 "$work/pki/agents/"*.pem
"$build/directory-server" --listen 127.0.0.1:0 --cert "$work/pki/servers/localhost.pem" \
    2>"$work/server.log" &
pids+=($!)
wait_for 10 grep -q 'listening on' "$work/server.log" || fail "no directory server"
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
"$WINE" "$build_win/talagent.exe" --server 127.0.0.1:$port --name pc-1 \
    --cert "$(wine_path "$work/pki/agents/pc-1.pem")" --ca "$(wine_path "$work/pki/ca.pem")" \
    2>"$work/agent-win.log" </dev/null &
win_agent=$!
pids+=($win_agent)
"$build/talagent" --server 127.0.0.1:$port --name pc-2 --display "$WINE_DISPLAY" \
    --cert "$work/pki/agents/pc-2.pem" --ca "$work/pki/ca.pem" 2>"$work/agent-linux.log" &
linux_agent=$!
pids+=($linux_agent)
wait_for 20 grep -q 'agent "pc-1" registered' "$work/server.log" || fail "talagent.exe did not register"
wait_for 20 grep -q 'agent "pc-2" registered' "$work/server.log" || fail "talagent did not register"
cp "$build/talviewer" "$work/pki/ca.pem" "$work/app/"

# cpu_seconds PID: user and system time the process has taken so far.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"; }

# idle NAME WHAT: a viewer on NAME, then the CPU its serving process (WHAT prints its pid) takes
# in 20 s.
idle() {
    local viewer serving before after
    (cd "$work/app" && DISPLAY=$VIEWER_DISPLAY QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config \
        TALVIEWER_NO_DIALOGS=1 TALVIEWER_OPERATOR=$work/pki/operators/alice.pem exec ./talviewer \
        TALVERO-VNC 127.0.0.1 "$port" "$1") 2>"$work/viewer-$1.log" &
    viewer=$!
    pids+=($viewer)
    sleep 8  # the handshake and the first whole screen
    serving=$($2)
    [[ -n $serving ]] || fail "no serving process for $1"
    before=$(cpu_seconds "$serving")
    sleep 20
    after=$(cpu_seconds "$serving")
    kill "$viewer" 2>/dev/null
    wait "$viewer" 2>/dev/null
    echo "$1 ($3): $(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.1f", (a - b) / 20 * 100 }') % of a core"
}
idle pc-1 "echo $win_agent" talagent.exe
idle pc-2 "pgrep -n -P $linux_agent x11vnc" x11vnc
