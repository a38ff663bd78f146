#!/usr/bin/env bash
# Runs a Windows executable under Wine for ctest, in a prefix of its own under the build tree, on
# an Xvfb display, with carriage returns stripped and the program's exit status kept.
#   wine-run.sh PROGRAM.exe [ARGS...]   run one program
#   wine-run.sh --setup BUILD_DIR       create the prefix and start the display (ctest fixture)
#   wine-run.sh --teardown BUILD_DIR    stop the Wine server and the display (ctest fixture)
set -uo pipefail

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

build_dir_of() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  echo "$dir"
}

set_environment() {
  export WINEPREFIX="$1/wineprefix"
  export WINEARCH=win64
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -f "$1/xvfb.display" ]; then
    DISPLAY=$(cat "$1/xvfb.display")
    export DISPLAY
  fi
}

start_display() {
  local build=$1 n
  if [ -f "$build/xvfb.pid" ] && kill -0 "$(cat "$build/xvfb.pid")" 2>/dev/null; then return 0; fi
  for n in $(seq 90 130); do
    [ -e "/tmp/.X$n-lock" ] && continue
    # fd 9 (the setup lock) stays behind: a display that kept it would block every later setup.
    setsid Xvfb ":$n" -nolisten tcp -screen 0 1280x1024x24 >/dev/null 2>&1 9>&- &
    local pid=$!
    for _ in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$pid" >"$build/xvfb.pid"
      echo ":$n" >"$build/xvfb.display"
      return 0
    fi
  done
  echo "wine-run: could not start Xvfb" >&2
  return 1
}

case "${1:-}" in
  --setup)
    build=$(cd "$2" && pwd)
    exec 9>"$build/wineprefix.lock"
    flock 9
    start_display "$build" || exit 1
    set_environment "$build"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 9>&-
    fi
    # Bounded: a process left over in the prefix (a desktop that has not gone yet) must not hold
    # every test of the run; the prefix itself is checked below.
    timeout 120 "$wineserver" -w 9>&-
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-run: prefix was not created" >&2; exit 1; }
    echo "Wine prefix ready in $WINEPREFIX on display $DISPLAY"
    ;;
  --teardown)
    build=$(cd "$2" && pwd)
    set_environment "$build"
    "$wineserver" -k 2>/dev/null
    if [ -f "$build/xvfb.pid" ]; then
      kill "$(cat "$build/xvfb.pid")" 2>/dev/null
      rm -f "$build/xvfb.pid" "$build/xvfb.display"
    fi
    echo "Wine server and display stopped"
    ;;
  *)
    program=$1
    shift
    build=$(build_dir_of "$program")
    set_environment "$build"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$0" --setup "$build" >/dev/null || exit 1
      set_environment "$build"
    fi
    "$wine" "$program" "$@" 2>&1 | sed -u 's/\r//g'  # unbuffered: a peer may wait for a line
    exit "${PIPESTATUS[0]}"
    ;;
esac
