#!/bin/sh
# Runs every test of the project from a fresh clone: installs what is missing, builds the host
# targets with AddressSanitizer and UndefinedBehaviorSanitizer and runs their tests, then builds the
# Windows image and the updater with mingw-w64 and runs their checks (the updater under Wine).
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh

jobs=$(nproc)
cmake --preset host-asan
cmake --build --preset host-asan -j "$jobs"
ctest --preset host-asan -j "$jobs"

cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows
