"""The `quorvane` command: its output against the module, its one-line errors, CSV
encodings, chunking and the progress bar. Most cases call main() in-process; one runs
the installed command."""

import csv
import io
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_cli
from quorvane_cli import table

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"


def run(capsys, *argv):
    """main() on argv: (exit status, standard output, standard error)."""
    status = quorvane_cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def read_csv(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.reader(f))


def write_csv(path, rows, bom=False, newline="\r\n"):
    text = io.StringIO()
    csv.writer(text, lineterminator=newline).writerows(rows)
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.getvalue().encode("utf-8"))
    return path


def model(narration, rules):
    """The index of the first rule whose lowered pattern occurs in the lowered narration."""
    text = narration.lower()
    return next((i for i, (p, _, _) in enumerate(rules) if p.lower() in text), None)


# ---------------------------------------------------------------- categorize against the module

# Field texts that CSV must carry through: separators, quotes, line breaks, non-ASCII.
FIELD = st.text(alphabet="abAB ,\"\r\n\u00e9\u00c9\u03a3\u03c3\u0130i", max_size=8)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(FIELD, FIELD), max_size=12),
       st.lists(st.tuples(st.text(alphabet="abAB \u00e9\u00c9\u03a3\u0130i", max_size=3), FIELD, FIELD),
                max_size=6),
       st.integers(1, 4), st.integers(1, 64), st.booleans())
def test_categorize_matches_model(rows, rules, chunk, block, as_json):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        statement = write_csv(tmp / "s.csv", [["Narration", "note"]] + [list(r) for r in rows])
        if as_json:
            (tmp / "r.json").write_text(json.dumps({"rules": [list(r) for r in rules]}), "utf-8")
            rules_file = tmp / "r.json"
        else:
            rules_file = write_csv(tmp / "r.csv", [["pattern", "category", "merchant"]] + [list(r) for r in rules])
        # Chunks of rows and blocks of bytes end anywhere.
        old = table.CHUNK_ROWS, table.BLOCK_BYTES
        table.CHUNK_ROWS, table.BLOCK_BYTES = chunk, block
        try:
            status = quorvane_cli.main(["categorize", str(statement), "--rules", str(rules_file),
                                        "-o", str(tmp / "out.csv")])
        finally:
            table.CHUNK_ROWS, table.BLOCK_BYTES = old
        assert status == 0
        out = read_csv(tmp / "out.csv")
    assert out[0] == ["Narration", "note", "category", "merchant", "rule"]
    for (narration, note), written in zip(rows, out[1:]):
        winner = model(narration, rules)
        added = ["", "", ""] if winner is None else [rules[winner][1], rules[winner][2], str(winner)]
        assert written == [narration, note] + added
    assert len(out) == len(rows) + 1


def test_bundled_statement_both_rule_forms(capsys, tmp_path):
    statement = json.loads((DATA / "statement.json").read_text("utf-8"))["data"]
    rules = json.loads((DATA / "rules.json").read_text("utf-8"))["rules"]
    expected = quorvane.categorize_transactions({"data": statement, "rules": rules})["data"]
    outputs = []
    for rules_file in ("rules.csv", "rules.json"):
        out = tmp_path / "out.csv"
        assert run(capsys, "categorize", DATA / "statement.csv", "--rules", DATA / rules_file, "-o", out)[0] == 0
        outputs.append(read_csv(out))
    assert outputs[0] == outputs[1]
    got = [None if row[3] == "" else {"category": row[3], "merchant": row[4]} for row in outputs[0][1:]]
    assert got == expected


# ---------------------------------------------------------------- CSV details


def test_bom_crlf_and_existing_columns(capsys, tmp_path):
    # A byte order mark, CRLF line ends, a blank line, and a Category column already there;
    # the rules with LF line ends.
    statement = write_csv(tmp_path / "s.csv", [["Details", "Category", "amount"], ["ZESTO 1", "old", "-5"],
                                               [], ["none", "old", "2"]], bom=True)
    rules = write_csv(tmp_path / "r.csv", [["Pattern", "CATEGORY", "merchant"], ["zesto", "Food", "Z"]],
                      bom=True, newline="\n")
    status, out, err = run(capsys, "categorize", statement, "--rules", rules)
    assert (status, err) == (0, "")
    assert out.splitlines() == ["Details,Category,amount,merchant,rule", "ZESTO 1,Food,-5,Z,0", "none,,2,,"]


@pytest.mark.parametrize("block", [1, 5, 1 << 20])
def test_line_numbers_across_blocks(capsys, tmp_path, monkeypatch, block):
    # Lines end in LF, CRLF and a lone CR; a quoted field spans lines 3 to 5.
    data = b'narration,n\nab,1\r\n"x\ny\rz",2\rok,3\n\nq,\xe9\n'
    (tmp_path / "s.csv").write_bytes(data)
    monkeypatch.setattr(table, "BLOCK_BYTES", block)
    status, _, err = run(capsys, "categorize", tmp_path / "s.csv", "--rules", DATA / "rules.csv")
    assert (status, err) == (2, f"quorvane: {tmp_path / 's.csv'}:8: not UTF-8 text (byte 3 of the line)\n")
    (tmp_path / "s.csv").write_bytes(data.replace(b"\xe9", b"3,4"))
    status, _, err = run(capsys, "categorize", tmp_path / "s.csv", "--rules", DATA / "rules.csv")
    assert (status, err) == (2, f"quorvane: {tmp_path / 's.csv'}:8: 3 fields where the header has 2\n")


@pytest.mark.parametrize("header, option, picked", [
    (["date", "Description", "narration"], [], "narration"),   # preference order, not file order
    (["DETAILS", "description"], [], "description"),
    (["date", "memo"], ["--column", "MEMO"], "memo"),
])
def test_narration_column(capsys, tmp_path, header, option, picked):
    rows = [header, [name if name.lower() == picked else "" for name in header]]
    statement = write_csv(tmp_path / "s.csv", rows)
    rules = write_csv(tmp_path / "r.csv", [["pattern", "category", "merchant"], [picked, "C", "M"]])
    status, out, _ = run(capsys, "categorize", statement, "--rules", rules, *option)
    assert status == 0 and out.splitlines()[1].endswith(",C,M,0")


def test_summary(capsys, tmp_path):
    statement = write_csv(tmp_path / "s.csv", [
        ["narration", "Amount"], ["zesto 1", "-1,200.50"], ["zesto 2", "-99.5"], ["kart", "-10"],
        ["salary", "50000"], ["???", ""], ["???", "3"]])
    rules = write_csv(tmp_path / "r.csv", [["pattern", "category", "merchant"], ["zesto", "Food", "Zesto"],
                                           ["kart", "Food", "Kart"], ["salary", "Salary", "Acme"]])
    status, out, err = run(capsys, "categorize", statement, "--rules", rules, "--summary")
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        "Category / merchant  Count     Amount",
        "-------------------  -----  ---------",
        "Food                     3  -1,310.00",
        "  Zesto                  2  -1,300.00",
        "  Kart                   1     -10.00",
        "Salary                   1  50,000.00",
        "  Acme                   1  50,000.00",
        "(unmatched)              2       3.00",
        "-------------------  -----  ---------",
        "All                      6  48,693.00",
        "",
        "Unmatched: 2 of 6 transactions (33.3%).",
    ]
    # With -o the statement is written too; without an amount column only counts are shown.
    statement = write_csv(tmp_path / "s.csv", [["narration"], ["zesto"]])
    status, out, _ = run(capsys, "categorize", statement, "--rules", rules, "--summary", "-o", tmp_path / "o.csv")
    assert read_csv(tmp_path / "o.csv") == [["narration", "category", "merchant", "rule"], ["zesto", "Food", "Zesto", "0"]]
    assert out.splitlines()[-1] == "No amount column: counts only (name one with --amount-column)."


def test_derive_matches_module_and_feeds_categorize(capsys, tmp_path):
    history = json.loads((DATA / "history.json").read_text("utf-8"))["data"]
    expected = quorvane.derive_rules({"data": history})["rules"]
    assert run(capsys, "derive", DATA / "history.csv", "-o", tmp_path / "rules.csv")[0] == 0
    written = read_csv(tmp_path / "rules.csv")
    assert written == [["pattern", "category", "merchant"]] + [[r["pattern"], r["category"], r["merchant"]] for r in expected]
    status, out, _ = run(capsys, "categorize", DATA / "statement.csv", "--rules", tmp_path / "rules.csv")
    statement = json.loads((DATA / "statement.json").read_text("utf-8"))["data"]
    result = quorvane.categorize_transactions({"data": statement, "rules": expected})["data"]
    rows = list(csv.reader(io.StringIO(out)))[1:]
    assert [None if r[3] == "" else {"category": r[3], "merchant": r[4]} for r in rows] == result


# ---------------------------------------------------------------- user mistakes: one line, status 2

RULES_CSV = "pattern,category,merchant\nzesto,Food,Z\n"
STATEMENT = "date,narration,amount\n2026-01-01,zesto,-5\n"

# (files to write, command, the error line with {tmp} for the directory)
MISTAKES = [
    # the narration column
    ({"s.csv": "date,memo\n1,x\n"}, ["categorize", "s.csv", "--rules", "r.csv"],
     "s.csv:1: no column named 'narration', 'description' or 'details' (the columns are 'date', "
     "'memo'); choose one with --column"),
    ({"s.csv": STATEMENT}, ["categorize", "s.csv", "--rules", "r.csv", "--column", "memo"],
     "s.csv:1: no column named 'memo' (the columns are 'date', 'narration', 'amount'); choose one with --column"),
    # rows and bytes
    ({"s.csv": STATEMENT + "2026-01-02,x\n"}, ["categorize", "s.csv", "--rules", "r.csv"],
     "s.csv:3: 2 fields where the header has 3"),
    ({"s.csv": b"narration\nok\n\xff\xfe bad\n"}, ["categorize", "s.csv", "--rules", "r.csv"],
     "s.csv:3: not UTF-8 text (byte 1 of the line)"),
    ({"s.csv": ""}, ["categorize", "s.csv", "--rules", "r.csv"], "s.csv:1: empty file: expected a header row"),
    ({}, ["categorize", "missing.csv", "--rules", "r.csv"], "missing.csv: No such file or directory"),
    ({"s.csv": STATEMENT + "2026-01-02,kart,12x\n"}, ["categorize", "s.csv", "--rules", "r.csv", "--summary"],
     "s.csv:3:amount: not an amount: '12x'"),
    ({"s.csv": STATEMENT}, ["categorize", "s.csv", "--rules", "r.csv", "--summary", "--amount-column", "debit"],
     "s.csv:1: no column named 'debit' (the columns are 'date', 'narration', 'amount')"),
    # rules
    ({"s.csv": STATEMENT, "r.csv": "pattern,category\nx,y\n"}, ["categorize", "s.csv", "--rules", "r.csv"],
     "r.csv:1: no column named 'merchant' (the columns are 'pattern', 'category')"),
    ({"s.csv": STATEMENT, "r.json": '{"rules": [\n  ["a", "b", "c"],\n  ["a" "b"]]}'},
     ["categorize", "s.csv", "--rules", "r.json"], "r.json:3:8: invalid JSON: Expecting ',' delimiter"),
    ({"s.csv": STATEMENT, "r.json": '{"rules": [["a", "b", "c"], {"pattern": "a", "category": 5}]}'},
     ["categorize", "s.csv", "--rules", "r.json"], 'r.json:rules[1]: missing "merchant"'),
    ({"s.csv": STATEMENT, "r.json": '[{"pattern": "a", "category": 5, "merchant": "m"}]'},
     ["categorize", "s.csv", "--rules", "r.json"], "r.json:[0].category: expected text, got 5"),
    ({"s.csv": STATEMENT, "r.json": '[["a", "b"]]'}, ["categorize", "s.csv", "--rules", "r.json"],
     "r.json:[0]: expected an object or an array of 3 texts"),
    ({"s.csv": STATEMENT, "r.json": '{"data": []}'}, ["categorize", "s.csv", "--rules", "r.json"],
     'r.json: expected a list of rules, or an object with "rules"'),
    # derive
    ({"h.csv": "narration,category\nx,y\n"}, ["derive", "h.csv"],
     "h.csv:1: no column named 'merchant' (the columns are 'narration', 'category')"),
    # emi: what each mode needs, what the engine rejects, what argparse rejects
    ({}, ["emi", "--mode", "tenure", "--amount", "1000", "--months", "3", "--rate", "9"], "emi: --mode tenure needs --emi"),
    ({}, ["emi", "--mode", "tenure", "--amount", "1000", "--emi", "1", "--rate", "12"],
     "emi: monthly payment of 1.00 does not cover the first month's interest of 10.00; the loan would never be repaid"),
    ({}, ["emi", "--mode", "emi", "--amount", "1000", "--months", "0", "--rate", "9"],
     "emi: invalid input: months must be greater than zero"),
    ({}, ["emi", "--mode", "emi", "--amount", "1000", "--months", "3", "--rate", "9", "--start", "2027-13"],
     'emi: month out of range in "2027-13"'),
]


@pytest.mark.parametrize("files, argv, message", MISTAKES)
def test_mistakes(capsys, tmp_path, monkeypatch, files, argv, message):
    monkeypatch.chdir(tmp_path)
    Path("r.csv").write_text(RULES_CSV, "utf-8")
    for name, content in files.items():
        Path(name).write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    assert run(capsys, *argv, "-o", "out.csv") == (2, "", f"quorvane: {message}\n")
    assert not list(tmp_path.glob("out.csv*"))  # no output, not even a partial one


@pytest.mark.parametrize("argv, message", [
    (["emi", "--mode", "emi", "--amount", "lots", "--rate", "9"], "quorvane emi: argument --amount: invalid number value: 'lots'"),
    (["emi", "--mode", "emi", "--amount", "nan", "--rate", "9"], "quorvane emi: argument --amount: invalid number value: 'nan'"),
    (["emi", "--mode", "emi", "--months", "-1", "--rate", "9"], "quorvane emi: argument --months: invalid count value: '-1'"),
    (["emi", "--mode", "annuity", "--rate", "9"], "quorvane emi: argument --mode: invalid choice: 'annuity' (choose from 'emi', 'tenure', 'loanAmount')"),
    (["categorize", "s.csv"], "quorvane categorize: the following arguments are required: --rules"),
    ([], "quorvane: the following arguments are required: VERB"),
])
def test_usage_mistakes(capsys, argv, message):
    with pytest.raises(SystemExit) as info:
        quorvane_cli.main(argv)
    out, err = capsys.readouterr()
    assert (info.value.code, out) == (2, "")
    # argparse's quoting of choices changed in Python 3.12.1; compare without quotes there.
    assert err.replace("'", "") == f"{message} (see {message.split(':')[0]} --help)\n".replace("'", "")


# ---------------------------------------------------------------- emi

LOANS = [
    ["--mode", "emi", "--amount", "250000", "--months", "18", "--rate", "9.5", "--inflation", "4", "--start", "2027-11"],
    ["--mode", "tenure", "--amount", "100000", "--emi", "5000", "--rate", "10"],
    ["--mode", "loanAmount", "--emi", "5000", "--months", "12", "--rate", "0"],
]


def request_of(argv):
    names = {"--mode": "mode", "--amount": "loanAmount", "--emi": "emi", "--months": "months",
             "--rate": "interestRate", "--inflation": "inflationRate", "--start": "start"}
    request = dict(zip((names[a] for a in argv[::2]), argv[1::2]))
    return {k: v if k in ("mode", "start") else float(v) if k != "months" else int(v) for k, v in request.items()}


@pytest.mark.parametrize("argv", LOANS)
def test_emi_formats(capsys, argv):
    request = request_of(argv)
    result = quorvane.compute_emi(request)
    status, out, _ = run(capsys, "emi", *argv, "--format", "json")
    assert status == 0 and out == quorvane.compute_emi_json(json.dumps(request)) + "\n"
    _, out, _ = run(capsys, "emi", *argv, "--format", "csv")
    assert [{k: int(v) for k, v in row.items()} for row in csv.DictReader(io.StringIO(out))] == result["schedule"]
    _, out, _ = run(capsys, "emi", *argv)
    lines = out.splitlines()
    assert f"{result['months']} monthly instalments of {result['emi']:,}" in lines[0]
    # a title (and the inflation), the schedule under a header, the totals under a header
    assert len(lines) == 1 + ("inflationRate" in request) + 1 + 2 + len(result["schedule"]) + 1 + 5
    assert lines[-3].split()[:2] == ["Paid", f"{result['totals']['nominalPaid']:,}"]


def test_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    for argv in LOANS[:2]:
        assert run(capsys, "emi", *argv, "--plot", tmp_path / "loan.svg")[0] == 0
        assert "<svg" in (tmp_path / "loan.svg").read_text("utf-8")
    assert run(capsys, "emi", *LOANS[0], "--plot", tmp_path / "loan.nope")[:2] == (2, "")


def test_plot_without_matplotlib(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # import fails
    assert run(capsys, "emi", *LOANS[1], "--plot", tmp_path / "loan.svg") == (
        2, "", 'quorvane: --plot: needs matplotlib: pip install "quorvane[plot]"\n')


# ---------------------------------------------------------------- progress and the installed command


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal(capsys, tmp_path, monkeypatch):
    statement = write_csv(tmp_path / "s.csv", [["narration"]] + [["zesto"]] * 10)
    rules = write_csv(tmp_path / "r.csv", [["pattern", "category", "merchant"], ["zesto", "F", "Z"]])
    monkeypatch.setattr(table, "CHUNK_ROWS", 3)
    assert run(capsys, "categorize", statement, "--rules", rules, "-o", tmp_path / "o.csv") == (0, "", "")
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert quorvane_cli.main(["categorize", str(statement), "--rules", str(rules), "-o", str(tmp_path / "o.csv")]) == 0
    drawn = terminal.getvalue()
    assert "quorvane categorize [" in drawn and "3 rows" in drawn and drawn.endswith("\r\x1b[K")


def test_installed_command(tmp_path):
    script = Path(sys.executable).with_name("quorvane")
    # Runs against a build directory (sanitizer, other interpreters) have no script: use -m.
    command = [str(script)] if script.exists() else [sys.executable, "-m", "quorvane_cli"]
    done = subprocess.run(command + ["categorize", str(DATA / "statement.csv"), "--rules",
                                     str(DATA / "rules.csv")], capture_output=True, env=dict(os.environ))
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8").splitlines()[1].endswith(",Salary,Tarangini Softlabs,0")
    done = subprocess.run(command + ["derive", str(tmp_path / "none.csv")], capture_output=True)
    assert (done.returncode, done.stdout) == (2, b"")
    assert done.stderr.decode() == f"quorvane: {tmp_path / 'none.csv'}: No such file or directory\n"
