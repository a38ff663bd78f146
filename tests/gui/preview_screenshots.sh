#!/usr/bin/env bash
# Runs the screens preview under Wine, saves its screenshots in OUT_DIR and compares each with its
# committed reference (tests/gui/references, checks in preview_checks.json).
#   preview_screenshots.sh WINE_RUN PREVIEW_EXE SOURCE_DIR OUT_DIR
set -uo pipefail
wine_run=$1 preview=$2 source=$3 out=$4
rm -rf "$out"
mkdir -p "$out"
timeout 200 "$wine_run" "$preview" --screenshots "Z:$out"
status=$?
if [ $status -ne 0 ]; then
  echo "preview_screenshots: the preview failed with status $status" >&2
  exit 1
fi
failed=0
for page in main connecting error loading settings; do
  for language in en zh; do
    shot=preview_${page}_${language}
    if [ ! -f "$out/$shot.png" ]; then
      echo "preview_screenshots: $shot.png was not written" >&2
      failed=1
      continue
    fi
    /usr/bin/python3 "$source/tests/gui/compare_screenshot.py" "$source/tests/gui/references/preview_checks.json" \
      "$shot" "$source/tests/gui/references/$shot.png" "$out/$shot.png" "$out" || failed=1
  done
done
for shot in preview_scripts_top_en preview_scripts_end_en; do
  if [ ! -f "$out/$shot.png" ]; then
    echo "preview_screenshots: $shot.png was not written" >&2
    failed=1
    continue
  fi
  /usr/bin/python3 "$source/tests/gui/compare_screenshot.py" "$source/tests/gui/references/preview_checks.json" \
    "$shot" "$source/tests/gui/references/$shot.png" "$out/$shot.png" "$out" || failed=1
done
exit $failed
