#!/usr/bin/env bash
# korvia-replay --live on two veth pairs between two network namespaces that this test creates
# and removes: one run captures both interfaces under a filter, takes a burst without loss, and
# is reloaded, asked for its status and stopped by signals as a service manager would. The
# traffic is UDP the test sends itself from one end to the other (and what the kernel answers);
# nothing leaves the namespaces. Exit status 77 (skipped) where namespaces cannot be made.
#   live_capture_test.sh KORVIA_REPLAY PLUGIN
set -uo pipefail
replay=$1
plugin=$2

id=$$
ns_capture=korvia-cap-$id
ns_sender=korvia-snd-$id
burst=20000
. "$(dirname "$0")/live_test_lib.sh"
make_namespaces "$ns_capture" "$ns_sender"
in_capture() { ip netns exec "$ns_capture" "$@"; }
in_sender() { ip netns exec "$ns_sender" "$@"; }

# Both ends live in namespaces of their own; IPv6 is off so that the kernel sends no neighbour
# discovery of its own.
in_capture sysctl -qw net.ipv6.conf.all.disable_ipv6=1
in_sender sysctl -qw net.ipv6.conf.all.disable_ipv6=1
for pair in "c 0" "d 4"; do
  set -- $pair
  ip link add kv$1$id netns "$ns_capture" type veth peer name kw$1$id netns "$ns_sender" ||
    { echo "SKIP: cannot create a veth pair here"; exit 77; }
  in_capture ip addr add 10.213.0.$(($2 + 1))/30 dev kv$1$id
  in_sender ip addr add 10.213.0.$(($2 + 2))/30 dev kw$1$id
  in_capture ip link set kv$1$id up
  in_sender ip link set kw$1$id up
done

# The metrics endpoint listens on the capture namespace's own loopback.
in_capture ip link set lo up

# Record type 5: one row of packet statistics per interface.
cat >"$work/conf.json" <<'CONF'
{ "aggregator": 5, "log_interval": 3600, "sinks": { "sink": { "before_reload": {} } } }
CONF

# Started without a shell function in between, so that $! is the program itself (ip netns exec
# execs it) and the signals below reach it.
ip netns exec "$ns_capture" "$replay" --plugin "$plugin" --conf "$work/conf.json" \
  --live kvc$id --live kvd$id --filter "not udp port 7" --metrics 127.0.0.1:0 \
  >"$work/out" 2>"$work/err" &
replay_pid=$!
await "kvd$id: capturing" "$work/err"
grep -q "kvc$id: capturing" "$work/err" || fail "kvc$id is not captured"

for n in 1 2 3 4 5; do
  in_sender bash -c "echo packet-$n >/dev/udp/10.213.0.1/9 && echo filtered >/dev/udp/10.213.0.1/7" ||
    fail "cannot send"
done
for n in 1 2 3; do in_sender bash -c "echo packet-$n >/dev/udp/10.213.0.5/9" || fail "cannot send"; done
# The burst: as fast as one socket sends.
in_sender python3 -c "
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range($burst): s.sendto(b'x' * 64, ('10.213.0.1', 10))
" || fail "cannot send the burst"

# The reload takes the new channel name: the samples held so far go out under it.
cat >"$work/conf.json" <<'CONF'
{ "aggregator": 5, "log_interval": 3600, "sinks": { "sink": { "after_reload": {} } } }
CONF
kill -HUP "$replay_pid"
kill -USR1 "$replay_pid"
await '"status"' "$work/out"
await "kvc$id: [0-9]* packets received, 0 packets dropped by kernel" "$work/err"

# Once the burst is in, /metrics counts it without loss and passes promtool's check.
url=$(grep -o "http://127.0.0.1:[0-9]*/metrics" "$work/err") || fail "no metrics address"
received() {
  in_capture curl -sf "$url" |
    awk -v name="korvia_replay_packets_received_total{interface=\"$1\"}" '$1 == name { print $2 }'
}
burst_in() { [ "$(received kvc$id)" -ge $((burst + 5)) ] 2>/dev/null; }
for _ in $(seq 200); do burst_in && break; sleep 0.1; done
burst_in || fail "/metrics: $(received kvc$id) packets received on kvc$id, expected $((burst + 5)) or more"
in_capture curl -sf "$url" >"$work/metrics" || fail "cannot fetch $url"
promtool check metrics <"$work/metrics" || fail "promtool check metrics refused /metrics"
grep -q "^korvia_replay_packets_kernel_dropped_total{interface=\"kvc$id\"} 0$" "$work/metrics" ||
  fail "/metrics: packets dropped by the kernel"

stop_replay

for iface in kvc$id kvd$id; do
  grep -q "$iface: [0-9]* packets captured, 0 dropped by the capture" "$work/err" ||
    fail "no loss-free count line for $iface"
done
# Every datagram to port 9 and the whole burst counted; none of those to port 7.
row() { grep -o "{[^{}]*\"ifname\":\"$1\"[^{}]*}" "$work/out"; }
row kvc$id | grep -q "\"udp\":$((burst + 5))[,}]" || fail "kvc$id: expected $((burst + 5)) UDP packets: $(row kvc$id)"
row kvd$id | grep -q '"udp":3[,}]' || fail "kvd$id: expected 3 UDP packets: $(row kvd$id)"
grep -q '"channel":"after_reload"' "$work/out" || fail "the samples did not go out after the reload"
! grep -q '"channel":"before_reload"' "$work/out" || fail "a payload went to the channel reloaded away"
echo "PASS: live capture on two veth pairs"
