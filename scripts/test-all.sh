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

# AddressSanitizer keeps its shadow memory between 2 and 4 GiB, where a large-address-aware 32-bit
# program's buffers live: those tests run in the plain debug build.
cmake --preset host-debug
cmake --build --preset host-debug -j "$jobs" --target hk_mm_tests kx_driver_tests
build/host-debug/tests/host/hk_mm_tests --gtest_filter='*LargeAddressAware*'
build/host-debug/tests/driver/kx_driver_tests --gtest_filter='*LargeAddressAware*'

# Every fuzz target (clang, sanitizers) from its seed corpus for a bounded time.
sh scripts/fuzz.sh 20

cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows
