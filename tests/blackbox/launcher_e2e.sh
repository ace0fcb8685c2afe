#!/usr/bin/env bash
# The real launcher on a private X server against a scripted directory server
# (tests/win32/list_server.py), with the stand-in viewer installed as talviewer. Without a
# settings file: a message box captioned with the executable's name, then status 1. With one:
# the dialog captioned with its title; a double-click on the sorted list's first row starts
# the viewer with the server's address, port and that host, and the list is asked for again
# a second later on the same connection; Escape ends the process with status 0 and closes
# the connection.
#   launcher_e2e.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
start_xvfb

install_launcher
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
box=$(wait_window '^launcher$' 15) || fail "no message box without set.xml"
screenshot "$ARTIFACTS/settings-missing.png" "$box"
press "$box" Return
wait_exit $pid 20 || fail "still running after the message box"
[[ $EXIT_STATUS == 1 ]] || fail "exit status $EXIT_STATUS without set.xml, expected 1"
echo "ok - no settings file: message box, exit status 1"

python3 "$(dirname "$0")/../win32/list_server.py" --reply 'xxok|zeta|Alpha|beta' \
    --port-file "$WORK/port" --log "$WORK/server.log" &
track $!
logged() { (($(grep -c " $1\$" "$WORK/server.log") >= $2)); }
wait_for 10 test -s "$WORK/port" || fail "the scripted server did not start"
port=$(cat "$WORK/port")
install_launcher "<?xml version=\"1.0\"?><xml><connect ip=\"127.0.0.1\" port=\"$port\"/><title>Remote Support</title></xml>"
cp "$BUILD/talviewer-standin" "$WORK/app/talviewer"
export TALVIEWER_RECORD=$WORK/viewer.log
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
win=$(wait_window '^Remote Support$' 15) || fail "the dialog did not appear with its title"
wait_for 15 logged request 1 || fail "no request reached the server"
wait_for 15 has_read $pid 20 || fail "the launcher did not read the reply"
screenshot "$ARTIFACTS/launcher-dialog.png" "$win"
clicked=$(date +%s%N)
xdotool mousemove --window "$win" 40 25 click --repeat 2 --delay 80 1
wait_for 15 logged request 2 || fail "no second request after the double-click"
pause_ms=$(awk -v c="$clicked" '$2 == "request" && ++n == 2 { printf "%d", $1 * 1000 - c / 1e6 }' "$WORK/server.log")
# The pause is one second; the upper bound only says "about", for a loaded machine.
((pause_ms >= 950 && pause_ms < 10000)) || fail "second request ${pause_ms} ms after the double-click"
wait_for 10 test -s "$WORK/viewer.log" || fail "no viewer started"
grep -qxF "[\"$WORK/app/talviewer\",\"TALVERO-VNC\",\"127.0.0.1\",\"$port\",\"Alpha\"]" "$WORK/viewer.log" ||
    fail "viewer arguments: $(cat "$WORK/viewer.log")"
echo "ok - the viewer started with Alpha, second request ${pause_ms} ms after the double-click"

press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS after Escape"
wait_for 10 logged close 1 || fail "the server did not see the connection close"
echo "ok - Escape ends the process with status 0 and closes the connection"
