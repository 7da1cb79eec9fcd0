"""Loans with events and fees, through the engine's C test entry point: hand-worked
schedules for each kind of event, each refusal, and the annual percentage rate against
bisection and a published example. (The fuzz target checks the invariants of random
loans with random events, and that a loan without events is the plain one.)"""

import ctypes
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st



@pytest.fixture(scope="module")
def run(native):
    """Each loan's answer ({"result", "months", "summary"} or its error), or the table's error."""
    def run(loans, events=()):
        text = json.dumps({"loans": loans, "events": list(events)}).encode()
        out = ctypes.create_string_buffer(1 << 20)
        n = native.qv_emi_events(text, ctypes.c_size_t(len(text)), out, ctypes.c_size_t(len(out)))
        assert n <= len(out)
        return json.loads(out.raw[:n])
    return run


def one(run, request, events=(), fees=None):
    """The answer for a single loan (events name loan 0)."""
    return run([{"request": request, "fees": fees}], [dict(e, loan=0) for e in events])[0]


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
    ([event(0, "prepay", 300)], [(556, 546, 10, 454), (256, 251, 5, 203), (205, 203, 2, 0)],
     [12.0] * 3, [300, 0, 0], (26, 9, 1)),
    # The same keeping the tenure: E over 3 rows from 454: 4.54 x 1.01^3 / (1.01^3 - 1) = 154.37.
    #   row 1: I 4.54, u 149.46, p 149, q 5, B round(304.54) = 305
    #   row 2: I 3.05, u 150.95, p 151, q 3, B round(154.05) = 154
    #   row 3 closes: 154 + round(1.54) = 156. Interest 20: 6 saved, no month.
    ([event(0, "prepay", 300, "tenure")],
     [(556, 546, 10, 454), (154, 149, 5, 305), (154, 151, 3, 154), (156, 154, 2, 0)],
     [12.0] * 4, [300, 0, 0, 0], (26, 6, 0)),
    # A prepayment above the balance after row 1 is capped at 506 and closes the loan there.
    ([event(1, "prepay", 10 ** 6)], [(256, 246, 10, 754), (762, 754, 8, 0)],
     [12.0] * 2, [0, 506], (26, 8, 2)),
    # 24% (r = 0.02) after row 1, keeping the tenure: E over 2 rows from 506:
    # 10.12 x 1.0404 / 0.0404 = 260.62, so 261.
    #   row 2: I 10.12, u 250.88, p 251, q 10, B round(255.12) = 255
    #   row 3 closes: 255 + round(5.1) = 260. Interest 33: 7 more, no month saved.
    ([event(1, "rate", 24, "tenure")],
     [(256, 246, 10, 754), (256, 248, 8, 506), (261, 251, 10, 255), (260, 255, 5, 0)],
     [12.0, 12.0, 24.0, 24.0], [0] * 4, (26, -7, 0)),
    # The same keeping the emi: ln(256 / 245.88) / ln(1.02) = 2.04, so 3 more rows.
    #   row 2: I 10.12, u 245.88, p 246, q 10, B round(260.12) = 260
    #   row 3: I 5.2,   u 250.8,  p 251, q 5,  B round(9.2) = 9
    #   row 4 closes: 9 + round(0.18) = 9. Interest 33: 7 more and a month longer.
    ([event(1, "rate", 24)],
     [(256, 246, 10, 754), (256, 248, 8, 506), (256, 246, 10, 260), (256, 251, 5, 9), (9, 9, 0, 0)],
     [12.0, 12.0, 24.0, 24.0, 24.0], [0] * 5, (26, -7, -1)),
    # A step-up to 400 after row 0: ln(400 / 392.46) / ln(1.01) = 1.91, so 2 more rows.
    #   row 1: I 7.54, u 392.46, p 392, q 8, B round(361.54) = 362
    #   row 2 closes: 362 + round(3.62) = 366. Interest 22: 4 saved, a month too.
    ([event(0, "emi", 400.4)], [(256, 246, 10, 754), (400, 392, 8, 362), (366, 362, 4, 0)],
     [12.0] * 3, [0] * 3, (26, 4, 1)),
]


@pytest.mark.parametrize("events, rows, rates, prepayments, saved", HAND_WORKED)
def test_hand_worked(run, events, rows, rates, prepayments, saved):
    answer = one(run, LOAN, events)
    result = answer["result"]
    assert [(r["emi"], r["principal"], r["interest"], r["outstanding"]) for r in result["schedule"]] == rows
    assert answer["months"] == [{"rate": r, "prepayment": p} for r, p in zip(rates, prepayments)]
    summary = answer["summary"]
    assert (summary["baselineInterest"], summary["interestSaved"], summary["monthsSaved"]) == saved
    assert (result["emi"], result["totals"]["nominalPaid"]) == (256, sum(r[0] for r in rows))


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


@pytest.mark.parametrize("events, message", REFUSED)
def test_refused(run, events, message):
    assert one(run, LOAN, events) == message


def test_refusals_stay_with_their_loan(run):
    loans = [{"request": LOAN}, {"request": dict(LOAN, months=0)}, {"request": LOAN}]
    answers = run(loans, [dict(event(9, "prepay", 1), loan=2)])
    assert "result" in answers[0] and answers[1:] == [
        "invalid input: months must be greater than zero",
        "event 0: it takes effect after month 9, but the loan ends in month 3"]
    # An event for a loan that does not exist is the whole table's fault.
    assert run(loans, [dict(event(0, "prepay", 1), loan=0), dict(event(0, "prepay", 1), loan=3)]) == \
        "event 1: loan 3 does not exist in a table of 3 loans"


# MARK: annual percentage rate


def bisect_rate(received, payments):
    """The monthly rate at which the payments, one a month from month 1, are worth `received`."""
    def worth(i):
        return sum(p / (1 + i) ** (k + 1) for k, p in enumerate(payments))
    low, high = 0.0, sum(payments) / received
    for _ in range(200):
        middle = (low + high) / 2
        low, high = (middle, high) if worth(middle) > received else (low, middle)
    return low


@settings(max_examples=100, deadline=None)
@given(st.integers(1000, 10 ** 7), st.integers(1, 360), st.integers(0, 3600).map(lambda k: k / 100),
       st.floats(0, 0.2), st.one_of(st.none(), st.floats(0.01, 0.5)))
def test_apr_against_bisection(run, amount, months, rate, fee_share, prepay_share):
    events = [event(0, "prepay", amount * prepay_share)] if prepay_share and months > 1 else []
    request = {"mode": "emi", "loanAmount": amount, "months": months, "interestRate": rate}
    answer = one(run, request, events, fees=round(amount * fee_share))
    payments = [row["emi"] for row in answer["result"]["schedule"]]
    received = amount - round(amount * fee_share)
    if sum(payments) == received:
        assert answer["summary"]["apr"] == 0
        return
    i = bisect_rate(received, payments)
    assert answer["summary"]["apr"] == pytest.approx(1200 * i, rel=1e-9)
    assert answer["summary"]["effectiveRate"] == pytest.approx(100 * ((1 + i) ** 12 - 1), rel=1e-9)


def test_apr_examples(run):
    # Directive 98/7/EC (consumer credit), Annex III, third example: 1000 lent, repaid by
    # 600 after one period and 600 after two, gives i = 0.1306623 a period. 1000 over two
    # months at 156.79% pays exactly 600 and 600 (rows 469 + 131, then 531 + 69).
    answer = one(run, {"mode": "emi", "loanAmount": 1000, "months": 2, "interestRate": 156.79}, fees=0)
    assert [row["emi"] for row in answer["result"]["schedule"]] == [600, 600]
    assert answer["summary"]["apr"] / 1200 == pytest.approx(0.1306623, abs=1e-7)
    # Payments that only return what was received cost nothing.
    free = one(run, {"mode": "emi", "loanAmount": 1000, "months": 3, "interestRate": 0}, fees=0)
    assert (free["summary"]["apr"], free["summary"]["effectiveRate"]) == (0, 0)


@pytest.mark.parametrize("fees, message", [
    (1000, "invalid input: fees must be less than the loan amount"),
    (-1, "invalid input: fees must be zero or greater"),
])
def test_fees_refused(run, fees, message):
    assert one(run, LOAN, fees=fees) == message
