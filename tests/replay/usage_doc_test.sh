#!/usr/bin/env bash
# The usage block of docs/replay.md is what --help prints, line for line, so neither drifts.
#   usage_doc_test.sh KORVIA_REPLAY REPLAY_MD
set -euo pipefail
documented=$(awk '/^## Command line/ { section = 1; next }
                  section && /^```/ { if (block) exit; block = 1; next }
                  block' "$2")
[ -n "$documented" ] || { echo "no usage block under \"## Command line\" in $2" >&2; exit 1; }
diff -u --label "$2" <(printf '%s\n' "$documented") --label "$1 --help" <("$1" --help)
