#!/usr/bin/env bash
# The loopback proxy end to end through Trojan and VLESS nodes: curl as the browser asks for a
# page of the service domain, the listener (native, or the Windows build under Wine) carries it
# through Debian's trojan server (TLS 1.3 and TLS 1.2) or v2ray (VLESS over raw TCP, TLS and
# WebSocket+TLS) to the Python origin. Runs inside tests/tls/run_with_peers.sh, which starts the
# servers and exports their ports; a server that is not installed is skipped.
#   node_protocols_e2e.sh SOURCE_DIR LISTENER_RUNNER [WINE_RUN TRUST_TEST_CA_EXE]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
source_dir=$1 runner=$2 wine_run=${3:-} trust_exe=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/../support/listener_e2e.sh"

trust_test_ca

head -c 1048576 /dev/urandom > "$work/large.bin"
echo "a page served by the local origin" > "$work/page.txt"
python3 "$source_dir/tests/peers/http_origin.py" --directory "$work" > "$work/origin.out" 2>/dev/null & pids+=($!)
origin_port=$(wait_line "$work/origin.out" listening) || fail "origin did not start"
# "localhost" may resolve to ::1 first (a stock /etc/hosts lists it), and not every server tries
# the next address: the same origin answers on ::1 at the same port where the machine has IPv6.
python3 "$source_dir/tests/peers/http_origin.py" --directory "$work" --bind ::1 --port "$origin_port" \
  > "$work/origin6.out" 2>/dev/null & pids+=($!)
large_sum=$(sha256sum < "$work/large.bin")

uuid=5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718
links=()
trojan=$(port_of trojan) trojan12=$(port_of trojan12)
[ -n "$trojan" ] && links+=("trojan://pelto-trojan-secret@127.0.0.1:$trojan?sni=node.test#trojan")
[ -n "$trojan12" ] && links+=("trojan://pelto-trojan-secret@127.0.0.1:$trojan12?sni=node.test#trojan-tls12")
raw=$(port_of vless_raw) tls=$(port_of vless_tls) ws=$(port_of vless_ws)
[ -n "$raw" ] && links+=("vless://$uuid@127.0.0.1:$raw?encryption=none#vless-raw")
[ -n "$tls" ] && links+=("vless://$uuid@127.0.0.1:$tls?encryption=none&security=tls&sni=node.test#vless-tls")
[ -n "$ws" ] && links+=("vless://$uuid@127.0.0.1:$ws?encryption=none&security=tls&sni=node.test&type=ws&host=node.test&path=%2Fpelto-ws#vless-ws")
if [ ${#links[@]} -eq 0 ]; then
  echo "SKIP: neither the trojan nor the v2ray server is installed"
  exit 0
fi

for link in "${links[@]}"; do
  name=${link##*#}
  start_listener "$link" "$name"
  page=$(curl -sS --fail --max-time 20 --proxy "http://127.0.0.1:$proxy_port" "http://localhost:$origin_port/page.txt") \
    || fail "$name: request through the node failed"
  [ "$page" = "a page served by the local origin" ] || fail "$name: the request returned: $page"
  sum=$(curl -sS --fail --max-time 30 --proxy "http://127.0.0.1:$proxy_port" "http://localhost:$origin_port/large.bin" | sha256sum) \
    || fail "$name: download through the node failed"
  [ "$sum" = "$large_sum" ] || fail "$name: the 1 MiB download arrived altered"
  stop_listener "$name"
  echo "ok: $name carried a page and 1 MiB"
done
