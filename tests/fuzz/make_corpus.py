"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Seeds come from the JSON test suite in tests/data/json and from the example data in
examples/data; run from anywhere with `python3 tests/fuzz/make_corpus.py`. The emi target
reads its input as raw draws: its seeds are inputs the fuzzer found, kept as hex. The arrow
target's seeds pick each layout, and one holds the flat form of a small table.
"""

import hashlib
import json
import pathlib
import shutil

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUITE = ROOT / "tests/data/json/test_parsing"
EXAMPLES = ROOT / "examples/data"
OUT = ROOT / "tests/fuzz/corpus"

# Suite files longer than this only repeat a bracket: the fuzzer finds nesting on its own.
MAX_SUITE_BYTES = 2000

# Texts where lower-casing is more than ASCII: final and non-final sigma, mappings that
# grow (U+0130), letters outside the BMP, title case, and case-ignorable marks.
UNICODE_TEXTS = [
    "ΟΔΟΣ ΣΑΣ Σ",
    "ΑΣ'Β Α.Σ. Σ̈Α ΑΣ̈",
    "İSTANBUL İ",
    "K KELVIN Å ẞ ǅ Ⅻ",
    "𐐀𐐁 𞤀 Ꭰ",
    "ȺȾ ⱥ",
    "ÀÉÎÕÜ àéîõü",
]


def write(target, name, data):
    folder = OUT / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def digest(data):
    return hashlib.sha1(data).hexdigest()[:12]


def request(**fields):
    return json.dumps(fields, ensure_ascii=False).encode()


def json_seeds(statement, rules, history):
    for path in sorted(SUITE.iterdir()):
        data = path.read_bytes()
        if len(data) > MAX_SUITE_BYTES:
            continue
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        write("json", path.name, data)
        # The same value under a key no record declares, in a request that is otherwise
        # read: the value is skipped, so the suite reaches the skipping code too.
        write("json", "skipped-" + path.name, b'{"data":[],"rules":[],"x":' + data + b"}")

    narrations = [{"narration": row["narration"]} for row in statement["data"][:12]]
    write("json", "categorize.json", request(data=narrations, rules=rules[:8]))
    positional = [[rule["pattern"], rule["category"], rule["merchant"]] for rule in rules[:4]]
    write("json", "categorize-positional.json", request(data=[[n["narration"]] for n in narrations[:3]], rules=positional))
    write("json", "derive.json", request(data=history["data"][:12]))
    loans = [
        {"mode": "emi", "loanAmount": 2500000, "months": 240, "interestRate": 8.5, "inflationRate": 5, "start": "2027-01"},
        {"mode": "tenure", "loanAmount": 500000, "emi": 12000.5, "interestRate": 10.25},
        {"mode": {"loanAmount": None}, "emi": 9000, "months": 36, "interestRate": 0, "start": None},
    ]
    for i, loan in enumerate(loans):
        write("json", f"emi-{i}.json", json.dumps(loan).encode())
    write("json", "emi-positional.json", b'["emi",1e5,null,12,7.25,0,"+02024-+3"]')
    # More digits than the reader's exact range: written back in 17 digits, the rate reads
    # as a neighbouring float (found by fuzz_json).
    write("json", "float-many-digits.json", b'["emi",1e5,null,12,7.2184467440737095516165,0,"+02024-+3"]')


def lower_seeds(statement):
    for text in UNICODE_TEXTS:
        data = text.encode()
        write("lower", "unicode-" + digest(data), data)
    for row in statement["data"][:8]:
        data = row["narration"].encode()
        write("lower", "narration-" + digest(data), data)


def categorize_seeds(statement, rules):
    # Patterns on their own lines, narrations on lines starting with '>'.
    narrations = [row["narration"] for row in statement["data"]]
    for start in range(0, 24, 8):
        lines = [rule["pattern"] for rule in rules[start : start + 8]]
        lines += [">" + text for text in narrations[start : start + 8]]
        write("categorize", f"example-{start // 8}", "\n".join(lines).encode())
    lines = ["σ", "ας", "i̇", "k", "", "never"] + [">" + text for text in UNICODE_TEXTS]
    write("categorize", "unicode", "\n".join(lines).encode())


def emi_seeds():
    # A loan whose balance grows past 2^53 at 124% a year: there real amounts, divided in
    # doubles, part from nominal ones even without inflation (found by fuzz_emi).
    write("emi", "amounts-past-2p53", bytes.fromhex("860707ffbf00014ea10aff20ffffbffffff7ffffff070b"))


def flat_table():
    """The flat form of a Table (columns/flat.cpp) of two rows: an int64 column with a
    null, and a utf8 column "a", "bc"."""
    def i64(*values):
        return b"".join(v.to_bytes(8, "little", signed=True) for v in values)

    def text(value):
        return i64(-1) if value is None else i64(len(value)) + value.encode()

    def schema(format_, name, children=()):
        return text(format_) + text(name) + i64(2, len(children)) + b"".join(children) + i64(0)

    def buffer(data):
        return i64(len(data)) + data

    def array(length, nulls, buffers, children=()):
        return i64(length, nulls, 0, len(buffers)) + b"".join(buffer(b) for b in buffers) + b"".join(children)

    numbers = array(2, 1, [b"\x01", i64(7, 0)])
    texts = array(2, 0, [b"", (0).to_bytes(4, "little") + (1).to_bytes(4, "little") + (3).to_bytes(4, "little"), b"abc"])
    return (b"QVTABLE1" + schema("+s", None, [schema("l", "n"), schema("u", "t")])
            + array(2, 0, [b""], [numbers, texts]))


def arrow_seeds():
    # The first byte picks what is built (fuzz_arrow.cpp); 7 is the flat form.
    write("arrow", "flat-table", b"\x07" + flat_table())
    for mode in range(4):  # a column or a table, whole or streamed, each layout
        for kind in range(6):
            write("arrow", f"layout-{mode}-{kind}", bytes([mode, kind, 0, 5, 0, 1]) + bytes(range(64)))


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    statement = json.loads((EXAMPLES / "statement.json").read_text())
    rules = json.loads((EXAMPLES / "rules.json").read_text())["rules"]
    history = json.loads((EXAMPLES / "history.json").read_text())
    json_seeds(statement, rules, history)
    lower_seeds(statement)
    categorize_seeds(statement, rules)
    emi_seeds()
    arrow_seeds()


if __name__ == "__main__":
    main()
