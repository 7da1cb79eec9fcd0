"""Loan instalments through both forms: worked examples, every failure and its order,
extreme inputs, requests and year-months as read, results as written, and the invariants
of schedules for random requests."""

import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane


def compute(form, request):
    if form == "json":
        return json.loads(quorvane.compute_emi_json(json.dumps(request, allow_nan=False)))
    return quorvane.compute_emi(request)


def failure(form, request):
    """The message of the ValueError a request raises."""
    with pytest.raises(ValueError) as info:
        compute(form, request)
    (message,) = info.value.args
    return message


@pytest.fixture(params=["object", "json"])
def form(request):
    return request.param


def _request(mode):
    return lambda **fields: {"mode": mode, **fields}


emi, tenure, loan = map(_request, ["emi", "tenure", "loanAmount"])


def at(value, path, like):
    """`value` at a dotted path of keys and list indices ("schedule.-1.emi"); where `like`
    is a dict, only its keys."""
    for key in path.split("."):
        value = value[int(key)] if isinstance(value, list) else value[key]
    return {key: value[key] for key in like} if isinstance(like, dict) else value


def row(*values):
    keys = ["emi", "principal", "interest", "outstanding", "realEmi", "realPrincipal", "realInterest",
            "remainingEmi", "realRemainingEmi"]
    return dict(zip(keys, values))


EXAMPLES = [
    # Indices, months, totals and years follow from the rows (check() derives them); the
    # years are pinned here anyway.
    (emi(loanAmount=100000, months=12, interestRate=12, inflationRate=6, start="2024-11"), {
        "emi": 8885, "months": 12,
        "schedule.0": row(8885, 7885, 1000, 92115, 8885, 7885, 1000, 97734, 94940),
        "schedule.1": row(8885, 7964, 921, 84151, 8842, 7925, 917, 88849, 86098),
        "schedule.11": row(8884, 8796, 88, 0, 8422, 8339, 83), "years.0.nominalTotal": 17770,
        "years.0.months.9": None, "years.1.realTotal": 86098, "years.1.months.10": None}),
    (tenure(loanAmount=100000, emi=10000, interestRate=12), {
        "months": 11, "schedule.9.emi": 10000, "schedule.10": row(5898, 5840, 58, 0, 5898, 5840, 58)}),
    (loan(emi=10000, months=12, interestRate=12), {  # P = 112550.77473484635
        "loanAmount": 112551, "schedule.0": dict(principal=8874, interest=1126, outstanding=103676),
        "totals.nominalPaid": 120000}),
    # A = 1002.5602726784665 rounds up to 1003, which clears the balance after 585 months.
    (emi(loanAmount=100000, months=600, interestRate=12), {"emi": 1003, "months": 585}),
    (emi(loanAmount=1000, months=3, interestRate=0), {"emi": 333,
        "schedule.0.outstanding": 667, "schedule.1.outstanding": 334, "schedule.2.emi": 334}),
    (tenure(loanAmount=1000, emi=300, interestRate=0), {"months": 4, "schedule.3.emi": 100}),
    # An instalment above the loan: one row pays what is owed, the result keeps the instalment.
    (tenure(loanAmount=1000, emi=2000, interestRate=12), {
        "months": 1, "emi": 2000, "schedule.0": row(1010, 1000, 10, 0, 1010, 1000, 10)}),
    (emi(loanAmount=1000, months=3, interestRate=5, start="2024-12"), {"years.1.months.1.nominal": 336}),
    (emi(loanAmount=1000, months=12, interestRate=5, start="2024-01"), {
        "years.-1.year": 2024, "years.0.months.0.nominal": 86, "years.0.months.11.nominal": 80}),
    # Last bits: (1 + r)^n by binary exponentiation (pow gives 32552872770), r as
    # (rate / 100) / 12 (rate / 1200 gives 184421769322), rounding 0.49999999999999994 to 0
    # (kept at 0: a one-month loan has no regular month for the instalment to pay, its one
    # row pays what is owed, so the instalment is not raised to amortise).
    (emi(loanAmount=878107760803.97, months=27, interestRate=0.08), {"emi": 32552872771}),
    (emi(loanAmount=7787463745929.39, months=265, interestRate=28.36), {"emi": 184421769323}),
    (emi(loanAmount=0.49999999999999994, months=1, interestRate=0), {"loanAmount": 0, "emi": 0}),
    # x = ln(A / (A - I)) / ln(r + 1) = 599.9999999999982, where log1p(r) would make it 601 months.
    (tenure(loanAmount=9629235, emi=82517.96469794666, interestRate=10.22), {"months": 600}),
    # An instalment that amortises (test_issue15): rounded, it must exceed the first
    # month's interest P r, or it becomes floor(P r) + 1; 10000 at 300% has P r = 2500, so
    # 2500 would pay no principal for 59 months and 12500 in the last. And it must lower a
    # whole balance, which it does not when it exceeds the interest by half a unit or less
    # (half-up rounding gives the half back): 30050 at 12% has P r = 300.5 and A = 300.77,
    # so 301 would keep the balance at 30050 for 599 months; it becomes 302.
    (emi(loanAmount=10000, months=60, interestRate=300), {
        "emi": 2501, "months": 36, "schedule.0.principal": 1, "schedule.1.outstanding": 9998}),
    (emi(loanAmount=680.71, months=528, interestRate=27.32), {  # P r = 15.497...; 15 did not
        "emi": 16, "months": 149, "schedule.0.outstanding": 680, "schedule.-1.emi": 13}),
    (emi(loanAmount=30050, months=600, interestRate=12), {
        "emi": 302, "months": 532, "schedule.0.outstanding": 30049}),
    (emi(loanAmount=10003, months=60, interestRate=300), {"emi": 2502, "months": 35}),
    # At a zero rate the interest is 0: an instalment of 0 becomes 1.
    (emi(loanAmount=200, months=600, interestRate=0), {"emi": 1, "months": 200}),
    # A balance equal to the instalment closes the loan, a month early here.
    (emi(loanAmount=591, months=36, interestRate=28.2), {
        "months": 35, "schedule.33.outstanding": 25, "schedule.34.emi": 26}),
    # The field being solved for is not read.
    (emi(loanAmount=600000, months=600, interestRate=0, emi=-5), {"months": 600, "emi": 1000}),
    (tenure(loanAmount=1000, emi=500, interestRate=0, months=0), {"months": 2}),
    (loan(emi=100, months=3, interestRate=12, loanAmount=-1), {"loanAmount": 294}),
    (emi(loanAmount=1000, months=1, interestRate=-0.0, inflationRate=-0.0), {"emi": 1000}),
    # Extremes that still fit: the largest whole amounts, the last year, inflation whose
    # deflator overflows (later real values are 0).
    (emi(loanAmount=9223372036854774784, months=1, interestRate=0), {"emi": 9223372036854774784}),
    (emi(loanAmount=1000, months=12, interestRate=12, start="2147483647-01"), {"years.0.year": 2147483647}),
    (tenure(loanAmount=1000, emi=2000, interestRate=12, start="2147483647-12"), {"months": 1}),
    (emi(loanAmount=1000, months=3, interestRate=12, inflationRate=1e308), {
        "schedule.0.realEmi": 340, "schedule.1.realEmi": 0, "schedule.2.realEmi": 0}),
]


TOO_LARGE = "invalid input: the loan's amounts are too large to be represented in whole currency units"
PAST_LAST_YEAR = "invalid input: start is too late: the schedule would run past the year 2147483647"
NO_EMI = "invalid input: could not derive a valid emi from the supplied loan amount and months"
NO_LOAN = "invalid input: could not derive a valid loan amount from the supplied emi and months"
NO_TENURE = "invalid input: could not derive a valid tenure from the supplied loan amount and emi"
SMALL = "monthly payment of {} does not cover the first month's interest of {}; the loan would never be repaid"
LONG = "tenure of {} months exceeds the maximum supported 600 months"

FAILURES = [
    # rates first, whatever else is missing
    (emi(interestRate=-1, inflationRate=-1), "invalid input: interestRate must be zero or greater"),
    (tenure(interestRate=1, inflationRate=-0.5), "invalid input: inflationRate must be zero or greater"),
    # then the fields of the mode, in its order
    (emi(interestRate=12, months=0), "invalid input: loanAmount is required when solving for Emi"),
    (emi(interestRate=12, loanAmount=-5, months=0), "invalid input: loanAmount must be greater than zero"),
    (emi(interestRate=12, loanAmount=0), "invalid input: loanAmount must be greater than zero"),
    (emi(interestRate=12, loanAmount=100), "invalid input: months is required when solving for Emi"),
    (emi(interestRate=12, loanAmount=100, months=0), "invalid input: months must be greater than zero"),
    (emi(interestRate=12, loanAmount=100, months=601), LONG.format(601)),
    (emi(interestRate=12, loanAmount=100, months=4294967295), LONG.format(4294967295)),
    (tenure(interestRate=12, emi=5), "invalid input: loanAmount is required when solving for Tenure"),
    (tenure(interestRate=12, loanAmount=5), "invalid input: emi is required when solving for Tenure"),
    (tenure(interestRate=12, loanAmount=5, emi=-1), "invalid input: emi must be greater than zero"),
    (loan(interestRate=12, months=0), "invalid input: emi is required when solving for LoanAmount"),
    (loan(interestRate=12, emi=10), "invalid input: months is required when solving for LoanAmount"),
    (loan(interestRate=12, emi=10, months=0), "invalid input: months must be greater than zero"),
    (loan(interestRate=12, emi=10, months=601), LONG.format(601)),
    # the tenure solver; amounts in two decimals correctly rounded from the binary value
    (tenure(loanAmount=100000, emi=1000, interestRate=12), SMALL.format("1000.00", "1000.00")),
    (tenure(loanAmount=123456.78, emi=999.995, interestRate=12), SMALL.format("1000.00", "1234.57")),
    (tenure(loanAmount=1000, emi=1.005, interestRate=12), SMALL.format("1.00", "10.00")),
    (tenure(loanAmount=1000000, emi=1000, interestRate=0), LONG.format(1000)),
    (tenure(loanAmount=100000, emi=1001, interestRate=12), LONG.format(695)),
    (tenure(loanAmount=1e10, emi=1, interestRate=0), LONG.format(10000000000)),
    (tenure(loanAmount=1000, emi=10, interestRate=1e-300), NO_TENURE),  # 1 + r rounds to 1
    (tenure(loanAmount=1e308, emi=1e-10, interestRate=0), NO_TENURE),  # x is infinite
    # extremes: amounts with no whole 64-bit value, alone or summed
    (emi(loanAmount=2.0 ** 63, months=1, interestRate=0), TOO_LARGE),
    (emi(loanAmount=1e300, months=12, interestRate=12), TOO_LARGE),
    (tenure(loanAmount=1e18, emi=1e19, interestRate=12), TOO_LARGE),
    (loan(emi=1e17, months=600, interestRate=0), TOO_LARGE),
    (emi(loanAmount=9e18, months=12, interestRate=12), TOO_LARGE),  # each row fits, the sum not
    (tenure(loanAmount=9e17, emi=9.2e18, interestRate=12000), TOO_LARGE),  # principal + interest
    # the solved quantity is not a finite positive number: (1 + r)^n overflows, or 1 + r is 1
    (emi(loanAmount=1000, months=600, interestRate=1e6), NO_EMI),
    (emi(loanAmount=1.7976931348623157e308, months=12, interestRate=1e300), NO_EMI),
    (emi(loanAmount=1000, months=12, interestRate=1e-300), NO_EMI),
    (loan(emi=1000, months=600, interestRate=1e6), NO_LOAN),
    (loan(emi=1000, months=12, interestRate=1e-300), NO_LOAN),
    (loan(emi=1e308, months=600, interestRate=0), NO_LOAN),
    (tenure(loanAmount=1e308, emi=1000, interestRate=1e10), SMALL.format("1000.00", "inf")),
    (tenure(loanAmount=1e300, emi=1, interestRate=0), LONG.format(2 ** 64 - 1)),  # saturated
    (emi(loanAmount=1000, months=13, interestRate=12, start="2147483647-01"), PAST_LAST_YEAR),
    (emi(loanAmount=1000, months=2, interestRate=12, start="2147483647-12"), PAST_LAST_YEAR),
]


@pytest.mark.parametrize("request_, expected", EXAMPLES + FAILURES)
def test_solved_or_refused(form, request_, expected):
    """The values at the paths given, and the invariants; or the failure's message."""
    if isinstance(expected, str):
        assert failure(form, request_) == expected
        return
    result = compute(form, request_)
    assert {path: at(result, path, like) for path, like in expected.items()} == expected
    check(request_, result)


@pytest.mark.parametrize("field, message", [
    ("interestRate", "invalid input: interestRate must be zero or greater"),
    ("inflationRate", "invalid input: inflationRate must be zero or greater"),
    ("loanAmount", "invalid input: loanAmount must be greater than zero"),
])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite(field, value, message):
    assert failure("object", dict(emi(loanAmount=1000, months=12, interestRate=12), **{field: value})) == message


# MARK: requests as read, results as written


BASE = emi(loanAmount=1000, months=2, interestRate=12)


def refused(form, request):
    """The failure's message without the JSON reader's position."""
    return failure(form, request).split(" at line 1 column ")[0]


# (a start; as written back, or the failure's message)
@pytest.mark.parametrize("text, outcome", [
    ("2024-03", "2024-03"), ("2024-3", "2024-03"), ("24-03", "0024-03"), ("+2024-+3", "2024-03"),
    ("02024-003", "2024-03"), ("0-12", "0000-12"), ("12345-03", "12345-03"),
    ("2147483647-1", "2147483647-01"), ("000000000000000000002024-0000000000000000000011", "2024-11"),
    *[(text, f'expected "YYYY-MM", got "{text}"') for text in ["2024", "", "2024\u221203"]],  # U+2212
    *[(text, f'invalid year in "{text}"') for text in
      ["-2024-03", "+-03", " 2024-03", "2147483648-01", "\u0662\u0660\u0662\u0664-03", "x-13"]],
    *[(text, f'invalid month in "{text}"') for text in
      ["2024-", "2024-+", "2024--3", "2024-03-01", "2024-03 ", "2024-4294967296"]],
    *[(text, f'month out of range in "{text}"') for text in ["2024-13", "2024-00", "2024-4294967295"]],
    # The text is quoted with its escapes.
    ("a\"b\\c\n\r\t\x00\x01\x7f\u200b\u00e9", 'expected "YYYY-MM", got "a\\"b\\\\c\\n\\r\\t\\0\\u{1}\\u{7f}\\u{200b}\u00e9"'),
])
def test_year_month(form, text, outcome):
    if not outcome[:1].isdigit():
        assert refused(form, dict(BASE, start=text)) == "invalid request: " + outcome
        return
    result = compute(form, dict(BASE, start=text))
    year, month = (int(part) for part in outcome.split("-"))
    assert (result["start"], result["schedule"][0]["year"], result["schedule"][0]["month"]) == \
        (outcome, year, month)


# (a change to a request; what each form makes of it: a failure, or {fields}: read as the
# request with those fields)
@pytest.mark.parametrize("change, json_outcome, object_outcome", [
    # null fields, unknown keys (names differing in case too), the mode as a mapping
    ({"start": None, "emi": None}, {}, {}), ({"mode": {"emi": None}}, {}, {}),
    (dict(currency="INR", notes={"deep": [[{"x": None}]]}, Start="2024-01", MODE="tenure"), {}, {}),
    ({"mode": None}, "expected value", "expected either a str or dict for enum"),
    ({"mode": "Emi"}, *["unknown variant `Emi`, expected one of `emi`, `tenure`, `loanAmount`"] * 2),
    # in the object form, a mapping's one key names the mode, whatever its value
    ({"mode": {"tenure": 1}, "emi": 600}, "invalid type: integer `1`, expected unit",
     {"mode": "tenure", "emi": 600}),
    ({"months": 12.5}, "invalid type: floating point `12.5`, expected u32",
     "TypeError: 'float' object cannot be interpreted as an integer"),
    ({"months": -1}, "invalid value: integer `-1`, expected u32",
     "OverflowError: out of range integral type conversion attempted"),
    ({"inflationRate": None}, "invalid type: null, expected f64", "TypeError: must be real number, not NoneType"),
    ({"loanAmount": "1000"}, 'invalid type: string "1000", expected f64', "TypeError: must be real number, not str"),
    ({"start": 202403}, "invalid type: integer `202403`, expected a string",
     "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"interestRate": None, "mode": None}, "expected value", "expected either a str or dict for enum"),
])
def test_request_read(form, change, json_outcome, object_outcome):
    outcome = json_outcome if form == "json" else object_outcome
    if isinstance(outcome, dict):
        assert compute(form, dict(BASE, **change)) == compute(form, dict(BASE, **outcome))
    else:
        assert refused(form, dict(BASE, **change)) == "invalid request: " + outcome


@pytest.mark.parametrize("text, outcome", [
    ('{"mode":"emi","interestRate":1,"loanAmount":1,"loanAmount":2}', "duplicate field `loanAmount` at line 1 column 58"),
    ('{"loanAmount":1,"mode":"emi","emi":1,"months":1,"inflationRate":0}', "missing field `interestRate` at line 1 column 66"),
    ('{"interestRate":1}', "missing field `mode` at line 1 column 18"),
    ("[]", "invalid length 0, expected struct EmiRequest with 7 elements at line 1 column 2"),
    ('["emi", 100000, null, 12]', "invalid length 4, expected struct EmiRequest with 7 elements at line 1 column 25"),
    ('["emi", 1, null, 12, 10.5, 0, "2024-01", 1]', "trailing characters at line 1 column 42"),
    ("5", "invalid type: integer `5`, expected struct EmiRequest at line 1 column 1"),
    # A year-month's escapes are decoded before the check; the position is just past it.
    ('{"mode": "emi",\n "start": "2024\\u002f03", "interestRate": 1}',
     'expected "YYYY-MM", got "2024/03" at line 2 column 24'),
    # The positional form, fields in their order, is read as the mapping (which alone the
    # object form reads: test_objects.py).
    ('["emi", 100000, null, 12, 10.5]',
     {"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 10.5}),
    ('["loanAmount", null, 10000, 12, 12, 6, "2024-11"]', {"mode": "loanAmount", "emi": 10000,
     "months": 12, "interestRate": 12, "inflationRate": 6, "start": "2024-11"}),
])
def test_json_request(text, outcome):
    if isinstance(outcome, dict):
        assert json.loads(quorvane.compute_emi_json(text)) == quorvane.compute_emi(outcome)
        return
    with pytest.raises(ValueError) as info:
        quorvane.compute_emi_json(text)
    assert info.value.args == ("invalid request: " + outcome,)


# One month of 1000 at 12%, with a start and without: the result's text, keys in order,
# through both forms (the object form's dict written compactly).
HEAD = '{"mode":"emi","loanAmount":1000,"emi":1010,"months":1,"interestRate":12.0,"inflationRate":0.0,'
TOTALS = ('"totals":{"nominalPaid":1010,"realPaid":1010,"nominalPrincipal":1000,"nominalInterest":10,'
          '"realPrincipal":1000,"realInterest":10},"schedule":[{"index":0,')
ROW = ('"emi":1010,"principal":1000,"interest":10,"outstanding":0,"realEmi":1010,"realPrincipal":1000,'
       '"realInterest":10,"remainingEmi":0,"realRemainingEmi":0}],"years":')


@pytest.mark.parametrize("start, text", [
    ("2024-1", HEAD + '"start":"2024-01",' + TOTALS + '"year":2024,"month":1,' + ROW
     + '[{"year":2024,"months":[{"nominal":1010,"real":1010},' + "null," * 10
     + 'null],"nominalTotal":1010,"realTotal":1010,"closingOutstanding":0}]}'),
    (None, HEAD + TOTALS + ROW + "[]}"),
])
def test_result_text(form, start, text):
    request = {"mode": {"emi": None}, "loanAmount": 1000, "months": 1, "interestRate": 12, "start": start}
    written = quorvane.compute_emi_json(json.dumps(request)) if form == "json" else \
        json.dumps(quorvane.compute_emi(request), separators=(",", ":"))
    assert written == text


# MARK: the plain loan's model, against random requests


def round_half_up(x):
    f = math.floor(x + 0.5)
    return f - 1 if f - 0.5 > x else f


def power(base, n):
    result = base if n % 2 else 1.0
    k = n // 2
    while k:
        base *= base
        if k % 2:
            result *= base
        k //= 2
    return result


def amortising(a, p, r, n):
    """The whole instalment solved from `a`: one that lowers the balance from the first
    month on (the schedule's arithmetic for its first two months); over one month there
    is no regular month, and the rounded instalment stands."""
    e = round_half_up(a)
    if n < 2:
        return e
    if e <= p * r:
        e = math.floor(p * r) + 1
    second = round_half_up(p - (e - r * p))
    if n >= 3 and p > e and second > e and round_half_up(second - (e - r * second)) >= second:
        e += 1
    return e


def instalment(amount, months, r):
    """The unrounded instalment; None when a rate too small for 1 + r loses it."""
    if r == 0:
        return amount / months
    f = power(1 + r, months)
    return None if f == 1 else ((r * amount) * f) / (f - 1)


def months_to_repay(balance, emi, r):
    """Whole months to repay, or None when the instalment does not cover the interest."""
    if r == 0:
        return math.ceil(balance / emi)
    interest = balance * r
    if emi <= interest or r + 1 == 1 or emi / (emi - interest) == 1:
        return None  # never repaid, or the logarithms lose the answer
    return math.ceil(math.log(emi / (emi - interest)) / math.log(r + 1))


def check(request, result):
    """What must hold between a result's rows, totals and years."""
    rows, n = result["schedule"], len(result["schedule"])
    emis, reals = [r["emi"] for r in rows], [r["realEmi"] for r in rows]
    assert result["months"] == n >= 1 and [r["index"] for r in rows] == list(range(n))
    assert all(r["emi"] == r["principal"] + r["interest"] and r["interest"] >= 0 for r in rows)
    assert all(r["realEmi"] == r["realPrincipal"] + r["realInterest"] for r in rows)
    # Regular months pay the instalment and leave a balance; the last one clears it.
    assert emis[:-1] == [result["emi"]] * (n - 1) and rows[-1]["outstanding"] == 0
    assert all(r["outstanding"] > 0 for r in rows[:-1])
    if request["mode"] == "emi":  # a solved instalment lowers the balance every month
        assert all(a["outstanding"] > b["outstanding"] for a, b in zip(rows, rows[1:]))
    assert request["mode"] == "tenure" or n <= request["months"]
    # Real values are the nominal ones deflated by one more month of inflation per row
    # (without inflation, the nominal ones).
    g, deflator = math.pow(request.get("inflationRate", 0) / 100 + 1, 0.08333333333333333), 1.0
    for r in rows:
        assert (r["realPrincipal"], r["realInterest"]) == \
            (round_half_up(r["principal"] / deflator), round_half_up(r["interest"] / deflator))
        deflator *= g
    assert [(r["remainingEmi"], r["realRemainingEmi"]) for r in rows] == \
        [(sum(emis[i + 1:]), sum(reals[i + 1:])) for i in range(n)]
    paid, real, amount = sum(emis), sum(reals), result["loanAmount"]
    assert result["totals"] == {"nominalPaid": paid, "realPaid": real, "nominalPrincipal": amount,
                                "nominalInterest": paid - amount, "realPrincipal": amount,
                                "realInterest": real - amount}
    if request.get("start") is None:
        assert "start" not in result and result["years"] == []
        assert all("year" not in r and "month" not in r for r in rows)
        return
    year, month = (int(part) for part in request["start"].split("-"))
    assert [(r["year"], r["month"]) for r in rows] == \
        [(year + (month - 1 + k) // 12, (month - 1 + k) % 12 + 1) for k in range(n)]
    years = {}
    for r in rows:
        entry = years.setdefault(r["year"], {"year": r["year"], "months": [None] * 12, "nominalTotal": 0,
                                             "realTotal": 0, "closingOutstanding": 0})
        entry["months"][r["month"] - 1] = {"nominal": r["emi"], "real": r["realEmi"]}
        entry["nominalTotal"] += r["emi"]
        entry["realTotal"] += r["realEmi"]
        entry["closingOutstanding"] = r["outstanding"]
    assert result["years"] == list(years.values())


# Amounts in cents and rates in hundredths of a percent: their JSON text reads back as the
# same float, so both forms see the same request.
amounts = st.integers(1, 10 ** 11).map(lambda cents: cents / 100)
rates = st.one_of(st.just(0), st.integers(1, 4000).map(lambda k: k / 100))


@st.composite
def requests(draw):
    mode = draw(st.sampled_from(["emi", "tenure", "loanAmount"]))
    request = {"mode": mode, "interestRate": draw(rates), "inflationRate": draw(rates)}
    if mode != "loanAmount":
        request["loanAmount"] = draw(amounts)
    if mode == "tenure":  # an instalment on the loan's scale, so that most have a tenure
        request["emi"] = max(0.01, round(request["loanAmount"] * draw(st.floats(0.001, 1.5)), 2))
    else:
        request["months"] = draw(st.integers(1, 600))
        request.setdefault("emi", draw(amounts))  # ignored in emi mode
    if draw(st.booleans()):
        request["start"] = draw(st.builds("{:04d}-{:02d}".format, st.integers(0, 9999), st.integers(1, 12)))
    return request


@settings(max_examples=300, deadline=None)
@given(requests())
def test_random_requests(request):
    try:
        result = quorvane.compute_emi(request)
    except ValueError as error:
        assert request["mode"] == "tenure" and error.args[0].startswith(("monthly payment", "tenure of"))
        assert (failure("json", request),) == error.args
        return
    assert json.loads(quorvane.compute_emi_json(json.dumps(request))) == result
    assert (result["mode"], result["interestRate"], result["inflationRate"]) == \
        (request["mode"], request["interestRate"], request["inflationRate"])
    check(request, result)
    # The solved quantity, to the last bit.
    r, mode = request["interestRate"] / 100 / 12, request["mode"]
    p, a, n = request.get("loanAmount"), request["emi"], request.get("months")
    if mode == "emi":
        a = amortising(instalment(p, n, r), p, r, n)
    elif mode == "loanAmount":
        f = power(1 + r, n)
        p = a * n if r == 0 else ((f - 1) * a) / (r * f)
    else:
        assert result["months"] <= months_to_repay(p, a, r) <= 600
    assert (result["loanAmount"], result["emi"]) == (round_half_up(p), round_half_up(a))
