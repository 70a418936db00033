#!/usr/bin/env bash
# Fuzzes with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer:
# the settings file reader, the agent's request handler and its key blob
# parser, and its key file readers. tools/fuzz.sh [seconds per target] (default 180; 60 for each agent target).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-180}
agent_seconds=${1:-60}
out=$root/build/fuzz
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
core=$root/companions/agentcore
core_sources=("$core/Wire.cpp" "$core/Encoding.cpp" "$core/Bcrypt.cpp" "$core/Key.cpp" "$core/KeyFile.cpp"
  "$core/KeyStore.cpp" "$core/RequestHandler.cpp" "$core/Verifier.cpp")
mkdir -p "$out"

# target, seconds, max input length, then the compiler's inputs
run_target() {
  local name=$1 time=$2 max_len=$3
  shift 3
  mkdir -p "$out/corpus-$name"
  clang++ "${flags[@]}" "$@" -o "$out/fuzz_$name"
  local seeds=$root/tests/fuzz/corpus-${name//_/-} # the folders are named with hyphens
  [ "$name" != settings_reader ] || seeds=$root/tests/fuzz/corpus
  cp -n "$seeds"/* "$out/corpus-$name/" 2>/dev/null || true
  "$out/fuzz_$name" -max_total_time="$time" -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$out/$name-" "$out/corpus-$name" >"$out/$name-last-run.log" 2>&1 || true
  grep -E 'stat::number_of_executed_units|Done|ERROR|crash' "$out/$name-last-run.log" | sed "s/^/$name: /" || true
  if grep -q 'ERROR\|deadly signal' "$out/$name-last-run.log"; then
    echo "fuzz: finding in $name saved under $out" >&2
    return 1
  fi
}

status=0
run_target settings_reader "$seconds" 4096 -I"$root/config" "$root/tests/fuzz/fuzz_settings_reader.cpp" \
  "$root/config/SettingsReader.cpp" || status=1
run_target agent_requests "$agent_seconds" 8192 -I"$core" "$root/tests/fuzz/fuzz_agent_requests.cpp" \
  "${core_sources[@]}" -lgcrypt -lgpg-error || status=1
run_target key_blobs "$agent_seconds" 4096 -I"$core" "$root/tests/fuzz/fuzz_key_blobs.cpp" \
  "${core_sources[@]}" -lgcrypt -lgpg-error || status=1
run_target key_files "$agent_seconds" 16384 -I"$core" "$root/tests/fuzz/fuzz_key_files.cpp" \
  "${core_sources[@]}" -lgcrypt -lgpg-error || status=1
[ "$status" = 0 ] && echo "fuzz: no finding"
exit "$status"
