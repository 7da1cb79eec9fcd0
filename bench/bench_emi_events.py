#!/usr/bin/env python3
"""Benchmark the loan engine with events against the same loans without them.

10,000 loans in emi mode (amounts 5 lakh to 1 crore, 10 to 30 years, 10% to 14%) are
computed three ways, in the engine alone through the C test library (`make native`
builds it; QUORVANE_NATIVE_LIB may name it): plainly by `compute`, by
`compute_with_events` with no events, and with three events each, all keeping the
instalment: a prepayment of 1% after month 12, a rate cut of a quarter point after
month 36, and a step-up of the instalment by 2% after month 60 (small changes, so that
the loans keep most of their rows and the comparison is of like with like). The target: the loans with
events cost at most 1.5x the plain ones. The building of the events table, outside
the engine, is timed with them.

    python bench/bench_emi_events.py [--loans 10000] [--repeat 7]
"""

import argparse
import ctypes
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import environment_summary, print_table, time_call, verdict  # noqa: E402

TARGET = 1.5
LIBRARY = os.environ.get("QUORVANE_NATIVE_LIB", "build/native/libquorvane_native.so")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loans", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--seed", type=int, default=20261201)
    args = parser.parse_args(argv)

    lib = ctypes.CDLL(LIBRARY)
    lib.qv_emi_batch.restype = ctypes.c_longlong
    rng = random.Random(args.seed)
    n = args.loans
    amounts = (ctypes.c_double * n)(*(rng.randrange(500_000, 10_000_000) for _ in range(n)))
    months = (ctypes.c_uint32 * n)(*(rng.randrange(120, 361) for _ in range(n)))
    rates = (ctypes.c_double * n)(*(rng.randrange(1000, 1401) / 100 for _ in range(n)))
    events = []  # (month, kind, amount) for each loan in turn
    for k in range(n):
        r = rates[k] / 1200
        instalment = amounts[k] * r / (1 - (1 + r) ** -months[k])
        events += [(12, 0, amounts[k] / 100), (36, 1, rates[k] - 0.25), (60, 2, instalment * 1.02)]
    event_months = (ctypes.c_uint32 * len(events))(*(e[0] for e in events))
    kinds = (ctypes.c_int * len(events))(*(e[1] for e in events))
    event_amounts = (ctypes.c_double * len(events))(*(e[2] for e in events))

    def batch(per_loan, with_events):
        return lambda: lib.qv_emi_batch(ctypes.c_size_t(n), amounts, months, rates,
                                        ctypes.c_size_t(per_loan), event_months, kinds,
                                        event_amounts, with_events)

    runs = [("compute", batch(0, 0)), ("with no events", batch(0, 1)),
            ("with 3 events", batch(3, 1))]
    print(f"# loan engine with events  ({environment_summary()})")
    print()
    made = {name: run() for name, run in runs}
    if min(made.values()) < 0:
        print("a loan failed")
        return 1
    print(", ".join(f"{name}: {count:,} schedule rows" for name, count in made.items()))
    print()
    timings = {name: time_call(run, repeat=args.repeat, warmup=1) for name, run in runs}
    plain = timings["compute"].median
    rows = []
    for name, _ in runs:
        t = timings[name]
        ratio = t.median / plain
        target = f"<= {TARGET}x: {verdict(ratio <= TARGET)}" if name == "with 3 events" else ""
        rows.append((name, f"{t.best * 1e3:.1f} ms", f"{t.median * 1e3:.1f} ms",
                     f"{t.median / n * 1e6:.2f} us", f"{t.median / made[name] * 1e9:.0f} ns",
                     f"{ratio:.2f}x", target))
    print(f"{n:,} loans, best and median of {args.repeat} runs:")
    print_table(["computation", "best", "median", "per loan", "per row", "vs compute", "target"],
                rows, align="<>>>>><")
    return 0


if __name__ == "__main__":
    sys.exit(main())
