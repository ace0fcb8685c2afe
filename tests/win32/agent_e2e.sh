#!/usr/bin/env bash
# talagent.exe under Wine serves its desktop to the Linux viewer through the real directory
# server. The Wine desktop is an Xvfb whose root is one colour (20c040) with a Wine window of
# another (c02040, agent_probe.exe, which prints the input it gets); talagent.exe registers over
# TLS and proves its key; talviewer on a second Xvfb, with alice's operator certificate, must
# show both colours where they are, and a click, a key and Unicode text typed into it must reach
# the Wine window, copied text must cross both ways, and a still screen must cost little. Then the refusals: talagent.exe that does not trust the server's CA (or is
# told an address the certificate does not hold) never registers; a viewer without an operator
# certificate, or with a revoked one, or a plain viewer, gets no picture. With --ask: Allow shows the
# desktop, Deny and the time-out decline the session.
#   tests/win32/agent_e2e.sh BUILD_WIN BUILD   (BUILD: directory-server, talviewer and the
#                                               screenshot tool; skipped when they are missing)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_win=$(realpath "$1") build=$(realpath -m "$2")
for program in "$build_win/talagent.exe" "$build/directory-server" "$build/talviewer" \
    "$build/tests/tools/screenshot"; do
    [[ -x $program || -f $program ]] || { echo "SKIP: no $program"; exit 0; }
done
source "$here/lib.sh"
work=$build_win/agent-e2e
rm -rf "$work"
mkdir -p "$work/app" "$build_win/artifacts"
trap stop_all EXIT
fail() {
    echo "FAIL: $*"
    tail -n 15 "$work/server.log" "$work/agent.log" "$work/viewer.log" "$work/probe.log" 2>/dev/null
    exit 1
}

# The Wine desktop, and the operator's screen beside it.
W=640 H=480 PX=300 PY=200 PW=200 PH=150
wine_prefix_prepare "$build_win" || fail "no Wine prefix"
xvfb_start "${W}x${H}x24" || fail "no Xvfb for Wine"
"$WINESERVER" -p >/dev/null 2>&1
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
WINE_DISPLAY=$DISPLAY WINE_XVFB=$XVFB_PID
xsetroot -display "$WINE_DISPLAY" -solid '#20c040'
xvfb_start 1280x1024x24 || fail "no Xvfb for the viewer"
VIEWER_DISPLAY=$DISPLAY
pids+=("$XVFB_PID")
XVFB_PID=$WINE_XVFB DISPLAY=$WINE_DISPLAY

make_pki "$work/pki" || fail "no certificates"
ca=$work/pki/ca
chmod 600 "$ca/agents/pc-1.pem"
(umask 077 && openssl rand -hex 32 >"$work/agent.key" && echo "pc-1 $(cat "$work/agent.key")" >"$work/keys")
printf 'alice pc-* control\n' >"$work/access"

# start_server [OPTIONS...]: the directory server on a free port ($port), agents in TLS.
start_server() {
    "$build/directory-server" --listen 127.0.0.1:0 --agent-keys "$work/keys" \
        --cert "$ca/servers/localhost.pem" "$@" 2>"$work/server.log" &
    server=$!
    pids+=($server)
    wait_for 10 grep -q 'listening on' "$work/server.log" || fail "the directory server did not start"
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
}

# start_agent [OPTIONS...]: talagent.exe for pc-1 at the server, its log in agent.log.
start_agent() {
    DISPLAY=$WINE_DISPLAY "$WINE" "$build_win/talagent.exe" --server "${server_at:-127.0.0.1:$port}" \
        --name pc-1 --key-file "$(wine_path "$work/agent.key")" \
        --cert "$(wine_path "$ca/agents/pc-1.pem")" --ca "$(wine_path "${agent_ca:-$ca/ca.pem}")" \
        "$@" 2>"$work/agent.log" </dev/null &
    agent=$!
    pids+=($agent)
}
stop_agent() { kill "$agent" 2>/dev/null; wait "$agent" 2>/dev/null; }

# pixel SHOT X Y: the colour at X, Y of the remote desktop in a PPM screenshot of the viewer's
# window, as rrggbb; pixel SHOT top: how far below the window's top the desktop starts (the
# viewer's tool bar is above it).
pixel() {
    python3 -c 'import re, sys
data = open(sys.argv[1], "rb").read()
header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s", data)
top = int(header[2]) - int(sys.argv[-1])
if sys.argv[2] == "top":
    sys.exit(print(top))
at = header.end() + ((int(sys.argv[3]) + top) * int(header[1]) + int(sys.argv[2])) * 3
print(data[at:at + 3].hex())' "$@" "$H"
}

# start_viewer OPERATOR_PEM: the Linux viewer for pc-1 on the operator's screen.
start_viewer() {
    (cd "$work/app" && DISPLAY=$VIEWER_DISPLAY QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config \
        TALVIEWER_NO_DIALOGS=1 TALVIEWER_OPERATOR=$1 exec timeout 120 ./talviewer \
        TALVERO-VNC 127.0.0.1 "$port" pc-1) 2>"$work/viewer.log" &
    viewer_pid=$!
    pids+=($viewer_pid)
}

# shows COLOUR X Y: the viewer's window shows COLOUR at X, Y of the remote desktop.
shows() {
    local window shot=$work/viewer.ppm
    window=$(DISPLAY=$VIEWER_DISPLAY xdotool search --onlyvisible --name '^pc-1' 2>/dev/null | head -n 1)
    [[ -n $window ]] || return 1
    DISPLAY=$VIEWER_DISPLAY "$build/tests/tools/screenshot" "$shot" "$window" 2>/dev/null || return 1
    [[ $(pixel "$shot" "$2" "$3") == "$1" ]]
}

# --- files checked at start: STATUS and a phrase of what talagent.exe says, per case (124: it
# runs on, having warned)
{ sed -n '/BEGIN PRIVATE KEY/,/END PRIVATE KEY/p' "$work/pki/self.pem"
  sed -n '/BEGIN CERTIFICATE/,/END CERTIFICATE/p' "$ca/agents/pc-1.pem"; } >"$work/mixed.pem"
cp "$ca/agents/pc-1.pem" "$work/open.pem" && chmod 644 "$work/open.pem"
chmod 600 "$work/mixed.pem"
while IFS='|' read -r case status phrase args; do
    out=$(DISPLAY=$WINE_DISPLAY timeout 8 "$WINE" "$build_win/talagent.exe" --server 127.0.0.1:9 \
        --ca "$(wine_path "$ca/ca.pem")" --retry-min 60 $args 2>&1 </dev/null)
    got=$?
    [[ $got == "$status" && ${out//$'\r'/} == *"$phrase"* ]] || fail "$case: status $got, said: $out"
    echo "PASS: $case"
done <<ROWS
a key that is not the certificate's|1|the private key is not the certificate's|--name pc-1 --cert $(wine_path "$work/mixed.pem")
a certificate others may read|1|may be read by Everyone|--name pc-1 --cert $(wine_path "$work/open.pem")
a certificate for another name (warned)|124|the certificate is not for 'pc-2'|--name pc-2 --cert $(wine_path "$ca/agents/pc-1.pem")
an option of x11vnc's|2|is for talagent on Linux|--name pc-1 --cert $(wine_path "$ca/agents/pc-1.pem") --display :0
ROWS

# --- a whole session: picture and input
cp "$ca/ca.pem" "$work/app/ca.pem"
cp "$build/talviewer" "$work/app/talviewer"
start_server --operators-ca "$ca/ca.pem" --access "$work/access"
DISPLAY=$WINE_DISPLAY "$WINE" "$build_win/win32-tools/agent_probe.exe" $PX $PY $PW $PH c02040 \
    >"$work/probe.log" 2>/dev/null </dev/null &
pids+=($!)
wait_for 20 grep -q ready "$work/probe.log" || fail "the probe window did not start"
start_agent
wait_for 20 grep -q 'agent "pc-1" registered' "$work/server.log" || fail "talagent.exe did not register"
wait_for 5 grep -q 'registered as pc-1 (key proven)' "$work/agent.log" || fail "talagent.exe did not prove its key"
echo "PASS: talagent.exe registers over TLS and proves its key"

start_viewer "$ca/operators/alice.pem"
wait_for 30 shows c02040 $((PX + PW / 2)) $((PY + PH / 2)) ||
    fail "the viewer does not show the Wine window's colour where it is"
shows 20c040 $((PX / 2)) $((PY / 2)) || fail "the viewer does not show the X root's colour"
DISPLAY=$VIEWER_DISPLAY "$build/tests/tools/screenshot" "$build_win/artifacts/agent-session.ppm" \
    "$(DISPLAY=$VIEWER_DISPLAY xdotool search --onlyvisible --name '^pc-1' | head -n 1)" 2>/dev/null
echo "PASS: the viewer shows the X root and the Wine window, each where it is"

viewer=$(DISPLAY=$VIEWER_DISPLAY xdotool search --onlyvisible --name '^pc-1' | head -n 1)
top=$(pixel "$work/viewer.ppm" top)
DISPLAY=$VIEWER_DISPLAY xdotool mousemove --window "$viewer" $((PX + 20)) $((PY + 30 + top)) click 1
wait_for 10 grep -q '^click 20 30' "$work/probe.log" || fail "no click at 20,30 in the Wine window"
echo "PASS: a click reaches the Wine window where it was made"
DISPLAY=$VIEWER_DISPLAY xdotool windowfocus "$viewer" 2>/dev/null
DISPLAY=$VIEWER_DISPLAY xdotool key --window "$viewer" k
wait_for 10 grep -q '^key 75 3[0-9]' "$work/probe.log" || fail "no key K with its scan code"
wait_for 5 grep -q '^char U+006B' "$work/probe.log" || fail "no character k"
echo "PASS: a key reaches the Wine window with its scan code"
# xdotool types a character the viewer's keymap lacks by remapping a spare key for a moment;
# the viewer may read the key before the new map, so a character is typed again if it is lost.
for pair in 00E9:é 20AC:€ D55C:한; do
    for _ in 1 2 3; do
        DISPLAY=$VIEWER_DISPLAY xdotool type --window "$viewer" --delay 200 "${pair#*:}"
        wait_for 4 grep -q "^char U+${pair%%:*}" "$work/probe.log" && break
    done
    grep -q "^char U+${pair%%:*}" "$work/probe.log" || fail "no character U+${pair%%:*}"
done
echo "PASS: Unicode text (é € 한) reaches the Wine window"

# The clipboard both ways, through Wine's own bridge to the X clipboard of its display: text
# beyond Latin-1 (€, Korean) travels as UTF-8 in the Extended Clipboard.
clipboard_is() { [[ $(DISPLAY=$1 xclip -o -selection clipboard 2>/dev/null) == "$2" ]]; }
printf 'from the operator é € 한국어' | DISPLAY=$VIEWER_DISPLAY xclip -selection clipboard
wait_for 15 clipboard_is "$WINE_DISPLAY" 'from the operator é € 한국어' ||
    fail "the operator's text is not on the desktop"
printf 'from the desktop ü 글\nline 2' | DISPLAY=$WINE_DISPLAY xclip -selection clipboard
wait_for 15 clipboard_is "$VIEWER_DISPLAY" $'from the desktop ü 글\nline 2' ||
    fail "the desktop's text does not reach the operator"
echo "PASS: copied text crosses both ways, Korean included"

# A session on a still screen leaves the agent mostly waiting (a generous bound: a loop that
# never waits takes a whole core).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
before=$(cpu_ticks "$agent")
sleep 10
used=$((($(cpu_ticks "$agent") - before) * 100 / $(getconf CLK_TCK) / 10))
((used < 25)) || fail "talagent.exe took $used % of a core over 10 s of a still screen"
echo "PASS: a still screen costs little ($used % of a core)"
kill "$viewer_pid" 2>/dev/null

# --- refusals by the agent's TLS
refused_viewer() { # CASE OPERATOR_PEM
    rm -f "$work/viewer.ppm"
    start_viewer "$2"
    wait_for 60 eval "! kill -0 $viewer_pid 2>/dev/null" || fail "$1: the viewer did not end"
    shows c02040 $((PX + PW / 2)) $((PY + PH / 2)) && fail "$1: the viewer shows the desktop"
    grep -q "session .* ended: no TLS with the viewer" "$work/agent.log" ||
        fail "$1: talagent.exe did not refuse the viewer's TLS"
    echo "PASS: $1: talagent.exe refuses the viewer"
}
stop_agent
kill "$server" 2>/dev/null
# The server checks no operators here, so that the agent's own check is what refuses.
start_server
start_agent --crl "$(wine_path "$ca/crl.pem")"
wait_for 20 grep -q 'agent "pc-1" registered' "$work/server.log" || fail "talagent.exe did not register"
refused_viewer "a viewer without an operator certificate" "$work/none.pem"
refused_viewer "a revoked operator (--crl)" "$ca/operators/mallory.pem"
# A viewer that takes plain sessions and has no CA: the agent offers none but VeNCrypt.
mkdir -p "$work/plain" && cp "$build/talviewer" "$work/plain/" && : >"$work/plain/allow-plain-sessions"
seen=$(grep -c 'the viewer sees this desktop' "$work/agent.log")
(cd "$work/plain" && DISPLAY=$VIEWER_DISPLAY QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config \
    TALVIEWER_NO_DIALOGS=1 TALVIEWER_OPERATOR=$ca/operators/alice.pem timeout 60 ./talviewer \
    TALVERO-VNC 127.0.0.1 "$port" pc-1) 2>"$work/plain.log"
status=$?
((status != 0 && status != 124)) && [[ $(grep -c 'the viewer sees this desktop' "$work/agent.log") == "$seen" ]] ||
    fail "a plain viewer: status $status: $(cat "$work/plain.log")"
echo "PASS: a plain viewer: talagent.exe shows it nothing (status $status)"
stop_agent

# 127.0.0.2 leads to the same server, whose certificate names 127.0.0.1 and localhost only.
relay=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.2",0)); print(s.getsockname()[1])')
socat TCP-LISTEN:"$relay",bind=127.0.0.2,reuseaddr,fork TCP:127.0.0.1:"$port" &
pids+=($!)
for case in "a server certificate from another CA" "an address the server's certificate does not name"; do
    agent_ca= server_at=
    [[ $case == *"another CA"* ]] && agent_ca=$work/pki/other/ca.pem
    [[ $case == *"address"* ]] && server_at=127.0.0.2:$relay
    : >"$work/agent.log"
    start_agent
    wait_for 20 grep -q 'no TLS with' "$work/agent.log" || fail "$case: talagent.exe went on"
    echo "PASS: $case: talagent.exe refuses the server and sends nothing"
    stop_agent
done
agent_ca= server_at=

# --- --ask: the question on the Wine desktop, answered with the keyboard or not at all
ask_case() { # CASE KEY WANT (KEY empty: no answer; WANT: allowed or denied)
    local question
    : >"$work/agent.log"
    start_agent --ask --ask-timeout 3
    wait_for 20 grep -q 'registered as pc-1' "$work/agent.log" || fail "$1: talagent.exe did not register"
    start_viewer "$ca/operators/alice.pem"
    question=$(wait_window_on "$WINE_DISPLAY" '^Remote session request$' 20) || fail "$1: no question"
    if [[ -n $2 ]]; then
        DISPLAY=$WINE_DISPLAY xdotool windowfocus "$question" key "$2"
    fi
    wait_for 10 grep -q "session .* $3 at the screen" "$work/agent.log" || fail "$1: not $3"
    if [[ $3 == allowed ]]; then
        wait_for 30 shows c02040 $((PX + PW / 2)) $((PY + PH / 2)) || fail "$1: no picture"
    else
        wait_for 30 eval "! kill -0 $viewer_pid 2>/dev/null" || fail "$1: the viewer did not end"
    fi
    echo "PASS: --ask: $1: $3"
    kill "$viewer_pid" 2>/dev/null
    stop_agent
}
wait_window_on() { # DISPLAY NAME SECONDS
    local id
    _found() { id=$(DISPLAY=$1 xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n 1) && [[ -n $id ]]; }
    wait_for "$3" _found "$1" "$2" && echo "$id"
}
# The question names the operator: the server proves who it is.
kill "$server" 2>/dev/null
start_server --operators-ca "$ca/ca.pem" --access "$work/access"
ask_case "Allow" a allowed
ask_case "Deny" Return denied
ask_case "no answer" "" denied

echo "all agent tests passed"
