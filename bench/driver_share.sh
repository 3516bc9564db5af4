#!/bin/sh
# Splits the process CPU of a kx_driver_bench benchmark by where it is spent, from perf samples:
# the driver's own code (symbols of libkxdriver.a), the model (sim::), the host kernel's emulation
# (hk:: and the kernel services it implements) and the host system (libc, Linux: the switches
# between the real threads that carry the emulated ones).
# Usage: sh bench/driver_share.sh BUILD_DIR FILTER [BENCHMARK]   (e.g. build/rel UserQuadlet, or
# build/rel DirectY8 kx_iso_rx_bench); needs perf.
set -eu
build=$1
filter=$2
binary=${3:-kx_driver_bench}
out=$(mktemp -d)
nm -C --defined-only "$build/driver/libkxdriver.a" 2>/dev/null | awk '$2 ~ /[TtWw]/' |
  sed 's/^[0-9a-f]* [TtWw] //' > "$out/driver_syms.txt"
perf record -q -F 4000 -o "$out/perf.data" "$build/bench/$binary" --benchmark_filter="$filter" \
  --benchmark_min_time=1 > "$out/run.log" 2>&1
grep process_time "$out/run.log"
perf report -i "$out/perf.data" --no-children --sort dso,sym -g none -F overhead,dso,sym 2>/dev/null |
  grep -v '^#' | grep '%' > "$out/samples.txt"
python3 - "$out" "$binary" <<'PY'
import re, sys
out = sys.argv[1]
binary = sys.argv[2]
def base(n):
    n = n.strip()
    n = n.replace('(anonymous namespace)::', 'ANON::')
    j = n.find('(')
    return n[:j] if j >= 0 else n
syms = set(base(l) for l in open(out + '/driver_syms.txt'))
share = {'driver': 0.0, 'model': 0.0, 'host kernel': 0.0, 'host system': 0.0, 'other': 0.0}
for line in open(out + '/samples.txt'):
    m = re.match(r'\s*([\d.]+)%\s+(\S+)\s+\[(.)\]\s+(.*)', line)
    if not m:
        continue
    pct, dso, name = float(m.group(1)), m.group(2), m.group(4)
    if base(name) in syms:
        share['driver'] += pct
    elif 'sim::' in name:
        share['model'] += pct
    elif not dso.startswith(binary):
        share['host system'] += pct
    elif name.startswith('hk::') or re.match(r'(Ke|Io|Ex|Ob|Mm|Ps|Interlocked|Rtl|Kx|Zw|READ_|WRITE_|std::)', name):
        share['host kernel'] += pct
    else:
        share['other'] += pct
print('  '.join('%s %.1f%%' % (k, v) for k, v in share.items()))
PY
rm -rf "$out"
