#!/usr/bin/env bash
# End-to-end tests of launcher.exe under Wine, against a loopback directory
# server. Run inside a Wine session (tests/win32/wine_session.sh), after
# scripts/build-windows:
#
#   tests/win32/e2e.sh BUILD_DIR
#
# Each case gets a folder of its own under BUILD_DIR/e2e with launcher.exe,
# the stand-in talviewer.exe and its set.xml; the driver works the dialog.
# The screenshot of the dialog is left in BUILD_DIR/artifacts.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_session.sh"
build=$(realpath "$1")
tools=$build/win32-tools
work=$build/e2e
artifacts=$build/artifacts
title="Launcher Test"
rm -rf "$work"
mkdir -p "$work" "$artifacts"

passed=0
failed=0
server_pid=
server_port=

# A case folder with the programs and, given a port, a set.xml.
make_case() { # NAME [PORT]
    local dir=$work/$1
    mkdir -p "$dir"
    cp "$build/launcher.exe" "$tools/talviewer.exe" "$dir/"
    if [[ $# -ge 2 ]]; then
        printf '<?xml version="1.0"?>\n<xml>\n  <connect ip="127.0.0.1" port="%s"/>\n  <title>%s</title>\n</xml>\n' \
            "$2" "$title" >"$dir/set.xml"
    fi
    printf '%s' "$dir"
}

start_server() { # REPLY LOG
    local portfile=$work/port.$$
    rm -f "$portfile"
    python3 "$here/list_server.py" --reply "$1" --port-file "$portfile" --log "$2" --lifetime 300 &
    server_pid=$!
    local i
    for ((i = 0; i < 100; i++)); do
        [[ -s $portfile ]] && break
        sleep 0.05
    done
    server_port=$(cat "$portfile")
}

stop_server() {
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
}

# A port on which nothing listens.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

driver() { timeout 120 "$WINE" "$tools/driver.exe" "$@"; }

check() { # NAME STATUS
    if [[ $2 -eq 0 ]]; then
        echo "PASS: $1"
        passed=$((passed + 1))
    else
        echo "FAIL: $1"
        failed=$((failed + 1))
    fi
}

requests() { grep -c "b'server'" "$1" 2>/dev/null || true; }

echo "--- sorted list; Return keeps the dialog, Escape ends it"
log=$work/list.log
start_server 'xxok|zeta|Alpha|beta' "$log"
dir=$(make_case list "$server_port")
driver list "$(wine_path "$dir")" "$title" "$(wine_path "$artifacts/launcher-wine.bmp")"
status=$?
# Return pressed nothing: the one request is the one sent on connecting.
n=$(requests "$log")
[[ $n -eq 1 ]] || { echo "  $n requests, expected 1"; status=1; }
stop_server
check "sorted list, Return, Escape" $status
python3 "$here/bmp_to_png.py" "$artifacts/launcher-wine.bmp" "$artifacts/launcher-wine.png" 2>/dev/null ||
    echo "  (no screenshot)"

echo "--- refused connection"
dir=$(make_case refused "$(free_port)")
driver refused "$(wine_path "$dir")" "$title"
check "refused connection gives one send failure" $?

echo "--- settings file missing, read-only, open elsewhere"
dir=$(make_case missing)
driver nosettings "$(wine_path "$dir")"
check "missing set.xml" $?
dir=$(make_case readonly "$(free_port)")
chmod a-w "$dir/set.xml"
driver nosettings "$(wine_path "$dir")"
check "read-only set.xml" $?
dir=$(make_case held "$(free_port)")
driver nosettings "$(wine_path "$dir")" hold
check "set.xml open in another program" $?

echo "--- double-click starts the viewer"
log=$work/viewer.log
start_server 'xxok|zeta|Alpha|beta|my host|say "hi" \a\\' "$log"
dir=$(make_case viewer "$server_port")
record=$(wine_path "$dir/record.txt")
driver viewer "$(wine_path "$dir")" "$title" 127.0.0.1 "$server_port" Alpha "$record"
status=$?
# The request on connecting and the one after the viewer's start.
n=$(requests "$log")
[[ $n -ge 2 ]] || { echo "  $n requests, expected the list to be asked for again"; status=1; }
check "double-click on Alpha" $status
driver viewer "$(wine_path "$dir")" "$title" 127.0.0.1 "$server_port" "my host" "$record"
check "a host name with a space is one argument" $?
driver viewer "$(wine_path "$dir")" "$title" 127.0.0.1 "$server_port" 'say "hi" \a\\' "$record"
check "a host name with quotes and backslashes arrives unchanged" $?
stop_server

echo "e2e: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
