#!/usr/bin/env bash
# One load/probe cycle of the real program (`pelto nodes --json`) against local Shadowsocks 2022
# test peers, for bench/README.md:
#   1. the peer's own cost per probe (no injected delay),
#   2. 100 nodes with 50 ms injected delay at the node: whole cycle, latency minus the delay,
#   3. a 1,000-link subscription (dead nodes, so the probes end at once): peak RSS and time.
#   bench/probe_cycle.sh PROGRAM
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
program=$(realpath "$1")
peers=$PWD/tests/peers
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work"

# shellcheck source=tests/peers/start_peer.sh
source "$peers/start_peer.sh"

python3 "$peers/make_test_pki.py" "$work/pki"
mkdir -p "$work/www"
start_peer probe python3 "$peers/subscription_server.py" --tls "$work/pki/good.pem" "$work/pki/good.key"
probe=$port
start_peer www python3 "$peers/http_origin.py" --directory "$work/www"
www=$port
key=$(head -c 16 /dev/urandom | base64)
link() { echo "ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$1#n$2"; }

# Prints: wall seconds, then the latencies (ms) of the answering nodes, one per line.
cycle() {
  local list=$1
  local start end
  start=$(date +%s.%N)
  "$program" nodes --json --subscription "http://127.0.0.1:$www/$list" >"$work/out.json" 2>/dev/null || true
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.3f\n", $2 - $1}'
  python3 -c 'import json,sys; [print(n["latency_ms"]) for n in json.load(open(sys.argv[1])) if n["latency_ms"] is not None]' "$work/out.json"
}
stats() {  # latencies on stdin, minus $1 -> median p95 count
  python3 -c '
import sys, statistics
d = float(sys.argv[1]); v = sorted(float(x) - d for x in sys.stdin if x.strip())
if not v: print("no node answered"); sys.exit()
p95 = v[min(len(v) - 1, int(round(0.95 * (len(v) - 1))))]
print("median %.1f ms, p95 %.1f ms over %d nodes" % (statistics.median(v), p95, len(v)))' "$1"
}

for delay in 0 50; do
  start_peer "node$delay" python3 "$peers/ss2022_server.py" --psk "$key" --delay-ms "$delay" \
    --map "probe.example:443=127.0.0.1:$probe" --drain-seconds 0.2
  node=$port
  count=$([ "$delay" = 0 ] && echo 16 || echo 100)
  for i in $(seq 1 "$count"); do link "$node" "$i"; done | base64 -w0 >"$work/www/list$delay.txt"
  cycle "list$delay.txt" >"$work/cycle$delay.txt"
  if [ "$delay" = 0 ]; then
    echo "peer's own cost per probe (16 nodes, no delay): $(tail -n +2 "$work/cycle0.txt" | stats 0)"
  else
    echo "100 nodes, 50 ms injected: whole cycle $(head -1 "$work/cycle50.txt") s;" \
         "latency minus 50 ms: $(tail -n +2 "$work/cycle50.txt" | stats 50)"
  fi
done

for i in $(seq 1 1000); do link 1 "$i"; done | base64 -w0 >"$work/www/list1000.txt"
start=$(date +%s.%N)
/usr/bin/time -f '%M' -o "$work/rss" "$program" nodes --json --subscription "http://127.0.0.1:$www/list1000.txt" \
  >"$work/out1000.json" 2>/dev/null || true
end=$(date +%s.%N)
echo "1,000-link subscription ($(wc -c <"$work/www/list1000.txt") bytes): peak RSS $(( $(tail -1 "$work/rss") / 1024 )) MB," \
     "whole cycle $(echo "$start $end" | awk '{printf "%.3f", $2 - $1}') s," \
     "$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/out1000.json") nodes listed"
