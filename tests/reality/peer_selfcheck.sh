#!/usr/bin/env bash
# The REALITY peer's TLS 1.3 server half checked by OpenSSL: `openssl s_client -tls1_3` completes
# a handshake with its plain listener (same key schedule, records and Finished as the REALITY
# listener) and gets its bytes echoed back.
set -euo pipefail
source_dir="$1"
work="$(mktemp -d)"
peer=""
cleanup() { [ -n "$peer" ] && kill "$peer" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
/usr/bin/python3 "$source_dir/tests/peers/reality_peer.py" --private-key "$(printf '22%.0s' $(seq 32))" \
  --short-id 0102030405060708 --uuid 5f1e3b0a9c2d4e8fa1b2c3d4e5f60718 --only plain \
  > "$work/out" 2> "$work/err" &
peer=$!
for _ in $(seq 1 150); do grep -q '^ports ' "$work/out" 2>/dev/null && break; sleep 0.1; done
port="$(sed -n 's/.*plain=\([0-9]*\).*/\1/p' "$work/out")"
[ -n "$port" ] || { echo "peer did not start" >&2; cat "$work/err" >&2; exit 1; }
token="checked-by-openssl-$$"
reply="$( (echo "$token"; sleep 1) | timeout 20 openssl s_client -tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256 \
  -groups X25519 -sigalgs ed25519 -connect "127.0.0.1:$port" -quiet -no_ign_eof 2>"$work/client.err" || true)"
if [ "$reply" != "$token" ]; then
  echo "openssl s_client did not get the echo (got '$reply')" >&2
  cat "$work/client.err" "$work/err" >&2
  exit 1
fi
echo "openssl s_client completed TLS 1.3 with the peer and got its echo"
