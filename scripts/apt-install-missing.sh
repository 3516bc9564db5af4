#!/bin/sh
# Installs, with apt-get, those of the named Debian packages that are not installed yet; fetches
# nothing when every one is present. Run as root.
set -eu

need=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $need
fi
