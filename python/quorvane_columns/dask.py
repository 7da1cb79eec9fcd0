"""quorvane_columns over Dask DataFrames: the same calls, spread over a cluster's workers.

`categorize` adds the three result columns partition by partition; `derive` counts each
partition apart (`derive_partial`), adds the counts up in a tree (`derive_merge`) and
chooses the rules once (`derive_finish`), so that the rules are those `derive` gives on
all the rows together. Calls run on whatever scheduler Dask would use: the active
`distributed.Client`, if any.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Sequence, Union

try:
    import dask.dataframe as dd
    import pandas as pd
    from dask.base import is_dask_collection
    from dask.dataframe.dispatch import make_meta
    from dask.delayed import delayed

    import pyarrow  # noqa: F401  (the rules reach the workers as a pyarrow table)
except ImportError as error:  # the package itself never needs Dask
    from quorvane_columns import _needs_libraries

    raise _needs_libraries("dask", "Dask and its distributed scheduler", (3, 10)) from error

import quorvane_columns as _columns
from quorvane_columns._shipping import check_threads, in_partition, rules_table

__all__ = ["categorize", "derive"]

#: The columns `categorize` adds. Their pandas dtypes are the same in every partition:
#: the rule's index a nullable Int32, category and merchant categoricals over the rules'
#: distinct texts, whatever the rows, so the frame knows them before anything runs.
RESULT_COLUMNS = ("rule", "category", "merchant")

# Columns go to quorvane_columns as one-column frames: pandas exports a DataFrame over the
# Arrow PyCapsule interface from 2.2 on, a Series only in later releases.


def _categorize_partition(part: Any, rules: Any, column: str, threads: Optional[int],
                          partition_info: Optional[Dict[str, Any]] = None) -> Any:
    """One partition with the result columns appended (replacing any of the same name);
    a partition of a Series gives the result columns alone. Dask passes `partition_info`
    (the partition's number) to a function that takes it."""
    number = None if partition_info is None else partition_info["number"]
    narrations = part.to_frame() if isinstance(part, pd.Series) else part[[column]]
    try:
        result = _columns.categorize(narrations, rules, threads=threads)
    except (TypeError, ValueError) as error:
        if number is None:  # the frame that stands for every partition
            raise
        raise in_partition(error, {"narrations": str(narrations.columns[0])}, number) from None
    if isinstance(part, pd.Series):
        return result
    kept = part.drop(columns=[name for name in RESULT_COLUMNS if name in part.columns])
    return kept.assign(**{name: result[name] for name in RESULT_COLUMNS})


def categorize(ddf: Union[dd.DataFrame, dd.Series], rules: Any, column: str = "narration",
               threads: Optional[int] = None) -> dd.DataFrame:
    """`ddf` with `rule`, `category` and `merchant` added: each row's first matching rule,
    as `quorvane_columns.categorize` gives it, nulls where none matched.

    `rules` is what `quorvane_columns.categorize` takes, or a Dask DataFrame of rules; it
    is read once, here (a one-pass stream too), and reaches the workers as one pyarrow
    table. Columns of `ddf` named like a result column are replaced. A Dask Series of
    narrations gives the three columns alone, with its index, ready for
    `ddf.assign(...)`. `threads`: how many each partition's call runs on (None: every
    core; 1 where Dask already runs a task per core). Lazy, like every Dask DataFrame
    operation.
    """
    if is_dask_collection(rules):
        rules = rules.compute()  # a table of rules is small: it goes to every task whole
    shipped = rules_table(rules)
    # The function itself, run on the empty frame that stands for every partition, gives
    # the meta (and checks `column` before anything is sent to a worker), categories
    # included: Dask gives an empty partition the meta itself, and a category that no
    # partition holds would turn up in value_counts and groupby.
    meta = _categorize_partition(make_meta(ddf), shipped, column, threads)
    # One task holds the rules, so each worker receives them once, not once per partition.
    out: dd.DataFrame = ddf.map_partitions(_categorize_partition, delayed(shipped, pure=True),
                                           column, threads, meta=meta,
                                           token="quorvane-categorize")
    return out


def _count(part: Any, number: int, narration: str, category: str, merchant: str,
           threads: Optional[int]) -> Any:
    """Partition `number`'s table of counts. A null narration is reported by the frame's
    column name and the partition, which the engine, given one column at a time, cannot
    know; a null label reads as empty, as the engine reads it."""
    try:
        return _columns.derive_partial(part[[narration]], part[[category]], part[[merchant]],
                                       threads=threads)
    except (TypeError, ValueError) as error:
        # Named here, not looked for first: a look at every narration of a column of
        # objects costs some 30 ms a million rows, on partitions that have none missing.
        missing = re.match(r"narrations: null in row (\d+)", str(error))
        if missing is not None:
            raise ValueError(f"{narration}: null in row {missing[1]} of partition {number}") \
                from None
        columns = dict(zip(("narrations", "categories", "merchants"),
                           (narration, category, merchant)))
        raise in_partition(error, columns, number) from None


def _tree_merge(counts: Sequence[Any], split_every: int) -> Any:
    """One delayed table of counts from many, merging at most `split_every` at a time."""
    level: List[Any] = list(counts)
    while len(level) > 1:
        level = [delayed(_columns.derive_merge, pure=True)(*level[i:i + split_every])
                 for i in range(0, len(level), split_every)]
    return level[0]


def derive(ddf: dd.DataFrame, narration: str = "narration", category: str = "category",
           merchant: str = "merchant", split_every: int = 8, threads: Optional[int] = None) -> Any:
    """The rules `quorvane_columns.derive` gives on all rows of `ddf` together, as a pandas
    DataFrame of `pattern`, `category` and `merchant`, in the same order.

    Each partition is counted where it lies; only the counts (one row per group and
    token) travel, merged `split_every` tables at a time. Computes at once. A null
    category or merchant reads as empty, as a blank cell of a CSV file; a null narration
    is a ValueError naming its column, its partition and its row within the partition.
    """
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, got {split_every}")
    check_threads(threads)
    # One column may hold both labels (or be read twice otherwise): it goes once, as a
    # frame with a name twice would give each call two columns.
    parts = ddf[list(dict.fromkeys([narration, category, merchant]))].to_delayed()
    count = delayed(_count, pure=True)
    counts = [count(part, number, narration, category, merchant, threads)
              for number, part in enumerate(parts)]
    finish = delayed(_columns.derive_finish, pure=True)
    return finish(_tree_merge(counts, split_every)).compute()
