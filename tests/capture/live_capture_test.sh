#!/usr/bin/env bash
# korvia-replay --live on a veth pair between two network namespaces that this test creates and
# removes. The traffic is UDP the test sends itself from one end to the other (and what the
# kernel answers); nothing leaves the namespaces. Exit status 77 (skipped) where namespaces
# cannot be made.
#   live_capture_test.sh KORVIA_REPLAY PLUGIN
set -uo pipefail
replay=$1
plugin=$2

id=$$
ns_capture=korvia-cap-$id
ns_sender=korvia-snd-$id
work=$(mktemp -d)
replay_pid=

cleanup() {
  if [ -n "$replay_pid" ]; then kill -TERM "$replay_pid" 2>/dev/null; wait "$replay_pid" 2>/dev/null; fi
  ip netns del "$ns_capture" 2>/dev/null
  ip netns del "$ns_sender" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- korvia-replay standard error:" >&2
  cat "$work/err" >&2 2>/dev/null
  exit 1
}

if ! ip netns add "$ns_capture" 2>/dev/null || ! ip netns add "$ns_sender" 2>/dev/null; then
  echo "SKIP: network namespaces are not permitted here (needs root and ip netns)"
  exit 77
fi
in_capture() { ip netns exec "$ns_capture" "$@"; }
in_sender() { ip netns exec "$ns_sender" "$@"; }

# Both ends live in namespaces of their own; IPv6 is off so that the kernel sends no neighbour
# discovery of its own.
ip link add kvc$id netns "$ns_capture" type veth peer name kvs$id netns "$ns_sender" ||
  { echo "SKIP: cannot create a veth pair here"; exit 77; }
in_capture sysctl -qw net.ipv6.conf.all.disable_ipv6=1
in_sender sysctl -qw net.ipv6.conf.all.disable_ipv6=1
in_capture ip addr add 10.213.0.1/30 dev kvc$id
in_sender ip addr add 10.213.0.2/30 dev kvs$id
in_capture ip link set kvc$id up
in_sender ip link set kvs$id up

cat >"$work/conf.json" <<'CONF'
{ "aggregator": 2, "privacy_mode": false, "nested": false, "log_interval": 3600,
  "sinks": { "sink": { "ch": {} } } }
CONF

# Started without a shell function in between, so that $! is the program itself (ip netns exec
# execs it) and the signal below reaches it.
ip netns exec "$ns_capture" "$replay" --plugin "$plugin" --conf "$work/conf.json" --live kvc$id \
  >"$work/out" 2>"$work/err" &
replay_pid=$!

# Wait for the capture to be open before sending.
for _ in $(seq 100); do
  grep -q "capturing" "$work/err" 2>/dev/null && break
  kill -0 "$replay_pid" 2>/dev/null || fail "korvia-replay ended before capturing"
  sleep 0.1
done
grep -q "capturing" "$work/err" || fail "the capture did not start within 10 s"

for n in 1 2 3 4 5; do
  in_sender bash -c "echo packet-$n >/dev/udp/10.213.0.1/9" || fail "cannot send"
  sleep 0.1
done
sleep 0.5

kill -INT "$replay_pid"
wait "$replay_pid"
status=$?
replay_pid=
[ "$status" -eq 0 ] || fail "korvia-replay exited with status $status"

# The UDP sample between the two ends counts the five datagrams; no other address appears.
udp=$(grep -o '"ip_protocol":17[^}]*' "$work/out" || true)
[ -n "$udp" ] || fail "no UDP sample in: $(cat "$work/out")"
for address in $(grep -o '"\(local\|other\)_ip":"[^"]*"' "$work/out" | sed 's/.*:"//; s/"//' | sort -u); do
  case "$address" in
    10.213.0.1 | 10.213.0.2) ;;
    *) fail "unexpected address $address in: $(cat "$work/out")" ;;
  esac
done
echo "$udp" | grep -q '"packets":5[,}]' || fail "expected 5 UDP packets, got: $udp"
cat "$work/out"
echo "PASS: live capture on a veth pair"
