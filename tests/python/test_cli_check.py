"""`quorvane check`: exit statuses, the printed figures against quorvane_columns on both
CSV paths, and the HTML report rendered in a real headless Chromium: no console message,
and the numbers on the page equal evaluate's."""

import io
import os
import shutil
import subprocess
import sys
from html.parser import HTMLParser

import pytest
from test_cli import path, run, write_csv  # noqa: F401 (path: the fixture of the two CSV paths)

import quorvane_cli
from quorvane_cli.text import ratio
import quorvane_columns as qc

# A merchant holding an escape sequence, which the printed table must not send to a terminal
POWER = "Power <Co> & \"Sons\"\x1b[0m"
RULES = [["zesto", "Food", "Zesto"], ["upi/", "Transfers", "UPI"], ["ZESTO", "Food", "Zesto"],
         ["kart", "Shopping", "Kartville"], ["kartville", "Shopping", "Kartville"],
         ["pay", "Bills", POWER]]
# The last rule's labels hold what an HTML parser would change: a CR (read as a line feed)
# and a NUL (dropped from text; Python's csv module reads one from 3.11 on).
NUL = "\0" if sys.version_info >= (3, 11) else "_"
CLEAN_RULES = [["zesto", "Food", "Zesto"], ["kart", "Shopping", "Kartville"],
               [f"<td>\r\n{NUL}", f"a\rb{NUL}c", "</svg>\u2028&amp;"]]
# Labelled rows: some right, some wrong, some unmatched, non-ASCII among them.
HISTORY = [row for i in range(40) for row in (
    [f"UPI/ZESTO/{i}", "Food", "Zesto"], [f"POS KARTVILLE {i}", "Shopping", "Kartville" if i % 4 else "Kart"],
    [f"upi/{i}/transfer", "Transfers", "UPI"], [f"ATM WDL İstanbul {i}", "Cash", "ATM"],
    [f"PAY ẞtraße power {i}", "Bills", POWER])] + [["12", "Other", "?"]]


@pytest.fixture
def files(tmp_path):
    """Each name's file, by its path ("absent": none), and "dir": the folder."""
    header = ["pattern", "category", "merchant"]
    written = {"rules": [header, *RULES], "clean": [header, *CLEAN_RULES],
               "one": [header, *CLEAN_RULES[:1]], "plain": [["narration", "amount"], ["x", "1"]],
               "history": [["Narration", "category", "merchant"], *HISTORY]}
    for name, rows in written.items():
        write_csv(tmp_path / f"{name}.csv", rows)
    return {"dir": tmp_path, **{name: str(tmp_path / f"{name}.csv") for name in [*written, "absent"]}}


@pytest.fixture(scope="module")
def figures():
    return qc.evaluate(*zip(*HISTORY), RULES)


@pytest.mark.parametrize("argv,status,shown", [
    (["--rules", "one"], 0, "one.csv: no finding in 1 rule.\n"),
    (["--rules", "rules"], 1, "unreachable: rule 4 never wins: rule 3's pattern"),
    (["--rules", "clean", "history"], 0, "201 rows: 80 matched"),
    (["--rules", "absent"], 2, "absent.csv: No such file or directory"),
    (["--rules", "clean", "plain"], 2, "no column named 'category'"),
    (["--rules", "clean", "history", "--column", "memo"], 2, "no column named 'memo'"),
    (["history"], 2, "the following arguments are required: --rules"),
    (["--rules", "rules", "--report", "dir/absent/page.html"], 2, "No such file or directory"),
    (["--rules", "rules", "--report", "rules"], 2, "is this same file"),
])
def test_exit_status(capsys, files, argv, status, shown):
    argv = [files.get(a, a).replace("dir/", f"{files['dir']}/") for a in argv]
    got, out, err = run(capsys, "check", *argv)
    assert (got, shown in (out if status < 2 else err)) == (status, True)
    if status == 2:  # one line, and only that
        assert not out and len(err.splitlines()) == 1
    # Nothing is left behind, and no input is overwritten.
    assert sorted(os.listdir(files["dir"])) == ["clean.csv", "history.csv", "one.csv", "plain.csv", "rules.csv"]


def test_printed_figures_are_evaluates(capsys, files, figures, path):
    status, out, _ = run(capsys, "check", "--rules", files["rules"], files["history"])
    s = figures.summary
    assert status == 1 and (f"{s['rows'][0]} rows: {s['matched'][0]} matched (coverage "
            f"{ratio(s['coverage'][0])}), {s['correct'][0]} correct (accuracy "
            f"{ratio(s['accuracy'][0])}, precision {ratio(s['precision'][0])}); macro F1 "
            f"{ratio(s['macro_f1'][0], 3, percent=False)}.") in out
    # The worst rules: at least 5 hits, lowest precision first.
    worst = out.split("Worst rules by precision (at least 5 hits):\n")[1].splitlines()[2:]
    shown = [int(line.split()[0]) for line in worst]
    r = figures.per_rule
    eligible = sorted((p, k) for k, (p, h) in enumerate(zip(r["precision"], r["hits"])) if h >= 5)
    assert shown == [k for _, k in eligible][:10] and shown[0] == 3
    assert "\x1b" not in out and 'Power <Co> & "Sons"\\x1b[0m' in out


# ---------------------------------------------------------------- the page in Chromium


class Page(HTMLParser):
    """The texts of each table's rows (by id) and of the summary's figures."""

    def __init__(self, html):
        super().__init__()
        self.tables, self.figures, self.rows, self.cell = {}, [], None, None
        # As a browser reads the page: line breaks made line feeds, NULs dropped from text.
        self.feed(html.replace("\r\n", "\n").replace("\r", "\n").replace("\0", ""))

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.rows = self.tables.setdefault(dict(attrs).get("id"), [])
        elif tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th", "dt", "dd"):
            self.cell = ""

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data

    def handle_endtag(self, tag):
        if tag in ("td", "th", "dt", "dd"):
            (self.rows[-1] if tag in ("td", "th") else self.figures).append(self.cell.strip())
            self.cell = None


def render(page, tmp_path):
    """The page as Chromium's DOM after loading it, and its console messages; a
    screenshot must show something drawn."""
    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser"))), None)
    if browser is None:
        if os.environ.get("QUORVANE_REQUIRE_BROWSER") == "1":
            pytest.fail("QUORVANE_REQUIRE_BROWSER=1, but no chromium on PATH")
        pytest.skip("needs a headless Chromium (Debian's chromium package)")
    shot = tmp_path / "page.png"
    # The browser is a program of its own: not for a sanitizer runtime the suite preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    done = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0",
         "--window-size=1000,2400", f"--screenshot={shot}", "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    assert shot.stat().st_size > 10_000  # a PNG with something drawn on it
    return done.stdout, [line for line in done.stderr.splitlines() if ":CONSOLE" in line]


@pytest.mark.parametrize("value, places, as_percent, text", [
    (None, 1, True, "n/a"), (0.0, 1, True, "0.0%"), (1.0, 1, True, "100.0%"), (0.12345, 1, True, "12.3%"),
    # Near an end, never the end itself: a near-perfect rule set is not shown as perfect.
    (0.9996, 1, True, ">99.9%"), (0.0004, 1, True, "<0.1%"), (0.99967, 3, False, ">0.999"),
    (0.9994, 1, True, "99.9%")])
def test_ratios_never_round_to_their_ends(value, places, as_percent, text):
    assert ratio(value, places, percent=as_percent) == text


def test_report_in_chromium(capsys, files, figures, tmp_path):
    page = tmp_path / "report.html"
    assert run(capsys, "check", "--rules", files["rules"], files["history"], "--report", page)[0] == 1
    dom, console = render(page, tmp_path)
    assert console == []
    parsed = Page(dom)
    s, c, r = figures.summary, figures.per_category, figures.per_rule
    assert parsed.figures == [
        "Rows", f"{s['rows'][0]:,}", "Matched", f"{s['matched'][0]:,}", "Correct",
        f"{s['correct'][0]:,}", "Coverage", ratio(s["coverage"][0]), "Accuracy",
        ratio(s["accuracy"][0]), "Precision", ratio(s["precision"][0]), "Macro F1",
        ratio(s["macro_f1"][0], 3, percent=False)]
    assert parsed.tables["per-category"][1:] == [
        [c["category"][k], str(c["support"][k]), str(c["predicted"][k]), str(c["correct"][k]),
         ratio(c["precision"][k]), ratio(c["recall"][k]), ratio(c["f1"][k])]
        for k in range(len(c["category"]))]
    assert parsed.tables["per-rule"][1:] == [
        [str(k), r["pattern"][k], r["category"][k], r["merchant"][k], str(r["hits"][k]),
         str(r["correct"][k]), ratio(r["precision"][k])] for k in range(len(RULES))]
    lint = qc.lint(RULES)
    assert parsed.tables["findings"][1:] == [list(map(str, row)) for row in zip(
        lint["rule"], lint["kind"], lint["by"], lint["message"])]
    groups = qc.unmatched([row[0] for row in HISTORY], RULES, top=20)
    assert [row[:2] for row in parsed.tables["unmatched"][1:]] == [
        ["no word" if w is None else w, str(n)] for w, n in zip(groups["word"], groups["count"])]


def test_report_on_stdout(capsys, monkeypatch, files, tmp_path):
    status, out, err = run(capsys, "check", "--rules", files["clean"], "--report", "-")
    assert (status, err, out[:15]) == (0, "", "<!DOCTYPE html>")  # the page alone: nothing beside it
    parsed = Page(out)
    # Every label as given, but a NUL, which no page can hold
    assert parsed.tables["per-rule"][1:] == [[str(k), *(c.replace("\0", "\ufffd") for c in r)]
                                             for k, r in enumerate(CLEAN_RULES)]
    assert "findings" not in parsed.tables and parsed.figures == []
    # A rules file named in bytes that are not UTF-8, and more unmatched groups than shown
    rules = str(tmp_path / os.fsdecode(b"r\xff.csv"))
    shutil.copy(files["clean"], rules)
    history = tmp_path / "many.csv"
    history.write_text("narration,category,merchant\n" + "".join(f"w{k:03},c,m\n" for k in range(23)))
    status, out, _ = run(capsys, "check", "--rules", rules, history, "--report", "-")
    assert status == 0 and "r\\xff.csv</code>" in out
    assert "3 more unmatched narrations are in smaller groups, not shown." in out
    printed = io.BytesIO()  # the name printed as the bytes it is, which capsys cannot take
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(printed))
    assert quorvane_cli.main(["check", "--rules", rules]) == 0
    assert printed.getvalue() == os.fsencode(rules) + b": no finding in 3 rules.\n"
