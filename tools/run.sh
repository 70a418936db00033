#!/usr/bin/env bash
# Starts the key manager under Wine. With a display it simply runs; without
# one it runs on a virtual display, saves a screenshot of the window to
# build/screenshots/key-manager.png and ends the program again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Not every machine here runs the i686 product's 32-bit Wine natively; the
# x86_64 build is the same code.
program=$root/build/x86_64/stage/gagent.exe
title="Glimmerpad Key Manager"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix-run}
  export WINEDEBUG=${WINEDEBUG:--all}
  exec /usr/lib/wine/wine64 "$program"
fi

shots=$root/build/screenshots
mkdir -p "$shots"
capture() {
  /usr/lib/wine/wine64 "$program" &
  local window=
  for _ in $(seq 1 200); do
    window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "run: the key manager window did not appear" >&2; return 1; }
  sleep 1
  import -window "$window" "$shots/key-manager.png"
  echo "run: no display here, so the window was shown on a virtual display;"
  echo "run: screenshot saved to $shots/key-manager.png"
}
export -f capture
export program title shots
"$root/tools/test-session.sh" run bash -c capture
