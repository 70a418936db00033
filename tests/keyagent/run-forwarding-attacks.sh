#!/usr/bin/env bash
# A host the user forwards the agent to, tried as an attacker would: "ssh -A"
# to a throw-away sshd on 127.0.0.1, and on the far side a raw client
# (raw-agent-client.py) on the forwarded socket, which OpenSSH's client has
# bound with session-bind@openssh.com. Every request of this agent's own must
# be refused, and nothing may change: the same keys, no key file read, no
# file written, and a key added with "ssh-add -c -t" still asks before each
# use and still expires. Last, two adds with 200 KiB comments through the
# bridge must leave the keys listable.
#   run-forwarding-attacks.sh STAGE_DIR RELAY_EXE CONFIRM_ANSWER_EXE [all|refusals]
# "refusals" (the emulated i686 run) leaves out the confirmation, the expiry
# and the comments, which are the same on both architectures.
set -uo pipefail
stage=$1
relay=$2
answer=$3
scope=${4:-all}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
client=$here/raw-agent-client.py
source "$here/peer-bridge.sh"

start_agent_and_bridge

# The user's keys: one to log in with, one added with -c -t, one in a file
# only (unencrypted, as a file the agent could read without asking).
for k in login guarded on-disk; do
  ssh-keygen -q -t ed25519 -N '' -C "attack $k" -f "$work/$k" || fail "ssh-keygen $k"
done
ssh-add "$work/login" >/dev/null 2>&1 || fail "ssh-add login"
# Long enough for the login and every try before it runs out.
lifetime=$((6 * scale))
ssh-add -c -t "$lifetime" "$work/guarded" >/dev/null 2>&1 || fail "ssh-add -c -t guarded"
added=$(date +%s%N)
listed_before=$(ssh-add -l 2>&1)
[ "$(wc -l <<<"$listed_before")" = 2 ] || fail "the two keys are not listed: $listed_before"

prepare_sshd ed25519
cp "$work/login.pub" "$work/authorized_keys"
# What is there before: whatever the far side makes the agent write appears
# beside it (the new key's path is in this folder).
files_now() { find "$work" -type f ! -name '*.log' ! -name '*.out' ! -name '*.err' | sort; }
files_before=$(files_now)
(start_sshd ssh-ed25519 "$work/sshd.log") &
sshd=$!
pids+=($sshd)
wait_for 50 grep -q "Server listening" "$work/sshd.log" || fail "sshd did not start: $(cat "$work/sshd.log")"

# The far side's command line, quoted for its shell (the paths hold backslashes).
far_side=$(printf '%q ' python3 "$client" forwarded "$(windows_path "$work/on-disk")" "$(windows_path "$work/guarded")" \
  "$work/guarded.pub" "$(windows_path "$work/made-by-far-host")" 2)
# Then it asks the -c key to sign: the dialog must come up, and No refuse it.
if [ "$scope" = all ]; then
  "$wine" "$answer" no $((30 * scale)) >"$work/answer.out" 2>/dev/null </dev/null &
  helper=$!
  far_side+="; $(printf '%q ' python3 "$client" sign "$work/guarded.pub")"
fi
log_lines=$(cat "$work/agent.log" 2>/dev/null | wc -l)
timeout $((60 * scale)) ssh -A "${ssh_base[@]}" -o IdentityFile="$work/login.pub" -o IdentitiesOnly=yes \
  "$user@127.0.0.1" "$far_side" >"$work/far.out" 2>"$work/ssh.err"
status=$?
grep -q "Accepted publickey" "$work/sshd.log" || fail "no login through the agent: $(grep -v '^debug' "$work/ssh.err")"
grep -E '^(ok|FAIL): ' "$work/far.out"
failures=$((failures + $(grep -c '^FAIL: ' "$work/far.out")))
[ "$(grep -cE '^(ok|FAIL): forwarded' "$work/far.out")" = 12 ] || fail "the far side did not finish its tries (ssh $status): $(cat "$work/far.out")"

if [ "$scope" = all ]; then
  # A dialog that never came leaves the helper waiting: it is stopped here.
  if kill -0 "$helper" 2>/dev/null; then
    kill "$helper" 2>/dev/null
    wait "$helper" 2>/dev/null
    fail "the -c key signed for the forwarded host without asking: $(grep 'sign answer' "$work/far.out")"
  else
    wait "$helper"
    asked=$?
    if [ $asked = 0 ] && grep -q "asked for key attack guarded SHA256:" "$work/answer.out" &&
      grep -q "sign answer: 5" "$work/far.out"; then
      pass "the -c key still asks before it signs for the forwarded host, and No refuses"
    else
      fail "the -c key's dialog: helper $asked, $(cat "$work/answer.out"), $(grep 'sign answer' "$work/far.out")"
    fi
  fi
fi

listed_after=$(ssh-add -l 2>&1)
took=$((($(date +%s%N) - added) / 1000000))
echo "tries done $took ms after the -c -t key was added"
[ $took -lt $((lifetime * 1000)) ] || fail "the tries took longer than the -c -t key's lifetime: the checks below cannot tell"
[ "$listed_after" = "$listed_before" ] && pass "ssh-add -l lists the same keys after the tries" ||
  fail "the keys changed: before $listed_before / after $listed_after"
tail -n +$((log_lines + 1)) "$work/agent.log" | grep -iE 'key file|generat|lifetime|rename|lock' &&
  fail "the agent log tells of the far side's requests" || pass "the agent log tells of no key file, generation, lifetime, name or lock"
files_after=$(files_now)
[ "$files_after" = "$files_before" ] && pass "no file appeared or went" ||
  fail "files changed: $(diff <(echo "$files_before") <(echo "$files_after") | grep '^[<>]')"

if [ "$scope" = all ]; then
  guarded_fp=$(ssh-keygen -l -E sha256 -f "$work/guarded.pub" | cut -d' ' -f2)
  # Read whole first: grep -q leaving early would fail ssh-add's writes.
  guarded_gone() {
    local listed
    listed=$(ssh-add -l 2>&1)
    ! grep -q "$guarded_fp" <<<"$listed"
  }
  if wait_for $((lifetime * 10 + 30)) guarded_gone; then
    took=$((($(date +%s%N) - added) / 1000000))
    [ $took -ge $((lifetime * 1000 - 500)) ] && pass "the -c -t key expired after ${took} ms" ||
      fail "the -c -t key went too soon (${took} ms)"
  else
    fail "the -c -t key outlived its ${lifetime} s: $(ssh-add -l 2>&1)"
  fi

  python3 "$client" big-comments >"$work/comments.out" 2>&1
  cat "$work/comments.out"
  failures=$((failures + $(grep -c '^FAIL: ' "$work/comments.out")))
  out=$(ssh-add -l 2>&1) && grep -q "attack login" <<<"$out" && pass "ssh-add -l after two adds with 200 KiB comments" ||
    fail "ssh-add -l after two adds with 200 KiB comments: $(head -c 300 <<<"$out")"
fi

echo "forwarding attacks: $failures failed"
[ $failures = 0 ]
