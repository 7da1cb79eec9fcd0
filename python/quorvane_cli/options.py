"""quorvane_cli.options: options that several commands share, declared once."""

from __future__ import annotations

import argparse

from quorvane_cli.csvfile import DELIMITERS
from quorvane_cli.failures import UserError

#: Columns taken for the narration when --column is not given, in order of preference.
NARRATION_COLUMNS = ("narration", "description", "details")


def delimiter(text: str) -> str:
    """A --delimiter value: , ; | or a tab ("tab" or "\\t")."""
    found = DELIMITERS.get(text) or DELIMITERS.get(text.replace("\\t", "\t"))
    if found is None:
        raise ValueError(text)
    return found


delimiter.__name__ = "delimiter"  # argparse names the type in its complaint


def add_input(p: argparse.ArgumentParser, name: str, metavar: str, what: str,
              optional: bool = False) -> None:
    """The CSV file of transactions a command reads (`optional`: it may be left out), with
    --column and --delimiter."""
    p.add_argument(name, metavar=metavar, nargs="?" if optional else None,
                   help=f'{what} ("-" reads standard input)')
    p.add_argument("--column", metavar="NAME",
                   help="the narration column (default: narration, description or details)")
    p.add_argument("--delimiter", type=delimiter, metavar="D",
                   help="the field delimiter: , ; | or tab (default: the one the header line "
                   "uses most)")


def add_rules(p: argparse.ArgumentParser) -> None:
    """--rules, read by rules.read_rules."""
    p.add_argument("--rules", required=True, metavar="RULES",
                   help="rules in priority order: CSV with pattern, category and merchant "
                   "columns, or the JSON of a request's rule list")


def add_output(p: argparse.ArgumentParser, what: str) -> None:
    """-o: where the command writes."""
    p.add_argument("-o", "--output", metavar="FILE",
                   help=f"write {what} here (default, or -: standard output); a file is "
                   "replaced only once complete")


def add_amounts(p: argparse.ArgumentParser) -> None:
    """How amounts are found and read."""
    group = p.add_mutually_exclusive_group()
    group.add_argument("--amount-column", metavar="NAME",
                       help="the signed amount column (default: amount)")
    group.add_argument("--amount-in", metavar="NAME",
                       help="the column of money in (credits), with --amount-out: the amount "
                       "is in minus out, an empty cell zero")
    p.add_argument("--amount-out", metavar="NAME", help="the column of money out (debits)")
    p.add_argument("--amount-sign", metavar="NAME",
                   help="the column that marks each amount (written without a sign) as money "
                   "out: Dr, D or Debit, or in: Cr, C or Credit, in any letter case")
    p.add_argument("--decimal-mark", choices=(".", ","), default=".",
                   help="the decimal mark of amounts (default .); the other one, a space or "
                   "an apostrophe may group digits in threes")


def stdin_once(what: str, path: str, rules: str) -> None:
    """Standard input is read once: it cannot hold both the rules and `what`."""
    if path == rules == "-":
        raise UserError("--rules -", f"standard input holds the {what}; give the rules as a file")
