#!/usr/bin/env bash
# End-to-end tests of launcher.exe, in a Wine session (wine_session.sh) after
# scripts/build-windows: tests/win32/e2e.sh BUILD_DIR. The driver works each
# case's dialog in a folder of its own; what it prints must be the expected lines.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
build=$(realpath "$1") title="Launcher Test" server=
work=$build/e2e
rm -rf "$work" "$build"/artifacts/launcher-wine*
mkdir -p "$work" "$build/artifacts"
# LogPixels: the display's DPI, which a case below changes; none is Wine's default, 96.
set_dpi() {
    if [[ -n $1 ]]; then
        "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f
    else
        "$WINE" reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f
    fi >/dev/null 2>&1
}
trap 'kill $server 2>/dev/null; set_dpi ""' EXIT

serve() { # REPLY [--close]: a loopback directory server on $port, logging to $work/requests
    rm -f "$work/port" "$work/requests"
    python3 "$here/list_server.py" --reply "$1" --port-file "$work/port" --log "$work/requests" \
        "${@:2}" &
    server=$!
    wait_for 5 test -s "$work/port"
    port=$(cat "$work/port")
}
logged() { grep -c " request$" "$work/requests" 2>/dev/null; }
requests() { wait_for 10 eval '(($(logged) >= '"$1"'))'; logged; } # N: the requests, once N are
# NAME PORT WANT STEPS...: the driver's steps in the case's folder (no set.xml without PORT).
run_case() {
    mkdir -p "$work/$1"
    cp "$build/launcher.exe" "$work/$1/"
    # The stand-in that records its arguments, under the viewer's name.
    cp "$build/win32-tools/talviewer-standin.exe" "$work/$1/talviewer.exe"
    [[ -z $2 ]] || printf '<xml><connect ip="127.0.0.1" port="%s"/><title>%s</title></xml>\n' \
        "$2" "$title" >"$work/$1/set.xml"
    [[ $1 != read-only ]] || chmod a-w "$work/$1/set.xml"
    local got
    got=$(drive "$1" "${@:4}")
    # The driver says something at every step, so nothing at all means Wine did not start it
    # (seen once in a loaded run): once more, from the start of the case.
    [[ -n $got ]] || { echo "note: $1: the driver did not run; again"; got=$(drive "$1" "${@:4}"); }
    check "$1" "$3" "$got"
}
drive() { # CASE STEPS...
    (cd "$work/$1" && timeout 120 "$WINE" "$build/win32-tools/driver.exe" "${@:2}" | tr -d '\r')
}

# Return, to the list (1000), to Refresh (1001) and to the dialog (0), neither
# ends the dialog nor asks the server again; Escape ends it with status 0.
sorted='Alpha|beta|zeta' return=13 escape=27
serve 'xxok|zeta|Alpha|beta'
run_case list "$port" 'exit 0' run launcher.exe dialog "$title" list "$sorted" sleep 300 \
    shot "$(wine_path "$build/artifacts/launcher-wine.bmp")" key 1000 $return \
    key 1001 $return key 0 $return sleep 1000 list "$sorted" nobox 100 key 1000 $escape exit
check "Return sends no request" 1 "$(requests 1)"

# A server that closes the connection after its reply (as one that restarts): Refresh (1001)
# connects again and asks again, without a message.
kill $server && wait $server 2>/dev/null
serve 'xxok|zeta|Alpha|beta' --close
run_case reconnect "$port" 'exit 0' run launcher.exe dialog "$title" list "$sorted" sleep 300 \
    press 1001 nobox 1000 list "$sorted" key 1000 $escape exit
check "Refresh connects again" 2 "$(requests 2)"

# Once the server is gone: one message, then the empty dialog; a double-click on the empty
# list starts no viewer, so no request (and no second message) follows.
kill $server && wait $server 2>/dev/null
run_case refused "$port" $'box Server Data Send Fail!\nexit 0' run launcher.exe box \
    dialog "$title" nobox 2000 list '' blank nobox 1500 key 1000 $escape exit

nosettings=$'box 세팅파일이 존재하지 않습니다. 재설치해주십시오\nexit 1'
run_case missing '' "$nosettings" run launcher.exe box exit
run_case read-only 1 "$nosettings" run launcher.exe box exit
run_case held 1 "$nosettings" hold set.xml run launcher.exe box exit

# Each double-click starts the viewer with the host as one argument, then asks again; an
# empty entry is an empty argument.
hosts=(Alpha 'my host' 'say "hi" \a\\' '')
serve 'xxok|zeta|Alpha|beta|my host|say "hi" \a\\|'
export TALVIEWER_RECORD=$(wine_path "$work/viewer/record.txt") TALVIEWER_EXIT=1
steps=(run launcher.exe dialog "$title")
for ((h = 0; h < 4; h++)); do steps+=(click "${hosts[h]}" record "$TALVIEWER_RECORD" $((h + 1))); done
steps+=(blank sleep 1500)  # a double-click on blank space starts nothing
run_case viewer "$port" 'exit 0' "${steps[@]}" list '|Alpha|beta|my host|say "hi" \a\\|zeta' \
    nobox 100 key 1000 $escape exit
check "viewer arguments" "$(printf "[TALVERO-VNC]\n[127.0.0.1]\n[$port]\n[%s]\n" "${hosts[@]}")" \
    "$("$WINE" "$build/win32-tools/driver.exe" records "$TALVIEWER_RECORD" | tr -d '\r')"
check "a request after each viewer start" 5 "$(requests 5)"

# The list's font follows the display's DPI, 20 pixels at 96 as before (the
# items' height follows the font); the dialog declares per-monitor awareness,
# so the system does not stretch it. Screenshots at both DPIs.
serve 'xxok|zeta|Alpha|beta'
for dpi in 96 192; do
    set_dpi $dpi
    run_case dpi-$dpi "$port" "item height $((20 * dpi / 96))"$'\nexit 0' run launcher.exe \
        dialog "$title" list "$sorted" sleep 300 itemheight \
        shot "$(wine_path "$build/artifacts/launcher-wine-${dpi}dpi.bmp")" key 1000 $escape exit
done
set_dpi ""

# Moved to a monitor of another DPI (WM_DPICHANGED, as the system sends it), the window
# takes the rectangle the system suggests and the list's font the DPI the message gives,
# whatever the system still says of the window's; and back to 96, twice over.
to192='dpichanged 192 100 50 900 650' to96='dpichanged 96 120 60 520 360'
round=$'window 100 50 900 650\nitem height 40\nwindow 120 60 520 360\nitem height 20'
run_case dpi-changed "$port" $'item height 20\n'"$round"$'\n'"$round"$'\nexit 0' run launcher.exe \
    dialog "$title" list "$sorted" itemheight $to192 itemheight $to96 itemheight $to192 \
    itemheight $to96 itemheight list "$sorted" key 1000 $escape exit

python3 "$here/bmp_to_png.py" "$build"/artifacts/launcher-wine*.bmp
[[ $failed == 0 ]]
