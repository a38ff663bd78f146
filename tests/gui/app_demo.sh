#!/usr/bin/env bash
# pelto.exe through the offline demo, in a network namespace with only loopback (so the machine's
# own default route cannot turn TUN mode on at start). With SCREENSHOT.png the connected window is
# saved there from the test display and must look drawn. Skips (77) where no namespace can be made.
#   app_demo.sh SOURCE_DIR PELTO.EXE APP_DRIVER.EXE [SCREENSHOT.png]
set -uo pipefail
if ! unshare -rn true 2>/dev/null; then
  echo "app_demo: no network namespace here; skipped"
  exit 77
fi
if [ -n "${4:-}" ]; then
  # The display Wine draws on belongs to the build tree (cmake/wine-run.sh).
  build=$(dirname "$(realpath "$2")")
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
  if [ ! -f "$build/xvfb.display" ]; then
    echo "app_demo: no test display in $build (the wine_prefix fixture starts it)" >&2
    exit 1
  fi
  DISPLAY=$(cat "$build/xvfb.display")
  export DISPLAY PELTO_DEMO_SCREENSHOT=$4
fi
exec unshare -rn bash -c 'ip link set lo up && "$0/scripts/demo.sh" gui "$1" "$2"' "$1" "$2" "$3"
