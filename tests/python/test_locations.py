"""Where a failure happened: the note added to the exception (its message unchanged), with
the path to the failing value in both forms, and in JSON the text around it with a caret."""

import json
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvane


def notes(call, request):
    with pytest.raises(ValueError) as info:
        call(request)
    (message,) = info.value.args  # the note never joins the message
    return message, getattr(info.value, "__notes__", [])


def paths(request):
    """The note's first line from the object form and from the JSON form."""
    by_object = notes(quorvane.categorize_transactions, request)[1]
    by_json = notes(quorvane.categorize_transactions_json, json.dumps(request))[1]
    return by_object[0], by_json[0].splitlines()[0]


def rule(pattern="p"):
    return {"pattern": pattern, "category": "c", "merchant": "m"}


# Failures at every depth of a categorisation request, and the path each one names (a
# field of the wrong type: test_json_excerpt_points_at_the_failing_value).
PATHS = [
    ({"data": 3, "rules": []}, 'at request["data"]'),
    ({"data": [{"narration": "a"}] * 3 + [{}], "rules": []}, 'at request["data"][3]'),
    ({"data": [], "rules": [rule(), 7]}, 'at request["rules"][1]'),
    ({"rules": []}, "at request"),
]


@pytest.mark.parametrize("request_, path", PATHS)
def test_both_forms_name_the_path_to_the_failing_value(request_, path):
    assert paths(request_) == (path, path)


def test_a_repeated_field_is_named_in_both_forms():
    text = '{"data": [{"narration": "a", "narration": "b"}], "rules": []}'
    message, (note,) = notes(quorvane.categorize_transactions_json, text)
    assert message == "invalid request: duplicate field `narration` at line 1 column 40"
    assert note.splitlines()[0] == 'at request["data"][0]["narration"]'


@settings(max_examples=60, deadline=None)
@given(
    narrations=st.lists(st.text(max_size=30), max_size=40),
    rules=st.lists(st.tuples(st.text(max_size=8), st.text(max_size=8)), max_size=10),
    where=st.integers(min_value=0),
    bad=st.sampled_from([5, None, 2.5, [], {}]),
    newlines=st.booleans(),
)
@example(narrations=["a", "b"], rules=[], where=1, bad=None, newlines=False)
@example(narrations=[], rules=[("p", "c")] * 3, where=5, bad=5, newlines=True)  # rules[2].category
def test_json_excerpt_points_at_the_failing_value(narrations, rules, where, bad, newlines):
    # One value of a valid request is replaced by one of the wrong type: both forms name
    # its path, and the JSON caret sits under the last byte the reader took, which is the
    # bad value's own (its last byte, or the bracket that opens it).
    request = {"data": [{"narration": n} for n in narrations],
               "rules": [{"pattern": p, "category": c, "merchant": "m"} for p, c in rules]}
    slots = [("data", i, "narration") for i in range(len(narrations))]
    slots += [("rules", i, f) for i in range(len(rules)) for f in ("pattern", "category")]
    if not slots:
        return
    key, index, field = slots[where % len(slots)]
    request[key][index][field] = bad
    path = f'at request["{key}"][{index}]["{field}"]'
    assert paths(request)[0] == path

    text = json.dumps(request, indent=1 if newlines else None)
    message, (note,) = notes(quorvane.categorize_transactions_json, text)
    first, shown, caret = note.split("\n")
    assert first == path
    line, column = map(int, re.search(r"at line (\d+) column (\d+)$", message).groups())
    failing = text.split("\n")[line - 1].encode()[column - 1:column].decode()
    assert caret.strip() == "^" and len(caret) <= len(shown) + 1
    assert shown[len(caret) - 1] == failing == json.dumps(bad)[0 if bad in ([], {}) else -1]
    assert len(shown) < 100  # a long line is cut around the failure


def test_a_long_one_line_request_shows_only_the_text_around_the_failure():
    request = {"data": [{"narration": "x" * 50}] * 20000 + [{"narration": 1}], "rules": []}
    text = json.dumps(request)
    message, (note,) = notes(quorvane.categorize_transactions_json, text)
    assert message.endswith(f"at line 1 column {text.index(': 1}') + 3}")
    assert note.split("\n") == [
        'at request["data"][20000]["narration"]',
        "    ..." + "x" * 22 + '"}, {"narration": 1}], "rules": []}',
        " " * (4 + 3 + 40) + "^",  # forty characters of context before the failing byte
    ]


# Engine failures name the request field the message is about, in both forms.
@pytest.mark.parametrize("request_, field", [
    ({"mode": "emi", "months": 12, "interestRate": 1}, "loanAmount"),
    ({"mode": "emi", "loanAmount": 100, "months": 0, "interestRate": 1}, "months"),
    ({"mode": "emi", "loanAmount": 100, "months": 601, "interestRate": 1}, "months"),
    ({"mode": "tenure", "loanAmount": 1e5, "emi": 10, "interestRate": 12}, "emi"),
    ({"mode": "tenure", "loanAmount": 1e6, "emi": 1000, "interestRate": 0}, "emi"),
    ({"mode": "emi", "loanAmount": 100, "months": 1, "interestRate": -1}, "interestRate"),
    ({"mode": "emi", "loanAmount": 100, "months": 1, "interestRate": 1, "inflationRate": -1},
     "inflationRate"),
    ({"mode": "emi", "loanAmount": 100, "months": 12, "interestRate": 1, "start": "2147483647-06"},
     "start"),
])
def test_engine_failures_name_their_field(request_, field):
    by_object = notes(quorvane.compute_emi, request_)
    assert by_object == notes(quorvane.compute_emi_json, json.dumps(request_))
    assert by_object[1] == [f'at request["{field}"]']
