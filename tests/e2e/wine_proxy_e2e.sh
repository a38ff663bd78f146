#!/usr/bin/env bash
# The Windows build's loopback proxy under Wine, end to end with Linux programs: curl as the
# browser, the Python origin, and the Python Shadowsocks 2022 server as the node. Exercises the
# Winsock listener and relay and the CNG-backed Shadowsocks stream against an independent peer.
#   wine_proxy_e2e.sh WINE_RUN LISTENER_RUNNER_EXE SOURCE_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
wine_run=$1 runner=$2 source_dir=$3
source "$(dirname "${BASH_SOURCE[0]}")/../support/listener_e2e.sh"

echo "a page served by the local origin" > "$work/page.txt"
python3 "$source_dir/tests/peers/http_origin.py" --directory "$work" > "$work/origin.out" 2>/dev/null & pids+=($!)
origin_port=$(wait_line "$work/origin.out" listening) || fail "origin did not start"

key=$(python3 -c 'import base64; print(base64.b64encode(bytes(range(16))).decode())')
head -c 1048576 /dev/urandom > "$work/big.bin"
big_sum=$(sha256sum < "$work/big.bin" | cut -d' ' -f1)

# One session under Wine against a node started with the given peer switches.
run_session() {
  local label=$1; shift
  : > "$work/peer.out"; : > "$work/runner.out"
  python3 "$source_dir/tests/peers/ss2022_server.py" --port 0 --psk "$key" \
    --map www.service.test=127.0.0.1 "$@" > "$work/peer.out" & local peer_pid=$!; pids+=($peer_pid)
  local peer_port proxy_port
  peer_port=$(wait_line "$work/peer.out" listening) || fail "Shadowsocks peer did not start ($label)"

  rm -f "$work/in"; mkfifo "$work/in"
  "$wine_run" "$runner" "ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$peer_port#node" \
    service.test < "$work/in" > "$work/runner.out" & local runner_pid=$!; pids+=($runner_pid)
  exec 4>"$work/in"
  proxy_port=$(wait_line "$work/runner.out" listening) || { cat "$work/runner.out"; fail "listener did not start under Wine ($label)"; }
  echo "listener under Wine on port $proxy_port ($label)"

  local direct proxied sum
  direct=$(curl -sS --fail --max-time 20 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/page.txt") \
    || fail "direct request through the proxy failed ($label)"
  [ "$direct" = "a page served by the local origin" ] || fail "direct request returned: $direct"
  echo "ok: ordinary host reached directly ($label)"

  proxied=$(curl -sS --fail --max-time 20 --proxy "http://127.0.0.1:$proxy_port" "http://www.service.test:$origin_port/page.txt") \
    || fail "service request through the node failed ($label)"
  [ "$proxied" = "a page served by the local origin" ] || fail "service request returned: $proxied"
  grep -q "^connect www.service.test $origin_port" "$work/peer.out" || fail "the node did not carry the request ($label)"
  echo "ok: service host reached through the Shadowsocks node ($label)"

  sum=$(curl -sS --fail --max-time 30 --proxy "http://127.0.0.1:$proxy_port" "http://www.service.test:$origin_port/big.bin" \
        | sha256sum | cut -d' ' -f1)
  [ "$sum" = "$big_sum" ] || fail "1 MiB through the node arrived changed or cut short ($label)"
  echo "ok: 1 MiB through the node intact ($label)"

  # Ending the runner ends the session: its listener closes and it exits.
  exec 4>&-
  for _ in $(seq 100); do
    curl -s --max-time 1 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/" >/dev/null 2>&1 || break
    sleep 0.1
  done
  curl -s --max-time 2 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/" >/dev/null 2>&1 \
    && fail "the listener still answers after the session ended ($label)"
  echo "ok: session ended, listener closed ($label)"
  wait "$runner_pid" 2>/dev/null
  kill "$peer_pid" 2>/dev/null; wait "$peer_pid" 2>/dev/null
}

run_session "plain node"
# Empty payloads sealed as real servers send them: the CNG backend opens tag-only inputs.
run_session "empty payloads" --empty-first-payload --zero-chunks
