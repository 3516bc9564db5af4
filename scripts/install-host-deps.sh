#!/bin/sh
# Installs what the host build needs on a Debian 12 machine (run as root): the compiler, CMake and
# Ninja, GoogleTest and Google Benchmark, Python for the source checks. Safe to run again: nothing
# is fetched when every package is present.
set -eu

need=""
for p in cmake ninja-build g++ python3 libgtest-dev libgmock-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $need
fi
