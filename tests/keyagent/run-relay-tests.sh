#!/usr/bin/env bash
# The route of a WSL 2 user, taken on this machine: the profile line of the
# README run as written, with Wine standing in for WSL's interop (the
# relay's Windows path swapped for the staged relay under Wine), then
# ssh-add, a real ssh login, Git's commit signing and ssh-keygen -Y sign
# through it; the relay's two ways to end; and the relay refusing a pipe
# that a stranger holds. Runs inside a test session (tools/test-session.sh).
#   run-relay-tests.sh STAGE_DIR README PIPE_SQUATTER_EXE
set -uo pipefail
stage=$1
readme=$2
squatter=$3
relay=$stage/gagent-relay.exe
source "$(dirname "${BASH_SOURCE[0]}")/peer-bridge.sh"

# ------------------------------------------------------ the profile line
readme_relay='/mnt/c/Program\\ Files\\ (x86)/Glimmerpad/gagent-relay.exe'
line=$(grep -m1 '^export SSH_AUTH_SOCK=\$HOME/' "$readme")
[[ $line == *"$readme_relay"* ]] || { echo "no profile line with $readme_relay in $readme"; exit 1; }
line=${line//"$readme_relay"/"$wine $relay --pipe //./pipe/$pipe"}
profile_sock=$work/.glimmerpad-agent.sock
sock=$profile_sock  # for ssh's options (peer-bridge.sh)
# The shell of a new terminal, in the test's home, before its profile runs.
new_shell() { env -u SSH_AUTH_SOCK HOME="$work" bash -c "$line"$'\n'"$1"; }
listeners() { ss -xlH | grep -cF " $profile_sock "; }
stop_listeners() { for p in $(pgrep -f -- "UNIX-LISTEN:$profile_sock"); do kill "$p"; done; }
trap 'stop_listeners; cleanup' EXIT

start_agent
new_shell 'echo "$SSH_AUTH_SOCK"' >"$work/profile.out" 2>&1
[ "$(cat "$work/profile.out")" = "$profile_sock" ] || fail "the line exports SSH_AUTH_SOCK: $(cat "$work/profile.out")"
export SSH_AUTH_SOCK=$profile_sock
wait_for 300 agent_ready
[ "$(ssh-add -l 2>&1)" = "The agent has no identities." ] && pass "the profile line reaches the empty agent" ||
  { fail "nothing answers on the profile line's socket: $(ssh-add -l 2>&1)"; exit 1; }
new_shell true
[ "$(listeners)" = 1 ] && pass "a second shell finds the listener and starts none" || fail "listeners: $(listeners)"

# ------------------------------------------------------ keys and a login
ssh-keygen -q -t ed25519 -N '' -C 'wsl ed25519' -f "$work/ed25519"
ssh-keygen -q -t rsa -b 3072 -N '' -C 'wsl rsa' -f "$work/rsa"
ssh-add "$work/ed25519" "$work/rsa" >/dev/null 2>&1 && pass "ssh-add of two keys" || fail "ssh-add"
expected=$(for t in ed25519 rsa; do ssh-keygen -l -E sha256 -f "$work/$t.pub"; done)
[ "$(ssh-add -l -E sha256)" = "$expected" ] && pass "ssh-add -l lists them" || fail "ssh-add -l: $(ssh-add -l 2>&1)"

cat "$work/ed25519.pub" >"$work/authorized_keys"
prepare_sshd ed25519
(start_sshd ssh-ed25519 "$work/sshd.log") &
pids+=($!)
wait_for 50 grep -q "Server listening" "$work/sshd.log" || fail "sshd did not start: $(cat "$work/sshd.log")"
timeout $((60 * scale)) ssh "${ssh_base[@]}" -o IdentityFile=none "$user@127.0.0.1" echo logged-in \
  >"$work/ssh.out" 2>"$work/ssh.err"
grep -q logged-in "$work/ssh.out" && grep -q "Accepted publickey for $user .* ED25519" "$work/sshd.log" &&
  pass "ssh logs in with the agent's key" || fail "ssh login: $(cat "$work/ssh.err")"

# ------------------------------------------------------ signing
# What a signature's blob names as its algorithm (the armoured SSHSIG
# format: magic, version, then strings; the signature is the last).
signature_algorithm() { # .sig file
  python3 - "$1" <<'PY'
import base64, struct, sys
text = open(sys.argv[1]).read().split("\n")
blob = base64.b64decode("".join(l for l in text if l and not l.startswith("-----")))
assert blob[:6] == b"SSHSIG"
at = 10
def string():
    global at
    (n,) = struct.unpack(">I", blob[at:at + 4])
    at += 4 + n
    return blob[at - n:at]
for _ in range(4):  # public key, namespace, reserved, hash
    string()
signature = string()
(n,) = struct.unpack(">I", signature[:4])
print(signature[4:4 + n].decode())
PY
}

echo "tester@example.org $(cut -d' ' -f1-2 "$work/rsa.pub")" >"$work/allowed_signers"
echo "tester@example.org $(cut -d' ' -f1-2 "$work/ed25519.pub")" >>"$work/allowed_signers"
echo "signed through the relay" >"$work/message"
for namespace in file git glimmerpad-check@example.org; do
  rm -f "$work/message.sig"
  # A public key file: ssh-keygen asks the agent for the signature.
  ssh-keygen -q -Y sign -f "$work/rsa.pub" -n "$namespace" "$work/message" 2>"$work/sign.err" ||
    { fail "ssh-keygen -Y sign -n $namespace: $(cat "$work/sign.err")"; continue; }
  algorithm=$(signature_algorithm "$work/message.sig")
  verified=no
  ssh-keygen -q -Y verify -f "$work/allowed_signers" -I tester@example.org -n "$namespace" -s "$work/message.sig" \
    <"$work/message" >/dev/null 2>&1 && verified=yes
  [ "$algorithm" = rsa-sha2-512 ] && [ $verified = yes ] &&
    pass "ssh-keygen -Y sign -n $namespace with RSA: $algorithm, verified" ||
    fail "ssh-keygen -Y sign -n $namespace with RSA: $algorithm, verified: $verified"
done

# Git, configured as the README says (here for one repository).
repo=$work/repo
git init -q "$repo"
git -C "$repo" config user.name Tester
git -C "$repo" config user.email tester@example.org
git -C "$repo" config gpg.format ssh
git -C "$repo" config user.signingKey "key::$(cat "$work/ed25519.pub")"
git -C "$repo" config gpg.ssh.allowedSignersFile "$work/allowed_signers"
echo one >"$repo/file"
git -C "$repo" add file
if HOME=$work git -C "$repo" commit -q -S -m "signed by the agent" 2>"$work/git.err"; then
  HOME=$work git -C "$repo" verify-commit HEAD 2>"$work/verify.out" &&
    grep -q 'Good "git" signature for tester@example.org with ED25519 key' "$work/verify.out" &&
    pass "git commit -S signed with the agent's key; git verify-commit accepts it" ||
    fail "git verify-commit: $(cat "$work/verify.out")"
else
  fail "git commit -S: $(cat "$work/git.err")"
fi

# ------------------------------------------------------ the relay's ends
# A client that writes its request and closes its end at once still gets
# the answer; then the relay ends by itself.
list_request() { printf '\0\0\0\1\x0b'; }
list_request | timeout $((20 * scale)) "$wine" "$relay" --pipe "//./pipe/$pipe" >"$work/answer" 2>"$work/relay.err"
status=$?
# The whole answer: its length, then SSH_AGENT_IDENTITIES_ANSWER.
whole_answer() { # file
  python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(not (len(d) > 5 and int.from_bytes(d[:4], "big") == len(d) - 4 and d[4] == 12))' "$1"
}
[ $status = 0 ] && whole_answer "$work/answer" &&
  pass "an answer still on its way when the client stops writing arrives, and the relay ends" ||
  fail "relay after the client's end: status $status, answer $(od -An -tx1 "$work/answer" | head -2)"

# A client that keeps its end open: the relay ends when the agent does.
mkfifo "$work/held-open"
"$wine" "$relay" --pipe "//./pipe/$pipe" <"$work/held-open" >"$work/held-answer" 2>&1 &
waiting=$!
pids+=($waiting)
exec 7>"$work/held-open"
list_request >&7
relay_answered() { [ -s "$work/held-answer" ]; }
wait_for 100 relay_answered || fail "no answer through the relay held open"
kill "$agent"
wait "$agent" 2>/dev/null
relay_ended() { ! kill -0 "$waiting" 2>/dev/null; }
wait_for 100 relay_ended && pass "the relay ends when the agent closes the pipe" || fail "the relay outlived the agent"
exec 7>&-

# ------------------------------------------------------ a stranger's pipe
stranger=glimmerpad-stranger-$$
"$wine" "$squatter" "\\\\.\\pipe\\$stranger" "$(windows_path "$work/stranger-read")" public </dev/null >/dev/null 2>&1 &
pids+=($!)
relay_refuses() {
  list_request | "$wine" "$relay" --pipe "$stranger" >"$work/stranger-answer" 2>"$work/stranger.err"
  [ $? = 3 ]
}
if wait_for 100 relay_refuses; then
  grep -qi "is held by .*pipe_squatter.exe (process [0-9]*), not by the key agent .*gkeyagent.exe of this user; nothing was sent" \
    "$work/stranger.err" && pass "the relay refuses a stranger's pipe and names it" ||
    fail "the refusal: $(cat "$work/stranger.err")"
  [ ! -s "$work/stranger-read" ] && [ ! -s "$work/stranger-answer" ] && pass "the stranger received nothing" ||
    fail "the stranger read $(wc -c <"$work/stranger-read") bytes"
else
  fail "the relay did not refuse the stranger: $(cat "$work/stranger.err")"
fi

echo "wsl route: $failures failed"
[ $failures = 0 ]
