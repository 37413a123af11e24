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
. "$(dirname "$0")/live_test_lib.sh"
make_namespaces "$ns"
ip netns exec "$ns" ip link set lo up
# Stopped well inside the first window, whose start is the plugin's: later windows keep to the
# plugin's whole-second timing, within a second of the boundaries.
interval=10
echo "{ \"aggregator\": 5, \"log_interval\": $interval, \"sinks\": { \"sink\": { \"c\": {} } } }" \
  >"$work/conf.json"
ip netns exec "$ns" "$replay" --plugin "$plugin" --conf "$work/conf.json" --live lo --align \
  >"$work/out" 2>"$work/err" &
replay_pid=$!
await "lo: capturing until" "$work/err"
grep -q "the first window starts at .* UTC, on a multiple of $interval s" "$work/err" ||
  fail "the wait for the window boundary is not said"
ip netns exec "$ns" bash -c 'for _ in $(seq 5); do echo x >/dev/udp/127.0.0.1/9; sleep 0.1; done' ||
  fail "cannot send on the namespace's loopback"
stop_replay
start=$(head -1 "$work/out" | grep -o '"log_time_start":[0-9]*' | cut -d: -f2)
[ -n "$start" ] || fail "no payload: $(cat "$work/out")"
[ $((start % interval)) -eq 0 ] || fail "the first window starts at $start, not on a multiple of $interval"
echo "PASS: the first window starts at $start"
