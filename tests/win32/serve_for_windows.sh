#!/usr/bin/env bash
# The remote side of tests/win32/real_windows_check.ps1, on a Linux machine the Windows machine
# can reach: a private Xvfb desktop of a known colour, x11vnc plain, with a certificate for pc-1
# from a fresh CA, with a self-signed one, and for pc-3 asking for the operator's certificate
# (-sslverify), and view_relay.py on ADDR:PORT routing the names the
# script asks for. It writes the files to carry over into DIR (ca.pem: ours, other.pem: an
# unrelated CA, alice.pem: an operator's key and certificate) and runs until interrupted.
#   tests/win32/serve_for_windows.sh ADDR:PORT DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
listen=${1:?usage: $0 ADDR:PORT DIR} out=$(realpath -m "${2:?usage: $0 ADDR:PORT DIR}")
work=$(mktemp -d)
source "$here/lib.sh"
trap 'stop_all; rm -rf "$work"' EXIT
remote_desktop 1024 768
make_pki "$work"
mkdir -p "$out"
cp "$work/ca/ca.pem" "$out/ca.pem"
cp "$work/other2/ca.pem" "$out/other.pem"
cp "$work/ca/operators/alice.pem" "$out/alice.pem"
"$here/../../tools/pki/talpki" agent "$work/ca" pc-3 >/dev/null 2>&1
x11vnc_start plain "$work/plain.log"
x11vnc_start cert "$work/cert.log" -ssl "$work/ca/agents/pc-1.pem" "${x11vnc_tls[@]}"
x11vnc_start self "$work/self.log" -ssl "$work/self.pem" "${x11vnc_tls[@]}"
x11vnc_start verify "$work/verify.log" -ssl "$work/ca/agents/pc-3.pem" -sslverify "$work/ca/ca.pem" \
    "${x11vnc_tls[@]}"
echo "serving on $listen; CA files in $out; Ctrl+C ends"
python3 "$here/view_relay.py" --port-file "$work/port" --listen "$listen" --route pc-plain=$plain \
    --route pc-1=$cert --route pc-2=$cert --route pc-self=$self --route pc-3=$verify &
pids+=($!)
wait "$!"
