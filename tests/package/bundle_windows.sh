#!/usr/bin/env bash
# bundle_windows.sh BUILD_WIN DIST BUILD: the operators' Windows bundle unpacked into a fresh
# folder: its set.xml is in code page 949 as a Korean Windows reads it, and under Wine the
# bundle's launcher.exe lists the hosts of the directory server (BUILD/directory-server) and
# starts the bundle's talviewer.exe on a double-click (tests/win32's driver works the dialog;
# the viewer records its arguments as the stand-in does, TALVIEWER_RECORD).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_win=$(realpath "$1") dist=$(realpath "$2") build=$(realpath "$3")
source "$here/../win32/wine_session.sh"
work=$(mktemp -d) server=
trap '[[ -z $server ]] || kill $server 2>/dev/null; wine_session_stop; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

zip=$(ls "$dist"/launcher-*-windows-x64.zip)
mkdir -p "$work/fresh folder"
unzip -q "$zip" -d "$work/fresh folder"
app=$work/fresh\ folder/$(basename "$zip" .zip)
[[ $(cd "$app" && ls | tr '\n' ' ') == "README.txt launcher.exe set.xml talviewer.exe " ]] ||
    fail "bundle holds: $(ls "$app")"
grep -q $'remote-desktop viewer.*\r$' "$app/README.txt" || fail "the README (CRLF) does not describe talviewer.exe"
grep -q 'ca.pem' "$app/README.txt" || fail "the README does not say where the CA certificate goes"
grep -q 'APPDATA%\\talviewer\\operator.pem' "$app/README.txt" || fail "the README does not say where operator.pem goes"

# set.xml: the sample's text in code page 949, CRLF line ends, no byte-order mark (the launcher
# reads the bytes as they are), not UTF-8.
expected=$(sed 's/$/\r/' "$here/../../packaging/windows/set.xml.in")
[[ $(iconv -f CP949 -t UTF-8 "$app/set.xml") == "$expected" ]] || fail "set.xml is not the sample in CP949"
! iconv -f UTF-8 -t UTF-8 "$app/set.xml" >/dev/null 2>&1 || fail "set.xml is UTF-8"
[[ $(head -c 5 "$app/set.xml") == '<?xml' ]] || fail "set.xml starts with a byte-order mark"
grep -q '<title>원격 지원</title>' <<<"$expected" || fail "the sample's title is not Korean"
echo "ok - set.xml is in code page 949"

printf 'zeta\r\nAlpha\r\nbeta\r\n' >"$work/hosts"
"$build/directory-server" --listen 127.0.0.1:0 --hosts "$work/hosts" 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/server.log" && break; sleep 0.05; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server.log")
[[ -n $port ]] || fail "the directory server did not start"

# The sample pointed at the server. The title becomes ASCII: the driver finds the dialog by its
# caption through the ANSI functions, in Wine's code page, not 949.
title="Launcher Bundle"
LC_ALL=C sed -i "s/ip=\"[^\"]*\"/ip=\"127.0.0.1\"/; s/port=\"[^\"]*\"/port=\"$port\"/;
    s:<title>.*</title>:<title>$title</title>:" "$app/set.xml"

wine_session_start "$build_win"
export TALVIEWER_RECORD=$(wine_path "$work/record.txt") TALVIEWER_EXIT=1
got=$(cd "$app" && timeout 120 "$WINE" "$build_win/win32-tools/driver.exe" run launcher.exe \
    dialog "$title" list 'Alpha|beta|zeta' click Alpha record "$TALVIEWER_RECORD" 1 \
    key 1000 27 exit | tr -d '\r')
[[ $got == "exit 0" ]] || fail "the driver says: $got"
args=$("$WINE" "$build_win/win32-tools/driver.exe" records "$TALVIEWER_RECORD" | tr -d '\r')
[[ $args == "$(printf '[TALVERO-VNC]\n[127.0.0.1]\n[%s]\n[Alpha]' "$port")" ]] || fail "viewer arguments: $args"
grep -qi 'fresh folder.*talviewer.exe' "$work/record.txt" || fail "not the bundle's viewer: $(cat "$work/record.txt")"
echo "ok - the unpacked launcher.exe lists the server's hosts and starts the bundle's talviewer.exe"

# The bundle's talviewer.exe is the viewer, not the stand-in: started without the launcher's
# arguments it says how it is started and ends with status 2.
unset TALVIEWER_RECORD TALVIEWER_EXIT
usage=$(cd "$app" && TALVIEWER_NO_DIALOGS=1 timeout 60 "$WINE" talviewer.exe 2>&1 >/dev/null | tr -d '\r') && status=0 || status=$?
[[ $status == 2 ]] || fail "the bundle's talviewer.exe without arguments ended with status $status, not 2"
[[ $usage == *"started by the launcher as"* ]] || fail "the bundle's talviewer.exe says: $usage"
echo "ok - the bundle's talviewer.exe is the viewer"
