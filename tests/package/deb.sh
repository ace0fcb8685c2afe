#!/usr/bin/env bash
# deb.sh BUILD DIST: the Debian packages on this machine, as an administrator would meet them.
# lintian finds no errors; both install with dpkg -i once apt has brought their dependencies;
# the units pass `systemd-analyze verify` (offline: no systemd needs to run); the installed
# directory-server, started as its unit starts it (its user, its options, the agent keys as a
# credential, its log directory), lists an agent that proves its key,
# refuses every session until the operators' CA is in /etc/directory-server/ca.pem and challenges
# viewers once it is, and writes the audit file; the man page documents every option of --help; an upgrade
# keeps an edited hosts file; purge leaves nothing behind. Needs root (it installs packages).
set -euo pipefail
build=$(realpath "$1") dist=$(realpath "$2")
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: the Debian package tests install packages and need root"
    exit 0
fi
work=$(mktemp -d) server_pid=
cleanup() {
    [[ -z $server_pid ]] || kill "$server_pid" 2>/dev/null || true
    rm -f /etc/directory-server/ca.pem
    dpkg --purge tal-directory-server talagent >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok - $*"; }

server_deb=$(ls "$dist"/tal-directory-server_*.deb) agent_deb=$(ls "$dist"/talagent_*.deb)
version=$(dpkg-deb -f "$server_deb" Version)
upstream=${version%-*}

echo "=== lintian"
status=0
lintian --fail-on error "$server_deb" "$agent_deb" >"$work/lintian" 2>&1 || status=$?
sed -i '/running with root privileges/d' "$work/lintian"
cat "$work/lintian"
((status == 0)) || fail "lintian reports errors"

# The next release of the server package, from the same build, for the upgrade below.
(cd "$build" && cpack -G DEB -D CPACK_DEBIAN_PACKAGE_RELEASE=9999 -B "$work/next" >/dev/null)
next_deb=$(ls "$work"/next/tal-directory-server_*.deb)
[[ $(dpkg-deb -f "$next_deb" Version) == "$upstream-9999" ]] || fail "no newer package to upgrade to"

echo "=== install"
dpkg --purge tal-directory-server talagent >/dev/null 2>&1 || true
export DEBIAN_FRONTEND=noninteractive
for deb in "$server_deb" "$agent_deb"; do
    apt-get satisfy -y -qq --no-install-recommends "$(dpkg-deb -f "$deb" Depends)" >/dev/null ||
        fail "apt cannot satisfy the dependencies of $deb"
done
# What is on the machine before; compared after the purge. The package databases change, of
# course, and man-db's index is a cache.
snapshot() {
    find /etc /lib/systemd /usr /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt \
        -o -path /var/lib/man-db \) -prune -o -print 2>/dev/null | sort
}
snapshot >"$work/before"
dpkg -i "$server_deb" "$agent_deb" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
for p in tal-directory-server talagent; do
    [[ $(dpkg-query -W -f '${Status}' $p) == "install ok installed" ]] || fail "$p not installed"
done
[[ $(/usr/bin/directory-server --version) == "directory-server $upstream" ]] || fail "directory-server --version"
[[ $(/usr/bin/talagent --version) == "talagent $upstream" ]] || fail "talagent --version"
/usr/bin/talpki --help >/dev/null || fail "talpki --help"
ok "installed $version; --version tells $upstream"

conffiles=$(dpkg-query -W -f '${Conffiles}\n' tal-directory-server | awk 'NF { print $1 }' | sort)
[[ $conffiles == $'/etc/default/directory-server\n/etc/directory-server/agent-keys\n/etc/directory-server/hosts\n/etc/logrotate.d/directory-server' ]] ||
    fail "conffiles: $conffiles"
[[ $(stat -c %a:%U /etc/directory-server/agent-keys) == 600:root ]] || fail "agent-keys is not root's alone"
[[ $(stat -c %a /etc/directory-server/hosts) == 644 ]] || fail "the service's user cannot read the hosts file"
ok "configuration in /etc, kept as conffiles"

echo "=== units"
systemd-analyze verify /lib/systemd/system/directory-server.service 2>&1 | tee "$work/verify"
[[ ! -s $work/verify ]] || fail "systemd-analyze verify: directory-server.service"
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify /usr/lib/systemd/user/talagent.service 2>&1 |
    tee "$work/verify"
[[ ! -s $work/verify ]] || fail "systemd-analyze --user verify: talagent.service"
ok "the units verify"

echo "=== man page"
man=$(zcat /usr/share/man/man1/directory-server.1.gz | sed 's/\\-/-/g')
missing=
for option in $(/usr/bin/directory-server --help | grep -o -- '^ *--[a-z-]*' | tr -d ' '); do
    grep -Eq -- "^\.BI? +$option( |\$)" <<<"$man" || missing+=" $option"
done
[[ -z $missing ]] || fail "directory-server(1) lacks$missing"
ok "directory-server(1) documents every option of --help"

echo "=== the installed server as the unit starts it"
printf 'reception-01   # front desk\n' >>/etc/directory-server/hosts
cp /etc/directory-server/hosts "$work/hosts.edited"
key=$(openssl rand -hex 32)
printf 'pc-keyed %s\n' "$key" >>/etc/directory-server/agent-keys
# As systemd starts the service, without systemd: the credential copied by root into a
# directory of the service's own (mode 500, the file 400, owned by its user), $CREDENTIALS_DIRECTORY
# naming it, the log directory (LogsDirectory=, under %L) the service's own, ExecStart with %d,
# %L and the options of /etc/default/directory-server, run as an unprivileged user without
# capabilities as the dynamic user would be. Only the port is changed (a later --listen wins),
# so that the test does not depend on 47010 being free.
unit=/lib/systemd/system/directory-server.service
credential=$(sed -n 's/^LoadCredential=//p' $unit)
[[ $credential == agent-keys:/etc/directory-server/agent-keys ]] || fail "LoadCredential=$credential"
credentials=$work/credentials
mkdir "$credentials"
cp "${credential#*:}" "$credentials/${credential%%:*}"
chown -R nobody:nogroup "$credentials"
chmod 400 "$credentials/${credential%%:*}"
chmod 500 "$credentials"
chmod 711 "$work"
[[ $(sed -n 's/^LogsDirectory=//p' $unit) == directory-server ]] || fail "LogsDirectory="
mkdir -p "$work/log/directory-server"
chown nobody:nogroup "$work/log/directory-server"
audit=$work/log/directory-server/audit.log
exec_start=$(sed -n 's/^ExecStart=//p' $unit)
options=$(. /etc/default/directory-server && echo "$DIRECTORY_SERVER_OPTIONS")
command=${exec_start/\$DIRECTORY_SERVER_OPTIONS/$options}
command=${command//%d/$credentials}
command=${command//%L/$work/log}
[[ $command == /usr/bin/directory-server\ * ]] || fail "ExecStart: $exec_start"
start_server() {
    # shellcheck disable=SC2086 # the unit splits the options at blanks, as this does
    CREDENTIALS_DIRECTORY=$credentials setpriv --reuid=nobody --regid=nogroup --clear-groups \
        --inh-caps=-all --bounding-set=-all --no-new-privs $command --listen 127.0.0.1:0 \
        2>"$work/server.log" &
    server_pid=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server.log")
        [[ -n $port ]] && break
        kill -0 $server_pid 2>/dev/null || { cat "$work/server.log"; fail "the server exited"; }
        sleep 0.1
    done
    [[ -n $port ]] || fail "the server did not listen"
}
# All a viewer that asks for pc-keyed gets: its first line.
view() {
    (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'view pc-keyed\n' >&3 && timeout 5 head -n 1 <&3)
}
start_server
ask() {
    (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf server >&3 && timeout 5 dd bs=200 count=1 status=none <&3)
}
# An agent with its key is challenged, so the keys came in as the credential, and registers (the
# proof: HMAC-SHA256 of the challenge under the key); the server with open registration would
# not have asked.
exec 4<>"/dev/tcp/127.0.0.1/$port"
printf 'register pc-keyed\n' >&4
read -r -t 5 word nonce <&4 || fail "no challenge"
[[ $word == challenge ]] || fail "register got '$word $nonce'"
proof=$(printf %s "$nonce" | openssl dgst -sha256 -mac HMAC -macopt "hexkey:$key" | awk '{ print $NF }')
printf 'proof %s\n' "$proof" >&4
read -r -t 5 answer <&4 || fail "no answer to the proof"
[[ $answer == registered ]] || fail "the agent with its key got '$answer'"
reply=$(ask)
[[ $reply == "00ok|pc-keyed|reception-01" ]] || fail "reply '$reply'"
# No CA yet: every session is refused, and the log says what to do.
[[ $(view) == "error not-authorized" ]] || fail "a session without the operators' CA"
grep -q "there is no operators' CA file /etc/directory-server/ca.pem.*talpki ca" "$work/server.log" ||
    fail "the log does not say where the CA goes"
grep -q '"event":"agent-registered","machine":"pc-keyed",.*"transport":"plain"}' "$audit" ||
    fail "no audit line of the registration"
exec 4>&-
kill $server_pid && wait $server_pid || fail "the server did not stop cleanly on SIGTERM"
server_pid=
ok "$command lists pc-keyed, proven by its key: $reply; refuses sessions without a CA"
# With the CA in place, viewers are challenged for their operator's proof.
/usr/bin/talpki ca "$work/pki" 2>/dev/null || fail "talpki ca"
install -m 644 "$work/pki/ca.pem" /etc/directory-server/ca.pem
start_server
[[ $(view) == challenge\ * ]] || fail "a viewer is not challenged once the CA is there"
kill $server_pid && wait $server_pid || fail "the server did not stop cleanly on SIGTERM"
server_pid=
rm /etc/directory-server/ca.pem
ok "with /etc/directory-server/ca.pem the server challenges viewers"

echo "=== upgrade"
dpkg -i "$next_deb" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "upgrade"; }
[[ $(dpkg-query -W -f '${Version}' tal-directory-server) == "$upstream-9999" ]] || fail "not upgraded"
cmp -s /etc/directory-server/hosts "$work/hosts.edited" || fail "the upgrade lost the edited hosts file"
[[ $(stat -c %a /etc/directory-server/agent-keys) == 600 ]] || fail "the upgrade changed agent-keys' mode"
ok "upgraded to $upstream-9999; the edited hosts file is kept"

echo "=== remove, purge"
dpkg -r tal-directory-server talagent >/dev/null 2>&1 || fail "dpkg -r"
[[ -f /etc/directory-server/hosts && ! -e /usr/bin/directory-server ]] ||
    fail "removal should keep the configuration and take the program"
dpkg --purge tal-directory-server talagent >/dev/null 2>&1 || fail "dpkg --purge"
snapshot >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[[ -z $left ]] || fail "left after purge:"$'\n'"$left"
ok "purge leaves nothing behind"
