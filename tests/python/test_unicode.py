"""tests/python/test_unicode.py: the native lower-casing and character classes, checked against
Python's str.lower and against the UCD files in /usr/share/unicode read independently here."""

import ctypes
import re
import string
import unicodedata
from functools import lru_cache
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

UCD_DIR = Path("/usr/share/unicode")
CODE_POINTS = 0x110000
ALNUM, PRINTABLE, CASED, CASE_IGNORABLE = 1, 2, 4, 8
SURROGATES = range(0xD800, 0xE000)


@pytest.fixture
def lib(native):
    native.qv_lower.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
    native.qv_lower.restype = ctypes.c_size_t
    native.qv_char_flags.argtypes = [ctypes.c_uint32]
    native.qv_char_flags.restype = ctypes.c_int
    native.qv_ucd_version.argtypes = []
    native.qv_ucd_version.restype = ctypes.c_char_p
    return native


def lower(lib, text):
    data = text.encode("utf-8")
    cap = len(data)
    while True:
        buf = ctypes.create_string_buffer(cap)
        size = lib.qv_lower(data, len(data), buf, cap)
        if size <= cap:
            return buf.raw[:size].decode("utf-8")
        cap = size


def ucd_lines(name):
    """(first, last, fields) per data line of a UCD property file."""
    for line in (UCD_DIR / name).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            fields = [field.strip() for field in line.split(";")]
            lo, _, hi = fields[0].partition("..")
            yield int(lo, 16), int(hi or lo, 16), fields


@lru_cache(maxsize=None)
def ucd_categories():
    category = ["Cn"] * CODE_POINTS
    for first, last, fields in ucd_lines("extracted/DerivedGeneralCategory.txt"):
        category[first : last + 1] = [fields[1]] * (last - first + 1)
    return category


@lru_cache(maxsize=None)
def ucd_expected_flags():
    flags = bytearray(CODE_POINTS)
    bits = {"Alphabetic": ALNUM, "Cased": CASED, "Case_Ignorable": CASE_IGNORABLE}
    for first, last, fields in ucd_lines("DerivedCoreProperties.txt"):
        if fields[1] in bits:
            for cp in range(first, last + 1):
                flags[cp] |= bits[fields[1]]
    hidden = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
    for cp, gc in enumerate(ucd_categories()):
        flags[cp] |= (ALNUM if gc in ("Nd", "Nl", "No") else 0) | (
            PRINTABLE if gc not in hidden or cp == 0x20 else 0
        )
    return flags


def comparable_with_python(cp):
    """Whether the running Python's UCD describes cp as ours does: not new since its version."""
    if cp in SURROGATES:
        return False
    return ucd_categories()[cp] == "Cn" or unicodedata.category(chr(cp)) != "Cn"


def test_ucd_version_matches_the_data_files(lib):
    stamps = set()
    for name in ("DerivedCoreProperties.txt", "extracted/DerivedGeneralCategory.txt"):
        with open(UCD_DIR / name, encoding="utf-8") as f:
            stamps.add(re.match(r"# \w+-(\d+\.\d+\.\d+)\.txt", f.readline()).group(1))
    assert stamps == {lib.qv_ucd_version().decode()}


def test_char_flags_match_ucd_for_every_code_point(lib):
    expected = ucd_expected_flags()
    flags = lib.qv_char_flags
    wrong = [cp for cp in range(CODE_POINTS) if flags(cp) != expected[cp]]
    assert [f"U+{cp:04X}: {flags(cp):04b} != {expected[cp]:04b}" for cp in wrong[:20]] == []
    # Beyond U+10FFFF nothing has a class (malformed input must not index past the tables).
    assert [flags(cp) for cp in (0x110000, 0x1FFFFF, 0xFFFFFFFF)] == [0, 0, 0]


def test_lower_matches_str_lower_for_every_code_point(lib):
    # One call over all code points separated by '\n', which is neither cased nor case-ignorable,
    # so each character is lowered on its own (U+03A3 included: no cased neighbour, so sigma).
    cps = [cp for cp in range(CODE_POINTS) if cp != 0x0A and comparable_with_python(cp)]
    got = lower(lib, "\n".join(map(chr, cps))).split("\n")
    assert len(got) == len(cps)
    wrong = [f"U+{cp:04X}" for cp, out in zip(cps, got) if out != chr(cp).lower()]
    assert wrong[:20] == []


# Final sigma in its contexts, and runs that grow in bytes (each code point alone, in any
# surroundings: the tests above and below): examples that test_lower_property runs first.
LOWER_CASES = [
    "\u023a\u023e" * 9,  # 2 bytes grow to 3
    "\u039f\u0394\u039f\u03a3", "\u03a3\u039f\u03a6\u0399\u0391",  # word-final, word-initial
    "\u0391\u03a3\u0391", "\u0391\u03a3\u03a3",  # medial; medial then final
    "\u0391\u03a3 \u0391\u03a3.",  # final before space and period
    "\u0391\u03a3\u0301",  # combining acute after: ignorable, then end of text
    "\u0391\u0301\u03a3",  # combining acute before: skipped back to the alpha
    "\u0391\u03a3'\u0391", "\u0391\u03a3'",  # apostrophe then a letter: medial; then nothing
    "\u0391.\u03a3", "\u0391\u03a3:\u0392",  # a period, a colon: case-ignorable
    "\u0391\u00ad\u03a3", "\u0391\u03a3\u00ad\u0391",  # soft hyphen before, after
    "'\u03a3", "1\u03a3",  # no cased character before (only an ignorable one, or a digit)
    "\u0391\u03a31", "a\u03a3b", "\u0391\u03a3\u02b0",
    "\u0345\u03a3", "\u0391\u0345\u03a3",  # U+0345 is cased but also case-ignorable: skipped
    # 4 bytes before: a cased letter, a case-ignorable emoji modifier
    "\U00010400\u03a3", "\u0391\U0001f3fb\u03a3",
    "PAYMENT TO \u039f\u0394\u039f\u03a3 LTD",
    "ABCDEFGHIJKLM\u03a3", "\u03a3ABCDEFGHIJKLMNOP",  # reached through the word-at-a-time loop
]


# Letters, digits, Greek with U+03A3, and characters that are case-ignorable, cased, both or
# neither; test_sigma_alphabet_is_stable checks they behave alike in both UCD versions.
SIGMA_ALPHABET = (
    string.ascii_letters[::5]
    + string.digits[:3]
    + " -"
    + "".join(chr(cp) for cp in range(0x0391, 0x03AA) if cp != 0x03A2)
    + "\u03b1\u03b2\u03c2\u03c3\u03c9\u0386\u03ac"
    + "'.:\u00ad\u0301\u0345\u02b0\u2019\u0130"
)


def test_sigma_alphabet_is_stable(lib):
    def python_says(ch):
        # From str.lower's sigma handling: only the ignorable flag and, for characters that are
        # not ignorable, the cased flag affect Final_Sigma.
        cased_or_ignorable = ("A" + ch + "\u03a3").lower().endswith("\u03c2")
        cased_not_ignorable = (ch + "\u03a3").lower().endswith("\u03c2")
        ignorable = cased_or_ignorable and not cased_not_ignorable
        return ignorable, cased_not_ignorable, ch.lower()

    def ours(ch):
        flags = lib.qv_char_flags(ord(ch))
        ignorable = bool(flags & CASE_IGNORABLE)
        return ignorable, bool(flags & CASED) and not ignorable, lower(lib, ch)

    assert [ch for ch in SIGMA_ALPHABET if python_says(ch) != ours(ch)] == []


# Texts of SIGMA_ALPHABET, or of any character the running Python knows in the same way minus
# U+03A3, mixed with characters whose UTF-8 form grows or shrinks when lowered.
SIZE_CHANGERS = "\u0130\u023a\u023e\u212a\u2126\U00010400"
contextless_chars = st.one_of(
    st.characters().filter(lambda ch: ch != "\u03a3" and comparable_with_python(ord(ch))),
    st.sampled_from(SIZE_CHANGERS),
    st.sampled_from("AZaz09 ./"),
)


@settings(max_examples=800, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(SIGMA_ALPHABET, max_size=40) | st.text(contextless_chars, max_size=200))
def test_lower_property(lib, text):
    assert lower(lib, text) == text.lower()


for _case in LOWER_CASES:
    test_lower_property = example(text=_case)(test_lower_property)
