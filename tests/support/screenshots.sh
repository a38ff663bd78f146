# Sourced by the screenshot tests (tests/gui/*_screenshots.sh) after their line that names
# `wine_run`, `source` (the source tree) and `out` (the directory the screenshots go to). Messages
# start with the script's name.
#   take_screenshots WHAT SECONDS PROGRAM  empties `out` and runs PROGRAM under Wine to write its
#                                          screenshots there; ends the script when PROGRAM (WHAT
#                                          in the message) fails or outlasts SECONDS
#   compare_shot CHECKS SHOT               compares `out`/SHOT.png with tests/gui/references/SHOT.png
#                                          by the checks file CHECKS there; sets `failed=1` when
#                                          the shot is missing or differs
screenshots_name=$(basename "$0" .sh)
failed=0

take_screenshots() {
  local what=$1 seconds=$2 program=$3 status
  rm -rf "$out"
  mkdir -p "$out"
  timeout "$seconds" "$wine_run" "$program" --screenshots "Z:$out"
  status=$?
  if [ $status -ne 0 ]; then
    echo "$screenshots_name: $what failed with status $status" >&2
    exit 1
  fi
}

compare_shot() {
  local checks=$1 shot=$2
  if [ ! -f "$out/$shot.png" ]; then
    echo "$screenshots_name: $shot.png was not written" >&2
    failed=1
    return
  fi
  /usr/bin/python3 "$source/tests/gui/compare_screenshot.py" "$source/tests/gui/references/$checks" "$shot" \
    "$source/tests/gui/references/$shot.png" "$out/$shot.png" "$out" || failed=1
}
