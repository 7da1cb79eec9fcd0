"""quorvane_columns.emi: every loan row is compute_emi on the same loan given as a
request dict (an accepted one has its result's fields and schedule, a rejected one its
error text exactly, whether the reading or the engine rejects it), over every input kind
and column type. Loans with events and fees: the schedule against a plain-Python model of
the event rules, hand-worked schedules for each kind of event, each refusal, and the
annual percentage rate against bisection and a published example. (The fuzz target
checks the invariants of random loans with random events.)"""

import datetime
import math
from decimal import Decimal

import pytest
from hypothesis import example, given, reject, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
from columns_support import column, table_data  # noqa: E402
from test_emi import amortising, instalment, months_to_repay, round_half_up  # noqa: E402

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
        # Money as SQL keeps it: whole amounts as decimals, read as the nearest double.
        if all(isinstance(v, int) and abs(v) < 10 ** 7 for v in present):
            types += [pa.decimal128(12, 2)] + ([pa.decimal64(9, 0), pa.decimal32(8, 1)]
                                               if hasattr(pa, "decimal64") else [])  # pyarrow 18
        type_ = draw(st.sampled_from(types))
        as_type = float if pa.types.is_floating(type_) else \
            Decimal if pa.types.is_decimal(type_) else None
        values = [v if v is None or as_type is None else as_type(v) for v in values]
        # A column without a number may come as a CSV file's column of blank cells: of the
        # null type (pyarrow), or of strings (polars, duckdb).
        if not present and draw(st.booleans()):
            type_ = draw(st.sampled_from([pa.null(), pa.string()]))
        arrays[name] = pa.array(values, type_)
        # Dictionary-encoded numbers (pandas' `category`, which holds no null or NaN word);
        # polars has no such type.
        encodable = kind == "pyarrow" or (kind == "pandas" and bool(present) and not any(
            isinstance(v, float) and math.isnan(v) for v in present))
        plain = pa.types.is_decimal(type_) or pa.types.is_string(type_)
        if encodable and not plain and draw(st.booleans()):
            arrays[name] = arrays[name].dictionary_encode()
    table = pa.table(arrays)
    if kind == "polars":
        pl = pytest.importorskip("polars")
        try:
            frame = pl.from_arrow(table)
        except (pl.exceptions.ComputeError, pa.ArrowInvalid, pa.ArrowNotImplementedError):
            reject()  # a column that older polars (or pyarrow) cannot build a frame of
        # polars 1.25 (at least) reads 32- and 64-bit decimals as 128-bit ones: other numbers
        if any(frame[name].to_list() != table[name].to_pylist() for name, a in arrays.items()
               if pa.types.is_decimal(a.type)):
            reject()
        return frame
    if kind == "pandas":
        pytest.importorskip("pandas")
        try:
            return table.to_pandas()
        except pa.ArrowNotImplementedError:
            reject()  # 32- and 64-bit decimals, which pyarrow 18 and 19 convert to no pandas type
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
        rows = [{k: float(v) if isinstance(v, Decimal) else v for k, v in row.items()}
                for row in table.to_pylist()]
        months = table.schema.field("months").type
        months = months.value_type if pa.types.is_dictionary(months) else months
        float_months = pa.types.is_floating(months) or pa.types.is_decimal(months)

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
        assert all(rows["interestSaved"][i] == rows["monthsSaved"][i] == 0
                   for i, error in enumerate(rows["error"]) if error is None)
        assert months["prepayment"] == [0] * len(months["loan"])
        assert months["rate"] == [rows["interestRate"][owner] for owner in months["loan"]]
    for i, request in enumerate(requests_seen(source, kind)):
        try:
            want = quorvane.compute_emi(request)
        except ValueError as error:  # its text, and no result
            assert rows["error"][i] == str(error)
            assert all(rows[name][i] is None for name in FIELDS + TOTALS)
            continue
        assert rows["error"][i] is None
        assert [rows[name][i] for name in FIELDS] == [want.get(name) for name in FIELDS]
        assert [rows[name][i] for name in TOTALS] == [want["totals"][name] for name in TOTALS]
        mine = [{name: months[name][j] for name in SCHEDULE}
                for j, owner in enumerate(months["loan"]) if owner == i]
        assert mine == [{name: row.get(name) for name in SCHEDULE} for row in want["schedule"]]


# MARK: events and fees


def run(loans, events=(), fees=None):
    """Each loan's answer (its rows, rates, prepayments and table row, or its error text)."""
    rows = [dict(loan, fees=fees) if fees is not None else loan for loan in loans]
    table, schedule = (table_data(t) for t in qc.emi(rows, list(events)))

    def answer(i):
        mine = [j for j, owner in enumerate(schedule["loan"]) if owner == i]
        return table["error"][i] or {
            "rows": [tuple(schedule[k][j] for k in ("emi", "principal", "interest", "outstanding"))
                     for j in mine],
            "rates": [schedule["rate"][j] for j in mine],
            "prepayments": [schedule["prepayment"][j] for j in mine], **{k: table[k][i] for k in table}}
    return [answer(i) for i in range(len(loans))]


def one(request, events=(), fees=None):
    """The answer for a single loan (events name loan 0)."""
    return run([request], [dict(e, loan=0) for e in events], fees)[0]


def event(month, kind, amount, keep=None):
    return {"month": month, "kind": kind, "amount": amount, **({"keep": keep} if keep else {})}


# 1000 over 4 months at 12% (r = 0.01): A = 10 x 1.01^4 / (1.01^4 - 1) = 256.28, E = 256.
#   row 0: I 10,   u 246,    p 246, q 10, B 754
#   row 1: I 7.54, u 248.46, p 248, q 8,  B round(505.54) = 506
#   row 2: I 5.06, u 250.94, p 251, q 5,  B round(255.06) = 255
#   row 3 closes: p 255, q round(2.55) = 3, pays 258; interest 26 in all.
LOAN = {"mode": "emi", "loanAmount": 1000, "months": 4, "interestRate": 12}

HAND_WORKED = [
    # Prepay 300 after row 0, keeping the emi: B 754 - 300 = 454, row 0 pays 256 + 300.
    # Tenure from (454, 256, 0.01): ln(256 / 251.46) / ln(1.01) = 1.80, so 2 more rows.
    #   row 1: I 4.54, u 251.46, p 251, q 5, B round(202.54) = 203
    #   row 2 closes: 203 + round(2.03) = 205. Interest 10 + 5 + 2 = 17: 9 saved, a month too.
    ([event(0, "prepay", 300)], [(556, 546, 10, 454), (256, 251, 5, 203), (205, 203, 2, 0)], (9, 1)),
    # The same keeping the tenure: E over 3 rows from 454: 4.54 x 1.01^3 / (1.01^3 - 1) = 154.37.
    #   row 1: I 4.54, u 149.46, p 149, q 5, B round(304.54) = 305
    #   row 2: I 3.05, u 150.95, p 151, q 3, B round(154.05) = 154
    #   row 3 closes: 154 + round(1.54) = 156. Interest 20: 6 saved, no month.
    ([event(0, "prepay", 300, "tenure")],
     [(556, 546, 10, 454), (154, 149, 5, 305), (154, 151, 3, 154), (156, 154, 2, 0)], (6, 0)),
    # A prepayment above the balance after row 1 is capped at 506 and closes the loan there.
    ([event(1, "prepay", 10 ** 6)], [(256, 246, 10, 754), (762, 754, 8, 0)], (8, 2)),
    # 24% (r = 0.02) after row 1, keeping the tenure: E over 2 rows from 506:
    # 10.12 x 1.0404 / 0.0404 = 260.62, so 261.
    #   row 2: I 10.12, u 250.88, p 251, q 10, B round(255.12) = 255
    #   row 3 closes: 255 + round(5.1) = 260. Interest 33: 7 more, no month saved.
    ([event(1, "rate", 24, "tenure")],
     [(256, 246, 10, 754), (256, 248, 8, 506), (261, 251, 10, 255), (260, 255, 5, 0)], (-7, 0)),
    # The same keeping the emi: ln(256 / 245.88) / ln(1.02) = 2.04, so 3 more rows.
    #   row 2: I 10.12, u 245.88, p 246, q 10, B round(260.12) = 260
    #   row 3: I 5.2,   u 250.8,  p 251, q 5,  B round(9.2) = 9
    #   row 4 closes: 9 + round(0.18) = 9. Interest 33: 7 more and a month longer.
    ([event(1, "rate", 24)], [(256, 246, 10, 754), (256, 248, 8, 506), (256, 246, 10, 260),
                              (256, 251, 5, 9), (9, 9, 0, 0)], (-7, -1)),
    # A step-up to 400 after row 0: ln(400 / 392.46) / ln(1.01) = 1.91, so 2 more rows.
    #   row 1: I 7.54, u 392.46, p 392, q 8, B round(361.54) = 362
    #   row 2 closes: 362 + round(3.62) = 366. Interest 22: 4 saved, a month too.
    ([event(0, "emi", 400.4)], [(256, 246, 10, 754), (400, 392, 8, 362), (366, 362, 4, 0)], (4, 1)),
]


@pytest.mark.parametrize("events, rows, saved", HAND_WORKED)
def test_hand_worked(events, rows, saved):
    """The worked rows, from the door and from the model; the door's rate and prepayment
    columns as the model's."""
    answer = one(LOAN, events)
    assert (answer["rows"], answer["rates"], answer["prepayments"]) == model(LOAN, events)
    assert answer["rows"] == rows and answer["nominalPaid"] == sum(r[0] for r in rows)
    assert (answer["emi"], answer["baselineInterest"], answer["interestSaved"],
            answer["monthsSaved"]) == (256, 26, *saved)


REFUSED = [
    ([{"month": 0, "kind": "refinance", "amount": 1}],
     "event 0: unknown kind `refinance`, expected one of `prepay`, `rate`, `emi`"),
    ([event(0, "prepay", 1, "both")], "event 0: unknown keep `both`, expected `tenure` or `emi`"),
    # A long text is quoted up to 46 bytes, not cutting a character: here 1 + 22 x 2.
    ([event(0, "x" + "é" * 30, 1)], "event 0: unknown kind `x" + "é" * 22 + "...`, expected one of "
     "`prepay`, `rate`, `emi`"),
    ([event(0, "prepay", 0.4)], "event 0: amount must be at least one whole unit"),
    # After the last row, or after a prepayment closed the loan in the same row.
    ([event(3, "rate", 5)], "event 0: it takes effect after month 3, but the loan ends in month 3"),
    ([event(1, "prepay", 10 ** 6), event(1, "rate", 5)],
     "event 1: it takes effect after month 1, but the loan ends in month 1"),
    ([event(2, "rate", 5), event(0, "prepay", 600)],  # months from 0: the loan ends in row 1
     "event 0: it takes effect after month 2, but the loan ends in month 1"),
    ([event(0, "emi", 300), event(0, "prepay", 5, "tenure")],
     "event 1: keeping the tenure would re-solve the emi that event 0 sets"),
    # Solving again: 1000% (r = 0.8333) on 754 is 628.33 a month.
    ([event(0, "rate", 1000)],
     "event 0: monthly payment of 256.00 does not cover the first month's interest of 628.33; "
     "the loan would never be repaid"),
    # 0.01% (r = 0.0000083) and 1 a month on 754: ln(1 / (1 - 754 r)) / ln(1 + r) = 756.4,
    # so 757 rows after the first: 758 in all.
    ([event(0, "rate", 0.01), event(0, "emi", 1)],
     "event 1: tenure of 758 months exceeds the maximum supported 600 months"),
]


@pytest.mark.parametrize("events, fees, message", [(e, None, m) for e, m in REFUSED] + [
    ([], 1000, "invalid input: fees must be less than the loan amount"),
    ([], -1, "invalid input: fees must be zero or greater"),
])
def test_refused(events, fees, message):
    assert one(LOAN, events, fees) == message


def test_refusals_stay_with_their_loan():
    answers = run([LOAN, dict(LOAN, months=0), LOAN], [dict(event(9, "prepay", 1), loan=2)])
    assert answers[0]["months"] == 4 and answers[1:] == [
        "invalid input: months must be greater than zero",
        "event 0: it takes effect after month 9, but the loan ends in month 3"]


class Interrupted:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("loans, events, error, message", [
    # A column of numbers that holds text, as Arrow or as a list. (What every table reader
    # refuses, such as text columns of numbers or columns of unequal length, is checked on
    # the rules table in test_columns_categorize.py.)
    (pa.table({"mode": ["emi"], "interestRate": ["high"]}), None, TypeError,
     "loans: column 'interestRate': expected a column of numbers, got string"),
    ({"mode": ["emi"], "interestRate": ["high"]}, None, TypeError,
     "loans: column 'interestRate': item 0 is a 'str', not a number"),
    # duckdb's BIGNUM: an extension type over binary, named as pyarrow names it.
    (pa.table([[b"\x01"]], schema=pa.schema([pa.field("loanAmount", pa.binary(), metadata={
        "ARROW:extension:name": "arrow.opaque",
        "ARROW:extension:metadata": '{"type_name":"bignum","vendor_name":"DuckDB"}'})])), None,
     TypeError, "loans: column 'loanAmount': expected a column of numbers, got extension<arrow."
                "opaque[storage_type=binary, type_name=bignum, vendor_name=DuckDB]>"),
    # duckdb's UHUGEINT 2^127, exported as decimal128(38, 0): 39 digits, negative as bits.
    ({"mode": ["emi"] * 2, "loanAmount": pa.Array.from_buffers(pa.decimal128(38, 0), 2, [None, pa.py_buffer(
        (12).to_bytes(16, "little") + (2**127).to_bytes(16, "little"))])}, None, ValueError,
     "loans: column 'loanAmount': row 1 holds a number of more digits than its type decimal128(38, "
     "0) has (duckdb exports a HUGEINT or UHUGEINT as decimal128(38, 0), whatever its digits): "
     "cast it to DOUBLE"),
    ({"mode": ["emi"], "loanAmount": [Decimal(1), Decimal("sNaN")]}, None, ValueError,
     "loans: column 'loanAmount': item 1: ValueError: cannot convert signaling NaN to float"),
    # No fault of the loan: Ctrl-C, or memory running out, while a number is read.
    ([dict(LOAN, loanAmount=Interrupted(KeyboardInterrupt("ctrl-c")))], None, KeyboardInterrupt,
     "ctrl-c"),
    ({"mode": ["emi"], "loanAmount": [Interrupted(MemoryError("full"))]}, None, MemoryError, "full"),
    # An event for a loan that does not exist is the whole table's fault, and so is a row
    # that is no event: its loan cannot be told.
    ([LOAN] * 3, {"loan": [0, 3], "month": [0, 0], "kind": ["prepay"] * 2, "amount": [1, 1]},
     ValueError, "event 1: loan 3 does not exist in a table of 3 loans"),
    # Loans with ids of their own (here the loans a call gave back, as the native table)
    # would take each other's events.
    (qc._native.emi([LOAN] * 2)[0], {"loan": [1], "month": [0], "kind": ["prepay"],
     "amount": [1]}, ValueError, "loans: the table has a column 'loan' of its own, but an event's "
     "loan is the loan's row number (from 0), as the results' loan column gives it: rename the "
     "column, and give the events row numbers (a join on it gives them)"),
    # Without events, ids numbered before a filter would pair loans with others' results.
    ({"loan": [0, 2], "mode": ["emi"] * 2}, None, ValueError, "loans: the table has a column "
     "'loan' of its own, which holds 2 in row 1, but the results' loan column gives each loan "
     "its row number (from 0): a join on 'loan' would pair the wrong loans; rename the column"),
    ([LOAN] * 3, {"loan": [0, None], "month": [0, 0], "kind": ["prepay"] * 2, "amount": [1, 1]},
     ValueError, "events: column 'loan': null in row 1"),
    ([LOAN] * 3, {"loan": [0, 1], "month": [0, 1.5], "kind": ["prepay"] * 2, "amount": [1, 1]},
     ValueError, 'events[1]["month"]: TypeError: \'float\' object cannot be interpreted as an integer'),
    ([LOAN] * 3, [{"loan": 0, "month": -1, "kind": "prepay", "amount": 1}],
     ValueError, 'events[0]["month"]: OverflowError: out of range integral type conversion attempted'),
    # A time in a zone has that zone's month, which the door does not know.
    (pa.table({"mode": ["emi"], "start": pa.array([0], pa.timestamp("s", tz="Asia/Kolkata"))}), None,
     TypeError, "loans: column 'start': expected a column of strings or dates, got "
                "timestamp[s, tz=Asia/Kolkata]: the month of a time in a zone is that zone's; "
                "convert it to a date first"),
])
def test_bad_tables(loans, events, error, message):
    with pytest.raises(error) as raised:
        qc.emi(loans, events)
    assert str(raised.value) == message


@pytest.mark.parametrize("form, a, b", [
    # Dictionary-encoded months (values, type), some past the range of the other signedness.
    ("encoded", [2**63 + 5, 12, None], pa.uint64()), ("encoded", [-(2**63), 12, None], pa.int64()),
    ("encoded", [12.5, 12.0, None], pa.float32()),
    # polars' 128-bit integers, exported in formats of its own, and its half floats, the
    # smallest a subnormal (sliced columns).
    ("polars", [2**128 - 1, 2**127 + 5, 12, None], "UInt128"), ("polars", [-(2**127), 12, None], "Int128"),
    ("polars", [2.0**-24, 65504.0, 12.0, None], "Float16"),
    # A dict of numpy arrays (integer type, float type), whose items are numpy scalars.
    ("numpy", "int64", "float32"), ("numpy", "uint16", "float64"), ("numpy", "int32", "float16"),
])
def test_other_forms_read_as_the_plain_one(form, a, b):
    """Dictionary-encoded numbers, polars' widest integers and half floats, and numpy
    arrays read as the plain values they hold."""
    table = {"mode": ["emi"] * len(a), "loanAmount": [1e5] * len(a), "interestRate": [12.0] * len(a)}
    if form == "encoded":
        months = pa.array(a, b)
        plain, other = (pa.table(dict(table, months=m)) for m in (months, months.dictionary_encode()))
    elif form == "polars":
        pl = pytest.importorskip("polars")
        if not hasattr(pl, b):
            pytest.skip(f"polars {pl.__version__} has no {b}")
        wide = pa.decimal256(76, 0) if b.endswith("128") else pa.float64()
        plain = pa.table(dict(table, months=pa.array(a, wide)))
        other = pl.DataFrame(dict(table, months=pl.Series([0] + a, dtype=getattr(pl, b))[1:]))
    else:
        np = pytest.importorskip("numpy")
        plain = {"mode": ["emi", "tenure"], "loanAmount": [60_000, 50_000], "emi": [0, 2_000],
                 "months": [12, 0], "interestRate": [10.0, 8.5]}
        other = dict(plain, **{name: np.array(values, a if isinstance(values[0], int) else b)
                               for name, values in plain.items() if name != "mode"})
    assert [table_data(t) for t in qc.emi(other)] == [table_data(t) for t in qc.emi(plain)]


def test_blank_cells_of_a_csv_file_are_absent():
    """pyarrow reads a blank cell as an empty text in a column holding other texts (pandas
    and polars as a null): an empty start or keep is absent, as a null is."""
    read = pytest.importorskip("pyarrow.csv").read_csv
    got = qc.emi(read(pa.py_buffer(b"mode,loanAmount,months,interestRate,start\n"
                                   b"emi,100000,12,9,\nemi,100000,12,9,2027-01\n")),
                 read(pa.py_buffer(b"loan,month,kind,amount,keep\n"
                                   b"0,3,prepay,1000,\n1,3,prepay,1000,tenure\n")))
    loans = {"mode": ["emi"] * 2, "loanAmount": [100000] * 2, "months": [12] * 2,
             "interestRate": [9] * 2, "start": [None, "2027-01"]}
    events = {"loan": [0, 1], "month": [3, 3], "kind": ["prepay"] * 2, "amount": [1000] * 2,
              "keep": [None, "tenure"]}
    assert [table_data(t) for t in got] == [table_data(t) for t in qc.emi(loans, events)]


@given(data=st.data(), width=st.sampled_from([w for w in (32, 64, 128, 256)
                                              if hasattr(pa, f"decimal{w}")]))  # 32, 64: pyarrow 18
@settings(max_examples=100, deadline=None)
def test_a_decimal_reads_as_its_value(width, data):
    """Decimals of every width, of up to their 9 to 76 digits and at any scale, read as
    float(Decimal) where a double is needed (rates), and exactly where a whole number is
    (months): each loan as the same loan given plain Python numbers."""
    precision = {32: 9, 64: 18, 128: 38, 256: 76}[width]
    scale = data.draw(st.integers(-precision, precision + 2))
    top = 10 ** precision - 1

    def draw_unscaled(accepted):  # any value, or one a loan accepts (up to `accepted`)
        near = st.integers(0, min(accepted * 10 ** max(scale, 0), top))
        return data.draw(st.lists(st.integers(-top, top) | near, min_size=1, max_size=4))

    months, rates = draw_unscaled(700), draw_unscaled(40)
    months, rates = months * len(rates), rates * len(months)  # every pair
    type_ = getattr(pa, f"decimal{width}")(precision, scale)
    as_column = lambda values: pa.Array.from_buffers(type_, len(values), [None, pa.py_buffer(
        b"".join(v.to_bytes(width // 8, "little", signed=True) for v in values))])
    got = table_data(qc.emi({"mode": ["emi"] * len(months), "loanAmount": [100_000] * len(months),
                             "months": as_column(months), "interestRate": as_column(rates)})[0])

    def whole(unscaled):  # exactly, or a number that is not whole
        if scale <= 0:
            return unscaled * 10 ** -scale
        return unscaled // 10 ** scale if unscaled % 10 ** scale == 0 else 0.5
    for row, (month, rate) in enumerate(zip(months, rates)):
        plain = qc.emi({"mode": ["emi"], "loanAmount": [100_000], "months": [whole(month)],
                        "interestRate": [float(Decimal(f"{rate}e{-scale}"))]})[0]
        assert {k: v[row] for k, v in got.items() if k != "loan"} == \
            {k: v[0] for k, v in plain.items() if k != "loan"}


# Days from year 1 to 9999, in every unit a date or a timestamp column may have, as
# pandas' months (period[M], in a frame or in a mapping of columns), and as a polars
# Series of times in a mapping of columns.
@given(days=st.lists(st.one_of(st.none(), st.integers(-719_162, 2_932_896)), min_size=1, max_size=5),
       seconds=st.integers(0, 86_399),
       unit=st.sampled_from(["date32", "date64", "s", "ms", "us", "ns", "period frame", "period",
                             "polars"]))
@settings(max_examples=60, deadline=None)
def test_a_start_may_be_a_date(days, seconds, unit):
    """A column of dates, timestamps or months gives each loan the month its start falls
    in, as the text "YYYY-MM" would; a null is an absent start."""
    if unit == "ns":  # nanoseconds reach only from 1677 to 2262
        days = [d if d is None else max(-106_000, min(d, 106_000)) for d in days]
    epoch = datetime.date(1970, 1, 1)
    dates = [None if d is None else epoch + datetime.timedelta(days=d) for d in days]
    texts = [None if d is None else d.strftime("%Y-%m") for d in dates]
    if unit.startswith("date"):
        column = pa.array(days, pa.date32()).cast(getattr(pa, unit)())
    elif unit == "polars":
        time = datetime.time(seconds // 3600, seconds // 60 % 60, seconds % 60)
        column = pytest.importorskip("polars").Series(
            [d if d is None else datetime.datetime.combine(d, time) for d in dates])
    elif unit.startswith("period"):
        pd = pytest.importorskip("pandas")
        column = pd.Series([pd.NaT if d is None else pd.Period(d, freq="M") for d in dates],
                           dtype="period[M]")
    else:
        per_second = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[unit]
        column = pa.array([d if d is None else (d * 86_400 + seconds) * per_second for d in days],
                          pa.timestamp(unit))
    loans = {"mode": ["emi"] * len(days), "loanAmount": [1000.0] * len(days),
             "months": [2] * len(days), "interestRate": [6.0] * len(days)}
    by_date = qc.emi(dict(loans, start=column) if unit in ("period", "polars") else
                     pd.DataFrame(dict(loans, start=column)) if unit == "period frame" else
                     pa.table(dict(loans, start=column)))
    by_text = qc.emi(dict(loans, start=texts))
    assert [table_data(t) for t in by_date] == [table_data(t) for t in by_text]


# MARK: the model


class Refused(Exception):
    """The event whose row a loan's error names."""


def model(loan, events):
    """The rows, rates and prepayments of an `emi` loan with `events`, from the rules:
    after row `month`, a prepayment lowers the balance (capped at it), a rate or an
    instalment replaces the one in force, then the last event's keep re-solves the months
    (keep "emi") or the instalment over the rows left (keep "tenure")."""
    changes = []
    for row, e in enumerate(events):
        keep = e.get("keep") or "emi"
        amount = e["amount"] if e["kind"] == "rate" else round_half_up(e["amount"])
        if (e["kind"] == "emi" and keep == "tenure") or amount < (0 if e["kind"] == "rate" else 1):
            raise Refused(row)
        changes.append((e["month"], row, e["kind"], amount, keep))
    changes.sort(key=lambda c: c[0])
    rate, n, balance = loan["interestRate"], loan["months"], loan["loanAmount"]
    r = (rate / 100) / 12
    emi = amortising(instalment(balance, n, r), balance, r, n)
    rows, rates, prepayments = [], [], []
    i = 0
    while True:
        interest = r * balance
        if i == n - 1 or balance <= emi:
            p, q, after = round_half_up(balance), round_half_up(interest), 0.0
            paid = p + q
        else:
            u = emi - interest
            p = round_half_up(u)
            q, paid, after = emi - p, emi, round_half_up(balance - u)
        rates.append(rate)
        prepaid = 0
        due = [c for c in changes if c[0] == i]
        for month, row, kind, amount, keep in due:
            if after == 0:
                raise Refused(row)
            if kind == "prepay":
                prepaid += min(amount, after)
                after -= min(amount, after)
            elif kind == "rate":
                rate, r = amount, (amount / 100) / 12
            else:
                emi = amount
        if due and after != 0:
            row, keep = due[-1][1], due[-1][4]
            if keep == "emi":
                more = months_to_repay(after, emi, r)
                if more is None or i + 1 + more > 600:
                    raise Refused(row)
                n = i + 1 + more
            elif any(c[2] == "emi" for c in due):
                raise Refused(row)
            elif (unrounded := instalment(after, n - i - 1, r)) is None:
                raise Refused(row)
            else:
                emi = amortising(unrounded, after, r, n - i - 1)
        rows.append((int(paid + prepaid), int(p + prepaid), int(q), int(after)))
        prepayments.append(int(prepaid))
        i += 1
        if after == 0 or i == n:
            break
        balance = after
    late = [c for c in changes if c[0] >= i]
    if late:
        raise Refused(late[0][1])
    return rows, rates, prepayments


events_of = st.lists(st.fixed_dictionaries({
    "month": st.integers(0, 30),
    "kind": st.sampled_from(["prepay", "rate", "emi"]),
    "amount": st.floats(0, 5e4),
    "keep": st.sampled_from([None, "emi", "tenure"]),
}), max_size=4)


@settings(max_examples=300, deadline=None)
@given(amount=st.integers(1000, 10 ** 6), months=st.integers(1, 36),
       rate=st.integers(0, 3000).map(lambda k: k / 100), events=events_of)
def test_against_the_model(amount, months, rate, events):
    loan = {"mode": "emi", "loanAmount": amount, "months": months, "interestRate": rate}
    answer = one(loan, events)
    try:
        rows, rates, prepayments = model(loan, events)
    except Refused as refused:
        assert isinstance(answer, str) and answer.startswith(f"event {refused.args[0]}: ")
        return
    # (The savings against compute_emi: test_every_row_against_plain_arithmetic, any mode.)
    assert (answer["rows"], answer["rates"], answer["prepayments"]) == (rows, rates, prepayments)


@settings(max_examples=200, deadline=None)
# Payments that only return what was received cost nothing: an APR of 0.
@example(mode="emi", amount=1000, months=3, rate=0, inflation=0, fees=0, changes=[])
@given(mode=st.sampled_from(["emi", "tenure", "loanAmount"]), amount=st.integers(1000, 10 ** 8),
       months=st.integers(1, 600), rate=st.integers(0, 4000).map(lambda k: k / 100),
       inflation=st.sampled_from([0, 4.5]), fees=st.one_of(st.none(), st.integers(0, 999)),
       changes=st.lists(st.tuples(st.integers(0, 24), st.sampled_from(["prepay", "rate", "emi"]),
                                  st.floats(0, 1), st.sampled_from([None, "tenure"])), max_size=4))
def test_every_row_against_plain_arithmetic(mode, amount, months, rate, inflation, fees, changes):
    """Every mode, any tenure, the events of a month together: each row charges interest
    on the balance it starts with at the rate it shows, the balance falls by its principal
    (prepayment included), real amounts are deflated by one more month each, the last row
    clears the loan, the savings are those against compute_emi, and the APR is the rate
    at which the payments repay the amount received (all up to the rounding of a unit)."""
    r = rate / 1200
    instalment = amount * (r + 1 / months) * 1.01  # above the interest, for a tenure to exist
    request = {"mode": mode, "loanAmount": amount, "months": months, "emi": instalment,
               "interestRate": rate, "inflationRate": inflation}
    # Prepayments up to half the loan, rates up to 40%, instalments stepped up to double.
    scale = {"prepay": amount / 2, "rate": 40, "emi": instalment}
    events = [event(month, kind, scale[kind] * (x + (kind == "emi")), None if kind == "emi" else keep)
              for month, kind, x, keep in changes]
    answer = one(request, events, fees)
    if isinstance(answer, str):  # which events are refused is the exact model's concern
        return
    rows = answer["rows"]
    balance = answer["loanAmount"]  # the unrounded amount, within half a unit
    for i, ((paid, principal, interest, outstanding), yearly) in enumerate(zip(rows, answer["rates"])):
        slack = 0.5 + (0.5 * yearly / 1200 + 1e-9 if i == 0 else 1e-9)
        assert paid == principal + interest and abs(interest - balance * yearly / 1200) <= slack
        assert abs(balance - principal - outstanding) <= (1.5 if i == 0 else 1)
        balance = outstanding
    assert balance == 0 and answer["months"] == len(rows)
    monthly = (1 + inflation / 100) ** (1 / 12)
    real = sum(row[0] / monthly ** i for i, row in enumerate(rows))
    assert abs(answer["realPaid"] - real) <= 1.5 * len(rows)
    plain = quorvane.compute_emi(request)
    assert (answer["baselineInterest"], answer["interestSaved"], answer["monthsSaved"]) == (
        plain["totals"]["nominalInterest"], plain["totals"]["nominalInterest"] - answer["nominalInterest"],
        plain["months"] - len(rows))
    if fees is None:
        assert answer["apr"] is None
        return
    i = bisect_rate(answer["loanAmount"] - fees, [row[0] for row in rows])
    assert answer["apr"] == pytest.approx(1200 * i, rel=1e-9, abs=1e-9)
    assert answer["effectiveRate"] == pytest.approx(100 * ((1 + i) ** 12 - 1), rel=1e-9, abs=1e-9)


# MARK: annual percentage rate


def bisect_rate(received, payments):
    """The monthly rate at which the payments, one a month from month 1, are worth `received`."""
    def worth(i):
        return sum(p * math.exp(-(k + 1) * math.log1p(i)) for k, p in enumerate(payments))
    low, high = 0.0, sum(payments) / received
    for _ in range(200):
        middle = (low + high) / 2
        low, high = (middle, high) if worth(middle) > received else (low, middle)
    return low


def test_apr_examples():
    # Directive 98/7/EC (consumer credit), Annex III, third example: 1000 lent, repaid by
    # 600 after one period and 600 after two, gives i = 0.1306623 a period. 1000 over two
    # months at 156.79% pays exactly 600 and 600 (rows 469 + 131, then 531 + 69).
    answer = one({"mode": "emi", "loanAmount": 1000, "months": 2, "interestRate": 156.79}, fees=0)
    assert [row[0] for row in answer["rows"]] == [600, 600]
    assert answer["apr"] / 1200 == pytest.approx(0.1306623, abs=1e-7)
    # A null in a fees column, or None in a list of requests (which once failed the loan),
    # is no fee; without events the loans still gain their APR.
    listed = [dict(LOAN, loanAmount=1e3, months=12, interestRate=12.0, fees=fees)
              for fees in (20, None, 0)]
    for loans in (listed, pa.Table.from_pylist(listed)):
        rows = table_data(qc.emi(loans)[0])
        assert rows["error"] == [None] * 3 and rows["interestSaved"] == [0] * 3
        assert rows["apr"][0] > rows["apr"][1] == rows["apr"][2] == pytest.approx(12, abs=0.1)
