#!/usr/bin/env python3
"""Benchmark loans with events through quorvane_columns.emi against the same loans without.

10,000 loans in emi mode (amounts 5 lakh to 1 crore, 10 to 30 years, 10% to 14%), as a
pyarrow table, are solved three ways on one thread: `qc.emi(loans)`, `qc.emi(loans, [])`
(the event path with no events: the comparison columns, each loan its own baseline) and
`qc.emi(loans, events)` with three events each, all keeping the instalment: a prepayment
of 1% after month 12, a rate cut of a quarter point after month 36, and a step-up of the
instalment by 2% after month 60 (small changes, so that the loans keep most of their rows
and the comparison is of like with like). Each call reads its tables, computes and builds
the Arrow result tables. The target: the loans with events cost at most 1.5x the plain
ones.

    python bench/bench_emi_events.py [--loans 10000] [--repeat 7]
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import environment_summary, print_table, time_call, verdict  # noqa: E402

TARGET = 1.5


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loans", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--seed", type=int, default=20261201)
    args = parser.parse_args(argv)

    import pyarrow as pa

    import quorvane_columns as qc

    rng = random.Random(args.seed)
    n = args.loans
    amounts = [float(rng.randrange(500_000, 10_000_000)) for _ in range(n)]
    months = [rng.randrange(120, 361) for _ in range(n)]
    rates = [rng.randrange(1000, 1401) / 100 for _ in range(n)]
    loans = pa.table({"mode": ["emi"] * n, "loanAmount": amounts, "months": months,
                      "interestRate": rates})
    columns = {"loan": [], "month": [], "kind": [], "amount": []}
    for k in range(n):
        r = rates[k] / 1200
        instalment = amounts[k] * r / (1 - (1 + r) ** -months[k])
        for month, kind, amount in ((12, "prepay", amounts[k] / 100),
                                    (36, "rate", rates[k] - 0.25), (60, "emi", instalment * 1.02)):
            for name, value in zip(columns, (k, month, kind, amount)):
                columns[name].append(value)
    events = pa.table(columns)

    runs = [("plain", lambda: qc.emi(loans, threads=1)),
            ("with no events", lambda: qc.emi(loans, [], threads=1)),
            ("with 3 events", lambda: qc.emi(loans, events, threads=1))]
    print(f"# loans with events through quorvane_columns.emi  ({environment_summary()})")
    print()
    made = {}
    for name, run in runs:
        table, schedule = run()
        if table.column("error").null_count != n:
            print(f"{name}: a loan failed")
            return 1
        made[name] = schedule.num_rows
    print(", ".join(f"{name}: {count:,} schedule rows" for name, count in made.items()))
    print()
    timings = {name: time_call(run, repeat=args.repeat, warmup=1) for name, run in runs}
    plain = timings["plain"].median
    rows = []
    for name, _ in runs:
        t = timings[name]
        ratio = t.median / plain
        target = f"<= {TARGET}x: {verdict(ratio <= TARGET)}" if name == "with 3 events" else ""
        rows.append((name, f"{t.best * 1e3:.1f} ms", f"{t.median * 1e3:.1f} ms",
                     f"{t.median / n * 1e6:.2f} us", f"{t.median / made[name] * 1e9:.0f} ns",
                     f"{ratio:.2f}x", target))
    print(f"{n:,} loans on one thread, best and median of {args.repeat} runs:")
    print_table(["call", "best", "median", "per loan", "per row", "vs plain", "target"],
                rows, align="<>>>>><")
    return 0


if __name__ == "__main__":
    sys.exit(main())
