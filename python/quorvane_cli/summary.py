"""quorvane_cli.summary: counts and amounts per category and merchant, as a table for people."""

from __future__ import annotations

from collections import defaultdict
from decimal import Decimal
from typing import Dict, List, Optional, Sequence, Tuple

from quorvane_cli.amounts import EXACT
from quorvane_cli.stdlib_csv import Totals
from quorvane_cli.text import aligned, ratio

Key = Optional[Tuple[str, str]]  # (category, merchant); None for the unmatched


class Summary:
    """Counts and amounts per (category, merchant), added up batch by batch."""

    def __init__(self) -> None:
        self.count: Dict[Key, int] = defaultdict(int)
        self.amount: Dict[Key, Decimal] = defaultdict(Decimal)

    def add(self, totals: Totals) -> None:
        for key, (count, amount) in totals.items():
            self.count[key] += count
            self.amount[key] = EXACT.add(self.amount[key], amount)

    def _total(self, keys: Sequence[Key]) -> Tuple[int, Decimal]:
        amount = Decimal(0)
        for key in keys:
            amount = EXACT.add(amount, self.amount[key])
        return sum(self.count[k] for k in keys), amount

    def lines(self, amounts_hint: Optional[str]) -> List[str]:
        """The table, then the unmatched share; without amounts (amounts_hint then says how
        to name them) only the counts."""
        by_category: Dict[str, List[Tuple[str, str]]] = defaultdict(list)
        for key in self.count:
            if key is not None:
                by_category[key[0]].append(key)

        rows: List[Tuple[str, int, Decimal]] = []
        categories = sorted(by_category, key=lambda c: (-self._total(by_category[c])[0], c))
        for category in categories:
            keys = by_category[category]
            rows.append((category, *self._total(keys)))
            for key in sorted(keys, key=lambda k: (-self.count[k], k[1])):
                rows.append(("  " + key[1], self.count[key], self.amount[key]))
        unmatched = self._total([None]) if None in self.count else (0, Decimal(0))
        if unmatched[0]:
            rows.append(("(unmatched)", *unmatched))
        everything = self._total(list(self.count))
        rows.append(("All", *everything))

        with_amounts = amounts_hint is None
        titles = ["Category / merchant", "Count"] + (["Amount"] if with_amounts else [])
        # Every amount with as many decimals as the most precise one read.
        places = max([0] + [-int(a.as_tuple().exponent) for a in self.amount.values()])
        cells = [[name, f"{count:,}"] + ([f"{amount:,.{places}f}"] if with_amounts else [])
                 for name, count, amount in rows]
        out = aligned(titles, cells, rule_before_last=True)
        share = unmatched[0] / everything[0] if everything[0] else 0.0
        out.append("")
        out.append(f"Unmatched: {unmatched[0]:,} of {everything[0]:,} transactions "
                   f"({ratio(share)}).")
        if amounts_hint is not None:
            out.append(amounts_hint)
        return out
