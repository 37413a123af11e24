#!/usr/bin/env bash
# korvia-replay --live --align on the loopback interface of a network namespace that this test
# creates and removes: the plugin starts on a multiple of log_interval since the epoch, so its
# first window does too. The traffic is UDP sent inside the namespace; nothing leaves it. Exit
# status 77 (skipped) where namespaces cannot be made.
#   live_align_test.sh KORVIA_REPLAY PLUGIN
set -uo pipefail
replay=$1
plugin=$2
ns=korvia-align-$$
work=$(mktemp -d)
replay_pid=

cleanup() {
  if [ -n "$replay_pid" ]; then kill -TERM "$replay_pid" 2>/dev/null; wait "$replay_pid" 2>/dev/null; fi
  ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  cat "$work/err" >&2 2>/dev/null
  exit 1
}

if ! ip netns add "$ns" 2>/dev/null; then
  echo "SKIP: network namespaces are not permitted here (needs root and ip netns)"
  exit 77
fi
ip netns exec "$ns" ip link set lo up
# Stopped well inside the first window, whose start is the plugin's: later windows keep to the
# plugin's whole-second timing, within a second of the boundaries.
interval=10
echo "{ \"aggregator\": 5, \"log_interval\": $interval, \"sinks\": { \"sink\": { \"c\": {} } } }" \
  >"$work/conf.json"
ip netns exec "$ns" "$replay" --plugin "$plugin" --conf "$work/conf.json" --live lo --align \
  >"$work/out" 2>"$work/err" &
replay_pid=$!
for _ in $(seq 200); do
  grep -q "capturing until" "$work/err" && break
  kill -0 "$replay_pid" 2>/dev/null || fail "korvia-replay ended before capturing"
  sleep 0.1
done
grep -q "lo: capturing until" "$work/err" || fail "lo is not captured within 20 s"
grep -q "the first window starts at .* UTC, on a multiple of $interval s" "$work/err" ||
  fail "the wait for the window boundary is not said"
ip netns exec "$ns" bash -c 'for _ in $(seq 5); do echo x >/dev/udp/127.0.0.1/9; sleep 0.1; done' ||
  fail "cannot send on the namespace's loopback"
kill -TERM "$replay_pid"
wait "$replay_pid"
status=$?
replay_pid=
[ "$status" -eq 0 ] || fail "korvia-replay exited with status $status"
start=$(head -1 "$work/out" | grep -o '"log_time_start":[0-9]*' | cut -d: -f2)
[ -n "$start" ] || fail "no payload: $(cat "$work/out")"
[ $((start % interval)) -eq 0 ] || fail "the first window starts at $start, not on a multiple of $interval"
echo "PASS: the first window starts at $start"
