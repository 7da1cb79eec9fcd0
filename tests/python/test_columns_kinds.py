"""Results in the caller's kind: the library of the input, and for pandas the input's own
index wherever the result's rows are the input's rows."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
from columns_support import table_data  # noqa: E402

RULES = [["zesto", "Food", "Z"], ["kart", "Shopping", "K"], ["σοφία", "Βιβλία", "S"]]
LOAN = {"mode": "emi", "loanAmount": 1000.0, "months": 3, "interestRate": 12.0}


class Producer:
    """An Arrow producer of no known library."""

    def __init__(self, data):
        self._data = data

    def __arrow_c_stream__(self, requested_schema=None):
        return self._data.__arrow_c_stream__(requested_schema)


def as_kind(kind, data):
    """`data` (a dict of lists) as a table of `kind`, or its one column if it has one."""
    if kind == "python":
        return next(iter(data.values())) if len(data) == 1 else data
    if kind == "polars":
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(data)
        return frame.to_series() if len(data) == 1 else frame
    if kind == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        return duckdb.from_arrow(pa.table(data))
    table = pa.table(data)
    if kind == "pandas":
        frame = table.to_pandas(types_mapper=pd.ArrowDtype)
        return frame.iloc[:, 0] if len(data) == 1 else frame
    if kind == "pyarrow":
        return table.column(0) if len(data) == 1 else table
    return Producer(table)


def result_type(kind):
    if kind == "duckdb":
        return pytest.importorskip("duckdb").DuckDBPyRelation
    if kind == "polars":
        return pytest.importorskip("polars").DataFrame
    from quorvane_columns import _native
    return {"python": dict, "pyarrow": pa.Table, "pandas": pd.DataFrame, "arrow": _native.Table}[kind]


@pytest.mark.parametrize("kind", ["python", "pyarrow", "polars", "pandas", "duckdb", "arrow"])
def test_every_call_answers_in_the_callers_kind(kind):
    narrations = ["UPI ZESTO 1", None, "kart σοφία"]
    out = qc.categorize(as_kind(kind, {"narration": narrations}), RULES)
    rules = qc.derive(*(as_kind(kind, {name: texts}) for name, texts in
                        (("n", ["zesto 1", "kart"]), ("c", ["Food", "Shopping"]), ("m", ["Z", "K"]))))
    loans, schedule = qc.emi(as_kind(kind, {name: [value] for name, value in LOAN.items()}))
    for result in (out, rules, loans, schedule):
        assert isinstance(result, result_type(kind))
    assert table_data(out) == qc.categorize(narrations, RULES)
    assert table_data(rules)["pattern"] == ["zesto", "kart"]
    assert table_data(loans)["emi"] == qc.emi([LOAN])[0]["emi"]
    if kind == "pyarrow":
        assert out.schema.field("category").type == pa.dictionary(pa.int32(), pa.string())
    if kind == "pandas":  # integers stay nullable integers whether or not a row is null
        assert str(out["rule"].dtype) == "Int32" and str(loans["months"].dtype) == "Int64"


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


narrations = st.lists(st.one_of(st.none(), st.sampled_from(["zesto", "KART 2", "σοφία", "atm"])),
                      max_size=8)


@settings(max_examples=60, deadline=None)
@given(data=st.data(), texts=narrations, as_frame=st.booleans())
def test_pandas_results_keep_the_index_and_assign_back(data, texts, as_frame):
    index = data.draw(indexes(len(texts)))
    df = pd.DataFrame({"narration": pd.array(texts, dtype="str"), "amount": range(len(texts))},
                      index=index)
    out = qc.categorize(df[["narration"]] if as_frame else df["narration"], RULES)
    pd.testing.assert_index_equal(out.index, df.index, exact=True)
    assert table_data(out) == qc.categorize(texts, RULES)
    # Assigned by label, as pandas aligns, the columns land where assigning them by
    # position puts them.
    aligned, positional = df.copy(), df.copy()
    aligned[list(out.columns)] = out
    for name in out.columns:
        positional[name] = out[name].array
    pd.testing.assert_frame_equal(aligned, positional)

    loans, schedule = qc.emi(pd.DataFrame([LOAN] * len(texts), index=index))
    pd.testing.assert_index_equal(loans.index, df.index, exact=True)
    assert schedule.index.equals(pd.RangeIndex(3 * len(texts)))


def test_duckdb_results_join_their_input():
    duckdb = pytest.importorskip("duckdb")
    statement = duckdb.sql("SELECT * FROM (VALUES ('zesto 1', 640), (NULL, 20), ('KART', 9)) "
                           "t(narration, amount)")
    out = qc.categorize(statement.select("narration"), RULES)
    joined = duckdb.sql("SELECT amount, category FROM statement POSITIONAL JOIN out")
    assert joined.fetchall() == [(640, "Food"), (20, None), (9, "Shopping")]


@pytest.mark.parametrize("call, argument", [
    (lambda lazy: qc.categorize(lazy, RULES), "narrations"),
    (lambda lazy: qc.categorize(["a"], lazy), "rules"),
    (lambda lazy: qc.derive(["a"], lazy, ["M"]), "categories"),
    (lambda lazy: qc.emi(lazy), "loan_table"),
])
def test_a_lazy_frame_is_refused(call, argument):
    pl = pytest.importorskip("polars")
    with pytest.raises(TypeError) as raised:
        call(pl.LazyFrame({"narration": ["a"]}))
    assert str(raised.value) == (f"{argument}: a polars LazyFrame holds no data until it runs: "
                                 f"collect() it first")
