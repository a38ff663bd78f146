#!/usr/bin/env bash
# Runs the gallery under Wine, saves its screenshots in OUT_DIR and compares each with its
# committed reference (tests/gui/references).
#   gallery_screenshots.sh WINE_RUN GALLERY_EXE SOURCE_DIR OUT_DIR
set -uo pipefail
wine_run=$1 gallery=$2 source=$3 out=$4
rm -rf "$out"
mkdir -p "$out"
timeout 120 "$wine_run" "$gallery" --screenshots "Z:$out"
status=$?
if [ $status -ne 0 ]; then
  echo "gallery_screenshots: the gallery failed with status $status" >&2
  exit 1
fi
failed=0
for shot in gallery_pressed gallery_released; do
  if [ ! -f "$out/$shot.png" ]; then
    echo "gallery_screenshots: $shot.png was not written" >&2
    failed=1
    continue
  fi
  /usr/bin/python3 "$source/tests/gui/compare_screenshot.py" "$source/tests/gui/references/checks.json" "$shot" \
    "$source/tests/gui/references/$shot.png" "$out/$shot.png" "$out" || failed=1
done
exit $failed
