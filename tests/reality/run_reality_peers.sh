#!/usr/bin/env bash
# Runs one test program with the REALITY/VLESS test peer around it: makes the test certificates
# (for the peer's TLS listener), starts an echo origin and tests/peers/reality_peer.py with the
# node keys the tests use, exports the ports in PELTO_TLS_PORTS and the CA, then runs the
# program - directly, or through the Wine runner given with --wine RUNNER.
# Usage: run_reality_peers.sh SOURCE_DIR [--wine RUNNER] PROGRAM [ARGS...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
source_dir="$1"; shift
runner=()
if [ "${1:-}" = "--wine" ]; then
  runner=("$2"); shift 2
fi

wait_line() {  # FILE PREFIX
  for _ in $(seq 1 150); do
    grep -q "^$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run_reality_peers: no '$2' line in $1" >&2
  return 1
}

/usr/bin/python3 "$source_dir/tests/peers/tls_peer.py" --make-certs "$work/certs"
/usr/bin/python3 "$source_dir/tests/peers/echo_origin.py" --name main > "$work/origin.out" &
pids+=($!)
wait_line "$work/origin.out" "listening "
origin_port="$(grep '^listening ' "$work/origin.out" | head -n1 | cut -d' ' -f2)"

# Which ClientHello the peer takes as REALITY: "current" (today's servers: the X25519MLKEM768
# share, before any X25519 share) or "legacy" (older servers: an X25519 share is enough).
# PELTO_REALITY_RULES picks one for a run.
reality_rules="${PELTO_REALITY_RULES:-current}"

# The keys the tests hold too (reality_interop.cpp).
/usr/bin/python3 "$source_dir/tests/peers/reality_peer.py" \
  --private-key 98ff1e5ad0a7c1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8094b \
  --short-id 5e1f000000000000 --uuid 5f1e3b0a9c2d4e8fa1b2c3d4e5f60718 --rules "$reality_rules" \
  --certs "$work/certs" > "$work/reality.out" 2> "$work/reality.err" &
pids+=($!)
wait_line "$work/reality.out" "ports "

export PELTO_TLS_PORTS="$(grep '^ports ' "$work/reality.out" | head -n1 | cut -d' ' -f2-) origin=$origin_port"
export PELTO_TLS_CA="$work/certs/ca.pem"
export SSL_CERT_FILE="$work/certs/ca.pem"
export PELTO_REALITY_PEER_LOG="$work/reality.err"
export PELTO_REALITY_RULES="$reality_rules"

status=0
"${runner[@]}" "$@" || status=$?
if grep -q VIOLATION "$work/reality.err"; then
  grep VIOLATION "$work/reality.err" >&2
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "--- reality peer log ---" >&2
  tail -n 60 "$work/reality.err" >&2
fi
exit "$status"
