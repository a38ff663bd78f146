#!/usr/bin/env bash
# Runs the screens preview under Wine, saves its screenshots in OUT_DIR and compares each with its
# committed reference (tests/gui/references, checks in preview_checks.json).
#   preview_screenshots.sh WINE_RUN PREVIEW_EXE SOURCE_DIR OUT_DIR
set -uo pipefail
wine_run=$1 preview=$2 source=$3 out=$4
source "$(dirname "${BASH_SOURCE[0]}")/../support/screenshots.sh"
take_screenshots "the preview" 200 "$preview"
for page in main connecting error loading settings; do
  for language in en zh; do
    compare_shot preview_checks.json "preview_${page}_${language}"
  done
done
for shot in preview_scripts_top_en preview_scripts_end_en; do
  compare_shot preview_checks.json "$shot"
done
exit $failed
