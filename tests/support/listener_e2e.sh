# Sourced by the end-to-end scripts that drive the listener runner against Linux peers, after
# scratch.sh and the line that names `runner` and `wine_run` (empty for the native build).
#   fail TEXT...          says FAIL and ends the script
#   wait_line FILE PREFIX the second field of FILE's first line that starts with PREFIX, waiting
#                         30 s at most for it (false if it never comes)
#   port_of NAME          NAME's port in $PELTO_TLS_PORTS (the peers' wrapper exports it)
#   run_runner ARGS...    the runner, under Wine when `wine_run` is set
#   trust_test_ca         under Wine, makes TRUST_TEST_CA_EXE (`trust_exe`) trust $PELTO_TLS_CA
#   start_listener LINK NAME  `run_runner` through the node LINK with "localhost" as the service
#                         domain (a name the peers resolve to this machine), its input a fifo this
#                         shell holds open as descriptor 4; sets `runner_pid` and `proxy_port`, or
#                         fails naming NAME
#   stop_listener NAME    closes that input and fails unless the runner then ends cleanly
fail() { echo "FAIL: $*"; exit 1; }

wait_line() {  # file prefix -> second field of the first line starting with prefix
  for _ in $(seq 300); do
    local v
    v=$(awk -v p="$2" 'index($0, p) == 1 {print $2; exit}' "$1" 2>/dev/null)
    [ -n "$v" ] && { echo "$v"; return 0; }
    sleep 0.1
  done
  return 1
}

port_of() { tr ' ' '\n' <<< "$PELTO_TLS_PORTS" | awk -F= -v n="$1" '$1 == n {print $2}'; }

run_runner() {
  if [ -n "$wine_run" ]; then "$wine_run" "$runner" "$@"; else "$runner" "$@"; fi
}

trust_test_ca() {
  if [ -n "$wine_run" ]; then
    "$wine_run" "$trust_exe" "$PELTO_TLS_CA" || fail "the test CA could not be trusted under Wine"
  fi
}

start_listener() {
  rm -f "$work/in" && mkfifo "$work/in"
  run_runner "$1" localhost < "$work/in" > "$work/runner.out" & runner_pid=$!
  exec 4>"$work/in"
  proxy_port=$(wait_line "$work/runner.out" listening) || { cat "$work/runner.out"; fail "$2: listener did not start"; }
}

stop_listener() {
  exec 4>&-
  wait "$runner_pid" || fail "$1: the listener did not end cleanly"
}
