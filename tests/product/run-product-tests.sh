#!/usr/bin/env bash
# The whole product under Wine (manager, agent library, agent) against
# Debian's OpenSSH. This script does what needs Linux: the key files, made by
# ssh-keygen; a throw-away sshd on 127.0.0.1; the bridge (socat and the relay,
# Wine having no AF_UNIX sockets) to the pipe of the test that asks; and it
# answers the test program's requests, one file each in WORK/requests:
#   <n>.request  "<pipe> add|remove <key file>", "<pipe> list",
#                "<pipe> login <public key file>" (paths below WORK),
#                "<pipe> add-destined <key file> <destination>...": ssh-add
#                -h for each, the hosts product-a (this sshd) and product-b
#   <n>.result   the exit status, then the tool's output
# After the test program ends it checks with ssh-keygen the files the tests
# listed in WORK/checks.
#   run-product-tests.sh STAGE_DIR TEST_PROGRAM WORK_DIR [GTEST_FILTER]
set -uo pipefail
stage=$1
program=$2
work=$3
filter=${4:-*}
wine=${GAGENT_WINE_LOADER:-/usr/lib/wine/wine64}
scale=${GAGENT_TEST_TIMEOUT_SCALE:-1}
passphrase="product key words"

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# Kept after the run, for a look at what a failed test left.
rm -rf "$work"
mkdir -p "$work/keys" "$work/requests" "$work/relays" "$work/sandboxes" "$work/ssh"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

source "$(dirname "${BASH_SOURCE[0]}")/../../tools/wait-for.sh"

# A key of its own for each file kind, so that each add shows as a row of
# its own and each login proves its own key. Few KDF rounds keep it fast.
make_key() { # name, ssh-keygen arguments...
  local name=$1
  shift
  ssh-keygen -q "$@" -a 2 -C "product $name" -f "$work/keys/$name" </dev/null >/dev/null &&
    ssh-keygen -l -f "$work/keys/$name.pub" >"$work/keys/$name.fp"
}
for kind in "ed25519 -t ed25519" "rsa -t rsa -b 2048" "ecdsa256 -t ecdsa -b 256" "ecdsa384 -t ecdsa -b 384" \
  "ecdsa521 -t ecdsa -b 521"; do
  set -- $kind
  name=$1
  shift
  make_key "$name-openssh" "$@" -N '' || fail "ssh-keygen $name"
  make_key "$name-openssh-enc" "$@" -N "$passphrase" || fail "ssh-keygen $name encrypted"
  [ "$name" != ed25519 ] || continue # ssh-keygen writes Ed25519 in its own format only
  for format in PEM PKCS8; do
    make_key "$name-$format" "$@" -m "$format" -N '' || fail "ssh-keygen $name $format"
    make_key "$name-$format-enc" "$@" -m "$format" -N "$passphrase" || fail "ssh-keygen $name $format encrypted"
  done
done

# The bridge: socat hands each connection to the relay, which opens the pipe
# named in WORK/pipe, the pipe of the request being served. It is the relay
# of that test's sandbox (WORK/relays/<pipe>), which trusts only the agent
# beside it, as installed.
sock=$work/agent.sock
cat >"$work/relay.sh" <<RELAY
#!/bin/sh
pipe=\$(cat "$work/pipe")
exec "$wine" "\$(tr -d '\r' <"$work/relays/\$pipe")" --pipe "//./pipe/\$pipe"
RELAY
chmod +x "$work/relay.sh"
echo none >"$work/pipe"
socat UNIX-LISTEN:"$sock",fork,unlink-early,mode=600 EXEC:"$work/relay.sh" </dev/null >/dev/null 2>"$work/socat.err" &
pids+=($!)
wait_for 100 test -S "$sock" || { echo "socat did not listen"; exit 1; }
export SSH_AUTH_SOCK=$sock

# The sshd: one host key, the one key of each login alone authorised. In
# the emulation namespace of the i686 tests sshd may not change its groups,
# which it does as root: there it runs as a user of its own in a nested
# namespace, and serves that user only.
mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/hostkey"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$work/ssh/hostkey.pub")" >"$work/ssh/known_hosts"
# The names ssh-add -h looks the hosts' keys up by: this sshd and a host
# that exists only by its key.
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/other-hostkey"
{
  echo "product-a $(cut -d' ' -f1-2 "$work/ssh/hostkey.pub")"
  echo "product-b $(cut -d' ' -f1-2 "$work/ssh/other-hostkey.pub")"
} >"$work/ssh/named_hosts"
: >"$work/ssh/authorized_keys"
cat >"$work/ssh/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $work/ssh/hostkey
AuthorizedKeysFile $work/ssh/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
PidFile none
MaxAuthTries 30
CONF
user=root
if [ -n "${GAGENT_I386_NAMESPACE:-}" ]; then
  user=agenttest
  (cat /etc/passwd; echo "$user:x:4242:4242::/tmp:/bin/sh") >"$work/ssh/passwd"
  (cat /etc/group; echo "$user:x:4242:") >"$work/ssh/group"
  unshare --mount bash -c "mount --bind '$work/ssh/passwd' /etc/passwd && mount --bind '$work/ssh/group' /etc/group &&
    exec unshare --user --map-user=4242 --map-group=4242 /usr/sbin/sshd -D -e -f '$work/ssh/sshd_config'" \
    2>"$work/ssh/sshd.log" &
else
  /usr/sbin/sshd -D -e -f "$work/ssh/sshd_config" 2>"$work/ssh/sshd.log" &
fi
pids+=($!)
wait_for 50 grep -q "Server listening" "$work/ssh/sshd.log" || { echo "sshd did not start"; cat "$work/ssh/sshd.log"; exit 1; }

# A login signed by the agent with this key alone: ssh succeeds and sshd
# logged the key's fingerprint as accepted.
login() { # public key file below WORK
  local fp accepted out
  fp=$(ssh-keygen -l -f "$work/$1" | cut -d' ' -f2) || return 1
  cp "$work/$1" "$work/ssh/authorized_keys"
  accepted=$(grep -c "Accepted publickey.*$fp" "$work/ssh/sshd.log")
  out=$(timeout $((60 * scale)) ssh -F /dev/null -o IdentityAgent="$sock" -o IdentityFile=none -o IdentitiesOnly=no \
    -o UserKnownHostsFile="$work/ssh/known_hosts" -o StrictHostKeyChecking=yes -o BatchMode=yes \
    -p "$port" "$user@127.0.0.1" echo logged-in 2>&1) && grep -q logged-in <<<"$out" || { echo "$out"; return 1; }
  [ "$(grep -c "Accepted publickey.*$fp" "$work/ssh/sshd.log")" -gt "$accepted" ]
}

# ssh-add -h for each destination, the hosts' keys from named_hosts.
add_destined() { # key file below WORK, destinations separated by spaces
  local file=$1 destinations=() hop hops
  read -ra hops <<<"$2"
  for hop in "${hops[@]}"; do destinations+=(-h "$hop"); done
  ssh-add -H "$work/ssh/named_hosts" "${destinations[@]}" "$work/$file"
}

serve() { # request file
  local request=$1 pipe verb file rest out status
  # Written by a Windows program: its lines end in CR LF.
  read -r pipe verb file rest < <(tr -d '\r' <"$request")
  echo "$pipe" >"$work/pipe"
  case $verb in
    add) out=$(ssh-add "$work/$file" 2>&1 </dev/null) ;;
    add-destined) out=$(add_destined "$file" "$rest" 2>&1 </dev/null) ;;
    remove) out=$(ssh-add -d "$work/$file" 2>&1 </dev/null) ;;
    list) out=$(ssh-add -L 2>&1 </dev/null) ;;
    login) out=$(login "$file" 2>&1) ;;
    *) out="unknown request $verb"; false ;;
  esac
  status=$?
  { echo "$status"; echo "$out"; } >"${request%.request}.part"
  rm -f "$request"
  mv "${request%.request}.part" "${request%.request}.result"
}

GAGENT_STAGE=$(windows_path "$stage") GAGENT_SANDBOXES=$(windows_path "$work/sandboxes") \
  GAGENT_PRODUCT_WORK=$(windows_path "$work") GAGENT_PRODUCT_PASSPHRASE=$passphrase \
  "$wine" "$program" --gtest_filter="$filter" </dev/null &
tests=$!
shopt -s nullglob
while kill -0 "$tests" 2>/dev/null; do
  for request in "$work"/requests/*.request; do serve "$request"; done
  sleep 0.05
done
wait "$tests"
status=$?
[ $status = 0 ] || fail "the Windows test program (exit $status)"

# The files the tests left, as Debian's tools read them. Lines of WORK/checks:
#   generated|openssh|rfc4716 <path below WORK> <fingerprint the manager showed>
fingerprint_of() { ssh-keygen -l -f "$1" 2>/dev/null | cut -d' ' -f2; }
checked=0
while read -r kind file shown; do
  path=$work/$file
  checked=$((checked + 1))
  case $kind in
    generated)
      # ssh-keygen reads only a private file that no one else may read.
      cp "$path" "$work/private" && chmod 600 "$work/private"
      derived=$(ssh-keygen -y -f "$work/private" | cut -d' ' -f1-2)
      [ -n "$derived" ] && [ "$derived" = "$(cut -d' ' -f1-2 "$path.pub")" ] ||
        fail "$file: ssh-keygen -y gives '$derived', not the key of $file.pub"
      for f in "$work/private" "$path.pub"; do
        [ "$(fingerprint_of "$f")" = "$shown" ] || fail "$f: ssh-keygen -l gives '$(fingerprint_of "$f")', the manager showed $shown"
      done
      rm -f "$work/private"
      ;;
    openssh)
      [ "$(fingerprint_of "$path")" = "$shown" ] || fail "$file: ssh-keygen -l gives '$(fingerprint_of "$path")', not $shown"
      ;;
    rfc4716)
      # Debian's ssh-keygen -l reads no RFC 4716 file, not even its own -e
      # output: the key goes through -i first.
      ssh-keygen -i -f "$path" >"$work/imported.pub" 2>/dev/null || fail "$file: ssh-keygen -i cannot read it"
      [ "$(fingerprint_of "$work/imported.pub")" = "$shown" ] ||
        fail "$file: ssh-keygen -i, -l gives '$(fingerprint_of "$work/imported.pub")', not $shown"
      ;;
    *) fail "unknown check $kind" ;;
  esac
done < <([ -f "$work/checks" ] && tr -d '\r' <"$work/checks")
echo "product tests: $checked files checked with ssh-keygen, $failures failures"
[ $failures = 0 ]
