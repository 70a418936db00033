#!/usr/bin/env bash
# Runs every test and ends with one summary line. The Windows tests run
# under Wine on a private virtual display; see tools/test-session.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

passed=0
failed=0
# Runs one CTest invocation and adds its counts to the totals.
run_suite() {
  local log
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "run-tests: no result from: $*" >&2
    failed=$((failed + 1))
  else
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$status" = 0 ] || [ "$bad" != 0 ] || failed=$((failed + 1))
  fi
  rm -f "$log"
}

run_suite ctest --test-dir build/native --output-on-failure
run_suite tools/test-session.sh x86_64 ctest --test-dir build/x86_64 --output-on-failure
# The shipped i686 build: its binaries are checked as files, and its Windows
# tests run on 32-bit Wine, natively or under emulation (tools/i386-route).
if [ "$(tools/i386-route)" = native ]; then
  run_suite tools/test-session.sh i686 ctest --test-dir build/i686 --output-on-failure
  # The emulated route that kernels refusing 32-bit code depend on is kept
  # working with the shorter Windows tests.
  run_suite env GAGENT_I386_EMULATE=1 tools/test-session.sh i686 \
    ctest --test-dir build/i686 --output-on-failure -R 'inprocess|companions|cp932'
else
  # Emulated, every step of Wine costs several times as much: the manager
  # driven end to end with stand-in companions (e2e, ten minutes there) runs
  # in full on x86_64 only; the shipped manager still starts and works with
  # its real agent and library in the product tests.
  run_suite tools/test-session.sh i686 ctest --test-dir build/i686 --output-on-failure -E '^e2e_i686$'
fi

echo
echo "all tests: $passed passed, $failed failed"
[ "$failed" = 0 ]
