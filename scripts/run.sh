#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows program, and runs the offline demo of
# the program's main job on both: natively, and the Windows build under Wine (scripts/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake --preset linux-release
cmake --build --preset linux-release --target pelto
cmake --preset windows
cmake --build --preset windows --target pelto-cli

status=0
echo "== Linux: pelto connect =="
scripts/demo.sh native build/linux-release/app/cli/pelto || status=1
echo
echo "== Windows under Wine: pelto-cli.exe connect =="
cmake/wine-run.sh --setup build/windows >/dev/null
scripts/demo.sh wine build/windows/app/cli/pelto-cli.exe || status=1
cmake/wine-run.sh --teardown build/windows >/dev/null
exit $status
