"""quorvane_columns.emi: every accepted loan equals compute_emi on the same request, every
rejected one carries compute_emi's text, over every input kind."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import table_data  # noqa: E402

FIELDS = ["mode", "loanAmount", "emi", "months", "interestRate", "inflationRate", "start"]
TOTALS = ["nominalPaid", "realPaid", "nominalPrincipal", "nominalInterest", "realPrincipal",
          "realInterest"]
SCHEDULE = ["index", "year", "month", "emi", "principal", "interest", "outstanding", "realEmi",
            "realPrincipal", "realInterest", "remainingEmi", "realRemainingEmi"]

amount = st.one_of(st.none(), st.floats(1, 5e6), st.sampled_from([0.0, -5.0, 1e300]))
loan = st.fixed_dictionaries({
    "mode": st.sampled_from(["emi", "tenure", "loanAmount"]),
    "loanAmount": amount,
    "emi": amount,
    "months": st.one_of(st.none(), st.integers(0, 700)),
    "interestRate": st.one_of(st.floats(0, 40), st.just(0.0)),
    "inflationRate": st.one_of(st.none(), st.floats(0, 12)),
    "start": st.one_of(st.none(), st.sampled_from(["2027-01", "1999-12", "0-7", "2027-13", "x"])),
})


def expected(request):
    """compute_emi's result, or its error text."""
    try:
        return quorvane.compute_emi({k: v for k, v in request.items() if v is not None})
    except ValueError as error:
        return str(error)


def as_kind(loans, kind):
    columns = {name: [loan[name] for loan in loans] for name in FIELDS}
    types = {"mode": pa.string(), "start": pa.large_string(), "months": pa.int32()}
    if kind == "records":
        return loans
    if kind == "dict":
        return columns
    table = pa.table({name: pa.array(values, types.get(name, pa.float64()))
                      for name, values in columns.items()})
    if kind == "pyarrow":
        return table
    if kind == "polars":
        return pytest.importorskip("polars").from_arrow(table)
    pytest.importorskip("pandas")
    return table.to_pandas()


@pytest.mark.parametrize("kind", ["records", "dict", "pyarrow", "polars", "pandas"])
@settings(max_examples=40, deadline=None)
@given(loans=st.lists(loan, max_size=6))
def test_equals_compute_emi(kind, loans):
    table, schedule = qc.emi(as_kind(loans, kind))
    rows, months = table_data(table), table_data(schedule)
    assert rows["loan"] == list(range(len(loans)))
    for i, request in enumerate(loans):
        want = expected(request)
        if isinstance(want, str):
            assert rows["error"][i] == want
            assert rows["emi"][i] is None
            continue
        assert rows["error"][i] is None
        got = [rows[name][i] for name in ["loanAmount", "emi", "months"] + TOTALS]
        assert got == [want[n] for n in ("loanAmount", "emi", "months")] + [
            want["totals"][n] for n in TOTALS]
        mine = [{name: months[name][j] for name in SCHEDULE}
                for j, owner in enumerate(months["loan"]) if owner == i]
        assert mine == [{name: row.get(name) for name in SCHEDULE} for row in want["schedule"]]


@pytest.mark.parametrize("table,message", [
    ({"mode": [None], "interestRate": [1.0]}, "invalid request: missing field `mode`"),
    ({"mode": ["emi"], "loanAmount": [1.0], "months": [2]},
     "invalid request: missing field `interestRate`"),
    ({"mode": ["emi"], "loanAmount": [1.0], "months": [1.5], "interestRate": [1.0]},
     "invalid request: months must be a whole number from 0 to 4294967295"),
])
def test_rows_that_are_no_request(table, message):
    loans, schedule = qc.emi(table)
    assert loans["error"] == [message] and schedule["loan"] == []


@pytest.mark.parametrize("table,error,message", [
    (pa.table({"mode": [1]}), TypeError,
     "mode: expected a column of strings (utf8, large_utf8 or string_view), got Arrow format 'l'"),
    (pa.table({"mode": ["emi"], "interestRate": ["high"]}), TypeError,
     "interestRate: expected a column of numbers, got Arrow format 'u'"),
    ({"mode": ["emi", "emi"], "interestRate": [1.0]}, ValueError,
     "interestRate: 1 rows, but the other columns have 2"),
    (pa.array([1.0]), TypeError, "loans: expected a table, got Arrow format 'g'"),
])
def test_bad_tables(table, error, message):
    with pytest.raises(error) as raised:
        qc.emi(table)
    assert str(raised.value) == message
