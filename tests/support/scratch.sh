# Sourced by the test and benchmark scripts, right after their `set` line.
#   work   a fresh scratch directory
#   pids   the script appends every background process it starts
# At exit the processes are killed and waited for, the directory goes, and then the script's own
# `extra_cleanup` runs when it defines one (network namespaces, files written beside a program).
work=$(mktemp -d)
pids=()
scratch_cleanup() {
  exec 4>&- 2>/dev/null
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
  if declare -F extra_cleanup >/dev/null; then extra_cleanup || true; fi
}
trap scratch_cleanup EXIT
