# Sourced by the Windows test and benchmark scripts: a Wine session on a
# virtual display.
#
#   wine_prefix_prepare BUILD_DIR  the Wine prefix BUILD_DIR/wineprefix, made
#                                  once; exports WINEPREFIX, WINEDEBUG, WINE,
#                                  WINESERVER
#   wine_session_start BUILD_DIR   the prefix, Xvfb on a free display and a
#                                  persistent wineserver; exports DISPLAY too
#   wine_session_stop              ends the wineserver and Xvfb
#   wine_path PATH                 the Windows path of a Unix path (drive Z:)

wine_prefix_prepare() {
    local build=$1
    WINE=/usr/lib/wine/wine64
    [[ -x $WINE ]] || WINE=$(command -v wine64 || command -v wine)
    WINESERVER=/usr/lib/wine/wineserver
    [[ -x $WINESERVER ]] || WINESERVER=$(command -v wineserver)
    export WINE WINESERVER
    export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    [[ -f $WINEPREFIX/.launcher-prefix ]] && return 0
    echo "wine_session: creating the Wine prefix" >&2
    mkdir -p "$build"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    # Wine draws the window frames itself: there is no window manager, and
    # a screenshot should show the caption.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.launcher-prefix"
}

wine_session_start() {
    wine_prefix_prepare "$1" || return 1

    # Xvfb picks a free display itself and reports it once it is ready.
    local displayfile
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        [[ -s $displayfile ]] && break
        sleep 0.1
    done
    [[ -s $displayfile ]] || { echo "wine_session: Xvfb did not start" >&2; return 1; }
    export DISPLAY=:$(head -n1 "$displayfile")
    rm -f "$displayfile"

    # One server for the whole session, so no program waits for its start.
    # The first program also starts Wine's own services, which live as long
    # as the server and keep the standard output they were given: start them
    # here, not under a test runner that would wait for that output to end.
    "$WINESERVER" -p
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
}

wine_session_stop() {
    [[ -n ${WINESERVER:-} ]] && "$WINESERVER" -k 2>/dev/null || true
    if [[ -n ${XVFB_PID:-} ]]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

wine_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}
