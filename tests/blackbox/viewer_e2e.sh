#!/usr/bin/env bash
# A remote-support session end to end with the real binaries: the launcher
# lists a machine whose talagent is registered with the directory server; a
# double-click starts talviewer, which asks the server for a session; the
# server relays it to the agent's x11vnc on a second private X server, the
# "remote desktop" (a known colour, and an xev window that records what
# arrives). The viewer's window must show that colour, and a click and a key
# in it must arrive on the remote display. Twice: encrypted (a talpki CA
# beside the viewer, the agent with a machine certificate and a key it
# proves to the server) and plain (agent --insecure, no CA file; the title
# says "not encrypted"). In the encrypted case the agent holds its control
# connection to the server in TLS and is itself the TLS end of each session,
# starting x11vnc only for a viewer with an operator's client certificate from
# its CA: the viewer with operator.pem gets in, one without it does not (status
# 7); with the agent checking alone, a revoked operator and one from another CA
# are refused, and with a password file the viewer is asked for the password. Then the real server's refusals as the viewer tells them: a
# name nobody holds (status 3), an agent that holds pc-1 with pc-2's
# certificate (status 7), and, with the server checking operators, a valid
# operator sees the desktop (also beside four silent requests) while no
# operator.pem (11), a revoked operator (12), one the access file leaves out
# (13) and an operator.pem that others may read (11) are refused; an operator
# with the view right sees the desktop but his click does not arrive. A plain
# session needs allow-plain-sessions beside the viewer (status 7 without it).
#   viewer_e2e.sh BUILD_DIR
# DIRECTORY_SERVER and TALAGENT may name other builds of those programs.
source "$(dirname "$0")/lib.sh"
server_bin=${DIRECTORY_SERVER:-$BUILD/directory-server}
agent_bin=${TALAGENT:-$BUILD/talagent}
talpki=$(cd "$(dirname "$0")/../../tools/pki" && pwd)/talpki
colour=20c040

for tool in x11vnc xev xsetroot; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps session)"; exit 77; }
done

# The remote desktop: its own X server, a solid colour, and xev in the top
# left corner printing the events it gets.
xvfb_start 640x480x24 || fail "the remote Xvfb did not start"
track "$XVFB_PID"
REMOTE=$DISPLAY
DISPLAY=$REMOTE xsetroot -solid "#$colour"
DISPLAY=$REMOTE xev -geometry 200x200+0+0 -event keyboard -event button >"$WORK/xev.log" 2>&1 &
track $!
# The operator's screen.
start_xvfb

"$server_bin" --help 2>&1 | grep -q 'view NAME' || { echo "SKIP: $server_bin does not pair sessions"; exit 77; }

"$talpki" ca "$WORK/pki" 2>/dev/null
"$talpki" agent "$WORK/pki" pc-1 2>/dev/null
"$talpki" agent "$WORK/pki" pc-2 2>/dev/null
for who in alice bob carol dave; do "$talpki" operator "$WORK/pki" $who 2>/dev/null; done
"$talpki" revoke "$WORK/pki" bob 2>/dev/null
printf 'alice pc-* control\nbob * control\ndave pc-1 view\n' >"$WORK/access"
# The viewers find no operator.pem of the user running the test; each row names its own.
export XDG_CONFIG_HOME=$WORK/config
export TALVIEWER_OPERATOR=$WORK/pki/operators/alice.pem
cp "$WORK/pki/operators/alice.pem" "$WORK/open.pem" && chmod 644 "$WORK/open.pem"
# The server's certificate: agents hold their control connections to it in TLS.
"$talpki" server "$WORK/pki" localhost 127.0.0.1 2>/dev/null
tls_server=(--cert "$WORK/pki/servers/localhost.pem")
tls_agent=(--ca "$WORK/pki/ca.pem")
(umask 077 && echo "pc-1 $(openssl rand -hex 32)" >"$WORK/keys")

# start_pair LABEL SERVER_ARGS... -- AGENT_ARGS...: the directory server on a free port ($port)
# and talagent holding pc-1 on the remote display, registered.
start_pair() {
    local label=$1 server_args=() agent_args=()
    shift
    while (($#)) && [[ $1 != -- ]]; do server_args+=("$1"); shift; done
    shift
    agent_args=("$@")
    : >"$WORK/server.log"
    "$server_bin" --listen 127.0.0.1:0 "${server_args[@]}" 2>"$WORK/server.log" &
    server=$!
    track $server
    wait_for 10 grep -q "listening on" "$WORK/server.log" || fail "the directory server did not start"
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.log")
    "$agent_bin" --server "127.0.0.1:$port" --name pc-1 --display "$REMOTE" \
        --x11vnc-log "$WORK/x11vnc-$label.log" "${agent_args[@]}" 2>"$WORK/agent-$label.log" &
    agent=$!
    track $agent
    wait_for 15 grep -q 'agent "pc-1" registered' "$WORK/server.log" ||
        fail "$label: the agent did not register: $(cat "$WORK/agent-$label.log")"
}

stop_pair() {
    kill $agent $server 2>/dev/null || true
    wait $agent $server 2>/dev/null || true
}

# viewer_refused LABEL NAME STATUS PHRASE: talviewer from $WORK/app, headless, asked for NAME
# at the server on $port, ends with STATUS and says PHRASE. TALVIEWER_OPERATOR names its operator.
viewer_refused() {
    local label=$1 name=$2 want=$3 phrase=$4 got=0
    (cd "$WORK/app" && TALVIEWER_NO_DIALOGS=1 QT_QPA_PLATFORM=offscreen \
        timeout 60 ./talviewer TALVERO-VNC 127.0.0.1 "$port" "$name") 2>"$WORK/refused.log" || got=$?
    [[ $got == "$want" ]] && grep -q -- "$phrase" "$WORK/refused.log" ||
        fail "$label: talviewer ended with $got, not $want: $(cat "$WORK/refused.log")"
    echo "ok - $label: status $got"
}

# wait_colour LABEL WINDOW: the viewer WINDOW comes to show the remote desktop (a moment after
# it appears); sets w, h, got.
wait_colour() {
    wait_for 20 shows_colour "$2" $colour "$WORK/viewer-$1.ppm"
    screenshot "$ARTIFACTS/viewer-$1.png" "$2"
    [[ $got == "$colour" ]] || fail "$1: viewer pixel is '$got', not $colour (see $ARTIFACTS/viewer-$1.png)"
    echo "ok - $1: the viewer shows the remote desktop ($w x $h, pixel $got)"
}

# viewer_sees LABEL [click [TITLE]]: talviewer from $WORK/app, on the operator's screen, shows
# pc-1's desktop in a window titled TITLE (default: pc-1), then clicks over xev's window.
viewer_sees() {
    (cd "$WORK/app" && exec ./talviewer TALVERO-VNC 127.0.0.1 "$port" pc-1) 2>"$WORK/sees.log" &
    local pid=$! viewer
    track $pid
    viewer=$(wait_window "${3:-^pc-1\$}" 20) || fail "$1: no viewer window: $(cat "$WORK/sees.log")"
    wait_colour "$1" "$viewer"
    if [[ ${2:-} == click ]]; then
        xdotool mousemove --window "$viewer" $((w / 8)) $((h / 4)) click 1
        sleep 2
    fi
    kill $pid
    wait $pid 2>/dev/null || true
}

# The encrypted session, from the launcher: the agent proves its key, and the viewer shows the
# desktop and passes a click and a key; closing it ends the session.
install_launcher
cp "$BUILD/talviewer" "$WORK/pki/ca.pem" "$WORK/app/"
start_pair tls --agent-keys "$WORK/keys" "${tls_server[@]}" -- \
    --cert "$WORK/pki/agents/pc-1.pem" "${tls_agent[@]}" --key-file "$WORK/keys"
grep -q 'registered.*key proven' "$WORK/agent-tls.log" ||
    fail "tls: the agent did not prove its key: $(cat "$WORK/agent-tls.log")"
echo "ok - tls: the agent proves its key"
printf '<xml><connect ip="127.0.0.1" port="%s"/><title>Support</title></xml>' "$port" >"$WORK/app/set.xml"
(cd "$WORK/app" && exec ./launcher) &
launcher=$!
track $launcher
win=$(wait_window '^Support$' 15) || fail "tls: the launcher did not appear"
wait_for 15 has_read $launcher 9 || fail "tls: the launcher did not read the host list"
xdotool mousemove --window "$win" 40 25 click --repeat 2 --delay 80 1
viewer=$(wait_window '^pc-1$' 20) || fail "tls: no viewer window titled pc-1"
wait_colour tls "$viewer"
# A click over xev's window on the remote display: xev sees the button only if the remote
# pointer went there; a key typed then goes to xev, which has the keyboard under the pointer.
: >"$WORK/xev.log"
xdotool mousemove --window "$viewer" $((w / 8)) $((h / 4)) click 1
wait_for 10 grep -q "ButtonPress" "$WORK/xev.log" || fail "tls: no click arrived on the remote display"
echo "ok - tls: a click arrives on the remote display"
press "$viewer" k
wait_for 10 grep -q "keysym 0x6b, k)" "$WORK/xev.log" || fail "tls: no key arrived on the remote display"
echo "ok - tls: a key arrives on the remote display"
kill "$(xdotool getwindowpid "$viewer")"
wait_for 15 grep -q 'session with "pc-1" ended' "$WORK/server.log" ||
    fail "tls: the session did not end when the viewer closed"
echo "ok - tls: closing the viewer ends the session"
press "$win" Escape
wait_exit $launcher 20 || fail "tls: the launcher did not end"
viewer_refused "a name nobody holds" pc-9 3 "is not connected"
TALVIEWER_OPERATOR=$WORK/none.pem viewer_refused "no viewer without an operator" \
    pc-1 7 "No operator certificate at $WORK/none.pem"
stop_pair
# Someone else's certificate under the name pc-1 (the CA is still beside the viewer).
start_pair wrong-cert "${tls_server[@]}" -- --cert "$WORK/pki/agents/pc-2.pem" "${tls_agent[@]}"
viewer_refused "pc-2's certificate for pc-1" pc-1 7 "TLS handshake with pc-1 failed"
stop_pair
# The server checks no operators: the agent alone refuses a revoked operator and one from
# another CA before x11vnc starts, and x11vnc asks for the password of --password-file.
"$talpki" ca "$WORK/other" 2>/dev/null
"$talpki" operator "$WORK/other" eve 2>/dev/null
printf 'secret\n' >"$WORK/vncpasswd" && chmod 600 "$WORK/vncpasswd"
start_pair agent-checks "${tls_server[@]}" -- --cert "$WORK/pki/agents/pc-1.pem" "${tls_agent[@]}" \
    --crl "$WORK/pki/crl.pem" --password-file "$WORK/vncpasswd"
for row in "a revoked operator at the agent|$WORK/pki/operators/bob.pem" \
    "an operator of another CA at the agent|$WORK/other/operators/eve.pem"; do
    IFS='|' read -r label file <<<"$row"
    TALVIEWER_OPERATOR=$file viewer_refused "$label" pc-1 7 "TLS" </dev/null
done
grep -q "certificate revoked" "$WORK/agent-agent-checks.log" || fail "the agent did not refuse bob"
! grep -q "x11vnc version" "$WORK/x11vnc-agent-checks.log" 2>/dev/null ||
    fail "x11vnc started for a refused viewer"
viewer_refused "a password-file session with a wrong password" pc-1 8 "did not accept the password" <<<"wrong"
stop_pair
# The server checks operators; the agent checks the client certificate too.
start_pair operators --agent-keys "$WORK/keys" --operators-ca "$WORK/pki/ca.pem" \
    --crl "$WORK/pki/crl.pem" --access "$WORK/access" "${tls_server[@]}" -- \
    --cert "$WORK/pki/agents/pc-1.pem" "${tls_agent[@]}" --key-file "$WORK/keys"
# alice proves who she is and sees the desktop, even beside four connections that ask for pc-1 and
# then say nothing (they hold no session).
for _ in 1 2 3 4; do exec {silent}<>/dev/tcp/127.0.0.1/$port; printf 'view pc-1\n' >&$silent; done
viewer_sees "operator alice beside four silent requests"
# dave may only watch: his click does not reach the remote display.
: >"$WORK/xev.log"
TALVIEWER_OPERATOR=$WORK/pki/operators/dave.pem viewer_sees "operator dave, view only" click
! grep -q ButtonPress "$WORK/xev.log" || fail "a click of a view-only operator reached the remote display"
echo "ok - a view-only operator's click does not reach the remote display"
for row in "no operator.pem|$WORK/none.pem|11|No operator certificate at $WORK/none.pem" \
    "a revoked operator|$WORK/pki/operators/bob.pem|12|did not accept your operator certificate" \
    "an operator the access file leaves out|$WORK/pki/operators/carol.pem|13|not allowed to open" \
    "an operator.pem others may read|$WORK/open.pem|11|is open to other users (mode 644)"; do
    IFS='|' read -r label file want phrase <<<"$row"
    TALVIEWER_OPERATOR=$file viewer_refused "$label" pc-1 "$want" "$phrase"
done
stop_pair
# Plain (agent --insecure, no CA beside the viewer): refused without allow-plain-sessions, then
# the desktop under a title that says so, and a click that arrives.
start_pair plain -- --insecure
rm "$WORK/app/ca.pem"
viewer_refused "plain without allow-plain-sessions" pc-1 7 '"allow-plain-sessions"'
: >"$WORK/app/allow-plain-sessions"
: >"$WORK/xev.log"
viewer_sees plain click '^pc-1 \(not encrypted\)$'
grep -q ButtonPress "$WORK/xev.log" || fail "plain: no click arrived on the remote display"
echo "ok - plain: a click arrives on the remote display"
stop_pair
