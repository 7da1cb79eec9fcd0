#!/usr/bin/env python3
"""Benchmark quorvane's rule-based categorisation against idiomatic pure Python.

A synthetic, deterministic workload of bank-statement narrations and ordered
substring rules is categorised four ways: a pure-Python JSON-text pipeline, a
pure-Python dict pipeline, quorvane.categorize_transactions_json and
quorvane.categorize_transactions. The script checks that all four agree, then
reports times, speed-ups against the 20x target and the JSON form's extra peak
memory against the 5x-of-input target.

    python bench/bench_categorize.py [--n 100000] [--rules 500] [--repeat 3] [--seed 20261001]
"""

import argparse
import functools
import itertools
import json
import os
import random
import sys

import quorvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import (  # noqa: E402
    COUNTERPARTS,
    all_agree,
    environment_summary,
    format_bytes,
    measure_peak_memory,
    print_table,
    report_speedups,
    time_call,
    verdict,
)

SPEEDUP_TARGET = 20.0
MEMORY_TARGET = 5.0  # extra peak resident memory / request size in UTF-8 bytes

MAX_NARRATION_BYTES = 80

# ---------------------------------------------------------------- pure-Python reference


def python_categorize(request):
    """Idiomatic pure-Python categorisation: first rule whose pattern occurs, case ignored."""
    rules = [(r["pattern"].lower(), r["category"], r["merchant"]) for r in request["rules"]]
    out = []
    for tx in request["data"]:
        narration = tx["narration"].lower()
        for pattern, category, merchant in rules:
            if pattern in narration:
                out.append({"category": category, "merchant": merchant})
                break
        else:
            out.append(None)
    return {"data": out}


def python_categorize_json(request_text):
    result = python_categorize(json.loads(request_text))
    return json.dumps(result, separators=(",", ":"), ensure_ascii=False)


def quorvane_categorize_json(request_text):
    # Module-level wrapper so the call can be shipped to a spawned process.
    return quorvane.categorize_transactions_json(request_text)


# ---------------------------------------------------------------- workload

SYLLABLES = (
    "ka ri van shi tra mo zen lu dha pa ro vi na sa ki tu ma bel gra hom ja ye "
    "qu xo fi ne dro spi sun tej ash mir ved kal nik oru pri sto bri gan hari lok"
).split()

# merchant-type suffix -> category; each of these also gets a generic catch-all rule
GENERIC_SUFFIXES = {
    "FUELS": "Fuel", "PHARMA": "Health", "MART": "Groceries", "FOODS": "Food & Dining",
    "CABS": "Transport", "TELECOM": "Utilities", "MOTORS": "Vehicle", "CLINIC": "Health",
    "BAKERY": "Food & Dining", "TEXTILES": "Shopping", "ELECTRICALS": "Home",
    "OPTICALS": "Health",
}
# merchant-type suffixes that no generic rule catches
PLAIN_SUFFIXES = (
    "TRADERS", "ENTERPRISES", "AGENCIES", "VENTURES", "AND SONS", "CORNER", "HUB",
    "POINT", "WORLD", "BAZAAR", "INDIA PVT LTD", "LLP", "CO",
)
CATEGORIES = (
    "Groceries", "Food & Dining", "Shopping", "Transport", "Fuel", "Utilities", "Health",
    "Entertainment", "Travel", "Education", "Home", "Personal care", "Subscriptions",
)
CITIES = (
    "MUMBAI", "BENGALURU", "PUNE", "CHENNAI", "HYDERABAD", "KOLKATA", "NEW DELHI", "JAIPUR",
    "KOCHI", "INDORE", "LUCKNOW", "NAGPUR", "SURAT", "MYSURU", "NOIDA", "GURUGRAM", "BHOPAL",
    "PATNA", "VADODARA", "COIMBATORE", "BLR", "MUM", "HYD",
)
CITIES_NON_ASCII = ("मुंबई", "पुणे", "दिल्ली", "बेंगलुरु", "Café Row")
UPI_NOTES = ("Payment", "UPI", "Order", "Pay to merchant", "NA", "Sent via app", "collect", "bill")
PSP_HANDLES = ("okpay", "pnx", "qpay", "okzen", "upibank", "rvb")
MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")

# narrations without a merchant: (template, pattern, category, merchant of the rule that
# catches them, or None when no rule should)
NON_MERCHANT_LINES = (
    ("ATM WDL/ATM {n5}/{city}/{d:02d}-{m:02d}-2026", "atm wdl", "Cash", "ATM withdrawal"),
    ("INT.PD:01-{m:02d}-2026 TO 30-{m:02d}-2026", "int.pd", "Interest", "Savings interest"),
    ("NEFT CR-{ifsc}-{employer}-SALARY {mon} 2026", "salary", "Salary", "Employer"),
    ("CHQ DEP/{n6}/CLG/{city}", "chq dep", "Deposits", "Cheque deposit"),
    ("ACH D- {lender} LOAN EMI {d:02d}/36-LN{n8}", "loan emi", "Loan EMI", "Lender"),
    ("SMS ALERT CHRGS {mon}-{mon2} 2026 INCL GST", "sms alert", "Bank charges", "SMS alerts"),
    ("CASH DEP/SELF/CDM {n5}/{city}", None, None, None),
    ("DEBIT CARD ANNUAL FEE {card} + GST", None, None, None),
)


def _brand(rng):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.choice((2, 2, 3, 3, 4))))


def _cased(rng, text):
    roll = rng.random()
    if roll < 0.65:
        return text.upper()
    if roll < 0.85:
        return text.title()
    if roll < 0.95:
        return text.lower()
    return "".join(c.upper() if rng.random() < 0.5 else c for c in text.lower())


def _rule(pattern, category, merchant):
    return {"pattern": pattern, "category": category, "merchant": merchant}


def _clip_utf8(text, limit):
    data = text.encode("utf-8")
    if len(data) <= limit:
        return text
    return data[:limit].decode("utf-8", errors="ignore").rstrip()


def build_workload(n, n_rules, seed, unknown=0.33):
    """Return (narrations, rules) for the benchmark, fully determined by the arguments.

    `unknown` is the share of merchant narrations whose merchant no rule covers."""
    rng = random.Random(seed)

    n_channel = min(sum(1 for line in NON_MERCHANT_LINES if line[1]), n_rules // 20)
    n_generic = min(len(GENERIC_SUFFIXES), n_rules // 20)
    n_specific = n_rules // 5
    n_plain = max(1, n_rules - n_channel - n_generic - n_specific)

    # Covered brands each get a plain rule; some also get a more specific "brand suffix"
    # rule that must come first. Uncovered brands contain no pattern at all.
    brands = []
    seen = set()
    while len(brands) < n_plain:
        b = _brand(rng)
        if 4 <= len(b) <= 12 and b not in seen:
            seen.add(b)
            brands.append(b)
    all_suffixes = list(GENERIC_SUFFIXES) + list(PLAIN_SUFFIXES)

    keyed = []  # (priority key, rule); lower key = earlier in the list
    plain_key = {}
    for b in brands:
        plain_key[b] = rng.random()
        category = rng.choice(CATEGORIES)
        pattern = b if rng.random() < 0.95 else rng.choice((b.title(), b.upper()))  # mostly lower
        keyed.append((plain_key[b], _rule(pattern, category, b.title())))
    specific_suffix = {}
    for b in rng.sample(brands, min(n_specific, len(brands))):
        suffix = rng.choice(all_suffixes)
        specific_suffix[b] = suffix
        pattern = f"{b} {suffix.lower()}"[:15].rstrip()
        category = GENERIC_SUFFIXES.get(suffix) or rng.choice(CATEGORIES)
        rule = _rule(pattern, category, f"{b.title()} {suffix.title()}")
        keyed.append((rng.uniform(0, plain_key[b]), rule))
    caught_lines = [line for line in NON_MERCHANT_LINES if line[1]]
    for _template, pattern, category, merchant in caught_lines[:n_channel]:
        keyed.append((rng.random(), _rule(pattern, category, merchant)))
    for suffix in list(GENERIC_SUFFIXES)[:n_generic]:
        keyed.append((1.0 + rng.random(), _rule(suffix.lower(), GENERIC_SUFFIXES[suffix], "Other")))
    keyed.sort(key=lambda kr: kr[0])
    rules = [rule for _, rule in keyed]

    patterns = [r["pattern"].lower() for r in rules]
    uncovered = []
    while len(uncovered) < max(50, n_plain // 2):
        b = _brand(rng)
        if b not in seen and not any(p in b for p in patterns):
            seen.add(b)
            uncovered.append(b)
    plain_safe = [s for s in PLAIN_SUFFIXES if not any(p in s.lower() for p in patterns)]
    generic_live = list(GENERIC_SUFFIXES)[:n_generic] or plain_safe

    # Popularity follows a Zipf-like curve: a few merchants appear very often.
    covered_cum = list(itertools.accumulate(1.0 / (i + 1) ** 0.8 for i in range(len(brands))))
    uncovered_cum = list(itertools.accumulate(1.0 / (i + 1) ** 0.8 for i in range(len(uncovered))))

    def card():
        return f"4{rng.randint(100, 999)}XXXXXXXX{rng.randint(1000, 9999)}"

    def city():
        return rng.choice(CITIES_NON_ASCII) if rng.random() < 0.02 else rng.choice(CITIES)

    def merchant_text():
        roll = rng.random()
        if roll < unknown:  # unknown merchant, no rule applies
            brand = rng.choices(uncovered, cum_weights=uncovered_cum)[0]
            suffix = rng.choice(plain_safe)
        elif roll < unknown + 0.04:  # unknown merchant, caught only by a generic suffix rule
            brand = rng.choices(uncovered, cum_weights=uncovered_cum)[0]
            suffix = rng.choice(generic_live)
        else:
            brand = rng.choices(brands, cum_weights=covered_cum)[0]
            if brand in specific_suffix and rng.random() < 0.5:
                suffix = specific_suffix[brand]
            else:
                suffix = rng.choice(all_suffixes)
        return brand, _cased(rng, f"{brand} {suffix}")

    def ref(digits):
        return str(rng.randrange(10 ** (digits - 1), 10**digits))

    narrations = []
    for _ in range(n):
        roll = rng.random()
        if roll < 0.03:
            template = rng.choice(NON_MERCHANT_LINES)[0]
            m = rng.randint(1, 12)
            text = template.format(
                n5=ref(5), n6=ref(6), n8=ref(8), city=city(), d=rng.randint(1, 28), m=m,
                ifsc=f"KRBK0{ref(6)}", employer=_brand(rng).upper() + " PVT LTD",
                mon=MONTHS[m - 1], mon2=MONTHS[m % 12], lender=_brand(rng).upper() + " FINANCE",
                card=card(),
            )
        else:
            brand, merchant = merchant_text()
            if roll < 0.40:
                handle = f"{brand}{rng.randint(1, 99)}" if rng.random() < 0.5 else f"qr{ref(7)}"
                note = rng.choice(UPI_NOTES)
                if note == "Order":
                    note = f"Order {ref(5)}"
                text = f"UPI/{ref(12)}/{note}/{handle}@{rng.choice(PSP_HANDLES)}/{merchant}"
            elif roll < 0.62:
                text = f"POS {card()} {merchant} {city()}"
            elif roll < 0.74:
                if rng.random() < 0.5:
                    text = f"ECOM {card()} {merchant}*{ref(6)}"
                else:
                    text = f"ECOM {card()} PG*{merchant} {city()} IN"
            elif roll < 0.83:
                text = f"NEFT-KRBK0{ref(6)}-{merchant}-{ref(10)}"
            elif roll < 0.90:
                text = f"IMPS/P2A/{ref(12)}/{merchant}/{rng.choice(UPI_NOTES)}"
            elif roll < 0.95:
                text = f"ACH D- {merchant}-{ref(9)}"
            else:
                text = f"BILLPAY/{merchant}/CA {ref(10)}/{rng.choice(MONTHS)}26"
        narrations.append(_clip_utf8(text, MAX_NARRATION_BYTES))
    return narrations, rules


def workload_stats(narrations, rules, rng, sample=2000):
    """Describe the workload; rule-overlap figures come from a random sample."""
    sizes = [len(s.encode("utf-8")) for s in narrations]
    lowered = [r["pattern"].lower() for r in rules]
    first_positions, multi = [], 0
    picked = rng.sample(narrations, min(sample, len(narrations)))
    for text in picked:
        low = text.lower()
        hits = [i for i, p in enumerate(lowered) if p in low]
        if hits:
            first_positions.append(hits[0] + 1)
            multi += len(hits) > 1
    return {
        "min_bytes": min(sizes),
        "mean_bytes": sum(sizes) / len(sizes),
        "max_bytes": max(sizes),
        "non_ascii": sum(1 for s in narrations if not s.isascii()) / len(narrations),
        "sample": len(picked),
        "multi": multi / len(picked),
        "mean_first": sum(first_positions) / max(1, len(first_positions)),
    }


# ---------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000, help="number of narrations")
    parser.add_argument("--rules", type=int, default=500, help="number of rules")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per implementation")
    parser.add_argument("--seed", type=int, default=20261001, help="workload seed")
    args = parser.parse_args(argv)
    if min(args.n, args.rules, args.repeat) < 1:
        parser.error("--n, --rules and --repeat must be positive")

    print(f"# categorize_transactions benchmark  ({environment_summary()})")
    print()

    narrations, rules = build_workload(args.n, args.rules, args.seed)
    request = {"data": [{"narration": s} for s in narrations], "rules": rules}
    request_text = json.dumps(request, ensure_ascii=False)
    request_bytes = len(request_text.encode("utf-8"))

    implementations = [("python json", python_categorize_json, request_text),
                       ("python dict", python_categorize, request),
                       ("quorvane json", quorvane.categorize_transactions_json, request_text),
                       ("quorvane dict", quorvane.categorize_transactions, request)]

    # Correctness first: every implementation must give the same answer.
    reference = python_categorize(request)
    if not all_agree(implementations, reference):
        return 1
    matched = sum(1 for e in reference["data"] if e is not None)
    same_bytes = quorvane.categorize_transactions_json(request_text) == \
        python_categorize_json(request_text)

    stats = workload_stats(narrations, rules, random.Random(args.seed + 1))
    share = matched / len(narrations)
    print(f"workload: {len(narrations):,} narrations, {len(rules)} rules, seed {args.seed}")
    print(f"  request text {format_bytes(request_bytes)} ({request_bytes:,} UTF-8 bytes)")
    print(f"  narrations {stats['min_bytes']}-{stats['max_bytes']} bytes, "
          f"mean {stats['mean_bytes']:.0f}; {stats['non_ascii']:.1%} non-ASCII")
    print(f"  {share:.1%} matched, {1 - share:.1%} unmatched")
    print(f"  in a sample of {stats['sample']:,}: {stats['multi']:.1%} matched by several rules, "
          f"first match at rule #{stats['mean_first']:.0f} on average")
    print(f"  all {len(implementations)} implementations agree; JSON text byte-identical to "
          f"json.dumps: {'yes' if same_bytes else 'no'}")
    print()

    report_speedups(implementations, functools.partial(time_call, repeat=args.repeat),
                    dict.fromkeys(COUNTERPARTS, SPEEDUP_TARGET),
                    f"time, best and median of {args.repeat} runs (gc paused while timing):",
                    per=("narration", len(narrations)))
    print()

    memory_cases = [("python json", python_categorize_json),
                    ("quorvane json", quorvane_categorize_json)]
    rows = []
    methods = set()
    for name, func in memory_cases:
        mem = measure_peak_memory(func, request_text)
        methods.add(mem.method + ("" if mem.exact else ", upper bound"))
        ratio = mem.extra / request_bytes
        target = f"< {MEMORY_TARGET:.0f}x: {verdict(ratio < MEMORY_TARGET)}" \
            if name.startswith("quorvane") else "(reference)"
        rows.append((name, format_bytes(mem.before), format_bytes(mem.extra), f"{ratio:.2f}x",
                     target))
    print(f"extra peak resident memory of one JSON call, fresh process, relative to the "
          f"{format_bytes(request_bytes)} request text ({'; '.join(sorted(methods))}):")
    print_table(["implementation", "resident before", "extra peak", "x input", "target"],
                rows, align="<>>><")
    return 0


if __name__ == "__main__":
    sys.exit(main())
