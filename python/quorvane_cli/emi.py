"""quorvane_cli.emi: `quorvane emi`, a loan solved for its instalment, tenure or amount, its
schedule printed, written as CSV or JSON, or plotted."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import quorvane
import quorvane_columns as qc

from quorvane_cli import options
from quorvane_cli.failures import UserError, os_failure, warn
from quorvane_cli.output import Target
from quorvane_cli.text import aligned

if TYPE_CHECKING:
    from quorvane import EmiMode, EmiRequest

NAME = "emi"

#: What each mode solves for (as the engines name it) and the two options it solves from.
MODES: Dict[str, Tuple[EmiMode, Tuple[str, str]]] = {
    "emi": ("emi", ("amount", "months")), "tenure": ("tenure", ("amount", "emi")),
    "loan-amount": ("loanAmount", ("emi", "months"))}
MODES["loanAmount"] = MODES["loan-amount"]

#: What each of the three options is, for the warning about one the mode does not use.
_SOLVED = {"amount": "the loan amount", "emi": "the instalment", "months": "the tenure"}


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
        NAME, help="solve a loan for its instalment, tenure or amount",
        description="Solve a loan for its monthly instalment (--mode emi, from --amount and "
        "--months), its tenure (--mode tenure, from --amount and --emi) or its amount "
        "(--mode loan-amount, from --emi and --months), and print the schedule and the totals. "
        "Rates are annual percentages; results are in whole currency units.")
    p.add_argument("--mode", required=True, choices=list(MODES), help="what to solve for")
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
    options.add_output(p, "the table, schedule or result")
    p.set_defaults(run=run)


def request_of(args: argparse.Namespace) -> EmiRequest:
    """The loan request; the options the mode needs must be there, and one it does not use
    is ignored with a warning."""
    mode, needs = MODES[args.mode]
    for option in needs:
        if getattr(args, option) is None:
            raise UserError(NAME, f"--mode {args.mode} needs --{option}")
    unused = next(option for option in _SOLVED if option not in needs)
    if getattr(args, unused) is not None:
        warn(f"--mode {args.mode} solves for {_SOLVED[unused]}: --{unused} is ignored")
    given = {option: getattr(args, option) for option in needs}
    return {"mode": mode, "loanAmount": given.get("amount"), "emi": given.get("emi"),
            "months": given.get("months"), "interestRate": args.rate,
            "inflationRate": args.inflation, "start": args.start}


def solve(request: EmiRequest) -> Dict[str, Any]:
    """The loan solved by quorvane_columns: its figures, rates, totals and schedule (rows
    as dicts, with year and month only when the loan has a start)."""
    loans, schedule = qc.emi([request])
    if loans["error"][0] is not None:
        raise UserError(NAME, loans["error"][0].replace("invalid request: ", ""))
    names = [name for name in schedule if name != "loan"
             and (request.get("start") or name not in ("year", "month"))]
    rows = [dict(zip(names, values)) for values in zip(*(schedule[name] for name in names))]
    totals = {name: loans[name][0] for name in ("nominalPaid", "realPaid", "nominalPrincipal",
                                                 "nominalInterest", "realPrincipal",
                                                 "realInterest")}
    return {"loanAmount": loans["loanAmount"][0], "emi": loans["emi"][0],
            "months": loans["months"][0], "interestRate": request["interestRate"],
            "inflationRate": request.get("inflationRate") or 0.0, "totals": totals,
            "schedule": rows}


def early_end(result: Mapping[str, Any], asked: Optional[int]) -> Optional[str]:
    """The note for an instalment that, rounded, repays the loan before the months asked."""
    if asked is None or result["months"] >= asked:
        return None
    return (f"The rounded instalment of {result['emi']:,} clears the loan in "
            f"{result['months']} months, not {asked}.")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    target = Target(args.output)
    plot_target = Target(args.plot) if args.plot else None
    if args.format == "json":  # the module's whole result, years included: one solve
        try:
            output = quorvane.compute_emi_json(json.dumps(request)) + "\n"
        except ValueError as exc:
            raise UserError(NAME, str(exc).replace("invalid request: ", "")) from None
        result: Dict[str, Any] = json.loads(output)
    else:
        result = solve(request)
    note = early_end(result, request.get("months"))
    if args.format == "csv":
        output = schedule_csv(result["schedule"])
    elif args.format == "table":
        output = "\n".join(table_lines(result, note)) + "\n"
    if note and args.format != "table":
        warn(note[0].lower() + note[1:-1])
    if plot_target is not None:
        plot(result, plot_target)
    with target.open() as out:
        out.write(output.encode("utf-8"))


# ---------------------------------------------------------------- text


def schedule_csv(schedule: Sequence[Mapping[str, Any]]) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=list(schedule[0]), lineterminator="\r\n")
    writer.writeheader()
    writer.writerows(schedule)
    return out.getvalue()


def month_of(row: Mapping[str, Any]) -> str:
    return f"{row['year']:04d}-{row['month']:02d}" if "year" in row else ""


def table_lines(result: Mapping[str, Any], note: Optional[str] = None) -> List[str]:
    real = result["inflationRate"] != 0
    first = result["schedule"][0]
    start = f" from {month_of(first)}" if "year" in first else ""
    final = result["schedule"][-1]["emi"]
    last = f" (the last {final:,})" if final != result["emi"] else ""
    lines = [
        f"Loan {result['loanAmount']:,} at {result['interestRate']:g}% a year: "
        f"{result['months']} monthly instalments of {result['emi']:,}{last}{start}.",
    ]
    if note:
        lines.append(note)
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


def plot(result: Mapping[str, Any], target: Target) -> None:
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
    kind = os.path.splitext(target.path)[1].lstrip(".").lower() or "svg"
    if kind not in figure.canvas.get_supported_filetypes():
        raise UserError(target.path, f"cannot draw a .{kind} file: name an .svg, .png or .pdf")
    with target.open() as out:
        try:
            figure.savefig(out.file, format=kind)
        except OSError as exc:
            raise os_failure(target.path, exc, output=True) from None
