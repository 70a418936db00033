# Sourced by the tests of the staged agent with Debian's OpenSSH
# (run-peer-tests.sh, run-forwarding-attacks.sh, run-destination-tests.sh):
# the agent under Wine, the bridge through which Linux's ssh tools reach its
# pipe (socat and the relay: Wine has no AF_UNIX sockets), throw-away sshds
# on 127.0.0.1, and the pass/fail count. Runs inside a test session
# (tools/test-session.sh), which provides the Wine prefix, display and
# wineserver.
# The caller sets stage and relay (the staged gagent-relay.exe) first.
wine=${GAGENT_WINE_LOADER:-/usr/lib/wine/wine64}
scale=${GAGENT_TEST_TIMEOUT_SCALE:-1}

work=$(mktemp -d /tmp/agent-peer.XXXXXX)
pipe=glimmerpad-peer-$$
sock=$work/agent.sock
pids=()
failures=0

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

source "$(dirname "${BASH_SOURCE[0]}")/../../tools/wait-for.sh"

# ssh-add -l exits with 1 for an empty agent and for a failed exchange alike
# (the relay finds no pipe before the agent has made it).
# An agent that ended (another one of this user runs) stops the wait.
agent_ready() { [ "$(ssh-add -l 2>&1)" = "The agent has no identities." ] || ! kill -0 "$agent" 2>/dev/null; }

# The agent on its own pipe, logging to $work/agent.log.
start_agent() {
  "$wine" "$stage/gkeyagent.exe" --pipe "$pipe" --log "Z:${work//\//\\}\\agent.log" </dev/null >/dev/null 2>&1 &
  agent=$!
  pids+=($agent)
}

# The agent, and the bridge on $sock, exported as SSH_AUTH_SOCK; ends the
# script when the empty agent does not answer through it.
start_agent_and_bridge() {
  start_agent
  socat UNIX-LISTEN:"$sock",fork,unlink-early,mode=600 EXEC:"$wine $relay --pipe //./pipe/$pipe" </dev/null >/dev/null 2>"$work/socat.err" &
  pids+=($!)
  wait_for 100 test -S "$sock" || { echo "socat did not listen"; exit 1; }
  export SSH_AUTH_SOCK=$sock
  wait_for 300 agent_ready
  kill -0 "$agent" 2>/dev/null || { echo "the agent ended at start (is another agent of this user running?)"; exit 1; }
  [ "$(ssh-add -l 2>&1)" = "The agent has no identities." ] || { echo "the agent did not answer through the bridge"; cat "$work/socat.err"; exit 1; }
}

# A file of this machine as the agent under Wine names it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Writes an sshd configuration that serves $work/authorized_keys with the
# host keys given by type, and the known_hosts file for them; sets port and
# user (the account ssh logs in as).
prepare_sshd() { # host key types (ed25519, rsa, ecdsa)...
  mkdir -p /run/sshd
  port=$(free_port)
  : >"$work/known_hosts"
  local h host_keys=
  for h in "$@"; do
    make_host_key "$h" "$work/hostkey-$h"
    echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$work/hostkey-$h.pub")" >>"$work/known_hosts"
    host_keys+="HostKey $work/hostkey-$h"$'\n'
  done
  {
    echo "ListenAddress 127.0.0.1:$port"
    printf '%s' "$host_keys"
    echo "AuthorizedKeysFile $work/authorized_keys"
    sshd_settings
  } >"$work/sshd_config"
  choose_login_user
  # ssh's options for a login to this sshd through the agent alone.
  ssh_base=(-F /dev/null -o IdentityAgent="$sock" -o UserKnownHostsFile="$work/known_hosts"
    -o StrictHostKeyChecking=yes -o BatchMode=yes -p "$port")
}

# Replaces the calling subshell with sshd, accepting only the signature
# algorithm given; its log goes to the file given.
start_sshd() { # algorithm, log
  exec_sshd "$2" -f "$work/sshd_config" -o PubkeyAcceptedAlgorithms="$1"
}

# Replaces the calling subshell with sshd in the foreground, logging to the
# file given, with the arguments given.
exec_sshd() { # log, sshd arguments...
  local log=$1
  shift
  if [ "$user" = root ]; then
    exec /usr/sbin/sshd -D -e "$@" 2>"$log"
  fi
  exec unshare --mount bash -c 'mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/group && shift 2 &&
    exec unshare --user --map-user=4242 --map-group=4242 /usr/sbin/sshd -D -e "$@"' \
    sshd-namespace "$work/passwd" "$work/group" "$@" 2>"$log"
}

# What every test sshd has beside its address and keys: public keys as the
# only way in, its files in the test's folder whoever owns them, no PAM and
# no pid file; then the lines given.
sshd_settings() { # sshd_config lines...
  printf '%s\n' "StrictModes no" "UsePAM no" "PasswordAuthentication no" "KbdInteractiveAuthentication no" \
    "PermitRootLogin prohibit-password" "PidFile none" "$@"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# RSA and ECDSA host keys are written as PEM, which openssl reads too: a
# test may then sign as the host, as its sshd would.
make_host_key() { # type (ed25519, rsa, ecdsa), file
  case $1 in
    rsa) ssh-keygen -q -t rsa -b 2048 -m PEM -N '' -f "$2" ;;
    ecdsa) ssh-keygen -q -t ecdsa -b 256 -m PEM -N '' -f "$2" ;;
    *) ssh-keygen -q -t "$1" -N '' -f "$2" ;;
  esac
}

# Sets user, the account ssh logs in as. In the emulation namespace of the
# i686 tests sshd may not change its groups, which it does as root: there
# it runs as a user of its own in a nested namespace, and serves that user
# only.
choose_login_user() {
  user=root
  if [ -n "${GAGENT_I386_NAMESPACE:-}" ]; then
    user=agenttest
    (cat /etc/passwd; echo "$user:x:4242:4242::/tmp:/bin/sh") >"$work/passwd"
    (cat /etc/group; echo "$user:x:4242:") >"$work/group"
  fi
}

# Several sshds at once, each in $work/NAME/ with a host key and an
# authorized_keys of its own, and named for ssh by HostKeyAlias:
# "ssh -F $work/ssh_config NAME" logs in to it as $user through the agent
# alone. Which names $work/known_hosts gives which keys is the caller's
# (trust_host_key, trust_host_ca), as ssh-add -h reads them from there.
hosts=()
add_host() { # name, host key type (ed25519, rsa, ecdsa), sshd_config lines...
  local name=$1 type=$2 dir=$work/$1 port
  shift 2
  [ ${#hosts[@]} != 0 ] || { mkdir -p /run/sshd; choose_login_user; : >"$work/known_hosts"; : >"$work/ssh_config"; }
  mkdir -p "$dir"
  make_host_key "$type" "$dir/hostkey"
  : >"$dir/authorized_keys"
  : >"$dir/sshd.log"
  port=$(free_port)
  {
    echo "ListenAddress 127.0.0.1:$port"
    echo "HostKey $dir/hostkey"
    echo "AuthorizedKeysFile $dir/authorized_keys"
    sshd_settings "$@"
  } >"$dir/sshd_config"
  printf 'Host %s\n  Port %s\n  HostKeyAlias %s\n' "$name" "$port" "$name" >>"$work/ssh_config"
  hosts+=("$name")
}

trust_host_key() { # name
  echo "$1 $(cut -d' ' -f1-2 "$work/$1/hostkey.pub")" >>"$work/known_hosts"
}

trust_host_ca() { # host name patterns (comma-separated), CA public key file
  echo "@cert-authority $1 $(cut -d' ' -f1-2 "$2")" >>"$work/known_hosts"
}

# The host's key certified by the CA, for the principals given.
certify_host() { # name, CA private key file, principals
  ssh-keygen -q -s "$2" -h -I "$1" -n "$3" "$work/$1/hostkey.pub" 2>/dev/null || fail "ssh-keygen -s for $1"
  echo "HostCertificate $work/$1/hostkey-cert.pub" >>"$work/$1/sshd_config"
}

# Starts every added host's sshd and waits until each listens; ends the
# script when one does not.
start_hosts() {
  cat >>"$work/ssh_config" <<CONF
Host *
  HostName 127.0.0.1
  User $user
  UserKnownHostsFile $work/known_hosts
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  UpdateHostKeys no
  BatchMode yes
  IdentityFile none
  PreferredAuthentications publickey
CONF
  local name
  for name in "${hosts[@]}"; do
    (exec_sshd "$work/$name/sshd.log" -f "$work/$name/sshd_config") &
    pids+=($!)
  done
  for name in "${hosts[@]}"; do
    wait_for 50 grep -q "Server listening" "$work/$name/sshd.log" ||
      { echo "sshd $name did not start: $(cat "$work/$name/sshd.log")"; exit 1; }
  done
}
