#!/usr/bin/env bash
# Runs one test program with the TLS test peers around it: makes the test certificates, starts
# tests/peers/tls_peer.py (and, where installed, the trojan and v2ray servers the program's tests
# ask for through PELTO_PEERS), exports their ports, then runs the program - directly, or through
# the Wine runner given with --wine RUNNER.
# Usage: run_with_peers.sh SOURCE_DIR [--wine RUNNER] PROGRAM [ARGS...]
set -euo pipefail
source_dir="$1"; shift
runner=()
if [ "${1:-}" = "--wine" ]; then
  runner=("$2"); shift 2
  export PELTO_TLS_VERSIONS=12
fi

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

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
export PELTO_TLS_PORTS="$ports"
export PELTO_TLS_CA="$work/certs/ca.pem"
export PELTO_TLS_CERTS="$work/certs"
export SSL_CERT_FILE="$work/certs/ca.pem"
export PELTO_TEST_WORK="$work"
export PELTO_SOURCE_DIR="$source_dir"

"${runner[@]}" "$@"
