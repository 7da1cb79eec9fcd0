"""quorvane_columns.emi: every loan row is compute_emi on the same loan given as a
request dict: an accepted one has its result's fields and schedule, a rejected one its
error text exactly, whether the reading or the engine rejects it; over every input kind
and column type."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import column, table_data  # noqa: E402

FIELDS = ["mode", "loanAmount", "emi", "months", "interestRate", "inflationRate", "start"]
TOTALS = ["nominalPaid", "realPaid", "nominalPrincipal", "nominalInterest", "realPrincipal",
          "realInterest"]
SUMMARY = ["baselineInterest", "interestSaved", "monthsSaved", "apr", "effectiveRate"]
SCHEDULE = ["index", "year", "month", "emi", "principal", "interest", "outstanding", "realEmi",
            "realPrincipal", "realInterest", "remainingEmi", "realRemainingEmi"]

amount = st.one_of(st.none(), st.floats(1, 5e6), st.sampled_from([0.0, -5.0, 1e300, float("nan")]))
# Whole and broken tenures: negative, past 32 bits, past 64 bits, fractions, not finite.
months = st.one_of(st.none(), st.integers(0, 700), st.sampled_from([-1, 2**32, 2**40, 2**70]),
                   st.sampled_from([12.0, 1.5, -2.0, 1e20, float("inf"), float("nan")]))
loan = st.fixed_dictionaries({
    "mode": st.one_of(st.none(), st.sampled_from(["emi", "tenure", "loanAmount", "Emi"])),
    "loanAmount": amount,
    "emi": amount,
    "months": months,
    "interestRate": st.one_of(st.none(), st.floats(0, 40), st.just(-1.0)),
    "inflationRate": st.one_of(st.none(), st.floats(0, 12)),
    "start": st.one_of(st.none(), st.sampled_from(["2027-01", "1999-12", "0-7", "2027-13", "x"])),
})


def expected(request):
    """compute_emi's result, or its error text."""
    try:
        return quorvane.compute_emi(request)
    except ValueError as error:
        return str(error)


def as_kind(loans, kind, order, draw):
    """The loans in the caller's kind, columns in `order`, each of a drawn Arrow type."""
    columns = {name: [loan[name] for loan in loans] for name in order}
    if kind == "records":
        return loans
    if kind == "dict":
        return columns
    arrays = {}
    for name, values in columns.items():
        if name in ("mode", "start"):
            # pandas turns a dictionary into a Categorical, which holds no null word.
            layouts = ["utf8", "string_view"] + (["dictionary"] if kind != "pandas" else [])
            arrays[name] = column(values, draw(st.sampled_from(layouts)), draw)
            continue
        present = [v for v in values if v is not None]
        types = [t for t in (pa.int8(), pa.uint16(), pa.int64(), pa.uint64())
                 if all(isinstance(v, int) and _fits(v, t) for v in present)]
        types += [pa.float64()] + ([pa.float32()] if name != "months" else [])
        type_ = draw(st.sampled_from(types))
        if pa.types.is_floating(type_):
            values = [None if v is None else float(v) for v in values]
        arrays[name] = pa.nulls(len(values)) if not present and draw(st.booleans()) else \
            pa.array(values, type_)
    table = pa.table(arrays)
    if kind == "polars":
        return pytest.importorskip("polars").from_arrow(table)
    if kind == "pandas":
        pytest.importorskip("pandas")
        return table.to_pandas()
    return table


def _fits(value, type_):
    signed = pa.types.is_signed_integer(type_)
    return -signed * 2 ** (type_.bit_width - 1) <= value < 2 ** (type_.bit_width - signed)


def requests_seen(source, kind):
    """The request dict each row stands for: the row's values under the columns' names,
    in the columns' order, nulls left out; a float column's whole months as an int."""
    if kind == "records":
        return source
    if kind == "dict":
        rows = [dict(zip(source, values)) for values in zip(*source.values())]
        float_months = any(isinstance(v, float) for v in source["months"])
    else:
        table = pa.table(source)
        rows = table.to_pylist()
        float_months = pa.types.is_floating(table.schema.field("months").type)

    def whole(name, value):
        return float_months and name == "months" and isinstance(value, float) and value.is_integer()
    return [{k: int(v) if whole(k, v) else v for k, v in row.items() if v is not None} for row in rows]


@pytest.mark.parametrize("kind", ["records", "dict", "pyarrow", "polars", "pandas"])
@settings(max_examples=30, deadline=None)
@given(loans=st.lists(loan, min_size=1, max_size=6), order=st.permutations(FIELDS),
       data=st.data(), threads=st.sampled_from([None, 1, 2]), events=st.booleans())
def test_equals_compute_emi(kind, loans, order, data, threads, events):
    # With an empty events table each loan is its own baseline: nothing saved.
    source = as_kind(loans, kind, order, data.draw)
    table, schedule = qc.emi(source, [] if events else None, threads=threads)
    rows, months = table_data(table), table_data(schedule)
    assert rows["loan"] == list(range(len(loans)))
    assert list(rows) == ["loan"] + FIELDS + TOTALS + (SUMMARY if events else []) + ["error"]
    assert list(months) == ["loan"] + SCHEDULE + (["rate", "prepayment"] if events else [])
    if events:
        assert rows["baselineInterest"] == rows["nominalInterest"]
        assert rows["apr"] == rows["effectiveRate"] == [None] * len(loans)
        accepted = [i for i, error in enumerate(rows["error"]) if error is None]
        assert [rows[name][i] for i in accepted for name in ("interestSaved", "monthsSaved")] == \
            [0, 0] * len(accepted)
        assert months["prepayment"] == [0] * len(months["loan"])
        assert months["rate"] == [rows["interestRate"][owner] for owner in months["loan"]]
    for i, request in enumerate(requests_seen(source, kind)):
        want = expected(request)
        if isinstance(want, str):
            assert rows["error"][i] == want
            assert all(rows[name][i] is None for name in FIELDS + TOTALS)
            continue
        assert rows["error"][i] is None
        assert [rows[name][i] for name in FIELDS] == [want.get(name) for name in FIELDS]
        assert [rows[name][i] for name in TOTALS] == [want["totals"][name] for name in TOTALS]
        mine = [{name: months[name][j] for name in SCHEDULE}
                for j, owner in enumerate(months["loan"]) if owner == i]
        assert mine == [{name: row.get(name) for name in SCHEDULE} for row in want["schedule"]]


# A column of numbers that holds text, as Arrow or as a list. (What every table reader
# refuses, such as text columns of numbers or columns of unequal length, is checked on
# the rules table in test_columns_categorize.py.)
@pytest.mark.parametrize("table,message", [
    (pa.table({"mode": ["emi"], "interestRate": ["high"]}),
     "loans: column 'interestRate': expected a column of numbers, got string"),
    ({"mode": ["emi"], "interestRate": ["high"]}, "loans: column 'interestRate': item 0 is a 'str', not a number"),
])
def test_bad_tables(table, message):
    with pytest.raises(TypeError) as raised:
        qc.emi(table)
    assert str(raised.value) == message
