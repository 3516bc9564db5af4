#!/bin/sh
# Runs the tests of the driver (the isochronous ones included) and of the host kernel's threads,
# waits and IRPs (host-asan) under many scheduler seeds: KX_SCHED_SEED_BASE shifts every non-zero
# seed a test boots the host kernel with (the default seed 1 included), so each base gives every
# preemptive test new interleavings; tests that run without preemption (seed 0) stay as they are.
# Names each base that fails.
#   sh scripts/seed-sweep.sh [COUNT] [FILTER]   COUNT bases (default 50): 1000, 2000, ...;
#                                               FILTER: a gtest filter (default: every test)
set -eu
cd "$(dirname "$0")/.."

count=${1:-50}
filter=${2:-*}

cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j "$(nproc)" --target kx_driver_tests kx_driver_iso_tests hk_ke_tests hk_io_tests

bin=build/host-asan/tests

failed=""
i=1
while [ "$i" -le "$count" ]; do
  base=$((i * 1000))
  ok=1
  for prog in driver/kx_driver_tests driver/kx_driver_iso_tests host/hk_ke_tests host/hk_io_tests; do
    if ! KX_SCHED_SEED_BASE=$base "$bin/$prog" --gtest_filter="$filter" --gtest_brief=1 \
        >"build/host-asan/seed-sweep-$base.log" 2>&1; then
      ok=0
      echo "base $base: $prog FAILED (log: build/host-asan/seed-sweep-$base.log)"
      grep -E '^\[  FAILED  \]|KX VERIFIER' "build/host-asan/seed-sweep-$base.log" | head -n 10
      break
    fi
  done
  if [ "$ok" = 1 ]; then rm -f "build/host-asan/seed-sweep-$base.log"; else failed="$failed $base"; fi
  i=$((i + 1))
done
passed=$((count - $(echo "$failed" | wc -w)))
echo "seed sweep: $passed passed, $((count - passed)) failed"
[ -z "$failed" ] || { echo "failing bases:$failed"; exit 1; }
