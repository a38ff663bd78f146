#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every one of them for a fixed time over its seed corpus.
# A fuzzer `<module>/<name>_fuzzer.cpp` takes its seeds from `<module>/testdata/<name>_corpus/`.
# New inputs found during the run go to a scratch directory, never into the repository. Any crash,
# time-out or sanitizer report fails the script; the reproducer is left in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${PELTO_FUZZ_SECONDS:-30}"

cmake --preset fuzz
cmake --build --preset fuzz

mapfile -t sources < <(find . -path ./build -prune -o -name '*_fuzzer.cpp' -print | sort)
if [ ${#sources[@]} -eq 0 ]; then
  echo "No fuzz targets."
  exit 0
fi

artifacts="build/fuzz/artifacts"
mkdir -p "$artifacts"
status=0
for source in "${sources[@]}"; do
  name="$(basename "$source" .cpp)"
  module="$(dirname "$source")"
  binary="build/fuzz/${module#./}/$name"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $name was not built" >&2
    status=1
    continue
  fi
  seeds="$module/testdata/${name%_fuzzer}_corpus"
  scratch="$(mktemp -d)"
  corpora=("$scratch")
  [ -d "$seeds" ] && corpora+=("$seeds")
  echo "fuzz: $name for ${seconds}s over ${corpora[*]}"
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" "${corpora[@]}"; then
    echo "fuzz: $name FAILED (reproducer in $artifacts/)" >&2
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
