"""Categorisation: first matching rule wins, letter case ignored, through both forms and
every walk of the automaton."""

import ctypes
import itertools
import json
import random

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvane


def rule(pattern, category="C", merchant="M"):
    return {"pattern": pattern, "category": category, "merchant": merchant}


# Each walk of the automaton (Categorizer::Walk), forced through the test library, so
# that small inputs exercise every one: the property below runs through all of them.
WALKS = {"interleaved": 1, "ascii": 2, "dense": 3, "trie": 4, "wide": 5}
FORMS = ["object", "json", *WALKS]


def packed(texts):
    """Texts end to end in UTF-8, and where each one ends."""
    data = [t.encode() for t in texts]
    ends = list(itertools.accumulate(len(d) for d in data))
    return b"".join(data), (ctypes.c_size_t * len(ends))(*ends)


def categorize(form, narrations, rules, native=None):
    if form in WALKS:
        native.qv_categorize.restype = None
        out = (ctypes.c_int32 * len(narrations))()
        native.qv_categorize(WALKS[form], *packed([r["pattern"] for r in rules]),
                             ctypes.c_size_t(len(rules)), *packed(narrations),
                             ctypes.c_size_t(len(narrations)), out)
        return [None if i < 0 else {"category": rules[i]["category"], "merchant": rules[i]["merchant"]}
                for i in out]
    request = {"data": [{"narration": n} for n in narrations], "rules": rules}
    if form == "json":
        return json.loads(quorvane.categorize_transactions_json(json.dumps(request)))["data"]
    return quorvane.categorize_transactions(request)["data"]


def model(narrations, rules):
    """The rules tried one by one against the lowered narration."""
    lowered = [r["pattern"].lower() for r in rules]
    out = []
    for narration in narrations:
        text = narration.lower()
        hit = next((r for r, p in zip(rules, lowered) if p in text), None)
        out.append(None if hit is None else {"category": hit["category"], "merchant": hit["merchant"]})
    return out


def test_category_and_merchant_are_copied_exactly():
    # In order, byte for byte, and written back as compact JSON.
    rules = [rule("x", " Food & Drink\t", "Café \"Ω\" \\ \x01")]
    request = {"data": [{"narration": "X"}, {"narration": "zz"}], "rules": rules}
    out = quorvane.categorize_transactions(request)
    assert out == {"data": [{"category": " Food & Drink\t", "merchant": "Café \"Ω\" \\ \x01"}, None]}
    assert list(out["data"][0]) == ["category", "merchant"]
    assert quorvane.categorize_transactions_json(json.dumps(request)) == \
        '{"data":[{"category":" Food & Drink\\t","merchant":"Café \\"Ω\\" \\\\ \\u0001"},null]}'


# Characters whose case mapping and properties are the same in every recent Unicode
# version, so Python's str.lower is a fair model.
ALPHABET = "aAbBsSzZ iIkK09./-\u00e9\u00c9\u03a3\u03c3\u03c2\u0391\u03b1\u0301'\u0130\u212a\u0416\u0436\u00df"
texts = st.text(alphabet=ALPHABET, max_size=12)


@pytest.mark.parametrize("form", FORMS)
@settings(max_examples=300, deadline=None)
@given(st.lists(texts, max_size=16), st.lists(st.text(alphabet=ALPHABET, max_size=4), max_size=8))
# Every walk is also run on these: no rules or no data; an empty pattern, which matches the
# empty narration too and shadows later rules; letter case beyond ASCII; spaces count and
# there are no word boundaries; the earlier rule wins over a longer or earlier-occurring
# one; a pattern longer than the narration; final sigma; U+0130 lowering to i + U+0307;
# the Kelvin sign lowering to k; no normalisation; the same narration twice.
@example(["anything", ""], [])
@example([], ["x"])
@example(["abc", ""], ["", "abc"])
@example(["abc", "xyz"], ["abc", ""])
@example(["AMAZON PAY", "amazon pay", "CAFÉ ÉTOILE", "ΚΑΦΕΣ", "МОСКВА"],
         ["Amazon", "café", "καφες", "москва"])
@example(["shop ", "shop", "a  b", "a b", "supermarket"], ["shop ", "a  b", "mark"])
@example(["swiggy instamart"], ["swiggy", "swiggy instamart"])
@example(["swiggy instamart"], ["instamart", "swiggy"])
@example(["abc", "abd"], ["abcd", "abc"])
@example(["ΟΔΟΣ", "ΟΔΟΣΑ", "Σ"], ["ΟΔΟΣ"])
@example(["ΟΔΟΣ", "ΟΔΟΣΑ", "Σ"], ["Σ"])
@example(["\u0130STANBUL"], ["is"])
@example(["\u0130STANBUL"], ["\u0130s"])
@example(["\u0130STANBUL"], ["i\u0307stanbul"])
@example(["KIOSK"], ["\u212aiosk"])
@example(["caf\u00e9"], ["cafe\u0301"])
@example(["rent", "rent"], ["RENT"])
def test_matches_rule_by_rule_model(native, form, narrations, patterns):
    rules = [rule(p, f"C{i}", f"M{i}") for i, p in enumerate(patterns)]
    assert categorize(form, narrations, rules, native) == model(narrations, rules)


@pytest.mark.parametrize("count, letters", [
    # Enough long patterns that the automaton outgrows its dense table and walks the trie.
    (1500, "abcdefghijklmnopqrstuvwxyz0123456789ΑΒΓΔαβγδ-/ "),
    # 70,880 states: more rows than 16-bit entries number, in a dense table of 11.6 MiB.
    (800, "abcdefghijklmnopqrstuvwxyz0123456789-/ "),
])
def test_large_rule_set_matches_model(count, letters):
    rng = random.Random(7)
    patterns = ["".join(rng.choice(letters) for _ in range(rng.randint(60, 120))) for _ in range(count)]
    narrations = []
    for _ in range(300):
        text = "".join(rng.choice(letters) for _ in range(rng.randint(0, 60)))
        if rng.random() < 0.5:
            p = rng.choice(patterns)
            text += p[: rng.randint(len(p) - 1, len(p))].upper() + text
        narrations.append(text)
    rules = [rule(p, f"C{i}", f"M{i}") for i, p in enumerate(patterns)]
    assert categorize("object", narrations, rules) == model(narrations, rules)

