#!/usr/bin/env python3
"""A short tour of quorvane using the sample data bundled in examples/data.

Run it with ``python examples/demo.py`` once the extension is installed.
Each act is a small function; ``main()`` runs them in order.
"""

from __future__ import annotations

import json
import sys
import textwrap
from collections import Counter, defaultdict
from datetime import date
from pathlib import Path
from typing import (TYPE_CHECKING, Any, DefaultDict, Iterable, List, Mapping, Optional, Sequence,
                    Tuple)

try:
    import quorvane
    import quorvane_cli
    from quorvane_cli.text import display_width
except ImportError as exc:
    sys.exit(f"cannot import quorvane ({exc}); build and install the extension first")

if TYPE_CHECKING:
    from quorvane import CategorizeRequest, CategorizeResult, Category

DATA_DIR = Path(__file__).resolve().parent / "data"
Column = Tuple[str, str, Optional[int]]  # title, align '<' or '>', max width or None


# ---------------------------------------------------------------- helpers


def load_json(name: str) -> Any:
    with open(DATA_DIR / name, encoding="utf-8") as f:
        return json.load(f)


def clip(text: str, max_width: Optional[int]) -> str:
    """Shorten text to at most max_width columns, marking the cut with an ellipsis."""
    if max_width is None or display_width(text) <= max_width:
        return text
    while display_width(text) > max_width - 1:
        text = text[:-1]
    return text + "…"


def format_inr(amount: float, paise: bool = True) -> str:
    """Format a rupee amount with Indian digit grouping: -1,42,500.00, or -1,42,500."""
    whole, _, fraction = f"{abs(amount):.{2 if paise else 0}f}".partition(".")
    head, tail = whole[:-3], whole[-3:]
    groups: List[str] = []
    while len(head) > 2:
        groups.insert(0, head[-2:])
        head = head[:-2]
    if head:
        groups.insert(0, head)
    sign = "-" if amount < 0 else ""
    return sign + ",".join(groups + [tail]) + ("." + fraction if paise else "")


def rupees(amount: float) -> str:
    """Whole rupees with Indian digit grouping: 25,00,000."""
    return format_inr(amount, paise=False)


def print_table(columns: Sequence[Column], rows: Iterable[Sequence[object]]) -> None:
    """Print rows as an aligned table; columns are (title, align '<' or '>', max width or None)."""
    cells = [[clip(str(value), col[2]) for value, col in zip(row, columns)] for row in rows]
    widths = [
        max([display_width(title)] + [display_width(row[i]) for row in cells])
        for i, (title, _, _) in enumerate(columns)
    ]

    def line(values: Sequence[str]) -> str:
        padded = []
        for value, width, (_, align, _) in zip(values, widths, columns):
            gap = " " * (width - display_width(value))
            padded.append(gap + value if align == ">" else value + gap)
        return "  ".join(padded).rstrip()

    print(line([title for title, _, _ in columns]))
    print(line(["-" * w for w in widths]))
    for row in cells:
        print(line(row))


def banner(title: str) -> None:
    print()
    print(title)
    print("=" * display_width(title))
    print()


def say(text: str, width: int = 92) -> None:
    """Print a paragraph, wrapped."""
    print(textwrap.fill(text, width))


def skipped(exc: Exception) -> None:
    """For a function this build does not implement yet: say so, and let the tour go on."""
    say(f"Skipped: {exc} in this build of quorvane.")


def both_ways(name: str, request: Mapping[str, Any]) -> Any:
    """Call quorvane.<name> with Python objects and <name>_json with JSON text; check they agree."""
    as_objects = getattr(quorvane, name)(request)
    as_text = getattr(quorvane, name + "_json")(json.dumps(request, ensure_ascii=False))
    if json.loads(as_text) != as_objects:
        raise AssertionError(f"{name} and {name}_json disagree")
    return as_objects


# ---------------------------------------------------------------- act 1


def categorize_both_ways(request: CategorizeRequest) -> Tuple[CategorizeResult, str]:
    """Categorise with the dict API and the JSON API and check that they agree."""
    as_objects = quorvane.categorize_transactions(request)
    as_text = quorvane.categorize_transactions_json(json.dumps(request))
    if json.loads(as_text) != as_objects:
        raise AssertionError("categorize_transactions and categorize_transactions_json disagree")
    return as_objects, as_text


def act_categorize() -> None:
    banner("Act 1: categorising a bank statement with ordered rules")
    transactions = load_json("statement.json")["data"]
    rules = load_json("rules.json")["rules"]
    request: CategorizeRequest = {"data": transactions, "rules": rules}

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

    counts: DefaultDict[str, int] = defaultdict(int)
    totals: DefaultDict[str, float] = defaultdict(float)
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


# ---------------------------------------------------------------- act 2


def label(entry: Optional[Category]) -> str:
    return f"{entry['category']}: {entry['merchant']}" if entry else "-"


def act_derive() -> None:
    banner("Act 2: deriving rules from labelled history")
    history = load_json("history.json")["data"]
    try:
        rules = both_ways("derive_rules", {"data": history})["rules"]
    except NotImplementedError as exc:
        skipped(exc)
        return

    sizes = Counter((example["category"], example["merchant"]) for example in history)
    say(f"{len(history)} past transactions, labelled by hand with {len(sizes)} (category, "
        f"merchant) pairs, give {len(rules)} rules. A rule's pattern is the word most typical "
        "of its pair: it is in as many of the pair's narrations as possible, and at least 80% "
        "of all narrations containing it belong to the pair.")
    print()
    print_table(
        [("Pattern", "<", None), ("Category", "<", 16), ("Merchant", "<", 28),
         ("Examples", ">", None)],
        [(r["pattern"], r["category"], r["merchant"], sizes[r["category"], r["merchant"]])
         for r in rules],
    )
    without = sorted(set(sizes) - {(r["category"], r["merchant"]) for r in rules})
    if without:
        print()
        say("No rule for " + ", ".join(f"{c}: {m}" for c, m in without) + ". Their "
            "narrations are generic, such as \"UPI payment\", and labelled in several ways.")

    # The derived rules are ordinary categorisation rules: apply them to act 1's statement.
    transactions = load_json("statement.json")["data"]
    hand_written = load_json("rules.json")["rules"]
    by_hand = both_ways("categorize_transactions",
                        {"data": transactions, "rules": hand_written})["data"]
    derived = both_ways("categorize_transactions", {"data": transactions, "rules": rules})["data"]

    both = [(a, b) for a, b in zip(by_hand, derived) if a and b]
    same = sum(1 for a, b in both if a["category"] == b["category"])
    print()
    say(f"On the {len(transactions)} transactions of act 1, the {len(hand_written)} hand-written "
        f"rules categorise {sum(1 for e in by_hand if e)} and the {len(rules)} derived rules "
        f"{sum(1 for e in derived if e)}. Where both apply ({len(both)} transactions) they "
        f"give the same category {same} times. The transactions they treat differently:")
    print()
    print_table(
        [("Date", "<", None), ("Narration", "<", 40), ("Hand-written rules", "<", 26),
         ("Derived rules", "<", 26)],
        [(tx["date"], tx["narration"], label(a), label(b))
         for tx, a, b in zip(transactions, by_hand, derived) if a != b],
    )


# ---------------------------------------------------------------- act 3

LOAN = {"loanAmount": 2_500_000, "months": 240, "interestRate": 8.5, "inflationRate": 5.0}


def next_month(today: date) -> str:
    year, month = divmod(today.year * 12 + today.month, 12)  # month counts from 0 here
    return f"{year:04d}-{month + 1:02d}"


def act_loan() -> None:
    banner("Act 3: a home loan, solved three ways")
    start = next_month(date.today())
    terms = {"interestRate": LOAN["interestRate"], "inflationRate": LOAN["inflationRate"],
             "start": start}
    try:
        by_emi = both_ways("compute_emi", dict(terms, mode="emi", loanAmount=LOAN["loanAmount"],
                                               months=LOAN["months"]))
    except NotImplementedError as exc:
        skipped(exc)
        return
    # The same loan solved for its tenure, then for its amount, from the rounded EMI.
    emi = by_emi["emi"]
    by_tenure = both_ways("compute_emi", dict(terms, mode="tenure",
                                              loanAmount=LOAN["loanAmount"], emi=emi))
    by_amount = both_ways("compute_emi", dict(terms, mode="loanAmount", emi=emi,
                                              months=LOAN["months"]))

    year, month = map(int, start.split("-"))
    first_month = date(year, month, 1).strftime("%B %Y")
    say(f"₹{rupees(LOAN['loanAmount'])} at {LOAN['interestRate']:g}% a year over "
        f"{LOAN['months'] // 12} years, from {first_month}, with inflation at "
        f"{LOAN['inflationRate']:g}% a year. Each line solves for one of the three figures "
        "from the other two; real amounts are in rupees of the first month.")
    print()
    rows = []
    for solved, given, result in (("EMI", "amount, months", by_emi),
                                  ("tenure", "amount, EMI", by_tenure),
                                  ("loan amount", "EMI, months", by_amount)):
        totals = result["totals"]
        rows.append((solved, given, rupees(result["emi"]), result["months"],
                     rupees(result["loanAmount"]), rupees(totals["nominalPaid"]),
                     rupees(totals["realPaid"]), rupees(totals["nominalInterest"]),
                     rupees(totals["realInterest"])))
    print_table(
        [("Solved for", "<", None), ("From", "<", None), ("EMI", ">", None), ("Months", ">", None),
         ("Loan amount", ">", None), ("Paid", ">", None), ("Paid (real)", ">", None),
         ("Interest", ">", None), ("Interest (real)", ">", None)],
        rows,
    )
    print()
    first, last = by_emi["schedule"][0], by_emi["schedule"][-1]
    note = (f"The first EMI is ₹{rupees(first['principal'])} of principal and "
            f"₹{rupees(first['interest'])} of interest. EMIs are whole rupees, so the last one "
            f"(₹{rupees(last['emi'])}) settles the rounding")
    if by_amount["loanAmount"] != LOAN["loanAmount"]:
        note += (", and solving for the amount from the rounded EMI gives "
                 f"₹{rupees(by_amount['loanAmount'])} rather than "
                 f"₹{rupees(LOAN['loanAmount'])}")
    say(note + ".")
    print()
    print("The EMI schedule by calendar year:")
    print()
    print_table(
        [("Year", "<", None), ("Months", ">", None), ("Paid", ">", None),
         ("Paid (real)", ">", None), ("Outstanding at year end", ">", None)],
        [(year["year"], sum(1 for slot in year["months"] if slot), rupees(year["nominalTotal"]),
          rupees(year["realTotal"]), rupees(year["closingOutstanding"]))
         for year in by_emi["years"]],
    )


# ---------------------------------------------------------------- act 4


def act_command_line() -> None:
    banner("Act 4: the same from the command line")
    say("The wheel also installs a `quorvane` command that works on CSV files: it adds "
        "category, merchant and rule columns to a statement (or, with --summary, totals them), "
        "writes derived rules as CSV, and prints loan schedules.")
    commands = [
        ["categorize", "statement.csv", "--rules", "rules.csv", "--summary"],
        ["emi", "--mode", "emi", "--amount", "300000", "--months", "6", "--rate", "10.5",
         "--start", next_month(date.today())],
    ]
    for argv in commands:
        print()
        shown = [f"examples/data/{arg}" if arg.endswith(".csv") else arg for arg in argv]
        print("$ quorvane " + " ".join(shown))
        sys.stdout.flush()
        status = quorvane_cli.main(
            [str(DATA_DIR / arg) if arg.endswith(".csv") else arg for arg in argv])
        if status != 0:
            raise AssertionError(f"quorvane {argv[0]} failed with status {status}")


# ---------------------------------------------------------------- main

ACTS = [act_categorize, act_derive, act_loan, act_command_line]


def main() -> None:
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="replace")
    for act in ACTS:
        act()
    print()


if __name__ == "__main__":
    main()
