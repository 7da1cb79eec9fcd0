#!/usr/bin/env python3
"""A short tour of quorvane using the sample data bundled in examples/data.

Run it with ``python examples/demo.py`` once the extension is installed.
Each act is a small function; ``main()`` runs them in order.
"""

import json
import sys
import unicodedata
from collections import defaultdict
from pathlib import Path

try:
    import quorvane
except ImportError as exc:
    sys.exit(f"cannot import quorvane ({exc}); build and install the extension first")

DATA_DIR = Path(__file__).resolve().parent / "data"


# ---------------------------------------------------------------- helpers


def load_json(name):
    with open(DATA_DIR / name, encoding="utf-8") as f:
        return json.load(f)


def display_width(text):
    """Terminal columns taken by text: combining marks take none, wide characters two."""
    width = 0
    for ch in text:
        if unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


def clip(text, max_width):
    """Shorten text to at most max_width columns, marking the cut with an ellipsis."""
    if max_width is None or display_width(text) <= max_width:
        return text
    while display_width(text) > max_width - 1:
        text = text[:-1]
    return text + "…"


def format_inr(amount):
    """Format a rupee amount with Indian digit grouping: -1,42,500.00."""
    whole, fraction = f"{abs(amount):.2f}".split(".")
    head, tail = whole[:-3], whole[-3:]
    groups = []
    while len(head) > 2:
        groups.insert(0, head[-2:])
        head = head[:-2]
    if head:
        groups.insert(0, head)
    sign = "-" if amount < 0 else ""
    return sign + ",".join(groups + [tail]) + "." + fraction


def print_table(columns, rows):
    """Print rows as an aligned table; columns are (title, align '<' or '>', max width or None)."""
    cells = [[clip(str(value), col[2]) for value, col in zip(row, columns)] for row in rows]
    widths = [
        max([display_width(title)] + [display_width(row[i]) for row in cells])
        for i, (title, _, _) in enumerate(columns)
    ]

    def line(values):
        padded = []
        for value, width, (_, align, _) in zip(values, widths, columns):
            gap = " " * (width - display_width(value))
            padded.append(gap + value if align == ">" else value + gap)
        return "  ".join(padded).rstrip()

    print(line([title for title, _, _ in columns]))
    print(line(["-" * w for w in widths]))
    for row in cells:
        print(line(row))


def banner(title):
    print()
    print(title)
    print("=" * display_width(title))
    print()


# ---------------------------------------------------------------- act 1


def categorize_both_ways(request):
    """Categorise with the dict API and the JSON API and check that they agree."""
    as_objects = quorvane.categorize_transactions(request)
    as_text = quorvane.categorize_transactions_json(json.dumps(request))
    if json.loads(as_text) != as_objects:
        raise AssertionError("categorize_transactions and categorize_transactions_json disagree")
    return as_objects, as_text


def act_categorize():
    banner("Act 1: categorising a bank statement with ordered rules")
    transactions = load_json("statement.json")["data"]
    rules = load_json("rules.json")["rules"]
    request = {"data": transactions, "rules": rules}

    result, result_json = categorize_both_ways(request)
    entries = result["data"]
    if len(entries) != len(transactions):
        raise AssertionError(f"expected {len(transactions)} entries, got {len(entries)}")

    rows = []
    for tx, entry in zip(transactions, entries):
        category, merchant = (entry["category"], entry["merchant"]) if entry else ("-", "-")
        rows.append((tx["date"], format_inr(tx["amount"]), tx["narration"], category, merchant))
    print_table(
        [("Date", "<", None), ("Amount", ">", None), ("Narration", "<", 40),
         ("Category", "<", 16), ("Merchant", "<", 24)],
        rows,
    )

    counts = defaultdict(int)
    totals = defaultdict(float)
    for tx, entry in zip(transactions, entries):
        key = entry["category"] if entry else "(uncategorised)"
        counts[key] += 1
        totals[key] += tx["amount"]
    matched = sum(1 for entry in entries if entry is not None)

    print()
    print(f"{len(transactions)} transactions against {len(rules)} rules: "
          f"{matched} categorised ({100 * matched / len(transactions):.0f}%), "
          f"{len(transactions) - matched} left for review.")
    size = len(result_json.encode("utf-8"))
    print(f"The dict and JSON forms agree ({size:,} bytes of compact JSON).")
    print()
    order = sorted(counts, key=lambda k: (k == "(uncategorised)", -counts[k], k))
    print_table(
        [("Category", "<", None), ("Count", ">", None), ("Total (INR)", ">", None)],
        [(key, counts[key], format_inr(totals[key])) for key in order],
    )


# ---------------------------------------------------------------- main

ACTS = [act_categorize]


def main():
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="replace")
    for act in ACTS:
        act()
    print()


if __name__ == "__main__":
    main()
