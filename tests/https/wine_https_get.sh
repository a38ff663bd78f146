#!/usr/bin/env bash
# https_get of the Windows build (WinHTTP) under Wine against the local subscription server,
# plain and over TLS 1.2 with a test root installed in the throw-away prefix's root store.
#   wine_https_get.sh WINE_RUN RUNNER_EXE SOURCE_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
wine_run=$1 runner=$2 source_dir=$3
failures=0

start_server() {  # name args... -> sets $port
  local name=$1; shift
  python3 "$source_dir/tests/peers/subscription_server.py" "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening \([0-9]*\)/\1/p' "$work/$name.log" | head -1)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "FAIL: $name did not start"; exit 1
}

# expect URL PATTERN [runner options]: the runner's first line must match the extended regex.
expect() {
  local url=$1 pattern=$2; shift 2
  local out first
  out=$("$wine_run" "$runner" "$url" "$@" 2>/dev/null)
  # The first line taken without a pipe: under pipefail, `echo | head -1` fails when head has
  # gone before echo writes the second line (bash writes its output a line at a time).
  first=${out%%$'\n'*}
  if grep -Eq "$pattern" <<<"$first"; then
    echo "ok   $url -> ${first:0:70}"
  else
    echo "FAIL $url: wanted /$pattern/, got: $out"
    failures=$((failures + 1))
  fi
  last_ms=$(echo "$out" | sed -n 's/^ms //p')
}

python3 "$source_dir/tests/peers/make_test_pki.py" "$work/pki" || exit 1
start_server plain; plain=$port
start_server good --tls "$work/pki/good.pem" "$work/pki/good.key"; good=$port
start_server wrong --tls "$work/pki/wrong-name.pem" "$work/pki/wrong-name.key"; wrong=$port
start_server expired --tls "$work/pki/expired.pem" "$work/pki/expired.key"; expired=$port
start_server untrusted --tls "$work/pki/untrusted.pem" "$work/pki/untrusted.key"; untrusted=$port
p="http://127.0.0.1:$plain"

# TLS URLs name "localhost": Wine's WinHTTP matches a certificate's DNS names only, not its IP
# addresses. Before the root is trusted, the good chain fails too.
expect "https://localhost:$good/ok" '^error '
expect "https://localhost:$good/ok" '^ok 19 hello subscription' --trust "$work/pki/ca.pem"
expect "https://localhost:$wrong/ok" '^error '
expect "https://localhost:$expired/ok" '^error '
expect "https://localhost:$untrusted/ok" '^error '

expect "$p/ok" '^ok 19 hello subscription'
expect "$p/status/204" '^error .*\(HTTP 204\)$'
expect "$p/status/404" '^error .*\(HTTP 404\)$'
expect "$p/empty" '^error The server returned no data'
expect "$p/size/2097152" '^ok 2097152 '
expect "$p/size/2097153" '^error The response is too large'
expect "$p/chunked-endless" '^error The response is too large'
expect "$p/truncated" '^error Could not read the data'
# WinHTTP hands over a chunked body that ends without its last chunk as complete (Wine does;
# whether Windows does is not known here): accepted as a known gap of the Windows backend.
expect "$p/chunked-truncated" '^(error Could not read the data|ok 5 hello)$'
expect "$p/garbage" '^error '
expect "$p/echo/a?token=x%2Fy&n=1" '^ok [0-9]+ target=/echo/a\?token=x%2Fy&n=1$'
expect "$p" '^ok 8 target=/$'
expect "$p/redirect-once" '^ok 19 hello'
expect "$p/redirect-loop" '^error '
# Never from HTTPS to HTTP: Wine's WinHTTP fails such a redirect (12156) where the Linux backend
# returns the redirect itself as the reply; either way nothing is fetched over HTTP.
expect "https://localhost:$good/redirect?to=$p/ok" '^error .*(\(HTTP 302\)|12156\))$'
expect "ftp://127.0.0.1/" '^error Invalid subscription URL'
# A stalled body ends once the stop flag is set, at the latest after one phase time-out: 500 ms
# plus 8000 ms, with room for a loaded machine (without the stop it would end as a time-out, which
# the pattern refuses).
expect "$p/stall" '^error The request was stopped' --stop-after 500
if [ "${last_ms:-99999}" -gt 11000 ]; then
  echo "FAIL stall + stop took ${last_ms} ms"; failures=$((failures + 1))
fi

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
