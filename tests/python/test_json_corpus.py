"""JSONTestSuite's parsing corpus, each document read as a value that the request skips."""

from pathlib import Path

import pytest

import quorvane

CORPUS = Path(__file__).parent.parent / "data" / "json" / "test_parsing"
FILES = sorted(CORPUS.glob("*.json"))
PREFIX = '{"data":[],"rules":[],"skipped":'


def nesting(text):
    """Deepest nesting of arrays and objects, outside strings."""
    depth = deepest = 0
    in_string = escaped = False
    for c in text:
        if in_string:
            escaped = not escaped and c == "\\"
            in_string = escaped or c != '"'
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "]}":
            depth -= 1
    return deepest


def test_corpus_is_present():
    assert len(FILES) == 318


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_document(path):
    expectation = path.name[0]
    try:
        text = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        # Not UTF-8, so it cannot reach the module as a str at all.
        assert expectation in "ni", "a document every parser must accept is UTF-8"
        return

    # As a whole request: any outcome but a crash.
    try:
        quorvane.categorize_transactions_json(text)
    except (ValueError, UnicodeEncodeError):
        pass

    request = PREFIX + text + "}"
    try:
        assert quorvane.categorize_transactions_json(request) == '{"data":[]}'
        accepted, message = True, None
    except ValueError as error:
        accepted, message = False, str(error)

    if text.startswith("\ufeff"):
        # A byte-order mark is not whitespace.
        assert message is not None and "expected value" in message
    elif nesting(text) + 1 > 128:
        # Deeper than the budget of 128 open arrays and objects (the request adds one).
        assert message is not None and message.startswith("invalid request: recursion limit exceeded")
    elif expectation == "y":
        assert accepted, message
    elif expectation == "n":
        assert not accepted
