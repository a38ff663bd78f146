#!/usr/bin/env bash
# The loopback proxy end to end through REALITY and TLS nodes with and without the Vision flow:
# curl asks for pages of the service domain, the listener (native, or the Windows build under
# Wine) carries them through tests/peers/reality_peer.py to a plain HTTP origin and to an HTTPS
# origin (openssl s_server, TLS 1.3), where Vision drops the outer protection both ways. Runs
# inside run_reality_peers.sh, which starts the peer and exports its ports.
#   reality_e2e.sh SOURCE_DIR LISTENER_RUNNER [WINE_RUN TRUST_TEST_CA_EXE]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
source_dir=$1 runner=$2 wine_run=${3:-} trust_exe=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/../support/listener_e2e.sh"

# The runner restores the system proxy when it ends: keep that away from the desktop's settings.
export GSETTINGS_BACKEND=memory

trust_test_ca

head -c 3145728 /dev/urandom > "$work/large.bin"
echo "a page served by the local origin" > "$work/page.txt"
large_sum=$(sha256sum < "$work/large.bin")
/usr/bin/python3 "$source_dir/tests/peers/http_origin.py" --directory "$work" > "$work/origin.out" 2>/dev/null & pids+=($!)
http_port=$(wait_line "$work/origin.out" listening) || fail "origin did not start"
https_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
certs=$(dirname "$PELTO_TLS_CA")
(cd "$work" && exec openssl s_server -quiet -tls1_3 -accept "$https_port" -cert "$certs/leaf.pem" \
  -key "$certs/leaf.key" -WWW) > /dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do
  /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $https_port), 0.2)" 2>/dev/null && break
  sleep 0.1
done

uuid=5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718
pbk=$(/usr/bin/python3 -c '
import base64
from cryptography.hazmat.primitives.asymmetric import x25519
from cryptography.hazmat.primitives import serialization
k = x25519.X25519PrivateKey.from_private_bytes(bytes.fromhex("98ff1e5ad0a7c1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8094b"))
raw = k.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
print(base64.urlsafe_b64encode(raw).decode().rstrip("="))')
reality=$(port_of reality) tls=$(port_of tls)
links=(
  "vless://$uuid@127.0.0.1:$reality?encryption=none&security=reality&sni=reality.test&pbk=$pbk&sid=5e1f#reality"
  "vless://$uuid@127.0.0.1:$reality?encryption=none&security=reality&sni=reality.test&pbk=$pbk&sid=5e1f&flow=xtls-rprx-vision#reality-vision"
  "vless://$uuid@127.0.0.1:$tls?encryption=none&security=tls&sni=node.test&flow=xtls-rprx-vision#tls-vision"
)

for link in "${links[@]}"; do
  name=${link##*#}
  start_listener "$link" "$name"
  proxy="http://127.0.0.1:$proxy_port"
  page=$(curl -sS --fail --max-time 20 --proxy "$proxy" "http://localhost:$http_port/page.txt") \
    || fail "$name: request through the node failed"
  [ "$page" = "a page served by the local origin" ] || fail "$name: the request returned: $page"
  sum=$(curl -sS --fail --max-time 60 --proxy "$proxy" "http://localhost:$http_port/large.bin" | sha256sum)
  [ "$sum" = "$large_sum" ] || fail "$name: the 3 MiB download over HTTP arrived altered"
  # HTTPS inside: TLS 1.3 between curl and the origin, so Vision switches to direct.
  # The download switches the server's direction to direct. Whether the client's does depends on
  # how curl's last handshake flight and its request meet in one read (a switch needs a write of
  # whole records), so only the download's switch is required here; the interop tests show both.
  switches_before=$(grep -c 'vision: direct to the client' "$PELTO_REALITY_PEER_LOG")
  sum=$(curl -sS --fail --max-time 60 --tlsv1.3 --cacert "$PELTO_TLS_CA" --proxy "$proxy" \
        "https://localhost:$https_port/large.bin" | sha256sum)
  [ "$sum" = "$large_sum" ] || fail "$name: the 3 MiB download over HTTPS arrived altered"
  switches=$(( $(grep -c 'vision: direct to the client' "$PELTO_REALITY_PEER_LOG") - switches_before ))
  case $name in
    *vision) [ "$switches" -eq 1 ] || fail "$name: Vision did not switch the download to direct" ;;
    *) [ "$switches" -eq 0 ] || fail "$name: a node without Vision switched to direct" ;;
  esac
  stop_listener "$name"
  echo "ok: $name carried a page and 3 MiB over HTTP and HTTPS"
done
