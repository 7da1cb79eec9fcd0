"""quorvane_cli.categorize: `quorvane categorize`, a statement written back with each row's
category, merchant and winning rule, and optionally a summary per category and merchant."""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from quorvane_cli import options
from quorvane_cli.amounts import AmountFormat
from quorvane_cli.csvfile import CsvFile
from quorvane_cli.failures import UserError, warn, where
from quorvane_cli.output import Target
from quorvane_cli.rules import read_rules
from quorvane_cli.stdlib_csv import BadAmount
from quorvane_cli.summary import Summary

NAME = "categorize"

#: Columns the categorised statement gains.
ADDED_COLUMNS = ("category", "merchant", "rule")


def add_parser(verbs: Any) -> None:
    p = verbs.add_parser(
        NAME, help="add category, merchant and rule columns to a statement",
        description="Write the statement back with category, merchant and rule columns (rule: "
        "the winning rule's position, counting from 0; all three empty where no rule matched).")
    options.add_input(p, "statement", "STATEMENT.csv", "the statement")
    options.add_rules(p)
    p.add_argument("--replace", action="store_true",
                   help="overwrite category, merchant or rule columns the statement already has "
                   "(without it such a statement is refused)")
    p.add_argument("--summary", action="store_true",
                   help="print the count and amount per category and merchant, and the unmatched "
                   "share (instead of the statement, unless -o is given)")
    options.add_amounts(p)
    options.add_output(p, "the statement")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    _check_options(args)
    options.stdin_once("statement", args.statement, args.rules)
    writes = args.output is not None or not args.summary
    target = Target(args.output, reads=[args.statement, args.rules]) if writes else None
    report = Target("-", reads=[args.statement, args.rules]) if args.summary else None
    if report is not None and target is not None and target.to_stdout:
        raise UserError(f"-o {args.output}", "--summary prints the summary on standard output; "
                        "with it, -o names the file for the statement")
    rules = read_rules(args.rules)
    fmt = AmountFormat(args.decimal_mark)
    summary = Summary() if args.summary else None
    with CsvFile(args.statement, NAME, args.delimiter) as source:
        narration = source.column(
            [args.column] if args.column else options.NARRATION_COLUMNS, "--column")
        amounts, marks, hint = _amount_columns(source, args) if summary else ([], None, None)
        read = {column: "amounts" for column, _ in amounts}
        if marks is not None:
            read[marks] = "debit and credit marks"
        read[narration] = "narration"
        places, header = _places(source, args.replace, read)
        kind = source.kind
        to_stdout = target is not None and target.to_stdout
        with target.open() if target else contextlib.nullcontext() as out, \
                _Behind(kind.WRITE_BEHIND and out is not None and not to_stdout) as later:
            if out is not None:
                out.write(source.header_line(header))
            for batch in source.batches():
                result = kind.categorize(batch.columns[narration], rules)
                if out is not None:
                    if to_stdout:
                        source.progress.clear()  # the bar and the rows may share a terminal
                    later.run(_write, kind, out, source.delimiter, batch.columns,
                              len(header), dict(zip(places, (result[n] for n in ADDED_COLUMNS))))
                if summary is not None:
                    try:
                        summary.add(kind.totals(batch.columns, result, amounts, fmt, marks))
                    except BadAmount as bad:
                        def cell(column: int) -> str:
                            value = batch.columns[column][bad.row]
                            return str(value.as_py() if hasattr(value, "as_py") else value)
                        raise UserError(
                            where(source.path, batch.line(bad.row), source.header[bad.column]),
                            _unread(cell, bad.column, marks, fmt)) from None
    if summary is not None and report is not None:
        with report.open() as out:
            out.write("".join(line + "\n" for line in summary.lines(hint)).encode("utf-8"))


def _write(kind: Any, out: Any, delimiter: str, read: List[Any], width: int,
           added: Dict[int, Any]) -> None:
    """A batch's rows with the columns categorisation adds, in their places."""
    columns = read + [None] * (width - len(read))
    for place, values in added.items():
        columns[place] = kind.texts(values)
    kind.write(out, columns, delimiter)


class _Behind:
    """Runs each batch's writing after the one before, on a thread of its own when
    `behind` (the next batch is then categorised meanwhile), else at once. A failure to
    write is raised by the next run() or at the end, as it would have been at once."""

    def __init__(self, behind: bool) -> None:
        self.pool = concurrent.futures.ThreadPoolExecutor(1) if behind else None
        self.pending: Optional[concurrent.futures.Future[None]] = None

    def run(self, write: Callable[..., None], *args: Any) -> None:
        if self.pool is None:
            write(*args)
            return
        if self.pending is not None:
            self.pending.result()
        self.pending = self.pool.submit(write, *args)

    def __enter__(self) -> "_Behind":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if self.pool is None:
            return
        self.pool.shutdown(wait=True)  # before the output is closed
        if kind is None and self.pending is not None:
            self.pending.result()


#: What a mark may be, in any letter case.
_MARKS = "Dr, D or Debit for money out, Cr, C or Credit for money in"


def _unread(cell: Callable[[int], str], column: int, marks: Optional[int],
            fmt: AmountFormat) -> str:
    """Why a row's cell in `column` did not read (`cell` gives a column's cell of the row)."""
    text = cell(column)
    if column == marks:
        if not text.strip(" \t"):
            return f"no debit or credit mark beside an amount; expected {_MARKS}"
        return f"not a debit or credit mark: {text!r}; expected {_MARKS}"
    if marks is not None and fmt.parse(text) is not None:
        mark = cell(marks).strip(" \t")
        return (f"the amount {text!r} has a sign of its own, and its {mark!r} mark gives it "
                "one; write amounts without a sign beside the marks")
    return f"not an amount: {text!r}{fmt.reading(text)}"


def _check_options(args: argparse.Namespace) -> None:
    if (args.amount_in is None) != (args.amount_out is None):
        given = "--amount-in" if args.amount_in is not None else "--amount-out"
        raise UserError(given, "--amount-in and --amount-out go together: the amount is money "
                        "in minus money out")
    if args.amount_out is not None and args.amount_column is not None:
        raise UserError("--amount-out", "not allowed with --amount-column")
    if args.amount_sign is not None and args.amount_in is not None:
        raise UserError("--amount-sign", "not allowed with --amount-in and --amount-out: "
                        "their columns say which amounts are money in and which money out")
    if not args.summary:
        for option in ("amount_column", "amount_in", "amount_out", "amount_sign"):
            if getattr(args, option) is not None:
                warn(f"--{option.replace('_', '-')} is used only with --summary; ignored")
        if args.decimal_mark != ".":
            warn("--decimal-mark is used only with --summary; ignored")


def _amount_columns(source: CsvFile, args: argparse.Namespace
                    ) -> Tuple[List[Tuple[int, int]], Optional[int], Optional[str]]:
    """The amount columns (index, sign) of the summary and the column of debit and credit
    marks that signs them, if any; or none and a hint."""
    if args.amount_in is not None:
        return [(source.column([args.amount_in]), 1), (source.column([args.amount_out]), -1)], \
            None, None
    if args.amount_column is not None:
        amount = source.column([args.amount_column])
    else:
        found = source.present(["amount"])
        if not found:
            if args.amount_sign is not None:
                source.column(["amount"], "--amount-column")  # the failure listing the columns
            return [], None, "No amount column: counts only (name one with --amount-column)."
        amount = found[0]
        named = [name for name in source.header
                 if name.casefold().replace(" ", "") in _DEBIT_CREDIT]
        if named and args.amount_sign is None:
            # Statements that keep the sign apart write every amount as positive: summed as
            # they stand, money spent would count as money in.
            raise UserError(where(source.path, source.header_at),
                            f"the column {named[0]!r} says which amounts are debits, and the "
                            f"summary reads {source.header[amount]!r} as signed: --amount-sign "
                            f"{_quoted_word(named[0].strip())} reads the signs from it; else name "
                            "the amounts with --amount-column if their debits have a minus sign, "
                            "or put debits in a column of their own for --amount-in and "
                            "--amount-out")
    marks = None if args.amount_sign is None else _marks_column(source, args.amount_sign, amount)
    return [(amount, 1)], marks, None


def _marks_column(source: CsvFile, name: str, amount: int) -> int:
    """The column of debit and credit marks named `name`. A statement may mark its balances
    the same way, in a column of the same name: then the marks of the amounts are the
    column right after them, and without one there the name stays ambiguous (a failure)."""
    key = name.strip().casefold()
    same = [i for i, column in enumerate(source.header) if column.strip().casefold() == key]
    return amount + 1 if len(same) > 1 and amount + 1 in same else source.column([name])


def _quoted_word(name: str) -> str:
    """A name as one word of a shell's command line."""
    return "'" + name.replace("'", "'\\''") + "'"


#: Names of a column that marks each amount as a debit or a credit (spaces left out).
_DEBIT_CREDIT = frozenset(["dr/cr", "cr/dr", "drcr", "crdr", "debit/credit", "credit/debit"])


def _places(source: CsvFile, replace: bool, read: Dict[int, str]
            ) -> Tuple[List[int], Sequence[str]]:
    """Where each added column goes (an existing column of its name with --replace, else a
    new one at the end) and the header written. A column the command reads (`read`: index
    and what it holds) is never one it writes: --replace would put the rules' results over
    the very text or amounts they came from."""
    existing = source.present(ADDED_COLUMNS)
    at = where(source.path, source.header_at)
    for i in existing:
        if i in read:
            written = source.header[i].strip().casefold()
            raise UserError(at, f"the column {source.header[i]!r} holds the "
                            f"{read[i]}, and categorize writes its own {written} column; rename "
                            "it first")
    if existing and not replace:
        names = ", ".join(repr(source.header[i]) for i in existing)
        plural = "s" if len(existing) > 1 else ""
        raise UserError(at, f"the statement already has the column{plural} "
                        f"{names}; --replace overwrites them with the rules' results")
    header = list(source.header)
    folded = [name.strip().casefold() for name in header]
    places = []
    for name in ADDED_COLUMNS:
        if name in folded:
            places.append(folded.index(name))
        else:
            places.append(len(header))
            header.append(name)
    return places, header
