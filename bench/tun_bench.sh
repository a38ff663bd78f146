#!/usr/bin/env bash
# TUN data plane figures, in two network namespaces this script creates (the topology of
# tests/tun/tun_e2e.sh; nothing of the machine's own network is touched). Needs root.
#
# Usage: bench/tun_bench.sh [SECONDS]   (after: cmake --preset linux-release &&
#        cmake --build --preset linux-release --target tun_runner)
#
#  1. iperf3, one stream, both directions: direct over the veth; through the TUN with a direct
#     dial; through the TUN and a Shadowsocks 2022 node (the Python test peer, so this one
#     measures the peer as much as us).
#  2. DNS answer latency, 200 queries: through the virtual DNS address vs the upstream directly.
#  3. Time to first byte of 50 requests, each after 300 ms idle: through the TUN vs direct.
#  4. Memory, threads and idle CPU of the runner with 100 and 1,000 idle flows; memory with a
#     stalled client reading nothing from a fast origin.
#  5. A whole `pelto connect --tun` session (the program itself, with a private /var/lib, one
#     Shadowsocks 2022 node behind the veth and the DNS peer as upstream): DNS answer latency and
#     rate for a routed and an ordinary name, against the upstream asked directly; iperf3 through
#     the adapter and the node; memory and threads; after SIGTERM the resolver file is back and
#     the adapter gone. Skipped when the program is not built (PELTO_PROGRAM overrides the path).
#     Beside it, in the same session, the same transfers through its local HTTP proxy (socat
#     turning them into CONNECT requests), and pelto's CPU per GiB for both.
#
# Every iperf3 figure through the TUN also gives the CPU seconds (user + system) per GiB received
# of the process that terminates the flows. PELTO_TUN_PERF=FILE records a `perf record -g` profile
# of the runner over the direct-dial runs (and of pelto over its TUN and its local-proxy transfers:
# FILE.session-tun, FILE.session-proxy); PELTO_TUN_QUICK=1 stops after them and the DNS latency.
set -euo pipefail
extra_cleanup() {
  [ -n "${client:-}" ] || return 0
  delete_namespaces "$client" "$server"
  rm -rf "/etc/netns/$client"
}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
seconds="${1:-5}"
runner="${PELTO_TUN_RUNNER:-build/linux-release/bench/tun_runner}"
program="${PELTO_PROGRAM:-build/linux-release/app/cli/pelto}"
python=/usr/bin/python3
[ -x "$runner" ] || { echo "build the linux-release preset's tun_runner first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }

id=$$
client="ptbc$id"
server="ptbs$id"
in_client() { ip netns exec "$client" "$@"; }
in_server() { ip netns exec "$server" "$@"; }
wait_line() {
  for _ in $(seq 1 150); do
    grep -m1 "^$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "no '$2' in $1" >&2; return 1
}

ip netns add "$client"; ip netns add "$server"
ip -n "$client" link add v0 type veth peer name w0 netns "$server"
ip -n "$client" addr add 10.9.0.1/24 dev v0; ip -n "$client" link set v0 up; ip -n "$client" link set lo up
for a in 10.9.0.2 10.9.0.3 10.9.0.4; do ip -n "$server" addr add $a/24 dev w0; done
ip -n "$server" link set w0 up; ip -n "$server" link set lo up
mkdir -p "/etc/netns/$client"
echo "nameserver 198.18.0.53" > "/etc/netns/$client/resolv.conf"
mkdir -p "$work/www"
head -c $((64 * 1024 * 1024)) /dev/zero > "$work/www/big.bin"
echo hi > "$work/www/small.txt"

in_server "$python" tests/tun/dns_peer.py --address 10.9.0.2 --record www.svc.test=10.9.0.3 \
  --record other.test=10.9.0.4 --record service.example=10.9.0.3 --record probe.example=10.9.0.5 > "$work/dns.out" 2>&1 & pids+=($!)
in_server iperf3 -s -B 10.9.0.4 > /dev/null 2>&1 & pids+=($!)
in_client iperf3 -s -B 127.0.0.1 > /dev/null 2>&1 & pids+=($!)
in_server "$python" -m http.server 8080 --bind 0.0.0.0 --directory "$work/www" > /dev/null 2>&1 & pids+=($!)
psk="$("$python" -c 'import base64, os; print(base64.b64encode(os.urandom(16)).decode())')"
in_client "$python" tests/peers/ss2022_server.py --port 0 --psk "$psk" --map www.svc.test=127.0.0.1 \
  > "$work/ss.out" 2> /dev/null & pids+=($!)
wait_line "$work/dns.out" listening > /dev/null
ss_port="$(wait_line "$work/ss.out" listening | cut -d' ' -f2)"
sleep 1

runner_pid=""
start_runner() {
  in_client sh -c 'echo $$ > "$0"; exec "$@"' "$work/runner.pid" "$runner" --name pt0 \
    --adapter 10.200.0.1 --virtual-dns 198.18.0.53 --upstream 10.9.0.2 --domain svc.test "$@" \
    --up-command "ip addr add 10.200.0.1/32 dev pt0 && ip link set pt0 up" \
    > "$work/runner.out" 2> "$work/runner.err" & pids+=($!)
  wait_line "$work/runner.out" ready > /dev/null
  runner_pid="$(cat "$work/runner.pid")"
  in_client getent hosts www.svc.test > /dev/null  # the answer makes the host route
}
stop_runner() {
  kill -TERM "$runner_pid"; sleep 0.5; rm -f "$work/runner.out"
}
gbits() { "$python" -c 'import json,sys; d=json.load(sys.stdin); print("%.2f" % (d["end"]["sum_received"]["bits_per_second"]/1e9))'; }
iperf_pair() {  # label host
  local up down
  up="$(in_client iperf3 -c "$2" -t "$seconds" -J | gbits)"
  down="$(in_client iperf3 -c "$2" -t "$seconds" -R -J | gbits)"
  printf '%-34s upload %6s Gbit/s   download %6s Gbit/s\n' "$1" "$up" "$down"
}
# CPU seconds (user + system) a process has used so far.
cpu_seconds() { awk -v tick="$(getconf CLK_TCK)" '{print ($14 + $15) / tick}' "/proc/$1/stat"; }
# The same for its threads alive now, in nanoseconds' resolution.
thread_cpu_seconds() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.6f\n", s / 1e9}'; }
# iperf_cpu DIRECTION PID HOST [PORT]: one iperf3 run (DIRECTION up or down) from the client
# namespace; prints "Gbit/s CPU-s/GiB", the CPU being PID's over the run per GiB received.
iperf_cpu() {
  local before after flag=""
  [ "$1" = down ] && flag="-R"
  before="$(cpu_seconds "$2")"
  in_client iperf3 -c "$3" -p "${4:-5201}" -t "$seconds" $flag -J > "$work/iperf.json" || true
  after="$(cpu_seconds "$2")"
  "$python" - "$work/iperf.json" "$before" "$after" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
if "error" in d:
    sys.exit("iperf3: " + d["error"])
r = d["end"]["sum_received"]
print("%.2f %.2f" % (r["bits_per_second"] / 1e9, (float(sys.argv[3]) - float(sys.argv[2])) / (r["bytes"] / 2**30)))
PY
}
# iperf_cpu_pair LABEL PID HOST [PORT]: both directions, printed and kept in "$work/LABEL.fig".
iperf_cpu_pair() {
  local up down
  up="$(iperf_cpu up "$2" "$3" "${4:-5201}")"
  down="$(iperf_cpu down "$2" "$3" "${4:-5201}")"
  echo "$up $down" > "$work/$(echo "$1" | tr -c 'a-z0-9\n' _).fig"
  printf '%-34s upload %s Gbit/s %s CPU-s/GiB   download %s Gbit/s %s CPU-s/GiB\n' "$1" $up $down
}
fig() { cat "$work/$(echo "$1" | tr -c 'a-z0-9\n' _).fig"; }

echo "== iperf3, one stream, ${seconds}s each"
iperf_pair "direct over the veth" 10.9.0.4
start_runner --direct 10.9.0.4
if [ -n "${PELTO_TUN_PERF:-}" ]; then
  # A profile of the runner over one upload and one download (perf report -i FILE).
  perf record -g -o "$PELTO_TUN_PERF" -p "$runner_pid" -- sleep $((2 * seconds + 1)) > /dev/null 2>&1 &
  perf_pid=$!
  sleep 0.5
fi
iperf_cpu_pair "through TUN, direct dial" "$runner_pid" www.svc.test
[ -n "${PELTO_TUN_PERF:-}" ] && wait "$perf_pid"

echo "== DNS answer latency, 200 queries"
cat > "$work/dnslat.py" <<'PY'
import socket, struct, sys, time, random
server = sys.argv[1]
times = []
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(2)
for i in range(200):
    ident = random.randrange(65536)
    q = struct.pack('!HHHHHH', ident, 0x0100, 1, 0, 0, 0) + b'\x05other\x04test\x00\x00\x01\x00\x01'
    t = time.perf_counter(); s.sendto(q, (server, 53))
    while True:
        a = s.recv(2048)
        if a[:2] == q[:2]: break
    times.append((time.perf_counter() - t) * 1000)
times.sort()
print('p50 %.2f ms   p95 %.2f ms' % (times[99], times[189]))
PY
printf '%-34s %s\n' "through the virtual DNS" "$(in_client "$python" "$work/dnslat.py" 198.18.0.53)"
printf '%-34s %s\n' "upstream directly" "$(in_client "$python" "$work/dnslat.py" 10.9.0.2)"

if [ -n "${PELTO_TUN_QUICK:-}" ]; then  # the direct-dial and DNS figures, and the packet sizes
  in_client ip -s link show pt0 | awk '/RX:|TX:/ {getline; printf "%s bytes/packet  ", ($2 ? int($1 / $2) : 0)} END {print "(device rx, tx)"}'
  exit 0
fi
echo "== time to first byte, 50 requests after 300 ms idle each"
ttfb() {
  local total=()
  for _ in $(seq 1 50); do
    sleep 0.3
    total+=("$(in_client curl -s -o /dev/null -w '%{time_starttransfer}' "$1")")
  done
  printf '%s\n' "${total[@]}" | sort -n | awk '{a[NR]=$1} END {printf "p50 %.2f ms   p95 %.2f ms\n", a[25]*1000, a[48]*1000}'
}
printf '%-34s %s\n' "through TUN, direct dial" "$(ttfb http://www.svc.test:8080/small.txt)"
printf '%-34s %s\n' "direct" "$(ttfb http://10.9.0.4:8080/small.txt)"

echo "== memory and threads"
status() { awk '/VmRSS|Threads/ {printf "%s %s %s  ", $1, $2, $3}' "/proc/$runner_pid/status"; echo; }
printf '%-34s %s\n' "idle runner" "$(status)"
cat > "$work/idle.py" <<'PY'
# Opens N connections through the TUN (each one dialled and held open at both ends), then idles.
import socket, struct, sys, time
held = []
for _ in range(int(sys.argv[1])):
    try:
        s = socket.create_connection(('www.svc.test', 8080), timeout=3)
    except OSError:
        break
    # Closed with a reset at the end: the origin never ends these idle connections, so after a
    # FIN alone the flows would wait for it and hold their slots.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    held.append(s)
print('open %d' % len(held), flush=True)
time.sleep(float(sys.argv[2]))
PY
for flows in 100 1000; do
  ulimit -n 8192
  in_client "$python" "$work/idle.py" "$flows" 12 > "$work/idle.out" & idle=$!
  opened="$(wait_line "$work/idle.out" open | cut -d' ' -f2)" || true
  sleep 2
  if [ -n "${PELTO_TUN_PERF:-}" ]; then
    perf record -g -o "$PELTO_TUN_PERF.idle$flows" -p "$runner_pid" -- sleep 5 > /dev/null 2>&1 &
    perf_pid=$!
  fi
  # Summed over the threads in nanoseconds: the process's own figure counts 10 ms ticks.
  before="$(thread_cpu_seconds "$runner_pid")"; sleep 5; after="$(thread_cpu_seconds "$runner_pid")"
  [ -n "${PELTO_TUN_PERF:-}" ] && wait "$perf_pid"
  printf '%-34s %s idle CPU %s %% of a core\n' "$flows idle flows ($opened open)" "$(status)" \
    "$("$python" -c "print('%.2f' % (($after - $before) / 5 * 100))")"
  kill $idle 2>/dev/null || true; wait $idle 2>/dev/null || true
  sleep 2
done
cat > "$work/stall.py" <<'PY'
import socket, sys, time
s = socket.create_connection(('www.svc.test', 8080))
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
s.sendall(b'GET /big.bin HTTP/1.0\r\nHost: www.svc.test\r\n\r\n')
print('sent', flush=True)
time.sleep(float(sys.argv[1]))
PY
in_client "$python" "$work/stall.py" 6 > "$work/stall.out" & stall=$!
wait_line "$work/stall.out" sent > /dev/null
sleep 2; printf '%-34s %s\n' "stalled client after 2 s" "$(status)"
sleep 3; printf '%-34s %s\n' "stalled client after 5 s" "$(status)"
wait $stall || true
stop_runner

start_runner --ss "127.0.0.1:$ss_port:$psk"
echo "== iperf3 through the Shadowsocks 2022 test node (Python peer)"
iperf_cpu_pair "runner TUN and the node" "$runner_pid" www.svc.test
stop_runner

echo "== a whole pelto connect --tun session"
if [ ! -x "$program" ]; then
  echo "skipped: build the linux-release preset's pelto first ($program)"
  exit 0
fi
# The node listens behind the veth and reaches the service's iperf3 server and a TLS origin for
# the probe on its own loopback; the subscription is served on the client's loopback.
python3 tests/peers/make_test_pki.py "$work/pki" > /dev/null
in_server "$python" tests/peers/subscription_server.py --tls "$work/pki/good.pem" "$work/pki/good.key" \
  > "$work/probe.out" 2> /dev/null & pids+=($!)
probe_port="$(wait_line "$work/probe.out" listening | cut -d' ' -f2)"
in_server iperf3 -s -B 127.0.0.1 -p 5202 > /dev/null 2>&1 & pids+=($!)
in_server "$python" tests/peers/ss2022_server.py --bind 10.9.0.4 --port 0 --psk "$psk" \
  --map "service.example:5201=127.0.0.1:5202" --map "probe.example:443=127.0.0.1:$probe_port" \
  > "$work/node.out" 2> /dev/null & pids+=($!)
node_port="$(wait_line "$work/node.out" listening | cut -d' ' -f2)"
mkdir -p "$work/list" "$work/varlib" "$work/config"
echo "ss://2022-blake3-aes-128-gcm:${psk//=/%3D}@10.9.0.4:$node_port#bench%20node" > "$work/list/nodes.txt"
in_client "$python" tests/peers/http_origin.py --directory "$work/list" > "$work/list.out" 2> /dev/null & pids+=($!)
list_port="$(wait_line "$work/list.out" listening | cut -d' ' -f2)"

ip -n "$client" route add default via 10.9.0.2 dev v0
resolver="nameserver 10.9.0.2"
echo "$resolver" > "/etc/netns/$client/resolv.conf"
in_client env XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/config" GSETTINGS_BACKEND=keyfile \
  sh -c 'mount --bind "$0" /var/lib && echo $$ > "$1" && exec "$2" connect --tun --subscription "$3"' \
  "$work/varlib" "$work/pelto.pid" "$(realpath "$program")" "http://127.0.0.1:$list_port/nodes.txt" \
  > "$work/pelto.out" 2>&1 & pids+=($!)
for _ in $(seq 1 600); do grep -q 'Connected:' "$work/pelto.out" && break; sleep 0.1; done
grep -q 'Connected:' "$work/pelto.out" || { echo "pelto did not connect:" >&2; cat "$work/pelto.out" >&2; exit 1; }
pelto_pid="$(cat "$work/pelto.pid")"

cat > "$work/dnsload.py" <<'PY'
# Latency of sequential queries, then the rate with IN_FLIGHT queries outstanding.
import random, select, socket, struct, sys, time
server, name = sys.argv[1], sys.argv[2].encode()
question = b''.join(bytes([len(p)]) + p for p in name.split(b'.')) + b'\x00\x00\x01\x00\x01'
def query(ident):
    return struct.pack('!HHHHHH', ident, 0x0100, 1, 0, 0, 0) + question
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setblocking(False)
def receive(timeout):
    ready, _, _ = select.select([s], [], [], timeout)
    return s.recv(4096) if ready else None
times = []
for i in range(1000):
    ident = random.randrange(65536)
    t = time.perf_counter(); s.sendto(query(ident), (server, 53))
    while True:
        a = receive(2)
        if a is None or a[:2] == struct.pack('!H', ident): break
    if a is not None: times.append((time.perf_counter() - t) * 1000)
times.sort()
total, in_flight = 5000, 64
sent = answered = 0
outstanding = set()
start = time.perf_counter()
while answered < total:
    while sent < total and len(outstanding) < in_flight:
        s.sendto(query(sent), (server, 53)); outstanding.add(sent); sent += 1
    a = receive(2)
    if a is None: break
    ident = struct.unpack('!H', a[:2])[0]
    if ident in outstanding:
        outstanding.discard(ident); answered += 1
rate = answered / (time.perf_counter() - start)
print('p50 %.2f ms  p95 %.2f ms  (%d/1000)   %6.0f answers/s (%d/%d answered)' %
      (times[len(times) // 2], times[len(times) * 95 // 100], len(times), rate, answered, total))
PY
printf '%-34s %s\n' "routed name, through pelto" "$(in_client "$python" "$work/dnsload.py" 172.19.77.53 service.example)"
printf '%-34s %s\n' "ordinary name, through pelto" "$(in_client "$python" "$work/dnsload.py" 172.19.77.53 other.test)"
printf '%-34s %s\n' "routed name, upstream directly" "$(in_client "$python" "$work/dnsload.py" 10.9.0.2 service.example)"
printf '%-34s %s\n' "ordinary name, upstream directly" "$(in_client "$python" "$work/dnsload.py" 10.9.0.2 other.test)"
proxy_port="$(grep -o 'http://127.0.0.1:[0-9]*' "$work/pelto.out" | head -1 | cut -d: -f3)"
in_client socat TCP-LISTEN:15201,bind=127.0.0.1,reuseaddr,fork \
  PROXY:127.0.0.1:service.example:5201,proxyport="$proxy_port" & pids+=($!)
sleep 0.5
# With PELTO_TUN_PERF, profiles of pelto over each pair (FILE.session-tun, FILE.session-proxy).
profile_pelto() {
  [ -n "${PELTO_TUN_PERF:-}" ] || return 0
  perf record -g -o "$PELTO_TUN_PERF.session-$1" -p "$pelto_pid" -- sleep $((2 * seconds + 1)) > /dev/null 2>&1 &
  perf_pid=$!
  sleep 0.3
}
profile_pelto tun
iperf_cpu_pair "pelto TUN and the node" "$pelto_pid" service.example
[ -n "${PELTO_TUN_PERF:-}" ] && wait "$perf_pid"
profile_pelto proxy
iperf_cpu_pair "pelto local proxy and the node" "$pelto_pid" 127.0.0.1 15201
[ -n "${PELTO_TUN_PERF:-}" ] && wait "$perf_pid"
"$python" - $(fig "pelto TUN and the node") $(fig "pelto local proxy and the node") <<'PY'
import sys
tu, tuc, td, tdc, pu, puc, pd, pdc = map(float, sys.argv[1:])
print("%-34s upload %.2fx (rate %.0f %%)   download %.2fx (rate %.0f %%)" %
      ("TUN / local proxy, CPU per GiB", tuc / puc, 100 * tu / pu, tdc / pdc, 100 * td / pd))
PY
printf '%-34s %s\n' "pelto" "$(awk '/VmRSS|Threads/ {printf "%s %s %s  ", $1, $2, $3}' "/proc/$pelto_pid/status")"
kill -TERM "$pelto_pid"
for _ in $(seq 1 100); do kill -0 "$pelto_pid" 2>/dev/null || break; sleep 0.1; done
restored=no
[ "$(cat "/etc/netns/$client/resolv.conf")" = "$resolver" ] && restored=yes
adapter=gone
ip -n "$client" link show pelto0 > /dev/null 2>&1 && adapter=left
printf '%-34s resolver file restored: %s, adapter %s\n' "after SIGTERM" "$restored" "$adapter"
