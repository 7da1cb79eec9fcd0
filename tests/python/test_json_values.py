"""Values read from and written to JSON, checked on a probe record that declares every
kind of field (an enumeration, optional, defaulted and omitted-when-absent fields,
numbers of both kinds, a nested record, a list)."""

import ctypes
import json
import math
import re
import struct
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


@pytest.fixture(scope="module")
def lib(native):
    native.qv_probe_json.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                     ctypes.c_size_t, ctypes.POINTER(ctypes.c_int)]
    native.qv_probe_json.restype = ctypes.c_size_t
    native.qv_format_float.argtypes = [ctypes.c_double, ctypes.c_char_p]
    native.qv_format_float.restype = ctypes.c_size_t
    return native


def probe(lib, text):
    """(True, JSON written back) or (False, failure text)."""
    data = text.encode()
    cap = 256
    while True:
        out = ctypes.create_string_buffer(cap)
        failed = ctypes.c_int()
        size = lib.qv_probe_json(data, len(data), out, cap, ctypes.byref(failed))
        if size <= cap:
            return not failed.value, out.raw[:size].decode()
        cap = size


def fmt(lib, value):
    out = ctypes.create_string_buffer(32)
    size = lib.qv_format_float(value, out)
    return out.raw[:size].decode()


# MARK: numbers

def with_number(field, value):
    """A probe text whose `weight` (an f64) or `count` (a u32) is `value`."""
    number = value if field == "weight" else '0,"count":' + value
    return '{"shape":"circle","weight":' + number + "}"


U32 = [
    ("12", 12), ("0", 0), ("4294967295", 4294967295),
    ("12.0", "invalid type: floating point `12.0`, expected u32"),
    ("1e1", "invalid type: floating point `10.0`, expected u32"),
    ("-0", "invalid type: floating point `-0.0`, expected u32"),
    ("-1", "invalid value: integer `-1`, expected u32"),
    ("4294967296", "invalid value: integer `4294967296`, expected u32"),
    ("18446744073709551616", "invalid type: floating point `1.8446744073709552e+19`, expected u32"),
    ("-9223372036854775809", "invalid type: floating point `-9.223372036854776e+18`, expected u32"),
    ("-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32"),
    ('"12"', 'invalid type: string "12", expected u32'), ("1e400", "number out of range"),
]
F64 = [
    ("5", 5.0), ("-5", -5.0), ("-0", -0.0), ("0.1", 0.1), ("1e-400", 0.0), ("-1e-400", -0.0),
    ("0e99999999999", 0.0), ("18446744073709551615", 18446744073709551615.0),
    ("123456789012345678901234567890", 1.2345678901234568e29),
    ("1.7976931348623157e308", 1.7976931348623157e308), ("1e400", "number out of range"),
    ("-1e400", "number out of range"), ("2e308", "number out of range"),
    ('"5"', 'invalid type: string "5", expected f64'),
    ("true", "invalid type: boolean `true`, expected f64"),
    ("[]", "invalid type: sequence, expected f64"),
]


@pytest.mark.parametrize("field, value, expected",
                         [("count", *c) for c in U32] + [("weight", *c) for c in F64])
def test_numbers(lib, field, value, expected):
    ok, text = probe(lib, with_number(field, value))
    if isinstance(expected, str):
        assert not ok and text.startswith(expected + " at line 1 column ")
    else:  # an int or a float of the same type and sign
        got = json.loads(text)[field]
        assert ok and type(got) is type(expected) and got == expected
        assert math.copysign(1, got) == math.copysign(1, expected)


def nearest_by_parts(text):
    """The reading rule: gather up to 64 bits of digits, then one multiplication or
    division by the float nearest to the power of ten."""
    mantissa, _, exponent = text.lower().partition("e")
    whole, _, fraction = mantissa.lstrip("-").partition(".")
    significand, scale, full = 0, int(exponent or 0), False
    for i, digit in enumerate(whole + fraction):
        full = full or significand * 10 + int(digit) > 2**64 - 1
        if full:
            scale += i < len(whole)
        else:
            significand, scale = significand * 10 + int(digit), scale - (i >= len(whole))
    value = float(significand)
    while scale < -308 and value != 0:
        value, scale = value / 1e308, scale + 308
    if value != 0 or scale <= 308:
        value = value * float(f"1e{scale}") if scale >= 0 else value / float(f"1e{-scale}")
    return -value if text.startswith("-") else value


numbers = st.builds(
    lambda sign, whole, fraction, exponent: f"{sign}{whole}{fraction}{exponent}",
    st.sampled_from(["", "-"]),
    st.from_regex(r"0|[1-9][0-9]{0,24}", fullmatch=True),
    st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,24}", fullmatch=True)),
    st.one_of(st.just(""), st.integers(-330, 300).map(lambda e: f"e{e}")),
)
# Up to 15 digits times a power of ten up to 22, both exact as floats: the fast path, where
# the one rounding gives the nearest float (what Python's float() reads too).
short_numbers = st.builds(lambda digits, exponent: f"{digits}e{exponent}",
                          st.integers(1, 10**15 - 1), st.integers(-22, 22))


@settings(max_examples=800, deadline=None)
@given(st.one_of(numbers, short_numbers))
def test_f64_reading_rule(lib, text):
    expected = nearest_by_parts(text)
    ok, out = probe(lib, with_number("weight", text))
    if math.isinf(expected):
        assert not ok and out.startswith("number out of range")
    else:
        assert ok and struct.pack("<d", json.loads(out)["weight"]) == struct.pack("<d", expected)


# MARK: writing floats

def layout(value):
    """Python's shortest round-trip digits: fixed, with a point, from 1e-5 up to 1e16, and
    elsewhere as Python writes them but with the exponent unpadded."""
    if not math.isfinite(value):
        return "null"
    if value == 0 or 1e-5 <= abs(value) < 1e16:
        return f"{Decimal(repr(value)):f}"
    return re.sub(r"e([+-])0(?=\d)", r"e\1", repr(value))


@pytest.mark.parametrize("value, text", [
    (0.1, "0.1"), (100.0, "100.0"), (1.0, "1.0"), (1e21, "1e+21"), (1e-7, "1e-7"),
    (123456.789, "123456.789"), (1e15, "1000000000000000.0"), (1e16, "1e+16"),
    (0.00001, "0.00001"), (1.5e-7, "1.5e-7"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (0.0, "0.0"), (-0.0, "-0.0"), (-2.5, "-2.5"), (5e-324, "5e-324"),
    (math.nan, "null"), (math.inf, "null"), (-math.inf, "null"),
])
def test_float_layout(lib, value, text):
    assert fmt(lib, value) == text


@settings(max_examples=1000, deadline=None)
@given(st.floats())
def test_float_layout_round_trips(lib, value):
    text = fmt(lib, value)
    assert text == layout(value) and (text == "null" or float(text) == value)


# MARK: records, enumerations, optional and defaulted fields

# (text, the start of the record written back, or the failure text)
@pytest.mark.parametrize("text, outcome", [
    # absent optional fields are written as null, omitted-when-absent ones are left out
    ('{"shape":"square","weight":1}',
     '{"shape":"square","size":null,"count":null,"weight":1.0,"scale":1.0,"origin":null,"tags":[]}'),
    ('{"shape":"circle","weight":1,"size":null,"label":null,"scale":2,"label2":[]}',
     '{"shape":"circle","size":null,"count":null,"weight":1.0,"scale":2.0,"origin":null,"tags":[]}'),
    ('{"shape":"circle","weight":1,"label":"x","origin":[1,2],"tags":["a"]}',
     '{"shape":"circle","size":null,"count":null,"weight":1.0,"scale":1.0,"origin":{"x":1.0,"y":2.0},"label":"x","tags":["a"]}'),
    # enumerations: the name as a string, or an object holding only the name and null
    ('{"shape":{"roundedBox":null},"weight":1}', '{"shape":"roundedBox",'),
    ('{"shape":{ "square" : null } ,"weight":1}', '{"shape":"square",'),
    # the positional form: fields cut off from the end keep their defaults
    ('["circle",null,3,2.5]', '{"shape":"circle","size":null,"count":3,"weight":2.5,"scale":1.0,'),
    ('["circle",1,null,2,3,null,"l",["t"]]', '{"shape":"circle","size":1.0,"count":null,"weight":2.0,"scale":3.0,"origin":null,"label":"l","tags":["t"]}'),
    # (A missing field, an empty or overlong positional form: test_json_reader.py's SHAPE,
    # through the same reader.)
    ('{"shape":"RoundedBox","weight":1}', "unknown variant `RoundedBox`, expected one of `circle`, `square`, `roundedBox` at line 1 column 21"),
    ('{"shape":null,"weight":1}', "expected value at line 1 column 10"),
    ('{"shape":3,"weight":1}', "expected value at line 1 column 10"),
    ('{"shape":[],"weight":1}', "expected value at line 1 column 10"),
    ('{"shape":{},"weight":1}', "expected value at line 1 column 11"),
    ('{"shape":{"circle":1},"weight":1}', "invalid type: integer `1`, expected unit at line 1 column 20"),
    ('{"shape":{"circle":null,"square":null},"weight":1}', "expected value at line 1 column 24"),
    ('{"shape":{"oval":null},"weight":1}', "unknown variant `oval`, expected one of `circle`, `square`, `roundedBox` at line 1 column 16"),
    ('{"shape":{1:null},"weight":1}', "invalid type: integer `1`, expected variant identifier at line 1 column 11"),
    ('{"shape":{"circle" null}}', "expected `:` at line 1 column 20"),
    ('{"shape":"circle","weight":1,"scale":null}', "invalid type: null, expected f64 at line 1 column 41"),
    ('{"shape":"circle","weight":1,"origin":{"x":1}}', "missing field `y` at line 1 column 45"),
    ('{"shape":"circle","weight":1,"origin":[1]}', "invalid length 1, expected struct Point with 2 elements at line 1 column 41"),
    ('{"shape":"circle","weight":1,"origin":5}', "invalid type: integer `5`, expected struct Point at line 1 column 39"),
    ('["circle"]', "invalid length 3, expected struct Probe with 8 elements at line 1 column 10"),
    ('["circle",null , ]', "trailing comma at line 1 column 18"),
    ('["circle",null,null]', "invalid length 3, expected struct Probe with 8 elements at line 1 column 20"),
    ('["circle",null,null,1,1,null,null,[]', "EOF while parsing a list at line 1 column 36"),
])
def test_probe(lib, text, outcome):
    ok, out = probe(lib, text)
    assert (ok, out[:len(outcome)] if ok else out) == (outcome.startswith("{"), outcome), out
