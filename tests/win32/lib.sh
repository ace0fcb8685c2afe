# Sourced by the Windows end-to-end scripts (e2e.sh, viewer_x11vnc.sh, session_e2e.sh,
# serve_for_windows.sh): a Wine session (wine_session.sh), waits and verdicts, and the remote
# desktop talviewer.exe is shown: a private Xvfb of a known colour, a deployment's
# certificates (tools/pki/talpki) and x11vnc on it. Programs started go into pids; stop_all
# ends them, the remote desktop and the Wine session.
source "$(dirname "${BASH_SOURCE[0]}")/wine_session.sh"
failed=0 pids=() REMOTE_PID=

# wait_for SECONDS COMMAND...: until COMMAND succeeds.
wait_for() { for _ in $(seq $(($1 * 20))); do "${@:2}" && return 0; sleep 0.05; done; return 1; }
check() { # NAME WANT GOT
    [[ $2 == "$3" ]] && echo "PASS: $1" && return
    echo "FAIL: $1" && failed=1 && diff <(echo "$2") <(echo "$3")
}
contains() { # NAME NEEDLE HAYSTACK
    [[ $3 == *"$2"* ]] && echo "PASS: $1" && return
    echo "FAIL: $1: no \"$2\" in:" && echo "$3" && failed=1
}
stop_all() {
    for p in "${pids[@]}" $REMOTE_PID; do kill "$p" 2>/dev/null; done
    wine_session_stop
}

# remote_desktop W H: an Xvfb of W x H in the colour 20c040; REMOTE is its display.
remote_desktop() {
    xvfb_start "$1x$2x24" || return 1
    REMOTE=$DISPLAY REMOTE_PID=$XVFB_PID XVFB_PID=
    xsetroot -display "$REMOTE" -solid '#20c040'
}

# make_pki DIR: DIR/ca, the deployment's CA with pc-1's certificate, the directory server's
# (DIR/ca/servers/localhost.pem, for 127.0.0.1 too), operators alice's and carol's, and
# operator mallory's, revoked (DIR/ca/crl.pem); DIR/other, a CA of the same name (talpki's
# default); DIR/other2, one of its own name; DIR/self.pem, a self-signed certificate for pc-1.
make_pki() {
    local talpki
    talpki=$(dirname "${BASH_SOURCE[0]}")/../../tools/pki/talpki
    { "$talpki" ca "$1/ca" && "$talpki" agent "$1/ca" pc-1 && "$talpki" operator "$1/ca" alice &&
        "$talpki" server "$1/ca" localhost 127.0.0.1 &&
        "$talpki" operator "$1/ca" carol && "$talpki" operator "$1/ca" mallory &&
        "$talpki" revoke --operator "$1/ca" mallory &&
        "$talpki" ca "$1/other" &&
        "$talpki" ca --subject "Other deployment" "$1/other2"; } >/dev/null 2>&1 || return 1
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=pc-1 -addext subjectAltName=DNS:pc-1 \
        -keyout "$1/self.key" -out "$1/self.crt" 2>/dev/null
    cat "$1/self.key" "$1/self.crt" >"$1/self.pem"
}

# x11vnc_start VAR LOG OPTIONS...: x11vnc on the remote desktop on a free loopback port, set
# in VAR once x11vnc listens (not printed: a command substitution's subshell would lose its pid).
# x11vnc_tls are the options of a VeNCrypt-only one.
x11vnc_tls=(-env X11VNC_DISABLE_SSL_CLIENT_MODE=1 -vencrypt nodh:only -anontls never)
x11vnc_start() {
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    x11vnc -display "$REMOTE" -rfbport "$port" -localhost -forever -shared -noxdamage \
        -nopw "${@:3}" >"$2" 2>&1 &
    pids+=($!)
    wait_for 10 grep -q "PORT=$port" "$2"
    printf -v "$1" %s "$port"
}

# pointer_near X Y: the remote pointer is within 3 pixels of X, Y; prints where it is.
pointer_near() {
    local x y
    read -r x y < <(DISPLAY=$REMOTE xdotool getmouselocation --shell |
        awk -F= '/^X=/{x=$2} /^Y=/{y=$2} END{print x, y}')
    echo "$x,$y"
    ((x >= $1 - 3 && x <= $1 + 3 && y >= $2 - 3 && y <= $2 + 3))
}
