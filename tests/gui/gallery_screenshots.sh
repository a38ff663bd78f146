#!/usr/bin/env bash
# Runs the gallery under Wine, saves its screenshots in OUT_DIR and compares each with its
# committed reference (tests/gui/references).
#   gallery_screenshots.sh WINE_RUN GALLERY_EXE SOURCE_DIR OUT_DIR
set -uo pipefail
wine_run=$1 gallery=$2 source=$3 out=$4
source "$(dirname "${BASH_SOURCE[0]}")/../support/screenshots.sh"
take_screenshots "the gallery" 120 "$gallery"
for shot in gallery_pressed gallery_released; do
  compare_shot checks.json "$shot"
done
exit $failed
