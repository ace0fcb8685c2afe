#!/usr/bin/env bash
# One remote session end to end: the real directory-server, talagent and x11vnc on a private
# Xvfb desktop of a known colour, and rfb_view.py as the viewer through the relay. Plain (open
# registration, talagent --insecure); then encrypted (agent keys, a talpki certificate,
# VeNCrypt X509None checked against the CA and the machine's name); then an agent that holds
# the name with a certificate for another machine, which the viewer refuses.
#   session_e2e.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
work=$(mktemp -d)
XVFB_PID= SERVER_PID= AGENT_PID=
stop_run() {
    [[ -z $AGENT_PID ]] || { kill "$AGENT_PID" 2>/dev/null || true; wait "$AGENT_PID" 2>/dev/null || true; }
    [[ -z $SERVER_PID ]] || { kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; }
    AGENT_PID= SERVER_PID=
}
cleanup() {
    stop_run
    [[ -z $XVFB_PID ]] || kill "$XVFB_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for log in server agent x11vnc; do
        echo "--- $log log (last lines)" >&2
        tail -n 20 "$work/$log.log" >&2 2>/dev/null || true
    done
    exit 1
}
wait_for() {  # FILE TEXT
    for _ in $(seq 300); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$2' in $1"
}
# start_run NAME SERVER_OPTIONS... -- AGENT_OPTIONS...
start_run() {
    local name=$1 server_args=() agent_args=()
    shift
    while (($#)) && [[ $1 != -- ]]; do server_args+=("$1"); shift; done
    shift
    agent_args=("$@")
    : >"$work/server.log" >"$work/agent.log"
    "$build/directory-server" --listen 127.0.0.1:0 "${server_args[@]}" 2>"$work/server.log" &
    SERVER_PID=$!
    wait_for "$work/server.log" "listening on"
    PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
    "$build/talagent" --server "127.0.0.1:$PORT" --name "$name" --display "$DISPLAY" \
        --x11vnc-log "$work/x11vnc.log" "${agent_args[@]}" 2>"$work/agent.log" &
    AGENT_PID=$!
    wait_for "$work/server.log" "agent \"$name\" registered"
}

source "$here/../../scripts/xvfb.sh"
xvfb_start 640x480x24
xsetroot -solid '#20c040'

# Plain.
start_run pc-1 -- --insecure
python3 "$here/rfb_view.py" 127.0.0.1 "$PORT" pc-1 --expect 20c040 || fail "plain session"
python3 "$here/rfb_view.py" 127.0.0.1 "$PORT" pc-9 --expect-error not-connected || fail "unknown name"
wait_for "$work/server.log" 'session with "pc-1" ended'
stop_run

# Encrypted, with agent keys.
"$here/../../tools/pki/talpki" ca "$work/pki" 2>/dev/null
"$here/../../tools/pki/talpki" agent "$work/pki" pc-1 2>/dev/null
"$here/../../tools/pki/talpki" agent "$work/pki" pc-2 2>/dev/null
(umask 077 && echo "pc-1 $(openssl rand -hex 32)" >"$work/keys")
start_run pc-1 --agent-keys "$work/keys" -- --key-file "$work/keys" --cert "$work/pki/agents/pc-1.pem"
grep -q 'registered.*key proven' "$work/agent.log" || fail "the agent did not prove its key"
python3 "$here/rfb_view.py" 127.0.0.1 "$PORT" pc-1 --ca "$work/pki/ca.pem" --expect 20c040 ||
    fail "encrypted session"
stop_run

# Someone else's certificate under the name pc-1: the viewer refuses it.
start_run pc-1 -- --cert "$work/pki/agents/pc-2.pem"
python3 "$here/rfb_view.py" 127.0.0.1 "$PORT" pc-1 --ca "$work/pki/ca.pem" --expect-tls-refused ||
    fail "a certificate for pc-2 was not refused for pc-1"
stop_run
echo "sessions end to end: ok"
