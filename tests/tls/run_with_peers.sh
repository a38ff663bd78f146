#!/usr/bin/env bash
# Runs one test program with the test peers around it: makes the test certificates, starts
# tests/peers/tls_peer.py, two echo origins (the destination and a fallback site) and, where they
# are installed, the Debian trojan server (TLS 1.2 and 1.3, and TLS 1.2 only) and the v2ray server
# with VLESS over raw TCP, TLS and WebSocket+TLS; exports their ports in PELTO_TLS_PORTS (a
# missing server leaves its names out, and its tests skip), then runs the program - directly, or
# through the Wine runner given with --wine RUNNER.
# Usage: run_with_peers.sh SOURCE_DIR [--wine RUNNER] PROGRAM [ARGS...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
source_dir="$1"; shift
runner=()
if [ "${1:-}" = "--wine" ]; then
  runner=("$2"); shift 2
  export PELTO_TLS_VERSIONS=12
fi

/usr/bin/python3 "$source_dir/tests/peers/tls_peer.py" --make-certs "$work/certs"
/usr/bin/python3 "$source_dir/tests/peers/tls_peer.py" --certs "$work/certs" > "$work/tls_peer.out" &
pids+=($!)
for _ in $(seq 1 150); do
  grep -q '^ports ' "$work/tls_peer.out" 2>/dev/null && break
  sleep 0.1
done
ports="$(grep '^ports ' "$work/tls_peer.out" | head -n1 | cut -d' ' -f2-)"
if [ -z "$ports" ]; then
  echo "run_with_peers: the TLS peer did not start" >&2
  exit 1
fi

# Starts a peer that prints "listening PORT" and waits for that line; sets `peer_port`.
start_listening_peer() {
  local out="$1"; shift
  "$@" > "$out" &
  pids+=($!)
  for _ in $(seq 1 150); do
    grep -q '^listening ' "$out" 2>/dev/null && break
    sleep 0.1
  done
  peer_port="$(grep '^listening ' "$out" | head -n1 | cut -d' ' -f2)"
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 1 100); do
    /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 0.2)" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run_with_peers: nothing listens on port $1" >&2
  return 1
}

start_listening_peer "$work/origin.out" /usr/bin/python3 "$source_dir/tests/peers/echo_origin.py" --name main
origin_port="$peer_port"
start_listening_peer "$work/fallback.out" /usr/bin/python3 "$source_dir/tests/peers/echo_origin.py" --name fallback
fallback_port="$peer_port"
ports="$ports origin=$origin_port fallback=$fallback_port"

trojan_config() {
  local port="$1" tls13="$2"
  cat <<JSON
{
  "run_type": "server", "local_addr": "127.0.0.1", "local_port": $port,
  "remote_addr": "127.0.0.1", "remote_port": $fallback_port,
  "password": ["pelto-trojan-secret"], "log_level": 3,
  "ssl": {
    "cert": "$work/certs/leaf.pem", "key": "$work/certs/leaf.key", "key_password": "",
    "cipher": "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305",
    "cipher_tls13": "$tls13", "prefer_server_cipher": true, "alpn": ["http/1.1"],
    "reuse_session": true, "session_ticket": false, "session_timeout": 600,
    "plain_http_response": "", "curves": "", "dhparam": ""
  },
  "tcp": {"prefer_ipv4": false, "no_delay": true, "keep_alive": true, "reuse_port": false,
          "fast_open": false, "fast_open_qlen": 20},
  "mysql": {"enabled": false}
}
JSON
}

if command -v trojan >/dev/null; then
  trojan_port="$(free_port)"
  trojan_config "$trojan_port" "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384" > "$work/trojan.json"
  trojan -c "$work/trojan.json" 2> "$work/trojan.log" &
  pids+=($!)
  # The second server is held to TLS 1.2 through OpenSSL's system-default configuration.
  trojan12_port="$(free_port)"
  trojan_config "$trojan12_port" "TLS_AES_128_GCM_SHA256" > "$work/trojan12.json"
  printf '%s\n' 'openssl_conf = pelto_test' '[pelto_test]' 'ssl_conf = pelto_ssl' '[pelto_ssl]' \
    'system_default = pelto_tls12' '[pelto_tls12]' 'MaxProtocol = TLSv1.2' > "$work/tls12.cnf"
  OPENSSL_CONF="$work/tls12.cnf" trojan -c "$work/trojan12.json" 2> "$work/trojan12.log" &
  pids+=($!)
  wait_port "$trojan_port" && wait_port "$trojan12_port" &&
    ports="$ports trojan=$trojan_port trojan12=$trojan12_port"
fi

if command -v v2ray >/dev/null; then
  vless_raw="$(free_port)"; vless_tls="$(free_port)"; vless_ws="$(free_port)"
  clients='"clients": [{"id": "5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718"}], "decryption": "none"'
  certificates="\"certificates\": [{\"certificateFile\": \"$work/certs/leaf.pem\", \"keyFile\": \"$work/certs/leaf.key\"}]"
  cat > "$work/v2ray.json" <<JSON
{
  "log": {"loglevel": "warning"},
  "inbounds": [
    {"listen": "127.0.0.1", "port": $vless_raw, "protocol": "vless", "settings": {$clients},
     "streamSettings": {"network": "tcp", "security": "none"}},
    {"listen": "127.0.0.1", "port": $vless_tls, "protocol": "vless", "settings": {$clients},
     "streamSettings": {"network": "tcp", "security": "tls", "tlsSettings": {$certificates}}},
    {"listen": "127.0.0.1", "port": $vless_ws, "protocol": "vless", "settings": {$clients},
     "streamSettings": {"network": "ws", "security": "tls", "tlsSettings": {$certificates},
                        "wsSettings": {"path": "/pelto-ws"}}}
  ],
  "outbounds": [{"protocol": "freedom"}]
}
JSON
  v2ray -config "$work/v2ray.json" > "$work/v2ray.log" 2>&1 &
  pids+=($!)
  wait_port "$vless_raw" && wait_port "$vless_tls" && wait_port "$vless_ws" &&
    ports="$ports vless_raw=$vless_raw vless_tls=$vless_tls vless_ws=$vless_ws"
fi

export PELTO_TLS_PORTS="$ports"
export PELTO_TLS_CA="$work/certs/ca.pem"
export PELTO_TLS_CERTS="$work/certs"
export SSL_CERT_FILE="$work/certs/ca.pem"
export PELTO_TEST_WORK="$work"
export PELTO_SOURCE_DIR="$source_dir"

"${runner[@]}" "$@"
