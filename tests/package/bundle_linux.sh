#!/usr/bin/env bash
# bundle_linux.sh BUILD DIST: the operators' Linux bundle unpacked into a fresh folder (whose
# path holds a blank, quotes, '$', '\' and '%') runs against the directory server: the list
# fills, a double-click starts the bundle's talviewer with the host. The programs need no Qt
# library beyond those the README names; add-menu-entry writes a menu entry that starts this
# folder's launcher with its icon.
build=$(realpath "$1") dist=$(realpath "$2")
set -- "$build"
source "$(dirname "$0")/../blackbox/lib.sh"

tarball=$(ls "$dist"/launcher-*-linux-x86_64.tar.gz)
name=$(basename "$tarball" .tar.gz)
parent="$WORK/op's \"bundle\" \$HOME\\x 100%"
mkdir -p "$parent"
tar -xzf "$tarball" -C "$parent"
app=$parent/$name
[[ $(cd "$app" && ls | tr '\n' ' ') == "README.txt add-menu-entry launcher launcher.png set.xml talviewer " ]] ||
    fail "bundle holds: $(ls "$app")"
version=$(sed -n 's/^project(launcher VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[[ $("$app/talviewer" --version) == "talviewer $version" ]] || fail "talviewer --version"
echo "ok - unpacked $name"

# The Qt libraries the programs link, by Debian's own reckoning, are all named in the README.
mkdir -p "$WORK/shlibs/debian"
printf 'Source: bundle\n\nPackage: bundle\nArchitecture: any\n' >"$WORK/shlibs/debian/control"
depends=$(cd "$WORK/shlibs" && dpkg-shlibdeps -O "$app/launcher" "$app/talviewer" 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | sed 's/ *(.*//; s/^ *//')
apt_line=$(grep -o 'apt install .*' "$app/README.txt")
for package in $depends; do
    # Part of every Debian system (dpkg itself needs zlib1g).
    case $package in libc6 | libstdc++6 | libgcc-s1 | zlib1g) continue ;; esac
    [[ " $apt_line " == *" $package "* ]] || fail "the README does not name $package ($apt_line)"
done
[[ $apt_line == *qt6-qpa-plugins* ]] || fail "the README does not name Qt's platform plugins"
echo "ok - the README's '$apt_line' covers: $(echo $depends)"

start_xvfb
printf 'zeta\nAlpha\n' >"$WORK/hosts"
"$BUILD/directory-server" --listen 127.0.0.1:0 --hosts "$WORK/hosts" 2>"$WORK/server.log" &
track $!
wait_for 10 grep -q 'listening on' "$WORK/server.log" || fail "the directory server did not start"
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/server.log")

# The sample set.xml, pointed at this server; its title stays.
sed -i "s/ip=\"[^\"]*\"/ip=\"127.0.0.1\"/; s/port=\"[^\"]*\"/port=\"$port\"/" "$app/set.xml"
title=$(sed -n 's:.*<title>\(.*\)</title>.*:\1:p' "$app/set.xml")
# The bundle's viewer is the real one: it asks this server for a session with the host, which
# has no agent, and says so (on stderr, without dialogs) before it ends.
export TALVIEWER_NO_DIALOGS=1
"$app/launcher" 2>"$WORK/launcher.err" &
pid=$!
track $pid
win=$(wait_window "^$title\$" 15) || fail "the bundle's launcher did not appear"
wait_for 15 has_read $pid 15 || fail "the launcher did not read the server's reply"
xdotool mousemove --window "$win" 40 20 click --repeat 2 --delay 80 1
wait_for 15 grep -q '^talviewer: .*Alpha' "$WORK/launcher.err" ||
    fail "the viewer did not ask for Alpha: $(cat "$WORK/launcher.err")"
press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS"
echo "ok - the unpacked launcher lists the server's hosts and starts the bundle's talviewer"

export XDG_DATA_HOME=$WORK/xdg
"$app/add-menu-entry" >/dev/null || fail "add-menu-entry"
entry=$(ls "$XDG_DATA_HOME"/applications/*.desktop)
! command -v desktop-file-validate >/dev/null || desktop-file-validate "$entry" || fail "invalid $entry"
# The entry's Exec, Icon and Path as a desktop reads them: string escapes first, then Exec's
# quoting, then '%%'.
python3 - "$entry" "$app" <<'PY' || fail "menu entry: $(cat "$entry")"
import re, sys
entry, app = sys.argv[1], sys.argv[2]
values = dict(line.split("=", 1) for line in open(entry, encoding="utf-8").read().splitlines()
              if "=" in line)
def unescape(s):
    return re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(m[1], m[1]), s)
def exec_args(s):
    args, i, s = [], 0, unescape(s)
    for m in re.finditer(r'"((?:[^"\\]|\\.)*)"|(\S+)', s):
        arg = re.sub(r'\\([\\"`$])', r"\1", m[1]) if m[1] is not None else m[2]
        args.append(arg.replace("%%", "%"))
    return args
assert exec_args(values["Exec"]) == [app + "/launcher"], exec_args(values["Exec"])
assert unescape(values["Icon"]) == app + "/launcher.png", values["Icon"]
assert unescape(values["Path"]) == app, values["Path"]
PY
"$app/add-menu-entry" --remove >/dev/null && [[ ! -e $entry ]] || fail "add-menu-entry --remove"
echo "ok - add-menu-entry starts this folder's launcher with its icon; --remove takes it away"
