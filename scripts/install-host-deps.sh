#!/bin/sh
# Installs what the host build needs on a Debian 12 machine (run as root): the compiler, CMake and
# Ninja, GoogleTest and Google Benchmark, Python for the source checks. Safe to run again: nothing
# is fetched when every package is present.
set -eu

sh "$(dirname "$0")/apt-install-missing.sh" cmake ninja-build g++ python3 libgtest-dev libgmock-dev libbenchmark-dev
