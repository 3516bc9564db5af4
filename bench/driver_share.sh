#!/bin/sh
# Splits the process CPU of a driver benchmark by where it is spent, from perf samples with call
# stacks. Two views:
# - by code: the driver's own code (symbols of libkxdriver.a), the model (sim::), the host kernel's
#   emulation (hk:: and the kernel services it implements) and the host system (libc, Linux: the
#   switches between the real threads that carry the emulated ones);
# - by caller: each sample goes to the first driver or model routine met walking its stack up from
#   the leaf, so the host kernel and host system time a driver routine causes (its waits, locks,
#   MDLs, scatter/gather lists, the thread switches it asks for) counts as the driver's, the DMA and
#   clock the model causes as the model's, and what the benchmark's program causes as the program's
#   ("other": the harness, thread start-up). With the process CPU per iteration this gives the
#   driver's CPU per iteration; the busiest driver and program routines are listed with their
#   microseconds per iteration. In kx_iso_rx_bench's *AgainstMemcpy runs, isorx::CopyRingFrame
#   (the driver's copy) and IsoBench::ProgramCopy (a plain memcpy of the same frames) move the
#   same bytes in one run.
# Usage: [MIN_TIME=SECONDS] [FREQ=HZ] sh bench/driver_share.sh BUILD_DIR FILTER [BENCHMARK]
#   (e.g. build/rel UserQuadlet, or build/rel DirectY8 kx_iso_rx_bench); needs perf. Setting-up
#   counts in the shares: a longer MIN_TIME (default 1) spreads it over more iterations, and more
#   samples a second (FREQ, default 1000) steady the small shares, e.g. MIN_TIME=8 FREQ=4000.
set -eu
build=$1
filter=$2
binary=${3:-kx_driver_bench}
out=$(mktemp -d)
nm -C --defined-only "$build/driver/libkxdriver.a" 2>/dev/null | awk '$2 ~ /[TtWw]/' |
  sed 's/^[0-9a-f]* [TtWw] //' > "$out/driver_syms.txt"
perf record -q -F ${FREQ:-1000} --call-graph dwarf,16384 -o "$out/perf.data" "$build/bench/$binary" \
  --benchmark_filter="$filter" --benchmark_min_time=${MIN_TIME:-1} > "$out/run.log" 2>&1
grep process_time "$out/run.log"
perf script -i "$out/perf.data" -F ip,sym,dso 2>/dev/null > "$out/stacks.txt"
python3 - "$out" "$binary" <<'PY'
import re, sys
out, binary = sys.argv[1], sys.argv[2]
def base(n):
    n = n.strip().replace('(anonymous namespace)::', 'ANON::')
    j = n.find('(')
    return n[:j] if j >= 0 else n
syms = set(base(l) for l in open(out + '/driver_syms.txt'))
program = re.compile(r"ANON::Run\w*$|ANON::\w*Bench|^bench::|^hk::user::")
kernel = re.compile(r'^(hk::|std::|Ke|Io|Ex|Ob|Mm|Ps|Interlocked|Rtl|Kx|Zw|READ_|WRITE_)')
by_code = dict.fromkeys(['driver', 'model', 'host kernel', 'host system', 'other'], 0)
by_caller = dict.fromkeys(['driver', 'model', 'program', 'other'], 0)
routines = {}
programs = {}
def account(frames):
    if not frames:
        return
    dso, sym = frames[0]
    b = base(sym)
    if b in syms:
        by_code['driver'] += 1
    elif 'sim::' in sym:
        by_code['model'] += 1
    elif not dso.startswith(binary):
        by_code['host system'] += 1
    elif kernel.match(b):
        by_code['host kernel'] += 1
    else:
        by_code['other'] += 1
    for _, s in frames:
        b = base(s)
        if b in syms:
            by_caller['driver'] += 1
            routines[b] = routines.get(b, 0) + 1
            return
        if 'sim::' in s:
            by_caller['model'] += 1
            return
        if program.search(b):
            by_caller['program'] += 1
            programs[b] = programs.get(b, 0) + 1
            return
    by_caller['other'] += 1
frames = []
for line in open(out + '/stacks.txt', errors='replace'):
    line = line.rstrip('\n')
    if not line.strip():
        account(frames)
        frames = []
        continue
    m = re.match(r'\s+[0-9a-f]+\s+(.*?)\s+\((.*)\)$', line)
    if m:
        frames.append((m.group(2).split('/')[-1], m.group(1)))
account(frames)
def show(title, share):
    total = sum(share.values()) or 1
    print(title + '  '.join('%s %.1f%%' % (k, 100.0 * v / total) for k, v in share.items()))
show('by code:   ', by_code)
show('by caller: ', by_caller)
total = sum(by_caller.values()) or 1
# Process CPU per iteration of the (last) benchmark run, to give shares in microseconds.
cpu = None
for line in open(out + '/run.log'):
    m = re.search(r'process_time\s+\S+ \S+\s+(\S+) (\S+)', line)
    if m:
        cpu = float(m.group(1)) * {'ns': 0.001, 'us': 1.0, 'ms': 1000.0}.get(m.group(2), 1.0)
def listing(share):
    top = sorted(share.items(), key=lambda kv: -kv[1])[:8]
    def one(k, v):
        text = '%s %.1f%%' % (k.replace('ANON::', ''), 100.0 * v / total)
        return text + (' (%.1f us)' % (cpu * v / total) if cpu is not None else '')
    return ', '.join(one(k, v) for k, v in top)
print('driver routines by caller: ' + listing(routines))
print('program routines by caller: ' + listing(programs))
PY
rm -rf "$out"
