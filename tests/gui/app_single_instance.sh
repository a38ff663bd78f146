#!/usr/bin/env bash
# pelto.exe's single instance with real processes under Wine (tests/gui/app_instances_win.cpp), in
# a network namespace with only loopback (so the machine's own default route cannot turn TUN mode
# on at start). Skips (77) where no namespace can be made.
#   app_single_instance.sh SOURCE_DIR PELTO.EXE APP_INSTANCES.EXE [--skip-timeout]
set -uo pipefail
if ! unshare -rn true 2>/dev/null; then
  echo "app_single_instance: no network namespace here; skipped"
  exit 77
fi
program=$(realpath "$2")
windows_path=Z:$(printf '%s' "$program" | tr / '\\')
exec unshare -rn bash -c 'ip link set lo up && "$0/cmake/wine-run.sh" "$1" "$2" ${3:+"$3"}' \
  "$1" "$(realpath "$3")" "$windows_path" "${4:-}"
