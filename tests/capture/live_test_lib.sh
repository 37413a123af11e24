# Shared by the live capture tests: a work folder, the network namespaces a test makes (removed at
# exit, after the program under test is stopped), and waiting on the program's messages.
#   . live_test_lib.sh; make_namespaces NAME...; start the program; replay_pid=$!
work=$(mktemp -d)
replay_pid=
namespaces=()

cleanup() {
  if [ -n "$replay_pid" ]; then kill -TERM "$replay_pid" 2>/dev/null; wait "$replay_pid" 2>/dev/null; fi
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- korvia-replay standard error:" >&2
  cat "$work/err" >&2 2>/dev/null
  exit 1
}

# await PATTERN FILE [SECONDS]: waits (20 s unless told) for PATTERN in FILE while the program
# runs.
await() {
  for _ in $(seq $((${3:-20} * 10))); do
    grep -q -- "$1" "$2" 2>/dev/null && return 0
    kill -0 "$replay_pid" 2>/dev/null || fail "korvia-replay ended while waiting for $1"
    sleep 0.1
  done
  fail "no $1 within ${3:-20} s"
}

# make_namespaces NAME...: makes them, or skips the test (status 77) where that is not permitted.
make_namespaces() {
  for ns in "$@"; do
    if ! ip netns add "$ns" 2>/dev/null; then
      echo "SKIP: network namespaces are not permitted here (needs root and ip netns)"
      exit 77
    fi
    namespaces+=("$ns")
  done
}

# stop_replay: SIGTERM, as a service manager stops it; fails unless the program exits 0.
stop_replay() {
  kill -TERM "$replay_pid"
  wait "$replay_pid"
  local status=$?
  replay_pid=
  [ "$status" -eq 0 ] || fail "korvia-replay exited with status $status after SIGTERM"
}
