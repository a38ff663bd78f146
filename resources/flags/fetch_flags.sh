#!/usr/bin/env bash
# Fetches the pinned flag-icons package (MIT) from the npm registry into DEST_DIR through npm's
# own client and checks it against the pinned integrity hash; a tarball already there that
# matches is kept.
#   fetch_flags.sh DEST_DIR
set -euo pipefail
version=7.5.0
integrity='sha512-kd+MNXviFIg5hijH766tt+3x76ele1AXlo4zDdCxIvqWZhKt4T83bOtxUOOMlTx/EcFdUMH5yvQgYlFh1EqqFg=='
dest=$1
tarball="$dest/flag-icons-$version.tgz"

check() {
  [ -f "$tarball" ] || return 1
  local actual
  actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
  [ "$actual" = "$integrity" ]
}

mkdir -p "$dest"
if check; then
  exit 0
fi
rm -f "$tarball"
if ! command -v npm >/dev/null; then
  echo "fetch_flags.sh: npm is needed to fetch flag-icons $version (Debian package npm)" >&2
  exit 1
fi
(cd "$dest" && npm pack "flag-icons@$version" --silent >/dev/null)
if ! check; then
  echo "fetch_flags.sh: $tarball does not match the pinned integrity $integrity" >&2
  rm -f "$tarball"
  exit 1
fi
