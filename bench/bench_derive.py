#!/usr/bin/env python3
"""Benchmark quorvane's rule derivation against idiomatic pure Python.

A synthetic, deterministic set of labelled bank-statement narrations is turned into
rules four ways: a pure-Python JSON-text pipeline, a pure-Python dict pipeline,
quorvane.derive_rules_json and quorvane.derive_rules. The script checks that all
four give the same rules, then reports times and speed-ups against the 10x target.

    python bench/bench_derive.py [--n 200000] [--groups 2000] [--repeat 3] [--seed 20261101]
"""

import argparse
import functools
import itertools
import json
import os
import random
import re
import sys
from collections import Counter, defaultdict

import quorvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import (  # noqa: E402
    COUNTERPARTS,
    all_agree,
    environment_summary,
    format_bytes,
    report_speedups,
    time_call,
)

SPEEDUP_TARGET = 10.0
MIN_SHARE = 0.8  # a pattern's group must hold at least this share of the examples with it
MIN_TOKEN_BYTES = 3

# ---------------------------------------------------------------- pure-Python reference

# One or more characters that are neither letters nor digits. In a str pattern \w is
# exactly str.isalnum() plus "_", so this splits where str.isalnum() is False.
SEPARATORS = re.compile(r"[\W_]+")


def tokens(narration):
    """The distinct words of a narration: lower-cased, at least 3 UTF-8 bytes long."""
    return {word for word in SEPARATORS.split(narration.lower())
            if len(word.encode("utf-8")) >= MIN_TOKEN_BYTES}


def preference(item):
    """Sort key for (word, group count): the highest score first, then the smallest word
    (code-point order is UTF-8 byte order)."""
    word, count = item
    return -(1000 * count + len(word.encode("utf-8"))), word


def python_derive_rules(request):
    """Idiomatic pure-Python rule derivation: the most typical word of each group."""
    corpus = Counter()
    groups = defaultdict(Counter)
    for example in request["data"]:
        words = tokens(example["narration"])
        corpus.update(words)
        groups[example["category"], example["merchant"]].update(words)

    rules = []
    for (category, merchant), counts in groups.items():
        typical = [(word, count) for word, count in counts.items()
                   if count / corpus[word] >= MIN_SHARE]
        if not typical:
            continue
        word, _ = min(typical, key=preference)
        rules.append({"pattern": word, "category": category, "merchant": merchant})
    rules.sort(key=lambda rule: (rule["category"].encode("utf-8"),
                                 rule["merchant"].encode("utf-8")))
    return {"rules": rules}


def python_derive_rules_json(request_text):
    result = python_derive_rules(json.loads(request_text))
    return json.dumps(result, separators=(",", ":"), ensure_ascii=False)


# ---------------------------------------------------------------- workload
#
# Only ASCII and a few Latin-1 letters, on which str.isalnum and str.lower agree with
# the module's letters, digits and lower-casing in every Unicode version.
SAFE_NON_ASCII = set("éÉñÑüÜçÇøØ")

SYLLABLES = (
    "ka ri van shi tra mo zen lu dha pa ro vi na sa ki tu ma bel gra hom ja ye "
    "qu xo fi ne dro spi sun tej ash mir ved kal nik oru pri sto bri gan hari lok"
).split()
ACCENTED_SYLLABLES = ("sé", "ño", "rü", "çu", "lø")  # in about 3% of brand names

# A line of business: the word it adds to a merchant's name, and its category.
LINES = (
    ("", None), ("FRESH", "Groceries"), ("MART", "Groceries"), ("PHARMACY", "Health"),
    ("CLINIC", "Health"), ("FOODS", "Food & Dining"), ("CAFÉ", "Food & Dining"),
    ("KITCHEN", "Food & Dining"), ("FUELS", "Fuel"), ("CABS", "Transport"),
    ("RIDES", "Transport"), ("TRAVELS", "Travel"), ("FASHION", "Shopping"),
    ("ELECTRONICS", "Shopping"), ("BOOKS", "Shopping"), ("TELECOM", "Utilities"),
    ("POWER", "Utilities"), ("FIBRE", "Utilities"), ("INSURANCE", "Insurance"),
    ("FINANCE", "Loan EMI"), ("ACADEMY", "Education"), ("SALON", "Personal care"),
    ("CINEMAS", "Entertainment"), ("PLAY", "Subscriptions"),
)
CATEGORIES = sorted({category for _, category in LINES if category}) + ["Home", "Donations"]
COMPANY_SUFFIXES = ("PVT LTD", "LTD", "LLP", "AND CO", "ENTERPRISES", "INDIA", "RETAIL")
CITIES = (
    "MUMBAI", "BENGALURU", "PUNE", "CHENNAI", "HYDERABAD", "KOLKATA", "NEW DELHI", "JAIPUR",
    "KOCHI", "INDORE", "LUCKNOW", "NAGPUR", "SURAT", "MYSURU", "NOIDA", "GURUGRAM", "BLR",
)
UPI_NOTES = ("Payment", "UPI", "Order", "Pay to merchant", "NA", "Sent via app", "bill", "Ride")
PSP_HANDLES = ("okpay", "pnx", "qpay", "okzen", "upibank", "rvb")
MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")
GENERIC_PHRASES = (
    "UPI payment", "UPI PAYMENT", "Payment via UPI", "Paid via UPI", "POS purchase",
    "Card purchase", "Online payment", "NEFT transfer", "IMPS transfer", "Cash",
)
GENERIC_SHARE = 0.02  # of the groups, labelled from memory on generic narrations only


def _brand(rng):
    syllables = [rng.choice(SYLLABLES) for _ in range(rng.choice((2, 2, 3, 3, 4)))]
    if rng.random() < 0.03:
        syllables[rng.randrange(len(syllables))] = rng.choice(ACCENTED_SYLLABLES)
    return "".join(syllables)


def _cased(rng, text):
    roll = rng.random()
    if roll < 0.65:
        return text.upper()
    if roll < 0.85:
        return text.title()
    return text.lower()


def build_groups(count, rng):
    """count (category, merchant) groups. Most brands have one line of business; nearly
    half have two or three, so the brand word is shared by several groups."""
    groups = []
    seen_brands = set()
    while len(groups) < count:
        brand = _brand(rng)
        if brand in seen_brands or not 4 <= len(brand) <= 12:
            continue
        seen_brands.add(brand)
        lines = rng.sample(LINES, rng.choice((1, 1, 1, 1, 2, 2, 3)))
        for word, category in lines[: count - len(groups)]:
            category = category or rng.choice(CATEGORIES)
            suffix = rng.choice(COMPANY_SUFFIXES) if rng.random() < 0.4 else ""
            cities = rng.sample(CITIES, 2)
            # A UPI handle such as "kavanfresh.pay": often a word that only this group has.
            ending = rng.choice(("", ".pay", ".in", str(rng.randint(1, 99))))
            groups.append({
                "category": category,
                "merchant": f"{brand.title()} {word.title()}".strip(),
                "brand": brand,
                "line": word,
                "suffix": suffix,
                "cities": cities,
                "handle": brand + word.lower() + ending,
                "terminal": f"T{rng.randrange(10**6, 10**7)}",
            })
    return groups


def build_workload(n, n_groups, seed):
    """Return the labelled examples, fully determined by the arguments."""
    rng = random.Random(seed)
    n_generic = min(n_groups - 1, max(1, round(n_groups * GENERIC_SHARE))) if n_groups > 1 else 0
    groups = build_groups(n_groups - n_generic, rng)
    generic = [{"category": rng.choice(CATEGORIES), "merchant": f"Unlabelled {i + 1}"}
               for i in range(n_generic)]

    # Every group gets at least one example; the rest follow a Zipf-like popularity.
    # Generic groups get a small, even share.
    n_generic_examples = min(n - len(groups), 5 * n_generic)
    cum = list(itertools.accumulate(1.0 / (i + 1) ** 0.8 for i in range(len(groups))))
    picks = list(range(len(groups)))
    picks += rng.choices(range(len(groups)), cum_weights=cum,
                         k=n - len(groups) - n_generic_examples)

    def ref(digits):
        return str(rng.randrange(10 ** (digits - 1), 10**digits))

    def card():
        return f"4{rng.randint(100, 999)}XXXXXXXX{rng.randint(1000, 9999)}"

    def narration(group):
        name = " ".join(filter(None, (group["brand"], group["line"], group["suffix"])))
        name = _cased(rng, name)
        city = rng.choice(group["cities"]) if rng.random() < 0.8 else rng.choice(CITIES)
        roll = rng.random()
        if roll < 0.40:
            note = rng.choice(UPI_NOTES)
            if note in ("Order", "Ride"):
                note = f"{note} {ref(5)}"
            return f"UPI/{ref(12)}/{note}/{group['handle']}@{rng.choice(PSP_HANDLES)}/{name}"
        if roll < 0.62:
            terminal = f" {group['terminal']}" if rng.random() < 0.5 else ""
            return f"POS {card()}{terminal} {name} {city}"
        if roll < 0.74:
            if rng.random() < 0.5:
                return f"ECOM {card()} {name}*{ref(6)}"
            return f"ECOM {card()} PG*{name} {city} IN"
        if roll < 0.83:
            return f"NEFT-KRBK0{ref(6)}-{name}-{ref(10)}"
        if roll < 0.90:
            return f"IMPS/P2A/{ref(12)}/{name}/{rng.choice(UPI_NOTES)}"
        if roll < 0.95:
            return f"ACH D- {name}-{ref(9)}"
        return f"BILLPAY/{name}/CA {ref(10)}/{rng.choice(MONTHS)}26"

    examples = []
    for i in picks:
        group = groups[i]
        examples.append({"narration": narration(group), "category": group["category"],
                         "merchant": group["merchant"]})
    # Generic narrations go round the generic groups in turn, so none of their words is
    # typical of one group.
    for i in range(n_generic_examples):
        group = generic[i % n_generic]
        phrase = GENERIC_PHRASES[(i // n_generic) % len(GENERIC_PHRASES)]
        examples.append({"narration": _cased(rng, phrase), "category": group["category"],
                         "merchant": group["merchant"]})
    rng.shuffle(examples)
    return examples


def check_alphabet(examples):
    """The workload must stay on characters where str.isalnum agrees with the module."""
    text = "".join(example["narration"] for example in examples)
    odd = {c for c in set(text) if not c.isascii() and c not in SAFE_NON_ASCII}
    if odd:
        raise SystemExit(f"workload uses characters outside the safe alphabet: {sorted(odd)}")


def workload_stats(examples, rules):
    """Describe the workload, and how often the share test changes a group's pick."""
    token_sets = [tokens(example["narration"]) for example in examples]
    corpus = Counter(word for words in token_sets for word in words)
    groups = defaultdict(Counter)
    for example, words in zip(examples, token_sets):
        groups[example["category"], example["merchant"]].update(words)
    patterns = {(r["category"], r["merchant"]): r["pattern"] for r in rules}
    overruled = 0
    for pair, counts in groups.items():
        if counts:
            top, _ = min(counts.items(), key=preference)
            overruled += patterns.get(pair) != top
    sizes = [len(example["narration"].encode("utf-8")) for example in examples]
    return {
        "groups": len(groups),
        "min_bytes": min(sizes),
        "mean_bytes": sum(sizes) / len(sizes),
        "max_bytes": max(sizes),
        "non_ascii": sum(1 for example in examples if not example["narration"].isascii())
        / len(examples),
        "words": sum(map(len, token_sets)) / len(token_sets),
        "distinct": len(corpus),
        "overruled": overruled,
        "one_off": sum(1 for r in rules if corpus[r["pattern"]] == 1),
    }


# ---------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=200_000, help="number of labelled examples")
    parser.add_argument("--groups", type=int, default=2_000,
                        help="number of (category, merchant) groups")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per implementation")
    parser.add_argument("--seed", type=int, default=20261101, help="workload seed")
    args = parser.parse_args(argv)
    if min(args.n, args.groups, args.repeat) < 1:
        parser.error("--n, --groups and --repeat must be positive")
    if args.groups > args.n:
        parser.error("--groups cannot exceed --n")

    print(f"# derive_rules benchmark  ({environment_summary()})")
    print()

    examples = build_workload(args.n, args.groups, args.seed)
    check_alphabet(examples)
    request = {"data": examples}
    request_text = json.dumps(request, ensure_ascii=False)
    request_bytes = len(request_text.encode("utf-8"))

    implementations = [("python json", python_derive_rules_json, request_text),
                       ("python dict", python_derive_rules, request),
                       ("quorvane json", quorvane.derive_rules_json, request_text),
                       ("quorvane dict", quorvane.derive_rules, request)]

    # Correctness first: every implementation must give the same rules.
    reference = python_derive_rules(request)
    if not all_agree(implementations, reference):
        return 1
    same_bytes = (quorvane.derive_rules_json(request_text)
                  == python_derive_rules_json(request_text))

    rules = reference["rules"]
    stats = workload_stats(examples, rules)
    print(f"workload: {len(examples):,} labelled examples in {stats['groups']:,} groups, "
          f"seed {args.seed}")
    print(f"  request text {format_bytes(request_bytes)} ({request_bytes:,} UTF-8 bytes)")
    print(f"  narrations {stats['min_bytes']}-{stats['max_bytes']} bytes, mean "
          f"{stats['mean_bytes']:.0f}, {stats['non_ascii']:.1%} non-ASCII; "
          f"{stats['words']:.1f} words each, {stats['distinct']:,} distinct words")
    print(f"  {len(rules):,} rules ({stats['one_off']:,} on a word seen in a single example), "
          f"{stats['groups'] - len(rules):,} groups without one")
    print(f"  the share test overrules a group's top-scoring word in {stats['overruled']:,} "
          "groups")
    print(f"  all {len(implementations)} implementations agree; JSON text byte-identical to "
          f"json.dumps: {'yes' if same_bytes else 'no'}")
    print()

    report_speedups(implementations, functools.partial(time_call, repeat=args.repeat),
                    dict.fromkeys(COUNTERPARTS, SPEEDUP_TARGET),
                    f"time, best and median of {args.repeat} runs (gc paused while timing):",
                    per=("example", len(examples)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
