#!/usr/bin/env bash
# The cluster through a Sentinel failover, with the real directory-server: a master and a
# replica redis-server and three sentinels (quorum 2) on loopback, two nodes given
# --cluster sentinel://..., a stand-in agent at node A listed at node B. The master is killed:
# both nodes must say they follow the new master, and an agent registered after the failover
# must be listed across the nodes, as must the one from before (published again).
#   cluster_sentinel.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
server_bin=$BUILD/directory-server
agents="python3 $(dirname "$0")/../../bench/cluster/agents.py agents"

command -v redis-server >/dev/null || { echo "SKIP: redis-server is not installed (scripts/deps session)"; exit 77; }
[[ $("$server_bin" --help) == *sentinel://* ]] || { echo "SKIP: built without --cluster"; exit 77; }
# redis-sentinel is redis-server in sentinel mode; either name runs it.
sentinel=(redis-server CONF --sentinel)
command -v redis-sentinel >/dev/null && sentinel=(redis-sentinel CONF)

ping() { [[ $(redis-cli -p "$1" ping 2>/dev/null) == PONG ]]; }
# The names node $1 lists, "|"-separated after "00ok".
list() {
    python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2)
s.sendall(b"server")
data = b""
while len(data) < 6 or not data.endswith(b"\n") and len(data) < int(data[:2] or 0) + 2:
    chunk = s.recv(65536)
    if not chunk:
        break
    data += chunk
print(data.decode(errors="replace"))' "$1" 2>/dev/null
}
lists() { [[ $(list "$1") == *"$2"* ]]; }

master=$(free_port)
replica=$(free_port)
for role in master replica; do
    extra=()
    [[ $role == replica ]] && extra=(--replicaof 127.0.0.1 "$master")
    mkdir -p "$WORK/$role"
    redis-server --port "${!role}" --bind 127.0.0.1 --save "" --appendonly no --dir "$WORK/$role" \
        --logfile "$WORK/$role.log" "${extra[@]}" &
    track $!
    [[ $role == master ]] && master_pid=$!
    wait_for 10 ping "${!role}" || fail "the $role redis-server did not start: $(cat "$WORK/$role.log")"
done
sentinels=()
for i in 1 2 3; do
    port=$(free_port)
    cat >"$WORK/sentinel-$i.conf" <<CONF
port $port
bind 127.0.0.1
dir $WORK
logfile $WORK/sentinel-$i.log
sentinel monitor directory 127.0.0.1 $master 2
sentinel down-after-milliseconds directory 1000
sentinel failover-timeout directory 10000
CONF
    "${sentinel[@]/CONF/$WORK/sentinel-$i.conf}" &
    track $!
    sentinels+=("127.0.0.1:$port")
done
quorum() { [[ $(redis-cli -p "${sentinels[0]#*:}" sentinel ckquorum directory 2>/dev/null) == OK* ]] &&
    [[ $(redis-cli -p "${sentinels[0]#*:}" sentinel replicas directory 2>/dev/null) == *"$replica"* ]]; }
wait_for 30 quorum || fail "the sentinels do not see each other and the replica: $(cat "$WORK"/sentinel-1.log)"

url="sentinel://$(IFS=,; echo "${sentinels[*]}")/directory"
for node in a b; do
    port=$(free_port)
    printf -v "port_$node" '%s' "$port"
    "$server_bin" --listen "127.0.0.1:$port" --cluster "$url" --node $node \
        --advertise "127.0.0.1:$port" --cluster-ttl 5 2>"$WORK/$node.log" &
    track $!
    wait_for 10 grep -q "cluster: joined" "$WORK/$node.log" || fail "node $node did not join: $(cat "$WORK/$node.log")"
done
$agents "$port_a" 1 early >/dev/null &
track $!
wait_for 10 lists "$port_b" early-00000 || fail "node b does not list node a's agent: $(list "$port_b")"

kill -9 "$master_pid"
for node in a b; do
    wait_for 30 grep -q "following the new master directory at 127.0.0.1:$replica" "$WORK/$node.log" ||
        fail "node $node does not follow the new master: $(cat "$WORK/$node.log")"
done
$agents "$port_b" 1 late >/dev/null &
track $!
wait_for 10 lists "$port_a" late-00000 || fail "node a does not list node b's agent after the failover: $(list "$port_a") $(cat "$WORK/a.log")"
# Kept by the replica, refreshed by node a through the new master: listed past the TTL.
sleep 6
lists "$port_b" early-00000 || fail "node b lost node a's agent after the failover: $(list "$port_b") $(cat "$WORK/b.log")"
echo "ok - after a Sentinel failover both nodes follow the new master and list each other's agents"
