#!/usr/bin/env bash
# The real launcher binary against the scripted directory server on a private
# X server: the sorted list, the viewer started by a double-click with the
# first row's name, the refresh about a second later, and the connection's
# end when Escape ends the process.
#   host_list_e2e.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
start_xvfb

server_tool=$BUILD/tests/support/scripted_server_tool
fake_viewer=$BUILD/tests/launch/fake_viewer
[[ -x $server_tool && -x $fake_viewer ]] || fail "build the test programs first ($server_tool, $fake_viewer)"

now_ns() { date +%s%N; }
# Lines of the server's log of one kind: "<ns> <kind> <connection>".
server_events() { awk -v k="$1" '$2 == k' "$WORK/server.log"; }
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
    local timeout=$1 i
    shift
    for i in $(seq $((timeout * 20))); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}
requests_at_least() { [[ $(server_events request | wc -l) -ge $1 ]]; }
viewer_ran() { compgen -G "$WORK/app/viewer-runs/*.argv" >/dev/null; }
connection_closed() { [[ -n $(server_events close) ]]; }

"$server_tool" "$WORK/port" "$WORK/server.log" 'xxok|zeta|Alpha|beta' &
track $!
wait_for 10 test -s "$WORK/port" || fail "the scripted server did not start"
port=$(cat "$WORK/port")

install_launcher "<xml><connect ip=\"127.0.0.1\" port=\"$port\"/><title>Host List E2E</title></xml>"
cp "$fake_viewer" "$WORK/app/talviewer"
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
win=$(wait_window '^Host List E2E$' 15) || fail "the launcher did not appear"
wait_for 15 requests_at_least 1 || fail "no request reached the server"
[[ $(server_events open | wc -l) == 1 ]] || fail "expected one connection: $(cat "$WORK/server.log")"
echo "ok - one connection, request \"server\" at start"

# The reply is handled as soon as it arrives; nothing outside the process
# shows it, so give the dialog a moment before clicking.
sleep 0.5
screenshot "$ARTIFACTS/host-list.png" "$win"

# Sorted, "Alpha" is the first row although the server sends "zeta" first.
clicked=$(now_ns)
xdotool mousemove --window "$win" 40 20 click --repeat 2 --delay 80 1
wait_for 15 viewer_ran || fail "no viewer started after the double-click"
record=$(compgen -G "$WORK/app/viewer-runs/*.argv" | head -n 1)
mapfile -d '' argv <"$record"
expected=("$WORK/app/talviewer" TALVERO-VNC 127.0.0.1 "$port" Alpha)
[[ ${#argv[@]} == 5 ]] || fail "viewer argv has ${#argv[@]} entries: ${argv[*]}"
for i in 0 1 2 3 4; do
    [[ ${argv[$i]} == "${expected[$i]}" ]] || fail "viewer argv[$i] is '${argv[$i]}', expected '${expected[$i]}'"
done
echo "ok - double-click on the first row starts the viewer with Alpha"

wait_for 15 requests_at_least 2 || fail "no second request after the viewer start"
second=$(server_events request | sed -n 2p | cut -d' ' -f1)
pause_ms=$(((second - clicked) / 1000000))
# The pause is one second; the upper bound only says "about", for a loaded machine.
((pause_ms >= 950 && pause_ms < 10000)) || fail "second request ${pause_ms} ms after the double-click"
echo "ok - second request ${pause_ms} ms after the double-click"

press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS after Escape"
wait_for 10 connection_closed || fail "the server did not see the connection close"
echo "ok - Escape ends the process and closes the connection"
