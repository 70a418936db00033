#!/usr/bin/env bash
# Fuzzes every target of tests/fuzz/CMakeLists.txt with libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer. CMake builds them with
# clang in build/fuzz from the build's own source lists, so the fuzzers run
# the code that ships.
#   tools/fuzz.sh [seconds per target]   (default: each target's own time)
# Fails, naming the target, when one does not build or when libFuzzer
# reports anything: a crash, a sanitizer report, an input slower than
# $timeout seconds, or running out of memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-}
out=$root/build/fuzz
# The agent answers every request in bounded time: an input that takes
# longer is a finding too.
timeout=10

cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DGAGENT_FUZZ=ON >/dev/null

# name, program, seed folder, longest input, seconds
fuzz_target() {
  local name=$1 program=$2 seeds=$3 max_len=$4 time=${seconds:-$5}
  local log=$out/$name-last-run.log
  if ! cmake --build "$out" -j2 --target "fuzz_$name" >"$out/$name-build.log" 2>&1; then
    echo "fuzz: $name does not build (see $out/$name-build.log):" >&2
    grep -E 'error|undefined reference' "$out/$name-build.log" | head -n 5 >&2
    return 1
  fi
  # New inputs go into the first folder; the seeds in the tree stay as they are.
  mkdir -p "$out/corpus-$name"
  local status=0
  "$program" -max_total_time="$time" -max_len="$max_len" -timeout="$timeout" -print_final_stats=1 \
    -artifact_prefix="$out/$name-" "$out/corpus-$name" "$seeds" </dev/null >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|Done' "$log" | sed "s/^/$name: /" || true
  if [ "$status" != 0 ]; then
    echo "fuzz: finding in $name (libFuzzer exited with $status; see $log):" >&2
    grep -E '^finding:|ERROR|deadly signal|Test unit written' "$log" | head -n 5 >&2
    return 1
  fi
}

status=0
targets=0
while read -r -u 3 name program seeds max_len time; do
  [ "${name:0:1}" != "#" ] || continue
  targets=$((targets + 1))
  fuzz_target "$name" "$program" "$seeds" "$max_len" "$time" || status=1
done 3<"$out/fuzz-targets.txt"
[ "$targets" != 0 ] || { echo "fuzz: no targets in $out/fuzz-targets.txt" >&2; exit 1; }
[ "$status" = 0 ] && echo "fuzz: no finding in $targets targets"
exit "$status"
