"""quorvane_columns.explain, lint, evaluate and unmatched: each against a plain-Python
model of its definition, on random rules and narrations whose lower-case forms change
length; the lint kinds and messages on hand-made rule sets; bad arguments."""

import math
from collections import Counter, defaultdict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import column, table_data  # noqa: E402

# Texts from a small alphabet, so that patterns often occur. Lower-casing changes the
# length of "İ" (to "i" and U+0307, which is no letter), "ẞ" and "Ⱥ" (in bytes), and "Σ"
# takes the final-sigma rule; str.isalnum agrees with the module's letters and digits
# on every character here.
ALPHABET = "abAB1 /-İẞȺΣσςi\u0307"
texts = st.text(ALPHABET, max_size=14)
labels = st.sampled_from(["Food", "Fuel", "Ünï"])
rule = st.tuples(st.text(ALPHABET, max_size=3), labels, st.sampled_from(["M1", "M2"]))
rule_lists = st.lists(rule, max_size=8)
narration_lists = st.lists(st.one_of(st.none(), texts), max_size=25)


def matches(narration, rules):
    """Indexes of the rules whose lower-cased pattern occurs in the lower-cased narration."""
    lowered = narration.lower()
    return [i for i, (p, _, _) in enumerate(rules) if p.lower() in lowered]


def explained(narration, rules):
    """(rule, start, end, matched) by the definition, or None."""
    found = [] if narration is None else matches(narration, rules)
    if not found:
        return None
    winner = rules[found[0]][0].lower().encode()
    if not winner:
        return found[0], 0, 0, len(found)
    first = narration.lower().encode().index(winner)
    # Each character's lower-case form, in bytes: where each character starts and ends.
    ends, total = [], 0
    for ch in narration:
        total += len(ch.lower().encode())
        ends.append(total)
    assert total == len(narration.lower().encode())
    start = next(k for k, end in enumerate(ends) if end > first)
    end = next(k for k, end in enumerate(ends) if end >= first + len(winner)) + 1
    return found[0], start, end, len(found)


@pytest.mark.parametrize("layout", ["python", "string_view", "chunked", "sliced"])
@settings(max_examples=60, deadline=None)
@given(narrations=narration_lists, rules=rule_lists)
def test_explain_matches_model(layout, narrations, rules):
    source = narrations if layout == "python" else column(narrations, layout)
    got = table_data(qc.explain(source, rules))
    rows = [None if r is None else (r, s, e, m)
            for r, s, e, m in zip(got["rule"], got["start"], got["end"], got["matched"])]
    assert rows == [explained(n, rules) for n in narrations]
    assert got["rule"] == table_data(qc.categorize(source, rules))["rule"]


# ---------------------------------------------------------------- lint


def linted(rules):
    """(rule, kind, by) per finding, by the definition."""
    lowered = [p.lower() for p, _, _ in rules]
    out = []
    for j, (p, c, m) in enumerate(rules):
        same = [i for i in range(j) if lowered[i] == lowered[j]]
        inside = [i for i in range(j) if lowered[i] in lowered[j]]
        if same:
            kind = "duplicate" if rules[same[0]][1:] == (c, m) else "conflict"
            out.append((j, kind, same[0]))
        elif inside:
            out.append((j, "unreachable", inside[0]))
    return out


@settings(max_examples=300, deadline=None)
@given(rule_lists)
def test_lint_matches_model(rules):
    got = qc.lint(rules)
    assert list(zip(got["rule"], got["kind"], got["by"])) == linted(rules)


# Hand-made rule sets: each kind, the precedence of an equal pattern over a shorter one,
# an empty pattern, and patterns equal only once lower-cased.
LINT_CASES = [
    ([("zesto", "Food", "Z"), ("ZESTO", "Food", "Z")],
     [(1, "duplicate", 0, 'rule 1 repeats rule 0: the same pattern "zesto" (letter case '
       "ignored), category and merchant")]),
    ([("zesto", "Food", "Z"), ("zesto", "Food", "Y")],
     [(1, "conflict", 0, 'rule 1 never wins: rule 0 has the same pattern "zesto" (letter case '
       'ignored) and gives "Food" / "Z" instead of "Food" / "Y"')]),
    ([("upi", "T", "U"), ("upi/zesto", "F", "Z")],
     [(1, "unreachable", 0, 'rule 1 never wins: rule 0\'s pattern "upi" occurs in its '
       'pattern "upi/zesto"')]),
    ([("a", "X", "Y"), ("ab", "X", "Y"), ("AB", "X", "Y")],
     [(1, "unreachable", 0, None), (2, "duplicate", 1, None)]),
    ([("x", "A", "B"), ("", "C", "D"), ("long", "E", "F"), ("", "G", "H")],
     [(2, "unreachable", 1, "rule 2 never wins: rule 1's empty pattern matches every narration"),
      (3, "conflict", 1, None)]),
    ([("Σ", "A", "B"), ("σ", "A", "B"), ("ς", "A", "B"), ("i", "A", "B"), ("İ", "A", "B")],
     [(1, "duplicate", 0, None), (4, "unreachable", 3, None)]),
    ([("pay", "A", "B"), ("fuel", "C", "D")], []),
]


@pytest.mark.parametrize("rules,expected", LINT_CASES)
def test_lint_cases(rules, expected):
    got = qc.lint(pa.table({name: [r[k] for r in rules]
                            for k, name in enumerate(("pattern", "category", "merchant"))}))
    assert isinstance(got, pa.Table)
    data = got.to_pydict()
    assert list(zip(data["rule"], data["kind"], data["by"])) == [e[:3] for e in expected]
    for message, (*_, want) in zip(data["message"], expected):
        assert want is None or message == want


# ---------------------------------------------------------------- evaluate


def ratio(a, b):
    return a / b if b else None


def evaluated(narrations, categories, merchants, rules):
    """The three tables of evaluate, counted directly from their definitions."""
    won = [(matches(n, rules) or [None])[0] if n is not None else None for n in narrations]
    right = [w is not None and rules[w][1:] == (c, m)
             for w, c, m in zip(won, categories, merchants)]
    hits = Counter(w for w in won if w is not None)
    correct = Counter(w for w, ok in zip(won, right) if ok)
    per_rule = {"rule": list(range(len(rules))), "pattern": [r[0] for r in rules],
                "category": [r[1] for r in rules], "merchant": [r[2] for r in rules],
                "hits": [hits[r] for r in range(len(rules))],
                "correct": [correct[r] for r in range(len(rules))],
                "precision": [ratio(correct[r], hits[r]) for r in range(len(rules))]}
    support = Counter(categories)
    predicted = Counter(rules[w][1] for w in won if w is not None)
    good = Counter(c for c, ok in zip(categories, right) if ok)
    names = sorted(set(support) | set(predicted), key=str.encode)
    per_category = defaultdict(list)
    for c in names:
        s, p, k = support[c], predicted[c], good[c]
        for key, value in (("category", c), ("support", s), ("predicted", p), ("correct", k),
                           ("precision", ratio(k, p)), ("recall", ratio(k, s)),
                           ("f1", ratio(2 * k, s + p))):
            per_category[key].append(value)
    rows, matched, total = len(narrations), sum(hits.values()), sum(right)
    f1 = per_category["f1"]
    summary = {"rows": [rows], "matched": [matched], "correct": [total],
               "coverage": [ratio(matched, rows)], "accuracy": [ratio(total, rows)],
               "precision": [ratio(total, matched)],
               "macro_f1": [sum(f1) / len(f1) if f1 else None]}
    if not names:
        per_category = {key: [] for key in ("category", "support", "predicted", "correct",
                                            "precision", "recall", "f1")}
    return per_rule, dict(per_category), summary


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.one_of(st.none(), texts), labels, st.sampled_from(["M1", "M2"])),
                max_size=25), rule_lists, st.booleans())
def test_evaluate_matches_direct_count(rows, rules, arrow):
    narrations = [r[0] for r in rows]
    categories = [r[1] for r in rows]
    merchants = [r[2] for r in rows]
    if arrow:
        got = qc.evaluate(pa.array(narrations, pa.string()), pa.array(categories, pa.string()),
                          pa.chunked_array([merchants[:3], merchants[3:]], pa.string()), rules)
        got = type(got)(*(table.to_pydict() for table in got))
    else:
        got = qc.evaluate(narrations, categories, merchants, rules)
    assert tuple(got) == evaluated(narrations, categories, merchants, rules)
    assert got.summary == got[2]


def test_evaluate_of_nothing_has_null_ratios():
    got = qc.evaluate([], [], [], [["a", "C", "M"]])
    assert got.summary == {"rows": [0], "matched": [0], "correct": [0], "coverage": [None],
                           "accuracy": [None], "precision": [None], "macro_f1": [None]}
    assert got.per_category["category"] == [] and got.per_rule["precision"] == [None]


# ---------------------------------------------------------------- unmatched


def grouped(narrations, rules, top):
    """(word, count, examples) per group, by the definition; None for the wordless."""
    def words(text):
        pieces = "".join(c if c.isalnum() else " " for c in text.lower()).split()
        return {p for p in pieces if len(p.encode()) >= 3}

    left = [n for n in narrations if n is not None and not matches(n, rules)]
    held = Counter(w for n in left for w in words(n))
    groups = defaultdict(list)
    for n in left:
        mine = words(n)
        groups[min(mine, key=lambda w: (-held[w], w.encode())) if mine else None].append(n)
    order = sorted(groups, key=lambda w: (-len(groups[w]), w is None, (w or "").encode()))
    return [(w, len(groups[w]), groups[w][:3]) for w in order][:top]


@settings(max_examples=150, deadline=None)
@given(narration_lists, rule_lists, st.integers(0, 6))
def test_unmatched_matches_model(narrations, rules, top):
    got = table_data(qc.unmatched(column(narrations, "utf8"), rules, top=top))
    assert list(zip(got["word"], got["count"], got["examples"])) == grouped(narrations, rules, top)


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize("call,error,message", [
    (lambda: qc.evaluate(["a"], [None], ["M"], [["a", "C", "M"]]), ValueError,
     "categories: null in row 0"),
    (lambda: qc.evaluate(["a", "b"], ["C", "C"], ["M"], [["a", "C", "M"]]), ValueError,
     "merchants: 1 rows, but narrations has 2"),
    (lambda: qc.unmatched(["a"], [], top=-1), ValueError,
     "top: expected a count of at least 0, got -1"),
    (lambda: qc.unmatched(["a"], [], top=2.5), TypeError, None),
    (lambda: qc.explain(["a"], [["a", None, "M"]]), ValueError, "rules: rule 0 has no text 'category'"),
    (lambda: qc.lint(pa.table({"pattern": ["a", None], "category": ["C", "D"],
                               "merchant": ["M", "N"]})), ValueError, "pattern: null in row 1"),
    (lambda: qc.explain(42, []), TypeError,
     "narrations: expected an Arrow column or table, or a sequence of str, got 'int'"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message is None or str(raised.value) == message


def test_results_follow_the_callers_kind():
    pl = pytest.importorskip("polars")
    rules = [["a", "C", "M"]]
    assert isinstance(qc.explain(pl.Series(["a", "b"]), rules), pl.DataFrame)
    figures = qc.evaluate(pa.array(["a"]), pa.array(["C"]), pa.array(["M"]), rules)
    assert isinstance(figures, qc.Evaluation)
    assert all(isinstance(table, pa.Table) for table in figures)
    assert figures.per_rule.schema.field("precision").type == pa.float64()
    groups = qc.unmatched(pa.array(["zzz 12", None]), rules)
    assert groups.schema.field("examples").type == pa.list_(pa.string())
    assert groups.to_pydict() == {"word": ["zzz"], "count": [1], "examples": [["zzz 12"]]}
    assert math.isclose(figures.summary.column("macro_f1")[0].as_py(), 1.0)
