#!/usr/bin/env bash
# The staged agent against Debian's OpenSSH: ssh-add and real ssh logins
# to a throw-away sshd on 127.0.0.1, through socat and the relay (Wine has
# no AF_UNIX sockets). Runs inside a test session (tools/test-session.sh),
# which provides the Wine prefix, display and wineserver.
#   run-peer-tests.sh STAGE_DIR RELAY_EXE [logins: all|one] [CONFIRM_ANSWER_EXE]
set -uo pipefail
stage=$1
relay=$2
logins=${3:-all}
answer=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/peer-bridge.sh"

start_agent_and_bridge
pass "empty agent listed"

types=(ed25519 rsa ecdsa256 ecdsa384 ecdsa521 dsa)
for t in "${types[@]}"; do
  case $t in
    ed25519) args=(-t ed25519) ;;
    rsa) args=(-t rsa -b 3072) ;;
    ecdsa*) args=(-t ecdsa -b "${t#ecdsa}") ;;
    dsa) args=(-t dsa) ;;
  esac
  ssh-keygen -q "${args[@]}" -N '' -C "peer $t" -f "$work/$t" || fail "ssh-keygen $t"
  ssh-add "$work/$t" >/dev/null 2>&1 || fail "ssh-add $t"
done

# What ssh-add lists is what ssh-keygen says of the files, in order of adding.
expected=$(for t in "${types[@]}"; do ssh-keygen -l -E sha256 -f "$work/$t.pub"; done)
listed=$(ssh-add -l -E sha256)
[ "$listed" = "$expected" ] && pass "ssh-add -l fingerprints of all six types" || fail "ssh-add -l: $listed / expected $expected"
expectedL=$(for t in "${types[@]}"; do cat "$work/$t.pub"; done)
listedL=$(ssh-add -L)
[ "$listedL" = "$expectedL" ] && pass "ssh-add -L public keys" || fail "ssh-add -L: $listedL"

ssh-add -d "$work/ecdsa384" >/dev/null 2>&1 || fail "ssh-add -d"
# The list is read whole first: with pipefail, grep -q ending the pipe early
# would fail ssh-add with SIGPIPE now and then.
grep -q "peer ecdsa384" <<<"$(ssh-add -L)" && fail "ssh-add -d left the key" || pass "ssh-add -d removed one key"
[ "$(ssh-add -l | wc -l)" = 5 ] || fail "after -d: $(ssh-add -l)"

# A certificate beside its key is added with it.
ssh-keygen -q -t ed25519 -N '' -C 'peer ca' -f "$work/ca"
ssh-keygen -q -s "$work/ca" -I peer-cert -n root "$work/ed25519.pub" 2>/dev/null
ssh-add "$work/ed25519" >/dev/null 2>&1 || fail "ssh-add with certificate"
grep -q 'ED25519-CERT' <<<"$(ssh-add -l)" && pass "certificate added with its key" || fail "no certificate listed: $(ssh-add -l)"

ssh-add -D >/dev/null 2>&1 || fail "ssh-add -D"
out=$(ssh-add -l 2>&1)
[ "$out" = "The agent has no identities." ] && pass "ssh-add -D removed all" || fail "after -D: $out"

# A lifetime: the key is listed at once and gone two seconds later.
ssh-add -t 2 "$work/ed25519" >/dev/null 2>&1 || fail "ssh-add -t 2"
out=$(ssh-add -l 2>&1)
grep -q "peer ed25519" <<<"$out" && pass "ssh-add -t 2 listed at first" || fail "ssh-add -t 2 not listed: $(ssh-add -l 2>&1)"
added=$(date +%s%N)
if wait_for 80 agent_ready; then
  took=$((($(date +%s%N) - added) / 1000000))
  [ $took -ge 1000 ] && pass "ssh-add -t 2: gone after ${took} ms" || fail "ssh-add -t 2 gone too soon (${took} ms)"
else
  fail "ssh-add -t 2: still listed: $(ssh-add -l 2>&1)"
fi

# Locking through ssh-add, which asks for the passphrase through askpass.
cat >"$work/askpass" <<'ASK'
#!/bin/sh
cat "$(dirname "$0")/lock-passphrase"
ASK
chmod +x "$work/askpass"
export SSH_ASKPASS=$work/askpass SSH_ASKPASS_REQUIRE=force
set_lock_passphrase() { printf '%s\n' "$1" >"$work/lock-passphrase"; }
set_lock_passphrase "peer lock words"
ssh-add "$work/ed25519" >/dev/null 2>&1 || fail "ssh-add before -x"
ssh-add -x </dev/null >/dev/null 2>&1 && pass "ssh-add -x locked" || fail "ssh-add -x"
out=$(ssh-add -l 2>&1)
[ "$out" = "The agent has no identities." ] && pass "a locked agent lists nothing" || fail "locked list: $out"
ssh-add "$work/rsa" >/dev/null 2>&1 && fail "a locked agent took a key" || pass "a locked agent refuses an add"
set_lock_passphrase "wrong words"
ssh-add -X </dev/null >/dev/null 2>&1 && fail "ssh-add -X with a wrong passphrase unlocked" || pass "ssh-add -X refuses a wrong passphrase"

# Logins: each key alone in the agent, against an sshd that accepts only
# the signature algorithm under test.
if ! [ -x /usr/sbin/sshd ]; then
  fail "no /usr/sbin/sshd (openssh-server)"
else
  for t in "${types[@]}"; do cat "$work/$t.pub"; done >"$work/authorized_keys"
  # Host keys of three types: the agent checks the host's signature in
  # session-bind@openssh.com, and ssh says so ("bound agent to hostkey").
  prepare_sshd ed25519 rsa ecdsa
  if [ "$logins" = one ]; then
    cases=("ed25519 ssh-ed25519 ssh-ed25519")
  else
    cases=("ed25519 ssh-ed25519 ssh-ed25519" "rsa rsa-sha2-256 rsa-sha2-256" "rsa rsa-sha2-512 rsa-sha2-512"
      "ecdsa256 ecdsa-sha2-nistp256 ecdsa-sha2-nistp256" "ecdsa384 ecdsa-sha2-nistp384 ssh-ed25519"
      "ecdsa521 ecdsa-sha2-nistp521 rsa-sha2-512")
  fi
  # One login with the Ed25519 key through the agent as it stands; true
  # when sshd let it in.
  login() { # name
    local log=$work/sshd-$1.log
    (start_sshd ssh-ed25519 "$log") &
    local sshd=$!
    wait_for 50 grep -q "Server listening" "$log"
    timeout $((60 * scale)) ssh "${ssh_base[@]}" -o HostKeyAlgorithms=ssh-ed25519 -o IdentityFile=none \
      -o PubkeyAcceptedAlgorithms=ssh-ed25519 "$user@127.0.0.1" echo logged-in >"$work/ssh-$1.out" 2>"$work/ssh-$1.err"
    local status=$?
    kill "$sshd" 2>/dev/null
    wait "$sshd" 2>/dev/null
    [ $status = 0 ] && grep -q logged-in "$work/ssh-$1.out" && grep -q "Accepted publickey" "$log"
  }

  # Still locked from above: the agent signs nothing.
  login locked && fail "a login went through a locked agent" || pass "a login is refused while the agent is locked"
  set_lock_passphrase "peer lock words"
  ssh-add -X </dev/null >/dev/null 2>&1 && pass "ssh-add -X unlocked" || fail "ssh-add -X"
  out=$(ssh-add -l 2>&1)
  grep -q "peer ed25519" <<<"$out" && pass "the key is back after unlocking" || fail "after -X: $(ssh-add -l 2>&1)"
  login unlocked && pass "a login after unlocking" || fail "no login after unlocking: $(grep -v '^debug' "$work/ssh-unlocked.err")"

  # ssh-add -c: every use asks in the agent's dialog.
  if [ -n "$answer" ]; then
    ssh-add -D >/dev/null 2>&1
    ssh-add -c "$work/ed25519" >/dev/null 2>&1 || fail "ssh-add -c"
    for reply in yes no; do
      "$wine" "$answer" "$reply" $((40 * scale)) >"$work/answer-$reply.out" 2>/dev/null </dev/null &
      helper=$!
      login "confirm-$reply"
      status=$?
      wait "$helper"
      asked=$?
      grep -q "asked for key peer ed25519 SHA256:" "$work/answer-$reply.out" || asked=1
      if [ $asked != 0 ]; then
        fail "ssh-add -c: no dialog for the $reply case"
      elif [ $reply = yes ] && [ $status = 0 ]; then
        pass "ssh-add -c: the dialog appeared, Yes let the login through"
      elif [ $reply = no ] && [ $status != 0 ]; then
        pass "ssh-add -c: the dialog appeared, No refused the login"
      else
        fail "ssh-add -c: answered $reply, login status $status"
      fi
    done
  fi

  for c in "${cases[@]}"; do
    set -- $c
    key=$1 alg=$2 hostalg=$3
    ssh-add -D >/dev/null 2>&1
    ssh-add "$work/$key" >/dev/null 2>&1 || fail "ssh-add $key for login"
    log=$work/sshd-$alg.log
    (start_sshd "$alg" "$log") &
    sshd=$!
    wait_for 50 grep -q "Server listening" "$log"
    timeout $((30 * scale)) ssh -v "${ssh_base[@]}" -o HostKeyAlgorithms="$hostalg" -o IdentityFile=none \
      -o PubkeyAcceptedAlgorithms="$alg" "$user@127.0.0.1" echo logged-in >"$work/ssh.out" 2>"$work/ssh.err"
    status=$?
    kill "$sshd" 2>/dev/null
    wait "$sshd" 2>/dev/null
    fp=$(ssh-keygen -l -E sha256 -f "$work/$key.pub" | cut -d' ' -f2)
    if [ $status = 0 ] && grep -q logged-in "$work/ssh.out" && grep -q "Accepted publickey for $user from 127.0.0.1.*$fp" "$log" &&
      grep -q "bound agent to hostkey" "$work/ssh.err"; then
      pass "ssh login signed by the agent: $key with $alg, bound to a $hostalg host key"
    else
      fail "login $key $alg (ssh $status): $(grep -v '^debug' "$work/ssh.err"; grep -i 'bind' "$work/ssh.err") / sshd: $(grep -E 'Accepted|Failed|error|refused' "$log" | head -3)"
    fi
  done
fi

ssh-add -D >/dev/null 2>&1
echo "peer tests: $failures failed"
[ $failures = 0 ]
