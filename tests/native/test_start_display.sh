#!/usr/bin/env bash
# Test sessions started at the same moment each get a display of their own:
# a session that went on with another's display would see that session's
# windows and lose its own when the other ends.
#   tests/native/test_start_display.sh [the starter to check]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
starter=${1:-$root/tools/start-display}
work=$(mktemp -d)
pids=()
cleanup() {
  [ ${#pids[@]} = 0 ] || kill "${pids[@]}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

sessions=4
for i in $(seq 1 $sessions); do
  "$starter" >"$work/$i" &
done
wait

failed=0
displays=()
for i in $(seq 1 $sessions); do
  read -r display pid <"$work/$i" || { echo "FAILED: session $i got no display"; failed=1; continue; }
  pids+=("$pid")
  displays+=("$display")
  # The server the starter named must be the one answering on the display.
  if ! kill -0 "$pid" 2>/dev/null || ! DISPLAY=$display xdpyinfo >/dev/null 2>&1; then
    echo "FAILED: session $i: $display does not answer, or its server $pid is gone"
    failed=1
  fi
done
if [ "$(printf '%s\n' "${displays[@]}" | sort -u | wc -l)" != $sessions ]; then
  echo "FAILED: $sessions sessions share displays: ${displays[*]}"
  failed=1
fi
[ "$failed" = 1 ] || echo "ok: $sessions sessions started together got ${displays[*]}"
exit "$failed"
