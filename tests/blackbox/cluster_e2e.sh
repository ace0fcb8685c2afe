#!/usr/bin/env bash
# A session through a cluster of two directory servers, with the real binaries: talagent
# (plain, --insecure) holds pc-1 at node A, which lists it at node C through a redis-server of
# the test's own; talviewer asks node C for pc-1, C passes the order to A, A sends the agent's
# x11vnc to C, and the viewer's window must show the remote desktop's colour, relayed by C.
#   cluster_e2e.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
server_bin=$BUILD/directory-server
colour=c04020

for tool in x11vnc xsetroot redis-server; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps session)"; exit 77; }
done
[[ $("$server_bin" --help) == *--cluster* ]] || { echo "SKIP: built without --cluster"; exit 77; }

xvfb_start 640x480x24 || fail "the remote Xvfb did not start"
track "$XVFB_PID"
REMOTE=$DISPLAY
DISPLAY=$REMOTE xsetroot -solid "#$colour"
start_xvfb

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$WORK" \
    --logfile "$WORK/redis.log" &
track $!
for node in a c; do
    port=$(free_port)
    printf -v "port_$node" '%s' "$port"
    "$server_bin" --listen "127.0.0.1:$port" --cluster "redis://127.0.0.1:$redis_port" \
        --node $node --advertise "127.0.0.1:$port" 2>"$WORK/$node.log" &
    track $!
    wait_for 10 grep -q "cluster: joined" "$WORK/$node.log" || fail "node $node did not join: $(cat "$WORK/$node.log")"
done
"$BUILD/talagent" --server "127.0.0.1:$port_a" --server "127.0.0.1:$port_c" --name pc-1 \
    --display "$REMOTE" --insecure 2>"$WORK/agent.log" &
track $!
wait_for 15 grep -q 'agent "pc-1" registered' "$WORK/a.log" || fail "the agent did not register: $(cat "$WORK/agent.log")"

mkdir -p "$WORK/app"
cp "$BUILD/talviewer" "$WORK/app/"
: >"$WORK/app/allow-plain-sessions"
(cd "$WORK/app" && exec ./talviewer TALVERO-VNC 127.0.0.1 "$port_c" pc-1) 2>"$WORK/viewer.log" &
track $!
viewer=$(wait_window '^pc-1 \(not encrypted\)$' 20) ||
    fail "no viewer window: $(cat "$WORK/viewer.log") $(cat "$WORK/c.log")"
wait_for 20 shows_colour "$viewer" $colour "$WORK/viewer.ppm" || fail "the viewer does not show $colour; node c: $(cat "$WORK/c.log")"
echo "ok - a viewer at node c sees pc-1's desktop, whose agent is at node a"
