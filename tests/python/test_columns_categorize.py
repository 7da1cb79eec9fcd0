"""quorvane_columns.categorize: equal to categorize_transactions row by row, over every
input kind and string layout; malformed and mistyped columns; producers released once;
the interpreter lock released while the engine runs."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import LAYOUTS, CountingStream, column, table_data  # noqa: E402


def expected(narrations, rules):
    """What the existing module gives, row by row; nulls stay unmatched."""
    out = quorvane.categorize_transactions(
        {"data": [{"narration": n or ""} for n in narrations], "rules": rules})["data"]
    return [None if n is None or o is None else (o["category"], o["merchant"])
            for n, o in zip(narrations, out)]


def rows_of(result):
    """(category, merchant) or None per row, from a result of any kind."""
    data = table_data(result)
    return [None if c is None else (c, m) for c, m in zip(data["category"], data["merchant"])]


# Texts from a small alphabet, so that patterns often occur; non-ASCII letters change
# length when lowered, and "Σ" takes the final-sigma rule.
alphabet = st.sampled_from(list("abcAB /-1ÄäİΣσ"))
texts = st.text(alphabet, max_size=12)
rule = st.tuples(st.text(alphabet, max_size=3), st.sampled_from(["Food", "Fuel", "Ünï"]),
                 st.sampled_from(["M1", "M2"]))


@pytest.mark.parametrize("layout", LAYOUTS)
@settings(max_examples=40, deadline=None)
@given(narrations=st.lists(st.one_of(st.none(), texts), max_size=30),
       rules=st.lists(rule, max_size=8))
def test_equals_existing_module(layout, narrations, rules):
    rule_dicts = [{"pattern": p, "category": c, "merchant": m} for p, c, m in rules]
    got = qc.categorize(column(narrations, layout), rule_dicts)
    assert rows_of(got) == expected(narrations, rule_dicts)


def test_long_chunked_column_equals_existing_module():
    # Rows across batches, chunk boundaries (one chunk of a single row) and the threads'
    # ranges, with nulls and narrations that need the Unicode lower-casing.
    import random

    rng = random.Random(5)
    words = ["UPI/", "zesto", "ÄPFEL", "ΟΔΟΣ", "atm", "x"]
    texts = [None if rng.random() < 0.1 else " ".join(rng.choices(words, k=rng.randint(0, 4)))
             for _ in range(40_000)]
    column = pa.chunked_array([texts[:1500], texts[1500:1501], texts[1501:37_000], texts[37_000:]],
                              pa.string())
    rules = [{"pattern": p, "category": p, "merchant": "M"}
             for p in ["zesto", "äpfel", "οδος", "upi/", "atm"]]
    assert rows_of(qc.categorize(column, rules)) == expected(texts, rules)


@pytest.mark.parametrize("form", ["dicts", "arrays", "pyarrow", "polars"])
def test_rules_in_every_form(form):
    rules = [("zesto", "Food", "Zesto"), ("upi/", "Transfers", "UPI"), ("", "Other", "Any")]
    if form == "dicts":
        given_rules = [{"pattern": p, "category": c, "merchant": m} for p, c, m in rules]
    elif form == "arrays":
        given_rules = [list(r) for r in rules]
    elif form == "pyarrow":
        given_rules = pa.table({"merchant": [r[2] for r in rules], "pattern": [r[0] for r in rules],
                                "category": [r[1] for r in rules]})
    else:
        pl = pytest.importorskip("polars")
        given_rules = pl.DataFrame({"pattern": [r[0] for r in rules],
                                    "category": [r[1] for r in rules],
                                    "merchant": [r[2] for r in rules]})
    out = qc.categorize(pa.array(["UPI/ZESTO", "upi/x", "atm"]), given_rules)
    assert out.column("rule").to_pylist() == [0, 1, 2]
    assert out.column("category").to_pylist() == ["Food", "Transfers", "Other"]


def test_result_kinds_follow_the_caller():
    rules = [["a", "C", "M"]]
    assert qc.categorize(["a", "b"], rules) == {"rule": [0, None], "category": ["C", None],
                                                "merchant": ["M", None]}
    table = qc.categorize(pa.array(["a"]), rules)
    assert isinstance(table, pa.Table)
    assert table.schema.field("category").type == pa.dictionary(pa.int32(), pa.string())
    pl = pytest.importorskip("polars")
    assert isinstance(qc.categorize(pl.Series(["a"]), rules), pl.DataFrame)
    pd = pytest.importorskip("pandas")
    # Integers stay nullable integers whether or not a row has no rule.
    for narrations in (["a"], ["a", "b"]):
        frame = qc.categorize(pd.Series(narrations, dtype="str"), rules)
        assert isinstance(frame, pd.DataFrame) and str(frame["rule"].dtype) == "Int32"


def test_native_result_exports_many_times():
    from quorvane_columns import _native
    native = _native.categorize(["xa", "b"], ["a"], ["C"], ["M"])
    first, second = pa.table(native), pa.table(native)
    del native
    assert first.equals(second) and first.column("rule").to_pylist() == [0, None]
    assert pa.RecordBatchReader.from_stream(pa.table(first)).read_all().equals(first)


# ---------------------------------------------------------------- bad input


def from_buffers(type_, length, buffers, offset=0):
    return pa.Array.from_buffers(type_, length, buffers, offset=offset)


def offsets(*values):
    return pa.py_buffer(pa.array(values, pa.int32()).buffers()[1])


VIEW_OUTSIDE = pa.py_buffer(
    (40).to_bytes(4, "little") + b"abcd" + (0).to_bytes(4, "little") + (0).to_bytes(4, "little"))

MALFORMED = [
    # offsets out of order
    (pa.string(), 2, [None, offsets(0, 3, 1), pa.py_buffer(b"abc")]),
    # offsets out of order in a large_utf8 column, behind a valid first row
    (pa.large_string(), 3, [None, pa.py_buffer(pa.array([0, 1, 3, 2], pa.int64()).buffers()[1]),
                            pa.py_buffer(b"abc")]),
    # a view pointing outside its data buffer
    (pa.string_view(), 1, [None, VIEW_OUTSIDE, pa.py_buffer(b"abcd" * 4)]),
]


@pytest.mark.parametrize("type_,length,buffers", MALFORMED)
def test_malformed_arrays_are_value_errors(type_, length, buffers):
    array = from_buffers(type_, length, buffers)
    with pytest.raises(ValueError, match="narrations: malformed Arrow array"):
        qc.categorize(array, [["a", "C", "M"]])


def test_wrong_buffer_count_is_a_value_error():
    good = pa.array(["ab"])
    capsules = good.__arrow_c_array__()
    from columns_support import ArrowArray, _capsule_pointer
    ArrowArray.from_address(_capsule_pointer(capsules[1], b"arrow_array")).n_buffers = 2

    class Producer:
        def __arrow_c_array__(self, requested_schema=None):
            return capsules

    with pytest.raises(ValueError, match="malformed Arrow array"):
        qc.categorize(Producer(), [["a", "C", "M"]])


@pytest.mark.parametrize("value,message", [
    (pa.array([1, 2]), "expected a column of strings (utf8, large_utf8 or string_view), got Arrow format 'l'"),
    (pa.table({"a": ["x"], "b": ["y"]}), "expected one column, got a table of 2 columns"),
    ([b"bytes"], "item 0 is a 'bytes', not a str"),
    (42, "expected an Arrow column or table, or a sequence of str, got 'int'"),
])
def test_wrong_kinds_are_type_errors(value, message):
    with pytest.raises(TypeError) as raised:
        qc.categorize(value, [["a", "C", "M"]])
    assert str(raised.value) == "narrations: " + message


def test_rules_with_a_null_name_their_column_and_row():
    rules = pa.table({"pattern": ["a", None], "category": ["C", "D"], "merchant": ["M", "N"]})
    with pytest.raises(ValueError, match=r"^pattern: null in row 1$"):
        qc.categorize(["a"], rules)


# ---------------------------------------------------------------- producers' lifetime


@pytest.mark.parametrize("fail_at", [None, 1, 3])
def test_every_producer_structure_is_released_once(fail_at):
    data = pa.chunked_array([["a", "b"], ["c"], ["xa"]])
    producer = CountingStream(data, fail_at=fail_at)
    if fail_at is None:
        out = qc.categorize(producer, [["a", "C", "M"]])
        assert out.to_pydict()["rule"] == [0, None, None, 0]
    else:
        with pytest.raises(ValueError, match="the counting producer failed on purpose"):
            qc.categorize(producer, [["a", "C", "M"]])
    assert producer.stream_releases == 1
    assert producer.array_releases == producer.arrays_given


def test_an_exception_in_get_next_comes_back_as_raised():
    schema = pa.schema([("narration", pa.string())])

    def batches():
        yield pa.record_batch([pa.array(["a"])], schema=schema)
        raise KeyError("no more statements")

    reader = pa.RecordBatchReader.from_batches(schema, batches())
    with pytest.raises(KeyError, match="no more statements"):
        qc.categorize(reader, [["a", "C", "M"]])


# ---------------------------------------------------------------- the interpreter lock


def test_other_threads_run_while_the_engine_runs():
    narrations = pa.array(["pos purchase at store number %d in some town" % i
                           for i in range(200_000)])
    rules = [["zz%dq" % i, "C", "M"] for i in range(300)]
    progress = []
    done = threading.Event()

    def count():
        while not done.is_set():
            progress.append(None)

    worker = threading.Thread(target=count)
    worker.start()
    try:
        during = []
        for _ in range(3):
            before = len(progress)
            qc.categorize(narrations, rules)
            during.append(len(progress) - before)
    finally:
        done.set()
        worker.join()
    # Holding the lock, the engine would leave the counter no turn during the call.
    assert max(during) > 1000
