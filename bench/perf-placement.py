#!/usr/bin/env python3
"""Where the busy threads of each phase of bench_program_receive ran.

    QUORVANE_BENCH_PHASES=1 perf record -a -k CLOCK_MONOTONIC -F 999 -o perf.data -- \\
        tests/lan-run --hosts 2 -- build-rel/bench/bench_program_receive 100 6 2>phases.txt
    bench/perf-placement.py perf.data phases.txt

For each phase, the share of the samples in which the processors were idle, and for each thread
with more than 5 % of the phase's samples its command and the share of its samples taken on
processor 0: 0 or 100 is a thread that kept its processor, anything between one that moved."""
import collections
import subprocess
import sys

if len(sys.argv) != 3:
    sys.exit(__doc__)
data, phase_file = sys.argv[1:]
with open(phase_file) as f:
    phases = [line.split()[1:] for line in f if line.startswith("phase ")]
script = subprocess.run(["perf", "script", "-i", data, "-F", "comm,tid,cpu,time"],
                        capture_output=True, text=True, check=True).stdout
samples = []
for line in script.splitlines():
    fields = line.split()
    try:
        samples.append((float(fields[-1].rstrip(":")), int(fields[-2].strip("[]")), int(fields[-3]),
                        " ".join(fields[:-3])))
    except (ValueError, IndexError):
        continue
for name, start, end in phases:
    start, end = float(start), float(end)
    counts = collections.defaultdict(collections.Counter)
    commands = {}
    for time, cpu, tid, command in samples:
        if start <= time <= end:
            counts[tid][cpu] += 1
            commands[tid] = command
    total = sum(sum(c.values()) for c in counts.values()) or 1
    busy = sorted((tid for tid, c in counts.items() if tid != 0 and sum(c.values()) > 0.05 * total),
                  key=lambda tid: (commands[tid], tid))
    shares = " ".join(f"{commands[tid][:8]}:{100 * counts[tid][0] // sum(counts[tid].values())}"
                      for tid in busy)
    idle = sum(counts[0].values()) if 0 in counts else 0
    print(f"{name:5} {end - start:5.2f} s  idle {100 * idle / total:4.1f} %  on processor 0: {shares}")
