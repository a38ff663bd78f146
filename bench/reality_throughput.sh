#!/usr/bin/env bash
# pelto's CPU per GB relayed through REALITY nodes against the direct tunnel, in one run:
#
#   curl (HTTPS, TLS 1.3) -> pelto listener -> [direct | REALITY node | REALITY+Vision node] -> origin
#
# The node is the Python test peer (tests/peers/reality_peer.py); the origin is `openssl s_server
# -WWW` serving a file of SIZE MiB. With Vision the relay drops REALITY's protection once the inner
# TLS 1.3 carries application data, so its cost should approach the direct tunnel's. Reports each
# chain's rate and the listener process's CPU seconds (user + system, /proc) per GB received.
#
# Usage: bench/reality_throughput.sh [SIZE_MIB]   (after: cmake --preset linux-release &&
#        cmake --build --preset linux-release --target listener_runner)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
size=${1:-512}
source tests/support/listener_bench.sh  # the tree's top is the working directory now

export GSETTINGS_BACKEND=memory

/usr/bin/python3 tests/peers/tls_peer.py --make-certs "$work/certs"
mkdir "$work/www"
head -c "$((size * 1048576))" /dev/zero > "$work/www/big.bin"
https_port=$(free_port)
(cd "$work/www" && exec openssl s_server -quiet -tls1_3 -accept "$https_port" -cert "$work/certs/leaf.pem" \
  -key "$work/certs/leaf.key" -WWW) >/dev/null 2>&1 & pids+=($!)
wait_port "$https_port"

private=98ff1e5ad0a7c1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8094b
/usr/bin/python3 tests/peers/reality_peer.py --private-key "$private" --short-id 5e1f000000000000 \
  --uuid 5f1e3b0a9c2d4e8fa1b2c3d4e5f60718 --rules current --only reality > "$work/peer.out" 2>/dev/null & pids+=($!)
for _ in $(seq 100); do grep -q '^ports ' "$work/peer.out" 2>/dev/null && break; sleep 0.1; done
reality_port=$(sed -n 's/.* reality=\([0-9]*\).*/\1/p; s/^ports reality=\([0-9]*\).*/\1/p' "$work/peer.out" | head -n1)
pbk=$(/usr/bin/python3 -c "
import base64
from cryptography.hazmat.primitives.asymmetric import x25519
from cryptography.hazmat.primitives import serialization
k = x25519.X25519PrivateKey.from_private_bytes(bytes.fromhex('$private'))
raw = k.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
print(base64.urlsafe_b64encode(raw).decode().rstrip('='))")
link="vless://5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718@127.0.0.1:$reality_port?encryption=none&security=reality&sni=reality.test&pbk=$pbk&sid=5e1f"

measure() {  # label runner_args... -> "label MB/s cpu_s_per_GB"
  local label=$1; shift
  start_runner "$@"
  local before after start end
  before=$(cpu_ticks "$runner_pid"); start=$(date +%s.%N)
  curl -sS --fail --max-time 600 --tlsv1.3 --cacert "$work/certs/ca.pem" --proxy "http://127.0.0.1:$runner_port" \
    -o /dev/null "https://localhost:$https_port/big.bin"
  end=$(date +%s.%N); after=$(cpu_ticks "$runner_pid")
  /usr/bin/python3 -c "
gb = $size * 1048576 / 1e9
cpu = ($after - $before) / $(getconf CLK_TCK)
print('%-16s %7.0f MB/s  %5.2f CPU-s/GB' % ('$label', gb * 1000 / ($end - $start), cpu / gb))"
}

measure direct
measure reality "$link" localhost
measure reality-vision "$link&flow=xtls-rprx-vision" localhost
