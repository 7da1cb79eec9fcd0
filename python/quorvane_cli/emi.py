"""quorvane_cli.loan: the `quorvane emi` verb: solve a loan, print or plot its schedule."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
from typing import TYPE_CHECKING, Any, List, Mapping, Sequence

import quorvane

from quorvane_cli.table import UserError, aligned, utf8_stdout

if TYPE_CHECKING:
    from quorvane import EmiMonth, EmiRequest, EmiResult

#: The two options each mode solves from.
NEEDS = {"emi": ("amount", "months"), "tenure": ("amount", "emi"), "loanAmount": ("emi", "months")}


def number(text: str) -> float:
    """A finite number for argparse."""
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def count(text: str) -> int:
    """A whole number of months for argparse (the request holds an unsigned 32-bit count)."""
    value = int(text)
    if not 0 <= value < 2**32:
        raise ValueError(text)
    return value


# argparse names the type in its complaint: "invalid number value: 'x'"
number.__name__ = "number"
count.__name__ = "count"


def add_parser(verbs: Any) -> None:
    p = verbs.add_parser(
        "emi", help="solve a loan for its instalment, tenure or amount",
        description="Solve a loan for its monthly instalment (--mode emi, from --amount and "
        "--months), its tenure (--mode tenure, from --amount and --emi) or its amount "
        "(--mode loanAmount, from --emi and --months), and print the schedule and the totals. "
        "Rates are annual percentages; results are in whole currency units.")
    p.add_argument("--mode", required=True, choices=list(NEEDS), help="what to solve for")
    p.add_argument("--amount", type=number, metavar="A", help="the loan amount")
    p.add_argument("--emi", type=number, metavar="E", help="the monthly instalment")
    p.add_argument("--months", type=count, metavar="N", help="the tenure in months")
    p.add_argument("--rate", type=number, required=True, metavar="R",
                   help="the annual interest rate, in percent")
    p.add_argument("--inflation", type=number, default=0.0, metavar="I",
                   help="the annual inflation rate, in percent: real amounts are in money of "
                   "the first month (default 0)")
    p.add_argument("--start", metavar="YYYY-MM", help="the month of the first instalment")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="table (default): readable; csv: the schedule; json: the whole result")
    p.add_argument("--plot", metavar="FILE.svg", help="draw the balance and the principal/"
                   "interest split over time (needs matplotlib: pip install \"quorvane[plot]\")")
    p.add_argument("-o", "--output", metavar="FILE", help="write here, not to standard output")
    p.set_defaults(run=run)


def request_of(args: argparse.Namespace) -> EmiRequest:
    for option in NEEDS[args.mode]:
        if getattr(args, option) is None:
            raise UserError("emi", f"--mode {args.mode} needs --{option}")
    return {"mode": args.mode, "loanAmount": args.amount, "emi": args.emi, "months": args.months,
            "interestRate": args.rate, "inflationRate": args.inflation, "start": args.start}


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    try:
        result = quorvane.compute_emi(request)
    except ValueError as exc:
        raise UserError("emi", str(exc).replace("invalid request: ", "")) from None
    if args.format == "json":
        output = quorvane.compute_emi_json(json.dumps(request)) + "\n"
    elif args.format == "csv":
        output = schedule_csv(result["schedule"])
    else:
        output = "\n".join(table_lines(result)) + "\n"
    if args.plot:
        plot(result, args.plot)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8", newline="") as f:
                f.write(output)
        except OSError as exc:
            raise UserError(args.output, exc.strerror or str(exc)) from None
    else:
        utf8_stdout().write(output)


# ---------------------------------------------------------------- text


def schedule_csv(schedule: Sequence[EmiMonth]) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=list(schedule[0]), lineterminator="\r\n")
    writer.writeheader()
    writer.writerows(schedule)
    return out.getvalue()


def month_of(row: EmiMonth) -> str:
    return f"{row['year']:04d}-{row['month']:02d}" if "year" in row else ""


def table_lines(result: EmiResult) -> List[str]:
    real = result["inflationRate"] != 0
    first = result["schedule"][0]
    start = f" from {month_of(first)}" if "year" in first else ""
    final = result["schedule"][-1]["emi"]
    last = f" (the last {final:,})" if final != result["emi"] else ""
    lines = [
        f"Loan {result['loanAmount']:,} at {result['interestRate']:g}% a year: "
        f"{result['months']} monthly instalments of {result['emi']:,}{last}{start}.",
    ]
    if real:
        lines.append(f"Inflation {result['inflationRate']:g}% a year: real amounts are in "
                     "money of the first month.")
    lines.append("")
    titles = ["Month" if start else "#", "EMI", "Principal", "Interest", "Outstanding"]
    keys = ["emi", "principal", "interest", "outstanding"]
    if real:
        titles += ["Real EMI", "Real interest"]
        keys += ["realEmi", "realInterest"]
    rows = []
    for row in result["schedule"]:
        values: Mapping[str, object] = row
        rows.append([month_of(row) if start else str(row["index"] + 1)] +
                    [f"{values[k]:,}" for k in keys])
    lines += aligned(titles, rows)
    lines.append("")
    totals = result["totals"]
    sums = [("Paid", totals["nominalPaid"], totals["realPaid"]),
            ("Principal", totals["nominalPrincipal"], totals["realPrincipal"]),
            ("Interest", totals["nominalInterest"], totals["realInterest"])]
    lines += aligned(["Totals", "Nominal"] + (["Real"] if real else []),
                     [[name, f"{nominal:,}"] + ([f"{real_sum:,}"] if real else [])
                      for name, nominal, real_sum in sums])
    return lines


# ---------------------------------------------------------------- plot


def plot(result: EmiResult, path: str) -> None:
    """Draw the outstanding balance and each instalment's principal and interest."""
    try:
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator, StrMethodFormatter
    except ImportError:
        raise UserError("--plot", 'needs matplotlib: pip install "quorvane[plot]"') from None
    schedule = result["schedule"]
    x: Sequence[Any]
    if "year" in schedule[0]:
        import datetime
        x = [datetime.date(row["year"], row["month"], 1) for row in schedule]
        label = "month"
        integer_ticks = False
    else:
        x = [row["index"] + 1 for row in schedule]
        label = "instalment"
        integer_ticks = True
    figure = Figure(figsize=(9, 6), layout="constrained")
    balance, split = figure.subplots(2, 1, sharex=True)
    balance.plot(x, [row["outstanding"] for row in schedule], color="tab:blue")
    balance.set_title(f"Loan {result['loanAmount']:,} at {result['interestRate']:g}%: "
                      f"{result['months']} instalments of {result['emi']:,}")
    balance.set_ylabel("outstanding")
    balance.set_ylim(bottom=0)
    split.stackplot(x, [row["principal"] for row in schedule],
                    [row["interest"] for row in schedule],
                    labels=["principal", "interest"], colors=["tab:green", "tab:orange"])
    split.set_ylabel("instalment")
    split.set_xlabel(label)
    split.legend(loc="upper left")
    for axes in (balance, split):
        axes.grid(alpha=0.3)
        axes.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    if integer_ticks:
        split.xaxis.set_major_locator(MaxNLocator(integer=True))
    try:
        figure.savefig(path)
    except (OSError, ValueError) as exc:
        raise UserError(path, getattr(exc, "strerror", None) or str(exc)) from None


__all__ = ["add_parser", "run", "table_lines", "schedule_csv", "plot"]
