"""Loan instalment records: reading requests and year-months in both forms, and the shape
of the results."""

import json

import pytest

import quorvane
from test_emi import compute, failure, form  # noqa: F401  (form: the fixture of both forms)

BASE = {"mode": "emi", "loanAmount": 1000, "months": 2, "interestRate": 12}


def refused(form, request):
    """The failure's message without the JSON reader's position."""
    return failure(form, request).split(" at line 1 column ")[0]


@pytest.mark.parametrize("text, written", [
    ("2024-03", "2024-03"), ("2024-3", "2024-03"), ("24-03", "0024-03"), ("+2024-+3", "2024-03"),
    ("02024-003", "2024-03"), ("0-12", "0000-12"), ("12345-03", "12345-03"),
    ("2147483647-1", "2147483647-01"), ("000000000000000000002024-0000000000000000000011", "2024-11"),
])
def test_year_month_accepted(form, text, written):
    result = compute(form, dict(BASE, start=text))
    year, month = (int(part) for part in written.split("-"))
    assert (result["start"], result["schedule"][0]["year"], result["schedule"][0]["month"]) == (written, year, month)


@pytest.mark.parametrize("text, message", [
    ("2024", 'expected "YYYY-MM", got "2024"'),
    ("", 'expected "YYYY-MM", got ""'),
    ("2024\u221203", 'expected "YYYY-MM", got "2024\u221203"'),  # a minus sign, not a hyphen
    ("-2024-03", 'invalid year in "-2024-03"'),
    ("+-03", 'invalid year in "+-03"'),
    (" 2024-03", 'invalid year in " 2024-03"'),
    ("2147483648-01", 'invalid year in "2147483648-01"'),
    ("\u0662\u0660\u0662\u0664-03", 'invalid year in "\u0662\u0660\u0662\u0664-03"'),
    ("x-13", 'invalid year in "x-13"'),
    ("2024-", 'invalid month in "2024-"'),
    ("2024-+", 'invalid month in "2024-+"'),
    ("2024--3", 'invalid month in "2024--3"'),
    ("2024-03-01", 'invalid month in "2024-03-01"'),
    ("2024-03 ", 'invalid month in "2024-03 "'),
    ("2024-4294967296", 'invalid month in "2024-4294967296"'),
    ("2024-13", 'month out of range in "2024-13"'),
    ("2024-00", 'month out of range in "2024-00"'),
    ("2024-4294967295", 'month out of range in "2024-4294967295"'),
    ("a\"b\\c\n\r\t\x00\x01\x7f\u200b\u00e9", 'expected "YYYY-MM", got "a\\"b\\\\c\\n\\r\\t\\0\\u{1}\\u{7f}\\u{200b}\u00e9"'),
])
def test_year_month_rejected(form, text, message):
    assert refused(form, dict(BASE, start=text)) == "invalid request: " + message


@pytest.mark.parametrize("request_", [
    dict(BASE, start=None, emi=None),
    dict(BASE, currency="INR", notes={"deep": [[{"x": None}]]}, Start="2024-01", MODE="tenure"),
    dict(BASE, mode={"emi": None}),
])
def test_equal_requests(form, request_):
    assert compute(form, request_) == compute(form, BASE)


@pytest.mark.parametrize("change, json_message, object_message", [
    ({"mode": None}, "expected value", "expected either a str or dict for enum"),
    ({"mode": "Emi"}, *["unknown variant `Emi`, expected one of `emi`, `tenure`, `loanAmount`"] * 2),
    ({"mode": {"tenure": 1}}, "invalid type: integer `1`, expected unit", None),
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
def test_request_rejected(form, change, json_message, object_message):
    if form == "json" or object_message is not None:
        expected = json_message if form == "json" else object_message
        assert refused(form, dict(BASE, **change)) == "invalid request: " + expected


@pytest.mark.parametrize("text, message", [
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
])
def test_json_request_rejected(text, message):
    with pytest.raises(ValueError) as info:
        quorvane.compute_emi_json(text)
    assert info.value.args == ("invalid request: " + message,)


@pytest.mark.parametrize("array, request_", [
    (["emi", 100000, None, 12, 10.5], {"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 10.5}),
    (["loanAmount", None, 10000, 12, 12, 6, "2024-11"],
     {"mode": "loanAmount", "emi": 10000, "months": 12, "interestRate": 12, "inflationRate": 6, "start": "2024-11"}),
])
def test_positional_form(array, request_):
    # The object form reads mappings only.
    assert json.loads(quorvane.compute_emi_json(json.dumps(array))) == quorvane.compute_emi(request_)
    assert failure("object", array) == \
        "invalid request: unexpected type: 'list' object cannot be converted to 'Mapping'"


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


def test_object_form_details():
    assert quorvane.compute_emi(dict(BASE, mode={"tenure": 42}, emi=600))["months"] == 2  # the value is ignored
    result = quorvane.compute_emi(dict(BASE, interestRate=10.12345678901234567))
    assert type(result["interestRate"]) is float and result["interestRate"] == 10.12345678901234567
