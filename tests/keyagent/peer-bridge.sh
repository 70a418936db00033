# Sourced by the tests of the staged agent with Debian's OpenSSH
# (run-peer-tests.sh, run-forwarding-attacks.sh): the agent under Wine, the
# bridge through which Linux's ssh tools reach its pipe (socat and the relay:
# Wine has no AF_UNIX sockets), a throw-away sshd on 127.0.0.1, and the
# pass/fail count. Runs inside a test session (tools/test-session.sh), which
# provides the Wine prefix, display and wineserver.
# The caller sets stage and relay first.
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

# The agent on its own pipe, logging to $work/agent.log, and the bridge on
# $sock, exported as SSH_AUTH_SOCK; ends the script when the empty agent
# does not answer through it.
start_agent_and_bridge() {
  "$wine" "$stage/gkeyagent.exe" --pipe "$pipe" --log "Z:${work//\//\\}\\agent.log" </dev/null >/dev/null 2>&1 &
  agent=$!
  pids+=($agent)
  socat UNIX-LISTEN:"$sock",fork,unlink-early,mode=600 EXEC:"$wine $relay //./pipe/$pipe" </dev/null >/dev/null 2>"$work/socat.err" &
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
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  : >"$work/known_hosts"
  local h host_keys=
  for h in "$@"; do
    case $h in
      rsa) ssh-keygen -q -t rsa -b 2048 -N '' -f "$work/hostkey-$h" ;;
      ecdsa) ssh-keygen -q -t ecdsa -b 256 -N '' -f "$work/hostkey-$h" ;;
      *) ssh-keygen -q -t "$h" -N '' -f "$work/hostkey-$h" ;;
    esac
    echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$work/hostkey-$h.pub")" >>"$work/known_hosts"
    host_keys+="HostKey $work/hostkey-$h"$'\n'
  done
  cat >"$work/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
${host_keys}AuthorizedKeysFile $work/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
PidFile none
CONF
  # In the emulation namespace of the i686 tests sshd may not change its
  # groups, which it does as root: there it runs as a user of its own in a
  # nested namespace, and serves that user only.
  user=root
  if [ -n "${GAGENT_I386_NAMESPACE:-}" ]; then
    user=agenttest
    (cat /etc/passwd; echo "$user:x:4242:4242::/tmp:/bin/sh") >"$work/passwd"
    (cat /etc/group; echo "$user:x:4242:") >"$work/group"
  fi
  # ssh's options for a login to this sshd through the agent alone.
  ssh_base=(-F /dev/null -o IdentityAgent="$sock" -o UserKnownHostsFile="$work/known_hosts"
    -o StrictHostKeyChecking=yes -o BatchMode=yes -p "$port")
}

# Replaces the calling subshell with sshd, accepting only the signature
# algorithm given; its log goes to the file given.
start_sshd() { # algorithm, log
  if [ "$user" = root ]; then
    exec /usr/sbin/sshd -D -e -f "$work/sshd_config" -o PubkeyAcceptedAlgorithms="$1" 2>"$2"
  fi
  exec unshare --mount bash -c "mount --bind '$work/passwd' /etc/passwd && mount --bind '$work/group' /etc/group &&
    exec unshare --user --map-user=4242 --map-group=4242 /usr/sbin/sshd -D -e -f '$work/sshd_config' -o PubkeyAcceptedAlgorithms='$1'" 2>"$2"
}

