"""quorvane over columns: categorise, derive rules and solve loans over Arrow columns.

Inputs are any object that exports the Arrow PyCapsule interface (pyarrow, polars,
pandas, duckdb, ...) or plain Python sequences; results come back in the caller's own
kind. The engines run with the interpreter lock released.
"""

from __future__ import annotations

import ast
import builtins
import os
import re
from collections.abc import Mapping, Sequence
from typing import Any, List, Tuple

# A test or sanitizer build keeps its _native beside the other build outputs, not in
# this package: QUORVANE_COLUMNS_NATIVE names that directory, searched first.
_native_dir = os.environ.get("QUORVANE_COLUMNS_NATIVE")
if _native_dir:
    __path__.insert(0, os.path.abspath(_native_dir))

from . import _native  # noqa: E402

__all__ = ["categorize", "derive", "derive_partial", "derive_merge", "derive_finish", "emi",
           "explain", "lint", "evaluate", "Evaluation", "unmatched"]
__version__: str = _native.__version__

#: A result in the caller's kind: a pyarrow Table, a polars or pandas DataFrame, a dict
#: of lists, or the native table (which exports the Arrow PyCapsule interface).
Result = Any

_LOAN_FIELDS = ("mode", "loanAmount", "emi", "months", "interestRate", "inflationRate", "start")


# pyarrow hands a Python exception raised inside a stream over the C interface as text
# ending in the traceback's last line, "TypeName: message".
_PRODUCER_EXCEPTION = re.compile(r"Detail: Python exception: .*\n(\w+): (.*)\Z", re.S)


def _producer_exception(message: str) -> "BaseException | None":
    """The built-in exception a producer's stream raised, rebuilt from its text."""
    match = _PRODUCER_EXCEPTION.search(message)
    if match is None:
        return None
    cls = getattr(builtins, match.group(1), None)
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        return None
    text = match.group(2)
    if cls is KeyError:  # str() of a KeyError is the repr of its key
        try:
            return cls(ast.literal_eval(text))
        except (ValueError, SyntaxError):
            pass
    return cls(text)


def _call(function: Any, *args: Any) -> Any:
    """Calls a native function; an exception a producer raised comes back as raised."""
    try:
        return function(*args)
    except ValueError as error:
        raised = _producer_exception(str(error))
        if raised is None:
            raise
    raise raised


def _kind(obj: object) -> str:
    """The caller's kind, from the module of the object's type; nothing is imported."""
    module = type(obj).__module__.split(".", 1)[0]
    if module in ("pyarrow", "polars", "pandas"):
        return module
    if hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__arrow_c_array__"):
        return "arrow"
    return "python"


def _convert(table: Any, kind: str) -> Result:
    if kind == "pyarrow":
        import pyarrow as pa

        return pa.table(table)
    if kind == "polars":
        import polars as pl

        return pl.DataFrame(table)
    if kind == "pandas":
        import pandas as pd

        try:
            import pyarrow as pa
        except ImportError:
            return pd.DataFrame.from_arrow(table)
        # Integer columns become pandas' nullable integers, so that a column's dtype never
        # depends on whether it holds a null (plain conversion gives floats if it does).
        nullable = {pa.int32(): pd.Int32Dtype(), pa.int64(): pd.Int64Dtype()}
        return pa.table(table).to_pandas(types_mapper=nullable.get)
    if kind == "python":
        return table.to_pydict()
    return table


def _rule_columns(rules: Any) -> Tuple[Any, Any, Any]:
    """The pattern, category and merchant columns of `rules`."""
    if hasattr(rules, "__arrow_c_stream__") or hasattr(rules, "__arrow_c_array__"):
        return (rules, "pattern"), (rules, "category"), (rules, "merchant")
    if isinstance(rules, Mapping):  # a request: {"rules": [...]}
        rules = rules["rules"]
    if not isinstance(rules, Sequence) or isinstance(rules, (str, bytes)):
        raise TypeError(f"rules: expected a table or a sequence of rules, got {type(rules).__name__!r}")
    columns: Tuple[List[Any], List[Any], List[Any]] = ([], [], [])
    for i, rule in enumerate(rules):
        if isinstance(rule, Mapping):
            fields = [rule.get(name) for name in ("pattern", "category", "merchant")]
        elif isinstance(rule, Sequence) and not isinstance(rule, (str, bytes)) and len(rule) >= 3:
            fields = list(rule[:3])
        else:
            raise TypeError(f"rules: rule {i} is neither a mapping nor an array of three texts")
        for name, column, value in zip(("pattern", "category", "merchant"), columns, fields):
            if not isinstance(value, str):
                raise ValueError(f"rules: rule {i} has no text {name!r}")
            column.append(value)
    return columns


def categorize(narrations: Any, rules: Any) -> Result:
    """Each narration's first matching rule, in the narrations' order.

    A table of `rule` (int32 index of the winning rule), `category` and `merchant`
    (dictionary-encoded); all three null where no rule matched or the narration is null.
    `rules` is a table with `pattern`, `category` and `merchant` columns, or what
    `quorvane.categorize_transactions` takes: dicts, or arrays of the three texts.
    """
    pattern, category, merchant = _rule_columns(rules)
    return _convert(_call(_native.categorize, narrations, pattern, category, merchant),
                    _kind(narrations))


def derive(narrations: Any, categories: Any, merchants: Any) -> Result:
    """Rules learnt from labelled examples: a table of `pattern`, `category` and
    `merchant`, the same rules in the same order as `quorvane.derive_rules`.

    The three columns have one row per example; a null in any of them is a ValueError
    naming the column and its first null row.
    """
    table = _call(_native.derive, narrations, categories, merchants)
    return _convert(table, _kind(narrations))



# Derivation in three steps, for data split into batches (partitions of a Dask or Spark
# frame): derive(x) == derive_finish(derive_partial(x)), and
# derive_finish(derive_merge(derive_partial(a), derive_partial(b))) == derive(a + b).


def derive_partial(narrations: Any, categories: Any, merchants: Any) -> Result:
    """The counts derivation is made of: a table of `category`, `merchant`, `token` and
    `count` (how many examples of the group hold the token), sorted by the three texts."""
    table = _call(_native.derive_partial, narrations, categories, merchants)
    return _convert(table, _kind(narrations))


def derive_merge(*counts: Any) -> Result:
    """Tables of counts (from derive_partial or derive_merge, or dicts of lists) added up
    into one."""
    if not counts:
        raise TypeError("derive_merge() needs at least one table of counts")
    return _convert(_call(_native.derive_merge, list(counts)), _kind(counts[0]))


def derive_finish(counts: Any) -> Result:
    """The rules a table of counts gives: those derive gives on the examples counted."""
    return _convert(_call(_native.derive_finish, counts), _kind(counts))


def emi(loan_table: Any) -> Tuple[Result, Result]:
    """Solves every loan of a table, as `quorvane.compute_emi` solves one request.

    `loan_table` has the columns of a loan request (`mode`, `loanAmount`, `emi`, `months`,
    `interestRate`, `inflationRate`, `start` as "YYYY-MM"), those optional in a request
    nullable or absent; also a dict of lists or a list of request dicts. Returns
    `(loans, schedule)`: one row per loan (its row number `loan`, the solved `loanAmount`,
    `emi`, `months`, the six totals, and `error`, the rejection text or null), and every
    schedule row of every accepted loan, after its loan's row number. One bad loan never
    stops the others.
    """
    kind = _kind(loan_table)
    source = loan_table
    if kind == "python":
        if isinstance(loan_table, Mapping):
            source = {name: list(loan_table[name]) for name in _LOAN_FIELDS if name in loan_table}
        elif isinstance(loan_table, Sequence) and not isinstance(loan_table, (str, bytes)):
            source = {name: [loan.get(name) for loan in loan_table] for name in _LOAN_FIELDS}
        else:
            raise TypeError(
                f"loan_table: expected an Arrow table, a dict of lists or a list of dicts, "
                f"got {type(loan_table).__name__!r}")
    loans, schedule = _call(_native.emi, source)
    return _convert(loans, kind), _convert(schedule, kind)


# The rule-set diagnostics, built on the helpers above.
from .diagnostics import Evaluation, evaluate, explain, lint, unmatched  # noqa: E402
