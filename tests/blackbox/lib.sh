# Shared helpers of the black-box tests: a private X server, window lookup,
# screenshots and a scratch directory, all cleaned up on exit.
# Source it from a test script; the script gets BUILD (the build directory,
# first argument) and WORK (a fresh temporary directory).

set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
WORK=$(mktemp -d)
ARTIFACTS=$BUILD/artifacts
mkdir -p "$ARTIFACTS"
_pids=()

cleanup() {
    local pid
    # Programs started from the scratch directory (viewers the launcher
    # started) go first, while their X server is still there.
    pkill -f "^$WORK/" 2>/dev/null || true
    for pid in "${_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Remembers a background process so that it is stopped on exit.
track() { _pids+=("$1"); }

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"

# wait_for SECONDS COMMAND...: until COMMAND succeeds.
wait_for() { for _ in $(seq $(($1 * 20))); do "${@:2}" && return 0; sleep 0.05; done; return 1; }

# A loopback port nobody listens on.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A private X server (see scripts/xvfb.sh), stopped on exit, that answers
# requests before the test goes on.
start_xvfb() {
    xvfb_start || fail "Xvfb did not start"
    track "$XVFB_PID"
    wait_for 5 xdotool getmouselocation >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"
}

# Prints the id of the first visible window whose name matches, waiting up to
# $2 seconds (default 10).
wait_window() {
    local id
    _found() { id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) && [[ -n $id ]]; }
    wait_for "${2:-10}" _found "$1" && echo "$id"
}

# Waits up to $2 seconds for process $1 (a child of this shell) to end and
# sets EXIT_STATUS. Not to be called in a subshell: only this shell can wait
# for its children.
wait_exit() {
    EXIT_STATUS=0
    wait_for "${2:-10}" eval "! kill -0 $1 2>/dev/null" || return 1
    wait "$1" || EXIT_STATUS=$?
}

# True once process $1 has read at least $2 bytes from its TCP connections
# and left nothing unread. The kernel counts what arrived (bytes_received)
# and what waits (Recv-Q); the launcher reads a reply and fills its list in
# one handler, so this tells from outside that the list has been filled.
has_read() {
    ss -tnpiH state established 2>/dev/null | awk -v pid="pid=$1," -v want="$2" '
        index($0, pid) { queued = $1; mine = 1; next }
        mine && match($0, /bytes_received:[0-9]+/) {
            got += substr($0, RSTART + 15, RLENGTH - 15); left += queued
        }
        { mine = 0 }
        END { exit !(got >= want && left == 0) }'
}

# Gives window $1 the keyboard focus and types key $2 into it.
press() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    xdotool key --clearmodifiers "$2"
}

screenshot() { "$BUILD/tests/tools/screenshot" "$1" "${2:-0}" 2>/dev/null || true; }

# shows_colour WINDOW COLOUR SHOT: window WINDOW, saved to SHOT (PPM), has COLOUR (rrggbb) at 3/4
# of its width and height, away from the centre where a remote cursor could be; sets w, h, got.
shows_colour() {
    eval "$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^WIDTH=/w=/p; s/^HEIGHT=/h=/p')"
    screenshot "$3" "$1"
    [[ -s $3 ]] && got=$(python3 -c 'import re, sys
data = open(sys.argv[1], "rb").read()
header = re.match(rb"P6\s+(\d+)\s+\d+\s+\d+\s", data)
at = header.end() + (int(sys.argv[3]) * int(header[1]) + int(sys.argv[2])) * 3
print(data[at:at + 3].hex())' "$3" $((w * 3 / 4)) $((h * 3 / 4))) && [[ $got == "$2" ]]
}

# Lays out a launcher installation in $WORK/app: the binary and set.xml.
install_launcher() {
    mkdir -p "$WORK/app"
    cp "$BUILD/launcher" "$WORK/app/launcher"
    if [[ $# -gt 0 ]]; then printf '%s' "$1" >"$WORK/app/set.xml"; fi
}

export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$WORK}
