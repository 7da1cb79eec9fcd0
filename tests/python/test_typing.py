"""The type stubs: they agree with the module (names, parameters, the shapes of real
results), and mypy --strict rejects the misuses in tests/typing/misuse.py, exactly there."""

import ast
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "python" / "quorvane-stubs"
MISUSE = ROOT / "tests" / "typing" / "misuse.py"
DATA = ROOT / "examples" / "data"

TREE = ast.parse((STUBS / "__init__.pyi").read_text("utf-8"))
FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}
SHAPES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}
ALIASES = {node.targets[0].id: node.value for node in TREE.body
           if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name)}


def test_functions_match_module():
    assert ast.literal_eval(ALIASES["__all__"]) == quorvane.__all__
    assert sorted(FUNCTIONS) == sorted(quorvane.__all__[1:])
    for name, node in FUNCTIONS.items():
        params = ", ".join(arg.arg for arg in node.args.args)
        assert getattr(quorvane, name).__text_signature__ == f"({params})"
        assert ast.get_docstring(node), name


# ---------------------------------------------------------------- results against their shapes


def slice_of(subscript):
    """X in A[X]: Python 3.8 wraps it in an ast.Index."""
    inner = subscript.slice
    return inner.value if type(inner).__name__ == "Index" else inner


def conforms(value, annotation, path="result"):
    """Check value against a stub annotation; returns the list of mismatches."""
    if isinstance(annotation, ast.Name) and annotation.id in ALIASES:
        annotation = ALIASES[annotation.id]
    if isinstance(annotation, ast.BinOp):  # X | None
        if value is None:
            return []
        return conforms(value, annotation.left, path)
    if isinstance(annotation, ast.Subscript):
        outer = annotation.value.id
        inner = slice_of(annotation)
        if outer == "Literal":
            options = [e.value for e in (inner.elts if isinstance(inner, ast.Tuple) else [inner])]
            return [] if value in options else [f"{path}: {value!r} not in {options}"]
        if outer in ("list", "Sequence"):
            if not isinstance(value, list):
                return [f"{path}: not a list"]
            return [m for i, v in enumerate(value) for m in conforms(v, inner, f"{path}[{i}]")]
        raise AssertionError(f"unexpected annotation {ast.dump(annotation)}")
    name = annotation.id
    if name in SHAPES:
        return conforms_to_shape(value, SHAPES[name], path)
    kinds = {"int": int, "float": (int, float), "str": str}
    ok = isinstance(value, kinds[name]) and not isinstance(value, bool)
    return [] if ok else [f"{path}: {value!r} is not {name}"]


def conforms_to_shape(value, shape, path):
    if not isinstance(value, dict):
        return [f"{path}: not a dict"]
    fields = {node.target.id: node.annotation for node in shape.body if isinstance(node, ast.AnnAssign)}
    problems = [f"{path}: unexpected key {key!r}" for key in value if key not in fields]
    for key, annotation in fields.items():
        optional = isinstance(annotation, ast.Subscript) and annotation.value.id == "NotRequired"
        if key not in value:
            if not optional:
                problems.append(f"{path}: missing {key!r}")
            continue
        problems += conforms(value[key], slice_of(annotation) if optional else annotation, f"{path}.{key}")
    return problems


def load(name, key):
    return json.loads((DATA / name).read_text("utf-8"))[key]


LOANS = [
    {"mode": "emi", "loanAmount": 250000, "months": 30, "interestRate": 9.5, "inflationRate": 4, "start": "2027-11"},
    {"mode": "tenure", "loanAmount": 100000, "emi": 5000.5, "interestRate": 10},
    {"mode": "loanAmount", "emi": 5000, "months": 12, "interestRate": 0, "start": None, "loanAmount": None},
]


@pytest.mark.parametrize("function, request_shape, result_shape, request_", [
    ("categorize_transactions", "CategorizeRequest", "CategorizeResult",
     {"data": load("statement.json", "data"), "rules": load("rules.json", "rules")}),
    ("derive_rules", "DeriveRequest", "DeriveResult", {"data": load("history.json", "data")}),
] + [("compute_emi", "EmiRequest", "EmiResult", loan) for loan in LOANS])
def test_results_have_their_shapes(function, request_shape, result_shape, request_):
    # The statement's records carry keys beyond the shape (date, amount): the module ignores them.
    if function == "categorize_transactions":
        request_ = dict(request_, data=[{"narration": tx["narration"]} for tx in request_["data"]])
    assert conforms_to_shape(request_, SHAPES[request_shape], "request") == []
    assert conforms_to_shape(getattr(quorvane, function)(request_), SHAPES[result_shape], "result") == []


def test_shape_checker_notices_a_wrong_result():
    result = quorvane.compute_emi(LOANS[0])
    result["schedule"][3]["emi"] = 1.5
    del result["totals"]["realPaid"]
    result["extra"] = 1
    assert conforms_to_shape(result, SHAPES["EmiResult"], "result") == [
        "result: unexpected key 'extra'", "result.totals: missing 'realPaid'",
        "result.schedule[3].emi: 1.5 is not int"]


# ---------------------------------------------------------------- mypy


def test_mypy_rejects_misuses_where_marked(tmp_path):
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "--no-error-summary",
         "--hide-error-context", str(MISUSE), str(STUBS)],
        capture_output=True, text=True, cwd=ROOT)
    assert done.returncode == 1, done.stdout + done.stderr
    errors = {}
    for line in done.stdout.splitlines():
        match = re.match(r".*misuse\.py:(\d+): error: (.*)", line)
        assert match or ": note: " in line, line  # errors only in the misuse file
        if match:
            errors.setdefault(int(match[1]), []).append(match[2])
    marked = {}
    for number, text in enumerate(MISUSE.read_text("utf-8").splitlines(), 1):
        if "  # E: " in text:
            marked[number] = text.split("  # E: ", 1)[1]
    assert sorted(errors) == sorted(marked)
    for number, fragment in marked.items():
        assert any(fragment.lower() in message.lower() for message in errors[number]), (number, errors[number])
