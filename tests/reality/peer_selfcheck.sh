#!/usr/bin/env bash
# The REALITY peer checked by implementations other than the client's:
#  - its ML-KEM-768 module against NIST's vectors;
#  - its TLS 1.3 server half by OpenSSL's own client: `openssl s_client -tls1_3` completes a
#    handshake with its plain listener (same key schedule, records and Finished as the REALITY
#    listeners) under each of the three suites, asks for a KeyUpdate and gets its bytes echoed
#    back; a client without the peer's suite gets handshake_failure;
#  - under current rules, s_client's hello (no X25519MLKEM768 share) goes to the decoy;
#  - its REALITY rules, hybrid handshakes and faults by the small client in reality_selfcheck.py.
# OpenSSL 3.0 has no ML-KEM, so the hybrid group is checked by that client alone.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
source_dir="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

/usr/bin/python3 "$source_dir/tests/peers/mlkem768.py" --self-test || fail "ML-KEM-768 does not match NIST's vectors"

peers=0
start_reality_peer() {  # LISTENER ARGS... -> sets port and log (the peer's error output)
  local listener=$1; shift
  peers=$((peers + 1))
  log="$work/peer$peers.err"
  /usr/bin/python3 "$source_dir/tests/peers/reality_peer.py" --private-key "$(printf '22%.0s' $(seq 32))" \
    --short-id 0102030405060708 --uuid 5f1e3b0a9c2d4e8fa1b2c3d4e5f60718 --only "$listener" "$@" \
    > "$work/peer$peers.out" 2> "$log" &
  pids+=($!)
  for _ in $(seq 1 150); do grep -q '^ports ' "$work/peer$peers.out" 2>/dev/null && break; sleep 0.1; done
  port="$(tr ' ' '\n' < "$work/peer$peers.out" | sed -n "s/^$listener=\([0-9]*\)$/\1/p")"
  [ -n "$port" ] || { cat "$log" >&2; fail "peer $* did not start"; }
}

# s_client's stdin: an optional command line ("K": KeyUpdate, asking the peer to update too), then
# the token; each line alone in its read, as s_client takes a command only at a read's start.
s_client() {  # PORT SUITE COMMAND OUT -- extra s_client options
  local port=$1 suite=$2 command=$3 out=$4; shift 4
  ( [ -n "$command" ] && { echo "$command"; sleep 0.5; }; echo "$token"; sleep 1 ) |
    timeout 20 openssl s_client -tls1_3 -ciphersuites "$suite" -connect "127.0.0.1:$port" "$@" -no_ign_eof \
    > "$out" 2> "$out.err" || true
}

token="checked-by-openssl-$$"
for suite in 1301:TLS_AES_128_GCM_SHA256 1302:TLS_AES_256_GCM_SHA384 1303:TLS_CHACHA20_POLY1305_SHA256; do
  code=${suite%%:*} name=${suite#*:}
  start_reality_peer plain --rules legacy --suite "$code"
  s_client "$port" "$name" K "$work/reply" -quiet -groups X25519 -sigalgs ed25519
  if [ "$(cat "$work/reply")" != "$token" ] || ! grep -q '^KEYUPDATE' "$work/reply.err"; then
    cat "$work/reply" "$work/reply.err" "$log" >&2
    fail "openssl s_client with $name: no echo after a KeyUpdate"
  fi
  echo "ok: openssl s_client completed TLS 1.3 with $name, updated keys both ways and got its echo"
  if [ "$code" = 1302 ]; then
    s_client "$port" TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256 "" "$work/refused" -quiet -groups X25519
    grep -q 'alert handshake failure' "$work/refused.err" \
      || { cat "$work/refused.err" >&2; fail "a client without $name was not refused with handshake_failure"; }
    echo "ok: a client that does not offer $name gets handshake_failure"
  fi
done

start_reality_peer reality --rules current
s_client "$port" TLS_AES_128_GCM_SHA256 "" "$work/decoy"
grep -qx "$token" "$work/decoy" && grep -q 'CN = ecdsa.test' "$work/decoy" \
  || { cat "$work/decoy" "$work/decoy.err" >&2; fail "s_client under current rules was not answered by the decoy"; }
grep -q 'relayed to the decoy: no X25519MLKEM768 share' "$log" \
  || { cat "$log" >&2; fail "the peer does not say why s_client went to the decoy"; }
echo "ok: under current rules s_client's hello without X25519MLKEM768 goes to the decoy"

/usr/bin/python3 "$source_dir/tests/peers/reality_selfcheck.py" > "$work/selfcheck" 2>&1 \
  || { cat "$work/selfcheck" >&2; fail "reality_selfcheck.py"; }
grep '^ok: ' "$work/selfcheck"
