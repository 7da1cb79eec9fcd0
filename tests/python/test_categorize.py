"""Categorisation: first matching rule wins, letter case ignored, through both forms and
every walk of the automaton."""

import ctypes
import itertools
import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane


def rule(pattern, category="C", merchant="M"):
    return {"pattern": pattern, "category": category, "merchant": merchant}


# Each walk of the automaton (Categorizer::Walk), forced through the test library, so
# that small inputs exercise every one: the tables below run through all of them.
WALKS = {"interleaved": 1, "ascii": 2, "dense": 3, "trie": 4}
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


# (narrations, rules, index of the deciding rule per narration, None for no match)
CASES = [
    # no rules, no data
    (["anything", ""], [], [None, None]),
    ([], [rule("x")], []),
    # an empty pattern matches everything, the empty narration too, and shadows later rules
    (["abc", ""], [rule(""), rule("abc")], [0, 0]),
    (["abc", "xyz"], [rule("abc"), rule("")], [0, 1]),
    # letter case is ignored on both sides, beyond ASCII too
    (["AMAZON PAY", "amazon pay"], [rule("Amazon")], [0, 0]),
    (["CAFÉ ÉTOILE", "ΚΑΦΕΣ", "МОСКВА"], [rule("café"), rule("καφες"), rule("москва")], [0, 1, 2]),
    # spaces count; no word boundaries
    (["shop ", "shop", "a  b", "a b"], [rule("shop "), rule("a  b")], [0, None, 1, None]),
    (["supermarket"], [rule("mark")], [0]),
    # the earlier rule wins even when a later pattern is longer
    (["swiggy instamart"], [rule("swiggy"), rule("swiggy instamart")], [0]),
    (["swiggy instamart"], [rule("instamart"), rule("swiggy")], [0]),
    # a pattern longer than the narration never matches; an equal one only when identical
    (["abc", "abd"], [rule("abcd"), rule("abc")], [1, None]),
    # final sigma: a word-final capital sigma lowers to ς, elsewhere to σ
    (["ΟΔΟΣ", "ΟΔΟΣΑ", "Σ"], [rule("ΟΔΟΣ")], [0, None, None]),
    (["ΟΔΟΣ", "ΟΔΟΣΑ", "Σ"], [rule("Σ")], [None, 0, 0]),
    # U+0130 lowers to i + U+0307
    (["\u0130STANBUL"], [rule("is")], [None]),
    (["\u0130STANBUL"], [rule("\u0130s")], [0]),
    (["\u0130STANBUL"], [rule("i\u0307stanbul")], [0]),
    # the Kelvin sign lowers to an ASCII k
    (["KIOSK"], [rule("\u212aiosk")], [0]),
    # no normalisation: precomposed and decomposed letters differ
    (["caf\u00e9"], [rule("cafe\u0301")], [None]),
    # the same narration twice gives two equal entries
    (["rent", "rent"], [rule("RENT", "Housing", "Landlord")], [0, 0]),
]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("narrations, rules, expected", CASES)
def test_cases(native, form, narrations, rules, expected):
    rules = [dict(r, category=f"C{i}", merchant=f"M{i}") for i, r in enumerate(rules)]
    want = [None if i is None else {"category": f"C{i}", "merchant": f"M{i}"} for i in expected]
    assert categorize(form, narrations, rules, native) == want


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
def test_matches_rule_by_rule_model(native, form, narrations, patterns):
    rules = [rule(p, f"C{i}", f"M{i}") for i, p in enumerate(patterns)]
    assert categorize(form, narrations, rules, native) == model(narrations, rules)


def test_large_rule_set_matches_model():
    # Enough long patterns that the automaton outgrows its dense table and walks the trie.
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz0123456789ΑΒΓΔαβγδ-/ "
    patterns = ["".join(rng.choice(letters) for _ in range(rng.randint(60, 120))) for _ in range(1500)]
    narrations = []
    for _ in range(300):
        text = "".join(rng.choice(letters) for _ in range(rng.randint(0, 60)))
        if rng.random() < 0.5:
            p = rng.choice(patterns)
            text += p[: rng.randint(len(p) - 1, len(p))].upper() + text
        narrations.append(text)
    rules = [rule(p, f"C{i}", f"M{i}") for i, p in enumerate(patterns)]
    assert categorize("object", narrations, rules) == model(narrations, rules)

