#!/bin/sh
# Installs what the build and the tests need on a Debian 12 machine (run as root). Safe to run
# again: nothing is fetched when every package is present.
set -eu

# The host build's packages first (the main job needs only those).
sh "$(dirname "$0")/install-host-deps.sh"

# clang with its runtime libraries (libFuzzer and the sanitizers) for the fuzz targets.
sh "$(dirname "$0")/apt-install-missing.sh" clang libclang-rt-14-dev lld g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-x86-64

# The updater's end-to-end test runs under Wine on a virtual X display.
sh "$(dirname "$0")/install-updater-deps.sh"
