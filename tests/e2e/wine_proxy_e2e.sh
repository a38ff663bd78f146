#!/usr/bin/env bash
# The Windows build's loopback proxy under Wine, end to end with Linux programs: curl as the
# browser, the Python origin, and the Python Shadowsocks 2022 server as the node. Exercises the
# Winsock listener and relay and the CNG-backed Shadowsocks stream against an independent peer.
#   wine_proxy_e2e.sh WINE_RUN LISTENER_RUNNER_EXE SOURCE_DIR
set -uo pipefail
wine_run=$1 runner=$2 source_dir=$3

work=$(mktemp -d)
pids=()
cleanup() {
  exec 4>&- 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

wait_line() {  # file prefix -> second field of the first line starting with prefix
  for _ in $(seq 300); do
    local v
    v=$(awk -v p="$2" 'index($0, p) == 1 {print $2; exit}' "$1" 2>/dev/null)
    [ -n "$v" ] && { echo "$v"; return 0; }
    sleep 0.1
  done
  return 1
}

echo "a page served by the local origin" > "$work/page.txt"
python3 "$source_dir/tests/peers/http_origin.py" --directory "$work" > "$work/origin.out" 2>/dev/null & pids+=($!)
origin_port=$(wait_line "$work/origin.out" listening) || fail "origin did not start"

key=$(python3 -c 'import base64; print(base64.b64encode(bytes(range(16))).decode())')
python3 "$source_dir/tests/peers/ss2022_server.py" --port 0 --psk "$key" \
  --map www.service.test=127.0.0.1 > "$work/peer.out" & pids+=($!)
peer_port=$(wait_line "$work/peer.out" listening) || fail "Shadowsocks peer did not start"

mkfifo "$work/in"
"$wine_run" "$runner" "ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$peer_port#node" \
  service.test < "$work/in" > "$work/runner.out" & pids+=($!)
exec 4>"$work/in"
proxy_port=$(wait_line "$work/runner.out" listening) || { cat "$work/runner.out"; fail "listener did not start under Wine"; }
echo "listener under Wine on port $proxy_port"

direct=$(curl -sS --fail --max-time 20 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/page.txt") \
  || fail "direct request through the proxy failed"
[ "$direct" = "a page served by the local origin" ] || fail "direct request returned: $direct"
echo "ok: ordinary host reached directly"

proxied=$(curl -sS --fail --max-time 20 --proxy "http://127.0.0.1:$proxy_port" "http://www.service.test:$origin_port/page.txt") \
  || fail "service request through the node failed"
[ "$proxied" = "a page served by the local origin" ] || fail "service request returned: $proxied"
grep -q "^connect www.service.test $origin_port" "$work/peer.out" || fail "the node did not carry the request"
echo "ok: service host reached through the Shadowsocks node"

# Ending the runner ends the session: its listener closes and it exits.
exec 4>&-
for _ in $(seq 100); do
  curl -s --max-time 1 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/" >/dev/null 2>&1 || break
  sleep 0.1
done
curl -s --max-time 2 --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/" >/dev/null 2>&1 \
  && fail "the listener still answers after the session ended"
echo "ok: session ended, listener closed"
