"""Results in the caller's kind: the library of the input, and for pandas the input's own
index wherever the result's rows are the input's rows."""

import io
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
from columns_support import table_data  # noqa: E402

# Labels out of their texts' order in both columns.
RULES = [["kart", "Shopping", "K"], ["zesto", "Food", "Z"], ["σοφία", "Βιβλία", "S"]]
LOAN = {"mode": "emi", "loanAmount": 1000.0, "months": 3, "interestRate": 12.0}


class Producer:  # of no known library: results stay the native table
    def __init__(self, data):
        self.__arrow_c_stream__ = pa.table(data).__arrow_c_stream__


@pytest.mark.parametrize("library, make, result", [
    ("pyarrow", pa.table, "Table"),
    ("polars", lambda data: __import__("polars").DataFrame(data), "DataFrame"),
    ("pandas", pd.DataFrame, "DataFrame"),
    ("duckdb", lambda data: __import__("duckdb").from_arrow(pa.table(data)), "DuckDBPyRelation"),
    ("quorvane_columns", Producer, "Table"),
])
def test_every_call_answers_in_the_callers_kind(library, make, result):
    pytest.importorskip(library)
    narrations = ["UPI ZESTO 1", None, "kart σοφία"]
    rules = make({name: list(texts) for name, texts in zip(("pattern", "category", "merchant"),
                                                           zip(*RULES))})
    history = [make({"x": texts}) for texts in (["kart"], ["Shopping"], ["K"])]
    outs = [qc.categorize(make({"narration": narrations}), RULES), qc.derive(*history),
            *qc.emi(make({name: [value] for name, value in LOAN.items()})),
            qc.explain(make({"narration": narrations}), RULES), qc.lint(rules),
            *qc.evaluate(*history, RULES), qc.unmatched(make({"narration": narrations}), RULES)]
    # duckdb keeps its relations in duckdb.duckdb (1.x), _duckdb (1.4) or duckdb._relation (2.x)
    assert [(type(out).__module__.split(".")[0].lstrip("_"), type(out).__name__) for out in outs] == [
        (library, result)] * 10
    assert table_data(outs[0]) == qc.categorize(narrations, RULES)



@pytest.mark.parametrize("settings", [
    # duckdb reads a table on several threads and gives its rows as they come, in another
    # order at each read.
    {"threads": "4", "preserve_insertion_order": "false"},
    {"default_order": "'DESC'", "default_null_order": "'NULLS_FIRST'"},
])
def test_duckdb_results_keep_their_order_under_any_setting(settings):
    """A result relation's rows stay the input's (a rule beside its narration) at every
    read, whatever the default connection's settings."""
    duckdb = pytest.importorskip("duckdb")
    duckdb.execute("; ".join(f"SET {name} = {value}" for name, value in settings.items()))
    try:
        statement = duckdb.sql("SELECT i, ['UPI ZESTO ' || i, NULL, 'kart σοφία'][i % 3 + 1] "
                               "AS narration FROM range(400000) r(i) ORDER BY i ASC")
        out = qc.categorize(statement, RULES, column="narration")
        want = qc.categorize([text for _, text in statement.fetchall()], RULES)
        # Each read a projection: duckdb before 1.3 exports a relation once.
        assert all(table_data(out.project("*")) == want for _ in range(3))
    finally:
        duckdb.execute("; ".join(f"RESET {name}" for name in settings))


# Indexes of every sort: repeated labels, text, dates, floats, several levels, a step.
def indexes(n):
    labels = st.lists(st.integers(-2, 2), min_size=n, max_size=n)
    dates = list(pd.date_range("2026-01-30", periods=3, freq="D"))
    return st.one_of(
        labels.map(pd.Index),
        st.lists(st.sampled_from(["a", "b", "é"]), min_size=n, max_size=n).map(pd.Index),
        st.lists(st.sampled_from(dates), min_size=n, max_size=n).map(pd.DatetimeIndex),
        st.lists(st.floats(allow_nan=False), min_size=n, max_size=n).map(pd.Index),
        labels.map(lambda level: pd.MultiIndex.from_arrays([level, [str(x) for x in level]])),
        st.integers(-5, 5).map(lambda start: pd.RangeIndex(start, start + 3 * n, 3)),
    )


@settings(max_examples=60, deadline=None)
@given(data=st.data(), as_frame=st.booleans(),
       texts=st.lists(st.sampled_from([None, "zesto", "KART 2", "σοφία", "atm"]), max_size=8))
def test_pandas_results_keep_the_index_and_assign_back(data, texts, as_frame):
    df = pd.DataFrame({"narration": pd.array(texts, dtype="str"), "amount": range(len(texts))},
                      index=data.draw(indexes(len(texts))))
    out = qc.categorize(df[["narration"]] if as_frame else df["narration"], RULES)
    pd.testing.assert_index_equal(out.index, df.index, exact=True)
    assert table_data(out) == qc.categorize(texts, RULES)
    assert str(out["rule"].dtype) == "Int32"  # with or without a null in it
    # Assigned by label, as pandas aligns, the columns land where position puts them.
    aligned, positional = df.copy(), df.copy()
    aligned[list(out.columns)] = out
    for name in out.columns:
        positional[name] = out[name].array
    pd.testing.assert_frame_equal(aligned, positional)
    # pandas sorts (and groups) a categorical in its categories' order, duckdb reads it as
    # an ENUM of them: that order is the texts' own, whatever the rules' order.
    for name in ("category", "merchant"):
        assert out[name].sort_values().dropna().tolist() == sorted(out[name].dropna().tolist())

    loans, schedule = qc.emi(pd.DataFrame([LOAN] * len(texts), index=df.index))
    pd.testing.assert_index_equal(loans.index, df.index, exact=True)
    assert schedule.index.equals(pd.RangeIndex(3 * len(texts)))
    # explain's rows are the narrations' rows; unmatched's groups are rows of their own.
    why = qc.explain(df, RULES, column="narration")
    pd.testing.assert_index_equal(why.index, df.index, exact=True)
    assert table_data(why) == qc.explain(texts, RULES)
    groups = qc.unmatched(df["narration"], RULES)
    assert groups.index.equals(pd.RangeIndex(len(groups)))


@pytest.mark.parametrize("make", [pd.Index, lambda v: pd.array(v, dtype="string"), pd.Categorical,
                                  lambda v: pd.Index(v, dtype="string[pyarrow]"),
                                  lambda v: pd.Series([float("nan") if t is None else t
                                                       for t in v])])
def test_pandas_indexes_and_arrays_read_missing_values_as_nulls(make):
    texts = ["zesto 1", None, "KART 2"]
    assert table_data(qc.categorize(make(texts), RULES)) == qc.categorize(texts, RULES)
    assert table_data(qc.categorize({"n": make(texts)}, RULES)) == qc.categorize(texts, RULES)


HISTORY = {"narration": ["zesto 1", "kart 2"], "category": ["Food", "Shop"], "merchant": ["Z", "K"]}


@pytest.mark.parametrize("note", [["a", 1], [1j, 2j], [Decimal("1.5"), "x"], "polars Object"])
@pytest.mark.parametrize("call, columns", [
    (lambda f: qc.categorize(f, RULES, column="narration"), HISTORY),
    (lambda f: qc.explain(f, RULES, column="narration"), HISTORY),
    (lambda f: qc.unmatched(f, RULES, column="narration"), HISTORY),
    (lambda f: qc.categorize(["zesto 1", "ATM"], f), {"pattern": ["zesto", "atm"],
                                                      "category": ["Food", "Cash"],
                                                      "merchant": ["Z", "A"]}),
    (qc.derive, HISTORY),
    (lambda f: qc.evaluate(f, rules=RULES).per_category, HISTORY),
    (qc.derive_finish, {"category": ["Food", "Food"], "merchant": ["Z", "Z"],
                        "token": ["zesto", "dinner"], "count": [3, 1]}),
    (lambda f: qc.derive_merge(f, f), {"category": ["Food", "Food"], "merchant": ["Z", "Z"],
                                       "token": ["zesto", "dinner"], "count": [3, 1]}),
    (lambda f: qc.emi(f)[0], {"mode": ["emi", "tenure"], "loanAmount": [1000, 2000],
                              "months": [12, None], "emi": [None, 500],
                              "interestRate": [10.0, 12.0]}),
    (lambda f: qc.emi([LOAN], f)[1], {"loan": [0, 0], "month": [0, 1],
                                       "kind": ["prepay", "rate"], "amount": [100.0, 9.0]}),
])
def test_a_frame_goes_with_the_columns_the_call_reads(call, columns, note):
    """A pandas frame of narrations (column=), rules, examples, counts, loans or events
    goes with the columns the call reads, in the index or not: a note beside them that
    pyarrow cannot convert (texts mixed with numbers, complex numbers) is no concern. Nor
    is a polars column of Python objects, which polars exports as no values of theirs (or
    aborts the process): read, it is refused."""
    if note == "polars Object":
        pl = pytest.importorskip("polars")
        noted = pl.DataFrame(columns).with_columns(pl.Series("note", [object(), 1], dtype=pl.Object))
        assert table_data(call(noted)) == table_data(call(pl.DataFrame(columns)))
        first = list(columns)[0]
        with pytest.raises(TypeError, match=f"column '{first}': a polars Object column holds Python "
                                            f"objects, which polars exports as no values of theirs"):
            call(noted.drop(first).rename({"note": first}))
        return
    noted = pd.DataFrame({**columns, "note": note}, index=["x", "y"])
    assert table_data(call(noted)) == table_data(call(pd.DataFrame(columns)))
    # A groupby leaves its keys in the index: they are columns too.
    assert table_data(call(noted.set_index(list(columns)[:2]))) == table_data(call(noted))


def shared(*columns):  # a frame of one row whose columns share a name
    return pd.DataFrame([["a"] * len(columns)], columns=list(columns), index=[4])


MIXED = ": a column holds texts or numbers, not both"
COUNTS = {"category": ["Food"], "merchant": ["Z"], "token": ["zesto"], "count": [3]}


@pytest.mark.parametrize("call, argument, error, message", [
    # pyarrow exports no such frame (its refusal names neither argument nor column, and
    # selecting the name would have doubled both columns): the engine refuses it by name.
    (lambda f: qc.categorize(f, RULES, column="narration"), shared("narration", "narration"),
     ValueError, "narrations: the table has 2 columns named 'narration'; rename all but one"),
    (lambda f: qc.categorize(["x"], f), shared("pattern", "category", "merchant", "merchant"),
     ValueError, "rules: the table has 2 columns named 'merchant'; rename all but one"),
    (qc.derive, shared("narration", "category", "merchant", "category"), ValueError,
     "examples: the table has 2 columns named 'category'; rename all but one"),
    # An object column of texts and numbers: pyarrow takes the first value's type and
    # refuses the first row of the other kind, again naming neither.
    (lambda s: qc.categorize(s, RULES), pd.Series([None, "a", float("nan"), 3], index=[9, 8, 7, 6]),
     TypeError, "narrations: row 3 is a 'int' where row 1 is a 'str'" + MIXED),
    (lambda f: qc.categorize(["x"], f), pd.DataFrame({"pattern": ["a", "b"], "category": [1.5, "C"],
                                                     "merchant": ["M", "N"]}),
     TypeError, "rules: column 'category': row 1 is a 'str' where row 0 is a 'float'" + MIXED),
    (lambda s: qc.derive(["a b", "c d"], s, ["M", "N"]), pd.Series(["Food", Decimal(2)]),
     TypeError, "categories: row 1 is a 'Decimal' where row 0 is a 'str'" + MIXED),
    (lambda f: qc.derive_merge(COUNTS, f), pd.DataFrame({"category": ["Food"] * 2, "merchant": ["Z"] * 2,
                                                         "token": ["a", 7], "count": [1, 2]}),
     TypeError, "counts 1: column 'token': row 1 is a 'int' where row 0 is a 'str'" + MIXED),
    (lambda f: qc.emi(f), pd.DataFrame({"mode": ["emi", "emi"], "loanAmount": [1e5, "x"]}),
     TypeError, "loans: column 'loanAmount': row 1 is a 'str' where row 0 is a 'float'" + MIXED),
    (lambda f: qc.emi([LOAN], f), {"loan": [0, 0], "month": [0, 1], "amount": [1.0, 2.0],
                                   "kind": pd.Series(["prepay", 2])},
     TypeError, "events: column 'kind': row 1 is a 'int' where row 0 is a 'str'" + MIXED),
    # Counts kept in a CSV file, read back with read_csv's default missing values.
    (lambda f: qc.derive_merge(COUNTS, f), pd.read_csv(io.StringIO("category,merchant,token,count\n"
                                                                    "Food,Z,zesto,1\nFood,Z,null,2\n")),
     ValueError, "counts 1: column 'token': null in row 1 (pandas' read_csv reads the tokens 'nan' and "
     "'null' as missing, and labels such as 'NA' or 'N/A' too: read counts with keep_default_na=False)"),
    (lambda f: qc.categorize(["nan bakery"], f), pd.read_csv(io.StringIO("pattern,category,merchant\n"
                                                                        "zesto,Food,Z\nnan,Bakery,N\n")),
     ValueError, "rules: column 'pattern': null in row 1 (pandas' read_csv reads the patterns 'nan' and "
     "'null' as missing, and labels such as 'NA' or 'N/A' too: read rules with keep_default_na=False)"),
    (lambda f: qc.derive(f.narration, f.category, f.merchant),
     pd.read_csv(io.StringIO("narration,category,merchant\nzesto 1,Food,Z\nNone,Fees,\n")), ValueError,
     "narrations: null in row 1 (pandas' read_csv reads narrations such as 'null' or 'None' as missing, "
     "and labels such as 'NA' or 'N/A' too: read examples with keep_default_na=False)"),
    # A str with a lone surrogate has no UTF-8 form, which pyarrow says without naming the row.
    (lambda f: qc.categorize(["x"], f), pd.DataFrame({"pattern": ["x", "a\udcff"], "category": "C",
                                                     "merchant": "M"}, dtype=object),
     ValueError, "rules: column 'pattern': row 1: UnicodeEncodeError: 'utf-8' codec can't encode character "
     "'\\udcff' in position 1: surrogates not allowed"),
    # Months are texts only as a loan's start, not as narrations (even in a column 'start').
    (lambda f: qc.categorize(f, RULES),
     pd.DataFrame({"start": pd.period_range("2026-01", periods=2, freq="M")}), TypeError,
     "narrations: expected a column of strings, got extension<pandas.period>"),
    # Columns of a mapping are paired by position, which their indexes may deny.
    (qc.emi, {"mode": pd.Series(["emi"] * 2), "loanAmount": pd.Series([1e5, 2e5], index=[1, 0])},
     ValueError, "loan_table: column 'loanAmount': its index differs from that of column 'mode', "
     "and the rows are paired by position: align them first (or reset_index(drop=True) each)"),
    # A label of another type beside the loans' own ids hides no column 'loan'.
    (lambda f: qc.emi(f, {"loan": [1], "month": [0], "kind": ["prepay"], "amount": [1]}),
     pd.DataFrame({"loan": [1, 2], 0: ["emi"] * 2}), ValueError, "loans: the table has a column "
     "'loan' of its own, but an event's loan is the loan's row number (from 0), as the results' "
     "loan column gives it: rename the column, and give the events row numbers (a join on it "
     "gives them)"),
])
def test_pandas_refusals_name_the_argument_and_column(call, argument, error, message):
    with pytest.raises(error) as raised:
        call(argument)
    assert str(raised.value) == message


@pytest.mark.parametrize("call", [qc.derive, qc.derive_partial,
                                  lambda n, c, m: qc.evaluate(n, c, m, RULES)])
def test_columns_that_may_pair_other_rows_are_refused(call):
    """Columns read together are paired by position: where their indexes say otherwise, or
    duckdb may give each relation's rows in another order, the call is refused rather
    than pairing rows that pandas would keep apart."""
    df = pd.DataFrame({"n": ["zesto 1", "kart 2"], "c": ["Food", "Shop"], "m": ["Z", "K"]},
                      index=[7, 3])
    call(df["n"], df["c"], df["m"])  # one frame's columns
    call(df["n"], df["c"].copy(), pd.Series(["Z", "K"], index=pd.Index([7, 3])))  # equal indexes
    with pytest.raises(ValueError, match=r"^merchants: its index differs from that of narrations, "):
        call(df["n"], df["c"], df["m"].sort_index())
    duckdb = pytest.importorskip("duckdb")
    for keeps in (True, False):
        con = duckdb.connect(config={"preserve_insertion_order": keeps})
        table = con.sql("SELECT * FROM (VALUES ('zesto 1', 'Food', 'Z'), ('kart 2', 'Shop', 'K')) "
                        "v(n, c, m)")
        columns = [table.select(name) for name in "ncm"]
        if keeps:
            call(*columns)
            continue
        with pytest.raises(ValueError, match=r"^narrations: duckdb relations read together are "
                                             r"paired row by row, but its connection has "
                                             r"preserve_insertion_order = false"):
            call(*columns)


@pytest.mark.parametrize("call, argument", [
    (lambda lazy: qc.categorize(lazy, RULES), "narrations"),
    (lambda lazy: qc.categorize(["a"], lazy), "rules"),
    (lambda lazy: qc.derive(["a"], lazy, ["M"]), "categories"),
    (lambda lazy: qc.emi(lazy), "loan_table"),
    (lambda lazy: qc.explain(lazy, RULES), "narrations"),
    (lambda lazy: qc.lint(lazy), "rules"),
    (lambda lazy: qc.evaluate(lazy, rules=RULES), "narrations"),
    (lambda lazy: qc.unmatched(["a"], lazy), "rules"),
])
@pytest.mark.parametrize("lazy", ["polars", "dask", "dataset", "scanner"])
def test_a_lazy_frame_is_refused(call, argument, lazy):
    if lazy == "polars":
        query = pytest.importorskip("polars").LazyFrame({"narration": ["a"]})
        reason = "a polars LazyFrame holds no data until it runs: collect() it first"
    elif lazy in ("dataset", "scanner"):
        query = pytest.importorskip("pyarrow.dataset").dataset(pa.table({"narration": ["a"]}))
        query, what, how = ((query, "Dataset", "scanner().to_reader()") if lazy == "dataset"
                            else (query.scanner(), "Scanner", "to_reader()"))
        reason = (f"a pyarrow {what} holds no data until it is scanned: pass its to_table(), "
                  f"or its {how} to read it batch by batch")
    else:  # read as a sequence, it would be computed item by item, or fail inside Dask
        dd = pytest.importorskip("dask.dataframe")
        query = dd.from_pandas(pd.DataFrame({"narration": ["a"]}), npartitions=1)
        reason = ("a Dask collection holds no data until it is computed: use "
                  "quorvane_columns.dask, or compute() it first")
    with pytest.raises(TypeError) as raised:
        call(query)
    assert str(raised.value) == f"{argument}: {reason}"
