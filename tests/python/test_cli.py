"""The `quorvane` command: results against a model and the module, the two CSV paths byte
for byte, amounts, the one-line failures, and the output file that is never lost. Most
cases call main() in-process; signals, pipes and the installed script run in subprocesses."""

import csv
import errno
import importlib.util
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from decimal import Decimal
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_cli
import quorvane_columns as qc
from quorvane_cli import stdlib_csv
from quorvane_cli.amounts import AmountFormat
from quorvane_cli.output import Sink

HAS_PYARROW = importlib.util.find_spec("pyarrow") is not None
if HAS_PYARROW:
    import pyarrow as pa

    from quorvane_cli import arrow_csv
needs_pyarrow = pytest.mark.skipif(not HAS_PYARROW, reason="pyarrow is not installed")
PATHS = ["stdlib", pytest.param("pyarrow", marks=needs_pyarrow)]
DATA = Path(__file__).resolve().parents[2] / "examples" / "data"


def run(capsys, *argv):
    """main() on argv: (exit status, standard output, standard error)."""
    try:
        status = quorvane_cli.main([str(arg) for arg in argv])
    except SystemExit as exc:  # argparse's usage errors
        status = exc.code
    return (status, *capsys.readouterr())


@pytest.fixture(params=PATHS)
def path(request, monkeypatch):
    """Each CSV path in turn, as QUORVANE_CLI_CSV chooses it."""
    monkeypatch.setenv("QUORVANE_CLI_CSV", request.param)
    return request.param


def write_csv(path, rows, delimiter=",", newline="\r\n", encoding="utf-8", quote_all=False):
    """Rows as CSV text, fields quoted where they must be (or all of them); a byte order
    mark where the encoding does not write one."""
    def cell(text):
        special = quote_all or any(c in text for c in (delimiter, '"', "\r", "\n"))
        return '"' + text.replace('"', '""') + '"' if special else text
    text = "".join(delimiter.join(cell(f) for f in row) + newline for row in rows)
    path.write_bytes((("\ufeff" if encoding.endswith("-be") else "") + text).encode(encoding))
    return path


def model(narration, rules):
    """The index of the first rule whose lowered pattern occurs in the lowered narration."""
    text = narration.lower()
    return next((i for i, (p, _, _) in enumerate(rules) if p.lower() in text), None)


# ---------------------------------------------------------------- both paths, against the model

# Cells that CSV must carry through: delimiters, quotes, line breaks, non-ASCII, empty cells.
CELL = st.text(alphabet='abAB ,;|\t"\r\n\u00e9\u03a3\u0130\U0001f600', max_size=6)
PATTERN = st.text(alphabet="abAB \u00e9\u03a3\u0130", max_size=3)
AMOUNT = st.decimals(min_value=-10**9, max_value=10**9, places=2, allow_nan=False)


@settings(max_examples=40, deadline=None)
@given(rows=st.lists(st.tuples(CELL, CELL, AMOUNT, st.sampled_from(["Food", "Fuel", ""])), max_size=10),
       rules=st.lists(st.tuples(PATTERN, CELL, CELL), max_size=5),
       delimiter=st.sampled_from(",;\t|"), newline=st.sampled_from(["\r\n", "\n", "\r"]),
       encoding=st.sampled_from(["utf-8", "utf-8-sig", "utf-16", "utf-16-be", "utf-32", "utf-32-be"]),
       quote_all=st.booleans(), named=st.booleans(), block=st.integers(1, 200),
       marked=st.none() | st.sampled_from([("Dr", "Cr"), (" d", "C "), ("DEBIT", "credit")]))
def test_paths_agree_with_each_other_and_the_model(rows, rules, delimiter, newline, encoding,
                                                   quote_all, named, block, marked):
    # The delimiter is named ("tab"), or found from the header line: outside the quotes of a
    # name that holds more of the other delimiters than the line has of its own.
    # Amounts are signed, or (marked) unsigned beside a column of debit and credit marks.
    header = ["Narration", 'n"' + "".join(5 * d for d in ",;\t|" if d != delimiter), "amount",
              *(["Dr / Cr"] if marked else []), "Category", "merchant"]
    given = ["--delimiter", "tab" if delimiter == "\t" else delimiter] if named else []
    signs = ["--amount-sign", " dr / CR"] if marked else []
    body = [[n, note, f"{shown:,}" if delimiter != "," else str(shown),
             *([marked[a >= 0]] if marked else []), c, c]
            for n, note, a, c in rows for shown in [abs(a) if marked else a]]
    with tempfile.TemporaryDirectory() as tmp, pytest.MonkeyPatch.context() as mp:
        tmp = Path(tmp)
        statement = write_csv(tmp / "s.csv", [header] + body, delimiter, newline, encoding, quote_all)
        # JSON, after white space of any length
        (tmp / "r.json").write_text(" \n" * block + json.dumps([list(r) for r in rules]), "utf-8")
        # Batches of rows and blocks of bytes end anywhere.
        mp.setattr(stdlib_csv, "CHUNK_ROWS", 1 + block % 4)
        mp.setattr(stdlib_csv, "BLOCK_BYTES", block)
        for kind in ("", "COUNT_") if HAS_PYARROW else ():
            mp.setattr(arrow_csv, f"{kind}BLOCK_BYTES", 1024 + block)
            mp.setattr(arrow_csv, f"{kind}BATCH_BYTES", block)
        outputs = []
        for path in ["stdlib"] + (["pyarrow"] if HAS_PYARROW else []):
            mp.setenv("QUORVANE_CLI_CSV", path)
            mp.setattr(sys, "stdout", io.TextIOWrapper(io.BytesIO(), "utf-8"))
            out, rules_out = tmp / f"{path}.csv", tmp / f"{path}.rules"
            assert quorvane_cli.main(["categorize", str(statement), "--rules", str(tmp / "r.json"),
                                      "--replace", "--summary", "-o", str(out), *given, *signs]) == 0
            assert quorvane_cli.main(["derive", str(statement), "-o", str(rules_out), *given]) == 0
            outputs.append((out.read_bytes(), sys.stdout.buffer.getvalue(), rules_out.read_bytes()))
        assert sorted(os.listdir(tmp)) == sorted(["s.csv", "r.json"] + [
            f"{p}.{e}" for p in ("stdlib", "pyarrow")[:len(outputs)] for e in ("csv", "rules")])
    assert all(o == outputs[0] for o in outputs)
    written = list(csv.reader(io.StringIO(outputs[0][0].decode("utf-8"), newline=""),
                              delimiter=delimiter))
    assert written == [header + ["rule"]] + [  # the first matching rule's labels and index
        row[:len(header) - 2] + (["", "", ""] if winner is None else [*rules[winner][1:], str(winner)])
        for row in body for winner in [model(row[0], rules)]]
    total = sum((Decimal(r[2]) for r in rows), Decimal(0))
    assert outputs[0][1].decode().splitlines()[-3].split()[-1] == f"{total:,.2f}" or not rows


def test_rows_without_labels_are_left_out(capsys, tmp_path, path):
    # A history row with neither category nor merchant has no label, rather than an empty
    # one: as an example it would teach a first rule that blanks its word's rows' labels.
    rows = [["UBER TRIP 1", "Transport", "Uber"], ["UBER EATS 2", "", ""],
            ["ZOMATO 3", "Food", ""], ["SWIGGY 4", "", ""], ["OLA 5", "", "Ola"]]
    history = write_csv(tmp_path / "h.csv", [["narration", "category", "merchant"], *rows])
    warning = f"quorvane: warning: {history}: 2 rows have neither a category nor a merchant: left out\n"
    labelled = [dict(zip(("narration", "category", "merchant"), r)) for r in rows if r[1] or r[2]]
    status, out, err = run(capsys, "derive", history)
    assert (status, err, list(csv.reader(io.StringIO(out)))[1:]) == (0, warning, [
        list(r.values()) for r in quorvane.derive_rules({"data": labelled})["rules"]])
    # A rules file saved from a spreadsheet, ending in empty rows: as rules they would
    # match every narration left.
    rules = write_csv(tmp_path / "r.csv", [["pattern", "category", "merchant"],
                                           ["uber", "Transport", "Uber"], ["", "", ""], ["", "", ""]])
    status, out, err = run(capsys, "check", "--rules", rules, history)
    assert (status, "3 rows: 1 matched" in out) == (0, True)
    assert err == f"quorvane: warning: {rules}: 2 rows have no pattern, category or merchant: left out\n" + warning
    # A header alone matches nothing, and says so; --report "" names no file.
    write_csv(rules, [["pattern", "category", "merchant"]])
    assert run(capsys, "check", "--rules", rules) == (0, f"{rules}: no finding in 0 rules.\n",
                                                      f"quorvane: warning: {rules}: no rules: "
                                                      "nothing will match\n")
    assert run(capsys, "check", "--rules", rules, "--report", "") == (
        2, "", "quorvane: --report: an empty file name (for standard output, give -)\n")


def test_standard_input_redirected_from_a_file(capsys, tmp_path, monkeypatch, path):
    # `quorvane categorize - < s.csv`: standard input is a regular file then, but has no
    # path for pyarrow to open; it reads as the file named.
    statement = write_csv(tmp_path / "s.csv", [["narration", "amount"], ["zesto 1", "-5"]])
    by_name = run(capsys, "categorize", statement, "--rules", DATA / "rules.csv", "--summary")
    with open(statement) as stdin:
        monkeypatch.setattr(sys, "stdin", stdin)
        assert by_name[0] == 0 and run(capsys, "categorize", "-", "--rules", DATA / "rules.csv",
                                       "--summary") == by_name


# The ends of a file and of pyarrow's blocks, where the pyarrow path starts after the header,
# stops at the end and parses a block at a time: (bytes, bytes per block, the cells read)
@pytest.mark.parametrize("data, block, cells", [
    # a first data row starting with U+FEFF: pyarrow would take it for a byte order mark
    (b"narration,x\r\n\xef\xbb\xbfzesto,1\r\n", None, [["\ufeffzesto", "1"]]),
    (b'narration,x\n\xef\xbb\xbf"zesto",1\n', None, [['\ufeff"zesto"', "1"]]),
    # Excel's line naming the delimiter before the header
    (b"sep=,\r\nnarration,x\r\nzesto,1\r\n", None, [["zesto", "1"]]),
    # quoted last cells, closed, where a quote may have been left open
    (b'narration,x\nzesto,"1\r\n2"', None, [["zesto", "1\r\n2"]]),
    (b'narration,x\nzesto,"a ""b"""\n\n', None, [["zesto", 'a "b"']]),
    # a quoted CR LF whose CR ends a block, a run of quoted CRs across one, CRs ending the file
    (b'narration,x\nzesto,1\n"abcdef\r\ncd",2\r\nab,"3\r\r\r\r\r\r\r\r\n"\r\r', 8,
     [["zesto", "1"], ["abcdef\r\ncd", "2"], ["ab", "3" + 8 * "\r" + "\n"]]),
    # the same in UTF-16, where pyarrow cuts its blocks in the UTF-8 it transcodes to
    ('\ufeffnarration,x\nzesto,1\n"abcdef\r\ncd",2\n'.encode("utf-16-le"), 8,
     [["zesto", "1"], ["abcdef\r\ncd", "2"]]),
    # the first block read (as many bytes) ending within the header, or right after it
    (b'narration,"x\ny,z"\nzesto,1\n', 13, [["zesto", "1"]]),
    (b"narration,wxyz\r\n\xef\xbb\xbfzesto,1\r\n", 16, [["\ufeffzesto", "1"]]),
])
def test_ends_of_the_file(capsys, tmp_path, monkeypatch, path, data, block, cells):
    (tmp_path / "s.csv").write_bytes(data)
    if block and path == "pyarrow":
        monkeypatch.setattr(arrow_csv, "BLOCK_BYTES", block)
        monkeypatch.setattr(quorvane_cli.csvfile, "HEAD_BYTES", block)
    status, out, err = run(capsys, "categorize", tmp_path / "s.csv", "--rules", DATA / "rules.csv")
    assert (status, err, [row[:2] for row in csv.reader(io.StringIO(out, newline=""))][1:]) == (
        0, "", cells)


# ---------------------------------------------------------------- amounts

SEPARATORS = {".": [",", " ", "\u00a0", "'"], ",": [".", " ", "\u202f", "'"]}


@settings(max_examples=200, deadline=None)
@given(st.decimals(allow_nan=False, allow_infinity=False, min_value=-10**15, max_value=10**15),
       st.sampled_from(".,"), st.integers(0, 4), st.data())
def test_formatted_amounts_read_back(value, mark, index, data):
    value = value.quantize(Decimal(1).scaleb(-data.draw(st.integers(0, 4))))
    whole, _, fraction = f"{abs(value):f}".partition(".")
    separator = SEPARATORS[mark][index % 4] if index else ""
    # In threes, or in India's way: the last three digits, then twos (12,34,567).
    twos = data.draw(st.booleans())
    groups = [whole[-3:]] if twos else []
    rest, size = (whole[:-3], 2) if twos else (whole, 3)
    groups = [rest[max(0, i - size):i] for i in range(len(rest), 0, -size)][::-1] + groups
    text = ("-" if value < 0 else "") + separator.join(groups) + (mark + fraction if fraction else "")
    assert AmountFormat(mark).parse(f" {text} ") == value


@needs_pyarrow
@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(alphabet="0123456789.,' -+\u00a0e", max_size=9)
                | st.integers(-10**24, 10**24).map(str) | st.decimals(0, 10**6, places=2).map(str),
                min_size=1, max_size=6),
       st.sampled_from(".,"),
       st.none() | st.lists(st.sampled_from(["Dr", " cR\t", "d", "DEBIT", "Credit", "C", "", "DR",
                                             "Cr.", "DEB", "\u0130", "cred\u0130t"]),
                            min_size=6, max_size=6))
def test_both_paths_read_the_same_amounts(cells, mark, marks):
    # With marks (--amount-sign), amounts are unsigned and each row's mark signs it.
    fmt = AmountFormat(mark)
    labels = {"rule": [0] * len(cells), "category": ["c"] * len(cells), "merchant": ["m"] * len(cells)}
    columns = [cells] + ([] if marks is None else [marks[:len(cells)]])
    how = [[(0, -1)], fmt] if marks is None else [[(0, 1)], fmt, 1]
    results = []
    for kind, array, result in ((stdlib_csv, list, labels), (arrow_csv, pa.array, pa.table(labels))):
        try:
            results.append(kind.totals([array(c) for c in columns], result, *how))
        except stdlib_csv.BadAmount as bad:
            results.append((bad.row, bad.column))
    assert results[0] == results[1]
    first_bad = next((i for i, c in enumerate(cells) if fmt.parse(c) is None), None)
    if marks is None:
        assert results[0] == (first_bad, 0) if first_bad is not None else isinstance(results[0], dict)
    elif isinstance(results[0], dict):
        sides = {"dr": -1, "d": -1, "debit": -1, "cr": 1, "c": 1, "credit": 1}
        assert results[0][("c", "m")][1] == sum(
            sides.get(m.strip().lower(), 0) * fmt.parse(c) for c, m in zip(cells, marks))


@needs_pyarrow
@settings(max_examples=50, deadline=None)
@given(st.lists(st.lists(st.text(max_size=5), max_size=4), min_size=1), st.integers(0, 3))
def test_longest_cell_in_bytes(chunks, skip):
    column = pa.chunked_array([pa.array(c, pa.string()) for c in chunks], pa.string())
    column = column.slice(min(skip, len(column)))  # chunks that start part way
    assert arrow_csv._longest(column) == max((len(c.encode()) for c in column.to_pylist()), default=0)


@needs_pyarrow
@settings(max_examples=100, deadline=None)
@given(st.data(), st.integers(1, 4), st.sampled_from(",;\t|"))
def test_native_lines_are_the_csv_modules(data, width, delimiter):
    # Text columns (nulls, empty cells, every character that forces quoting) and an
    # integer column, sliced: the lines csv.writer writes for the same cells.
    rows = data.draw(st.integers(0, 6))
    kinds = data.draw(st.lists(st.sampled_from([pa.string(), pa.large_string(), pa.int64()]),
                               min_size=width, max_size=width))
    cell = {pa.int64(): st.none() | st.integers(-2**63, 2**63 - 1)}
    columns = [data.draw(st.lists(cell.get(kind, st.none() | CELL), min_size=rows + 1,
                                  max_size=rows + 1)) for kind in kinds]
    sink = io.BytesIO()
    arrow_csv.write(sink, [pa.chunked_array([c[:2], c[2:]], kind).slice(1)
                           for c, kind in zip(columns, kinds)], delimiter)
    cells = [["" if v is None else str(v) for v in column[1:]] for column in columns]
    assert sink.getvalue() == stdlib_csv.lines_of(zip(*cells), delimiter)


@pytest.mark.parametrize("rows, options", [
    # Some banks write money out with a minus sign: it is money out all the same, and pad
    # column names, which a name given as the header spells it still finds.
    ([["Text", "Credit  ", "Debit"], ["zesto 1", "", "1.200,50"], ["zesto 2", "", "-99,5"],
      ["salary", "50.000", ""], ["???", "3", ""]], ["--amount-in", "credit  ", "--amount-out", "DEBIT"]),
    # Others mark each unsigned amount, and their balances too, under the same name: the
    # amounts' marks are the column beside them.
    ([["Text", "Amount", "Dr / Cr", "Balance", "Dr / Cr"], ["zesto 1", "1.200,50", "Dr", "9", "Cr"],
      ["zesto 2", "99,5", "DR", "9", "Dr"], ["salary", "50.000", "cr", "9", "Dr"],
      ["???", "3", "C", "9", "Dr"]], ["--amount-sign", "dr / cr"]),
], ids=["in and out", "marked"])
def test_summary_amounts(capsys, tmp_path, path, rows, options):
    # (A cell that reads only under the other mark fails with a hint: see MISTAKES. The
    # table's layout, its columns aligned and merchants indented, is in the README's console
    # block.)
    statement = write_csv(tmp_path / "s.csv", rows, delimiter=";")
    rules = write_csv(tmp_path / "r.csv", [["pattern", "category", "merchant"],
                                           ["zesto", "Food", "Zesto"], ["salary", "Salary", "Acme"]])
    status, out, err = run(capsys, "categorize", statement, "--rules", rules, "--column", "text",
                           "--summary", *options, "--decimal-mark", ",")
    figures = [" ".join(line.split()) for line in out.splitlines() if line.strip("- ")]
    assert (status, err, figures) == (0, "", [
        "Category / merchant Count Amount", "Food 2 -1,300.00", "Zesto 2 -1,300.00",
        "Salary 1 50,000.00", "Acme 1 50,000.00", "(unmatched) 1 3.00", "All 4 48,703.00",
        "Unmatched: 1 of 4 transactions (25.0%)."])


# ---------------------------------------------------------------- mistakes: one line each

RULES_CSV = "pattern,category,merchant\nzesto,Food,Z\n"
STATEMENT = "date,narration,amount\n2026-01-01,zesto,-5\n"
LOAN = "emi --mode emi --amount 1000 --months 3 --rate 9"
UNCLOSED = ("a quoted field is not closed: its closing quote is missing, and the rest of the "
            "file would be read as part of this row")
MARKED = "narration,Amount,Dr/Cr\nzesto,5,d\n"
MARKS = "Dr, D or Debit for money out, Cr, C or Credit for money in"
NO_NARRATION = "no column named 'narration', 'description' or 'details' (the columns are"

# (files to write, command, the error line with the paths as written)
MISTAKES = [
    # columns
    ({"s.csv": "date,memo\n1,x\n"}, "categorize s.csv",
     f"s.csv:1: {NO_NARRATION} 'date', 'memo'); choose one with --column"),
    ({"s.csv": "\nsep=,\ndate,memo\n1,x\n"}, "categorize s.csv",  # the header's own line
     f"s.csv:3: {NO_NARRATION} 'date', 'memo'); choose one with --column"),
    ({"s.csv": "Account 1234\nPeriod: Oct\nDate;Narration;Amount\n1;x;2\n"}, "categorize s.csv",
     f"s.csv:1: {NO_NARRATION} 'Account 1234'); line 3 has such a column: remove the lines "
     "above it (the file must begin with its header)"),
    ({"s.csv": "date;memo;narration\n1;x;y\n"}, "categorize s.csv --delimiter ,",
     f"s.csv:1: {NO_NARRATION} 'date;memo;narration'); is the delimiter ';'? (--delimiter)"),
    ({"s.csv": "narration,Category,RULE\nx,y,z\n"}, "categorize s.csv",
     "s.csv:1: the statement already has the columns 'Category', 'RULE'; --replace overwrites them with the "
     "rules' results"),
    ({"s.csv": "Narration,memo,narration \nx,y,z\n"}, "categorize s.csv",
     "s.csv:1: columns 1 and 3 are both named 'Narration'; rename one of them"),
    ({"s.csv": "narration,category,Category\nx,y,z\n"}, "categorize s.csv --replace",
     "s.csv:1: columns 2 and 3 are both named 'category'; rename one of them"),
    # --replace never writes over a column it reads: the narration, or the amounts
    ({"s.csv": "date,Merchant\n1,zesto 1\n"}, "categorize s.csv --column merchant --replace",
     "s.csv:1: the column 'Merchant' holds the narration, and categorize writes its own merchant "
     "column; rename it first"),
    ({"s.csv": "narration,Rule\nzesto,5\n"},
     "categorize s.csv --replace --summary --amount-column rule",
     "s.csv:1: the column 'Rule' holds the amounts, and categorize writes its own rule column; "
     "rename it first"),
    ({"h.csv": "narration,category,merchant,merchant\nx,y,z,w\n"}, "derive h.csv",
     "h.csv:1: columns 3 and 4 are both named 'merchant'; rename one of them"),
    ({"s.csv": STATEMENT}, "categorize s.csv --summary --amount-column debit",
     "s.csv:1: no column named 'debit' (the columns are 'date', 'narration', 'amount')"),
    ({"s.csv": "narration,Amount,Dr / Cr\nzesto,5.00,DR\n"}, "categorize s.csv --summary",
     "s.csv:1: the column 'Dr / Cr' says which amounts are debits, and the summary reads 'Amount' "
     "as signed: --amount-sign 'Dr / Cr' reads the signs from it; else name the amounts with "
     "--amount-column if their debits have a minus sign, or put debits in a column of their own "
     "for --amount-in and --amount-out"),
    ({"s.csv": STATEMENT}, "categorize s.csv --summary --amount-sign date --amount-in a --amount-out b",
     "--amount-sign: not allowed with --amount-in and --amount-out: their columns say which "
     "amounts are money in and which money out"),
    ({"s.csv": "narration,Dr/Cr\nzesto,Dr\n"}, "categorize s.csv --summary --amount-sign dr/cr",
     "s.csv:1: no column named 'amount' (the columns are 'narration', 'Dr/Cr'); choose one with "
     "--amount-column"),
    ({"s.csv": "narration,Dr/Cr,Amount,x,DR/CR\nzesto,Dr,5,1,Cr\n"},  # neither beside the amounts
     "categorize s.csv --summary --amount-sign dr/cr",
     "s.csv:1: columns 2 and 5 are both named 'Dr/Cr'; rename one of them"),
    ({"s.csv": STATEMENT}, "categorize s.csv --summary --amount-in amount",
     "--amount-in: --amount-in and --amount-out go together: the amount is money in minus money out"),
    # rows, amounts and bytes
    ({"s.csv": STATEMENT + "\n2026-01-02,x\n"}, "categorize s.csv", "s.csv:4: 2 fields where the "
     "header has 3: remove the line if it is no transaction (a total or balance below the statement)"),
    ({"s.csv": STATEMENT + '2026-01-02,"kart\n",1,2\n'}, "categorize s.csv",
     "s.csv:3: 4 fields where the header has 3: quote a cell that holds ',', or name the extra "
     "columns in the header if every row has them"),
    ({"s.csv": STATEMENT + '2026-01-02,kart,"1,2,3"\n'}, "categorize s.csv --summary",
     "s.csv:3:amount: not an amount: '1,2,3'"),
    ({"s.csv": "Text;Credit;Debit\r\nzesto 1;;1.200,50\r\nzesto 2;x;\r\n"},  # the first row's
     "categorize s.csv --column text --summary --amount-in credit --amount-out debit",
     "s.csv:2:Debit: not an amount: '1.200,50' (with --decimal-mark , it reads as 1200.50)"),
    # a row's marks: the first cell that does not read, of the first row with one
    ({"s.csv": f"{MARKED}zesto,,\nzesto,-5,DR\n"}, "categorize s.csv --summary --amount-sign dr/cr",
     "s.csv:4:Amount: the amount '-5' has a sign of its own, and its 'DR' mark gives it one; "
     "write amounts without a sign beside the marks"),
    ({"s.csv": f"{MARKED}zesto,5, Cr.\n"}, "categorize s.csv --summary --amount-sign dr/cr",
     f"s.csv:3:Dr/Cr: not a debit or credit mark: ' Cr.'; expected {MARKS}"),
    ({"s.csv": f"{MARKED}zesto,+5,\n"}, "categorize s.csv --summary --amount-sign dr/cr",
     f"s.csv:3:Dr/Cr: no debit or credit mark beside an amount; expected {MARKS}"),
    ({"s.csv": f"{MARKED}zesto,5..,x\n"}, "categorize s.csv --summary --amount-sign dr/cr",
     "s.csv:3:Amount: not an amount: '5..'"),
    ({"s.csv": b"narration\nok\n\xff\xfe bad\n"}, "categorize s.csv",
     "s.csv:3: byte 13 is not UTF-8 text, and no byte order mark names another encoding; convert "
     "the file to UTF-8 first, e.g. iconv -f WINDOWS-1252 -t UTF-8"),
    ({"s.csv": b"\xff\xfen\x00\n\x00\x00\xd8\n\x00"}, "categorize s.csv",
     "s.csv:2: byte 6 is not UTF-16-LE text, though the file starts with its byte order mark; "
     "convert the file to UTF-8 first, e.g. iconv -f WINDOWS-1252 -t UTF-8"),
    ({"s.csv": "narration\nx\n".encode("utf-16-le")}, "categorize s.csv", "s.csv:1: NUL bytes "
     "between the letters: this looks like UTF-16 or UTF-32 text without a byte order mark; "
     "convert the file to UTF-8 first, e.g. iconv -f UTF-16LE -t UTF-8"),
    ({"s.csv": ""}, "categorize s.csv", "s.csv:1: empty file: expected a header row"),
    # a quote never closed: the rows after it would have been one cell of the last column
    *[({name: text}, "categorize s.csv", f"{name}:3: {UNCLOSED}") for name, text in [
        ("s.csv", STATEMENT + '2026-01-02,kart,"-5\n2026-01-03,zesto,-6\n'),
        ("s.csv", STATEMENT + '2026-01-02,kart,"-5'),  # no line break at the end
        ("r.csv", RULES_CSV + 'kart,Shop,"Best Buy\nzz,Food,Joe\n')]],
    ({}, "categorize missing.csv", "missing.csv: No such file or directory"),
    # outputs refused: the input, whatever the path says (a Path is a symbolic link to it), a folder
    *[({"s.csv": STATEMENT, "same.csv": Path("s.csv")}, f"categorize s.csv -o {output}",
       f"s.csv: {output} is this same file: writing it would destroy the input; write to another "
       "file, then rename it") for output in ("./s.csv", "same.csv")],
    ({"s.csv": STATEMENT}, "derive s.csv -o .", ".: is a folder; -o names the file to write"),
    ({"s.csv": STATEMENT}, "emi --mode emi --amount 900 --months 3 --rate 12 --plot . -o p.csv",
     ".: is a folder; --plot names the file to write"),
    # two things that would share one stream: the summary and the statement, or the rules
    # and the rows on standard input
    ({"s.csv": STATEMENT}, "categorize s.csv --summary -o -", "-o -: --summary prints the summary "
     "on standard output; with it, -o names the file for the statement"),
    ({}, "categorize - --rules -", "--rules -: standard input holds the statement; give the rules as a file"),
    ({}, "check - --rules -", "--rules -: standard input holds the history; give the rules as a file"),
    # two outputs of one run in one place: one would be lost
    *[({}, f"{LOAN} --plot {plot}", f"--plot: {where} is where -o writes the schedule too (standard "
       "output when -o is not given); give each its own file")
      for plot, where in [("p.svg -o ./p.svg", "p.svg"), ("-", "<stdout>")]],
    # rules: the file's form here, each rule's by the engines' reader
    ({"s.csv": STATEMENT, "r.csv": "pattern,category\nx,y\n"}, "categorize s.csv",
     "r.csv:1: no column named 'merchant' (the columns are 'pattern', 'category')"),
    ({"s.csv": STATEMENT, "r.csv": '{"rules": [\n  ["a", "b", "c"],\n  ["a" "b"]]}'}, "categorize s.csv",
     "r.csv:3:8: invalid JSON: Expecting ',' delimiter"),
    ({"s.csv": STATEMENT, "r.csv": '{"data": []}'}, "categorize s.csv",
     'r.csv: expected a list of rules, or an object with "rules"'),
    # a field given twice: json.loads would keep the last value without a word
    *[({"s.csv": STATEMENT, "r.csv": rules}, "categorize s.csv", f"r.csv: {message}")
      for rules, message in [
        ('[{"pattern": "a", "category": "c", "merchant": "m", "pattern": "b"}]',
         'rules[0]: duplicate field "pattern"'),
        ('{"rules": [["a", "c", "m"]], "rules": []}', 'duplicate field "rules"')]],
    ({"s.csv": STATEMENT, "r.csv": '[{"pattern": "a", "category": 5, "merchant": "m"}]'}, "categorize s.csv",
     "r.csv: rules[0][\"category\"]: unexpected type: 'int' object cannot be converted to 'PyString'"),
    # derive
    ({"h.csv": "narration,category\nx,y\n"}, "derive h.csv",
     "h.csv:1: no column named 'merchant' (the columns are 'narration', 'category')"),
    ({"h.csv": "narration,category,merchant\nx,y,z\n" + "x" * 140_000 + ",y,z\n"}, "derive h.csv",
     "h.csv:3: field larger than field limit (131072)"),
    # emi: what each mode needs, what the engine rejects
    ({}, "emi --mode tenure --amount 1000 --months 3 --rate 9", "emi: --mode tenure needs --emi"),
    ({}, "emi --mode tenure --amount 1000 --emi 1 --rate 12",
     "emi: monthly payment of 1.00 does not cover the first month's interest of 10.00; the loan would never be repaid"),
    ({}, f"{LOAN} --start 2027-13", '--start: month out of range in "2027-13"'),
    ({}, f"{LOAN} --start 2027/01 --prepay 2027-03:5", "--start: expected YYYY-MM, got '2027/01'"),
    ({}, f"{LOAN} --start 24-01", "--start: expected YYYY-MM, got '24-01'"),  # not the year 24
    ({}, "emi --mode emi --amount 9 --months 601 --rate 9",
     "--months: tenure of 601 months exceeds the maximum supported 600 months"),
    ({}, "emi --mode tenure --amount 1000000 --emi 2000 --rate 1",  # solved, not typed
     "emi: tenure of 648 months exceeds the maximum supported 600 months"),
    # emi events: each text names its option; an event the loan refuses, the option as typed
    *[({}, f"{LOAN} {event}", message) for event, message in [
        ("--prepay 0:5", "--prepay: MONTH is an instalment's number from 1 (or YYYY-MM with --start), got '0'"),
        ("--prepay \u00b2:5", "--prepay: MONTH is an instalment's number from 1 (or YYYY-MM with --start), got '\u00b2'"),
        ("--prepay 1:x", "--prepay: AMOUNT is a number, got 'x'"),
        ("--rate-change 1", "--rate-change: expected MONTH:RATE[:keep], got '1'"),
        ("--rate-change 1:5:both", "--rate-change: keep is emi or tenure, got 'both'"),
        ("--emi-change 1:5:emi", "--emi-change: expected MONTH:AMOUNT, got '1:5:emi'"),
        ("--start 2027-05 --prepay 2:5", "--prepay: MONTH is YYYY-MM when --start is given, got '2'"),
        ("--start 2027-05 --prepay 2027-04:5", "--prepay: MONTH 2027-04 is before the loan starts in 2027-05"),
        ("--prepay 3:5", "--prepay 3:5: the loan ends with instalment 3"),
        ("--emi-change 1:500 --prepay 1:5:tenure",
         "--prepay 1:5:tenure: keeping the tenure would re-solve the emi that --emi-change 1:500 sets"),
        ("--fees 1000", "--fees: must be less than the loan amount"),
        ("--emi-change 1:1e300", "--emi-change 1:1e300: could not derive a valid tenure from the supplied "
         "loan amount and emi"),
        ("--start 2027-13 --prepay 2027-05:5", "--start: expected YYYY-MM, got '2027-13'"),
    ]],
    # the engine's complaint about a field names the option it came from
    ({}, "emi --mode emi --amount 1000 --months 3 --rate -1", "--rate: must be zero or greater"),
    ({}, "emi --mode emi --amount 0.4 --months 3 --rate 9",
     "--amount: 0.4 rounds to a loan of 0: amounts are whole currency units"),
    ({}, f"{LOAN} --inflation -1", "--inflation: must be zero or greater"),
]


@pytest.mark.parametrize("files, argv, message", MISTAKES)
def test_mistakes(capsys, tmp_path, monkeypatch, path, files, argv, message):
    monkeypatch.chdir(tmp_path)
    for name, content in {"r.csv": RULES_CSV, "out.csv": "kept", **files}.items():
        if isinstance(content, Path):
            Path(name).symlink_to(content)
        else:
            Path(name).write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    before = {name: Path(name).read_bytes() for name in os.listdir()}
    rules = ["--rules", "r.csv"] if argv.startswith("categorize") and "--rules" not in argv else []
    # -o out.csv, which must survive, unless the row names an output (standard output for "-")
    output = [] if "-o" in argv.split() or argv.endswith(" -") else ["-o", "out.csv"]
    assert run(capsys, *argv.split(), *rules, *output) == (2, "", f"quorvane: {message}\n")
    # every file as it was, and no temporary left
    assert {name: Path(name).read_bytes() for name in os.listdir()} == before


@pytest.mark.parametrize("argv, message", [
    ("emi --mode emi --amount nan --rate 9", "quorvane emi: argument --amount: invalid number value: 'nan'"),
    ("emi --mode emi --months -1 --rate 9", "quorvane emi: argument --months: invalid count value: '-1'"),
    ("emi --mode annuity --rate 9", "quorvane emi: argument --mode: invalid choice: 'annuity' "
     "(choose from 'emi', 'tenure', 'loan-amount', 'loanAmount')"),
    ("categorize s.csv --rules r --delimiter :", "quorvane categorize: argument --delimiter: invalid delimiter value: ':'"),
    ("", "quorvane: the following arguments are required: VERB"),
])
def test_usage_mistakes(capsys, argv, message):
    status, out, err = run(capsys, *argv.split())
    assert (status, out) == (2, "")
    # argparse's quoting of choices changed in Python 3.12.1; compare without quotes there.
    assert err.replace("'", "") == f"{message} (see {message.split(':')[0]} --help)\n".replace("'", "")


# ---------------------------------------------------------------- the output file


@pytest.mark.parametrize("kind", ["new", "file", "symlink", "fifo", "devnull", "stdout", "descriptor"])
def test_output_kinds(capfdbinary, tmp_path, kind):
    # derive's bytes are the module's rules for the bundled history, wherever they go
    text = io.StringIO()
    history = json.loads((DATA / "history.json").read_text("utf-8"))
    csv.writer(text, lineterminator="\r\n").writerows([["pattern", "category", "merchant"]] + [
        list(r.values()) for r in quorvane.derive_rules(history)["rules"]])
    expected = text.getvalue().encode()
    target = Path({"devnull": os.devnull, "stdout": "-"}.get(kind, tmp_path / "o.csv"))
    if kind == "file":
        target.write_text("old")
        target.chmod(0o640)
    elif kind == "symlink":
        (tmp_path / "real.csv").write_text("old")
        target.symlink_to("real.csv")
    elif kind == "descriptor":  # a shell's `3>>o.csv`, then -o /dev/fd/3: appended to
        target.write_text("old")
        appended = open(target, "ab")
        target = Path(f"/dev/fd/{appended.fileno()}")
    elif kind == "fifo":  # read to its end by another thread, as another program would
        os.mkfifo(target)
        got = []
        reader = threading.Thread(target=lambda: got.append(target.read_bytes()))
        reader.start()
    before = {p.name: (p.lstat().st_ino, p.is_symlink()) for p in tmp_path.iterdir()}
    assert quorvane_cli.main(["derive", str(DATA / "history.csv"), "-o", str(target)]) == 0
    out, err = capfdbinary.readouterr()
    if kind == "fifo":
        reader.join()
    elif kind == "descriptor":
        appended.close()
    after = {p.name: (p.lstat().st_ino, p.is_symlink()) for p in tmp_path.iterdir()}
    written = {"fifo": lambda: got[0], "devnull": lambda: expected, "stdout": lambda: out,
               "symlink": (tmp_path / "real.csv").read_bytes}.get(kind, (tmp_path / "o.csv").read_bytes)
    # a descriptor's file appended to, after what was there
    assert (written(), err, b"" if kind == "stdout" else out) == (
        (b"old" if kind == "descriptor" else b"") + expected, b"", b"")
    if kind == "file":  # renamed over the old file, its mode kept
        assert after.keys() == before.keys() and after["o.csv"] != before["o.csv"]
        assert target.stat().st_mode & 0o777 == 0o640
    elif kind == "symlink":  # the link kept, its target replaced
        assert after["o.csv"] == before["o.csv"] and after["real.csv"] != before["real.csv"]
    else:
        assert list(after) == ["o.csv"] if kind == "new" else after == before


@pytest.mark.parametrize("how", ["tmpfs", "raising write", "/dev/full", "read-only"])
def test_full_disk(capsys, tmp_path, monkeypatch, how, path):
    statement = write_csv(tmp_path / "s.csv", [["narration"]] + [["zesto " * 20]] * 5000)
    folder = tmp_path / "full"
    folder.mkdir()
    if how == "tmpfs" and subprocess.run(  # 64 KiB, where this process may mount one
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
            capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN)")
    elif how == "raising write":  # the file's every write fails as a full disk's does
        def full(data):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        init = Sink.__init__
        monkeypatch.setattr(Sink, "__init__", lambda self, file, path: init(self, SimpleNamespace(
            write=full, flush=file.flush), path))
    (folder / "o.csv").write_text("kept")
    target = Path("/dev/full") if how == "/dev/full" else folder / "o.csv"
    message = "No space left on device"
    if how == "read-only":  # its folder writable: a rename could replace it, `>` could not
        (folder / "o.csv").chmod(0o444)
        if os.geteuid() == 0:  # root writes any file; ask as its owner would be answered
            monkeypatch.setattr(os, "access", lambda *args, **kwargs: False)
        message = "Permission denied: the file is read-only"
    try:
        assert run(capsys, "categorize", statement, "--rules", DATA / "rules.csv", "-o", target) == (
            1, "", f"quorvane: {target}: {message}\n")
        assert (folder / "o.csv").read_text() == "kept" and os.listdir(folder) == ["o.csv"]
    finally:
        if how == "tmpfs":
            subprocess.run(["umount", str(folder)], check=True)


# The installed script, or (runs against a build directory) the module.
SCRIPT = Path(sys.executable).with_name("quorvane")
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "quorvane_cli"]


# preexec_fn makes Popen fork, at which polars 1.15 (at least), imported by earlier tests,
# warns of its own threads; the command runs without polars.
@pytest.mark.filterwarnings("ignore:Using fork\\(\\) can cause Polars:RuntimeWarning")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_signal_mid_run(tmp_path, signum):
    statement = write_csv(tmp_path / "s.csv", [["narration"]] + [["zesto ate it"]] * 400_000)
    (tmp_path / "o.csv").write_text("kept")
    env = dict(os.environ, QUORVANE_CLI_CSV="stdlib")
    # A shell starts a background job with SIGINT ignored, and the command keeps it so, as
    # it should; the test asks for the disposition of a command typed at a terminal.
    process = subprocess.Popen(COMMAND + ["categorize", str(statement), "--rules", str(DATA / "rules.csv"),
                                          "-o", str(tmp_path / "o.csv")], env=env, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while not any(p.name.startswith(".o.csv.") for p in tmp_path.iterdir()):
        assert process.poll() is None and time.monotonic() < deadline, "no temporary file seen"
        time.sleep(0.01)
    process.send_signal(signum)
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (128 + signum, b"")
    assert sorted(os.listdir(tmp_path)) == ["o.csv", "s.csv"]
    assert (tmp_path / "o.csv").read_text() == "kept"


def test_closed_stdout_and_installed_command(tmp_path):
    statement = write_csv(tmp_path / "s.csv", [["narration"]] + [["zesto"]] * 200_000)
    process = subprocess.Popen(COMMAND + ["categorize", str(statement), "--rules", str(DATA / "rules.csv")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"narration,category,merchant,rule\r\n"
    process.stdout.close()  # as `| head -1` does
    assert process.wait(timeout=60) == 128 + signal.SIGPIPE
    assert process.stderr.read() == b""
    process.stderr.close()


@needs_pyarrow
def test_failure_while_pyarrow_reads_ahead(tmp_path):
    # A UTF-16 file is read ahead through Python code on pyarrow's own thread. A failure in
    # its first rows ended the run while a (here slow) read was under way: the process then
    # aborted, or hung, as the interpreter shut down under it.
    statement = tmp_path / "s.csv"
    statement.write_text("narration,amount\nzesto,1\nshort\n" + "zesto,2\n" * 3000, "utf-16")
    code = ("import sys, time, quorvane_cli, quorvane_cli.arrow_csv as a\n"
            "class Slow:\n def __init__(self, s): self.s = s\n"
            " def read(self, n): time.sleep(0.05); return self.s.read(n)\n"
            "a.BLOCK_BYTES, transcoded = 1 << 12, a.pa.transcoding_input_stream\n"
            "a.pa.transcoding_input_stream = lambda *args: Slow(transcoded(*args))\n"
            "sys.exit(quorvane_cli.program())")
    done = subprocess.run([sys.executable, "-c", code, "categorize", str(statement), "--rules",
                           str(DATA / "rules.csv"), "-o", os.devnull], capture_output=True,
                          timeout=60, env=dict(os.environ, QUORVANE_CLI_CSV="pyarrow"))
    assert (done.returncode, done.stderr.decode()) == (
        2, f"quorvane: {statement}:3: 1 fields where the header has 2: remove the line if it is "
        "no transaction (a total or balance below the statement)\n")


@needs_pyarrow
def test_start_up_imports():
    # pandas (pa.array and pa.table import it where installed), numpy and cloudpickle (pyarrow's
    # own imports) are much of the start-up; neither path loads them, nor compute kernels but for
    # a summary, and the stdlib path no pyarrow at all. Those kept out still import afterwards.
    code = ("import sys, quorvane_cli; quorvane_cli.program(); "
            "print(sorted({'numpy', 'cloudpickle', 'pandas', 'pyarrow', 'pyarrow.compute', "
            "'pyarrow.dataset'} & set(sys.modules))); import importlib.util; "
            "assert all(importlib.util.find_spec(m) is None or __import__(m) "
            "for m in ('numpy', 'cloudpickle'))")
    # main() inside someone else's program keeps nothing out: pyarrow goes on with numpy.
    inside = ("import sys, quorvane_cli; quorvane_cli.main(sys.argv[1:]); import pyarrow; "
              "assert pyarrow.array([1.5]).to_numpy().tolist() == [1.5]")
    categorize = ["categorize", DATA / "statement.csv", "--rules", DATA / "rules.csv", "-o", os.devnull]
    assert subprocess.run([sys.executable, "-c", inside, *map(str, categorize)],
                          env=dict(os.environ, QUORVANE_CLI_CSV="pyarrow")).returncode == 0
    # pyarrow before 18 cannot load without numpy: there numpy loads too.
    with_numpy = not arrow_csv.numpy_optional(os.path.dirname(pa.__file__))
    loaded = "['numpy', 'pyarrow']" if with_numpy else "['pyarrow']"
    for path, expected in (("stdlib", "[]"), ("pyarrow", loaded)):
        for argv in (categorize, ["derive", DATA / "history.csv", "-o", os.devnull]):
            done = subprocess.run([sys.executable, "-c", code, *map(str, argv)], capture_output=True,
                                  env=dict(os.environ, QUORVANE_CLI_CSV=path))
            assert done.returncode == 0 and done.stdout.decode().splitlines()[-1] == expected, (path, argv)


@needs_pyarrow  # before 18, pyarrow imports numpy, kept out or not (None: no version file)
@pytest.mark.parametrize("version, optional", [
    ("'17.0.0'", False), ("'18.0.0'", True), ("'26.1.0.dev12'", True), ("None", False), (None, False)],
    ids=["17", "18", "dev", "version None", "no file"])
def test_numpy_kept_out_only_from_pyarrow_18(tmp_path, version, optional):
    if version is not None:
        (tmp_path / "_generated_version.py").write_text(f"__version__ = version = {version}\n", "utf-8")
    assert arrow_csv.numpy_optional(str(tmp_path)) is optional


# ---------------------------------------------------------------- emi

# (the options, the request they stand for, its events as (instalment index, kind, amount, keep))
LOANS = [
    ("--mode emi --amount 250000 --months 18 --rate 9.5 --inflation 4 --start 2027-11",
     {"mode": "emi", "loanAmount": 250000, "months": 18, "interestRate": 9.5, "inflationRate": 4, "start": "2027-11"}, []),
    ("--mode tenure --amount 100000 --emi 5000 --rate 10.123456789",
     {"mode": "tenure", "loanAmount": 100000, "emi": 5000, "interestRate": 10.123456789}, []),
    ("--mode loan-amount --emi 5000 --months 12 --rate 0",
     {"mode": "loanAmount", "emi": 5000, "months": 12, "interestRate": 0}, []),
    # Each kind of event, months as YYYY-MM (the table's lines on what the events save and the
    # APR are in the README's console block)
    ("--mode emi --amount 100000 --months 24 --rate 10 --start 2027-01 --prepay 2027-06:20000 "
     "--rate-change 2027-12:12:tenure --emi-change 2028-03:6000 --fees 1500",
     {"mode": "emi", "loanAmount": 100000, "months": 24, "interestRate": 10, "start": "2027-01", "fees": 1500},
     [(5, "prepay", 20000, None), (11, "rate", 12, "tenure"), (14, "emi", 6000, None)]),
    # Events of a month apply in the order typed, and the last one's keep decides: here the
    # rate's (the tenure stays, 24 months), then the prepayment's (the instalment stays).
    ("--mode emi --amount 100000 --months 24 --rate 10 --prepay 6:20000 --rate-change 6:12:tenure",
     {"mode": "emi", "loanAmount": 100000, "months": 24, "interestRate": 10},
     [(5, "prepay", 20000, None), (5, "rate", 12, "tenure")]),
    ("--mode emi --amount 100000 --months 24 --rate 10 --rate-change 6:12:tenure --prepay 6:20000",
     {"mode": "emi", "loanAmount": 100000, "months": 24, "interestRate": 10},
     [(5, "rate", 12, "tenure"), (5, "prepay", 20000, None)]),
]


@pytest.mark.parametrize("argv, loan, events", LOANS)
def test_emi_forms(capsys, monkeypatch, argv, loan, events):
    argv = argv.split()
    _, out, _ = run(capsys, "emi", *argv, "--format", "csv")
    rows = list(csv.DictReader(io.StringIO(out)))
    if events:  # the schedule is quorvane_columns' for the same loan and events
        _, schedule = qc.emi([loan], [dict(loan=0, month=m, kind=k, amount=a, keep=keep)
                                      for m, k, a, keep in events])
        for name in ("emi", "outstanding", "rate"):
            assert [float(row[name]) for row in rows] == schedule[name]
        return
    result = quorvane.compute_emi(loan)
    assert [{k: int(v) for k, v in row.items()} for row in rows] == result["schedule"]
    solves = []
    for name in ("compute_emi", "compute_emi_json"):
        monkeypatch.setattr(quorvane, name, lambda r, f=getattr(quorvane, name): solves.append(1) or f(r))
    status, out, _ = run(capsys, "emi", *argv, "--format", "json")
    assert (status, len(solves)) == (0, 1)  # the result, years included, from one solve
    assert out == quorvane.compute_emi_json(json.dumps(loan)) + "\n"
    lines = run(capsys, "emi", *argv)[1].splitlines()
    # the rate as typed, not rounded to six digits
    assert f"at {loan['interestRate']}% a year: {result['months']} monthly instalments of " \
        f"{result['emi']:,}" in lines[0]
    # a title (and the inflation), the schedule under a header, the totals under a header
    assert len(lines) == 1 + ("inflationRate" in loan) + 1 + 2 + len(result["schedule"]) + 1 + 5
    assert lines[-3].split()[:2] == ["Paid", f"{result['totals']['nominalPaid']:,}"]


def test_emi_notes_and_warnings(capsys):
    # (the table's note on the rounded instalment is in the README's console block)
    loan = "emi --mode emi --amount 100000 --months 600 --rate 12".split()
    assert run(capsys, *loan, "--emi", "999")[::2] == (
        0, "quorvane: warning: --mode emi solves for the instalment: --emi is ignored\n")
    _, out, err = run(capsys, *loan, "--format", "csv")
    assert err == "quorvane: warning: the rounded instalment of 1,003 clears the loan in 585 months, not 600\n"
    assert len(out.splitlines()) == 586
    out = run(capsys, "emi", "--mode", "emi", "--amount", "1", "--months", "3", "--rate", "-0")[1]
    assert out.startswith("Loan 1 at 0% a year: 1 monthly instalment of 1.\n"
                          "The rounded instalment of 1 clears the loan in 1 month, not 3.\n")
    # Fees alone add the APR, not the columns and savings of events.
    out = run(capsys, "emi", "--mode", "emi", "--amount", "1000", "--months", "2", "--rate", "9",
              "--fees", "10")[1]
    assert "Prepayment" not in out and "plain loan" not in out
    assert out.endswith("Interest        12\n\nAPR 17.73% (effective 19.25% a year) on the amount "
                        "received, after fees.\n")


def test_plot(capsys, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    for (argv, _, _), drawn in zip(LOANS[:2] + LOANS[3:4], ("<svg", "<svg", "without the events")):
        assert run(capsys, "emi", *argv.split(), "--plot", tmp_path / "loan.svg")[0] == 0
        assert drawn in (tmp_path / "loan.svg").read_text("utf-8")
    assert run(capsys, "emi", *LOANS[0][0].split(), "--plot", tmp_path / "loan.nope")[:2] == (2, "")
    for start in ("0000-01", "0001-01", "9999-11"):  # years beyond matplotlib's dates
        assert run(capsys, *LOAN.split(), "--start", start, "--plot", tmp_path / "loan.svg")[0] == 0
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # import fails
    assert run(capsys, "emi", *LOANS[1][0].split(), "--plot", tmp_path / "loan.svg") == (
        2, "", 'quorvane: --plot: needs matplotlib: pip install "quorvane[plot]"\n')
    assert sorted(os.listdir(tmp_path)) == ["loan.svg"]


def test_progress_bar_only_on_a_terminal(capsys, tmp_path, monkeypatch):
    statement = write_csv(tmp_path / "s.csv", [["narration"]] + [["zesto"]] * 10)
    monkeypatch.setenv("QUORVANE_CLI_CSV", "stdlib")
    monkeypatch.setattr(stdlib_csv, "CHUNK_ROWS", 3)
    argv = ["categorize", statement, "--rules", DATA / "rules.csv", "-o", tmp_path / "o.csv"]
    assert run(capsys, *argv) == (0, "", "")
    terminal = io.StringIO()
    terminal.isatty = lambda: True
    monkeypatch.setattr(sys, "stderr", terminal)
    assert quorvane_cli.main([str(a) for a in argv]) == 0
    drawn = terminal.getvalue()
    assert "quorvane categorize [" in drawn and "3 rows" in drawn and drawn.endswith("\r\x1b[K")
