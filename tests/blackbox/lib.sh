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

# Starts Xvfb on a display it picks itself (so parallel runs never share one)
# and exports DISPLAY.
start_xvfb() {
    local fifo=$WORK/displayfd n i
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    track $!
    read -r -t 20 n <"$fifo" || fail "Xvfb did not start"
    export DISPLAY=":$n"
    for i in $(seq 50); do
        xdotool getmouselocation >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "Xvfb on :$n does not answer"
}

# Prints the id of the first visible window whose name matches, waiting up to
# $2 seconds (default 10).
wait_window() {
    local name=$1 timeout=${2:-10} id i
    for i in $(seq $((timeout * 10))); do
        id=$(xdotool search --onlyvisible --name "$name" 2>/dev/null | head -n 1 || true)
        [[ -n $id ]] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# Waits up to $2 seconds for process $1 (a child of this shell) to end and
# sets EXIT_STATUS. Not to be called in a subshell: only this shell can wait
# for its children.
wait_exit() {
    local pid=$1 timeout=${2:-10} i
    EXIT_STATUS=
    for i in $(seq $((timeout * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            EXIT_STATUS=0
            wait "$pid" || EXIT_STATUS=$?
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Gives window $1 the keyboard focus and types key $2 into it.
press() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    xdotool key --clearmodifiers "$2"
}

screenshot() { "$BUILD/tests/tools/screenshot" "$1" "${2:-0}" 2>/dev/null || true; }

# Lays out a launcher installation in $WORK/app: the binary and set.xml.
install_launcher() {
    mkdir -p "$WORK/app"
    cp "$BUILD/launcher" "$WORK/app/launcher"
    if [[ $# -gt 0 ]]; then printf '%s' "$1" >"$WORK/app/set.xml"; fi
}

export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$WORK}
