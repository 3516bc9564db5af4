#!/bin/sh
# Builds the libFuzzer targets (preset host-fuzz: clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for SECONDS (default 300), one after the other, starting from its seed corpus in
# fuzz/corpus/<target>. New inputs go to build/host-fuzz/fuzz-work/<target>, crashes to
# build/host-fuzz/fuzz-artifacts/. Exits non-zero at the first target that crashes.
#   sh scripts/fuzz.sh [SECONDS] [TARGET...]   targets: self_id self_id_bus config_rom
#       bus_description user_control user_async ar_walk ar_receive iso_records iso_receive
#       class_irb enumeration (default: all)
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-300}
[ $# -gt 0 ] && shift
targets=${*:-self_id self_id_bus config_rom bus_description user_control user_async ar_walk ar_receive iso_records iso_receive class_irb enumeration}

cmake --preset host-fuzz >/dev/null
cmake --build --preset host-fuzz -j "$(nproc)" --target kx_fuzz

out=build/host-fuzz
mkdir -p "$out/fuzz-artifacts"
summary=""
for t in $targets; do
  mkdir -p "$out/fuzz-work/$t"
  extra=""
  asan="detect_leaks=1"
  # The targets that boot the driver once per process: the host kernel keeps the record of every
  # thread until it shuts down, so the driver's own leaks are checked by pool tag instead; a
  # smaller quarantine keeps a long run within libFuzzer's memory limit.
  case "$t" in
  user_control|user_async|ar_receive|iso_receive|class_irb|enumeration)
    extra="-detect_leaks=0"; asan="detect_leaks=0:quarantine_size_mb=64" ;;
  esac
  # The targets that run the whole driver hit tens of thousands of coverage features per input;
  # libFuzzer counts every feature seen fewer than 255 times as rare and looks each hit up in that
  # list, which costs more than the run itself: features seen more than 16 times are common.
  case "$t" in
  user_control|user_async|ar_receive|iso_receive|class_irb|enumeration|self_id_bus)
    extra="$extra -entropic_feature_frequency_threshold=16" ;;
  esac
  log="$out/fuzz-$t.log"
  echo "== fuzz_$t for ${seconds}s"
  # shellcheck disable=SC2086
  if ! ASAN_OPTIONS="$asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}" "$out/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$out/fuzz-artifacts/$t-" $extra "$out/fuzz-work/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$t FAILED (log: $log, input: $out/fuzz-artifacts/$t-*)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  echo "fuzz_$t: ${runs:-?} executions (${rate:-?}/s), no crash"
  summary="$summary fuzz_$t=${runs:-?}"
done
echo "fuzzing done:$summary"
