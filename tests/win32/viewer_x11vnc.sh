#!/usr/bin/env bash
# talviewer.exe under Wine against the real x11vnc on a private Xvfb desktop of a known colour,
# through view_relay.py (the directory server's "view NAME" / "ok" and the relay): plain (allowed
# by allow-plain-sessions), VNC authentication, VeNCrypt with the deployment's CA, and VeNCrypt
# with an x11vnc that asks for the operator's certificate (-sslverify) show the desktop and pass
# a click; the rows that need the real program (wrong CA, wrong name, self-signed, plain where a
# CA is present or without the file that allows it, no operator certificate for -sslverify, a bad
# CA file, bad arguments, and "not connected" for the mapping of a reply; a wrong password is
# tests/win32/viewer_input.py's) each end with their message and exit status. Every reply and
# failure class is checked against the session driver in tests/viewer/session_driver_test.cpp.
#   tests/win32/viewer_x11vnc.sh BUILD_WIN      (after scripts/build-windows)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
source "$here/lib.sh"
work=$build/viewer-e2e
rm -rf "$work"
mkdir -p "$work" "$build/artifacts"
trap stop_all EXIT

W=640 H=480
remote_desktop $W $H || exit 1
pki=$work/pki
make_pki "$pki" || exit 1
printf 'secret12\n' >"$work/vncpasswd"
x11vnc_start plain_port "$work/plain.log"
x11vnc_start auth_port "$work/auth.log" -passwdfile "$work/vncpasswd"
x11vnc_start tls_port "$work/tls.log" -ssl "$pki/ca/agents/pc-1.pem" "${x11vnc_tls[@]}"
x11vnc_start self_port "$work/self.log" -ssl "$pki/self.pem" "${x11vnc_tls[@]}"
"$here/../../tools/pki/talpki" agent "$pki/ca" pc-3 >/dev/null 2>&1
x11vnc_start verify_port "$work/verify.log" -ssl "$pki/ca/agents/pc-3.pem" -sslverify "$pki/ca/ca.pem" \
    "${x11vnc_tls[@]}"

python3 "$here/view_relay.py" --port-file "$work/relay-port" \
    --route pc-plain=$plain_port --route pc-auth=$auth_port --route pc-1=$tls_port \
    --route pc-2=$tls_port --route pc-self=$self_port --route pc-3=$verify_port &
pids+=($!)
wait_for 5 test -s "$work/relay-port"
relay=$(cat "$work/relay-port")

wine_session_start "$build" || exit 1
export TALVIEWER_NO_DIALOGS=1

folder() { # NAME [CA]: a folder with talviewer.exe and that CA as ca.pem, or without a CA the
    # file that allows plain sessions (a CA named "none": neither)
    mkdir -p "$work/$1"
    cp "$build/win32-tools/talviewer.exe" "$work/$1/"
    case ${2:-} in
        '') touch "$work/$1/allow-plain-sessions" ;;
        none) ;;
        *) cp "$2" "$work/$1/ca.pem" ;;
    esac
    echo "$work/$1"
}

# A session that shows the desktop: the window's title, the colour away from the centre (where
# x11vnc would draw its cursor without the Cursor encoding), a click at 25%/75% that moves the
# remote pointer there, the close.
session() { # CASE NAME TITLE [CA]
    local dir got
    dir=$(folder "$1" "${4:-}")
    got=$(cd "$dir" && TALVIEWER_LOG=$(wine_path "$dir/log") timeout 120 "$WINE" \
        "$build/win32-tools/driver.exe" viewer 127.0.0.1 "$relay" "$2" window "$3" \
        color 15 15 20c040 shot "$(wine_path "$build/artifacts/viewer-$1.bmp")" \
        mouse 25 75 sleep 1500 close exit 2>&1 | tr -d '\r')
    check "$1: desktop colour, closed by the operator" $'color ok\nexit 0' "$got"
    got=$(pointer_near $((W / 4)) $((H * 3 / 4)))
    check "$1: the click moves the remote pointer to $((W / 4)),$((H * 3 / 4)) (at $got)" 0 $?
    DISPLAY=$REMOTE xdotool mousemove $((W / 2)) $((H / 2))
}

session plain pc-plain "pc-plain (not encrypted)"
# x11vnc sends its cursor's shape (Cursor pseudo-encoding): the window's cursor is made of it.
grep -q '^[0-9]* cursor [1-9][0-9]*x[1-9][0-9]*.$' "$work/plain/log"
check "plain: the remote cursor became the window's" 0 $?
echo secret12 >"$work/password"
TALVIEWER_PASSWORD_FILE=$(wine_path "$work/password") session vnc-auth pc-auth "pc-auth (not encrypted)"
session vencrypt pc-1 "pc-1" "$pki/ca/ca.pem"
grep -q '^[0-9]* tls TLS 1\.[23]' "$work/vencrypt/log"
check "vencrypt: TLS 1.2 or 1.3" 0 $?
# x11vnc -sslverify: SChannel shows the operator's certificate (its key imported with CryptoAPI).
TALVIEWER_OPERATOR=$(wine_path "$pki/ca/operators/alice.pem") session client-cert pc-3 pc-3 \
    "$pki/ca/ca.pem"

# A photo-like patch over the desktop, which x11vnc sends as Tight JPEG at the viewer's default
# quality: WIC decodes it, close to its colour, and the flat desktop around it stays exact.
DISPLAY=$REMOTE xwd -root -silent >"$work/desktop.xwd" &&
    python3 "$here/photo_patch.py" "$work/desktop.xwd" "$work/photo.xwd" 400 40 200 160 8040c0
DISPLAY=$REMOTE xwud -in "$work/photo.xwd" &
photo_pid=$!
pids+=($photo_pid)
sleep 1
dir=$(folder jpeg)
got=$(cd "$dir" && timeout 120 "$WINE" "$build/win32-tools/driver.exe" viewer 127.0.0.1 "$relay" \
    pc-plain window "pc-plain (not encrypted)" color 78 25 8040c0 color 15 15 20c040 close exit \
    2>&1 | tr -d '\r')
check "jpeg: a photo-like patch in its colour, the desktop around it exact" \
    $'color ok\ncolor ok\nexit 0' "$got"
kill $photo_pid 2>/dev/null

row() { # CASE NAME STATUS TEXT [CA] [ENV]
    local dir out status
    dir=$(folder "$1" "${5:-}")
    out=$(cd "$dir" && env ${6:-} TALVIEWER_LOG=$(wine_path "$dir/log") timeout 60 "$WINE" "$dir/talviewer.exe" \
        ${7:-TALVERO-VNC} 127.0.0.1 "$relay" "$2" 2>&1 >/dev/null)
    check "$1: exit status" "$3" $?
    contains "$1: message" "$4" "${out//$'\r'/}"
}
ca=$pki/ca/ca.pem other=$pki/other/ca.pem
row wrong-ca-same-name pc-1 7 "not issued by this deployment's certificate authority" "$other"
row wrong-ca pc-1 7 "not issued by this deployment's certificate authority" "$pki/other2/ca.pem"
row wrong-name pc-2 7 "The machine's certificate is not for pc-2." "$ca"
row self-signed pc-self 7 "not issued by this deployment's certificate authority" "$ca"
row plain-with-ca pc-plain 7 "The connection to pc-plain is not secure; it was not opened." "$ca"
row plain-not-allowed pc-plain 7 "The connection to pc-plain is not secure; it was not opened." none
row no-client-cert pc-3 7 "The TLS handshake with pc-3 failed" "$ca"
row not-connected pc-9 3 "pc-9 is not connected to the server right now." ""
row usage pc-1 2 "talviewer is started by the launcher as" "" "" OTHER-VNC
echo "damaged" >"$work/bad-ca.pem"
row bad-ca-file pc-1 7 "holds no certificate" "$work/bad-ca.pem"

python3 "$here/bmp_to_png.py" "$build"/artifacts/viewer-*.bmp
[[ $failed == 0 ]]
