"""quorvane over columns: categorise, derive rules, check rule sets and solve loans over
Arrow columns.

Inputs are any object that exports the Arrow PyCapsule interface (pyarrow, polars,
pandas, duckdb, ...) or plain Python sequences; results come back in the caller's own
kind. The engines run with the interpreter lock released.
"""

from __future__ import annotations

import builtins
import os
import re
from collections.abc import Mapping
from typing import Any, Iterable, Optional, Tuple

# A test or sanitizer build keeps its _native beside the other build outputs, not in
# this package: QUORVANE_COLUMNS_NATIVE names that directory, searched first.
_native_dir = os.environ.get("QUORVANE_COLUMNS_NATIVE")
if _native_dir:
    __path__.insert(0, os.path.abspath(_native_dir))

from . import _native  # noqa: E402
from ._kinds import SeriesStream as _SeriesStream  # noqa: E402
from ._kinds import convert as _convert  # noqa: E402
from ._kinds import kind_of as _kind  # noqa: E402
from ._kinds import _pyarrow_or  # noqa: E402
from ._kinds import refuse_misaligned as _refuse_misaligned  # noqa: E402
from ._kinds import refuse_mixed as _refuse_mixed  # noqa: E402
from ._kinds import refuse_objects as _refuse_objects  # noqa: E402
from ._kinds import refuse_unreadable as _refuse_unreadable  # noqa: E402
from ._kinds import without_index as _without_index  # noqa: E402

__all__ = ["categorize", "derive", "derive_partial", "derive_merge", "derive_finish", "emi",
           "explain", "lint", "evaluate", "Evaluation", "unmatched"]
__version__: str = _native.__version__

#: A result in the caller's kind: a pyarrow Table, a polars or pandas DataFrame, a duckdb
#: relation, a dict of lists, or the native table (which exports the Arrow PyCapsule
#: interface).
Result = Any

# pyarrow hands a Python exception raised inside a stream over the C interface as text
# ending in the traceback's last lines, "TypeName: message" (the message may span lines)
# or "TypeName" alone, and a newline.
_PRODUCER_TRACEBACK = "Detail: Python exception: "


def _producer_exception(message: str) -> "BaseException | None":
    """The built-in exception a producer's stream raised, rebuilt from its text."""
    _, found, trace = message.rpartition(_PRODUCER_TRACEBACK)
    if not found or not trace.endswith("\n"):
        return None
    lines = trace[:-1].split("\n")
    for i in range(len(lines) - 1, 0, -1):  # line 0 is "Traceback (most recent call last):"
        name, colon, first = lines[i].partition(": ")
        if not colon and i < len(lines) - 1:
            continue  # a word alone on a line of a message spanning lines
        cls = getattr(builtins, name, None) if name.isidentifier() else None
        if not (isinstance(cls, type) and issubclass(cls, BaseException)):
            continue
        if not colon:
            return cls()  # KeyboardInterrupt, or any exception raised without a message
        text = "\n".join([first, *lines[i + 1:]])
        if cls is KeyError:  # str() of a KeyError is the repr of its key
            import ast  # only here: a twentieth of the package's import time

            try:
                return cls(ast.literal_eval(text))
            except (ValueError, SyntaxError):
                pass
        return cls(text)
    return None


def _needs_libraries(module: str, libraries: str, python: Tuple[int, int]) -> ImportError:
    """The error of cluster module quorvane_columns.`module` (also its extra's name) when
    this Python lacks its `libraries`. It names the interpreter: on a Spark worker that
    may not be the driver's. The extras install nothing on a Python older than `python`
    (pyspark 4 needs 3.9, the first Dask that the door works with 3.10)."""
    import sys

    needs = f"quorvane_columns.{module} needs {libraries}"
    if sys.version_info >= python:
        return ImportError(f'{needs}: pip install "quorvane[{module}]" (into the Python at '
                           f'{sys.executable})')
    return ImportError(f"{needs}, which need Python {python[0]}.{python[1]} or later (the "
                       f"Python at {sys.executable} is "
                       f"{sys.version_info[0]}.{sys.version_info[1]})")


def _call(function: Any, *args: Any, names: Tuple[str, ...] = (), **kwargs: Any) -> Any:
    """Calls a native function; an exception a producer raised comes back as raised, and
    pyarrow's refusal to export a pandas column of texts and numbers as the door's own
    error, which names the argument (from `names`, in the order of `args`) and column.
    A polars Object column is refused before polars exports it, and the engine's refusal
    of a missing value that pandas may have read so says why."""
    _refuse_objects(zip(names, args))
    try:
        return function(*args, **kwargs)
    except (TypeError, ValueError) as error:
        _refuse_mixed(error, zip(names, args))
        _say_why_missing(error, zip(names, args))
        raised = _producer_exception(str(error)) if isinstance(error, ValueError) else None
        if raised is None:
            raise
    raise raised


def _rules(rules: Any) -> Any:
    """A table of rules as the engines read it."""
    return _without_index(rules, _native.COLUMNS["rules"])


def _examples(narrations: Any, categories: Any, merchants: Any) -> Tuple[Any, Any, Any]:
    """Labelled history as the engines read it: three columns, or one table of examples."""
    whole = categories is None and merchants is None
    return (_without_index(narrations, _native.COLUMNS["examples"] if whole else None),
            _without_index(categories), _without_index(merchants))


def _example_names(categories: Any, merchants: Any) -> Tuple[str, ...]:
    """The names of the arguments `_examples` gives, as the engine's messages give them."""
    whole = categories is None and merchants is None
    return ("examples" if whole else "narrations", "categories", "merchants")


def categorize(narrations: Any, rules: Any, *, column: Optional[str] = None,
               threads: Optional[int] = None) -> Result:
    """Each narration's first matching rule, in the narrations' order.

    A table of `rule` (int32 index of the winning rule), `category` and `merchant`
    (dictionary-encoded); all three null where no rule matched or the narration is null.
    `narrations` is a string column, or a table with `column` naming one (a table of one
    column needs no name). `rules` is a table with `pattern`, `category` and `merchant`
    columns (a stream of record batches is read once), or what
    `quorvane.categorize_transactions` takes: dicts, or arrays of the three texts.
    `threads`: how many to run on (None: every core). A pandas result carries the index
    of pandas narrations, so it can be assigned back:
    `df[["rule", "category", "merchant"]] = categorize(df["narration"], rules)`.
    """
    _refuse_unreadable(narrations=narrations, rules=rules)
    table = _call(_native.categorize, _without_index(narrations, column), _rules(rules),
                  column=column, threads=threads, names=("narrations", "rules"))
    return _convert(table, _kind(narrations), same_rows=True)


def derive(narrations: Any, categories: Any = None, merchants: Any = None, *,
           threads: Optional[int] = None) -> Result:
    """Rules learnt from labelled examples: a table of `pattern`, `category` and
    `merchant`, the same rules in the same order as `quorvane.derive_rules`.

    The three columns have one row per example, read as the command line reads a CSV
    file: a null category or merchant (a blank cell) reads as empty, and a row with
    neither label is left out; a null narration is a ValueError naming its first null row. Alone, `narrations`
    may instead hold the examples whole: a table with `narration`, `category` and
    `merchant` columns, or what `quorvane.derive_rules` takes. A pandas result is numbered from 0, the rule's number:
    the `rule` that `categorize` gives.
    """
    _refuse_unreadable(narrations=narrations, categories=categories, merchants=merchants)
    _refuse_misaligned(narrations=narrations, categories=categories, merchants=merchants)
    table = _call(_native.derive, *_examples(narrations, categories, merchants),
                  threads=threads, names=_example_names(categories, merchants))
    return _convert(table, _kind(narrations))


# Derivation in three steps, for data split into batches (partitions of a Dask or Spark
# frame): derive(x) == derive_finish(derive_partial(x)), and
# derive_finish(derive_merge(derive_partial(a), derive_partial(b))) == derive(a + b).


def derive_partial(narrations: Any, categories: Any = None, merchants: Any = None, *,
                   threads: Optional[int] = None) -> Result:
    """The counts derivation is made of: a table of `category`, `merchant`, `token` and
    `count` (how many examples of the group hold the token), sorted by the three texts;
    numbered from 0 in pandas."""
    _refuse_unreadable(narrations=narrations, categories=categories, merchants=merchants)
    _refuse_misaligned(narrations=narrations, categories=categories, merchants=merchants)
    table = _call(_native.derive_partial, *_examples(narrations, categories, merchants),
                  threads=threads, names=_example_names(categories, merchants))
    return _convert(table, _kind(narrations))


def _refuse_tables_listed(name: str, counts: Any, fix: str) -> None:
    """Raises TypeError for a list of tables given as one table of counts: read as a list
    of rows, it would be refused in words that hide the mistake."""
    def is_table(item: Any) -> bool:
        if isinstance(item, Mapping):  # a dict of columns, not a row
            return any(hasattr(v, "__len__") and not isinstance(v, (str, bytes))
                       for v in item.values())
        return not isinstance(item, (list, tuple)) and (
            hasattr(item, "columns") or hasattr(item, "column_names"))

    if isinstance(counts, (list, tuple)) and counts and is_table(counts[0]):
        raise TypeError(f"{name}: a list of tables, where one table is taken: {fix}")


#: What pandas' read_csv reads as missing by default, by the column that takes no nulls,
#: and what such a file holds.
_READ_AS_MISSING = {"token": ("the tokens 'nan' and 'null'", "counts"),
                    "pattern": ("the patterns 'nan' and 'null'", "rules"),
                    "narration": ("narrations such as 'null' or 'None'", "examples")}


def _why_missing(column: str) -> str:
    """Why a pandas `column` of a file misses a value, and how to read the file instead."""
    return (f"(pandas' read_csv reads {_READ_AS_MISSING[column][0]} as missing, and labels such "
            f"as 'NA' or 'N/A' too: read {_READ_AS_MISSING[column][1]} with keep_default_na=False)")


def _say_why_missing(error: BaseException, arguments: Iterable[Tuple[str, Any]]) -> None:
    """Raises ValueError, from `error`, where the engines refused a missing narration of an
    example, pattern or token (a narration alone is no column) of a pandas frame or Series,
    saying why: pandas' read_csv reads texts such as 'nan' and 'null' as missing. Asked only
    then: a look for missing values in a column of objects costs some 30 ms a million rows.
    A list of tables (derive_merge's) is named by place, "counts 2"."""
    found = re.fullmatch(r"(\w+)(?: (\d+))?: (?:column '(\w+)': )?null in row \d+", str(error))
    if found is None:
        return
    column = found[3] or "narration"
    if column not in _READ_AS_MISSING:
        return
    value = dict(arguments).get(found[1])
    if isinstance(value, list) and found[2] is not None and int(found[2]) < len(value):
        value = value[int(found[2])]
    if isinstance(value, _SeriesStream):
        value = value.series
    if value is not None and _kind(value).library == "pandas":
        raise ValueError(f"{error} {_why_missing(column)}") from error


def _refuse_missing(name: str, table: Any, column: str) -> None:
    """Raises ValueError, as `_say_why_missing` would, where a pandas frame's `column` that
    takes no nulls misses a value: for tables read into pyarrow before the engines see them."""
    if type(table).__name__ != "DataFrame" or _kind(table).library != "pandas" or \
            column not in table.columns or table.columns.has_duplicates:
        return
    missing = table[column].isna().to_numpy()
    if missing.any():
        raise ValueError(f"{name}: column '{column}': null in row {int(missing.argmax())} "
                         f"{_why_missing(column)}")


def derive_merge(*counts: Any, threads: Optional[int] = None) -> Result:
    """Tables of counts (from derive_partial or derive_merge, or dicts of lists) added up
    into one."""
    if not counts:
        raise TypeError("derive_merge() needs at least one table of counts")
    for i, table in enumerate(counts):
        _refuse_tables_listed(f"counts {i}", table, "pass each as an argument, derive_merge(*tables)")
    _refuse_unreadable(**{f"counts {i}": table for i, table in enumerate(counts)})
    tables = [_without_index(table, _native.COLUMNS["counts"]) for table in counts]
    return _convert(_call(_native.derive_merge, tables, threads=threads, names=("counts",)),
                    _kind(counts[0]))


def derive_finish(counts: Any, *, threads: Optional[int] = None) -> Result:
    """The rules a table of counts gives: those derive gives on the examples counted."""
    _refuse_tables_listed("counts", counts, "add them up first, derive_finish(derive_merge(*tables))")
    _refuse_unreadable(counts=counts)
    table = _without_index(counts, _native.COLUMNS["counts"])
    return _convert(_call(_native.derive_finish, table, threads=threads, names=("counts",)),
                    _kind(counts))


def _has_column(table: Any, name: str) -> bool:
    """Whether a table of any kind the door takes has a column `name` (a key, for a
    mapping or a list of records); False where the kind does not tell without being read."""
    if isinstance(table, Mapping):
        return name in table
    if isinstance(table, (list, tuple)):
        return any(isinstance(row, Mapping) and name in row for row in table)
    for attribute in ("column_names", "columns"):  # pyarrow's; pandas', polars', duckdb's
        names = getattr(table, attribute, None)
        if callable(names) and attribute == "column_names":
            names = names()  # the native table's
        if names is not None:  # pandas' labels may be of any type, and several levels
            return any(isinstance(n, str) and n == name for n in names)
    return name in getattr(getattr(table, "schema", None), "names", ())  # a stream's


def _column_values(table: Any, name: str) -> "list[Any] | None":
    """The values of `table`'s column `name` (which it has: `_has_column`), read apart from
    the call's own reading; None for a kind read only once (a stream) or unknown."""
    if isinstance(table, Mapping):
        column = table[name]
    elif isinstance(table, (list, tuple)):
        return [row.get(name) if isinstance(row, Mapping) else None for row in table]
    else:
        library = type(table).__module__.split(".", 1)[0]
        if library == "pandas":
            column = table[name]
            if not hasattr(column, "tolist"):  # a frame: several columns share the name
                return None
        elif library == "polars":
            column = table.get_column(name)
        elif library == "pyarrow" and hasattr(table, "column"):  # a Table or RecordBatch
            column = table.column(name)
        elif library in ("duckdb", "_duckdb"):  # the relation's query runs once more
            return [row[0] for row in table.select(f'"{name}"').fetchall()]
        elif isinstance(table, _native.Table):
            return table.to_pydict()[name]
        else:
            return None
    if column is None:  # a mapping's absent column
        return None
    for convert in ("to_pylist", "tolist", "to_list"):  # pyarrow's, numpy's and pandas', polars'
        if hasattr(column, convert):
            return list(getattr(column, convert)())
    try:
        return list(column)
    except TypeError:  # no column: the call never reads it
        return None


def _refuse_own_loan_numbers(loan_table: Any) -> None:
    """Raises ValueError where the loan table's own column 'loan' holds numbers other than
    the loans' row numbers: the results' `loan`, of the same name, is the row number, and
    a join on it would pair each loan's results with another loan (a filtered table whose
    ids were numbered before). A column of texts is left alone: no join pairs it with
    numbers."""
    import decimal
    import numbers

    values = _column_values(loan_table, "loan")
    if values is None:
        return

    def is_number(value: Any) -> bool:
        return isinstance(value, (numbers.Real, decimal.Decimal)) and not isinstance(value, bool)

    if not any(is_number(value) for value in values):
        return
    for row, value in enumerate(values):
        if not (is_number(value) and value == row):
            held = value if is_number(value) else repr(value)
            raise ValueError(f"loans: the table has a column 'loan' of its own, which holds "
                             f"{held} in row {row}, but the results' loan column gives each "
                             f"loan its row number (from 0): a join on 'loan' would pair "
                             f"the wrong loans; rename the column")


def emi(loan_table: Any, events: Any = None, *,
        threads: Optional[int] = None) -> Tuple[Result, Result]:
    """Solves every loan of a table, as `quorvane.compute_emi` solves one request.

    `loan_table` has the columns of a loan request (`mode`, `loanAmount`, `emi`, `months`,
    `interestRate`, `inflationRate`, `start` as "YYYY-MM", pandas' months (period[M]) or a
    column of dates or timestamps without a time zone, read as the month each falls in),
    those optional in a request nullable or absent; also a dict of lists or a list of request dicts. Returns
    `(loans, schedule)`: one row per loan (its row number `loan`, the fields of
    `compute_emi`'s result but the schedule and years, the totals' in their place, and
    `error`: compute_emi's text for a loan it rejects, else null), and every schedule row
    of every accepted loan, after its loan's row number. One bad loan never stops the
    others. In pandas, `loans` carries the loan table's index and `schedule` is numbered
    from 0 (its `loan` column is the loan's position, as in `loans`).

    `events` (a table of any kind above) changes loans after chosen months: `loan` (the
    loan's row number; the loan table may then have no `loan` column), `month` (the schedule row after which it takes effect, from 0),
    `kind` ("prepay": `amount` off the balance; "rate": the annual rate becomes `amount`
    percent; "emi": the instalment becomes `amount`) and optional `keep` ("emi", the
    default: the instalment stays and the months are solved again; "tenure": the months
    stay and the instalment is solved again). A `fees` column on the loans (upfront
    charges, whole units; null or absent is 0) asks for each loan's annual percentage
    rate on the amount received. With events or fees, the schedule gains `rate` (the
    annual percent in force) and `prepayment`, and the loans gain `baselineInterest` (the
    interest of the same loan without its events), `interestSaved` and `monthsSaved`
    (negative when the events cost more), and `apr` and `effectiveRate` (percent; null
    without a `fees` column). An event that cannot apply to its loan is that loan's
    `error`, naming the event's row (events are numbered from 0); an event naming a loan
    that does not exist, or a row that is no event, is a ValueError for the whole call.
    Without events, a column `loan` of the loan table's own holding numbers must hold the
    row numbers (as the loans a call gave back do): other numbers, which a join on the
    results' `loan` would take for them, are a ValueError.
    """
    _refuse_unreadable(loan_table=loan_table, events=events)
    if events is not None and _has_column(loan_table, "loan"):
        # Loans numbered 1, 2, ... or sorted after numbering would take each other's
        # events without a word.
        raise ValueError("loans: the table has a column 'loan' of its own, but an event's "
                         "loan is the loan's row number (from 0), as the results' loan "
                         "column gives it: rename the column, and give the events row "
                         "numbers (a join on it gives them)")
    kind = _kind(loan_table)
    if events is None and _has_column(loan_table, "loan"):
        if kind.library == "duckdb":
            # Read once, the numbers checked and the loans solved: a relation runs its
            # query at each read, and under preserve_insertion_order = false gives its
            # rows in another order each time.
            loan_table = _pyarrow_or(loan_table)
        _refuse_own_loan_numbers(loan_table)
    loans, schedule = _call(_native.emi, _without_index(loan_table, _native.COLUMNS["loans"]),
                            _without_index(events, _native.COLUMNS["events"]), threads=threads,
                            names=("loans", "events"))
    return _convert(loans, kind, same_rows=True), _convert(schedule, kind)


# The rule-set diagnostics, built on the helpers above.
from .diagnostics import Evaluation, evaluate, explain, lint, unmatched  # noqa: E402
