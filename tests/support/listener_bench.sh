# Sourced by the throughput benchmarks that drive the listener runner (bench/*_throughput.sh),
# after scratch.sh and the `cd` to the top of the source tree.
#   runner                the listener runner: $PELTO_RUNNER, or the linux-release build's; the
#                         script ends here when it is not built
#   free_port             a TCP port on 127.0.0.1 that nothing uses now
#   wait_port PORT        waits 10 s at most until something listens on PORT, without connecting
#                         (iperf3 would count a probe connection as a test)
#   cpu_ticks PID         the process's user + system time so far, in clock ticks
#   listening_port FILE   the port of the first "listening PORT" line a peer or the runner prints
#                         into FILE, waiting 10 s at most
#   start_runner ARGS...  starts the runner with ARGS and sets `runner_port` and `runner_pid`; it
#                         serves until the script ends (its input, a fifo held open by this shell,
#                         then closes). Not for a command substitution: the fifo must stay open here.
runner=${PELTO_RUNNER:-build/linux-release/bench/listener_runner}
[ -x "$runner" ] || { echo "build the linux-release preset first" >&2; exit 1; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.1; done; return 1; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

listening_port() {
  for _ in $(seq 100); do grep -q listening "$1" && break; sleep 0.1; done
  awk '/listening/ {print $2; exit}' "$1"
}

runners=0
start_runner() {
  runners=$((runners + 1))
  local name="$work/runner$runners" held
  mkfifo "$name.in"
  "$runner" "$@" < "$name.in" > "$name.out" & runner_pid=$!; pids+=($runner_pid)
  exec {held}>"$name.in"
  runner_port=$(listening_port "$name.out")
}
