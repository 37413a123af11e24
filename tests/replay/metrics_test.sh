#!/usr/bin/env bash
# korvia-replay --metrics on a capture file read from a pipe that this test holds open, so that
# the run is scraped at a moment the test chooses: /metrics passes promtool's check and counts
# the packets of the file; a Prometheus server started here on loopback scrapes it and answers a
# query with the same count; SIGUSR1 writes the capture counters to standard error. Everything
# stays on 127.0.0.1.
#   metrics_test.sh KORVIA_REPLAY PLUGIN DATA_DIR
set -uo pipefail
replay=$1
plugin=$2
data=$3

work=$(mktemp -d)
replay_pid=
prometheus_pid=

cleanup() {
  exec 3>&- 2>/dev/null
  for pid in $prometheus_pid $replay_pid; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- korvia-replay standard error:" >&2
  cat "$work/err" >&2
  exit 1
}

# Runs "$@" until it succeeds, every 0.2 s for at most 120 s, while korvia-replay runs.
poll() {
  for _ in $(seq 600); do
    "$@" && return 0
    kill -0 "$replay_pid" 2>/dev/null || fail "korvia-replay ended early"
    sleep 0.2
  done
  return 1
}

for tool in promtool prometheus mergecap capinfos tshark curl ss; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/bootstrap)"; exit 77; }
done

# TCP from one file, UDP from the other: the filter "tcp" lets only the first through.
mergecap -F pcap -w "$work/mixed.pcap" "$data/ssh.pcap" "$data/dns_udp.pcap"
packets=$(capinfos -T -r -c "$work/mixed.pcap" | cut -f2)
not_tcp=$(tshark -r "$work/mixed.pcap" -Y "not tcp" 2>/dev/null | wc -l)
echo '{"aggregator": 2, "log_interval": 60}' >"$work/conf.json"

mkfifo "$work/pipe"
"$replay" --plugin "$plugin" --conf "$work/conf.json" -r - --metrics 127.0.0.1:0 tcp \
  <"$work/pipe" >"$work/out" 2>"$work/err" &
replay_pid=$!
exec 3>"$work/pipe"
cat "$work/mixed.pcap" >&3

poll grep -q "metrics at http://127.0.0.1:[0-9]*/metrics" "$work/err" || fail "no metrics address"
url=$(grep -o "http://127.0.0.1:[0-9]*/metrics" "$work/err")
port=${url#http://127.0.0.1:}
port=${port%/metrics}

# The value of one series, as the endpoint serves it now.
metric() { curl -sf "$url" | awk -v name="$1" '$1 == name { print $2 }'; }
received='korvia_replay_packets_received_total{interface="stdin"}'
all_received() { test "$(metric "$received")" = "$packets"; }
poll all_received ||
  fail "$received is $(metric "$received"), not $packets"
filtered=$(metric 'korvia_replay_packets_filtered_total{interface="stdin"}')
[ "$filtered" = "$not_tcp" ] || fail "packets filtered: $filtered, not $not_tcp"
curl -sf "$url" >"$work/metrics" || fail "cannot fetch $url"
promtool check metrics <"$work/metrics" || fail "promtool check metrics refused $url"

# A Prometheus server of our own, on a port nobody listens on; another server may take it first,
# so the start is tried a few times. It must not hold the pipe open (3>&-).
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: korvia
    static_configs:
      - targets: ["127.0.0.1:$port"]
EOF
for attempt in 1 2 3 4 5; do
  prometheus_port=$((20000 + RANDOM % 40000))
  ss -ltnH | awk '{ print $4 }' | grep -q ":$prometheus_port\$" && continue
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 3>&- &
  prometheus_pid=$!
  poll curl -sf "http://127.0.0.1:$prometheus_port/-/ready" -o /dev/null && break
  kill "$prometheus_pid" 2>/dev/null
  wait "$prometheus_pid" 2>/dev/null
  prometheus_pid=
done
[ -n "$prometheus_pid" ] || { cat "$work/prometheus.log" >&2; fail "Prometheus did not start"; }
answered() {
  promtool query instant "http://127.0.0.1:$prometheus_port" "$received" 2>/dev/null |
    grep -q "=> $packets @"
}
poll answered || fail "Prometheus does not answer $received => $packets"

# SIGUSR1 while the run waits for more of the pipe; at its end the request is still answered.
kill -USR1 "$replay_pid"
exec 3>&-
wait "$replay_pid"
status=$?
replay_pid=
[ "$status" = 0 ] || fail "exit status $status"
expected="stdin: $packets packets received, 0 packets dropped by kernel, 0 packets dropped by"
expected+=" interface, 0 packets dropped by flow limit, $not_tcp packets filtered, 0 flows tracked"
grep -qF "korvia-replay: $expected" "$work/err" || fail "no line \"$expected\""
grep -q '^{"status":{' "$work/out" || fail "no status line on standard output"

# An event script: flows, a reload the plugin takes and one it refuses, then a sleep during which
# the sink, reload and sample counters are scraped; SIGTERM ends it.
echo '{"aggregator": 1, "log_interval": 0, "sinks": {"demo": {"records": {}}}}' >"$work/conf.json"
{
  grep '"event": "flows"' "$(dirname "$0")/../../examples/records/flows.jsonl" | head -1
  echo '{"event": "reload"}'
  echo '{"event": "reload", "conf_text": "{"}'
  echo '{"event": "sleep", "ms": 3600000}'
} >"$work/events.jsonl"
"$replay" --plugin "$plugin" --conf "$work/conf.json" --events "$work/events.jsonl" \
  --metrics 127.0.0.1:0 >"$work/out" 2>"$work/err" &
replay_pid=$!
poll grep -q "metrics at http://127.0.0.1:[0-9]*/metrics" "$work/err" || fail "no metrics address"
url=$(grep -o "http://127.0.0.1:[0-9]*/metrics" "$work/err")
stored() { [ "$(metric 'korvia_replay_sink_payloads_total{sink="demo"}')" -ge 1 ] 2>/dev/null; }
poll stored || fail "sink demo: no payload counted"
curl -sf "$url" >"$work/metrics" || fail "cannot fetch $url"
# The series of the scrape just saved.
saved() { awk -v name="$1" '$1 == name { print $2 }' "$work/metrics"; }
for line in 'korvia_replay_reloads_total{result="success"} 1' \
  'korvia_replay_reloads_total{result="failure"} 1' \
  'korvia_replay_sink_failed_payloads_total{sink="demo"} 0'; do
  grep -qxF "$line" "$work/metrics" || fail "/metrics has no line $line"
done
grep -qx 'korvia_replay_plugin_samples [0-9]*' "$work/metrics" || fail "/metrics: no samples"
# The bytes counted are those of the payloads counted, as the lines of standard output hold them.
payloads=$(saved 'korvia_replay_sink_payloads_total{sink="demo"}')
bytes=$(saved 'korvia_replay_sink_payload_bytes_total{sink="demo"}')
written=$(grep '"sink":"demo"' "$work/out" | head -n "$payloads" |
  sed 's/^.*"payload":\(.*\),"sink":"demo"}$/\1/' | tr -d '\n' | wc -c)
[ "$bytes" = "$written" ] || fail "sink demo: $bytes bytes counted, $payloads payloads hold $written"
promtool check metrics <"$work/metrics" || fail "promtool check metrics refused $url"
kill -TERM "$replay_pid"
wait "$replay_pid"
replay_pid=
echo "PASS: $packets packets counted, scraped and queried; SIGUSR1 wrote the counters;" \
  "sinks, reloads and samples counted"
