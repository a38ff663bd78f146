#!/usr/bin/env bash
# pelto.exe through the offline demo, in a network namespace with only loopback (so the machine's
# own default route cannot turn TUN mode on at start). Skips (77) where no namespace can be made.
#   app_demo.sh SOURCE_DIR PELTO.EXE APP_DRIVER.EXE
set -uo pipefail
if ! unshare -rn true 2>/dev/null; then
  echo "app_demo: no network namespace here; skipped"
  exit 77
fi
exec unshare -rn bash -c 'ip link set lo up && "$0/scripts/demo.sh" gui "$1" "$2"' "$1" "$2" "$3"
