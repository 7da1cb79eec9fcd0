"""The README's examples run as shown: python blocks (one namespace, in order; a comment
after an expression is the value it must have) and console blocks (each `$ ` command run
by the shell from a scratch directory that sees examples/, its output as shown, `...`
standing for any lines)."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane

ROOT = Path(__file__).resolve().parents[2]
BLOCKS = re.findall(r"^```(\w+)\n(.*?)^```$", (ROOT / "README.md").read_text("utf-8"), re.M | re.S)


PYTHON_BLOCKS = [code for language, code in BLOCKS if language == "python"]


def imported(tree):
    """The top-level modules a block imports."""
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module.split(".")[0]


@pytest.mark.parametrize("code", PYTHON_BLOCKS, ids=[f"block{i}" for i in range(len(PYTHON_BLOCKS))])
def test_python_blocks(code, request):
    # Each block stands alone but for `quorvane`; one that needs an optional package skips where it is absent.
    tree = ast.parse(code)
    modules = set(imported(tree))
    for module in modules:
        pytest.importorskip(module)
    if "pyspark" in modules:  # its getOrCreate() finds the suite's session
        request.getfixturevalue("spark")
    namespace = {"quorvane": quorvane}  # imported once, at the top of the README
    lines = code.splitlines()
    for node in tree.body:
        source = "\n".join(lines[node.lineno - 1:node.end_lineno])
        # The comment lines right after the statement, if any, hold the expected value.
        shown = []
        for line in lines[node.end_lineno:]:
            if not line.startswith("#"):
                break
            shown.append(line.lstrip("# "))
        if isinstance(node, ast.Expr) and shown:
            value = eval(compile(ast.Expression(node.value), "README.md", "eval"), namespace)
            assert value == ast.literal_eval(" ".join(shown)), source
        else:
            exec(compile(ast.Module([node], type_ignores=[]), "README.md", "exec"), namespace)


def test_python_blocks_show_values():
    shown = sum(len(re.findall(r"^\S.*\n#", code, re.M)) for code in PYTHON_BLOCKS)
    assert len(PYTHON_BLOCKS) >= 4 and shown >= 5


def commands():
    """(command, expected output lines) of every console block."""
    for language, text in BLOCKS:
        if language != "console":
            continue
        for chunk in re.split(r"^\$ ", text, flags=re.M)[1:]:
            command, *output = chunk.splitlines()
            yield command, output


def matches(expected, actual):
    """Whether actual lines are expected ones, where a line `...` stands for any lines."""
    pattern = "\n".join(".*?" if line == "..." else re.escape(line) for line in expected)
    return re.fullmatch(pattern.replace("\n.*?\n", "\n(?:.*\n)*?"), "\n".join(actual), re.S) is not None


@pytest.fixture(scope="module")
def shell(tmp_path_factory):
    """A scratch directory with examples/ and a PATH where `quorvane` and `mypy` run
    through this interpreter (runs against a build directory have no installed script)."""
    scratch = tmp_path_factory.mktemp("readme")
    (scratch / "examples").symlink_to(ROOT / "examples")
    bin_dir = scratch / "bin"
    bin_dir.mkdir()
    for name, module in (("quorvane", "quorvane_cli"), ("mypy", "mypy")):
        script = bin_dir / name
        script.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m {module} "$@"\n')
        script.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}", COLUMNS="100",
               MYPY_CACHE_DIR=str(scratch / "mypy-cache"))
    for name in ("PYTHONPATH", "QUORVANE_COLUMNS_NATIVE"):  # relative to the repository root,
        if name in env:  # which is not the scratch directory
            env[name] = os.pathsep.join(os.path.abspath(p) for p in env[name].split(os.pathsep))
    return scratch, env


COMMANDS = list(commands())


@pytest.mark.parametrize("command, expected", COMMANDS, ids=[command[:60] for command, _ in COMMANDS])
def test_console_blocks(shell, command, expected):
    if command.startswith("mypy "):
        pytest.importorskip("mypy")
    scratch, env = shell
    done = subprocess.run(command, shell=True, cwd=scratch, env=env, capture_output=True, text=True,
                          encoding="utf-8")
    output = (done.stdout + done.stderr).splitlines()
    assert matches(expected, output), "\n".join(output)
