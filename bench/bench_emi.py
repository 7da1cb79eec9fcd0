#!/usr/bin/env python3
"""Benchmark quorvane's loan instalment schedules against idiomatic pure Python.

One long loan request (600 monthly instalments with a start month, so every row has
a calendar date and the result has a calendar-year roll-up) is computed four ways:
a pure-Python JSON-text pipeline, a pure-Python dict pipeline,
quorvane.compute_emi_json and quorvane.compute_emi. The script checks that all four
agree, then reports time per call against the targets: 20x for the JSON form, 4x for
the object form.

    python bench/bench_emi.py [--months 600] [--repeat 7] [--min-time 0.2]
"""

import argparse
import functools
import json
import math
import os
import sys

import quorvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import (  # noqa: E402
    all_agree,
    environment_summary,
    format_bytes,
    report_speedups,
    time_per_call,
)

SPEEDUP_TARGETS = {"quorvane json": 20.0, "quorvane dict": 4.0}

MAX_MONTHS = 600
REQUIRED = {  # mode -> the two amounts it is solved from
    "emi": ("loanAmount", "months"),
    "tenure": ("loanAmount", "emi"),
    "loanAmount": ("emi", "months"),
}

# ---------------------------------------------------------------- pure-Python reference


def round_half_up(x):
    """Nearest integer, halves away from minus infinity: 2.5 -> 3, -2.5 -> -2."""
    f = math.floor(x + 0.5)
    return f - 1 if f - 0.5 > x else f  # x + 0.5 itself may have rounded up


def power(base, n):
    """base ** n by binary exponentiation (the module's order of multiplications)."""
    result = base if n % 2 else 1.0
    k = n // 2
    while k:
        base *= base
        if k % 2:
            result *= base
        k //= 2
    return result


def parse_start(start):
    year, sep, month = start.partition("-")
    if not (sep and year.isdigit() and len(month) == 2 and month.isdigit()
            and 1 <= int(month) <= 12):
        raise ValueError(f"start must be YYYY-MM, not {start!r}")
    return int(year), int(month)


def solve(mode, request, r):
    """Return (loan amount, instalment, months), solving for the one the mode names."""
    if mode == "emi":
        principal, months = request["loanAmount"], request["months"]
        if r == 0:
            return principal, principal / months, months
        f = power(1 + r, months)
        return principal, r * principal * f / (f - 1), months
    if mode == "loanAmount":
        emi, months = request["emi"], request["months"]
        if r == 0:
            return emi * months, emi, months
        f = power(1 + r, months)
        return (f - 1) * emi / (r * f), emi, months
    principal, emi = request["loanAmount"], request["emi"]
    interest = principal * r
    if r == 0:
        x = principal / emi
    elif emi <= interest:
        raise ValueError("the instalment does not cover the first month's interest")
    else:
        x = math.log(emi / (emi - interest)) / math.log(r + 1)
    months = math.ceil(x)
    if months > MAX_MONTHS:
        raise ValueError(f"the loan would take {months} months, more than {MAX_MONTHS}")
    return principal, emi, months


def python_compute_emi(request):
    """Idiomatic pure-Python loan schedule: the same steps, and the same dict, as compute_emi."""
    mode = request.get("mode")
    if mode not in REQUIRED:
        raise ValueError(f"mode must be one of {', '.join(REQUIRED)}, not {mode!r}")
    for key in REQUIRED[mode] + ("interestRate",):
        if request.get(key) is None:
            raise ValueError(f"{mode} mode needs {key}")
    if mode != "tenure" and not 1 <= request["months"] <= MAX_MONTHS:
        raise ValueError(f"months must be between 1 and {MAX_MONTHS}")
    interest_rate = request["interestRate"]
    inflation_rate = request.get("inflationRate", 0.0)
    start = request.get("start")
    start_year, start_month = parse_start(start) if start is not None else (None, None)

    r = interest_rate / 100 / 12
    principal, emi, months = solve(mode, request, r)
    monthly_inflation = (inflation_rate / 100 + 1) ** (1 / 12)
    instalment = round_half_up(emi)

    # The schedule: a fixed instalment until the balance is small enough to close, or
    # the last month. Real figures are deflated to the loan's first month.
    schedule = []
    balance, deflator, index = principal, 1.0, 0
    while True:
        interest_due = r * balance
        if index == months - 1 or balance <= instalment:
            paid_principal = round_half_up(balance)
            paid_interest = round_half_up(interest_due)
            paid = paid_principal + paid_interest
            outstanding = 0
        else:
            towards_principal = instalment - interest_due
            paid_principal = round_half_up(towards_principal)
            paid_interest = instalment - paid_principal
            paid = instalment
            outstanding = round_half_up(balance - towards_principal)
        real_principal = round_half_up(paid_principal / deflator)
        real_interest = round_half_up(paid_interest / deflator)
        row = {"index": index}
        if start is not None:
            offset = start_month - 1 + index
            row["year"] = start_year + offset // 12
            row["month"] = offset % 12 + 1
        row.update(emi=paid, principal=paid_principal, interest=paid_interest,
                   outstanding=outstanding, realEmi=real_principal + real_interest,
                   realPrincipal=real_principal, realInterest=real_interest)
        schedule.append(row)
        index += 1
        if outstanding == 0:
            break
        deflator *= monthly_inflation
        if index == months:
            break
        balance = outstanding

    remaining = real_remaining = 0
    for row in reversed(schedule):
        row["remainingEmi"] = remaining
        row["realRemainingEmi"] = real_remaining
        remaining += row["emi"]
        real_remaining += row["realEmi"]

    loan_amount = round_half_up(principal)
    nominal_paid = sum(row["emi"] for row in schedule)
    real_paid = sum(row["realEmi"] for row in schedule)
    totals = {
        "nominalPaid": nominal_paid,
        "realPaid": real_paid,
        "nominalPrincipal": loan_amount,
        "nominalInterest": nominal_paid - loan_amount,
        "realPrincipal": loan_amount,
        "realInterest": real_paid - loan_amount,
    }

    years = []
    if start is not None:
        for row in schedule:
            if not years or years[-1]["year"] != row["year"]:
                years.append({"year": row["year"], "months": [None] * 12, "nominalTotal": 0,
                              "realTotal": 0, "closingOutstanding": 0})
            year = years[-1]
            year["months"][row["month"] - 1] = {"nominal": row["emi"], "real": row["realEmi"]}
            year["nominalTotal"] += row["emi"]
            year["realTotal"] += row["realEmi"]
            year["closingOutstanding"] = row["outstanding"]

    result = {
        "mode": mode,
        "loanAmount": loan_amount,
        "emi": instalment,
        "months": len(schedule),
        "interestRate": interest_rate,
        "inflationRate": inflation_rate,
    }
    if start is not None:
        result["start"] = start
    result.update(totals=totals, schedule=schedule, years=years)
    return result


def python_compute_emi_json(request_text):
    result = python_compute_emi(json.loads(request_text))
    return json.dumps(result, separators=(",", ":"), ensure_ascii=False)


# ---------------------------------------------------------------- main


def microseconds(seconds):
    """A per-call time in microseconds, with thousands separators."""
    return f"{seconds * 1e6:,.1f} us"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--months", type=int, default=MAX_MONTHS, help="loan tenure in months")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per implementation")
    parser.add_argument("--min-time", type=float, default=0.2,
                        help="seconds one timed run lasts at least (sets the calls per run)")
    args = parser.parse_args(argv)
    if not 1 <= args.months <= MAX_MONTHS:
        parser.error(f"--months must be between 1 and {MAX_MONTHS}")
    if args.repeat < 1 or args.min_time <= 0:
        parser.error("--repeat and --min-time must be positive")

    print(f"# compute_emi benchmark  ({environment_summary()})")
    print()

    request = {
        "mode": "emi",
        "loanAmount": 5_000_000.0,
        "months": args.months,
        "interestRate": 9.0,
        "inflationRate": 6.0,
        "start": "2025-01",
    }
    request_text = json.dumps(request, separators=(",", ":"))

    implementations = [("python json", python_compute_emi_json, request_text),
                       ("python dict", python_compute_emi, request),
                       ("quorvane json", quorvane.compute_emi_json, request_text),
                       ("quorvane dict", quorvane.compute_emi, request)]

    # Correctness first: every implementation must give the same answer.
    reference = python_compute_emi(request)
    if not all_agree(implementations, reference):
        return 1
    reference_text = python_compute_emi_json(request_text)
    same_bytes = quorvane.compute_emi_json(request_text) == reference_text

    totals = reference["totals"]
    print(f"workload: {request_text}")
    print(f"  {reference['months']} schedule rows, {len(reference['years'])} calendar years; "
          f"emi {reference['emi']:,}, nominal paid {totals['nominalPaid']:,}, "
          f"real paid {totals['realPaid']:,}")
    print(f"  result {format_bytes(len(reference_text.encode('utf-8')))} of compact JSON")
    print(f"  all {len(implementations)} implementations agree; JSON text byte-identical to "
          f"json.dumps: {'yes' if same_bytes else 'no'}")
    print()

    timer = functools.partial(time_per_call, repeat=args.repeat, min_time=args.min_time)
    report_speedups(implementations, timer, SPEEDUP_TARGETS,
                    f"time per call, best and median of {args.repeat} runs of back-to-back calls "
                    "(gc paused while timing):", seconds=microseconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
