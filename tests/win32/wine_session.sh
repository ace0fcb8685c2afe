# Sourced by the Windows test and benchmark scripts: a Wine session on a virtual display.
#   wine_prefix_prepare BUILD  the prefix BUILD/wineprefix, made once; exports WINE* too
#   wine_session_start BUILD   the prefix, Xvfb on a free display (DISPLAY), a wineserver
#   wine_session_stop          ends the wineserver and Xvfb
#   wine_path PATH             the Windows path (drive Z:) of a Unix path

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"

wine_prefix_prepare() {
    WINE=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
    [[ -x $WINE ]] || WINE=$(command -v wine64 || command -v wine)
    [[ -x $WINESERVER ]] || WINESERVER=$(command -v wineserver)
    export WINE WINESERVER WINEPREFIX=$1/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    [[ -f $WINEPREFIX/.launcher-prefix ]] && return 0
    echo "wine_session: creating the Wine prefix" >&2
    mkdir -p "$1"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    # Without a window manager Wine draws the frames, so screenshots show the caption.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.launcher-prefix"
}

wine_session_start() {
    wine_prefix_prepare "$1" || return 1
    xvfb_start || return 1
    # One wineserver for the session. The first program starts Wine's services,
    # which keep the standard output they were given as long as the server
    # lives: start them here, not under a test runner that waits for it to end.
    "$WINESERVER" -p
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
}

wine_session_stop() {
    [[ -z ${WINESERVER:-} ]] || "$WINESERVER" -k 2>/dev/null || true
    [[ -z ${XVFB_PID:-} ]] || { kill "$XVFB_PID" && wait "$XVFB_PID"; } 2>/dev/null || true
    XVFB_PID=
}

wine_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}
