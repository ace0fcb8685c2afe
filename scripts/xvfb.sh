# The one way this project starts a private X server (tests, benchmarks, the
# demo). Source it, then call xvfb_start; it picks a free display itself, so
# parallel runs never share one.
#
#   xvfb_start [WxHxD]   starts Xvfb, exports DISPLAY, sets XVFB_PID;
#                        returns 1 (with a message) if it does not start
#
# -noreset matters: without it the server resets whenever its last client
# disconnects, and a program that connects in that moment is refused ("could
# not connect to display"). Tests start and stop many clients one after the
# other, so on a busy machine they would hit that window now and then.

xvfb_start() {
    local fifo n=
    fifo=$(mktemp -u)
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -noreset -screen 0 "${1:-1024x768x24}" -nolisten tcp \
        3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    # Xvfb writes the display number once it accepts connections; if it
    # dies first, the read sees the end of the pipe.
    read -r -t 20 n <"$fifo" || true
    rm -f "$fifo"
    if [[ -z $n ]]; then
        kill "$XVFB_PID" 2>/dev/null || true
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$n"
}
