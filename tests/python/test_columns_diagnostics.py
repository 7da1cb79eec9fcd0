"""quorvane_columns.explain, lint, evaluate and unmatched: each against a plain-Python
model of its definition, on random rules and narrations whose lower-case forms change
length, in every string layout; the lint kinds and messages on hand-made rule sets; one
form of an input against another; bad arguments. (The caller's kind: test_columns_kinds.)"""

from collections import Counter, defaultdict

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import LAYOUTS, column, table_data  # noqa: E402
from test_derive import words  # noqa: E402

# Texts from a small alphabet, so that patterns often occur. Lower-casing changes the
# length of "İ" (to "i" and U+0307, which is no letter), "ẞ" and "Ⱥ" (in bytes), and "Σ"
# takes the final-sigma rule; str.isalnum agrees with the module's letters and digits
# on every character here.
ALPHABET = "abAB1 /-İẞȺΣσςi\u0307"
texts = st.text(ALPHABET, max_size=14)
# Labels equal only once case is ignored or normalised are different labels: a row is
# correct, and two rules are duplicates, only where the bytes agree.
labels = st.sampled_from(["Food", "Fuel", "Ünï", "food", "U\u0308nï"])
merchants = st.sampled_from(["M1", "M2", "m1"])
rule_lists = st.lists(st.tuples(st.text(ALPHABET, max_size=3), labels, merchants), max_size=8)
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
    # Each character's lower-case form, in bytes: where each character's form ends.
    ends, total = [], 0
    for ch in narration:
        total += len(ch.lower().encode())
        ends.append(total)
    assert total == len(narration.lower().encode())
    start = next(k for k, end in enumerate(ends) if end > first)
    end = next(k for k, end in enumerate(ends) if end >= first + len(winner)) + 1
    return found[0], start, end, len(found)


@pytest.mark.parametrize("layout", LAYOUTS)
@settings(max_examples=40, deadline=None)
@given(narrations=narration_lists, rules=rule_lists, data=st.data())
def test_explain_matches_model(layout, narrations, rules, data):
    source = column(narrations, layout, data.draw)
    got = table_data(qc.explain(source, rules))
    rows = [None if r is None else (r, s, e, m)
            for r, s, e, m in zip(got["rule"], got["start"], got["end"], got["matched"])]
    assert rows == [explained(n, rules) for n in narrations]


def test_explain_long_narrations_among_short():
    # Narrations past 64 KiB are walked on their own, between the lanes' short ones.
    long = "Ab-" * 30_000
    narrations = ["x ab", long + "1 ba", "B1", long[:-1] + "İ ab", "", long, "1", "a1 bA"] * 3
    rules = [("ba", "Food", "M1"), ("1", "Fuel", "M2"), ("ab", "Food", "M2"), ("", "Ünï", "M1")]
    got = table_data(qc.explain(narrations, rules))
    assert list(zip(got["rule"], got["start"], got["end"], got["matched"])) == [
        explained(n, rules) for n in narrations]


# ---------------------------------------------------------------- lint


def linted(rules):
    """(rule, kind, by) per finding, by the definition."""
    lowered = [p.lower() for p, _, _ in rules]
    out = []
    for j, (p, c, m) in enumerate(rules):
        same = [i for i in range(j) if lowered[i] == lowered[j]]
        inside = [i for i in range(j) if lowered[i] in lowered[j]]
        if same:
            out.append((j, "duplicate" if rules[same[0]][1:] == (c, m) else "conflict", same[0]))
        elif inside:
            out.append((j, "unreachable", inside[0]))
    return out


@settings(max_examples=300, deadline=None)
@given(rule_lists)
# An equal pattern before a shorter one; patterns equal only once lower-cased (Σ, σ; İ, i).
@example([("a", "X", "Y"), ("ab", "X", "Y"), ("AB", "X", "Y")])
@example([("Σ", "A", "B"), ("σ", "A", "B"), ("ς", "A", "B"), ("i", "A", "B"), ("İ", "A", "B")])
def test_lint_matches_model(rules):
    got = qc.lint(rules)
    assert list(zip(got["rule"], got["kind"], got["by"])) == linted(rules)


# Hand-made rule sets, with their messages: each kind, and an empty pattern.
LINT_CASES = [
    ([("upi", "T", "U"), ("zesto", "Food", "Z"), ("ZESTO", "Food", "Z"), ("zesto", "Food", "Y"),
      ("upi/zesto", "F", "Z"), ("", "C", "D"), ("long", "E", "F"), ("", "G", "H")],
     [(2, "duplicate", 1, 'rule 2 repeats rule 1: the same pattern "zesto" (letter case ignored), '
       "category and merchant"),
      (3, "conflict", 1, 'rule 3 never wins: rule 1 has the same pattern "zesto" (letter case '
       'ignored) and gives "Food" / "Z" instead of "Food" / "Y"'),
      (4, "unreachable", 0, 'rule 4 never wins: rule 0\'s pattern "upi" occurs in its pattern '
       '"upi/zesto"'),
      (6, "unreachable", 5, "rule 6 never wins: rule 5's empty pattern matches every narration"),
      (7, "conflict", 5, None)]),
    ([("pay", "A", "B"), ("fuel", "C", "D")], []),
]


@pytest.mark.parametrize("rules,expected", LINT_CASES)
def test_lint_cases(rules, expected):
    table = pa.table({name: [r[k] for r in rules]
                      for k, name in enumerate(("pattern", "category", "merchant"))})
    got = qc.lint(pa.RecordBatchReader.from_batches(table.schema, table.to_batches(2)))
    assert got.schema.field("rule").type == got.schema.field("by").type == pa.int32()
    data = got.to_pydict()
    assert list(zip(data["rule"], data["kind"], data["by"])) == [e[:3] for e in expected]
    for message, (*_, want) in zip(data["message"], expected):
        assert want is None or message == want


# ---------------------------------------------------------------- evaluate


def ratio(a, b):
    return a / b if b else None


def evaluated(narrations, categories, merchants, rules):
    """The three tables of evaluate, counted directly from their definitions."""
    won = [(matches(n, rules) or [None])[0] for n in narrations]
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
    per_category = {key: [] for key in ("category", "support", "predicted", "correct",
                                        "precision", "recall", "f1")}
    for c in sorted(set(support) | set(predicted), key=str.encode):
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
    return per_rule, per_category, summary


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(texts, labels | st.sampled_from(["", None]),
                         merchants | st.sampled_from(["", None])), max_size=25),
       rule_lists, st.sampled_from(["lists", "columns", "table", "records"]))
def test_evaluate_matches_direct_count(rows, rules, form):
    if form == "records":  # the object form: a label is a str, and two empty ones a label
        rows = [(n, c or "", m or "") for n, c, m in rows]
    history = [list(r) for r in zip(*rows)] or [[], [], []]
    # In columns, a null label reads as empty; a row with neither label is left out.
    labelled = [(n, c or "", m or "") for n, c, m in rows if c or m or form == "records"]
    want = evaluated(*([list(r) for r in zip(*labelled)] or [[], [], []]), rules)
    if form == "lists":
        got = qc.evaluate(*history, rules)
    elif form == "columns":
        got = qc.evaluate(pa.array(history[0], pa.string_view()),
                          pa.array(history[1], pa.string()).dictionary_encode(),
                          pa.chunked_array([history[2][:3], history[2][3:]], pa.string()), rules)
    else:  # the examples whole, as derive takes them
        names = ("narration", "category", "merchant")
        schema = pa.schema([(n, pa.string()) for n in names])
        table = (pa.table(dict(zip(names, history)), schema=schema) if form == "table"
                 else [dict(zip(names, r)) for r in rows])
        got = qc.evaluate(table, rules=rules)
    assert isinstance(got, qc.Evaluation)
    assert tuple(map(table_data, got)) == want


# ---------------------------------------------------------------- unmatched


def grouped(narrations, rules, top):
    """(word, count, examples) per group, by the definition; None for the wordless."""
    left = [n for n in narrations if n is not None and not matches(n, rules)]
    held = Counter(w for n in left for w in words(n))
    groups = defaultdict(list)
    for n in left:
        mine = words(n)
        groups[min(mine, key=lambda w: (-held[w], w.encode())) if mine else None].append(n)
    order = sorted(groups, key=lambda w: (-len(groups[w]), w is None, (w or "").encode()))
    return [(w, len(groups[w]), groups[w][:3]) for w in order][:top]


@settings(max_examples=150, deadline=None)
@given(narration_lists, rule_lists, st.one_of(st.integers(0, 6), st.just(2**70)),
       st.sampled_from(["utf8", "dictionary"]), st.data())
def test_unmatched_matches_model(narrations, rules, top, layout, data):
    got = table_data(qc.unmatched(column(narrations, layout, data.draw), rules, top=top))
    assert list(zip(got["word"], got["count"], got["examples"])) == grouped(narrations, rules, top)


# ---------------------------------------------------------------- one form against another


def test_threads_change_nothing():
    # Enough rows for several threads, each counting its own range.
    narrations = [f"UPI/{'ZESTO' if i % 3 else 'KART'}/{i % 97} İ" for i in range(70_000)]
    categories = ["Food" if i % 5 else "Shopping" for i in range(70_000)]
    rules = [["zesto", "Food", "Z"], ["kart", "Shopping", "K"], ["/1", "Misc", "M"]]
    for call in (lambda t: qc.explain(narrations, rules, threads=t),
                 lambda t: qc.evaluate(narrations, categories, ["Z"] * 70_000, rules, threads=t),
                 lambda t: qc.unmatched(narrations, rules[1:], threads=t)):
        assert call(1) == call(4)


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize("call,error,message", [
    (lambda: qc.evaluate(["a", None], ["C", "C"], ["M", "M"], [["a", "C", "M"]]), ValueError,
     "narrations: null in row 1"),
    (lambda: qc.evaluate(["a", "b"], ["C", "C"], ["M"], [["a", "C", "M"]]), ValueError,
     "merchants: 1 rows, but narrations has 2"),
    (lambda: qc.evaluate(["a"], ["C"], ["M"]), TypeError,
     "evaluate() missing required argument: 'rules'"),
    (lambda: qc.evaluate({"narration": ["a"], "category": ["C"], "merchant": ["M"]}, []),
     TypeError, "evaluate() missing required argument: 'rules' (with the history as one "
                "table, pass them as rules=)"),
    (lambda: qc.unmatched(["a"], [], top=-1), ValueError,
     "top: expected a count of at least 0, got -1"),
    (lambda: qc.unmatched(["a"], [], top=2.5), TypeError, "top: expected an int, got 'float'"),
    (lambda: qc.unmatched(["a"], [], top=True), TypeError, "top: expected an int, got 'bool'"),
    (lambda: qc.unmatched(["a"], [], top=-2**70), ValueError,
     "top: expected a count of at least 0, got a large negative number"),
    (lambda: qc.explain(["a"], [["a", None, "M"]]), ValueError, None),
    (lambda: qc.lint({"pattern": ["a", None], "category": ["C", "D"], "merchant": ["M", "N"]}),
     ValueError, "rules: column 'pattern': null in row 1"),
    (lambda: qc.explain(42, []), TypeError, None),
    (lambda: qc.explain({"a": ["x"], "b": ["y"]}, [], column=3), TypeError,
     "column: expected a str or None, got 'int'"),
    (lambda: qc.unmatched(pytest.importorskip("pandas").DataFrame({0: ["x"], 1: ["y"]}), [],
                          column=1), TypeError, "column: expected a str or None, got 'int'"),
    (lambda: qc.lint([], threads=0), ValueError, "threads: expected at least 1, got 0"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message is None or str(raised.value) == message
