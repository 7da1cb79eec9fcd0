"""quorvane_columns.derive: the same rules in the same order as derive_rules, over every
input kind and string layout; nulls named by column and row."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane_columns as qc
from quorvane_columns._kinds import without_index
from quorvane_columns._native import DeriveCounter

pa = pytest.importorskip("pyarrow")
from columns_support import (LAYOUTS, column, module_rules, narration, rules_of,  # noqa: E402
                             table_data)

# A null label is a blank cell of a CSV file: it reads as empty, and in columns a row whose
# labels are both empty has none and is left out, as the command line leaves it out.
example = st.tuples(narration, st.sampled_from(["Food", "Fuel", "Ä", "", None]),
                    st.sampled_from(["M1", "M2", "", None]))


@pytest.mark.parametrize("layout", [lay for lay in LAYOUTS if lay != "table"])
@settings(max_examples=30, deadline=None)
@given(examples=st.lists(example, max_size=25), data=st.data(), threads=st.sampled_from([None, 1, 2]))
def test_equals_existing_module(layout, examples, data, threads):
    want = module_rules(examples)
    got = qc.derive(*(column([e[k] for e in examples], layout, data.draw) for k in range(3)),
                    threads=threads)
    assert rules_of(got) == want
    # The same examples counted batch by batch, cut anywhere.
    cuts = sorted(data.draw(st.lists(st.integers(0, len(examples)), max_size=3)))
    counter = DeriveCounter()
    for lo, hi in zip([0] + cuts, cuts + [len(examples)]):
        # As the door hands columns over (a pandas Series exports itself only from 3.0 on).
        counter.add(*(without_index(column([e[k] for e in examples[lo:hi]], layout, data.draw))
                      for k in range(3)), threads=threads)
    assert rules_of(counter.finish()) == want


@pytest.mark.parametrize("kind", ["pyarrow", "polars"])
def test_frames_round_trip_and_count_in_parts(kind):
    frame = pa.table({"narration": ["UPI/ZESTOBITES/1 pay", "zestobites 2", "POS KARTVILLE pay"],
                      "category": ["Food", "Food", "Shop"], "merchant": ["Z", "Z", "K"]})
    if kind == "polars":
        frame = pytest.importorskip("polars").from_arrow(frame)
    columns = [frame[name] for name in ("narration", "category", "merchant")]
    derived = qc.derive(*columns)
    rules = table_data(derived)
    # Derived rules feed categorisation, whose dictionary-encoded labels feed derivation.
    out = qc.categorize(columns[0], derived)
    assert table_data(out)["category"] == ["Food", "Food", "Shop"]
    assert table_data(qc.derive(columns[0], out["category"], out["merchant"])) == rules
    # Counted in parts, merged (a token in two groups, a count in both parts), finished.
    partials = [qc.derive_partial(*(c[lo:hi] for c in columns)) for lo, hi in ((0, 1), (1, 3))]
    counts = table_data(qc.derive_merge(*partials))
    assert list(zip(counts["category"], counts["token"], counts["count"])) == [
        ("Food", "pay", 1), ("Food", "upi", 1), ("Food", "zestobites", 2),
        ("Shop", "kartville", 1), ("Shop", "pay", 1), ("Shop", "pos", 1)]
    assert table_data(qc.derive_finish(qc.derive_merge(*partials))) == rules
    # Counts of more than 2**32 in all, as a year of months may hold: each token's are fewer.
    big = {"category": ["F"] * 2, "merchant": ["M"] * 2, "token": ["abc", "xyz"], "count": [2**31 + 1] * 2}
    assert qc.derive_finish(big) == {"pattern": ["abc"], "category": ["F"], "merchant": ["M"]}


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
    want = module_rules(examples)
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


@pytest.mark.parametrize("reader", ["pandas", "polars", "pyarrow"])
def test_blank_labels_of_a_csv_file_read_as_the_command_line_reads_them(reader, tmp_path):
    """Readers give a blank cell as a null or an empty text, and a column of blank cells
    as the null type (pandas: float): every reader gives the answer of the command line,
    which reads a blank label as empty and leaves out a history row with neither."""
    (tmp_path / "rules.csv").write_text("pattern,category,merchant\nzesto,Food,\nsalary,,\n")
    (tmp_path / "history.csv").write_text(
        "narration,category,merchant\nUPI ZESTO 1,Food,\nSALARY NOV,Income,\nATM cash,,\n")
    read_csv = pytest.importorskip({"pyarrow": "pyarrow.csv"}.get(reader, reader)).read_csv
    rules, history = read_csv(tmp_path / "rules.csv"), read_csv(tmp_path / "history.csv")
    narrations = ["upi zesto 2", "salary", "x"]
    assert table_data(qc.categorize(narrations, rules)) == table_data(qc.categorize(
        narrations, [["zesto", "Food", ""], ["salary", "", ""]]))
    labelled = [["UPI ZESTO 1", "SALARY NOV"], ["Food", "Income"], ["", ""]]
    columns = [history[name] for name in ("narration", "category", "merchant")]
    assert table_data(qc.derive(*columns)) == table_data(qc.derive(*labelled))
    assert table_data(qc.derive(history)) == table_data(qc.derive(*labelled))
    assert ([table_data(t) for t in qc.evaluate(*columns, rules)]
            == [table_data(t) for t in qc.evaluate(*labelled, rules)])


ABCD = pa.array(["a", "b", "c", "d"])
COUNT = {"category": ["F"], "merchant": ["M"], "token": ["abc"]}


@pytest.mark.parametrize("call,error,message", [
    # examples: a null narration is named by its first row; three columns of one length
    (lambda: qc.derive(pa.array(["a", "b", None, None]), ABCD, ABCD), ValueError, "narrations: null in row 2"),
    (lambda: qc.derive(["a", "b"], ["c", "d"], ["m"]), ValueError, "merchants: 1 rows, but narrations has 2"),
    (lambda: qc.derive(pa.table({"narration": ["a"], "category": ["c"]}), ["c"], ["m"]), TypeError,
     "narrations: expected one column, got a table of 2 columns ('narration', 'category'); "
     "pass the table alone, without categories and merchants, or one column of it"),
    (lambda: qc.derive(["a"], ["F"]), TypeError,
     "examples: expected categories and merchants beside the narrations, or one table"),
    # counts
    (lambda: qc.derive_finish(dict(COUNT, count=[-1])), ValueError,
     "counts: column 'count': row 0: OverflowError: out of range integral type conversion attempted"),
    (lambda: qc.derive_finish(dict(COUNT, count=[1.5])), ValueError,
     "counts: column 'count': row 0: TypeError: 'float' object cannot be interpreted as an integer"),
    (lambda: qc.derive_finish(dict(COUNT, count=[2**32 - 1])), ValueError,
     "counts: column 'count': row 0: 4294967295 is more examples than derivation counts (at most 4294967294)"),
    (lambda: qc.derive_finish({"category": ["F", "G"], "merchant": ["M", "M"], "token": ["abc", "abc"],
                               "count": [2**31, 2**31]}), ValueError,
     'counts: token "abc" is held by more examples than derivation counts (at most 4294967294)'),
    # a token that derive_partial never gives: a blank cell, or columns swapped by a rename
    (lambda: qc.derive_merge(dict(COUNT, token=[""], count=[1])), ValueError,
     "counts 0: column 'token': row 0: \"\" is no token (a word of at least 3 letters or digits, in lower "
     "case, as derive_partial gives it)"),
    (lambda: qc.derive_finish(dict(COUNT, merchant=["abc"], token=["Zesto Bites"], count=[1])), ValueError,
     "counts: column 'token': row 0: \"Zesto Bites\" is no token (a word of at least 3 letters or digits, "
     "in lower case, as derive_partial gives it)"),
    (lambda: qc.derive_finish({"category": ["F"], "merchant": ["M"], "count": [1]}), ValueError,
     "counts: no column 'token' (the columns are 'category', 'merchant', 'count')"),
    (lambda: qc.derive_finish([dict(zip(COUNT, ["F", "M", "abc"]))]), ValueError,
     "counts[0]: missing field `count`"),
    # tables listed where one is taken (not read as a list of rows)
    (lambda: qc.derive_merge([pa.table(dict(COUNT, count=[1]))] * 2), TypeError,
     "counts 0: a list of tables, where one table is taken: pass each as an argument, derive_merge(*tables)"),
    (lambda: qc.derive_finish([dict(COUNT, count=[1])]), TypeError, "counts: a list of tables, where one "
     "table is taken: add them up first, derive_finish(derive_merge(*tables))"),
])
def test_wrong_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
