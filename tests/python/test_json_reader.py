"""Reading request texts: failure messages and their positions, and the values read."""

import json

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvane
from test_objects import failure

P = '{"data":[],"rules":[],"x":'  # a value after this prefix is skipped (26 bytes)


# (request text, failure text with its position)
SYNTAX = [
    # nothing, or something else, where the request is due
    *((text, f"EOF while parsing a value at line 1 column {len(text)}") for text in ("", "   ")),
    *((text, "expected value at line 1 column 1") for text in ("\ufeff{}", "x")),
    ('{"data":[],"rules":[]} x', "trailing characters at line 1 column 24"),
    ('{"data":[],"rules":[]}{"data":[],"rules":[]}', "trailing characters at line 1 column 23"),
    # literals
    (P + "tru}", "expected ident at line 1 column 30"),
    (P + "nul", "EOF while parsing a value at line 1 column 29"),
    # numbers: cut short before the "}" or at the end, and what no number starts with
    *((P + text, f"invalid number at line 1 column {column}")
      for text, column in [("01}", 28), ("1.}", 29), ("-}", 28), ("1e}", 29)]),
    *((P + text, f"EOF while parsing a value at line 1 column {26 + len(text)}")
      for text in ("1.", "-", "1e")),
    *((P + text, "expected value at line 1 column 27")
      for text in ("+1}", ".5}", "NaN}", "Infinity}")),
    # strings
    (P + '"a\\qb"}', "invalid escape at line 1 column 30"),
    (P + '"\\u12G4"}', "invalid escape at line 1 column 32"),
    (P + '"a\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 29"),
    (P + '"abc', "EOF while parsing a string at line 1 column 30"),
    (P + '"\\u12', "EOF while parsing a string at line 1 column 31"),
    # arrays and objects
    (P + "[1,]}", "trailing comma at line 1 column 30"),
    (P + '{"a":1,}}', "trailing comma at line 1 column 34"),
    (P + "[1 2]}", "expected `,` or `]` at line 1 column 30"),
    (P + '{"a" 1}}', "expected `:` at line 1 column 32"),
    (P + "{1:2}}", "key must be a string at line 1 column 28"),
    (P + '{"a":1 "b":2}}', "expected `,` or `}` at line 1 column 34"),
    (P + "[", "EOF while parsing a list at line 1 column 27"),
    (P + "{", "EOF while parsing an object at line 1 column 27"),
    (P + '{"a"', "EOF while parsing an object at line 1 column 30"),
    (P, "EOF while parsing a value at line 1 column 26"),
    ('{"data":[],"rules":[],}', "trailing comma at line 1 column 23"),
    ('{"data" []}', "expected `:` at line 1 column 9"),
    ('{"data":[]"rules":[]}', "expected `,` or `}` at line 1 column 11"),
    # nesting: 128 open arrays and objects at once, counting skipped values
    (P + "[" * 128 + "]" * 128 + "}", "recursion limit exceeded at line 1 column 154"),
    # lines and columns count bytes from the last line feed
    ('{\n  "data": 5\n}', "invalid type: integer `5`, expected a sequence at line 2 column 11"),
    ('{"data":[],\r\n"rules":[],\n"x":"\u00e9\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 8"),
]

SHAPE = [
    ("{}", "missing field `data` at line 1 column 2"),
    ('{"rules":[]}', "missing field `data` at line 1 column 12"),
    ('{"data":[]}', "missing field `rules` at line 1 column 11"),
    ('{"Data":[],"rules":[]}', "missing field `data` at line 1 column 22"),
    ('{"data":[],"data":[]}', "duplicate field `data` at line 1 column 17"),
    ('{"data":[] , "data" :[]}', "duplicate field `data` at line 1 column 20"),
    ('{"data": 5}', "invalid type: integer `5`, expected a sequence at line 1 column 10"),
    ("5", "invalid type: integer `5`, expected struct CategorizeRequest at line 1 column 1"),
    ('"req"', 'invalid type: string "req", expected struct CategorizeRequest at line 1 column 5'),
    ("null", "invalid type: null, expected struct CategorizeRequest at line 1 column 4"),
    ("[[]]", "invalid length 1, expected struct CategorizeRequest with 2 elements at line 1 column 4"),
    ("[]", "invalid length 0, expected struct CategorizeRequest with 2 elements at line 1 column 2"),
    ("[[],[],[]]", "trailing characters at line 1 column 8"),
    ("[[],[],]", "trailing comma at line 1 column 8"),
    ('{"data":[{"narration":"a"}],"rules":[["p","c"]]}',
     "invalid length 2, expected struct CategoryRule with 3 elements at line 1 column 46"),
    ('{"data":[],"rules":[["p","c","m","x"]]}', "trailing characters at line 1 column 34"),
    ('{"data":[],"rules":[["p","c","m",]]}', "trailing comma at line 1 column 34"),
    ('{"data":[],"rules":[{"pattern":"p","category":"c","merchant":null}]}',
     "invalid type: null, expected a string at line 1 column 65"),
    ('{"data":[],"rules":[{"pattern":"p","pattern":"q"}]}', "duplicate field `pattern` at line 1 column 44"),
    ('{"data":["abc"],"rules":[]}', 'invalid type: string "abc", expected struct MapInput at line 1 column 14'),
    ('{"data":[1.5],"rules":[]}', "invalid type: floating point `1.5`, expected struct MapInput at line 1 column 12"),
    ('{"data":[-2],"rules":[]}', "invalid type: integer `-2`, expected struct MapInput at line 1 column 11"),
    ('{"data":[true],"rules":[]}', "invalid type: boolean `true`, expected struct MapInput at line 1 column 13"),
    ('{"data":{},"rules":[]}', "invalid type: map, expected a sequence at line 1 column 9"),
    ('{"data":[{"narration":[]}],"rules":[]}', "invalid type: sequence, expected a string at line 1 column 23"),
    ('{"data":[{"narration":"\\ud800x"}],"rules":[]}', "unexpected end of hex escape at line 1 column 30"),
    ('{"data":[{"narration":"\\udc00"}],"rules":[]}', "lone leading surrogate in hex escape at line 1 column 29"),
    ('{"data":[{"narration":"\\ud800\\u0041"}],"rules":[]}', "lone leading surrogate in hex escape at line 1 column 35"),
    ('{"data":[{"narration":"\\ud800', "EOF while parsing a string at line 1 column 29"),
    ('{"data":[{"narration":"q\\"\\t\\u0001\\u00e9"}],"rules":[3]}',
     "invalid type: integer `3`, expected struct CategoryRule at line 1 column 54"),
    ('{"data":["a\\"\\\\\\t\\n\\r\\u0000\\u0085\\u00e9"],"rules":[]}',
     'invalid type: string "a\\"\\\\\\t\\n\\r\\0\\u{85}\u00e9", expected struct MapInput at line 1 column 40'),
]


ACCEPTED = [
    '{"data":[],"rules":[]} \n',
    ' \t\r\n{"data":[],"rules":[]}',
    '{"rules":[],"data":[],"x":{"data":1},"x":[1,{"y":null}],"rules ":true}',
    P + "1e400}",  # a skipped number need not fit a float
    P + '"\\ud800"}',  # nor need a skipped string pair its surrogates
    P + "[" * 127 + "]" * 127 + "}",
    P + '{"a":' * 127 + "0" + "}" * 127 + "}",
    '[[{"narration":"x"}],[["x","c","m"]]]',
    '{"d\\u0061ta":[],"rules":[]}',
]


@pytest.mark.parametrize("text, message", SYNTAX + SHAPE + [(text, None) for text in ACCEPTED])
def test_failure_text_and_position(text, message):
    """The failure text with its position, or None for a text that is read."""
    if message is None:
        json.loads(quorvane.categorize_transactions_json(text))
    else:
        assert failure(text, quorvane.categorize_transactions_json) == message


# Any text, with its escapes (surrogate pairs too) as Python writes them or left raw, reads
# back as the object form reads it, and is written back as Python's compact JSON.
@settings(max_examples=300, deadline=None)
@example(["\"\\/\b\f\n\r\t\x01\x1f\x7f", "é\U0001F600"], True)
@given(st.lists(st.text(max_size=6), max_size=4), st.booleans())
def test_json_form_equals_object_form(texts, ascii):
    rules = [{"pattern": t[:2], "category": t, "merchant": t[::-1] + "\x7f/"} for t in texts]
    request = {"data": [{"narration": t.upper()} for t in texts], "rules": rules}
    out = quorvane.categorize_transactions_json(json.dumps(request, ensure_ascii=ascii))
    assert out == json.dumps(quorvane.categorize_transactions(request), ensure_ascii=False,
                             separators=(",", ":"))
