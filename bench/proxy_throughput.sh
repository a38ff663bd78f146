#!/usr/bin/env bash
# One connection's throughput through the loopback proxy's CONNECT tunnel, side by side with
# socat relaying the same traffic, and through a Shadowsocks 2022 node (the Python test peer).
#
#   iperf3 -c  ->  socat (front)  ->  [pelto listener | socat relay]  ->  iperf3 -s
#
# The front socat is the same in both chains (it speaks CONNECT to pelto, plain TCP to the socat
# relay), so the chains differ only in the relay under test. Everything runs on 127.0.0.1.
# The runner leaves the desktop's proxy settings alone. pelto's own cost is
# reported as CPU seconds per GB relayed (its process's CPU time over the run), apart from the
# Python peer's ceiling on throughput.
#
# Usage: bench/proxy_throughput.sh [SECONDS]   (after: cmake --preset linux-release && cmake --build --preset linux-release)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
seconds=${1:-10}
source tests/support/listener_bench.sh  # the tree's top is the working directory now

iperf_port=$(free_port)
iperf3 -s -B 127.0.0.1 -p "$iperf_port" >/dev/null 2>&1 & pids+=($!)
wait_port "$iperf_port"

# CPU seconds (user + system) a process has used so far.
cpu_seconds() {
  awk -v tick="$(getconf CLK_TCK)" '{print ($14 + $15) / tick}' "/proc/$1/stat"
}

# measure FRONT_PORT [PID]: prints "Gbit/s" and, with a PID, that process's CPU seconds per GB
# relayed during the run (from its CPU time before and after), as "Gbit/s CPU-s/GB".
measure() {
  local before=0 after=0
  [ -n "${2:-}" ] && before=$(cpu_seconds "$2")
  iperf3 -c 127.0.0.1 -p "$1" -t "$seconds" -J > "$work/iperf.json" || true
  [ -n "${2:-}" ] && after=$(cpu_seconds "$2")
  python3 - "$work/iperf.json" "$before" "$after" "${2:-}" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
if "error" in result:
    sys.exit("iperf3: " + result["error"])
received = result["end"]["sum_received"]
line = "%.2f" % (received["bits_per_second"] / 1e9)
if sys.argv[4]:
    line += " %.2f" % ((float(sys.argv[3]) - float(sys.argv[2])) / (received["bytes"] / 1e9))
print(line)
PY
}

# pelto: front socat speaks CONNECT to the listener.
start_runner
listener_port=$runner_port
direct_pid=$runner_pid
front1=$(free_port)
socat TCP-LISTEN:"$front1",bind=127.0.0.1,reuseaddr,fork PROXY:127.0.0.1:127.0.0.1:"$iperf_port",proxyport="$listener_port" & pids+=($!)
wait_port "$front1"

# socat: the same front, then a plain socat relay.
relay=$(free_port)
socat TCP-LISTEN:"$relay",bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:"$iperf_port" & pids+=($!)
front2=$(free_port)
socat TCP-LISTEN:"$front2",bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:"$relay" & pids+=($!)
wait_port "$relay"; wait_port "$front2"

read -r pelto direct_cpu < <(measure "$front1" "$direct_pid")
socat_rate=$(measure "$front2")
echo "pelto CONNECT tunnel: $pelto Gbit/s, pelto $direct_cpu CPU-s/GB"
echo "socat relay:          $socat_rate Gbit/s"
python3 -c "print('ratio pelto/socat: %.0f %%' % (100*$pelto/$socat_rate))"

# Through a Shadowsocks 2022 node (the Python test peer) for a host of the service domain.
key=$(python3 -c 'import base64; print(base64.b64encode(bytes(range(16))).decode())')
python3 tests/peers/ss2022_server.py --port 0 --psk "$key" --map bench.test=127.0.0.1 > "$work/peer.out" & pids+=($!)
peer_port=$(listening_port "$work/peer.out")
start_runner "ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$peer_port#bench" bench.test
listener2=$runner_port
front3=$(free_port)
socat TCP-LISTEN:"$front3",bind=127.0.0.1,reuseaddr,fork PROXY:127.0.0.1:bench.test:"$iperf_port",proxyport="$listener2" & pids+=($!)
wait_port "$front3"
read -r ss_rate ss_cpu < <(measure "$front3" "$runner_pid")
echo "through the Shadowsocks 2022 node: $ss_rate Gbit/s, pelto $ss_cpu CPU-s/GB"
python3 -c "print('pelto CPU per GB, Shadowsocks 2022 / direct tunnel: %.2fx' % ($ss_cpu/$direct_cpu))"
