#!/usr/bin/env bash
# Installs whatever the build and the tests need and is missing (Debian 12). Idempotent: when
# everything is present it only checks and returns.
set -euo pipefail

packages=(
  # toolchains and build
  cmake ninja-build ccache g++ clang pkg-config
  # clang's sanitizer runtimes for the fuzz preset: only recommended by clang, so named here
  libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64
  # libraries
  ca-certificates libssl-dev libcurl4-openssl-dev nlohmann-json3-dev librust-blake3-dev libglib2.0-dev
  libmnl-dev libnftnl-dev libsystemd-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev wine64 xvfb x11-apps
  python3 python3-cryptography b3sum openssl curl socat iperf3 iproute2 nftables trojan v2ray
  gsettings-desktop-schemas dconf-gsettings-backend libglib2.0-bin time
  # a private message bus and a stand-in local resolver service on it
  dbus-daemon python3-dbus python3-gi
  # the browser whose ClientHello pelto's is compared with, live (headless)
  chromium
  # embedded GUI fonts, subset at build time
  fonts-inter fonts-noto-cjk fonts-noto-core fonttools python3-fonttools
  # PNG twins of the SVG icons, rendered at build time
  librsvg2-bin
)

# The country flags are fetched from the npm registry at build time through npm's client. Any npm
# will do (a Node.js distribution may bundle its own, which conflicts with Debian's package).
if ! command -v npm >/dev/null; then
  packages+=(npm)
fi
# node runs the ML-KEM cross-check against @noble/post-quantum.
if ! command -v node >/dev/null; then
  packages+=(nodejs)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The independent ML-KEM implementation for tests/ml_kem, pinned, installed into the checkout's
# cache through npm's client when it is missing. An install that fails (no network) does not stop
# the set-up; the cross-check test then fails and names what is missing.
root=$(cd "$(dirname "$0")/.." && pwd)
noble_version=0.7.1
noble_dir="$root/.cache/npm/noble-post-quantum"
noble_package="$noble_dir/node_modules/@noble/post-quantum/package.json"
if ! grep -q "\"version\": \"$noble_version\"" "$noble_package" 2>/dev/null; then
  echo "Installing @noble/post-quantum@$noble_version into $noble_dir"
  mkdir -p "$noble_dir"
  if ! npm install --prefix "$noble_dir" --no-audit --no-fund --silent "@noble/post-quantum@$noble_version"; then
    echo "setup: could not install @noble/post-quantum@$noble_version; the ML-KEM cross-check will fail" >&2
  fi
fi
