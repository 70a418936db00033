#!/usr/bin/env bash
# Signatures per second, Ed25519 and RSA-3072 (rsa-sha2-512): our agent
# through its pipe from a Windows client under Wine, and OpenSSH's
# ssh-agent through its socket from a native client making the same
# requests, in the same run. tools/agent-benchmark.sh [seconds per figure]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}
if [ -z "${GAGENT_AGENT_BENCH_SESSION:-}" ]; then
  GAGENT_AGENT_BENCH_SESSION=1 exec "$root/tools/test-session.sh" x86_64 "$0" "$@"
fi
wine=${GAGENT_WINE_LOADER:-/usr/lib/wine/wine64}
bin=$root/build/x86_64/tests/bin
native=$root/build/native/tests/agentcore/sign-benchmark
work=$(mktemp -d /tmp/agent-bench.XXXXXX)
pipe=glimmerpad-bench-$$
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -z "${SSH_AGENT_PID:-}" ] || kill "$SSH_AGENT_PID" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ssh-keygen -q -t ed25519 -N '' -f "$work/ed25519"
ssh-keygen -q -t rsa -b 3072 -N '' -f "$work/rsa3072"

"$wine" "$root/build/x86_64/stage/gkeyagent.exe" --pipe "$pipe" --log "Z:${work//\//\\}\\agent.log" </dev/null >/dev/null 2>&1 &
pids+=($!)
socat UNIX-LISTEN:"$work/ours.sock",fork,unlink-early,mode=600 EXEC:"$wine $root/build/x86_64/stage/gagent-relay.exe --pipe //./pipe/$pipe" </dev/null >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do
  [ "$(SSH_AUTH_SOCK=$work/ours.sock ssh-add -l 2>&1)" = "The agent has no identities." ] && break
  sleep 0.1
done
SSH_AUTH_SOCK=$work/ours.sock ssh-add "$work/ed25519" "$work/rsa3072" 2>/dev/null
eval "$(ssh-agent -a "$work/openssh.sock")" >/dev/null
SSH_AUTH_SOCK=$work/openssh.sock ssh-add "$work/ed25519" "$work/rsa3072" 2>/dev/null

printf '%-12s %16s %16s %8s\n' key "ours (pipe)" "ssh-agent" ratio
for c in "ssh-ed25519 0 Ed25519" "ssh-rsa 4 RSA-3072"; do
  set -- $c
  ours=$("$wine" "$bin/sign-benchmark.exe" "\\\\.\\pipe\\$pipe" "$1" "$seconds" "$2" </dev/null | tr -d '\r')
  theirs=$("$native" "$work/openssh.sock" "$1" "$seconds" "$2")
  ratio=$(python3 -c "print(f'{float(\"$ours\")/float(\"$theirs\"):.2f}')")
  printf '%-12s %14s/s %14s/s %8s\n' "$3" "$ours" "$theirs" "$ratio"
done
