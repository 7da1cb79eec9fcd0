"""quorvane_columns.derive: the same rules in the same order as derive_rules, over every
input kind and string layout; nulls named by column and row."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import LAYOUTS, column, table_data  # noqa: E402


def rules_of(result):
    data = table_data(result)
    return list(zip(data["pattern"], data["category"], data["merchant"]))


words = st.sampled_from(["zesto", "ZESTO", "kart", "upi", "fuel", "ÄRGER", "σοφία", "ab", "4471"])
narration = st.lists(words, max_size=5).map(" ".join)
example = st.tuples(narration, st.sampled_from(["Food", "Fuel", "Ä"]), st.sampled_from(["M1", "M2"]))


@pytest.mark.parametrize("layout", [lay for lay in LAYOUTS if lay != "table"])
@settings(max_examples=30, deadline=None)
@given(examples=st.lists(example, max_size=25))
def test_equals_existing_module(layout, examples):
    narrations = [e[0] for e in examples]
    categories = [e[1] for e in examples]
    merchants = [e[2] for e in examples]
    want = quorvane.derive_rules({"data": [
        {"narration": n, "category": c, "merchant": m} for n, c, m in examples]})["rules"]
    got = qc.derive(column(narrations, layout), column(categories, layout),
                    column(merchants, layout))
    assert rules_of(got) == [(r["pattern"], r["category"], r["merchant"]) for r in want]


def test_derived_rules_feed_categorisation():
    narrations = pa.array(["UPI/ZESTOBITES/1", "zestobites 2", "POS KARTVILLE"])
    rules = qc.derive(narrations, pa.array(["Food", "Food", "Shop"]),
                      pa.array(["Zesto", "Zesto", "Kart"]))
    assert isinstance(rules, pa.Table)
    out = qc.categorize(narrations, rules)
    assert out.column("category").to_pylist() == ["Food", "Food", "Shop"]


@pytest.mark.parametrize("which,message", [
    (0, "narrations: null in row 2"),
    (1, "categories: null in row 2"),
    (2, "merchants: null in row 2"),
])
def test_a_null_names_its_column_and_first_row(which, message):
    columns = [pa.array(["a", "b", "c", "d"]) for _ in range(3)]
    values = ["a", "b", None, None]
    columns[which] = pa.array(values)
    with pytest.raises(ValueError) as raised:
        qc.derive(*columns)
    assert str(raised.value) == message


def test_columns_of_different_lengths():
    with pytest.raises(ValueError, match="^merchants: 1 rows, but narrations has 2$"):
        qc.derive(["a", "b"], ["c", "d"], ["m"])


def test_split_over_threads_gives_the_same_rules():
    # Enough examples for the derivation to count ranges on separate threads and merge
    # them; tokens and groups straddle the ranges, and the sequential request form is
    # the reference.
    import random
    rng = random.Random(7)
    vocabulary = ["zesto", "kart", "fuelx", "pharma", "upi", "Ärger", "σοφία", "metro"]
    examples = []
    for i in range(120_000):
        group = rng.randrange(40)
        words = rng.sample(vocabulary, 2) + [f"shop{group}", str(rng.randrange(10**6))]
        examples.append((" ".join(words), f"C{group % 7}", f"M{group}"))
    want = quorvane.derive_rules({"data": [
        {"narration": n, "category": c, "merchant": m} for n, c, m in examples]})["rules"]
    got = qc.derive(*(pa.array([e[k] for e in examples]) for k in range(3)))
    assert rules_of(got) == [(r["pattern"], r["category"], r["merchant"]) for r in want]


@pytest.mark.parametrize("kind", ["pyarrow", "polars"])
def test_derivation_in_three_steps_over_frames(kind):
    frame = pa.table({"narration": ["UPI/ZESTO/1", "zesto 2", "POS KART", "kart zesto"],
                      "category": ["Food", "Food", "Shop", "Shop"],
                      "merchant": ["Z", "Z", "K", "K"]})
    if kind == "polars":
        frame = pytest.importorskip("polars").from_arrow(frame)
    halves = [frame.slice(0, 2), frame.slice(2, 2)]
    partials = [qc.derive_partial(h["narration"], h["category"], h["merchant"]) for h in halves]
    rules = qc.derive_finish(qc.derive_merge(*partials))
    want = qc.derive(frame["narration"], frame["category"], frame["merchant"])
    assert table_data(rules) == table_data(want)
    counts = table_data(qc.derive_merge(*partials))
    assert list(zip(counts["category"], counts["token"], counts["count"])) == [
        ("Food", "upi", 1), ("Food", "zesto", 2),
        ("Shop", "kart", 2), ("Shop", "pos", 1), ("Shop", "zesto", 1)]
