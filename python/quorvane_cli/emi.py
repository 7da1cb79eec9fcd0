"""quorvane_cli.emi: `quorvane emi`, a loan solved for its instalment, tenure or amount, its
schedule printed, written as CSV or JSON, or plotted."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import re
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import quorvane
import quorvane_columns as qc

from quorvane_cli import options
from quorvane_cli.failures import UserError, os_failure, shown, warn
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


class InOrder(argparse.Action):
    """Collects the event options into one list, `changes`, as (option, value) in the
    order typed: events of one month apply in that order, as rows of an events table do."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        namespace.changes = [*getattr(namespace, "changes", []), (self.option_strings[0], values)]


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
    changes = p.add_argument_group(
        "events", "what happens to the loan after a month: MONTH is YYYY-MM with --start, else "
        "the instalment's number from 1 (the event follows that instalment); keep is emi "
        "(the default: the instalment stays, the tenure changes) or tenure (the other way "
        "round). Each may be given more than once; events of one month apply in the order "
        "given, and the last one's keep decides.")
    changes.add_argument("--prepay", action=InOrder, metavar="MONTH:AMOUNT[:keep]",
                         help="pay AMOUNT off the balance after the month")
    changes.add_argument("--rate-change", action=InOrder, metavar="MONTH:RATE[:keep]",
                         help="the annual rate becomes RATE percent after the month")
    changes.add_argument("--emi-change", action=InOrder, metavar="MONTH:AMOUNT",
                         help="the instalment becomes AMOUNT after the month")
    changes.add_argument("--fees", type=number, metavar="AMOUNT",
                         help="upfront charges: adds the annual percentage rate (APR) of the "
                         "loan on the amount received")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="table (default): readable; csv: the schedule; json: the whole result")
    p.add_argument("--plot", metavar="FILE.svg", help="draw the balance (with events, also "
                   "the balance without them) and the principal/interest split over time "
                   "(needs matplotlib: pip install \"quorvane[plot]\")")
    options.add_output(p, "the table, schedule or result")
    p.set_defaults(run=run, changes=[])


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
    if args.start is not None and not re.fullmatch(r"[0-9]{4}-[0-9]{2}", args.start):
        # The engine reads "24-01" as the year 24: a month typed short is refused here.
        raise UserError("--start", f"expected YYYY-MM, got {args.start!r}")
    given = {option: getattr(args, option) for option in needs}
    if 0 < given.get("amount", 1) < 0.5:  # the engine would solve a loan of 0
        raise UserError("--amount", f"{given['amount']:g} rounds to a loan of 0: amounts are "
                        "whole currency units")
    return {"mode": mode, "loanAmount": given.get("amount"), "emi": given.get("emi"),
            "months": given.get("months"), "interestRate": args.rate,
            "inflationRate": args.inflation, "start": args.start}


#: The event options: the kind of event each gives, and the form of its value.
_EVENT_OPTIONS = {"--prepay": ("prepay", "MONTH:AMOUNT[:keep]"),
                  "--rate-change": ("rate", "MONTH:RATE[:keep]"),
                  "--emi-change": ("emi", "MONTH:AMOUNT")}


#: The request's fields that the engine's messages name, and the option each comes from.
_FIELD_OPTIONS = {"loanAmount": "--amount", "emi": "--emi", "months": "--months",
                  "interestRate": "--rate", "inflationRate": "--inflation", "fees": "--fees"}
#: The engine's complaints about the start month.
_START_MESSAGE = re.compile(r'expected "YYYY-MM"|(month out of range|invalid (year|month)) in "')


def request_failure(message: str, request: EmiRequest) -> UserError:
    """The engine's complaint about the request, naming the option a field came from:
    "--rate must be zero or greater", not "interestRate must be zero or greater"."""
    message = message.replace("invalid request: ", "").replace("invalid input: ", "")
    if _START_MESSAGE.match(message):
        return UserError("--start", message)
    field, space, rest = message.partition(" ")
    if space and rest.startswith("must ") and field in _FIELD_OPTIONS:
        return UserError(_FIELD_OPTIONS[field], rest)
    if message.startswith("tenure of ") and request.get("months") is not None:
        return UserError("--months", message)  # typed, not solved: "tenure of 601 months ..."
    return UserError(NAME, message)


_AFTER_END = re.compile(r"it takes effect after month \d+, but the loan ends in month (\d+)")
#: An event that another event's message names, by its row in the events table.
_OTHER_EVENT = re.compile(r"\bevent (\d+)\b")


def month_index(option: str, text: str, start: Optional[str]) -> int:
    """The schedule row after which an event given as MONTH takes effect: a YYYY-MM from
    the start on, or an instalment's number from 1."""
    if start is None:
        if not text.isdecimal() or int(text) < 1:
            raise UserError(option, f"MONTH is an instalment's number from 1 (or YYYY-MM with "
                            f"--start), got {text!r}")
        return int(text) - 1
    year, _, month = text.partition("-")
    first_year, _, first_month = start.partition("-")
    if not (first_year.isdecimal() and first_month.isdecimal() and 1 <= int(first_month) <= 12):
        raise UserError("--start", f"expected YYYY-MM, got {start!r}")
    if not (year.isdecimal() and month.isdecimal() and 1 <= int(month) <= 12):
        raise UserError(option, f"MONTH is YYYY-MM when --start is given, got {text!r}")
    index = (int(year) - int(first_year)) * 12 + int(month) - int(first_month)
    if index < 0:
        raise UserError(option, f"MONTH {text} is before the loan starts in {start}")
    return index


def events_of(args: argparse.Namespace) -> Tuple[List[Dict[str, Any]], List[str]]:
    """The events the options give, in the order typed, and each one's option as typed."""
    events: List[Dict[str, Any]] = []
    typed: List[str] = []
    for option, text in args.changes:
        kind, form = _EVENT_OPTIONS[option]
        parts = text.split(":")
        if len(parts) not in ((2, 3) if form.endswith("[:keep]") else (2,)):
            raise UserError(option, f"expected {form}, got {text!r}")
        month = month_index(option, parts[0], args.start)
        try:
            amount = number(parts[1])
        except ValueError:
            raise UserError(option, f"{form.split(':')[1].rstrip('[')} is a number, got "
                            f"{parts[1]!r}") \
                from None
        event: Dict[str, Any] = {"loan": 0, "month": month, "kind": kind, "amount": amount}
        if len(parts) == 3:
            if parts[2] not in ("emi", "tenure"):
                raise UserError(option, f"keep is emi or tenure, got {parts[2]!r}")
            event["keep"] = parts[2]
        events.append(event)
        typed.append(f"{option} {text}")
    return events, typed


def solve(request: EmiRequest, events: Optional[List[Dict[str, Any]]] = None,
          typed: Sequence[str] = (), fees: Optional[float] = None) -> Dict[str, Any]:
    """The loan solved by quorvane_columns: its figures, rates, totals and schedule (rows
    as dicts, with year and month only when the loan has a start); with events or fees,
    the comparison with the plain loan and the APR, and each row's rate and prepayment.
    An event's error names the option that gave it."""
    loan: Dict[str, Any] = dict(request)
    if fees is not None:
        loan["fees"] = fees
    loans, schedule = qc.emi([loan], events)
    error = loans["error"][0]
    if error is not None:
        where, _, rest = error.partition(": ")
        if where.startswith("event ") and where[6:].isdecimal():
            rest = rest.replace("invalid input: ", "")
            # The engine counts rows from 0; the command line counts instalments from 1.
            late = _AFTER_END.fullmatch(rest)
            if late:
                rest = f"the loan ends with instalment {int(late.group(1)) + 1}"
            rest = _OTHER_EVENT.sub(lambda m: typed[int(m.group(1))], rest)
            raise UserError(typed[int(where[6:])], rest)
        raise request_failure(error, request)
    names = [name for name in schedule if name != "loan"
             and (request.get("start") or name not in ("year", "month"))]
    rows = [dict(zip(names, values)) for values in zip(*(schedule[name] for name in names))]
    totals = {name: loans[name][0] for name in ("nominalPaid", "realPaid", "nominalPrincipal",
                                                 "nominalInterest", "realPrincipal",
                                                 "realInterest")}
    result = {"loanAmount": loans["loanAmount"][0], "emi": loans["emi"][0],
              "months": loans["months"][0], "interestRate": request["interestRate"],
              "inflationRate": request.get("inflationRate") or 0.0, "totals": totals,
              "schedule": rows}
    for name in ("baselineInterest", "interestSaved", "monthsSaved", "apr", "effectiveRate"):
        if name in loans and (name not in ("apr", "effectiveRate") or fees is not None):
            result[name] = loans[name][0]
    return result


def rate_text(rate: float) -> str:
    """A rate as the shortest text that reads back as the same number, without a trailing
    ".0": `{:g}` would show 7.123456789 as 7.12346. A rate typed as -0 shows as 0."""
    text = repr(float(rate) + 0.0)
    return text[:-2] if text.endswith(".0") else text


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def early_end(result: Mapping[str, Any], asked: Optional[int]) -> Optional[str]:
    """The note for an instalment that, rounded, repays the loan before the months asked."""
    if asked is None or result["months"] >= asked:
        return None
    return (f"The rounded instalment of {result['emi']:,} clears the loan in "
            f"{plural(result['months'], 'month')}, not {asked}.")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    events, typed = events_of(args)
    changed = bool(events) or args.fees is not None
    target = Target(args.output)
    plot_target = Target(args.plot, option="--plot") if args.plot is not None else None
    if plot_target is not None and plot_target.same_place(target):
        raise UserError("--plot", f"{shown(args.plot, output=True)} is where -o writes the schedule too "
                        "(standard output when -o is not given); give each its own file")
    if args.format == "json" and not changed:  # the module's whole result, years included
        try:
            output = quorvane.compute_emi_json(json.dumps(request)) + "\n"
        except ValueError as exc:
            raise request_failure(str(exc), request) from None
        result: Dict[str, Any] = json.loads(output)
    else:
        result = solve(request, events if changed else None, typed, args.fees)
        if args.format == "json":
            output = json.dumps(result) + "\n"
    note = None if events else early_end(result, request.get("months"))
    if args.format == "csv":
        output = schedule_csv(result["schedule"])
    elif args.format == "table":
        output = "\n".join(table_lines(result, note, bool(events))) + "\n"
    if note and args.format != "table":
        warn(note[0].lower() + note[1:-1])
    if plot_target is not None:
        plot(result, plot_target, solve(request) if events else None)
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


def table_lines(result: Mapping[str, Any], note: Optional[str] = None,
                events: bool = False) -> List[str]:
    """The table's lines; with `events`, a prepayment and rate column, and what the events
    saved. (Fees alone change neither: they only add the APR.)"""
    real = result["inflationRate"] != 0
    first = result["schedule"][0]
    start = f" from {month_of(first)}" if "year" in first else ""
    final = result["schedule"][-1]["emi"]
    last = f" (the last {final:,})" if final != result["emi"] else ""
    # Events can change what a month pays (a prepayment, a new rate or instalment): then the
    # instalment is only the first one, not that of every month but the last.
    steady = all(row["emi"] == result["emi"] for row in result["schedule"][:-1])
    lines = [
        f"Loan {result['loanAmount']:,} at {rate_text(result['interestRate'])}% a year: "
        f"{plural(result['months'], 'monthly instalment')}{' of' if steady else ', the first of'} "
        f"{result['emi']:,}{last}{start}.",
    ]
    if note:
        lines.append(note)
    if real:
        lines.append(f"Inflation {rate_text(result['inflationRate'])}% a year: real amounts are in "
                     "money of the first month.")
    lines.append("")
    titles = ["Month" if start else "#", "EMI", "Principal", "Interest", "Outstanding"]
    keys = ["emi", "principal", "interest", "outstanding"]
    if events:
        titles += ["Prepayment", "Rate %"]
        keys += ["prepayment", "rate"]
    if real:
        titles += ["Real EMI", "Real interest"]
        keys += ["realEmi", "realInterest"]
    rows = []
    for row in result["schedule"]:
        values: Mapping[str, object] = row
        rows.append([month_of(row) if start else str(row["index"] + 1)] +
                    [rate_text(row["rate"]) if k == "rate" else f"{values[k]:,}" for k in keys])
    lines += aligned(titles, rows)
    lines.append("")
    totals = result["totals"]
    sums = [("Paid", totals["nominalPaid"], totals["realPaid"]),
            ("Principal", totals["nominalPrincipal"], totals["realPrincipal"]),
            ("Interest", totals["nominalInterest"], totals["realInterest"])]
    lines += aligned(["Totals", "Nominal"] + (["Real"] if real else []),
                     [[name, f"{nominal:,}"] + ([f"{real_sum:,}"] if real else [])
                      for name, nominal, real_sum in sums])
    closing = []
    if events:
        saved, months = result["interestSaved"], result["monthsSaved"]
        closing.append(f"Against the plain loan (interest {result['baselineInterest']:,}): "
                       f"{'saves' if saved >= 0 else 'costs'} {abs(saved):,} of interest and "
                       f"{'saves' if months >= 0 else 'adds'} {plural(abs(months), 'month')}.")
    if "apr" in result:
        closing.append(f"APR {result['apr']:.2f}% (effective {result['effectiveRate']:.2f}% a "
                       "year) on the amount received, after fees.")
    return lines + [""] + closing if closing else lines


# ---------------------------------------------------------------- plot


def plot(result: Mapping[str, Any], target: Target,
         plain: Optional[Mapping[str, Any]] = None) -> None:
    """Draw the outstanding balance (and, given the loan without its events, that loan's
    balance beside it) and each instalment's principal and interest."""
    try:
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator, StrMethodFormatter
    except ImportError:
        raise UserError("--plot", 'needs matplotlib: pip install "quorvane[plot]"') from None
    schedule = result["schedule"]
    # matplotlib draws the years 1 to 9999 as dates, with a margin of 5% of the loan's span
    # (600 months at most) each side: a loan outside them is drawn by instalment.
    years = [row.get("year") for row in [*schedule, *(plain["schedule"] if plain else [])]]
    integer_ticks = not all(year is not None and 10 <= year <= 9990 for year in years)
    label = "instalment" if integer_ticks else "month"

    def months(rows: Sequence[Mapping[str, Any]]) -> Sequence[Any]:
        if integer_ticks:
            return [row["index"] + 1 for row in rows]
        import datetime
        return [datetime.date(row["year"], row["month"], 1) for row in rows]

    x = months(schedule)
    figure = Figure(figsize=(9, 6), layout="constrained")
    balance, split = figure.subplots(2, 1, sharex=True)
    if plain is not None:
        balance.plot(months(plain["schedule"]), [row["outstanding"] for row in plain["schedule"]],
                     color="tab:gray", linestyle="--", label="without the events")
    balance.plot(x, [row["outstanding"] for row in schedule], color="tab:blue",
                 label="with the events")
    if plain is not None:
        balance.legend(loc="upper right")
    balance.set_title(f"Loan {result['loanAmount']:,} at {rate_text(result['interestRate'])}%: "
                      f"{plural(result['months'], 'instalment')} of {result['emi']:,}")
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
