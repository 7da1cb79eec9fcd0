"""quorvane_cli: the `quorvane` command, a thin shell over the quorvane module.

    quorvane categorize STATEMENT.csv --rules RULES [--column NAME] [--summary] [-o FILE]
    quorvane derive HISTORY.csv [--column NAME] [-o FILE]
    quorvane emi --mode emi|tenure|loanAmount [--amount A] [--emi E] [--months N] --rate R
                 [--inflation I] [--start YYYY-MM] [--format table|csv|json] [--plot FILE.svg]
    quorvane check --rules RULES [HISTORY.csv] [--column NAME] [--report REPORT.html]

Mistakes in the input are one line on standard error, `quorvane: FILE:ROW:COLUMN: message`,
and exit status 2.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
from collections import defaultdict
from decimal import Decimal, InvalidOperation
from typing import TYPE_CHECKING, Dict, List, NoReturn, Optional, Sequence, Tuple

import quorvane

from quorvane_cli import check, loan
from quorvane_cli.table import (CsvSink, CsvSource, UserError, aligned, read_all, utf8_stdout,
                                 where)

if TYPE_CHECKING:
    from quorvane import Rule as EngineRule

__all__ = ["main", "read_rules", "UserError"]

#: Columns taken for the narration when --column is not given, in order of preference.
NARRATION_COLUMNS = ("narration", "description", "details")
#: Columns the categorised statement gains, replacing any of the same name.
ADDED_COLUMNS = ("category", "merchant", "rule")

Rule = Tuple[str, str, str]  # pattern, category, merchant


# ---------------------------------------------------------------- rules


def read_rules(path: str) -> List[Rule]:
    """Rules in priority order from a CSV file (pattern, category and merchant columns) or
    from JSON: a request's rule list, or an object holding it under "rules"."""
    data = read_all(path)
    if data.lstrip(b"\xef\xbb\xbf \t\r\n")[:1] in (b"[", b"{"):
        return _rules_from_json(path, data)
    rules: List[Rule] = []
    with CsvSource(path, "rules", io.BytesIO(data)) as source:
        columns = [source.column([name]) for name in ("pattern", "category", "merchant")]
        for _, rows in source.chunks():
            rules += [(fields[columns[0]], fields[columns[1]], fields[columns[2]]) for fields in rows]
    return rules


def _rules_from_json(path: str, data: bytes) -> List[Rule]:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise UserError(where(path, line), "not UTF-8 text") from None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as exc:
        raise UserError(where(path, exc.lineno, str(exc.colno)), f"invalid JSON: {exc.msg}") from None
    prefix = ""
    if isinstance(value, dict) and "rules" in value:
        value, prefix = value["rules"], "rules"
    if not isinstance(value, list):
        raise UserError(path, 'expected a list of rules, or an object with "rules"')
    rules: List[Rule] = []
    for i, item in enumerate(value):
        at = f"{prefix}[{i}]"
        if isinstance(item, dict):
            fields = []
            for key in ("pattern", "category", "merchant"):
                if key not in item:
                    raise UserError(where(path, None, at), f'missing "{key}"')
                fields.append((f"{at}.{key}", item[key]))
        elif isinstance(item, list) and len(item) == 3:
            fields = [(f"{at}[{j}]", field) for j, field in enumerate(item)]
        else:
            raise UserError(where(path, None, at), "expected an object or an array of 3 texts")
        for name, field in fields:
            if not isinstance(field, str):
                raise UserError(where(path, None, name), f"expected text, got {json.dumps(field)}")
        rules.append((fields[0][1], fields[1][1], fields[2][1]))
    return rules


def winning_rules(narrations: List[str], engine_rules: List[EngineRule]) -> List[Optional[int]]:
    """The index of the rule that decides each narration, None where none matches.

    The module answers with the winner's category and merchant; the rules given to it carry
    their own index as the category, so its answer is the index."""
    result = quorvane.categorize_transactions(
        {"data": [{"narration": text} for text in narrations], "rules": engine_rules})
    return [None if entry is None else int(entry["category"]) for entry in result["data"]]


# ---------------------------------------------------------------- categorize


def parse_amount(text: str) -> Decimal:
    """An amount such as -1,234.50; an empty field is zero. ValueError if it is no number."""
    text = text.strip().replace(",", "")
    if not text:
        return Decimal(0)
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise ValueError from None
    if not value.is_finite():
        raise ValueError
    return value


class Summary:
    """Counts and amounts per (category, merchant); None for the unmatched."""

    def __init__(self) -> None:
        self.count: Dict[Optional[Tuple[str, str]], int] = defaultdict(int)
        self.amount: Dict[Optional[Tuple[str, str]], Decimal] = defaultdict(Decimal)

    def add(self, key: Optional[Tuple[str, str]], amount: Decimal) -> None:
        self.count[key] += 1
        self.amount[key] += amount

    def lines(self, with_amounts: bool) -> List[str]:
        by_category: Dict[str, List[Tuple[str, str]]] = defaultdict(list)
        for key in self.count:
            if key is not None:
                by_category[key[0]].append(key)

        def total(keys: Sequence[Optional[Tuple[str, str]]]) -> Tuple[int, Decimal]:
            return (sum(self.count[k] for k in keys),
                    sum((self.amount[k] for k in keys), Decimal(0)))

        rows: List[Tuple[str, int, Decimal]] = []
        categories = sorted(by_category, key=lambda c: (-total(by_category[c])[0], c))
        for category in categories:
            keys = by_category[category]
            rows.append((category, *total(keys)))
            for key in sorted(keys, key=lambda k: (-self.count[k], k[1])):
                rows.append(("  " + key[1], self.count[key], self.amount[key]))
        unmatched = total([None]) if None in self.count else (0, Decimal(0))
        if unmatched[0]:
            rows.append(("(unmatched)", *unmatched))
        everything = total(list(self.count))
        rows.append(("All", *everything))

        titles = ["Category / merchant", "Count"] + (["Amount"] if with_amounts else [])
        # Every amount with as many decimals as the most precise one read.
        places = max([0] + [-int(a.as_tuple().exponent) for a in self.amount.values()])
        cells = [[name, f"{count:,}"] + ([f"{amount:,.{places}f}"] if with_amounts else [])
                 for name, count, amount in rows]
        out = aligned(titles, cells, rule_before_last=True)
        share = unmatched[0] / everything[0] if everything[0] else 0.0
        out.append("")
        out.append(f"Unmatched: {unmatched[0]:,} of {everything[0]:,} transactions ({share:.1%}).")
        if not with_amounts:
            out.append("No amount column: counts only (name one with --amount-column).")
        return out


def categorize(args: argparse.Namespace) -> None:
    rules = read_rules(args.rules)
    engine_rules: List[EngineRule] = [{"pattern": p, "category": str(i), "merchant": ""}
                                      for i, (p, _, _) in enumerate(rules)]
    with CsvSource(args.statement, "categorize") as source:
        narration = source.column(
            [args.column] if args.column else NARRATION_COLUMNS, "--column")
        amount_column: Optional[int] = None
        if args.summary:
            try:
                amount_column = source.column([args.amount_column or "amount"])
            except UserError:
                if args.amount_column:
                    raise
        folded = [name.strip().casefold() for name in source.header]
        header = list(source.header)
        places = []  # where each added column goes: an existing column of its name, or a new one
        for name in ADDED_COLUMNS:
            if name in folded:
                places.append(folded.index(name))
            else:
                places.append(len(header))
                header.append(name)
        extra = len(header) - len(source.header)
        added = [[category, merchant, str(i)] for i, (_, category, merchant) in enumerate(rules)]
        summary = Summary()
        # Without -o, --summary replaces the statement on standard output.
        sink = CsvSink(args.output, source.progress) if args.output or not args.summary else None
        with sink or contextlib.nullcontext():
            if sink:
                sink.write([header])
            for lines, rows in source.chunks():
                winners = winning_rules([fields[narration] for fields in rows], engine_rules)
                if sink and extra == len(ADDED_COLUMNS):
                    sink.write([fields + (["", "", ""] if w is None else added[w])
                                for fields, w in zip(rows, winners)])
                elif sink:
                    out = []
                    for fields, w in zip(rows, winners):
                        row = fields + [""] * extra
                        for place, text in zip(places, ["", "", ""] if w is None else added[w]):
                            row[place] = text
                        out.append(row)
                    sink.write(out)
                if args.summary:
                    for line, fields, w in zip(lines, rows, winners):
                        amount = Decimal(0)
                        if amount_column is not None:
                            try:
                                amount = parse_amount(fields[amount_column])
                            except ValueError:
                                raise UserError(
                                    where(args.statement, line, source.header[amount_column]),
                                    f"not an amount: {fields[amount_column]!r}") from None
                        summary.add(None if w is None else rules[w][1:], amount)
    if args.summary:
        stdout = utf8_stdout()
        for text in summary.lines(amount_column is not None):
            stdout.write(text + "\n")


# ---------------------------------------------------------------- derive


def derive(args: argparse.Namespace) -> None:
    pieces = []
    with CsvSource(args.history, "derive") as source:
        columns = [source.column([args.column] if args.column else NARRATION_COLUMNS, "--column"),
                   source.column(["category"]), source.column(["merchant"])]
        for _, rows in source.chunks():
            # Compact JSON arrays, one text per chunk: far smaller than a dict per example.
            text = json.dumps([[fields[c] for c in columns] for fields in rows],
                              ensure_ascii=False, separators=(",", ":"))
            pieces.append(text[1:-1])
    request = '{"data":[' + ",".join(pieces) + "]}"
    del pieces  # the request alone from here: it is as large as the file
    try:
        result = quorvane.derive_rules_json(request)
    except ValueError as exc:
        raise UserError(args.history, str(exc)) from None
    rules = json.loads(result)["rules"]
    with CsvSink(args.output) as sink:
        sink.write([["pattern", "category", "merchant"]])
        sink.write([[r["pattern"], r["category"], r["merchant"]] for r in rules])


# ---------------------------------------------------------------- command line


class _Parser(argparse.ArgumentParser):
    """argparse, with its complaints on one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see {self.prog} --help)\n")
        raise SystemExit(2)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="quorvane", description="Categorise bank statements, derive rules, "
                  "solve loans: a command line over the quorvane module.")
    top.add_argument("--version", action="version", version=f"quorvane {quorvane.__version__}")
    verbs = top.add_subparsers(dest="verb", metavar="VERB", parser_class=_Parser)
    verbs.required = True

    p = verbs.add_parser("categorize", help="add category, merchant and rule columns to a statement",
                         description="Write the statement back with category, merchant and rule "
                         "columns (rule: the winning rule's position, counting from 0; all three "
                         "empty where no rule matched).")
    p.add_argument("statement", metavar="STATEMENT.csv", help='the statement ("-" reads standard input)')
    p.add_argument("--rules", required=True, metavar="RULES",
                   help="rules in priority order: CSV with pattern, category and merchant columns, "
                   "or the JSON of a request's rule list")
    p.add_argument("--column", metavar="NAME",
                   help="the narration column (default: narration, description or details)")
    p.add_argument("--summary", action="store_true",
                   help="print the count and amount per category and merchant, and the unmatched "
                   "share (instead of the statement, unless -o is given)")
    p.add_argument("--amount-column", metavar="NAME", help="the amount column of --summary "
                   "(default: amount)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the statement here, not to "
                   "standard output")
    p.set_defaults(run=categorize)

    p = verbs.add_parser("derive", help="learn rules from labelled transactions",
                         description="Write the rules learnt from labelled examples as CSV, "
                         "ready for categorize --rules.")
    p.add_argument("history", metavar="HISTORY.csv",
                   help="examples with narration, category and merchant columns")
    p.add_argument("--column", metavar="NAME",
                   help="the narration column (default: narration, description or details)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the rules here")
    p.set_defaults(run=derive)

    loan.add_parser(verbs)
    check.add_parser(verbs)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line on argv (sys.argv[1:] by default); returns the exit status."""
    args = parser().parse_args(argv)
    try:
        status: Optional[int] = args.run(args)
    except UserError as exc:
        sys.stderr.write(f"quorvane: {exc}\n")
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep Python from
        # complaining when it flushes standard output at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return status or 0
