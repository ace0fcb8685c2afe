#!/usr/bin/env bash
# The remote side of tests/win32/real_windows_check.ps1, on a Linux machine the Windows machine
# can reach: a private Xvfb desktop of a known colour, x11vnc plain, with a password, with a
# certificate for pc-1 from a fresh CA and with a self-signed one, and view_relay.py on
# ADDR:PORT routing the names the script asks for. It writes the CA certificates to carry over
# into DIR (ca.pem: ours, other.pem: an unrelated CA) and runs until interrupted.
#   tests/win32/serve_for_windows.sh ADDR:PORT DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
listen=${1:?usage: $0 ADDR:PORT DIR} out=$(realpath -m "${2:?usage: $0 ADDR:PORT DIR}")
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
source "$here/../../scripts/xvfb.sh"
xvfb_start 1024x768x24
pids+=("$XVFB_PID")
xsetroot -solid '#20c040'
"$here/../../tools/pki/talpki" ca "$work/ca" >/dev/null 2>&1
"$here/../../tools/pki/talpki" agent "$work/ca" pc-1 >/dev/null 2>&1
"$here/../../tools/pki/talpki" ca --subject "Other deployment" "$work/other" >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=pc-1 -addext subjectAltName=DNS:pc-1 \
    -keyout "$work/self.key" -out "$work/self.crt" 2>/dev/null
cat "$work/self.key" "$work/self.crt" >"$work/self.pem"
printf 'secret12\n' >"$work/vncpasswd"
mkdir -p "$out"
cp "$work/ca/ca.pem" "$out/ca.pem"
cp "$work/other/ca.pem" "$out/other.pem"

start() { # OPTIONS...: x11vnc on a free loopback port; prints the port
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    x11vnc -rfbport "$port" -localhost -forever -shared -noxdamage -nopw "$@" >"$work/x11vnc-$port.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q "PORT=$port" "$work/x11vnc-$port.log" 2>/dev/null && break; sleep 0.1; done
    echo "$port"
}
tls=(-env X11VNC_DISABLE_SSL_CLIENT_MODE=1 -vencrypt nodh:only -anontls never)
plain=$(start) auth=$(start -passwdfile "$work/vncpasswd")
cert=$(start -ssl "$work/ca/agents/pc-1.pem" "${tls[@]}") self=$(start -ssl "$work/self.pem" "${tls[@]}")
echo "serving on $listen; CA files in $out; Ctrl+C ends"
python3 "$here/view_relay.py" --port-file "$work/port" --listen "$listen" --route pc-plain=$plain \
    --route pc-auth=$auth --route pc-1=$cert --route pc-2=$cert --route pc-self=$self \
    --reply pc-busy='error busy' &
pids+=($!)
wait "$!"
