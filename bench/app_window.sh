#!/usr/bin/env bash
# pelto.exe's window under Wine, and the same controller, widget tree and engine natively:
#  1. start to first frame: app_window_timing.exe starts pelto.exe RUNS times and takes the time
#     from CreateProcess to its first visible window (shown right after the first frame was drawn
#     and presented), beside a plain GDI window as the baseline of what Wine itself costs;
#  2. private memory (RssAnon) of the pelto.exe process connected with 1,000 nodes listed, beside
#     the plain window's, with the largest private mappings;
#  3. CPU while connected and idle with the window open: pelto.exe, the wineserver and every other
#     process of the prefix; and the wake-ups of pelto.exe's threads (context switches per second:
#     each sleep of the window's loop that ends is one voluntary switch of the UI thread);
#  4. natively (Linux): bench/app_window_native with the same 1,000-node world.
# Everything runs in a network namespace with only loopback (the machine's own default route
# cannot turn TUN mode on), against the offline demo's peers: a subscription of 1,000 Shadowsocks
# 2022 links spread over four live test nodes (the Python peer) and a TLS origin for the probes.
# Nothing here touches the user's desktop, network settings or stored preferences.
#
#   bench/app_window.sh [RUNS] [IDLE_SECONDS]    (defaults 15 and 20)
#   PELTO_BENCH_PHASES=24 bench/app_window.sh     only some parts (1: start, 2: memory and CPU,
#                                                 4: native)
# Builds what it needs first: build/windows-bench (the windows preset with PELTO_BUILD_BENCHMARKS
# and without tests) and the linux-release preset's app_window_native.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
idle=${2:-20}
nodes=1000
build=$PWD/build/windows-bench
native=$PWD/build/linux-release/bench/app_window_native
python=/usr/bin/python3

if [ -z "${PELTO_BENCH_IN_NAMESPACE:-}" ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset windows -B "$build" -DPELTO_BUILD_BENCHMARKS=ON -DPELTO_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" -j2 --target pelto app_window_timing
  [ -f build/linux-release/CMakeCache.txt ] || cmake --preset linux-release >/dev/null
  cmake --build --preset linux-release --target app_window_native
  unshare -rn true 2>/dev/null || { echo "app_window: no network namespace here" >&2; exit 1; }
  exec unshare -rn env PELTO_BENCH_IN_NAMESPACE=1 "$0" "$@"
fi
ip link set lo up

program=$build/app/gui/pelto.exe
timing=$build/bench/app_window_timing.exe
peers=$PWD/tests/peers
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  cmake/wine-run.sh --teardown "$build" >/dev/null 2>&1 || true
  rm -f "$(dirname "$program")/pelto-endpoints.json"
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=tests/peers/start_peer.sh
source "$peers/start_peer.sh"

# The world: a TLS origin for the probe host, four nodes, and two lists over them: the demo's
# size (4 links) and 1,000 links.
$python "$peers/make_test_pki.py" "$work/pki" >/dev/null
mkdir -p "$work/subscription"
start_peer probe $python "$peers/subscription_server.py" --tls "$work/pki/good.pem" "$work/pki/good.key"
probe_port=$port
key=$(head -c 16 /dev/urandom | base64)
node_ports=()
for i in 1 2 3 4; do
  start_peer "node$i" $python "$peers/ss2022_server.py" --psk "$key" --map "probe.example:443=127.0.0.1:$probe_port"
  node_ports+=("$port")
done
links() {
  local i
  for i in $(seq 1 "$1"); do
    printf 'ss://2022-blake3-aes-128-gcm:%s@127.0.0.1:%s#Node%%20%04d\n' "${key//=/%3D}" "${node_ports[$((i % 4))]}" "$i"
  done | base64 -w0
}
links 4 >"$work/subscription/small.txt"
links $nodes >"$work/subscription/large.txt"
start_peer subscription $python "$peers/http_origin.py" --directory "$work/subscription"
base="http://127.0.0.1:$port"
# The endpoint document beside the program names the list pelto.exe loads.
use_list() {
  printf '{"primary": "%s/%s.txt", "backups": []}\n' "$base" "$1" >"$(dirname "$program")/pelto-endpoints.json"
}

# The prefix booted before any figure is taken.
cmake/wine-run.sh --setup "$build" >/dev/null
export WINEPREFIX=$build/wineprefix
winepath_of() { printf 'Z:%s' "$(realpath "$1" | tr / '\\\\')"; }
wine_run() { cmake/wine-run.sh "$@"; }

# Every Linux process of the prefix (Wine keeps the prefix in each process's environment; other
# users' processes cannot be read from this namespace and are skipped).
prefix_pids() {
  local p
  for p in /proc/[0-9]*; do
    if grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null; then echo "${p#/proc/}"; fi
  done
  return 0
}
comm_of() { cat "/proc/$1/comm" 2>/dev/null || true; }
# The newest live process of the prefix called $1 (Wine names a process after its program).
pid_named() {
  local p found="" newest=0 started
  for p in $(prefix_pids); do
    [ "$(comm_of "$p")" = "$1" ] || continue
    started=$(awk '{sub(/^.*\) /, ""); if ($1 != "Z") print $20}' "/proc/$p/stat" 2>/dev/null || true)
    if [ -n "$started" ] && [ "$started" -ge "$newest" ]; then
      newest=$started
      found=$p
    fi
  done
  echo "$found"
}
rss_anon_kib() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }
# utime + stime of /proc/$1/stat in clock ticks (0 once the process or thread has gone).
cpu_ticks() { awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# Voluntary + involuntary context switches of /proc/$1 (a process or a task).
switches() { awk '/^(non)?voluntary_ctxt_switches:/ {n += $2} END {print n + 0}' "/proc/$1/status" 2>/dev/null || echo 0; }

echo "== machine"
echo "  $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1); load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "  $(/usr/lib/wine/wine64 --version 2>/dev/null), display Xvfb $(cat "$build/xvfb.display") (software rendering)"
echo

phases=${PELTO_BENCH_PHASES:-1234}
if [[ $phases == *1* ]]; then
  echo "== 1. start to first frame ($runs runs each, after one warm-up)"
  timing_exe=$(winepath_of "$timing")
  wine_run "$timing" 1 "$timing_exe" --plain-window >/dev/null
  wine_run "$timing" "$runs" "$timing_exe" --plain-window | sed 's/^/  plain window             | /'
  use_list small
  wine_run "$timing" 1 "$(winepath_of "$program")" >/dev/null
  wine_run "$timing" "$runs" "$(winepath_of "$program")" | sed 's/^/  pelto.exe, 4 nodes       | /'
  use_list large
  wine_run "$timing" 5 "$(winepath_of "$program")" | sed "s/^/  pelto.exe, $nodes nodes    | /"
  echo
fi

# Starts pelto.exe connected with list $1 in the background, held until `end_connected` (at most
# $2 seconds); sets $pelto (its Linux process), $connect_pid (the driver's) and $out (the
# driver's output). The driver waits for its release on a pipe: however late its "connected"
# line is seen here, pelto.exe stays connected for the whole measurement.
start_connected() {
  local attempt hold
  use_list "$1"
  for attempt in 1 2; do
    out=$work/connect-$1-$attempt.out
    hold=$work/hold-$1-$attempt
    : >"$out"
    mkfifo "$hold"
    wine_run "$timing" --connect "$2" "$(winepath_of "$program")" <"$hold" >"$out" 2>&1 &
    connect_pid=$!
    pids+=($connect_pid)
    exec 8>"$hold"
    for _ in $(seq 1 3000); do
      grep -qs '^connected after' "$out" && break
      kill -0 $connect_pid 2>/dev/null || break
      sleep 0.1
    done
    grep -qs '^connected after' "$out" && break
    exec 8>&-
    wait $connect_pid && status=0 || status=$?
    echo "  (attempt $attempt: the driver ended with $status: $(tr '\n' ' ' <"$out"))"
    [ "$attempt" = 2 ] && { echo "app_window: pelto.exe did not connect" >&2; exit 1; }
    sleep 2
  done
  sed -n 's/^connected after/  connected (list loaded, every node probed, session up) after/p' "$out"
  pelto=""
  for _ in $(seq 1 50); do
    pelto=$(pid_named pelto.exe)
    [ -n "$pelto" ] && break
    sleep 0.2
  done
  if [ -z "$pelto" ]; then
    echo "app_window: no pelto.exe process found among: $(for p in $(prefix_pids); do comm_of "$p"; done | tr '\n' ' ')" >&2
    exit 1
  fi
  sleep 3
}
# The window's loop turns and frames drawn so far ("TURNS FRAMES"), asked through the driver;
# empty when no answer comes within 10 s.
window_counters() {
  local before after
  before=$(grep -c '^counters:' "$out" || true)
  echo counters >&8
  for _ in $(seq 1 100); do
    after=$(grep -c '^counters:' "$out" || true)
    [ "$after" -gt "$before" ] && { grep '^counters:' "$out" | tail -1 | cut -d' ' -f2-3; return 0; }
    sleep 0.1
  done
}
end_connected() {
  echo release >&8
  exec 8>&-
  wait $connect_pid || { cat "$out" >&2; echo "app_window: pelto.exe did not close with 0" >&2; exit 1; }
  for _ in $(seq 1 100); do
    [ -z "$(pid_named pelto.exe)" ] && return 0
    sleep 0.2
  done
  echo "app_window: a pelto.exe process is left over" >&2
  exit 1
}
memory_of() {
  echo "  pelto.exe RssAnon: $(rss_anon_kib "$1") KiB (VmRSS $(awk '/^VmRSS:/ {print $2}' "/proc/$1/status") KiB)"
  # Host code (Mesa's llvmpipe, LLVM, X11 libraries) allocates with glibc: its brk heap and its
  # malloc arenas, which the kernel places high (0x7xxxxxxxxxxx). The program and Wine's DLLs
  # allocate from Wine's heaps, which Wine places low.
  awk '/^[0-9a-f]+-[0-9a-f]+ / {split($1, r, "-"); high = length(r[1]) >= 12 && r[1] >= "700000000000"; brk = ($6 == "[heap]")}
       /^Private_Dirty:/ {if (high || brk) h += $2; else w += $2}
       END {printf "  of its private memory (Private_Dirty): %d KiB low (the program, Wine'"'"'s DLLs and heaps),\n" \
                   "    %d KiB in the brk heap and high mappings (host libraries and glibc malloc arenas)\n", w, h}' "/proc/$1/smaps"
  echo "  private memory by mapping (Private_Dirty, KiB; anonymous mappings one by one):"
  awk '/^[0-9a-f]+-[0-9a-f]+ / {name = (NF >= 6) ? $6 : "[anonymous " $1 "]"}
       /^Private_Dirty:/ {sum[name] += $2}
       END {for (n in sum) if (sum[n] >= 1024) printf "    %8d  %s\n", sum[n], n}' "/proc/$1/smaps" | sort -rn | head -10
}
percent() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v ms="$2" 'BEGIN {printf "%6.1f %%", 100 * t * 1000 / hz / ms}'; }

if [[ $phases == *2* ]]; then
  echo "== 2. pelto.exe connected, 4 nodes listed"
  start_connected small 120
  memory_of "$pelto"
  end_connected
  echo
  echo "== 2./3. pelto.exe connected with $nodes nodes listed"
  start_connected large $((idle + 120))
  memory_of "$pelto"
  declare -A before threads_before
  for p in $(prefix_pids); do before[$p]=$(cpu_ticks "$p"); done
  declare -A switches_before
  for t in /proc/"$pelto"/task/*; do
    threads_before[${t##*/}]=$(cpu_ticks "$pelto/task/${t##*/}")
    switches_before[${t##*/}]=$(switches "$pelto/task/${t##*/}")
  done
  counters_before=$(window_counters)
  start_ns=$(date +%s%N)
  sleep "$idle"
  elapsed_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
  counters_after=$(window_counters)
  [ -r "/proc/$pelto/status" ] || echo "  (pelto.exe, process $pelto, ended during the idle time)"
  echo "  pelto.exe's threads at the end of the idle time: $(ls "/proc/$pelto/task" 2>/dev/null | wc -l)"
  echo "  CPU while connected and idle over $((elapsed_ms / 1000)) s (percent of one core; ${#before[@]} processes of the prefix):"
  total=0
  for p in "${!before[@]}"; do
    [ -r "/proc/$p/stat" ] || continue
    ticks=$(( $(cpu_ticks "$p") - ${before[$p]} ))
    total=$((total + ticks))
    [ "$ticks" -gt 0 ] && echo "    $(percent "$ticks" "$elapsed_ms")  $(comm_of "$p")"
  done
  echo "    $(percent "$total" "$elapsed_ms")  all of them"
  echo "  pelto.exe's threads (by their Linux name; Wine names most of them after the program):"
  for t in "${!threads_before[@]}"; do
    [ -r "/proc/$pelto/task/$t/stat" ] || continue
    ticks=$(( $(cpu_ticks "$pelto/task/$t") - ${threads_before[$t]} ))
    if [ "$ticks" -gt 0 ]; then echo "    $(percent "$ticks" "$elapsed_ms")  $(cat "/proc/$pelto/task/$t/comm") (thread $t)"; fi
  done | sort -rn | head -8 || true
  echo "  wake-ups per second of pelto.exe's threads (context switches; the first thread is the UI thread):"
  for t in "${!switches_before[@]}"; do
    [ -r "/proc/$pelto/task/$t/status" ] || continue
    n=$(( $(switches "$pelto/task/$t") - ${switches_before[$t]} ))
    [ "$n" -gt 0 ] || [ "$t" = "$pelto" ] || continue
    awk -v n="$n" -v ms="$elapsed_ms" -v t="$t" -v ui="$([ "$t" = "$pelto" ] && echo ' (UI thread)')" \
      -v name="$(cat "/proc/$pelto/task/$t/comm")" 'BEGIN {printf "    %7.1f /s  %s (thread %s)%s\n", n * 1000 / ms, name, t, ui}'
  done | sort -rn | head -8 || true
  if [ -n "$counters_before" ] && [ -n "$counters_after" ]; then
    read -r turns0 frames0 <<<"$counters_before"
    read -r turns1 frames1 <<<"$counters_after"
    # Less the one turn the first question itself cost.
    awk -v t=$((turns1 - turns0 - 1)) -v f=$((frames1 - frames0)) -v ms="$elapsed_ms" \
      'BEGIN {printf "  the window'"'"'s own count: %.2f loop turns per second (its wake-ups), %d frames drawn while idle\n", t * 1000 / ms, f}'
  else
    echo "  the window's own count: not answered"
  fi
  end_connected

  # The plain window's private memory: the floor of any Wine GUI process here.
  wine_run "$timing" --plain-window >/dev/null 2>&1 &
  plain_runner=$!
  pids+=($plain_runner)
  plain=""
  for _ in $(seq 1 100); do
    plain=$(pid_named app_window_timi)
    [ -n "$plain" ] && break
    sleep 0.1
  done
  sleep 2
  if [ -n "$plain" ]; then
    echo "  plain window RssAnon: $(rss_anon_kib "$plain") KiB (baseline)"
    kill "$plain" 2>/dev/null || true
  fi
  wait $plain_runner 2>/dev/null || true
  echo
fi

if [[ $phases == *4* ]]; then
  echo "== 4. natively (Linux, window-less: controller, widget tree painted into a recording context, real engine)"
  export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work GSETTINGS_BACKEND=keyfile
  mkdir -p "$XDG_CONFIG_HOME"
  for i in 1 2 3 4 5; do
    "$native" "$base/large.txt" 10 >"$work/native$i.out"
  done
  sed 's/^/  run 1 | /' "$work/native1.out"
  printf '  first_frame_ms over 5 runs: %s\n' "$(grep -h '^first_frame_ms' "$work"/native*.out | awk '{print $2}' | sort -n | tr '\n' ' ')"
fi
