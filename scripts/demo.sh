#!/usr/bin/env bash
# The offline demo of the program's main job: a local subscription server, three Shadowsocks 2022
# nodes with different delays and one dead node, origins for the probe host and for a service
# host, and an endpoint document beside the program whose primary endpoint fails. Then the real
# program loads, probes, connects, and a service URL and an ordinary URL are fetched through it.
#   scripts/demo.sh native PROGRAM          Linux build (system proxy in a throw-away key file)
#   scripts/demo.sh wine PROGRAM.exe        Windows build under Wine (--no-system-proxy)
#   scripts/demo.sh gui pelto.exe [DRIVER]  the windowed program under Wine, driven by app_driver.exe
#                                           (clicks Connect, then closes the window); run it in a
#                                           network namespace with only loopback (unshare -rn);
#                                           PELTO_DEMO_SCREENSHOT=FILE.png saves the connected window
# Nothing here touches the user's desktop, network settings or stored preferences.
set -euo pipefail
extra_cleanup() {
  [ -n "${program:-}" ] || return 0
  rm -f "$(dirname "$program")/pelto-endpoints.json"
}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/scratch.sh"
cd "$(dirname "$0")/.."
mode=$1
program=$(realpath "$2")
peers=$PWD/tests/peers

# shellcheck source=tests/peers/start_peer.sh
source "$peers/start_peer.sh"

python3 "$peers/make_test_pki.py" "$work/pki"
mkdir -p "$work/service" "$work/ordinary" "$work/subscription"
echo "Hello from service.example, reached through the selected node." >"$work/service/index.html"
echo "Hello from an ordinary site, reached directly." >"$work/ordinary/index.html"

start_peer probe python3 "$peers/subscription_server.py" --tls "$work/pki/good.pem" "$work/pki/good.key"
probe_port=$port
start_peer service python3 "$peers/http_origin.py" --directory "$work/service"
service_port=$port
start_peer ordinary python3 "$peers/http_origin.py" --directory "$work/ordinary"
ordinary_port=$port

key=$(head -c 16 /dev/urandom | base64)
links=()
for entry in "Tokyo:250" "Frankfurt:120" "Singapore:30"; do
  name=${entry%%:*}; delay=${entry##*:}
  start_peer "node-$name" python3 "$peers/ss2022_server.py" --psk "$key" --delay-ms "$delay" \
    --map "probe.example:443=127.0.0.1:$probe_port" --map "service.example:80=127.0.0.1:$service_port" \
    --drain-seconds 0.2
  links+=("ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:$port#$name")
done
links+=("ss://2022-blake3-aes-128-gcm:${key//=/%3D}@127.0.0.1:1#Dead%20node")
printf '%s\n' "${links[@]}" | base64 -w0 >"$work/subscription/nodes.txt"
start_peer subscription python3 "$peers/http_origin.py" --directory "$work/subscription"
subscription_port=$port

# The endpoint document beside the program: the primary is gone, the backup serves the list.
cat >"$(dirname "$program")/pelto-endpoints.json" <<JSON
{"primary": "http://127.0.0.1:$subscription_port/retired-list",
 "backups": ["http://127.0.0.1:$subscription_port/nodes.txt"]}
JSON

echo "Demo world: 3 nodes with 30/120/250 ms injected delay and one dead node;"
echo "  endpoint document: primary http://127.0.0.1:$subscription_port/retired-list (fails),"
echo "  backup http://127.0.0.1:$subscription_port/nodes.txt (Base64 list)"
echo

# The Windows path of a file for a program running under Wine (the Z: drive maps /).
winepath_of() {
  printf 'Z:%s' "$(realpath "$1" | tr / '\\\\')"
}

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work"
mkdir -p "$XDG_CONFIG_HOME"
args=(${PELTO_DEMO_VERBOSE:+--verbose} connect)
if [ "$mode" = wine ]; then
  runner=(cmake/wine-run.sh "$program")
  args+=(--no-system-proxy --duration 10)
elif [ "$mode" = gui ]; then
  driver=$(realpath "${3:-$(dirname "$program")/../../tests/gui/app_driver.exe}")
  runner=(cmake/wine-run.sh "$driver")
  args=("$(winepath_of "$program")" 10)
else
  runner=(${PELTO_DEMO_STRACE:+strace -f -e trace=accept4,listen,bind,shutdown,close -o $work/../pelto-strace.txt} "$program")
  export GSETTINGS_BACKEND=keyfile
fi
"${runner[@]}" "${args[@]}" >"$work/pelto.out" 2>"$work/pelto.err" &
pelto_pid=$!
pids+=($pelto_pid)
proxy=""
for _ in $(seq 1 600); do
  proxy=$(sed -n 's/.*Local HTTP proxy: \(http:\/\/127\.0\.0\.1:[0-9]*\).*/\1/p' "$work/pelto.out" 2>/dev/null | head -1 || true)
  [ -n "$proxy" ] && break
  kill -0 $pelto_pid 2>/dev/null || break
  sleep 0.1
done
sed 's/^/  pelto | /' "$work/pelto.out"
if [ -z "$proxy" ]; then
  echo "demo: pelto did not connect" >&2
  sed 's/^/  pelto (stderr) | /' "$work/pelto.err" >&2
  exit 1
fi
if [ "$mode" = native ]; then
  echo "  system proxy while connected (throw-away GSettings key file): $(gsettings get org.gnome.system.proxy mode)" \
       "$(gsettings get org.gnome.system.proxy.http host):$(gsettings get org.gnome.system.proxy.http port)"
fi
grep -q 'retired-list.* 404' "$work/subscription.err" &&
  echo "  (the primary endpoint answered 404; the list came from the backup endpoint)"
echo
echo "Fetching through $proxy:"
status=0
service=$(curl -sS --max-time 10 -x "$proxy" "http://service.example/") || status=1
echo "  http://service.example/ -> ${service:-FAILED}"
ordinary=$(curl -sS --max-time 10 -x "$proxy" "http://127.0.0.1:$ordinary_port/") || status=1
echo "  http://127.0.0.1:$ordinary_port/ -> ${ordinary:-FAILED}"
grep -q "^connect service.example 80" "$work"/node-*.log && echo "  (the service request went through a node; the ordinary one did not)"

# With PELTO_DEMO_SCREENSHOT=FILE.png (gui mode, DISPLAY the one Wine draws on): the connected
# window, cut out of a dump of the display, must look drawn.
if [ "$mode" = gui ] && [ -n "${PELTO_DEMO_SCREENSHOT:-}" ]; then
  read -r x y w h < <(sed -n 's/^window shown at \([-0-9]*\) \([-0-9]*\) \([0-9]*\) \([0-9]*\)$/\1 \2 \3 \4/p' "$work/pelto.out")
  mkdir -p "$(dirname "$PELTO_DEMO_SCREENSHOT")"
  if [ -z "${h:-}" ] || ! xwd -root -silent >"$work/screen.xwd" ||
     ! /usr/bin/python3 tests/gui/window_shot.py "$work/screen.xwd" "$x" "$y" "$w" "$h" "$PELTO_DEMO_SCREENSHOT"; then
    echo "demo: no drawn screenshot of the connected window" >&2
    status=1
  fi
fi

if [ "$mode" = native ]; then
  kill -TERM $pelto_pid
fi
wait $pelto_pid || status=1
sed -n '/^Not connected/,$p' "$work/pelto.out" | sed 's/^/  pelto | /'
[ -n "${PELTO_DEMO_VERBOSE:-}" ] && sed "s/^/  pelto (log) | /" "$work/pelto.err"
if [ "$mode" = native ]; then
  echo "  system proxy after pelto ended: $(gsettings get org.gnome.system.proxy mode)"
fi
[ $status -eq 0 ] && echo "Demo finished." || echo "Demo FAILED." >&2
exit $status
