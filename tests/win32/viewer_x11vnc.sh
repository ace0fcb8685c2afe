#!/usr/bin/env bash
# talviewer.exe under Wine against the real x11vnc on a private Xvfb desktop of a known colour,
# through view_relay.py (the directory server's "view NAME" / "ok" and the relay): plain, VNC
# authentication and VeNCrypt with the deployment's CA show the desktop and pass a click; the
# rows that need the real program (wrong CA, wrong name, self-signed, plain where a CA is present,
# a bad CA file, bad arguments, and "not connected" for the mapping of a reply; a wrong password
# is tests/win32/viewer_input.py's) each end with their message and exit status. Every reply and
# failure class is checked against the session driver in tests/viewer/session_driver_test.cpp.
#   tests/win32/viewer_x11vnc.sh BUILD_WIN      (after scripts/build-windows)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
source "$here/wine_session.sh"
work=$build/viewer-e2e
rm -rf "$work"
mkdir -p "$work" "$build/artifacts"
pids=() failed=0
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [[ -z ${REMOTE_PID:-} ]] || kill "$REMOTE_PID" 2>/dev/null
    wine_session_stop
}
trap cleanup EXIT
check() { # NAME WANT GOT
    [[ $2 == "$3" ]] && echo "PASS: $1" && return
    echo "FAIL: $1" && failed=1 && diff <(echo "$2") <(echo "$3")
}
contains() { # NAME NEEDLE HAYSTACK
    [[ $3 == *"$2"* ]] && echo "PASS: $1" && return
    echo "FAIL: $1: no \"$2\" in:" && echo "$3" && failed=1
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The remote desktop: its own Xvfb, a known colour.
W=640 H=480
xvfb_start ${W}x${H}x24 || exit 1
REMOTE=$DISPLAY REMOTE_PID=$XVFB_PID XVFB_PID=
xsetroot -display "$REMOTE" -solid '#20c040'

# The deployment's CA, another CA, a machine certificate, and a self-signed one.
pki=$work/pki
"$here/../../tools/pki/talpki" ca "$pki/ca" >/dev/null 2>&1
"$here/../../tools/pki/talpki" agent "$pki/ca" pc-1 >/dev/null 2>&1
# Two other CAs: one with the same name as ours (talpki's default), one with its own.
"$here/../../tools/pki/talpki" ca "$pki/other" >/dev/null 2>&1
"$here/../../tools/pki/talpki" ca --subject "Other deployment" "$pki/other2" >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=pc-1 -addext subjectAltName=DNS:pc-1 \
    -keyout "$pki/self.key" -out "$pki/self.crt" 2>/dev/null
cat "$pki/self.key" "$pki/self.crt" >"$pki/self.pem"
printf 'secret12\n' >"$work/vncpasswd"

x11vnc_start() { # LOG OPTIONS...: x11vnc on a free loopback port, whose number it prints
    local port
    port=$(free_port)
    x11vnc -display "$REMOTE" -rfbport "$port" -localhost -forever -shared -noxdamage \
        -nopw "${@:2}" >"$work/$1.log" 2>&1 &
    pids+=($!)
    for ((i = 0; i < 100; i++)); do
        grep -q "PORT=$port" "$work/$1.log" 2>/dev/null && break
        sleep 0.1
    done
    echo "$port"
}
tls=(-env X11VNC_DISABLE_SSL_CLIENT_MODE=1 -vencrypt nodh:only -anontls never)
plain_port=$(x11vnc_start plain)
auth_port=$(x11vnc_start auth -passwdfile "$work/vncpasswd")
tls_port=$(x11vnc_start tls -ssl "$pki/ca/agents/pc-1.pem" "${tls[@]}")
self_port=$(x11vnc_start self -ssl "$pki/self.pem" "${tls[@]}")

python3 "$here/view_relay.py" --port-file "$work/relay-port" \
    --route pc-plain=$plain_port --route pc-auth=$auth_port --route pc-1=$tls_port \
    --route pc-2=$tls_port --route pc-self=$self_port &
pids+=($!)
for ((i = 0; i < 100; i++)); do [[ -s $work/relay-port ]] && break; sleep 0.05; done
relay=$(cat "$work/relay-port")

wine_session_start "$build" || exit 1
export TALVIEWER_NO_DIALOGS=1

folder() { # NAME [CA]: a folder with talviewer.exe and, if given, that CA as ca.pem
    mkdir -p "$work/$1"
    cp "$build/win32-tools/talviewer.exe" "$work/$1/"
    [[ -z ${2:-} ]] || cp "$2" "$work/$1/ca.pem"
    echo "$work/$1"
}

# A session that shows the desktop: the window's title, the colour away from the centre (where
# x11vnc would draw its cursor without the Cursor encoding), a click at 25%/75% that moves the remote pointer there, the close.
session() { # CASE NAME TITLE [CA]
    local dir got
    dir=$(folder "$1" "${4:-}")
    got=$(cd "$dir" && TALVIEWER_LOG=$(wine_path "$dir/log") timeout 120 "$WINE" \
        "$build/win32-tools/driver.exe" viewer 127.0.0.1 "$relay" "$2" window "$3" \
        color 15 15 20c040 shot "$(wine_path "$build/artifacts/viewer-$1.bmp")" \
        mouse 25 75 sleep 1500 close exit 2>&1 | tr -d '\r')
    check "$1: desktop colour, closed by the operator" $'color ok\nexit 0' "$got"
    local x y
    read -r x y < <(DISPLAY=$REMOTE xdotool getmouselocation --shell | awk -F= '/^X=/{x=$2} /^Y=/{y=$2} END{print x, y}')
    if ((x >= W / 4 - 3 && x <= W / 4 + 3 && y >= H * 3 / 4 - 3 && y <= H * 3 / 4 + 3)); then
        echo "PASS: $1: the click arrived at $x,$y"
    else
        echo "FAIL: $1: the remote pointer is at $x,$y, not near $((W / 4)),$((H * 3 / 4))"
        failed=1
    fi
    DISPLAY=$REMOTE xdotool mousemove $((W / 2)) $((H / 2))
}

session plain pc-plain "pc-plain (not encrypted)"
# x11vnc sends its cursor's shape (Cursor pseudo-encoding): the window's cursor is made of it.
grep -q '^[0-9]* cursor [1-9][0-9]*x[1-9][0-9]*.$' "$work/plain/log" &&
    echo "PASS: plain: the remote cursor became the window's ($(sed -n 's/^[0-9]* cursor //p' "$work/plain/log" | tail -1 | tr -d '\r'))" ||
    { echo "FAIL: plain: no remote cursor made"; cat "$work/plain/log"; failed=1; }
echo secret12 >"$work/password"
TALVIEWER_PASSWORD_FILE=$(wine_path "$work/password") session vnc-auth pc-auth "pc-auth (not encrypted)"
session vencrypt pc-1 "pc-1" "$pki/ca/ca.pem"
grep -q '^[0-9]* tls TLS 1\.[23]' "$work/vencrypt/log" && echo "PASS: vencrypt: $(sed -n 's/^[0-9]* tls //p' "$work/vencrypt/log")" ||
    { echo "FAIL: vencrypt: no TLS in the log"; failed=1; }

rows=0
row() { # CASE NAME STATUS TEXT [CA] [ENV]
    local dir out status
    dir=$(folder "$1" "${5:-}")
    out=$(cd "$dir" && env ${6:-} TALVIEWER_LOG=$(wine_path "$dir/log") timeout 60 "$WINE" "$dir/talviewer.exe" \
        ${7:-TALVERO-VNC} 127.0.0.1 "$relay" "$2" 2>&1 >/dev/null)
    status=$?
    out=$(tr -d '\r' <<<"$out")
    check "$1: exit status" "$3" "$status"
    contains "$1: message" "$4" "$out"
}
ca=$pki/ca/ca.pem other=$pki/other/ca.pem
row wrong-ca-same-name pc-1 7 "not issued by this deployment's certificate authority" "$other"
row wrong-ca pc-1 7 "not issued by this deployment's certificate authority" "$pki/other2/ca.pem"
row wrong-name pc-2 7 "The machine's certificate is not for pc-2." "$ca"
row self-signed pc-self 7 "not issued by this deployment's certificate authority" "$ca"
row plain-with-ca pc-plain 7 "The connection to pc-plain is not secure; it was not opened." "$ca"
row not-connected pc-9 3 "pc-9 is not connected to the server right now." ""
row usage pc-1 2 "talviewer is started by the launcher as" "" "" OTHER-VNC
echo "damaged" >"$work/bad-ca.pem"
row bad-ca-file pc-1 7 "holds no certificate" "$work/bad-ca.pem"

python3 "$here/bmp_to_png.py" "$build"/artifacts/viewer-*.bmp
[[ $failed == 0 ]]
