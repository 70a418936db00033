#!/usr/bin/env bash
# Prints how long the key manager takes with 0, 1,000 and 10,000 keys from
# the recording agent library, and with 1,000 keys in the real agent through
# the real library: start-up to a visible window, and a rebuild of the list
# on WM_AGENT_REFRESH (x86_64 build under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
export GAGENT_STAGE=$(windows_path "$root/build/x86_64/stage")
export GAGENT_SANDBOXES=$(windows_path "$root/build/x86_64/tests/sandboxes")
# A goal missed by one part still leaves the figures of the others; the
# exit code says whether every part met its goals.
status=0
"$root/tools/test-session.sh" x86_64 "$root/tools/wine-run" "$root/build/x86_64/tests/bin/key_list_benchmark.exe" || status=1
# The key agent's signatures per second beside OpenSSH's ssh-agent.
"$root/tools/agent-benchmark.sh" || status=1
# Key generation through the agent library beside ssh-keygen.
"$root/tools/library-benchmark.sh" || status=1
exit "$status"
