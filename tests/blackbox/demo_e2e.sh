#!/usr/bin/env bash
# The whole system: the real launcher against the real directory server with
# the stand-in viewer (talviewer-standin, installed as talviewer), on a
# private X server. A double-click on the first host starts the viewer with
# the server's address, port and that host.
#   demo_e2e.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
start_xvfb

printf '%s\n' '# demo hosts' 'zeta' 'Alpha' 'beta' 'front desk' >"$WORK/hosts.txt"
"$BUILD/directory-server" --listen 127.0.0.1:0 --hosts "$WORK/hosts.txt" 2>"$WORK/server.log" &
track $!
for i in $(seq 50); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.log" | head -n 1)
    [[ -n $port ]] && break
    sleep 0.1
done
[[ -n ${port:-} ]] || fail "the directory server did not start: $(cat "$WORK/server.log")"

install_launcher "<xml><connect ip=\"127.0.0.1\" port=\"$port\"/><title>Demo Launcher</title></xml>"
cp "$BUILD/talviewer-standin" "$WORK/app/talviewer"
export TALVIEWER_RECORD=$WORK/viewer.log
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
win=$(wait_window '^Demo Launcher$' 15) || fail "the launcher did not appear"
reply='00ok|Alpha|beta|front desk|zeta'
wait_for 15 has_read $pid ${#reply} || fail "the launcher did not read the host list"

# The list is sorted, so "Alpha" is the first row whatever the server's
# order; a double-click on it starts the viewer.
xdotool mousemove --window "$win" 40 25 click --repeat 2 --delay 80 1
viewer=$(wait_window '^talviewer' 15) || fail "no viewer window after the double-click"
sleep 0.5
screenshot "$ARTIFACTS/demo-viewer.png" "$viewer"
grep -qxF "[\"$WORK/app/talviewer\",\"TALVERO-VNC\",\"127.0.0.1\",\"$port\",\"Alpha\"]" "$WORK/viewer.log" ||
    fail "viewer arguments: $(cat "$WORK/viewer.log")"
echo "ok - double-click starts the viewer with the server's address, port and the host"

press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS"
echo "ok - the launcher ends with status 0"
