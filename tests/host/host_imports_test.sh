#!/usr/bin/env bash
# The plugin imports nothing from its host but what the daemon promises: every undefined dynamic
# symbol of the plugin that the host library defines must be allowed by the list, and every entry
# of the list must be named by the interface page (before its section on this host's extras).
#   host_imports_test.sh PLUGIN HOST_LIBRARY LIST PAGE
set -euo pipefail
plugin=$1 host=$2 list=$3 page=$4

symbols() { nm -D "$@" | awk '{print $NF}' | sort -u; }
imports=$(comm -12 <(symbols --defined-only "$host") <(symbols --undefined-only "$plugin") | c++filt)
[ -n "$imports" ] || { echo "no host imports found in $plugin: is it linked against $host?"; exit 1; }

# One extended regular expression per entry; regex metacharacters in names are only ':'.
patterns=()
while read -r kind name _; do
  case "$kind" in
    use) patterns+=("^${name}(\\(|\\[|$| const)") ;;
    type)
      patterns+=("^${name}::~?${name}\\(" "^${name}::operator=\\(")
      patterns+=("^(typeinfo|typeinfo name|vtable|VTT) for ${name}$") ;;
    class) patterns+=("^(typeinfo|typeinfo name) for ${name}$") ;;
    '' | '#'*) ;;
    *) echo "$list: unknown entry '$kind $name'"; exit 1 ;;
  esac
done < "$list"

failed=0
while IFS= read -r symbol; do
  allowed=0
  for pattern in "${patterns[@]}"; do
    if [[ "$symbol" =~ $pattern ]]; then allowed=1; break; fi
  done
  if [ "$allowed" = 0 ]; then
    echo "not promised by the daemon: $symbol"
    failed=1
  fi
done <<< "$imports"

promised=$(sed '/^## What this host adds/,$d' "$page")
while read -r kind name _; do
  case "$kind" in use | type | class) ;; *) continue ;; esac
  if ! grep -q -E "\`${name}([^A-Za-z0-9_]|$)" <<< "$promised"; then
    echo "$list names $name, which $(basename "$page") does not list as promised"
    failed=1
  fi
done < "$list"

[ "$failed" = 0 ] && echo "$(wc -l <<< "$imports") host imports, all promised"
exit "$failed"
