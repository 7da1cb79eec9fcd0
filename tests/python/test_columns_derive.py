"""quorvane_columns.derive: the same rules in the same order as derive_rules, over every
input kind and string layout; nulls named by column and row."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc
from quorvane_columns._native import DeriveCounter

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
@given(examples=st.lists(example, max_size=25), data=st.data(), threads=st.sampled_from([None, 1, 2]))
def test_equals_existing_module(layout, examples, data, threads):
    want = quorvane.derive_rules({"data": [
        {"narration": n, "category": c, "merchant": m} for n, c, m in examples]})["rules"]
    want = [(r["pattern"], r["category"], r["merchant"]) for r in want]
    got = qc.derive(*(column([e[k] for e in examples], layout, data.draw) for k in range(3)),
                    threads=threads)
    assert rules_of(got) == want
    # The same examples counted batch by batch, cut anywhere.
    cuts = sorted(data.draw(st.lists(st.integers(0, len(examples)), max_size=3)))
    counter = DeriveCounter()
    for lo, hi in zip([0] + cuts, cuts + [len(examples)]):
        counter.add(*(column([e[k] for e in examples[lo:hi]], layout, data.draw)
                      for k in range(3)), threads=threads)
    assert rules_of(counter.finish()) == want


@pytest.mark.parametrize("kind", ["pyarrow", "polars"])
def test_rules_and_labels_round_trip(kind):
    # Derived rules feed categorisation, whose dictionary-encoded labels feed derivation.
    narrations = pa.array(["UPI/ZESTOBITES/1", "zestobites 2", "POS KARTVILLE"])
    if kind == "polars":
        narrations = pytest.importorskip("polars").from_arrow(narrations)
    rules = qc.derive(narrations, ["Food", "Food", "Shop"], ["Zesto", "Zesto", "Kart"])
    out = qc.categorize(narrations, rules)
    assert table_data(out)["category"] == ["Food", "Food", "Shop"]
    assert table_data(qc.derive(narrations, out["category"], out["merchant"])) == table_data(rules)
    examples = pa.table({"narration": pa.array(narrations), "category": out["category"],
                         "merchant": out["merchant"]})
    assert table_data(qc.derive(examples)) == table_data(rules)


@pytest.mark.parametrize("which,values,message", [
    (0, pa.array(["a", "b", None, None]), "narrations: null in row 2"),
    (1, pa.array(["a", "b", None, None]).dictionary_encode(), "categories: null in row 2"),
    (2, pa.nulls(4), "merchants: null in row 0"),
])
def test_a_null_names_its_column_and_first_row(which, values, message):
    columns = [pa.array(["a", "b", "c", "d"]) for _ in range(3)]
    columns[which] = values
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
    want = [(r["pattern"], r["category"], r["merchant"]) for r in want]
    assert rules_of(qc.derive(*(pa.array([e[k] for e in examples]) for k in range(3)))) == want
    # Batches large enough for each to be counted while the one before is added, and a
    # small one after them; on one thread, each added at once. Either way a batch is
    # counted into the memory of one before it.
    for threads in (1, 2):
        counter = DeriveCounter()
        for lo, hi in [(0, 50_000), (50_000, 110_000), (110_000, 120_000)]:
            counter.add(*(pa.array([e[k] for e in examples[lo:hi]]) for k in range(3)),
                        threads=threads)
        assert rules_of(counter.finish()) == want


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


COUNT = {"category": ["F"], "merchant": ["M"], "token": ["abc"]}


@pytest.mark.parametrize("counts,message", [
    (dict(COUNT, count=[-1]),
     "counts: column 'count': row 0: OverflowError: out of range integral type conversion attempted"),
    (dict(COUNT, count=[1.5]),
     "counts: column 'count': row 0: TypeError: 'float' object cannot be interpreted as an integer"),
    (dict(COUNT, count=[2**32]), "counts: the counts add up to more than 4294967295 examples"),
    ({"category": ["F"], "merchant": ["M"], "count": [1]},
     "counts: no column 'token' (the columns are 'category', 'merchant', 'count')"),
    ([dict(zip(COUNT, ["F", "M", "abc"]))], "counts[0]: missing field `count`"),
])
def test_wrong_counts(counts, message):
    with pytest.raises(ValueError) as raised:
        qc.derive_finish(counts)
    assert str(raised.value) == message


def test_examples_given_by_halves():
    with pytest.raises(TypeError, match="^examples: expected categories and merchants beside"):
        qc.derive(["a"], ["F"])
