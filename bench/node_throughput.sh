#!/usr/bin/env bash
# One connection's throughput through VLESS (raw TCP, TLS, WebSocket+TLS) and Trojan nodes, pelto
# side by side with the servers' own clients, in one run against the same servers:
#
#   iperf3 -c -> socat (front) -> [pelto listener | v2ray client | trojan client] -> node -> iperf3 -s
#
# The node is Debian's v2ray (VLESS inbounds) or trojan server on 127.0.0.1. pelto and the v2ray
# client both take CONNECT from the same front socat (the v2ray client through an HTTP inbound);
# the trojan client runs in forward mode behind a plain front socat. For each chain it reports
# Gbit/s and the client process's CPU seconds per GB received (user + system time from /proc).
#
# Usage: bench/node_throughput.sh [SECONDS]   (after: cmake --preset linux-release &&
#        cmake --build --preset linux-release --target listener_runner)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
seconds=${1:-10}
source tests/support/listener_bench.sh  # the tree's top is the working directory now
command -v v2ray >/dev/null && command -v trojan >/dev/null || { echo "install v2ray and trojan (scripts/setup.sh)" >&2; exit 1; }

export GSETTINGS_BACKEND=keyfile XDG_CONFIG_HOME="$work"

python3 tests/peers/tls_peer.py --make-certs "$work/certs"
export SSL_CERT_FILE="$work/certs/ca.pem"   # pelto's and the v2ray client's trust store
uuid=5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718

iperf_port=$(free_port)
iperf3 -s -B 127.0.0.1 -p "$iperf_port" >/dev/null 2>&1 & pids+=($!)
wait_port "$iperf_port"

# The servers.
raw=$(free_port); tls=$(free_port); ws=$(free_port); trojan_port=$(free_port); fallback=$(free_port)
certs="\"certificates\": [{\"certificateFile\": \"$work/certs/leaf.pem\", \"keyFile\": \"$work/certs/leaf.key\"}]"
clients="\"clients\": [{\"id\": \"$uuid\"}], \"decryption\": \"none\""
cat > "$work/server.json" <<JSON
{"log": {"loglevel": "error"},
 "inbounds": [
  {"listen": "127.0.0.1", "port": $raw, "protocol": "vless", "settings": {$clients},
   "streamSettings": {"network": "tcp", "security": "none"}},
  {"listen": "127.0.0.1", "port": $tls, "protocol": "vless", "settings": {$clients},
   "streamSettings": {"network": "tcp", "security": "tls", "tlsSettings": {$certs}}},
  {"listen": "127.0.0.1", "port": $ws, "protocol": "vless", "settings": {$clients},
   "streamSettings": {"network": "ws", "security": "tls", "tlsSettings": {$certs}, "wsSettings": {"path": "/bench"}}}],
 "outbounds": [{"protocol": "freedom"}]}
JSON
v2ray -config "$work/server.json" >/dev/null 2>&1 & pids+=($!)
trojan_common='"password": ["bench-secret"], "log_level": 5'
cat > "$work/trojan-server.json" <<JSON
{"run_type": "server", "local_addr": "127.0.0.1", "local_port": $trojan_port,
 "remote_addr": "127.0.0.1", "remote_port": $fallback, $trojan_common,
 "ssl": {"cert": "$work/certs/leaf.pem", "key": "$work/certs/leaf.key", "key_password": "",
         "cipher": "ECDHE-ECDSA-AES128-GCM-SHA256", "cipher_tls13": "TLS_AES_128_GCM_SHA256",
         "prefer_server_cipher": true, "alpn": ["http/1.1"], "reuse_session": true,
         "session_ticket": false, "session_timeout": 600, "plain_http_response": "", "curves": "", "dhparam": ""},
 "tcp": {"prefer_ipv4": false, "no_delay": true, "keep_alive": true, "reuse_port": false,
         "fast_open": false, "fast_open_qlen": 20},
 "mysql": {"enabled": false}}
JSON
trojan -c "$work/trojan-server.json" 2>/dev/null & pids+=($!)
for p in "$raw" "$tls" "$ws" "$trojan_port"; do wait_port "$p"; done

# measure FRONT_PORT CLIENT_PID -> "Gbit/s cpu_s_per_GB"
measure() {
  local before after
  before=$(cpu_ticks "$2")
  iperf3 -c 127.0.0.1 -p "$1" -t "$seconds" -J > "$work/iperf.json" || true
  after=$(cpu_ticks "$2")
  python3 - "$work/iperf.json" "$before" "$after" "$(getconf CLK_TCK)" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
if "error" in result:
    sys.exit("iperf3: " + result["error"])
received = result["end"]["sum_received"]
cpu = (int(sys.argv[3]) - int(sys.argv[2])) / int(sys.argv[4])
print("%.2f %.2f" % (received["bits_per_second"] / 1e9, cpu / (received["bytes"] / 1e9)))
PY
}

connect_front() {  # PROXY_PORT -> sets `front`: a port speaking CONNECT to it for the iperf3 server
  front=$(free_port)
  socat TCP-LISTEN:"$front",bind=127.0.0.1,reuseaddr,fork PROXY:127.0.0.1:127.0.0.1:"$iperf_port",proxyport="$1" \
    >/dev/null 2>&1 & pids+=($!)
  wait_port "$front"
}

report() {  # label pelto_result other_result other_name
  read -r p_rate p_cpu <<< "$2"
  read -r o_rate o_cpu <<< "$3"
  printf '%-14s pelto %6s Gbit/s %6s CPU s/GB | %-13s %6s Gbit/s %6s CPU s/GB | rate %4.0f %% cpu %4.2fx\n' \
    "$1" "$p_rate" "$p_cpu" "$4" "$o_rate" "$o_cpu" \
    "$(python3 -c "print(100*$p_rate/$o_rate)")" "$(python3 -c "print($p_cpu/$o_cpu)")"
}

# VLESS: pelto (the service domain is the iperf3 server's address) against the v2ray client.
vless_client() {  # network security extra-stream-json -> HTTP inbound port of a v2ray client
  local port config
  port=$(free_port)
  config="$work/client-$1-$2.json"
  cat > "$config" <<JSON
{"log": {"loglevel": "error"},
 "inbounds": [{"listen": "127.0.0.1", "port": $port, "protocol": "http"}],
 "outbounds": [{"protocol": "vless",
   "settings": {"vnext": [{"address": "127.0.0.1", "port": $4,
                           "users": [{"id": "$uuid", "encryption": "none"}]}]},
   "streamSettings": {"network": "$1", "security": "$2" $3}}]}
JSON
  v2ray -config "$config" >/dev/null 2>&1 & client_pid=$!; pids+=($client_pid)
  wait_port "$port"
  client_port=$port
}

tls_json=', "tlsSettings": {"serverName": "node.test"}'
for transport in raw tls ws; do
  case $transport in
    raw) link="vless://$uuid@127.0.0.1:$raw?encryption=none#raw"; vless_client tcp none "" "$raw" ;;
    tls) link="vless://$uuid@127.0.0.1:$tls?encryption=none&security=tls&sni=node.test#tls"
         vless_client tcp tls "$tls_json" "$tls" ;;
    ws)  link="vless://$uuid@127.0.0.1:$ws?encryption=none&security=tls&sni=node.test&type=ws&path=%2Fbench#ws"
         vless_client ws tls "$tls_json, \"wsSettings\": {\"path\": \"/bench\"}" "$ws" ;;
  esac
  start_runner "$link" 127.0.0.1
  connect_front "$runner_port"
  pelto=$(measure "$front" "$runner_pid")
  connect_front "$client_port"
  other=$(measure "$front" "$client_pid")
  report "VLESS $transport" "$pelto" "$other" "v2ray client"
done

# Trojan: pelto against the trojan client in forward mode (behind a plain front socat).
forward_port=$(free_port)
cat > "$work/trojan-forward.json" <<JSON
{"run_type": "forward", "local_addr": "127.0.0.1", "local_port": $forward_port,
 "remote_addr": "127.0.0.1", "remote_port": $trojan_port,
 "target_addr": "127.0.0.1", "target_port": $iperf_port, $trojan_common, "udp_timeout": 60,
 "ssl": {"verify": true, "verify_hostname": true, "cert": "$work/certs/ca.pem",
         "cipher": "ECDHE-ECDSA-AES128-GCM-SHA256", "cipher_tls13": "TLS_AES_128_GCM_SHA256",
         "sni": "node.test", "alpn": ["http/1.1"], "reuse_session": true, "session_ticket": false, "curves": ""},
 "tcp": {"no_delay": true, "keep_alive": true, "reuse_port": false, "fast_open": false, "fast_open_qlen": 20}}
JSON
trojan -c "$work/trojan-forward.json" 2>/dev/null & trojan_client=$!; pids+=($trojan_client)
wait_port "$forward_port"
plain_front=$(free_port)
socat TCP-LISTEN:"$plain_front",bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:"$forward_port" & pids+=($!)
wait_port "$plain_front"
start_runner "trojan://bench-secret@127.0.0.1:$trojan_port?sni=node.test#trojan" 127.0.0.1
connect_front "$runner_port"
pelto=$(measure "$front" "$runner_pid")
other=$(measure "$plain_front" "$trojan_client")
report "Trojan" "$pelto" "$other" "trojan client"
