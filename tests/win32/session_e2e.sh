#!/usr/bin/env bash
# The whole path on Windows under Wine: launcher.exe lists the directory server's machines, a
# double-click starts talviewer.exe, which asks the server for a session with pc-1 and proves
# its operator (alice, TALVIEWER_OPERATOR: the server checks operators with --operators-ca, so
# the signature CryptoAPI made must verify with OpenSSL); the server orders talagent to start
# x11vnc on a private Xvfb desktop of a known colour and relays; the session is VeNCrypt with
# the deployment's CA (ca.pem beside the viewer; the agent's control connection is in TLS
# too, and the agent, the TLS end of the session, checks the operator's certificate before it
# starts x11vnc). The viewer's window must show that colour and pass a click to the remote
# display. Without an operator certificate, or with a file whose key CryptoAPI cannot use, the
# viewer ends with status 11 (the server's refusals of a proof, 12 and 13, are the same wire
# words for both viewers: tests/blackbox/viewer_e2e.sh).
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
printf 'alice pc-* control\nmallory * control\n' >"$work/access"
"$build/directory-server" --listen 127.0.0.1:0 --operators-ca "$work/pki/ca/ca.pem" \
    --crl "$work/pki/ca/crl.pem" --access "$work/access" --cert "$work/pki/ca/servers/localhost.pem" \
    2>"$work/server.log" &
pids+=($!)
wait_for 10 grep -q 'listening on' "$work/server.log" || fail "the directory server did not start"
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
"$build/talagent" --server "127.0.0.1:$port" --name pc-1 --display "$REMOTE" \
    --x11vnc-log "$work/x11vnc.log" --cert "$work/pki/ca/agents/pc-1.pem" --ca "$work/pki/ca/ca.pem" \
    2>"$work/agent.log" &
pids+=($!)
wait_for 10 grep -q 'agent "pc-1" registered' "$work/server.log" || fail "the agent did not register"

title="Session Test"
cp "$build_win/launcher.exe" "$build_win/win32-tools/talviewer.exe" "$work/pki/ca/ca.pem" "$work/app/"
printf '<xml><connect ip="127.0.0.1" port="%s"/><title>%s</title></xml>\n' "$port" "$title" \
    >"$work/app/set.xml"

wine_session_start "$build_win" || exit 1
operator() { wine_path "$work/pki/ca/operators/$1.pem"; }
got=$(cd "$work/app" && TALVIEWER_NO_DIALOGS=1 TALVIEWER_OPERATOR=$(operator alice) timeout 180 "$WINE" "$build_win/win32-tools/driver.exe" \
    run launcher.exe dialog "$title" list pc-1 click pc-1 window pc-1 color 15 15 20c040 \
    shot "$(wine_path "$build_win/artifacts/viewer-session.bmp")" mouse 25 75 sleep 1500 \
    close ended dialog "$title" list pc-1 key 1000 27 exit 2>&1 | tr -d '\r')
[[ $got == $'color ok\nexit 0\nexit 0' ]] || fail "the driver says: $got"
echo "PASS: launcher.exe -> talviewer.exe -> relay -> talagent's x11vnc: the desktop's colour (TLS)"
at=$(pointer_near $((W / 4)) $((H * 3 / 4))) || fail "the remote pointer is at $at, not near $((W / 4)),$((H * 3 / 4))"
echo "PASS: the click arrived on the remote display at $at"
wait_for 2 grep -q 'session with "pc-1" by operator alice (control) ended' "$work/server.log" ||
    fail "no end of alice's session in the server's log"
echo "PASS: the server verified alice's proof and logged her session's end"

refused() { # CASE OPERATOR-FILE STATUS TEXT
    local out status
    out=$(cd "$work/app" && TALVIEWER_NO_DIALOGS=1 TALVIEWER_OPERATOR=$2 timeout 60 "$WINE" \
        talviewer.exe TALVERO-VNC 127.0.0.1 "$port" pc-1 2>&1 >/dev/null)
    status=$?
    [[ $status == "$3" && ${out//$'\r'/} == *"$4"* ]] || fail "$1: status $status, message: $out"
    echo "PASS: $1: status $3"
}
refused "no operator certificate" "$(wine_path "$work/none.pem")" 11 "No operator certificate at"
# Files the viewer must refuse itself: a key that is not the certificate's would make a proof
# the server calls forged; an EC key is beyond what the viewer imports.
ops=$work/pki/ca/operators
{ sed -n '/BEGIN PRIVATE KEY/,/END PRIVATE KEY/p' "$ops/alice.pem"; cat "$ops/mallory.crt"; } >"$work/mixed.pem"
refused "a key that is not the certificate's" "$(wine_path "$work/mixed.pem")" 11 "its key is not the certificate's"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=eve -days 1 \
    -keyout "$work/ec.pem" -out "$work/ec.crt" 2>/dev/null && cat "$work/ec.crt" >>"$work/ec.pem"
refused "an EC key" "$(wine_path "$work/ec.pem")" 11 "not an RSA key"
python3 "$here/bmp_to_png.py" "$build_win/artifacts/viewer-session.bmp"
