#!/usr/bin/env bash
# pelto-cli.exe under Wine: settings in the prefix's registry, `nodes` with its exit codes and
# JSON output, against Linux test peers (a node, a probe origin, a subscription server).
#   wine_cli.sh WINE_RUN PELTO_CLI_EXE SOURCE_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
wine_run=$1 program=$2 source_dir=$3
peers=$source_dir/tests/peers
failures=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# shellcheck source=tests/peers/start_peer.sh
source "$peers/start_peer.sh"
run() {  # args... -> $out (standard output and error: wine-run.sh merges them), $code
  out=$("$wine_run" "$program" "$@" 2>&1)
  code=$?
}

python3 "$peers/make_test_pki.py" "$work/pki" || exit 1
mkdir -p "$work/www"
start_peer probe python3 "$peers/subscription_server.py" --tls "$work/pki/good.pem" "$work/pki/good.key"
probe=$port
key=$(head -c 16 /dev/urandom | base64)
start_peer node python3 "$peers/ss2022_server.py" --psk "$key" --map "probe.example:443=127.0.0.1:$probe" \
  --drain-seconds 0.2
node=$port
start_peer www python3 "$peers/http_origin.py" --directory "$work/www"
www=$port
link() { echo "ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$1#$2"; }
{ link 1 dead; link "$node" live; } >"$work/www/list.txt"
link 1 dead >"$work/www/dead.txt"

run settings subscription "https://sub.example/list?token=SECRET"
check "settings subscription stores a checked address" [ "$code" -eq 0 ]
run settings show
check "settings show names scheme and host only" \
  sh -c 'echo "$1" | grep -q "https://sub.example" && ! echo "$1" | grep -q SECRET' _ "$out"
run settings subscription "https://user:pw@sub.example/"
check "settings subscription refuses a user name" [ "$code" -eq 1 ]
run settings clear
check "settings clear" [ "$code" -eq 0 ]

run nodes --json --subscription "http://127.0.0.1:$www/list.txt"
check "nodes exits 0 when a node answered" [ "$code" -eq 0 ]
check "nodes --json lists the answering node first" \
  python3 -c 'import json,sys; t=sys.argv[1]; l=json.loads(t[t.index("\n[")+1:] if not t.startswith("[") else t); sys.exit(not (l[0]["name"]=="live" and l[0]["latency_ms"] is not None and l[1]["latency_ms"] is None))' "$out"
run nodes --subscription "http://127.0.0.1:$www/dead.txt"
check "nodes exits 3 when no node answered" [ "$code" -eq 3 ]
run nodes --subscription "http://127.0.0.1:$www/missing.txt"
check "nodes exits 1 when the subscription fails" [ "$code" -eq 1 ]
check "the failure is explained" sh -c 'echo "$1" | grep -q "HTTP 404"' _ "$out"

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
