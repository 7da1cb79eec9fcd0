"""Rules on their way to workers: read once, where the call is made, into one object that
pickles. The Dask and Spark doors categorise in many tasks, maybe in other processes, and
what a caller handed over need not pickle (a duckdb relation), may be read only once (a
stream of record batches) or by one thread at a time (a relation, on its connection).
And failures on their way back, worded for the frame rather than for the engine's call.
Needs pyarrow, which both doors bring.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any, Optional, Sequence

import pyarrow as pa

import quorvane_columns as _columns

FIELDS = ("pattern", "category", "merchant")


def _large_strings(texts: pa.Array) -> pa.Array:
    """A column of texts as large strings. pyarrow casts no string views before 17:
    there they go through Python, as a dictionary of rules' texts is small."""
    try:
        return texts.cast(pa.large_string())
    except pa.ArrowNotImplementedError:
        return pa.array(texts.to_pylist(), pa.large_string())


def _decoded(column: pa.ChunkedArray) -> pa.ChunkedArray:
    """A dictionary-encoded column of texts as plain large strings. (pyarrow takes no
    rows from string views, so the dictionary is cast before its rows are taken.)"""
    values = column.type.value_type
    if not (pa.types.is_string(values) or pa.types.is_large_string(values)
            or pa.types.is_string_view(values)):
        return column  # not texts: categorize's check names the column's type
    return pa.chunked_array([_large_strings(chunk.dictionary).take(chunk.indices)
                             for chunk in column.chunks], pa.large_string())


def _is_producer(obj: Any) -> bool:
    return hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__arrow_c_array__")


def rules_table(rules: Any) -> pa.Table:
    """`rules`, in any form `quorvane_columns.categorize` takes, as a pyarrow table of
    `pattern`, `category` and `merchant` in plain (not dictionary) columns, checked as
    `categorize` checks them, with its messages."""
    if isinstance(rules, Mapping) and "rules" in rules and not _is_producer(rules):
        rules = rules["rules"]  # a request, {"rules": ...}
    # Read into pyarrow below, a pandas frame would no longer say why a pattern is missing.
    _columns._refuse_missing("rules", rules, "pattern")
    rules = _columns._rules(rules)  # a pandas frame: its rule columns, without its index
    if _is_producer(rules):
        rules = pa.table(rules)  # a one-pass stream is read here, once
    _columns.categorize([], rules)  # every rule checked before anything is converted
    if isinstance(rules, Mapping):  # a mapping of columns
        rules = pa.table({name: rules[name] for name in FIELDS})
    elif not isinstance(rules, pa.Table):  # a sequence of records, or of the three texts
        listed: Sequence[Any] = rules
        triples = [tuple(rule[name] for name in FIELDS) if isinstance(rule, Mapping)
                   else tuple(rule[:3]) for rule in listed]
        return pa.table({name: pa.array([triple[k] for triple in triples], pa.large_string())
                         for k, name in enumerate(FIELDS)})
    columns = {}
    for name in FIELDS:
        column = rules.column(name)
        # polars Categorical, pandas category: plain texts, as Spark has no dictionaries.
        columns[name] = _decoded(column) if pa.types.is_dictionary(column.type) else column
    return pa.table(columns)


def in_partition(error: Exception, columns: Mapping[str, str], partition: int,
                 first: int = 0) -> Exception:
    """`error` from an engine's call over rows of a partition from row `first` on, as
    naming the frame's column in place of the engine's argument (`columns` maps one to
    the other), and the partition, with a row counted from the partition's start: the
    engine knows neither. Any other error is given back as it is."""
    argument, _, rest = str(error).partition(": ")
    if argument not in columns:
        return error
    rest, found = re.subn(r"^row (\d+)",
                          lambda row: f"row {first + int(row[1])} of partition {partition}", rest)
    where = "" if found else f" (partition {partition})"
    return type(error)(f"{columns[argument]}: {rest}{where}")


def check_threads(threads: Optional[int]) -> None:
    """Refuses, where the call is made, a `threads=` that every partition's call would
    refuse: from a task it would come late, and from Spark wrapped in Spark's own error."""
    _columns.derive_partial([], [], [], threads=threads)
