"""quorvane_cli.text: text laid out for a terminal: columns aligned by their display width."""

from __future__ import annotations

import unicodedata
from typing import List, Optional, Sequence


def display_width(text: str) -> int:
    """Terminal columns taken by text: combining marks take none, wide characters two."""
    width = 0
    for ch in text:
        if unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


def aligned(titles: Sequence[str], rows: Sequence[Sequence[str]],
            rule_before_last: bool = False) -> List[str]:
    """Rows under titles and a rule, the first column to the left, the others (numbers) to the
    right; optionally a second rule before the last row (a total)."""
    widths = [max(display_width(r[i]) for r in [titles, *rows]) for i in range(len(titles))]

    def line(values: Sequence[str]) -> str:
        cells = [values[0] + " " * (widths[0] - display_width(values[0]))]
        cells += [" " * (w - display_width(v)) + v for v, w in zip(values[1:], widths[1:])]
        return "  ".join(cells).rstrip()

    rule = line(["-" * w for w in widths])
    lines = [line(titles), rule] + [line(r) for r in rows]
    if rule_before_last and rows:
        lines.insert(len(lines) - 1, rule)
    return lines


def ratio(value: Optional[float], places: int = 1, percent: bool = True) -> str:
    """A ratio from 0 to 1 as a percentage (or a plain number) with `places` decimals, or
    n/a; one short of an end never rounds to it: 0.9996 shows as ">99.9%", not as a
    perfect "100.0%", and 0.0004 as "<0.1%"."""
    if value is None:
        return "n/a"
    form = f".{places}{'%' if percent else 'f'}"
    text = format(value, form)
    step = 10.0 ** -places / (100 if percent else 1)
    if 0 < value < 1 and text == format(0, form):
        return "<" + format(step, form)
    if 0 < value < 1 and text == format(1, form):
        return ">" + format(1 - step, form)
    return text


def visible(text: str) -> str:
    """Text for a terminal, its control characters as Python writes them in a string (an
    escape sequence would act on the terminal, a line break break the table)."""
    return "".join(repr(c)[1:-1] if unicodedata.category(c) == "Cc" else c for c in text)


def counted(count: int, noun: str) -> str:
    """A count and its noun: "1 rule", "2,000 rules"."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"
