#!/usr/bin/env bash
# talagent with the real x11vnc on a private Xvfb: a plain session, then one with a machine
# certificate from talpki. session_check.py plays the directory server and the session's
# receiving end.
#   x11vnc_e2e.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
work=$(mktemp -d)
XVFB_PID=
cleanup() {
    [[ -z $XVFB_PID ]] || kill "$XVFB_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
show_logs() {
    echo "--- agent log" >&2
    cat "$work/agent.log" >&2 2>/dev/null || true
    echo "--- x11vnc log (last lines)" >&2
    tail -n 30 "$work/x11vnc.log" >&2 2>/dev/null || true
}

source "$here/../../scripts/xvfb.sh"
xvfb_start 640x480x24

python3 "$here/session_check.py" "$build/talagent" "$work" || { show_logs; exit 1; }

"$here/../../tools/pki/talpki" ca "$work/pki" 2>/dev/null
"$here/../../tools/pki/talpki" agent "$work/pki" pc-1 2>/dev/null
python3 "$here/session_check.py" "$build/talagent" "$work" --cert "$work/pki/agents/pc-1.pem" ||
    { show_logs; exit 1; }
echo "x11vnc sessions: ok"
