#!/usr/bin/env bash
# Fuzzes the settings file reader with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer: tools/fuzz.sh [seconds] (default 180).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-180}
out=$root/build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/config" "$root/tests/fuzz/fuzz_settings_reader.cpp" "$root/config/SettingsReader.cpp" \
  -o "$out/fuzz_settings_reader"
cp -n "$root"/tests/fuzz/corpus/* "$out/corpus/" 2>/dev/null || true
"$out/fuzz_settings_reader" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" 2>&1 | tee "$out/last-run.log" | grep -E 'stat::number_of_executed_units|Done|ERROR|crash' || true
grep -q 'ERROR' "$out/last-run.log" && { echo "fuzz: finding saved under $out" >&2; exit 1; }
echo "fuzz: no finding in $seconds s"
