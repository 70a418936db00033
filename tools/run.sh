#!/usr/bin/env bash
# Starts the product under Wine, from the x86_64 stage (the shipped i686
# build is the same code, and its 32-bit Wine runs emulated on some
# machines): the key agent with a demo key, a bridge through which Linux's
# OpenSSH tools reach the agent, and the key manager. With a display it runs
# until the manager's window is closed; without one it runs on a virtual
# display, saves a screenshot of the window to
# build/screenshots/key-manager.png and ends. Either way the whole run ends
# with it, agent included: a Wine prefix's programs outlive their caller
# unseen, and the agent keeps its keys in memory only, so nothing is lost
# that the next run does not add again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/run

if [ "${1:-}" != --in-session ]; then
  mode=virtual
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then mode=shown; fi
  # socat takes its addresses apart at these characters.
  case $root in *[[:space:],:\!\"\'\\]*)
    echo "run: the bridge cannot use a folder named like $root; build in one without spaces, commas or colons" >&2
    exit 1 ;;
  esac
  mkdir -p "$work"
  # Two runs from one tree would share the prefix and the socket, and the
  # first to end would take the other's programs with it.
  status=0
  GAGENT_SESSION_DISPLAY=$([ $mode = shown ] && echo own || true) \
    flock -n -o -E 75 "$work/lock" "$root/tools/test-session.sh" run "$0" --in-session $mode || status=$?
  [ $status != 75 ] || echo "run: make run already runs from this tree; close its key manager window first" >&2
  exit $status
fi

# In the session (tools/test-session.sh): the prefix build/wineprefix-run,
# its wineserver, and the display.
mode=$2
stage=$root/build/x86_64/stage
relay=$stage/gagent-relay.exe
wine=$GAGENT_WINE_LOADER
title="Glimmerpad Key Manager"
sock=$work/agent.sock
demo=$work/demo-key

bridge=
stop_bridge() { [ -z "$bridge" ] || { kill "$bridge" && wait "$bridge"; } 2>/dev/null || true; }
trap stop_bridge EXIT

source "$(dirname "${BASH_SOURCE[0]}")/wait-for.sh"
# Only ever the bridge's socket, never the user's own agent.
agent_ssh_add() { SSH_AUTH_SOCK=$sock ssh-add "$@"; }
# ssh-add -l fails alike for an empty agent and for no agent at all.
agent_answers() {
  local out
  out=$(agent_ssh_add -l 2>&1) || [ "$out" = "The agent has no identities." ]
}
agent_answers_or_ended() { agent_answers || ! kill -0 "$1" 2>/dev/null; }

# Without a window manager (the virtual display) Wine draws the frames
# itself; under one, the desktop's own frames are what a user expects.
managed=N
[ "$mode" = virtual ] || managed=Y
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d $managed /f >/dev/null 2>&1

if [ ! -f "$demo" ] || [ ! -f "$demo.pub" ]; then
  rm -f "$demo" "$demo.pub"
  ssh-keygen -q -t ed25519 -N '' -C 'Glimmerpad demo key' -f "$demo"
fi

socat UNIX-LISTEN:"$sock",fork,unlink-early,mode=600 EXEC:"$wine $relay" \
  </dev/null >/dev/null 2>"$work/bridge.log" &
bridge=$!
wait_for 50 test -S "$sock" || { echo "run: the bridge did not start: $(cat "$work/bridge.log")" >&2; exit 1; }

if agent_answers; then
  echo "run: a key agent already runs in this Wine prefix; it keeps the keys it holds"
else
  "$wine" "$stage/gkeyagent.exe" </dev/null >/dev/null 2>&1 &
  agent=$!
  wait_for 300 agent_answers_or_ended "$agent" || true
  if ! kill -0 "$agent" 2>/dev/null || ! agent_answers; then
    echo "run: the key agent did not start (see its log, gAgentLog.txt under the prefix's user folder)" >&2
    exit 1
  fi
  agent_ssh_add "$demo" 2>/dev/null || { echo "run: ssh-add could not add the demo key" >&2; exit 1; }
  echo "run: the key agent started and holds the demo key $demo (\"Glimmerpad demo key\")"
fi
echo "run: OpenSSH's tools on this machine reach the agent through the bridge at $sock, for example"
echo "run:   SSH_AUTH_SOCK=$sock ssh-add -l"

if [ "$mode" = shown ]; then
  echo "run: closing the key manager ends the bridge and the agent"
  "$wine" "$stage/gagent.exe"
  exit $?
fi

shots=$root/build/screenshots
mkdir -p "$shots"
"$wine" "$stage/gagent.exe" &
window=
find_window() { window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1) && [ -n "$window" ]; }
wait_for 200 find_window || { echo "run: the key manager window did not appear" >&2; exit 1; }
# Painted once: the list is filled before the window shows.
sleep 1
import -window "$window" "$shots/key-manager.png"
echo "run: no display here, so the window was shown on a virtual display;"
echo "run: screenshot saved to $shots/key-manager.png"
