"""quorvane_columns.categorize: equal to categorize_transactions row by row, over every
input kind, string layout and form of rules; malformed and mistyped inputs; producers
released once; the interpreter lock released while the engine runs; the native table
pickled; a broken invariant raised as PanicException."""

import concurrent.futures
import pickle
import struct
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import CASTS_TO_VIEWS, LAYOUTS, CountingStream, column, table_data  # noqa: E402
from quorvane_columns import _native  # noqa: E402


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


def rules_in(form, rules, draw):
    """Rules (dicts) in one of the forms the door takes."""
    names = ("pattern", "category", "merchant")
    columns = {name: [r[name] for r in rules] for name in names}
    plain = {"dicts": rules, "request": {"rules": rules}, "dict of lists": columns,
             "arrays": [tuple(r[name] for name in names) for r in rules]}
    if form in plain:
        return plain[form]
    # A table whose columns come in another order, each in a drawn layout; or the same
    # as a one-pass stream of record batches.
    table = pa.table({name: column(columns[name], draw(st.sampled_from(["utf8", "dictionary"])), draw)
                      for name in reversed(names)})
    return table if form == "table" else pa.RecordBatchReader.from_batches(table.schema, table.to_batches(2))


# Texts from a small alphabet, so that patterns often occur; non-ASCII letters change
# length when lowered, and "Σ" takes the final-sigma rule.
alphabet = st.sampled_from(list("abcAB /-1ÄäİΣσ"))
texts = st.text(alphabet, max_size=12)
rule = st.fixed_dictionaries({"pattern": st.text(alphabet, max_size=3),
                              "category": st.sampled_from(["Food", "Fuel", "Ünï", "", "Groceries",
                                                           "Groceries\x00", "Groceries & home"]),
                              "merchant": st.sampled_from(["M1", "M2"])})
ONE_RULE = [["a", "C", "M"]]


@pytest.mark.parametrize("layout", LAYOUTS)
@settings(max_examples=40, deadline=None)
@given(narrations=st.lists(st.one_of(st.none(), texts), max_size=30),
       rules=st.lists(rule, max_size=8), data=st.data(),
       form=st.sampled_from(["dicts", "request", "arrays", "dict of lists", "table", "stream"]),
       threads=st.sampled_from([None, 1, 3]))
def test_equals_existing_module(layout, narrations, rules, data, form, threads):
    got = qc.categorize(column(narrations, layout, data.draw), rules_in(form, rules, data.draw),
                        threads=threads)
    assert rows_of(got) == expected(narrations, rules)
    if isinstance(got, pa.Table):  # labels as dictionaries of the rules' texts, sorted
        for name in ("category", "merchant"):
            assert got[name].combine_chunks().dictionary.to_pylist() == sorted({r[name] for r in rules})


def test_a_column_of_a_table_and_the_result_kinds():
    statement = pa.table({"amount": [1, 2], "narration": ["UPI/zesto", "atm"]})
    rules = [["zesto", "Food", "Z"]]
    assert qc.categorize(statement, rules, column="narration")["rule"].to_pylist() == [0, None]
    # Plain columns give plain lists; Arrow's, labels as a dictionary (other kinds:
    # test_columns_kinds.py).
    assert qc.categorize({"narration": ["zesto", "b"]}, rules) == {
        "rule": [0, None], "category": ["Food", None], "merchant": ["Z", None]}
    category = qc.categorize(pa.array(["a"]), rules).schema.field("category")
    assert category.type == pa.dictionary(pa.int32(), pa.string())
    pl = pytest.importorskip("polars")
    assert isinstance(qc.categorize(pl.Series(["a"]), rules), pl.DataFrame)


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
    threads = __import__("numpy").int64(3)  # any int, numpy's too
    assert rows_of(qc.categorize(column, rules, threads=threads)) == expected(texts, rules)


def test_result_columns_past_two_mib_equal_smaller_ones():
    # 600,000 rows make result columns of 2.4 MB, which are laid out on huge pages and,
    # once freed, kept for a later call's columns: never while a result still holds them.
    texts = pa.array(["upi zesto 1", None, "ATM 7", "kart"] * 150_000)
    others, shifted = (pa.array(["kart", "atm", None] * 200_000), pa.array(["atm", None, "x"] * 200_000))
    rules = [["zesto", "Food", "Z"], ["atm", "Cash", "A"]]
    for call in (qc.categorize, qc.explain):
        halves = [pa.table(call(texts.slice(start, 300_000), rules)) for start in (0, 300_000)]
        whole = pa.table(call(texts, rules))
        other = pa.table(call(others, rules))
        for _ in range(3):
            pa.table(call(shifted, rules))  # freed at once, its columns kept
        assert whole.equals(pa.concat_tables(halves)) and pa.table(call(texts, rules)).equals(whole)
        assert other.equals(pa.table(call(others.slice(0, 600_000), rules)))


def test_native_tables_export_and_pickle():
    loans, schedule = _native.emi([{"mode": "emi", "loanAmount": 900, "months": 2, "interestRate": 9,
                                    "start": "2027-12"}, {"mode": "tenure"}])
    # unmatched's table holds a list column
    tables = [_native.categorize(["xa", "b"], ONE_RULE), loans, schedule,
              _native.derive_partial(["zesto 1"], ["F"], ["Z"]), _native.derive([], [], []),
              _native.unmatched(["UPI/zesto/1", "upi kart", "x"], [])]
    for native in tables:
        first, second = pa.table(native), pa.table(native)
        back = pickle.loads(pickle.dumps(native))
        assert type(back) is _native.Table and pa.table(back).equals(first) and first.equals(second)
        assert pa.RecordBatchReader.from_stream(back).read_all().equals(first)
    flat = tables[1].__reduce__()[1][0]
    # The table's struct array opens with its length (2), null count and offset, each
    # 8 bytes: a forged length must be refused, not multiplied past int64 by validation.
    huge = flat.replace(struct.pack("<qqq", 2, 0, 0), struct.pack("<qqq", 2**62, 0, 0), 1)
    # Names are C strings: one holding a NUL could not be written back as it was read.
    name = pa.table(loans).column_names[0].encode()
    size = struct.pack("<q", len(name))
    nul = flat.replace(size + name, size + b"\0" + name[1:], 1)
    assert huge != flat and nul != flat
    for broken in (b"", flat[:8], flat[:-1], flat + b"x", flat.replace(b"+s", b"+l", 1), huge, nul):
        with pytest.raises(ValueError, match="^not the bytes of a Table: "):
            _native.Table(broken)


# ---------------------------------------------------------------- bad input

from_buffers = pa.Array.from_buffers
# pyarrow builds string views of given data buffers from 19 on
VIEWS = int(pa.__version__.split(".")[0]) >= 19


def offsets(values, width=pa.int32()):
    return pa.py_buffer(pa.array(values, width).buffers()[1])


VIEW_OUTSIDE = pa.py_buffer(
    (40).to_bytes(4, "little") + b"abcd" + (0).to_bytes(4, "little") + (0).to_bytes(4, "little"))

MALFORMED = "narrations: malformed Arrow array: "
# (array, what validation says of it)
MALFORMED_ARRAYS = [
    # offsets out of order; in a large_utf8 column, behind a valid first row
    (from_buffers(pa.string(), 2, [None, offsets([0, 3, 1]), pa.py_buffer(b"abc")]),
     "[2] Expected element size >= 0"),
    (from_buffers(pa.large_string(), 3, [None, offsets([0, 1, 3, 2], pa.int64()), pa.py_buffer(b"abc")]),
     "[3] Expected element size >= 0"),
    (pa.DictionaryArray.from_arrays(pa.array([0, 2], pa.int8()), pa.array(["a", "b"]), safe=False),
     "[1] Expected dictionary index >= 0 and < 2 but found value 2"),
] + [  # a view pointing outside its data buffer; a dictionary's view outside its buffer
    (array, "the string view of row 0 points outside its buffers") for array in ([
        from_buffers(pa.string_view(), 1, [None, VIEW_OUTSIDE, pa.py_buffer(b"abcd" * 4)]),
        pa.DictionaryArray.from_arrays(pa.array([0], pa.uint16()), from_buffers(
            pa.string_view(), 1, [None, VIEW_OUTSIDE, pa.py_buffer(b"ab")]))] if VIEWS else [])]


def utf8_column(rows, layout):
    """Raw byte rows (None: null) as a string column that pyarrow does not check."""
    ends = [0]
    for row in rows:
        ends.append(ends[-1] + len(row or b""))
    valid = pa.array([row is not None for row in rows], pa.bool_()).buffers()[1]
    kind = {"large_string": pa.large_string(), "binary": pa.binary(),
            "large_binary": pa.large_binary()}.get(layout, pa.string())
    width = pa.int64() if layout.startswith("large") else pa.int32()
    strings = from_buffers(kind, len(rows), [valid, offsets(ends, width),
                                             pa.py_buffer(b"".join(row or b"" for row in rows))])
    if layout == "dictionary":
        return pa.DictionaryArray.from_arrays(pa.array(range(len(rows)), pa.int32()), strings)
    return strings.cast(pa.string_view()) if layout == "string_view" else strings


# Bytes that make and break UTF-8: ASCII, continuation bytes, the lead bytes at the edges of
# the overlong, surrogate and past-U+10FFFF ranges, and bytes that never occur.
UTF8_BYTES = st.sampled_from([0x61, 0x80, 0x9F, 0xA0, 0xBF, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
                              0xF0, 0xF4, 0xF5, 0xFF])


@given(rows=st.lists(st.one_of(st.none(), st.lists(UTF8_BYTES, max_size=8).map(bytes),
                               st.text(max_size=4).map(str.encode)), max_size=8),
       layout=st.sampled_from(["string", "large_string", "dictionary", "binary", "large_binary"]
                              + ["string_view"] * CASTS_TO_VIEWS))
@settings(max_examples=300, deadline=None)
def test_rows_that_are_not_utf8_are_refused_by_row(rows, layout):
    """Exactly the rows Python's own decoder refuses are refused, the first one named, whether
    or not the rows around it complete its broken characters; binary columns are read as
    text when they hold UTF-8."""
    try:
        column = utf8_column(rows, layout)
    except pa.ArrowInvalid:  # casting to string views checks the text first
        return
    # A row is valid UTF-8 when it survives decoding that drops what does not decode.
    bad = next((i for i, row in enumerate(rows)
                if row is not None and row.decode("utf-8", "ignore").encode() != row), None)
    labels = ["C"] * len(rows)
    # categorize leaves the check to the engine, derive (which takes no nulls) checks the
    # column as it reads it
    calls = [lambda: qc.categorize(column, ONE_RULE)]
    if None not in rows:
        calls.append(lambda: qc.derive(column, labels, labels))
    if bad is None:
        results = [call() for call in calls]
        texts = [None if row is None else row.decode() for row in rows]
        assert table_data(results[0]) == qc.categorize(texts, ONE_RULE)
        return
    for call in calls:
        with pytest.raises(ValueError, match=f"^narrations: row {bad} is not valid UTF-8 text$"):
            call()


BROKEN = utf8_column([b"fine", b"caf\xe9 shop"], "string")
LABELS = pa.array(["C", "C"])


# categorize's and derive's plain columns: test_rows_that_are_not_utf8_are_refused_by_row
@pytest.mark.parametrize("call,message", [
    (lambda: qc.categorize(pa.table({"n": BROKEN}), ONE_RULE, column="n"), "narrations: column 'n': row 1"),
    (lambda: qc.explain(BROKEN, ONE_RULE), "narrations: row 1"),
    (lambda: qc.unmatched(BROKEN, ONE_RULE), "narrations: row 1"),
    (lambda: qc.evaluate(BROKEN, LABELS, LABELS, ONE_RULE), "narrations: row 1"),
    (lambda: qc.evaluate(LABELS, BROKEN, LABELS, ONE_RULE), "categories: row 1"),
    (lambda: qc.lint({"pattern": BROKEN, "category": LABELS, "merchant": LABELS}), "rules: column 'pattern': row 1"),
    (lambda: qc.categorize(["x"], {"pattern": LABELS, "category": LABELS, "merchant": BROKEN}),
     "rules: column 'merchant': row 1"),
])
def test_every_door_refuses_text_that_is_not_utf8(call, message):
    with pytest.raises(ValueError, match=f"^{message} is not valid UTF-8 text$"):
        call()


BY_NAME = {"column": "narration"}


@pytest.mark.parametrize("narrations,rules,options,error,message", [
    # narrations that are no column of strings
    (pa.array([1, 2]), ONE_RULE, {}, TypeError, "narrations: expected a column of strings, got int64"),
    (pa.array([1]).dictionary_encode(), ONE_RULE, {}, TypeError,
     "narrations: expected a column of strings, got dictionary<values=int64, indices=int32>"),
    (pa.array([[1]]), ONE_RULE, {}, TypeError, "narrations: expected a column of strings, got list<item: int64>"),
    (pa.table({"a": ["x"], "b": ["y"]}), ONE_RULE, {}, TypeError,
     "narrations: expected one column, got a table of 2 columns ('a', 'b'); choose one with column="),
    (pa.table({"a": [1]}), ONE_RULE, {}, TypeError, "narrations: expected a column of strings, got int64"),
    ([b"bytes"], ONE_RULE, {}, TypeError, "narrations: item 0 is a 'bytes', not a str"),
    (["x", "a\ud800"], ONE_RULE, {}, ValueError, "narrations: item 1: UnicodeEncodeError: 'utf-8' codec can't "
                                                "encode character '\\ud800' in position 1: surrogates not allowed"),
    (42, ONE_RULE, {}, TypeError, "narrations: expected a column of strings (an Arrow column or table, or a "
                                  "sequence of str), got 'int'"),
    # The (table, name) pair of earlier releases is a sequence like any other now.
    ((pa.table({"n": ["x"]}), "n"), ONE_RULE, {}, TypeError, "narrations: item 0 is a 'Table', not a str"),
    # a column chosen by name
    (pa.table({"n": ["x"]}), [], BY_NAME, ValueError, "narrations: no column 'narration' (the columns are 'n')"),
    (pa.array(["x"]), [], BY_NAME, TypeError, "narrations: column='narration' needs a table, got a column of string"),
    (pa.Table.from_arrays([pa.array(["x"])] * 2, names=["narration"] * 2), [], BY_NAME, ValueError,
     "narrations: the table has 2 columns named 'narration'; rename all but one"),
    (pa.table({"narration": [1]}), [], BY_NAME, TypeError,
     "narrations: column 'narration': expected a column of strings, got int64"),
    # rules
    (["x"], pa.table({"pattern": ["a", None], "category": ["C", "D"], "merchant": ["M", "N"]}), {},
     ValueError, "rules: column 'pattern': null in row 1"),
    (["x"], {"pattern": ["a"], "category": ["C"]}, {}, ValueError,
     "rules: no column 'merchant' (the columns are 'pattern', 'category')"),
    (["x"], pa.table({}), {}, ValueError, "rules: no column 'pattern' (the table has no columns)"),
    (["x"], {"pattern": ["a", "b"], "category": ["C"], "merchant": ["M"]}, {}, ValueError,
     "rules: column 'category': 1 rows, but column 'pattern' has 2"),
    (["x"], pa.Table.from_arrays([pa.array(["a"])] * 4, names=["pattern", "category", "merchant", "merchant"]),
     {}, ValueError, "rules: the table has 2 columns named 'merchant'; rename all but one"),
    (["x"], pa.table({"pattern": [1], "category": ["C"], "merchant": ["M"]}), {}, TypeError,
     "rules: column 'pattern': expected a column of strings, got int64"),
    (["x"], [["a", "C", "M"], {"pattern": "b", "category": "C"}], {}, ValueError,
     "rules[1]: missing field `merchant`"),
    (["x"], [["a", "C", 3]], {}, ValueError,
     "rules[0][\"merchant\"]: unexpected type: 'int' object cannot be converted to 'PyString'"),
    (["x"], [["a", "C"]], {}, ValueError, "rules[0]: invalid length 2, expected struct CategoryRule with 3 elements"),
    (["x"], pa.array(["a"]), {}, TypeError, "rules: expected a table, got a column of string"),
    (["x"], "zesto", {}, TypeError, "rules: expected a table (an Arrow table or stream, or a mapping of "
                                    "columns) or a sequence of records, got 'str'"),
    # threads
    (["a"], [], {"threads": 0}, ValueError, "threads: expected at least 1, got 0"),
    (["a"], [], {"threads": 1.0}, TypeError, "threads: expected an int or None, got 'float'"),
    (["a"], [], {"threads": True}, TypeError, "threads: expected an int or None, got 'bool'"),
] + [(array, ONE_RULE, {}, ValueError, MALFORMED + why) for array, why in MALFORMED_ARRAYS])
def test_wrong_arguments(narrations, rules, options, error, message):
    with pytest.raises(error) as raised:
        qc.categorize(narrations, rules, **options)
    assert str(raised.value) == message


# ---------------------------------------------------------------- producers' lifetime


@pytest.mark.parametrize("fail_at", [None, 1, 3])
def test_every_producer_structure_is_released_once(fail_at):
    producer = CountingStream(pa.chunked_array([["a", "b"], ["c"], ["xa"]]), fail_at=fail_at)
    if fail_at is None:
        assert qc.categorize(producer, ONE_RULE).to_pydict()["rule"] == [0, None, None, 0]
    else:
        with pytest.raises(ValueError, match="the counting producer failed on purpose"):
            qc.categorize(producer, ONE_RULE)
    assert producer.stream_releases == 1 and producer.array_releases == producer.arrays_given


@pytest.mark.parametrize("exception", [
    KeyError("no more statements"), KeyboardInterrupt(), RuntimeError(), OSError("disk gone"),
    ValueError("a message\nof two lines"),
])
def test_an_exception_in_get_next_comes_back_as_raised(exception):
    def batches():
        yield pa.record_batch({"narration": ["a"]})
        raise exception

    reader = pa.RecordBatchReader.from_batches(pa.schema({"narration": pa.string()}), batches())
    with pytest.raises(type(exception)) as raised:
        qc.categorize(reader, ONE_RULE)
    assert type(raised.value) is type(exception) and raised.value.args == exception.args


# ---------------------------------------------------------------- the interpreter lock


def test_other_threads_run_while_the_engine_runs():
    narrations = pa.array(["pos purchase at store number %d in some town" % i
                           for i in range(200_000)])
    rules = [["zz%dq" % i, "C", "M"] for i in range(300)]
    progress, during, done = [], [], threading.Event()

    def count():
        while not done.is_set():
            progress.append(None)

    worker = threading.Thread(target=count)
    worker.start()
    try:
        for _ in range(3):
            before = len(progress)
            qc.categorize(narrations, rules)
            during.append(len(progress) - before)
    finally:
        done.set()
        worker.join()
    # Holding the lock, the engine would leave the counter no turn during the call.
    assert max(during) > 1000


def in_threads(f, items):
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        return list(pool.map(f, items))


def counted(narrations, run, batches=8):
    """The rules of one counter given `narrations` (as their own labels) in `batches`, each
    added, and the rules so far asked for, by `run`."""
    counter = _native.DeriveCounter()
    run(lambda b: (counter.add(*[narrations[b::batches]] * 3, threads=2), counter.finish()),
        range(batches))
    return counter.finish().to_pydict()


@pytest.mark.parametrize("call", [
    lambda n, r, run: qc.categorize(n, r, threads=2).to_pydict(),
    lambda n, r, run: qc.explain(n, r, threads=2).to_pydict(),
    lambda n, r, run: qc.unmatched(n, r, threads=2).to_pydict(),
    lambda n, r, run: qc.derive(n, n, n, threads=2).to_pydict(),
    lambda n, r, run: counted(n.to_pylist(), run),
])
def test_several_threads_calling_at_once_on_shared_inputs_agree(call):
    narrations = pa.array(["upi %d shop%d" % (i, i % 97) for i in range(20_000)])
    rules = [["shop%d" % i, "C", "M"] for i in range(0, 97, 3)]
    alone = call(narrations, rules, lambda f, items: list(map(f, items)))
    assert in_threads(lambda _: call(narrations, rules, in_threads), range(4)) == [alone] * 4


@pytest.mark.fault_injection
def test_internal_fault_raises_the_panic_exception(capfd):
    with pytest.raises(BaseException) as info:
        qc.categorize(["x"], [["quorvane: internal fault", "C", "M"]])
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__bases__ == (BaseException,)
    assert info.value.args == ("injected internal fault",)
    assert "quorvane_columns: internal fault" in capfd.readouterr().err
    assert qc.categorize(["x"], [["x", "C", "M"]])["rule"] == [0]
