# Sourced by the scripts that run the test peers (bash). `start_peer LOG COMMAND...` starts a peer
# that prints "listening PORT" as its first line, in the background, adds it to the array `pids`
# and sets `port`; its output goes to $work/LOG.log and .err. A peer that does not listen within
# 10 s ends the script with its error output.
start_peer() {
  local log=$1; shift
  "$@" >"$work/$log.log" 2>"$work/$log.err" &
  pids+=($!)
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening \([0-9]*\).*/\1/p' "$work/$log.log" 2>/dev/null | head -1 || true)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "$log did not start" >&2
  cat "$work/$log.err" >&2
  exit 1
}
