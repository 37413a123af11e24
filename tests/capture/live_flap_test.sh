#!/usr/bin/env bash
# korvia-replay --live on two veth pairs between two network namespaces that this test creates
# and removes, one of them deleted and made again mid-run, as a service would live through it:
#  - the steady interface is captured without a gap: its type 5 row counts every datagram sent;
#  - the flapping one is reported gone, captured again once made again, and its row counts the
#    datagrams sent before the deletion and after it came back;
#  - a reload that fails is logged, and SIGTERM still ends the run with status 0;
#  - /metrics passes promtool's check and counts the datagrams sent on each interface;
#  - an interface that never comes ends the run with status 7 after --give-up.
# Every datagram is confirmed by the ICMP "port unreachable" it draws: the capture side has
# passed it to the capture (and to the IP layer) by then. Nothing leaves the namespaces.
# Exit status 77 (skipped) where namespaces cannot be made.
#   live_flap_test.sh KORVIA_REPLAY PLUGIN
set -uo pipefail
replay=$1
plugin=$2

id=$$
ns_capture=korvia-fcap-$id
ns_sender=korvia-fsnd-$id
steady=kvs$id # captured throughout
flappy=kvf$id # deleted and made again
# The metrics endpoint listens on the capture namespace's own loopback.
replay_args=(--metrics 127.0.0.1:0)
. "$(dirname "$0")/live_test_lib.sh"
make_namespaces "$ns_capture" "$ns_sender"
in_capture() { ip netns exec "$ns_capture" "$@"; }
in_sender() { ip netns exec "$ns_sender" "$@"; }

# IPv6 off: the kernel sends no neighbour discovery of its own. Every "port unreachable" is sent.
in_capture sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0
in_capture ip link set lo up
in_sender sysctl -qw net.ipv6.conf.all.disable_ipv6=1

# make_pair NAME SUBNET: a veth pair NAME (capture side, .1) and its peer (sender side, .2).
make_pair() {
  ip link add "$1" netns "$ns_capture" type veth peer name "w$1" netns "$ns_sender" || return 1
  in_capture ip addr add "10.214.$2.1/30" dev "$1"
  in_sender ip addr add "10.214.$2.2/30" dev "w$1"
  in_sender ip link set "w$1" up
  in_capture ip link set "$1" up
}
make_pair "$steady" 0 || { echo "SKIP: cannot create a veth pair here"; exit 77; }
make_pair "$flappy" 4 || fail "cannot create the second veth pair"

# send SUBNET COUNT: COUNT datagrams to the capture side, each confirmed by its ICMP answer.
send() {
  in_sender python3 -c "
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(10)
s.connect(('10.214.$1.1', 9))
for n in range($2):
    s.send(b'datagram %d' % n)
    try:
        s.recv(100)
        sys.exit('an answer other than port unreachable')
    except ConnectionRefusedError:
        pass
" || fail "cannot send $2 datagrams to 10.214.$1.1"
}

# Record type 5: one row of packet statistics per interface; only UDP is captured, so that the
# ICMP answers and ARP stay out of the counts.
cat >"$work/conf.json" <<'CONF'
{ "aggregator": 5, "log_interval": 3600, "sinks": { "sink": { "rows": {} } } }
CONF

# $! is the program itself (ip netns exec execs it), so the signals below reach it.
ip netns exec "$ns_capture" "$replay" --plugin "$plugin" --conf "$work/conf.json" \
  --live "$steady" --live "$flappy" "${replay_args[@]}" udp >"$work/out" 2>"$work/err" &
replay_pid=$!
await "$steady: capturing" "$work/err" 60
await "$flappy: capturing" "$work/err" 60

sent_steady=0
sent_flappy=0
send 0 50; sent_steady=$((sent_steady + 50))
send 4 30; sent_flappy=$((sent_flappy + 30))

# Deleted and made again under the same name at once: a new interface, which the capture of the
# old one never sees. The steady interface goes on meanwhile.
in_capture ip link del "$flappy"
send 0 40; sent_steady=$((sent_steady + 40))
make_pair "$flappy" 4 || fail "cannot make $flappy again"
await "$flappy: The interface disappeared" "$work/err" 60
await "$flappy: capturing again" "$work/err" 60
send 4 20; sent_flappy=$((sent_flappy + 20))
send 0 10; sent_steady=$((sent_steady + 10))

# Down and up again: the capture stays open and goes on.
in_capture ip link set "$flappy" down
await "$flappy: the interface went down" "$work/err" 60
in_capture ip link set "$flappy" up
await "$flappy: up again" "$work/err" 60
send 4 10; sent_flappy=$((sent_flappy + 10))

# A reload that fails is logged and does not change how a stopped capture exits.
echo '{ "aggregator": 5, ' >"$work/conf.json"
kill -HUP "$replay_pid"
await "configuration reload failed" "$work/err" 60

# /metrics counts what each interface captured, the flapping one across its two captures.
url=$(grep -o "http://127.0.0.1:[0-9]*/metrics" "$work/err") || fail "no metrics address"
received() {
  in_capture curl -sf "$url" |
    awk -v name="korvia_replay_packets_received_total{interface=\"$1\"}" '$1 == name { print $2 }'
}
counted_all() { [ "$(received "$steady")" = "$sent_steady" ] && [ "$(received "$flappy")" = "$sent_flappy" ]; }
for _ in $(seq 300); do counted_all && break; sleep 0.1; done
counted_all || fail "/metrics: $(received "$steady") and $(received "$flappy") packets received, $sent_steady and $sent_flappy sent"
in_capture curl -sf "$url" >"$work/metrics" || fail "cannot fetch $url"
promtool check metrics <"$work/metrics" || fail "promtool check metrics refused /metrics"

stop_replay

# A type 5 row per interface and payload; its counts summed over the run's payloads.
counted() {
  grep -o "{[^{}]*\"ifname\":\"$1\"[^{}]*}" "$work/out" | grep -o "\"$2\":[0-9]*" |
    awk -F: '{ sum += $2 } END { print sum + 0 }'
}
for pair in "$steady $sent_steady" "$flappy $sent_flappy"; do
  set -- $pair
  for counter in raw udp; do
    [ "$(counted "$1" $counter)" -eq "$2" ] ||
      fail "$1: $2 datagrams sent, \"$counter\" counts $(counted "$1" $counter): $(grep -o "{[^{}]*\"ifname\":\"$1\"[^{}]*}" "$work/out")"
  done
done
grep -q "$flappy: $sent_flappy packets captured, 0 dropped by the capture" "$work/err" ||
  fail "no count line of $sent_flappy packets for $flappy"

# No interface at all for longer than --give-up: the run ends with its own status.
echo '{ "aggregator": 5 }' >"$work/conf.json"
timeout 60 ip netns exec "$ns_capture" "$replay" --plugin "$plugin" --conf "$work/conf.json" \
  --live "nothere$id" --give-up 1 >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 7 ] || fail "a capture without its interface exited with $status, not 7"
grep -q "nothere$id: No such device exists" "$work/err" || fail "the missing interface was not named"
echo "PASS: live capture through an interface that comes and goes"
