#!/usr/bin/env python3
"""Benchmark the column door, quorvane_columns, side by side with its anchors.

Three sections, each checked for agreement before it is timed:

- categorise N narrations x R rules from an Arrow string column, against polars'
  idiom (to_lowercase, extract_many overlapping, smallest rule index), ahocorasick_rs
  over pre-lowered str, the column call on a plain list of str and on ten rows with
  pandas rules (the cost of a call besides the engine's, which a Dask partition or Spark
  batch pays), and quorvane's JSON and dict forms; plus the extra peak memory per row of
  the column call;
- derive rules from N labelled examples, from Arrow and from pandas object columns,
  against quorvane.derive_rules on dicts;
- solve L loans of up to 360 months, against quorvane.compute_emi in a loop and
  numpy-financial's vectorised ipmt/ppmt (a timing anchor only: its rounding differs).

    python bench/bench_columns.py [--n 1000000] [--rules 500] [--loans 10000] [--repeat 3]

Needs pyarrow, polars, pandas, numpy-financial and ahocorasick_rs (requirements-dev.txt).
"""

import argparse
import json
import os
import random
import subprocess
import sys

import quorvane
import quorvane_columns as qc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_categorize  # noqa: E402
import bench_derive  # noqa: E402
from common import (  # noqa: E402
    environment_summary,
    format_bytes,
    format_seconds,
    print_table,
    time_call,
)

import numpy as np  # noqa: E402
import numpy_financial as npf  # noqa: E402
import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402
import ahocorasick_rs  # noqa: E402


def report(title, rows, target_name, target):
    """rows: (name, Timing); the first row is ours, each other row gets our speed-up."""
    ours = rows[0][1].best
    table = []
    for name, timing in rows:
        ratio = "" if timing.best is ours else f"{timing.best / ours:.1f}x"
        table.append([name, format_seconds(timing.best), format_seconds(timing.median), ratio])
    print(f"## {title}")
    print_table(["implementation", "best", "median", "ours faster by"], table,
                align="<>>>")
    print(f"target: {target_name} at least {target}x")
    print()


# ---------------------------------------------------------------- categorise


def polars_categorize(series, patterns):
    """polars' own idiom: lower-case, every overlapping match, the smallest rule index."""
    first = {}
    for i, p in enumerate(patterns):
        first.setdefault(p, i)
    matches = series.str.to_lowercase().str.extract_many(patterns, overlapping=True)
    return matches.list.eval(pl.element().replace_strict(first, return_dtype=pl.Int32)).list.min()


def aho_categorize(lowered, automaton):
    out = []
    for text in lowered:
        hits = automaton.find_matches_as_indexes(text, overlapping=True)
        out.append(min(h[0] for h in hits) if hits else None)
    return out


def columns_categorize(column, rules):
    return qc.categorize(column, rules)


def extra_peak_memory(call):
    """Extra peak resident bytes of call() in this process (VmHWM after clear_refs)."""

    def kib(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = kib("VmRSS")
    result = call()
    extra = (kib("VmHWM") - before) * 1024
    del result
    return extra


def warm_peak_memory(func, column, *args):
    """Extra peak resident bytes of one call in this process, after a warm-up call on a
    small slice (the first call also maps code and starts the allocator's per-thread
    arenas; a full-size warm-up would leave freed memory for the measured call to reuse)."""
    func(column.slice(0, 40_000), *args)
    return extra_peak_memory(lambda: func(column, *args))


def bench_categorize_section(n, n_rules, repeat):
    narrations, rules = bench_categorize.build_workload(n, n_rules, 20261001)
    texts = [t["narration"] if isinstance(t, dict) else t for t in narrations]
    rule_dicts = rules
    patterns = [r["pattern"].lower() for r in rule_dicts]
    column = pa.array(texts, pa.string())
    series = pl.Series(texts)
    lowered = [t.lower() for t in texts]
    automaton = ahocorasick_rs.AhoCorasick(patterns)
    request = {"data": [{"narration": t} for t in texts], "rules": rule_dicts}
    request_text = json.dumps(request)

    ours = qc.categorize(column, rule_dicts).column("rule").to_pylist()
    want = aho_categorize(lowered[:20000], automaton)
    assert ours[:20000] == want, "quorvane_columns and ahocorasick_rs disagree"
    assert polars_categorize(series[:20000], patterns).to_list() == want, "polars disagrees"
    print(f"workload: {n:,} narrations x {n_rules} rules, {format_bytes(column.nbytes)} Arrow column;"
          " agreement checked on the first 20,000 rows")

    rows = [
        ("quorvane_columns (Arrow utf8)", time_call(qc.categorize, column, rule_dicts, repeat=repeat)),
        ("quorvane_columns (list of str)", time_call(qc.categorize, texts, rule_dicts,
                                                     repeat=repeat)),
        # What a Dask partition or Spark batch pays on every call besides the engine's work.
        ("quorvane_columns (10 rows, pandas rules)", time_call(
            qc.categorize, texts[:10], pd.DataFrame(rule_dicts, dtype=object), repeat=repeat)),
        ("polars idiom", time_call(polars_categorize, series, patterns, repeat=repeat)),
        ("ahocorasick_rs over lowered str", time_call(aho_categorize, lowered, automaton, repeat=1)),
        ("quorvane JSON form", time_call(quorvane.categorize_transactions_json, request_text,
                                         repeat=repeat)),
        ("quorvane dict form", time_call(quorvane.categorize_transactions, request, repeat=1)),
    ]
    report(f"categorise {n:,} x {n_rules}", rows, "speed-up over polars, ahocorasick_rs, JSON", 5)
    del request, request_text
    # In a fresh process: this one holds memory freed by the runs above, which the
    # measured call would reuse.
    subprocess.run([sys.executable, __file__, "--n", str(n), "--rules", str(n_rules),
                    "--memory-only"], check=True)
    print()


# ---------------------------------------------------------------- derive


def memory_only(n, n_rules):
    narrations, rules = bench_categorize.build_workload(n, n_rules, 20261001)
    column = pa.array(narrations, pa.string())
    del narrations
    extra = warm_peak_memory(columns_categorize, column, rules)
    print(f"extra peak memory of the column call: {format_bytes(extra)} "
          f"= {extra / n:.1f} bytes per row (target at most 16; VmHWM after clear_refs, "
          "fresh process after a warm-up call on 40,000 rows)")
    print()


def bench_derive_section(n, repeat):
    examples = bench_derive.build_workload(n, max(10, n // 2000), 20261002)
    request = {"data": examples}
    narrations = pa.array([e["narration"] for e in examples])
    categories = pa.array([e["category"] for e in examples])
    merchants = pa.array([e["merchant"] for e in examples])
    want = quorvane.derive_rules(request)["rules"]
    got = qc.derive(narrations, categories, merchants).to_pylist()
    assert got == want, "quorvane_columns.derive and derive_rules disagree"
    print(f"workload: {n:,} labelled examples, {len(want)} rules; results equal")
    rows = [
        ("quorvane_columns.derive (Arrow)", time_call(qc.derive, narrations, categories, merchants,
                                                      repeat=repeat)),
        ("quorvane_columns.derive (pandas objects)", time_call(
            qc.derive, *(pd.Series(c.to_pylist(), dtype=object) for c in
                         (narrations, categories, merchants)), repeat=repeat)),
        ("quorvane.derive_rules (dicts)", time_call(quorvane.derive_rules, request, repeat=repeat)),
    ]
    report(f"derive over {n:,} examples", rows, "speed-up over derive_rules", 3)


# ---------------------------------------------------------------- emi


def build_loans(count, seed):
    rng = random.Random(seed)
    loans = []
    for _ in range(count):
        loans.append({"mode": "emi", "loanAmount": float(rng.randrange(100_000, 10_000_000)),
                      "months": rng.randrange(12, 361), "interestRate": rng.uniform(6, 14),
                      "inflationRate": rng.uniform(2, 7),
                      "start": f"{rng.randrange(2020, 2030)}-{rng.randrange(1, 13):02d}"})
    return loans


def numpy_financial_schedule(amount, months, rate):
    """Every month's interest and principal of every loan, padded to the longest tenure."""
    r = rate / 100 / 12
    periods = np.arange(1, months.max() + 1)[None, :]
    live = periods <= months[:, None]
    interest = npf.ipmt(r[:, None], periods, months[:, None], -amount[:, None])
    principal = npf.ppmt(r[:, None], periods, months[:, None], -amount[:, None])
    return np.where(live, interest, 0.0), np.where(live, principal, 0.0)


def compute_each(loans):
    return [quorvane.compute_emi(loan) for loan in loans]


def bench_emi_section(count, repeat):
    loans = build_loans(count, 20261003)
    table = pa.Table.from_pylist(loans)
    ours, schedule = qc.emi(table)
    first = quorvane.compute_emi(loans[0])
    assert ours.column("emi")[0].as_py() == first["emi"]
    assert schedule.num_rows == sum(loan["months"] for loan in loans)
    amount = np.array([loan["loanAmount"] for loan in loans])
    months = np.array([loan["months"] for loan in loans])
    rate = np.array([loan["interestRate"] for loan in loans])
    print(f"workload: {count:,} loans of 12-360 months, {schedule.num_rows:,} schedule rows")
    rows = [
        ("quorvane_columns.emi (Arrow)", time_call(qc.emi, table, repeat=repeat)),
        ("compute_emi in a loop", time_call(compute_each, loans, repeat=repeat)),
        ("numpy-financial ipmt/ppmt", time_call(numpy_financial_schedule, amount, months, rate,
                                                repeat=repeat)),
    ]
    report(f"emi over {count:,} loans", rows,
           "speed-up over compute_emi, and faster than numpy-financial:", 5)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="narrations and examples")
    parser.add_argument("--rules", type=int, default=500)
    parser.add_argument("--loans", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=["categorize", "derive", "emi"])
    parser.add_argument("--memory-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_only:
        memory_only(args.n, args.rules)
        return 0
    print(f"# quorvane_columns benchmark  ({environment_summary()})")
    print()
    if args.only in (None, "categorize"):
        bench_categorize_section(args.n, args.rules, args.repeat)
    if args.only in (None, "derive"):
        bench_derive_section(args.n, args.repeat)
    if args.only in (None, "emi"):
        bench_emi_section(args.loans, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
