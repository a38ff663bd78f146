#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows presets, and runs every test:
# natively on Linux (with AddressSanitizer and UndefinedBehaviorSanitizer) and under Wine for the
# Windows build; then the fuzz step where clang is present. Ends with one summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
passed=0
failed=0

# Runs ctest for one preset and adds its counts to the totals.
run_ctest() {
  local preset=$1
  ctest --preset "$preset" 2>&1 | tee "$logs/$preset.log" || status=1
  local line total failures
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$preset.log" | tail -1)
  if [ -z "$line" ]; then
    status=1
    return
  fi
  failures=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - failures))
  failed=$((failed + failures))
}

cmake --preset linux
cmake --build --preset linux
run_ctest linux

cmake --preset windows
cmake --build --preset windows
run_ctest windows

if [ -x scripts/fuzz.sh ] && command -v clang++ >/dev/null; then
  if scripts/fuzz.sh; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
fi

[ $failed -eq 0 ] || status=1
echo "$passed passed, $failed failed"
exit $status
