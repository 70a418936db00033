#!/usr/bin/env bash
# Key generation, Ed25519 and RSA-3072: through the agent library's
# generateKey (the x86_64 stage under Wine: the library asks the agent,
# which generates, writes both files and adds the key), and Debian's
# ssh-keygen on the same machine, in the same run. Median of RUNS each.
#   tools/library-benchmark.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
if [ -z "${GAGENT_LIBRARY_BENCH_SESSION:-}" ]; then
  GAGENT_LIBRARY_BENCH_SESSION=1 exec "$root/tools/test-session.sh" x86_64 "$0" "$@"
fi
wine=${GAGENT_WINE_LOADER:-/usr/lib/wine/wine64}
work=$(mktemp -d /tmp/library-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

mkdir -p "$work/library" "$work/ssh-keygen"
ours=$(GAGENT_STAGE=$(windows_path "$root/build/x86_64/stage") \
  "$wine" "$root/build/x86_64/tests/bin/generate_benchmark.exe" "$runs" "$(windows_path "$work/library")" </dev/null | tr -d '\r')
if ! grep -q . <<<"$ours" || grep -q 'failed\|did not' <<<"$ours"; then
  echo "library-benchmark: generation through the library failed: $ours" >&2
  exit 1
fi

# Milliseconds of each ssh-keygen run, process start included as the
# library's figure includes its round trip to the agent.
theirs() { # type bits
  local i start end
  for i in $(seq 1 "$runs"); do
    start=$(date +%s%N)
    ssh-keygen -q -t "$1" ${2:+-b "$2"} -N "" -f "$work/ssh-keygen/$1-$i" </dev/null
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 ))"
  done | awk '{printf " %.1f", $1 / 1000}'
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

printf 'key generation, median of %s   %16s %16s %8s\n' "$runs" "library (agent)" "ssh-keygen" ratio
for c in "ed25519 ed25519 - Ed25519" "rsa3072 rsa 3072 RSA-3072"; do
  set -- $c
  mine=$(grep "^$1 " <<<"$ours" | cut -d' ' -f2- | median)
  bits=$3
  [ "$bits" = - ] && bits=
  other=$(theirs "$2" "$bits" | median)
  ratio=$(python3 -c "print(f'{$mine / $other:.2f}')")
  printf '%-30s %13s ms %13s ms %8s\n' "$4" "$mine" "$other" "$ratio"
done
