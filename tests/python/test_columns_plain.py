"""quorvane_columns with plain Python lists in and dicts of lists out: needs no Arrow
library, so it also runs under the oldest and newest interpreters."""

import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

alphabet = st.sampled_from(list("abcAB /-1ÄäİΣσ"))
texts = st.text(alphabet, max_size=12)


@settings(max_examples=150, deadline=None)
@given(narrations=st.lists(st.one_of(st.none(), texts), max_size=30),
       rules=st.lists(st.tuples(texts.map(lambda t: t[:3]), st.sampled_from(["F", "Ü"]),
                                st.sampled_from(["M1", "M2"])), max_size=8))
def test_categorize_equals_existing_module(narrations, rules):
    got = qc.categorize(narrations, [list(r) for r in rules])
    want = quorvane.categorize_transactions({
        "data": [{"narration": n or ""} for n in narrations],
        "rules": [{"pattern": p, "category": c, "merchant": m} for p, c, m in rules]})["data"]
    assert [None if c is None else (c, m) for c, m in zip(got["category"], got["merchant"])] == [
        None if n is None or w is None else (w["category"], w["merchant"])
        for n, w in zip(narrations, want)]
    assert all(r is None or rules[r][1] == c for r, c in zip(got["rule"], got["category"]))


examples = st.lists(st.tuples(st.lists(st.sampled_from(["zesto", "KART", "upi", "Σοφία", "12"]), max_size=4)
                              .map(" ".join), st.sampled_from(["Food", "Ä"]), st.sampled_from(["M1", "M2"])),
                    max_size=20)


@settings(max_examples=100, deadline=None)
@given(examples=examples, cut=st.integers(0, 20))
def test_derive_equals_existing_module(examples, cut):
    def columns(rows):
        return [[e[k] for e in rows] for k in range(3)]

    got = qc.derive(*columns(examples))
    request = {"data": [{"narration": n, "category": c, "merchant": m} for n, c, m in examples]}
    want = quorvane.derive_rules(request)["rules"]
    assert got == {name: [r[name] for r in want] for name in ("pattern", "category", "merchant")}
    # The examples whole: derive_rules' request, its records, or a dict of columns.
    whole = dict(zip(("narration", "category", "merchant"), columns(examples)))
    assert qc.derive(request) == qc.derive([list(e) for e in examples]) == qc.derive(whole) == got
    # In three steps: counted in two parts, merged, finished.
    merged = qc.derive_merge(qc.derive_partial(*columns(examples[:cut])),
                             qc.derive_partial(*columns(examples[cut:])))
    assert merged == qc.derive_partial(*columns(examples))
    assert qc.derive_finish(merged) == got


def test_emi_on_a_list_of_requests():
    requests = [{"mode": "emi", "loanAmount": 1000, "months": 3, "interestRate": 12},
                {"mode": "emi", "loanAmount": 1000, "months": 0, "interestRate": 12}]
    loans, schedule = qc.emi(requests)
    assert loans["emi"] == [quorvane.compute_emi(requests[0])["emi"], None]
    assert loans["error"] == [None, "invalid input: months must be greater than zero"]
    assert schedule["principal"] == [row["principal"] for row in
                                     quorvane.compute_emi(requests[0])["schedule"]]


@settings(max_examples=100, deadline=None)
@given(rows=st.lists(st.tuples(st.sampled_from(["Food", "Ä", "F"]), st.sampled_from(["M1", "M"]),
                               st.sampled_from(["zesto", "zzz", "σοφ", "123", "kart"]), st.integers(1, 9)),
                     max_size=30),
       cuts=st.lists(st.integers(0, 30), max_size=3))
def test_merge_adds_up_rows_in_any_order(rows, cuts):
    # Tables in no order, or in order (as derive_partial gives them), merge alike: rows in
    # byte order of the three texts (UTF-8 sorts as code points do), equal ones added up.
    tables = [rows[a:b] for a, b in zip([0] + sorted(cuts), sorted(cuts) + [len(rows)])]
    tables += [sorted(t) for t in tables]
    want = {}
    for *key, count in rows:
        want[tuple(key)] = want.get(tuple(key), 0) + 2 * count
    got = qc.derive_merge(*({name: [r[i] for r in t] for i, name in
                             enumerate(("category", "merchant", "token", "count"))} for t in tables))
    assert list(zip(*got.values())) == [(*key, count) for key, count in sorted(want.items())]


DASK_NEEDS = "quorvane_columns.dask needs Dask and its distributed scheduler"
SPARK_NEEDS = "quorvane_columns.spark needs pyspark 4 and pyarrow"


@pytest.mark.parametrize("library, module, needs, extra, python", [
    ("dask", "dask", DASK_NEEDS, "dask", (3, 10)),
    ("pyspark", "spark", SPARK_NEEDS, "spark", (3, 9)),
])
def test_cluster_modules_say_what_to_install(library, module, needs, extra, python):
    # A fresh interpreter in which the library cannot be imported, installed or not.
    code = "\n".join([
        "import sys",
        f"sys.modules[{library!r}] = None",
        "import quorvane_columns",
        "try:",
        f"    import quorvane_columns.{module}",
        "except ImportError as error:",
        "    print(error)",
    ])
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    # The extras install nothing on an older Python: there the message says so.
    here = f"{sys.version_info[0]}.{sys.version_info[1]}"
    assert done.stdout == (
        f'{needs}: pip install "quorvane[{extra}]" (into the Python at {sys.executable})\n'
        if sys.version_info >= python else
        f"{needs}, which need Python {python[0]}.{python[1]} or later (the Python at "
        f"{sys.executable} is {here})\n")
