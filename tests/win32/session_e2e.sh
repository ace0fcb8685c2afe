#!/usr/bin/env bash
# The whole path on Windows under Wine: launcher.exe lists the directory server's machines, a
# double-click starts talviewer.exe, which asks the server for a session with pc-1; the server
# orders talagent to start x11vnc on a private Xvfb desktop of a known colour and relays; the
# session is VeNCrypt with the deployment's CA (ca.pem beside the viewer). The viewer's window
# must show that colour and pass a click to the remote display.
#   tests/win32/session_e2e.sh BUILD_WIN BUILD   (BUILD: directory-server and talagent with
#                                                 sessions; skipped when they are missing)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_win=$(realpath "$1") build=$(realpath -m "$2")
if [[ ! -x $build/talagent ]] || ! "$build/directory-server" --help 2>&1 | grep -q 'view NAME'; then
    echo "SKIP: no directory-server with sessions and talagent in $build"
    exit 0
fi
source "$here/lib.sh"
work=$build_win/session-e2e
rm -rf "$work"
mkdir -p "$work/app" "$build_win/artifacts"
trap stop_all EXIT
fail() {
    echo "FAIL: $*"
    tail -n 15 "$work/server.log" "$work/agent.log" "$work/x11vnc.log" 2>/dev/null
    exit 1
}

W=640 H=480
remote_desktop $W $H || exit 1
make_pki "$work/pki" || fail "no certificates"
"$build/directory-server" --listen 127.0.0.1:0 2>"$work/server.log" &
pids+=($!)
wait_for 10 grep -q 'listening on' "$work/server.log" || fail "the directory server did not start"
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
"$build/talagent" --server "127.0.0.1:$port" --name pc-1 --display "$REMOTE" \
    --x11vnc-log "$work/x11vnc.log" --cert "$work/pki/ca/agents/pc-1.pem" 2>"$work/agent.log" &
pids+=($!)
wait_for 10 grep -q 'agent "pc-1" registered' "$work/server.log" || fail "the agent did not register"

title="Session Test"
cp "$build_win/launcher.exe" "$build_win/win32-tools/talviewer.exe" "$work/pki/ca/ca.pem" "$work/app/"
printf '<xml><connect ip="127.0.0.1" port="%s"/><title>%s</title></xml>\n' "$port" "$title" \
    >"$work/app/set.xml"

wine_session_start "$build_win" || exit 1
got=$(cd "$work/app" && TALVIEWER_NO_DIALOGS=1 timeout 180 "$WINE" "$build_win/win32-tools/driver.exe" \
    run launcher.exe dialog "$title" list pc-1 click pc-1 window pc-1 color 15 15 20c040 \
    shot "$(wine_path "$build_win/artifacts/viewer-session.bmp")" mouse 25 75 sleep 1500 \
    close ended dialog "$title" list pc-1 key 1000 27 exit 2>&1 | tr -d '\r')
[[ $got == $'color ok\nexit 0\nexit 0' ]] || fail "the driver says: $got"
echo "PASS: launcher.exe -> talviewer.exe -> relay -> talagent's x11vnc: the desktop's colour (TLS)"
at=$(pointer_near $((W / 4)) $((H * 3 / 4))) || fail "the remote pointer is at $at, not near $((W / 4)),$((H * 3 / 4))"
echo "PASS: the click arrived on the remote display at $at"
wait_for 2 grep -q 'session with "pc-1" ended' "$work/server.log" || fail "no session end in the server's log"
echo "PASS: the server logged the session's end"
python3 "$here/bmp_to_png.py" "$build_win/artifacts/viewer-session.bmp"
