"""quorvane_cli.amounts: amounts as written in statements, read exactly or not at all.

An amount is an optional sign, digits and an optional fraction after the decimal mark
("." or ","). Digits may be grouped in threes by one separator: the other mark, a space,
a no-break space or an apostrophe ("1,234,567.50", "1.234,50", "1 234,50"); or in
India's way, the last three digits and then twos ("12,34,567.50"). Nothing else is
guessed: "1,2,3" or "1.234,50" under the "." mark is an error, never a number. An
empty cell is zero. The patterns use only syntax that Python's re and RE2 (pyarrow's
regular expressions) read alike.
"""

from __future__ import annotations

import decimal
import re
from decimal import Decimal
from typing import Optional

#: Separators that may group digits in threes, besides the mark that is not the decimal mark.
_SPACES = (" ", "\u00a0", "\u202f", "'")

#: A cell that marks its row's amount as money out (Dr, D, Debit) or in (Cr, C, Credit), in
#: any letter case, blanks around; ASCII letters only, so that both regular expression
#: engines read it alike (case folding would let theirs differ on letters such as "İ").
DEBIT = "[ \\t]*[Dd](?:[Rr]|[Ee][Bb][Ii][Tt])?[ \\t]*"
CREDIT = "[ \\t]*[Cc](?:[Rr](?:[Ee][Dd][Ii][Tt])?)?[ \\t]*"
#: A blank cell: no amount, or no mark.
BLANK = "[ \\t]*"
#: An amount written with its own sign.
SIGNED = "[ \\t]*[+-]"

#: Sums of amounts are exact: no rounding at any size (every addend has finitely many digits).
EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)


class AmountFormat:
    """How amounts are written: the decimal mark and the separators that group digits."""

    def __init__(self, decimal_mark: str = ".") -> None:
        if decimal_mark not in (".", ","):
            raise ValueError(f"decimal mark {decimal_mark!r}: expected '.' or ','")
        self.mark = decimal_mark
        self.separators = ("," if decimal_mark == "." else ".",) + _SPACES
        grouped = "|".join(f"[0-9]{{1,3}}(?:{s}[0-9]{{3}})+|[0-9]{{1,2}}(?:{s}[0-9]{{2}})+{s}[0-9]{{3}}"
                           for s in map(re.escape, self.separators))
        mark = re.escape(decimal_mark)
        number = f"[+-]?(?:(?:{grouped}|[0-9]+)(?:{mark}[0-9]*)?|{mark}[0-9]+)"
        #: A cell that is an amount, or blank (zero), in full (to be anchored at both ends).
        self.pattern = f"[ \\t]*(?:{number})?[ \\t]*"
        #: What to delete to leave sign, digits and mark (blanks and separators).
        self.removed = "[" + re.escape("".join(self.separators) + " \t") + "]"
        self._cell = re.compile(self.pattern)
        self._removed = re.compile(self.removed)

    def parse(self, text: str) -> Optional[Decimal]:
        """The amount in a cell, zero when it is blank; None when it is no amount."""
        if not self._cell.fullmatch(text):
            return None
        plain = self._removed.sub("", text).replace(self.mark, ".")
        return Decimal(plain) if plain else Decimal(0)

    def reading(self, text: str) -> str:
        """A hint for a cell that did not read: how the other decimal mark would read it."""
        other = AmountFormat("," if self.mark == "." else ".").parse(text)
        if other is None:
            return ""
        return f" (with --decimal-mark {'.' if self.mark == ',' else ','} it reads as {other})"


_DEBIT, _CREDIT, _BLANK, _SIGNED = (re.compile(p) for p in (DEBIT, CREDIT, BLANK, SIGNED))


def side(mark: str) -> Optional[int]:
    """What a mark says of its row's amount: -1 money out, 1 money in, 0 nothing (a blank
    cell); None when it is no mark."""
    if _DEBIT.fullmatch(mark):
        return -1
    if _CREDIT.fullmatch(mark):
        return 1
    return 0 if _BLANK.fullmatch(mark) else None


def blank(text: str) -> bool:
    """Whether a cell is blank: an amount of zero, or no mark."""
    return _BLANK.fullmatch(text) is not None


def signed(text: str) -> bool:
    """Whether an amount is written with a sign of its own."""
    return _SIGNED.match(text) is not None
