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
  # A recorded process may be a subshell running the real one as its child (a shell function
  # sent to the background): the children go first.
  for pid in "${pids[@]}"; do
    pkill -P "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
  if declare -F extra_cleanup >/dev/null; then extra_cleanup || true; fi
}
trap scratch_cleanup EXIT
# For an `extra_cleanup`: ends whatever still runs in each network namespace named, then deletes
# it. A backgrounded `ip netns exec` inside a shell function is a subshell whose child is the
# program, so killing the recorded process alone leaves the program running.
delete_namespaces() {
  local ns
  for ns in "$@"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
}
