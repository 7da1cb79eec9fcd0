#!/usr/bin/env python3
"""Benchmark the categorisation engine near the memory limit: the column door's
categorize on several workloads, on both cores and on one, and building the matcher.

Workloads, each 1,000,000 narrations as an Arrow utf8 column (bench_categorize's kind):

- standard: 500 rules, a third of the narrations match nothing; also side by side with
  polars' pipeline (to_lowercase, extract_many, smallest rule index);
- 5,000 rules: the same narrations against a rule set ten times larger;
- no match: 500 rules, about 90% of the narrations match nothing (the end a no-match
  prefilter would favour);
- a dozen matches: the standard rules plus syllables, channel words, cities, suffixes,
  handles and vowels after them, so that every narration matches about twelve rules
  (the end that stresses a walk through many matches).

Each is timed on both cores and on one (a child process confined to one processor,
where the door's threads take turns), and reported in bytes per nanosecond per core:
the narrations' bytes over the median wall time and the cores. The processor time of
the same calls (every thread's) gives a second figure, which other work on a shared
machine inflates less.
Then the matcher is built for 5,000 and 100,000 rules (bench_diagnostics' invented
merchant names) from an Arrow table, with an empty narration column: time, and the
extra peak memory in a fresh process.

    python bench/bench_matcher.py [--n 1000000] [--repeat 5] [--only standard|5000|nomatch|dozen|build]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_categorize  # noqa: E402
import bench_diagnostics  # noqa: E402
from bench_columns import extra_peak_memory, polars_categorize  # noqa: E402
from common import environment_summary, format_bytes, format_seconds, print_table  # noqa: E402

import pyarrow as pa  # noqa: E402
import quorvane_columns as qc  # noqa: E402

SEED = 20261001
# What the issue asks of each workload, in bytes per nanosecond per core.
PER_CORE = {"standard": 1.0, "5000": 0.7}
POLARS_TARGET = 10.0
BUILD_TARGETS = {5_000: (0.010, None), 100_000: (0.300, 64 << 20)}


def workload(name, n):
    """(narrations, rules) of a workload."""
    if name == "5000":
        return bench_categorize.build_workload(n, 5000, SEED)
    if name == "nomatch":
        return bench_categorize.build_workload(n, 500, SEED, unknown=0.93)
    narrations, rules = bench_categorize.build_workload(n, 500, SEED)
    if name == "dozen":
        b = bench_categorize
        fragments = (sorted(set(b.SYLLABLES)) + ["upi/", "pos ", "ecom ", "neft-", "imps/", "ach d-",
                     "billpay/", "xxxx"] + [c.lower() for c in b.CITIES]
                     + [s.lower() for s in b.PLAIN_SUFFIXES] + list(b.PSP_HANDLES) + list("aeiou"))
        rules = rules + [{"pattern": f, "category": "Fragment", "merchant": f} for f in fragments]
    return narrations, rules


def matches_per_narration(narrations, rules, sample=2000):
    """Mean number of rules matching a narration, and the share matching none, on a sample."""
    lowered = [r["pattern"].lower() for r in rules]
    counts = [sum(p in t.lower() for p in lowered) for t in narrations[:sample]]
    return sum(counts) / len(counts), sum(c == 0 for c in counts) / len(counts)


def seconds(func, *args, repeat):
    """Best and median wall time of `repeat` calls, and their median processor time (all
    threads), which a machine busy with other work inflates less."""
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        func(*args)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(wall), statistics.median(wall), statistics.median(cpu)


def paired_ratio(slow, fast, rounds):
    """The median, over `rounds`, of one call of `slow`'s wall time over one of `fast`'s,
    the two made one after the other: on a machine shared with other work, each pair
    meets the same load, where medians taken apart may each meet another."""
    ratios = []
    for _ in range(rounds):
        start = time.perf_counter()
        slow()
        middle = time.perf_counter()
        fast()
        ratios.append((middle - start) / (time.perf_counter() - middle))
    return statistics.median(ratios)


def one_core(name, n, repeat):
    """seconds() of the column call in a child confined to one processor."""
    out = subprocess.run([sys.executable, __file__, "--one-core", name, "--n", str(n),
                          "--repeat", str(repeat)], check=True, capture_output=True, text=True)
    return tuple(float(x) for x in out.stdout.split())


def time_workload(name, n, repeat):
    narrations, rules = workload(name, n)
    column = pa.array(narrations, pa.string())
    size = column.nbytes - 4 * (len(column) + 1)  # the narrations' bytes, offsets left out
    mean, none = matches_per_narration(narrations, rules)
    qc.categorize(column.slice(0, 10_000), rules)  # warm up
    both = seconds(qc.categorize, column, rules, repeat=repeat)
    one = one_core(name, n, repeat)

    def row(label, timing, cores):
        best, median, cpu = timing
        return [label, format_seconds(best), format_seconds(median), format_seconds(cpu),
                f"{size / median / 1e9 / cores:.2f}", f"{size / cpu / 1e9:.2f}"]

    rows = [row("two cores", both, 2), row("one core", one, 1)]
    if name == "standard":
        import polars as pl

        series = pl.Series(narrations)
        patterns = [r["pattern"].lower() for r in rules]
        want = qc.categorize(column.slice(0, 20_000), rules).column("rule").to_pylist()
        assert polars_categorize(series[:20_000], patterns).to_list() == want, "polars disagrees"
        theirs = seconds(polars_categorize, series, patterns, repeat=max(1, repeat // 2))
        rows.append(row("polars pipeline", theirs, 2))
        paired = paired_ratio(lambda: polars_categorize(series, patterns),
                              lambda: qc.categorize(column, rules), rounds=repeat)
    print(f"## {name}: {n:,} narrations ({size / 1e6:.1f} MB) x {len(rules):,} rules; "
          f"{mean:.1f} rules match a narration on average, {none:.0%} match none")
    print_table(["categorize", "best", "median", "processor", "B/ns per core",
                 "B/ns per processor second"], rows, align="<>>>>>")
    if name in PER_CORE:
        goal = PER_CORE[name]
        worst = min(size / one[1] / 1e9, size / both[1] / 1e9 / 2)
        print(f"target: at least {goal} B/ns per core: {'meets' if worst >= goal else 'MISSES'}")
    if name == "standard":
        print(f"polars pipeline / categorize: {paired:.1f}x (median of {repeat} paired rounds; "
              f"{theirs[1] / both[1]:.1f}x from the medians above); target at least "
              f"{POLARS_TARGET:.0f}x: {'meets' if paired >= POLARS_TARGET else 'MISSES'}")
    print()


def build_child(count, repeat):
    """In a fresh process: the matcher for `count` rules, built with no narrations."""
    rules = bench_diagnostics.lint_rules(count, 20261005)
    table = pa.table({k: [r[k] for r in rules] for k in ("pattern", "category", "merchant")})
    empty = pa.array([], pa.string())
    qc.categorize(empty, table.slice(0, 10))  # warm-up, leaving little memory to reuse
    extra = extra_peak_memory(lambda: qc.categorize(empty, table))
    best, median, _ = seconds(qc.categorize, empty, table, repeat=repeat)
    print(best, median, extra)


def bench_build(repeat):
    rows = []
    for count, (seconds, memory) in BUILD_TARGETS.items():
        out = subprocess.run([sys.executable, __file__, "--build-child", str(count), "--repeat",
                              str(repeat)], check=True, capture_output=True, text=True)
        best, median, extra = out.stdout.split()
        best, median, extra = float(best), float(median), int(extra)
        ok = median <= seconds and (memory is None or extra <= memory)
        goal = f"<= {format_seconds(seconds)}" + (f", <= {format_bytes(memory)}" if memory else "")
        rows.append([f"{count:,} rules", format_seconds(best), format_seconds(median),
                     format_bytes(extra), f"{goal}: {'meets' if ok else 'MISSES'}"])
    print("## building the matcher (an empty narration column; rules from an Arrow table)")
    print_table(["rules", "best", "median", "extra peak memory", "target"], rows, align="<>>><")
    print()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", choices=["standard", "5000", "nomatch", "dozen", "build"])
    parser.add_argument("--one-core", help=argparse.SUPPRESS)
    parser.add_argument("--build-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.one_core:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        narrations, rules = workload(args.one_core, args.n)
        column = pa.array(narrations, pa.string())
        del narrations
        qc.categorize(column.slice(0, 10_000), rules)
        print(*seconds(qc.categorize, column, rules, repeat=args.repeat))
        return 0
    if args.build_child:
        build_child(args.build_child, args.repeat)
        return 0
    print(f"# categorisation engine benchmark  ({environment_summary()})")
    print()
    for name in ("standard", "5000", "nomatch", "dozen"):
        if args.only in (None, name):
            time_workload(name, args.n, args.repeat)
    if args.only in (None, "build"):
        bench_build(args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
