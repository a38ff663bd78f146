#!/usr/bin/env bash
# TUN mode end to end, entirely inside two network namespaces this script creates (and deletes):
#
#   client namespace: tun_runner (device pt0, virtual DNS 198.18.0.53), curl, a Shadowsocks 2022
#                     node and the origin it reaches, both on the namespace's own loopback
#   server namespace: the upstream DNS server (10.9.0.2) and a direct origin (10.9.0.3, 10.9.0.4)
#
# Service names resolve to 10.9.0.3, where the direct origin also listens, so the body tells the
# path: through the TUN and the node curl gets the node-side origin's file, while a name outside
# the service domain (10.9.0.4) reaches the direct origin. The machine's own interfaces, routes and DNS are never touched.
# Exit 77 (skipped) without root, /dev/net/tun or the tools.
set -euo pipefail
extra_cleanup() {
  [ -n "${client:-}" ] || return 0
  delete_namespaces "$client" "$server"
  rm -rf "/etc/netns/$client"
}
source "$(dirname "${BASH_SOURCE[0]}")/../support/scratch.sh"
runner="$1"
source_dir="$2"
python=/usr/bin/python3

if [ "$(id -u)" != 0 ] || [ ! -c /dev/net/tun ]; then
  echo "skipped: needs root and /dev/net/tun"
  exit 77
fi
for tool in ip curl sha256sum; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done

# Some sandboxes (a chroot whose root is no mount point, say) cannot hold network namespaces.
probe="ptp$$"
if ! ip netns add "$probe" 2>/dev/null || ! ip netns exec "$probe" true 2>/dev/null; then
  ip netns del "$probe" 2>/dev/null || true
  echo "skipped: network namespaces cannot be created here"
  exit 77
fi
ip netns del "$probe"

id=$$
client="ptc$id"
server="pts$id"

fail() {
  echo "FAIL: $*" >&2
  echo "--- runner log" >&2
  cat "$work/runner.err" >&2 || true
  exit 1
}

# Waits until FILE holds a line starting with WORD; prints that line.
wait_line() {
  local file="$1" word="$2"
  for _ in $(seq 1 150); do
    if grep -q "^$word" "$file" 2>/dev/null; then
      grep -m1 "^$word" "$file"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

in_client() { ip netns exec "$client" "$@"; }
in_server() { ip netns exec "$server" "$@"; }

ip netns add "$client"
ip netns add "$server"
# The veth pair is made inside the client namespace, so it never exists on the machine itself.
ip -n "$client" link add v0 type veth peer name w0 netns "$server"
ip -n "$client" addr add 10.9.0.1/24 dev v0
ip -n "$client" link set v0 up
ip -n "$client" link set lo up
ip -n "$server" addr add 10.9.0.2/24 dev w0
ip -n "$server" addr add 10.9.0.3/24 dev w0
ip -n "$server" addr add 10.9.0.4/24 dev w0
ip -n "$server" link set w0 up
ip -n "$server" link set lo up
mkdir -p "/etc/netns/$client"
echo "nameserver 198.18.0.53" > "/etc/netns/$client/resolv.conf"

mkdir -p "$work/direct" "$work/node"
echo direct > "$work/direct/who.txt"
echo node > "$work/node/who.txt"
head -c $((20 * 1024 * 1024)) /dev/urandom > "$work/node/big.bin"
head -c $((2 * 1024 * 1024)) /dev/urandom > "$work/node/slow.bin"

in_server "$python" "$source_dir/tests/tun/dns_peer.py" --address 10.9.0.2 \
  --record www.svc.test=10.9.0.3 --record other.test=10.9.0.4 --record big.svc.test=10.9.0.3 \
  --aaaa www.svc.test=2001:db8::3 --big big.svc.test > "$work/dns.out" 2> "$work/dns.err" &
pids+=($!)
in_server "$python" -m http.server 8080 --bind 0.0.0.0 --directory "$work/direct" \
  > /dev/null 2>&1 &
pids+=($!)
in_client "$python" "$source_dir/tests/peers/http_origin.py" --directory "$work/node" --port 8080 \
  > "$work/origin.out" 2> "$work/origin.err" &
pids+=($!)
psk="$("$python" -c 'import base64, os; print(base64.b64encode(os.urandom(16)).decode())')"
in_client "$python" "$source_dir/tests/peers/ss2022_server.py" --port 0 --psk "$psk" \
  --map www.svc.test=127.0.0.1 --map big.svc.test=127.0.0.1 > "$work/ss.out" 2> "$work/ss.err" &
pids+=($!)
wait_line "$work/dns.out" listening >/dev/null || fail "DNS peer did not start"
wait_line "$work/origin.out" listening >/dev/null || fail "origin did not start"
for _ in $(seq 1 100); do
  in_server curl -s --max-time 1 -o /dev/null http://10.9.0.3:8080/who.txt && break
  sleep 0.1
done
ss_port="$(wait_line "$work/ss.out" listening | cut -d' ' -f2)" || fail "node did not start"

# The runner's own process id (not that of `ip netns exec`) is what the stop signal must reach.
in_client sh -c 'echo $$ > "$0"; exec "$@"' "$work/runner.pid" "$runner" --name pt0 \
  --adapter 10.200.0.1 --virtual-dns 198.18.0.53 --upstream 10.9.0.2 \
  --domain svc.test --ss "127.0.0.1:$ss_port:$psk" \
  --up-command "ip addr add 10.200.0.1/32 dev pt0 && ip link set pt0 up" \
  > "$work/runner.out" 2> "$work/runner.err" &
launcher_pid=$!
pids+=($launcher_pid)
wait_line "$work/runner.out" ready >/dev/null || fail "runner did not start"

fetch() { in_client curl -sS --fail --max-time 30 "$@"; }

# 1. A service name goes through the TUN and the node; another name goes direct.
[ "$(fetch http://www.svc.test:8080/who.txt)" = node ] || fail "service name not through the node"
[ "$(fetch http://other.test:8080/who.txt)" = direct ] || fail "other name not direct"
grep -q "connect www.svc.test 8080" "$work/ss.out" || fail "node saw no request by name"
# grep reads to the end: with pipefail, an early exit could fail ip with SIGPIPE after a match.
has_route() { in_client ip route show dev pt0 | grep '^10.9.0.3 ' >/dev/null; }
for _ in $(seq 1 30); do has_route && break; sleep 0.1; done
has_route || { in_client ip route show dev pt0 >&2; fail "no host route for the answer"; }
echo "ok: by name through the node, others direct"

# 2. A truncated UDP answer is fetched again over TCP and rewritten.
[ "$(fetch http://big.svc.test:8080/who.txt)" = node ] || fail "truncated answer path"
echo "ok: truncated answer retried over TCP"

# 3. Bulk data arrives intact; a slow reader completes.
want="$(sha256sum < "$work/node/big.bin")"
got="$(fetch http://www.svc.test:8080/big.bin | sha256sum)"
[ "$got" = "$want" ] || fail "20 MiB download differs"
want="$(sha256sum < "$work/node/slow.bin")"
got="$(fetch --limit-rate 400k http://www.svc.test:8080/slow.bin | sha256sum)"
[ "$got" = "$want" ] || fail "slow reader download differs"
echo "ok: 20 MiB and a rate-limited 2 MiB intact"

# 4. A client that aborts mid-transfer (its close resets the connection) leaves nothing behind
#    that blocks the next request.
for _ in 1 2 3; do
  in_client curl -s -o /dev/null --max-time 0.3 --limit-rate 200k http://www.svc.test:8080/big.bin || true
done
[ "$(fetch http://www.svc.test:8080/who.txt)" = node ] || fail "request after aborted transfers"
echo "ok: aborted transfers, then a new request"

# 5. Loss both ways between the kernel and the user-space endpoint (3% of the packets into and
#    out of the device, dropped by an nftables table of the client namespace).
if command -v nft >/dev/null; then
  in_client nft add table ip loss
  in_client nft add chain ip loss out '{ type filter hook output priority 0; }'
  in_client nft add chain ip loss in '{ type filter hook input priority 0; }'
  in_client nft add rule ip loss out oifname pt0 numgen random mod 100 '<' 3 drop
  in_client nft add rule ip loss in iifname pt0 numgen random mod 100 '<' 3 drop
  got="$(fetch http://www.svc.test:8080/slow.bin | sha256sum)"
  [ "$got" = "$want" ] || fail "download under loss differs"
  in_client nft delete table ip loss
  echo "ok: 2 MiB intact under 3% loss each way"
else
  echo "note: nft missing, loss case not run"
fi

# 6. The runner stops cleanly and the device goes with it.
kill -TERM "$(cat "$work/runner.pid")"
rc=0; wait "$launcher_pid" || rc=$?
[ "$rc" = 0 ] || fail "runner exited with status $rc"
if in_client ip link show pt0 >/dev/null 2>&1; then fail "device outlived the runner"; fi
echo "ok: clean stop"
