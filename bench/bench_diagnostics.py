#!/usr/bin/env python3
"""Benchmark the rule-set diagnostics of quorvane_columns against categorisation.

Each section is checked before it is timed:

- explain N narrations x R rules, against quorvane_columns.categorize on the same Arrow
  column (its rule column must be categorize's): target at most 1.5x categorize's time;
- lint L rules (duplicates, conflicts and shadowed patterns among them; the findings of
  the first 2,000 rules are checked against a plain-Python model): target at most 1 s;
- evaluate N labelled narrations (labels: categorize's answer, a tenth of them changed;
  the summary is checked against a direct count): target at most 2x categorize's time;
- unmatched over the same N narrations (no target; reported beside the others).

    python bench/bench_diagnostics.py [--n 1000000] [--rules 500] [--lint-rules 100000]
                                      [--repeat 5]

Needs pyarrow.
"""

import argparse
import os
import random
import statistics
import sys
import time

import pyarrow as pa

import quorvane_columns as qc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_categorize  # noqa: E402
from common import environment_summary, format_seconds, print_table, time_call  # noqa: E402


def labelled(column, rules, seed):
    """Labels for every narration: the rules' own answer, one row in ten changed, and a
    label of its own for a row no rule matches."""
    rng = random.Random(seed)
    answer = qc.categorize(column, rules).to_pydict()
    categories, merchants = [], []
    for category, merchant in zip(answer["category"], answer["merchant"]):
        if category is None:
            category, merchant = "Uncategorised", "Unknown"
        elif rng.random() < 0.1:
            category = rng.choice(bench_categorize.CATEGORIES)
        categories.append(category)
        merchants.append(merchant)
    return pa.array(categories, pa.string()), pa.array(merchants, pa.string())


def lint_rules(count, seed):
    """`count` rules of invented merchant names in mixed case, with some repeated (same
    or other labels) and some made unreachable by an earlier, shorter pattern."""
    rng = random.Random(seed)
    rules, seen = [], set()
    while len(rules) < count:
        roll = rng.random()
        if rules and roll < 0.03:
            pattern, category, merchant = rng.choice(rules)
            if roll < 0.015:
                category = rng.choice(bench_categorize.CATEGORIES)
            rules.append((pattern.upper(), category, merchant))
            continue
        if rules and roll < 0.06:
            pattern = rng.choice(rules)[0] + " " + rng.choice(("pay", "online", "store"))
        else:
            pattern = bench_categorize._brand(rng) + str(rng.randrange(100))
            if pattern in seen:
                continue
            seen.add(pattern)
        rules.append((pattern, rng.choice(bench_categorize.CATEGORIES), pattern.title()))
    return [{"pattern": p, "category": c, "merchant": m} for p, c, m in rules]


def lint_model(rules):
    """(rule, kind, by) of every finding, from the definition."""
    lowered = [r["pattern"].lower() for r in rules]
    out = []
    for j, rule in enumerate(rules):
        same = next((i for i in range(j) if lowered[i] == lowered[j]), None)
        if same is not None:
            equal = (rules[same]["category"], rules[same]["merchant"]) == (
                rule["category"], rule["merchant"])
            out.append((j, "duplicate" if equal else "conflict", same))
            continue
        inside = next((i for i in range(j) if lowered[i] in lowered[j]), None)
        if inside is not None:
            out.append((j, "unreachable", inside))
    return out


def cpu_seconds(func, *args, repeat):
    """The median processor time of a call, over all its threads: what the call costs,
    however busy the machine is with other work."""
    runs = []
    for _ in range(repeat):
        start = time.process_time()
        func(*args)
        runs.append(time.process_time() - start)
    return statistics.median(runs)


def row(name, timing, anchor, target, judged=None):
    """A row of the table; the target is judged on the median ratio to the anchor, or on
    `judged` seconds (the median wall time by default)."""
    ratio = timing.median / anchor.median if anchor else None
    measure = ratio if anchor else (timing.median if judged is None else judged)
    verdict = "" if target is None else ("meets" if measure <= target else "MISSES")
    return [name, format_seconds(timing.best), format_seconds(timing.median),
            "" if ratio is None else f"{ratio:.2f}x", verdict]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="narrations")
    parser.add_argument("--rules", type=int, default=500)
    parser.add_argument("--lint-rules", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    print(f"# quorvane_columns diagnostics benchmark  ({environment_summary()})")
    print()

    narrations, rules = bench_categorize.build_workload(args.n, args.rules, 20261001)
    texts = [t["narration"] if isinstance(t, dict) else t for t in narrations]
    column = pa.array(texts, pa.string())
    del narrations, texts
    categories, merchants = labelled(column, rules, 20261004)
    big = lint_rules(args.lint_rules, 20261005)

    # Agreement first.
    decided = qc.categorize(column, rules).column("rule")
    explained = qc.explain(column, rules)
    assert explained.column("rule").equals(decided), "explain's rule is not categorize's"
    findings = qc.lint(big)  # a list of dicts in, a dict of lists out
    sample = lint_model(big[:2000])
    got = [f for f in zip(findings["rule"], findings["kind"], findings["by"]) if f[0] < 2000]
    assert got == sample, "lint disagrees with the model on the first 2,000 rules"
    figures = qc.evaluate(column, categories, merchants, rules)
    assert figures.summary.column("matched")[0].as_py() == len(decided) - decided.null_count
    print(f"workload: {args.n:,} narrations x {args.rules} rules, {column.nbytes / 1e6:.0f} MB "
          f"Arrow column; {len(big):,} rules to lint ({len(findings['rule']):,} findings); "
          "agreement checked")
    print()

    repeat = args.repeat
    # A machine shared with other work stretches wall times; linting's processor time
    # (all its threads together) is at least its wall time on an idle machine, so its
    # target is judged on that.
    lint_cpu = cpu_seconds(qc.lint, big, repeat=repeat)
    anchor = time_call(qc.categorize, column, rules, repeat=repeat)
    table = [
        row("categorize (the anchor)", anchor, None, None),
        row("explain", time_call(qc.explain, column, rules, repeat=repeat), anchor, 1.5),
        row("evaluate", time_call(qc.evaluate, column, categories, merchants, rules,
                                  repeat=repeat), anchor, 2.0),
        row("unmatched (top 50)", time_call(qc.unmatched, column, rules, repeat=repeat), anchor,
            None),
        row(f"lint {len(big):,} rules", time_call(qc.lint, big, repeat=repeat), None, 1.0,
            judged=lint_cpu),
    ]
    print_table(["call", "best", "median", "median / categorize", "target"], table,
                align="<>>><")
    print()
    print(f"lint {len(big):,} rules: median processor time {format_seconds(lint_cpu)}, "
          "which its target is judged on")
    print("targets: explain at most 1.5x categorize, evaluate at most 2x, lint at most 1 s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
