#!/usr/bin/env bash
# host_list_e2e.sh BUILD_DIR: a double-click on the sorted list's first row starts the
# viewer, a refresh comes a second later on the same connection, Escape ends it.
source "$(dirname "$0")/lib.sh"
start_xvfb

# One connection; logs "<ns> request" for each request "server" answered, "<ns> close" at the end.
python3 -u - "$WORK/port" 'xxok|zeta|Alpha|beta' >"$WORK/server.log" <<'PY' &
import socket, sys, time
listener = socket.create_server(("127.0.0.1", 0))
open(sys.argv[1], "w").write(str(listener.getsockname()[1]))
connection, stream = listener.accept()[0], b""
while data := connection.recv(4096):
    stream += data
    while b"server" in stream:
        stream = stream.split(b"server", 1)[1]
        print(time.time_ns(), "request", flush=True)
        connection.sendall(sys.argv[2].encode())
print(time.time_ns(), "close", flush=True)
PY
track $!
logged() { (($(grep -c " $1\$" "$WORK/server.log") >= $2)); }
wait_for 10 test -s "$WORK/port" || fail "the scripted server did not start"
port=$(cat "$WORK/port")

install_launcher "<xml><connect ip=\"127.0.0.1\" port=\"$port\"/><title>Host List E2E</title></xml>"
cp "$BUILD/tests/launch/fake_viewer" "$WORK/app/talviewer"
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
win=$(wait_window '^Host List E2E$' 15) || fail "the launcher did not appear"
wait_for 15 logged request 1 || fail "no request reached the server"
wait_for 15 has_read $pid 20 || fail "the launcher did not read the reply"

clicked=$(date +%s%N)
xdotool mousemove --window "$win" 40 20 click --repeat 2 --delay 80 1
wait_for 15 logged request 2 || fail "no second request after the double-click"
second=$(awk '$2 == "request" { n++; if (n == 2) print $1 }' "$WORK/server.log")
pause_ms=$(((second - clicked) / 1000000))
# The pause is one second; the upper bound only says "about", for a loaded machine.
((pause_ms >= 950 && pause_ms < 10000)) || fail "second request ${pause_ms} ms after the double-click"
# The fake viewer records its argv in viewer-record beside itself (tools/viewer/arguments.h).
wait_for 10 grep -q ']$' "$WORK/app/viewer-record" 2>/dev/null || fail "no viewer started"
argv=$(cat "$WORK/app/viewer-record")
[[ $argv == "[\"$WORK/app/talviewer\",\"TALVERO-VNC\",\"127.0.0.1\",\"$port\",\"Alpha\"]" ]] ||
    fail "viewer argv: $argv"
echo "ok - the viewer started with Alpha, second request ${pause_ms} ms after the double-click"

press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS after Escape"
wait_for 10 logged close 1 || fail "the server did not see the connection close"
echo "ok - Escape ends the process and closes the connection"
