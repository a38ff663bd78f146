#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows program, and runs the program's main
# job on both: natively, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake --preset linux-release
cmake --build --preset linux-release --target pelto
cmake --preset windows
cmake --build --preset windows --target pelto

echo "== Linux =="
build/linux-release/app/pelto "$@"
echo "== Windows (Wine) =="
cmake/wine-run.sh --setup build/windows >/dev/null
status=0
cmake/wine-run.sh build/windows/app/pelto.exe "$@" || status=$?
cmake/wine-run.sh --teardown build/windows >/dev/null
exit $status
