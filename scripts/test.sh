#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows presets, and runs every test:
# natively on Linux (with AddressSanitizer and UndefinedBehaviorSanitizer) and under Wine for the
# Windows build; then the fuzz step where clang is present.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

status=0
cmake --preset linux
cmake --build --preset linux
ctest --preset linux || status=1

cmake --preset windows
cmake --build --preset windows
ctest --preset windows || status=1

if [ -x scripts/fuzz.sh ] && command -v clang++ >/dev/null; then
  scripts/fuzz.sh || status=1
fi

if [ $status -ne 0 ]; then
  echo "Some tests failed."
fi
exit $status
