#!/usr/bin/env bash
# Keys their owner allows for some hosts only (ssh-add -h), against Debian's
# OpenSSH: throw-away sshds on 127.0.0.1 named host-a, host-b, host-c (and
# host-d, whose host key a CA certified) by HostKeyAlias, each with a host
# key of its own, and a known_hosts naming them, from which ssh-add -h takes
# the host keys. ssh -v says which keys the agent listed ("Will attempt
# key"), each sshd's log which key it accepted. raw-agent-client.py binds a
# connection as ssh does and asks for signatures ssh would not ask for.
#   run-destination-tests.sh STAGE_DIR RELAY_EXE CONFIRM_ANSWER_EXE [all|core]
# "core" (the emulated i686 run) keeps to a key for one host, the path
# forwarded through host-a to host-b, and broken destinations' sizes and
# counts.
set -uo pipefail
stage=$1
relay=$2
answer=$3
scope=${4:-all}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
client=$here/raw-agent-client.py
source "$here/peer-bridge.sh"

# host-a is strict: two tries, then sshd ends the login.
add_host host-a ecdsa "MaxAuthTries 2"
add_host host-b rsa
add_host host-c ed25519
for h in host-a host-b host-c; do trust_host_key $h; done
if [ "$scope" = all ]; then
  # host-d is known only through the CA that certified its host key; the
  # same CA line names host-e, which no sshd is.
  ssh-keygen -q -t ed25519 -N '' -C 'host ca' -f "$work/host-ca"
  add_host host-d ed25519
  certify_host host-d "$work/host-ca" host-d
  trust_host_ca host-d,host-e "$work/host-ca.pub"
fi
start_hosts
start_agent_and_bridge

keys=(for-a for-b for-a-then-b for-a-then-c for-c-then-b for-c-and-a-then-b guarded as-user as-someone-else for-d for-e)
for i in 1 2 3 4 5 6 7 8 9; do keys+=(other-$i); done
for k in "${keys[@]}"; do
  ssh-keygen -q -t ed25519 -N '' -C "dest $k" -f "$work/$k" || fail "ssh-keygen $k"
done
authorize() { # host, keys...
  local h=$1
  shift
  for k in "$@"; do cat "$work/$k.pub"; done >>"$work/$h/authorized_keys"
}
# Each host would take more keys than the agent may use there: only the
# agent keeps the others out.
authorize host-a for-a for-b for-a-then-b for-a-then-c guarded as-user as-someone-else
authorize host-b for-a for-b for-a-then-b for-a-then-c for-c-then-b for-c-and-a-then-b guarded
authorize host-c for-a for-a-then-b for-a-then-c for-c-then-b for-c-and-a-then-b
[ "$scope" = all ] && authorize host-d for-d for-e

fingerprint() { ssh-keygen -l -E sha256 -f "$work/$1.pub" | cut -d' ' -f2; }
# ssh-add with the test's known_hosts; its output in $work/add.out.
add_keys() { # ssh-add options..., --, key names
  local args=() k
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  for k in "$@"; do args+=("$work/$k"); done
  ssh-add -H "$work/known_hosts" "${args[@]}" >"$work/add.out" 2>&1
}

# Where each sshd's log stood before a login (by its label), so that what
# a host accepted is read for that login alone.
declare -A log_mark
mark_logs() { # label
  local h
  for h in "${hosts[@]}"; do log_mark[$1:$h]=$(wc -l <"$work/$h/sshd.log"); done
}
new_log() { tail -n +$((log_mark[$1:$2] + 1)) "$work/$2/sshd.log"; } # label, host
accepted() { # label, host, key: the host's sshd let the key in at that login
  local lines
  lines=$(new_log "$1" "$2")
  grep -q "Accepted publickey for $user from 127.0.0.1 .*$(fingerprint "$3")" <<<"$lines"
}
accepted_any() { local lines; lines=$(new_log "$1" "$2"); grep -q "Accepted publickey" <<<"$lines"; }

# One login by ssh -v to the named host; ssh's messages in
# $work/ssh-LABEL.err. True when the command ran there.
login() { # label, host, ssh options...
  local label=$1 host=$2
  shift 2
  mark_logs "$label"
  timeout $((60 * scale)) ssh -v -n -F "$work/ssh_config" "$@" "$host" echo logged-in \
    >"$work/ssh-$label.out" 2>"$work/ssh-$label.err" && grep -q logged-in "$work/ssh-$label.out"
}
# The keys ssh had from the agent for the login: those the agent listed on
# the connection it bound to the host.
attempted() { grep -q "Will attempt key: .*$(fingerprint "$2")" "$work/ssh-$1.err"; } # label, key
keys_attempted() { grep -c "Will attempt key: .* agent" "$work/ssh-$1.err"; } # label
ssh_said() { grep -vE '^debug[23]' "$work/ssh-$1.err" | grep -E 'Will attempt|Offering|accepts|Authenticated|refused|failed|denied|Too many|bind' | head -12; }
# A raw client's line, as a check's evidence.
said() { grep -qx "$1" "$2"; }
# The confirm dialog's helper answers it as given. ssh waits for the
# agent while the dialog is up, and the helper writes what it saw before
# it answers: after the login its output tells whether the dialog came.
start_answer() { # yes|no
  "$wine" "$answer" "$1" $((40 * scale)) >"$work/answer-$1.out" 2>/dev/null </dev/null &
  helper=$!
}
dialog_came() { # yes|no
  if grep -q "asked for key" "$work/answer-$1.out"; then
    wait "$helper"
  else
    kill "$helper" 2>/dev/null
    wait "$helper" 2>/dev/null
    return 1
  fi
}

echo "--- a key for host-a only"
add_keys -h host-a -- for-a && add_keys -h host-b -- for-b
added=$?
login for-a-at-a host-a
at_a=$?
login for-a-at-b host-b
at_b=$?
if [ $added = 0 ] && [ $at_a = 0 ] && accepted for-a-at-a host-a for-a && ! attempted for-a-at-a for-b &&
  [ $at_b = 0 ] && accepted for-a-at-b host-b for-b && ! attempted for-a-at-b for-a; then
  pass "ssh-add -h host-a: the key logs in to host-a and is not offered to host-b (host-b's own key logs in there)"
else
  fail "keys for host-a and host-b (add $added: $(cat "$work/add.out")) / at host-a ($at_a): $(ssh_said for-a-at-a)
  / at host-b ($at_b): $(ssh_said for-a-at-b) / host-b's sshd: $(new_log for-a-at-b host-b | grep -E 'Accepted|Failed')"
fi
# What ssh would not ask for: a signature for host-b with the host-a key on
# a connection bound to host-b, and one on an unbound connection.
python3 "$client" bind-and-sign "$user" "$work/host-b/hostkey" "$work/host-b/hostkey.pub" login \
  "$work/for-a.pub" "$work/for-b.pub" >"$work/raw-local.out" 2>&1
raw=$work/raw-local.out
if said "before: for-a listed" "$raw" && said "before: for-b listed" "$raw" &&
  said "before: for-a sign answer 5" "$raw" && said "before: for-b sign answer 5" "$raw"; then
  pass "both keys are listed on an unbound connection, and neither signs there"
else
  fail "on an unbound connection: $(grep '^before' "$raw" | tr '\n' ' ')"
fi
if said "bind: 6" "$raw" && said "after: for-b listed" "$raw" && said "after: for-b sign answer 14" "$raw" &&
  said "after: for-a hidden" "$raw" && said "after: for-a sign answer 5" "$raw"; then
  pass "bound to host-b by session-bind: the host-b key is listed and signs, the host-a key neither"
else
  fail "bound to host-b: $(grep -v '^before' "$raw" | tr '\n' ' ')"
fi

echo "--- forwarded"
ssh-add -D >/dev/null 2>&1
add_keys -h host-a -- for-a && add_keys -h host-a -h "host-a>host-b" -- for-a-then-b &&
  add_keys -h host-a -h "host-a>host-c" -- for-a-then-c
added=$?
# For the way through host-c: a key whose hop to host-b starts at host-a.
if [ "$scope" = all ]; then
  add_keys -h host-c -h "host-c>host-b" -- for-c-then-b && add_keys -h host-c -h "host-a>host-b" -- for-c-and-a-then-b ||
    added=1
fi
# The next ssh, run on the first host: this machine, with the socket sshd
# forwards the agent to.
hop_on() { # first host, next host
  printf '%q ' ssh -v -n -F "$work/ssh_config" "$2" echo logged-in
  printf '>%q 2>%q; ' "$work/ssh-through-$1-to-$2.out" "$work/ssh-through-$1-to-$2.err"
}
# ssh -A to the host, running the commands given there; true when the
# host let it in.
forward_to() { # host, commands
  mark_logs "via-$1"
  timeout $((90 * scale)) ssh -A -v -n -F "$work/ssh_config" "$1" "$2" >"$work/ssh-via-$1.out" 2>"$work/ssh-via-$1.err" &&
    accepted_any "via-$1" "$1"
}
# True when the ssh run on the first host logged in to the next with the
# key given, and had none of the other keys named from the agent.
forwarded() { # first host, next host, key, keys not offered...
  local label=through-$1-to-$2 via=via-$1 to=$2 key=$3 k
  shift 3
  grep -q logged-in "$work/ssh-$label.out" 2>/dev/null && accepted "$via" "$to" "$key" || return 1
  for k in "$@"; do ! attempted "$label" "$k" || return 1; done
}
# On host-a: ssh on to host-b (and host-c), then the raw client, which
# binds to host-b itself, for a login and for forwarding on.
raw_on_a() { # login|forward
  printf '%q ' python3 "$client" bind-and-sign "$user" "$work/host-b/hostkey" "$work/host-b/hostkey.pub" "$1" \
    "$work/for-a.pub" "$work/for-a-then-b.pub" "$work/for-a-then-c.pub"
  printf '>%q 2>&1; ' "$work/raw-forwarded-$1.out"
}
far_side=$(hop_on host-a host-b)
[ "$scope" = all ] && far_side+=$(hop_on host-a host-c)
far_side+=$(raw_on_a login)$(raw_on_a forward)
forward_to host-a "$far_side"
outer=$?
# The first login's own check: the tries beyond it mean nothing without it.
[ $added = 0 ] && [ $outer = 0 ] ||
  fail "no login to host-a with ssh -A (add $added: $(cat "$work/add.out"); ssh $outer): $(ssh_said via-host-a)"
if forwarded host-a host-b for-a-then-b for-a for-a-then-c; then
  pass "through host-a to host-b: the host-a>host-b key logs in; the host-a>host-c key and the host-a key are not offered"
else
  fail "through host-a to host-b: $(ssh_said through-host-a-to-host-b) / host-b's sshd: $(new_log via-host-a host-b | grep -E 'Accepted|Failed')"
fi
if [ "$scope" = all ]; then
  if forwarded host-a host-c for-a-then-c for-a for-a-then-b; then
    pass "through host-a to host-c: the host-a>host-c key logs in; the host-a>host-b key and the host-a key are not offered"
  else
    fail "through host-a to host-c: $(ssh_said through-host-a-to-host-c) / host-c's sshd: $(new_log via-host-a host-c | grep -E 'Accepted|Failed')"
  fi
  # Each hop is judged from the host before it.
  forward_to host-c "$(hop_on host-c host-b)" || fail "no login to host-c with ssh -A: $(ssh_said via-host-c)"
  if forwarded host-c host-b for-c-then-b for-c-and-a-then-b for-a-then-b; then
    pass "through host-c to host-b: the host-c>host-b key logs in; a key for host-c and host-a>host-b is not offered"
  else
    fail "through host-c to host-b: $(ssh_said through-host-c-to-host-b) / host-b's sshd: $(new_log via-host-c host-b | grep -E 'Accepted|Failed')"
  fi
fi
raw=$work/raw-forwarded-login.out
# A key for host-a alone is of no use beyond it: hidden there already.
if said "before: for-a-then-b listed" "$raw" && said "before: for-a-then-c listed" "$raw" && said "before: for-a hidden" "$raw" &&
  ! grep -q "^before: .* sign answer 14" "$raw" && [ "$(grep -c '^before: .* sign answer' "$raw")" = 3 ]; then
  pass "on the connection host-a forwards: the keys with a further hop are listed, the host-a key is not, and none signs there"
else
  fail "on the connection host-a forwards: $(grep '^before' "$raw" | tr '\n' ' ')"
fi
if said "bind: 6" "$raw" && said "after: for-a-then-b listed" "$raw" && said "after: for-a-then-b sign answer 14" "$raw" &&
  said "after: for-a-then-c hidden" "$raw" && said "after: for-a-then-c sign answer 5" "$raw" &&
  said "after: for-a hidden" "$raw" && said "after: for-a sign answer 5" "$raw"; then
  pass "forwarded by host-a and bound on to host-b: only the host-a>host-b key is listed and signs"
else
  fail "forwarded by host-a and bound to host-b: $(grep -v '^before' "$raw" | tr '\n' ' ')"
fi
# Bound for forwarding on to host-b, the connection leads to no login: the
# session there is the one it proved, yet no key goes further than host-b
# (though one went to host-b, as listed before this bind).
raw=$work/raw-forwarded-forward.out
if said "before: for-a-then-b listed" "$raw" && said "bind: 6" "$raw" && [ "$(grep -c '^after: .* hidden$' "$raw")" = 3 ] &&
  [ "$(grep -c '^after: .* sign answer 5$' "$raw")" = 3 ]; then
  pass "forwarded by host-a and bound on to host-b for forwarding: no key is listed or signs a login there"
else
  fail "forwarded by host-a and bound on to host-b for forwarding: $(grep -v '^before' "$raw" | tr '\n' ' ')"
fi

if [ "$scope" = all ]; then
  echo "--- ten keys, two tries"
  # The key for host-a comes last: listed by an agent that does not know
  # where the other nine may go, it is never reached.
  others=(other-1 other-2 other-3 other-4 other-5 other-6 other-7 other-8 other-9)
  ssh-add -D >/dev/null 2>&1
  add_keys -h host-b -- "${others[@]}" && add_keys -h host-a -- for-a
  added=$?
  login ten-constrained host-a
  constrained=$?
  ssh-add -D >/dev/null 2>&1
  add_keys -- "${others[@]}" for-a
  login ten-unconstrained host-a
  unconstrained=$?
  if [ $added = 0 ] && [ $constrained = 0 ] && accepted ten-constrained host-a for-a && [ "$(keys_attempted ten-constrained)" = 1 ] &&
    [ $unconstrained != 0 ] && grep -q "Too many authentication failures" "$work/ssh-ten-unconstrained.err"; then
    pass "ten keys, nine for host-b: host-a (MaxAuthTries 2) lets the host-a key in; the same ten unconstrained fail there"
  else
    fail "ten keys at host-a (add $added): constrained ($constrained): $(ssh_said ten-constrained) / unconstrained ($unconstrained): $(ssh_said ten-unconstrained)"
  fi

  echo "--- -h with -t and -c"
  ssh-add -D >/dev/null 2>&1
  log_lines=$(wc -l <"$work/agent.log")
  add_keys -h host-a -t 600 -c -- guarded
  added=$?
  start_answer yes
  login guarded-at-a host-a
  at_a=$?
  dialog_came yes && asked=0 || asked=1
  held_as=$(tail -n +$((log_lines + 1)) "$work/agent.log" | grep "^.\{19\} add key \"dest guarded\"")
  if [ $added = 0 ] && grep -q "lifetime 600 s" <<<"$held_as" && grep -q "confirm each use" <<<"$held_as" &&
    [ $asked = 0 ] && grep -q "asked for key dest guarded SHA256:" "$work/answer-yes.out" &&
    [ $at_a = 0 ] && accepted guarded-at-a host-a guarded; then
    pass "ssh-add -h host-a -t 600 -c: held with its lifetime and confirmation; the login to host-a asks, Yes lets it in"
  else
    fail "-h -t -c (add $added: $(cat "$work/add.out")): agent log: $held_as / dialog $asked: $(cat "$work/answer-yes.out") / login $at_a: $(ssh_said guarded-at-a)"
  fi
  # A key its destination refuses is refused before anyone is asked.
  start_answer no
  login guarded-at-b host-b
  at_b=$?
  dialog_came no && asked=yes || asked=no
  listed=$(ssh-add -l 2>&1)
  if grep -q "dest guarded" <<<"$listed" && [ $asked = no ] && [ $at_b != 0 ] && ! attempted guarded-at-b guarded &&
    ! accepted_any guarded-at-b host-b; then
    pass "the -h -t -c key is not offered to host-b, and no dialog asks"
  else
    fail "the -h -t -c key at host-b: dialog $asked $(cat "$work/answer-no.out"), login $at_b: $(ssh_said guarded-at-b) / held: $listed"
  fi

  echo "--- a user at a host"
  ssh-add -D >/dev/null 2>&1
  add_keys -h "$user@host-a" -- as-user
  added=$?
  login as-user host-a
  as_user=$?
  ssh-add -D >/dev/null 2>&1
  add_keys -h "someone-else@host-a" -- as-someone-else
  added_other=$?
  login as-someone-else host-a
  as_other=$?
  # The second key is listed (the user is known only when ssh asks for the
  # signature), sshd would take it, and the agent refuses to sign.
  if [ $added = 0 ] && [ $as_user = 0 ] && accepted as-user host-a as-user && [ $added_other = 0 ] && [ $as_other != 0 ] &&
    grep -q "Server accepts key: .*$(fingerprint as-someone-else)" "$work/ssh-as-someone-else.err" && ! accepted_any as-someone-else host-a; then
    pass "ssh-add -h $user@host-a logs in as $user; a key for someone-else@host-a is offered but not signed with for $user"
  else
    fail "-h user@host-a (add $added/$added_other: $(cat "$work/add.out")): as $user ($as_user): $(ssh_said as-user) / someone-else's key ($as_other): $(ssh_said as-someone-else)"
  fi

  echo "--- a host known by its certificate authority"
  ssh-add -D >/dev/null 2>&1
  # The host-e key first: an agent that took any host of the CA would offer it.
  add_keys -h host-e -- for-e && add_keys -h host-d -- for-d
  added=$?
  login for-d host-d
  at_d=$?
  if [ $added = 0 ] && [ $at_d = 0 ] && accepted for-d host-d for-d && ! attempted for-d for-e &&
    grep -q "Server host certificate" "$work/ssh-for-d.err"; then
    pass "ssh-add -h host-d through a @cert-authority line: logs in to the certified host-d; the key for host-e of the same CA is not offered"
  else
    fail "CA (add $added: $(cat "$work/add.out")): login $at_d: $(ssh_said for-d) / host-d's sshd: $(new_log for-d host-d | grep -E 'Accepted|Failed')"
  fi
fi

echo "--- broken destinations"
# The keys the tries above left are still held: the raw client compares
# the identities before and after.
python3 "$client" malformed "$work/host-b/hostkey.pub" "$work/host-c/hostkey.pub" \
  "$([ "$scope" = all ] && echo all || echo sizes)" >"$work/malformed.out" 2>&1
cat "$work/malformed.out"
failures=$((failures + $(grep -c '^FAIL: ' "$work/malformed.out")))
grep -qE '^(ok|FAIL): the same identities' "$work/malformed.out" || fail "the raw client did not finish: $(tail -3 "$work/malformed.out")"

echo "destination tests: $failures failed"
[ $failures = 0 ]
