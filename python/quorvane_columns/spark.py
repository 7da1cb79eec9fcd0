"""quorvane_columns over Spark DataFrames: the same calls, run in Spark's Python workers.

Both calls go through `DataFrame.mapInArrow`, whose function receives a partition as an
iterator of pyarrow record batches. `categorize` appends the three result columns to
every batch; `derive` counts each partition where it lies (`derive_partial` over blocks
of batches, merged within the partition), brings only the counts to the driver, and
there adds them up (`derive_merge`) and chooses the rules once (`derive_finish`), so
that the rules are those `derive` gives on all the rows together.
"""

from __future__ import annotations

import functools
import re
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

try:
    import pyarrow as pa
    from pyspark import TaskContext
    from pyspark.errors import PythonException
    from pyspark.sql import DataFrame
    from pyspark.sql.types import (ArrayType, BinaryType, CalendarIntervalType, CharType,
                                   DataType, IntegerType, LongType, MapType, StringType,
                                   StructField, StructType, VarcharType, YearMonthIntervalType)
except ImportError as error:  # the package itself never needs Spark
    from quorvane_columns import _needs_libraries

    raise _needs_libraries("spark", "pyspark 4 and pyarrow", (3, 9)) from error

import quorvane_columns as _columns
from quorvane_columns._kinds import STREAMING
from quorvane_columns._shipping import check_threads, in_partition, rules_table

__all__ = ["categorize", "derive"]

#: The columns `categorize` appends, as Spark types them.
RESULT_FIELDS = (
    StructField("rule", IntegerType()),
    StructField("category", StringType()),
    StructField("merchant", StringType()),
)

#: The columns of `derive_partial`'s counts, which the workers send to the driver.
COUNTS_SCHEMA = StructType([
    StructField("category", StringType()),
    StructField("merchant", StringType()),
    StructField("token", StringType()),
    StructField("count", LongType()),
])

# A worker takes a partition's batches together, in blocks of about this many bytes of
# input, and the bound keeps its memory small. Spark's batches are small (10,000 rows by
# default): categorize builds its matcher once per call, which for 5,000 rules took five
# times as long as deciding a batch, and one derive call over a block takes about half
# the time of counting its batches apart and merging their counts.
_BLOCK_BYTES = 64 << 20

# A partition's tables of counts are merged whenever this many are waiting, so that a
# worker holds a bounded number of them and the driver receives one per partition.
_MERGE_EVERY = 8


# ---------------------------------------------------------------- on the driver


def _name_key(df: DataFrame) -> Callable[[str], str]:
    """A column's name as Spark tells names apart: letter case ignored, unless the
    session sets `spark.sql.caseSensitive`."""
    if str(df.sparkSession.conf.get("spark.sql.caseSensitive", "false")).lower() == "true":
        return str
    return str.lower


def _string_columns(df: DataFrame, key: Callable[[str], str], *names: str) -> List[int]:
    """The positions of the columns `names`, each checked to be a column of texts and
    the only one Spark reads under its name (`key`: as `_name_key`)."""
    fields = df.schema.fields
    positions = {field.name: i for i, field in enumerate(fields)}
    found = []
    for name in names:
        if name not in positions:
            listed = ", ".join(repr(field.name) for field in fields)
            raise ValueError(f"no column {name!r} in the DataFrame (its columns: {listed})")
        if sum(key(field.name) == key(name) for field in fields) > 1:  # as after a join
            raise ValueError(f"the DataFrame has several columns named {name!r}; "
                             f"rename or drop all but one")
        field = fields[positions[name]]
        # Binary is text that some writers (Parquet without the string annotation) leave
        # untyped; the column door reads it as UTF-8 and names a row that is not.
        if not isinstance(field.dataType, (StringType, BinaryType, CharType, VarcharType)):
            raise TypeError(f"column {name!r} is {field.dataType.simpleString()}, "
                            f"not string or binary")
        found.append(positions[name])
    return found


def _unsent(kind: DataType) -> bool:
    """Whether Spark refuses to send a column of type `kind` to Python workers through
    Arrow: an interval of years and months, char and varchar where a session keeps them
    (`spark.sql.preserveCharVarcharTypeInfo`), or a struct with two fields of one name
    (as `named_struct('a', 1, 'a', 2)` makes), anywhere within the type."""
    if isinstance(kind, (YearMonthIntervalType, CalendarIntervalType, CharType, VarcharType)):
        return True
    if isinstance(kind, ArrayType):
        return _unsent(kind.elementType)
    if isinstance(kind, MapType):
        return _unsent(kind.keyType) or _unsent(kind.valueType)
    if not isinstance(kind, StructType):
        return False
    names = [field.name for field in kind.fields]
    return len(set(names)) < len(names) or any(_unsent(field.dataType) for field in kind.fields)


def _shippable_rules(rules: Any) -> pa.Table:
    """`rules`, in any form `quorvane_columns.categorize` takes (or a Spark DataFrame), as
    a pyarrow table of `pattern`, `category` and `merchant`: one object that pickles,
    read and checked once, here, as `categorize` checks them."""
    if isinstance(rules, DataFrame):
        if rules.isStreaming:
            raise TypeError(f"rules: {STREAMING}")
        fields = rules.schema.fields
        texts = [_texts(field) for field in fields]
        if texts != [_quoted(field.name) for field in fields]:  # a char column among them
            rules = rules.selectExpr(*texts)
        rules = rules.toArrow()
    return rules_table(rules)


def _quoted(name: str) -> str:
    """A column name as Spark reads it literally (dots and backticks included)."""
    return "`" + name.replace("`", "``") + "`"


def _texts(field: StructField) -> str:
    """An expression (for selectExpr, as both kinds of session take it) of the texts of
    the column `field`, under its name. A char(n) column, which Spark pads with spaces to
    n characters when it reads it from a table, is read without them: they are no part
    of the text (Spark's own comparisons ignore them), and a pattern such as 'zesto'
    padded to 'zesto     ' would match almost nothing. Spark marks such a column in its
    field's metadata, or types it char(n) where `spark.sql.preserveCharVarcharTypeInfo`
    keeps the type; char and varchar go to the workers as strings, the only texts Spark
    sends there."""
    name, kind = _quoted(field.name), field.dataType
    if isinstance(kind, CharType):
        return f"CAST(rtrim({name}) AS STRING) AS {name}"
    if isinstance(kind, VarcharType):
        return f"CAST({name} AS STRING) AS {name}"
    if str(field.metadata.get("__CHAR_VARCHAR_TYPE_STRING", "")).startswith("char("):
        return f"rtrim({name}) AS {name}"
    return name


# A worker's exception reaches the driver as a PythonException holding its traceback's
# text, where the exception's own line reads "TypeName: message".
_WORKER_VALUE_ERROR = re.compile(r"^ValueError: (.*)$", re.M)


# ---------------------------------------------------------------- in the workers


def _partition() -> int:
    """The number of the partition this task works on."""
    return TaskContext.get().partitionId()  # type: ignore[union-attr]


def _categorize_batches(batches: Iterator[pa.RecordBatch], rules: pa.Table, narration: int,
                        column: str, kept: Sequence[int], names: Sequence[str], limit: int,
                        threads: Optional[int]) -> Iterator[pa.RecordBatch]:
    for first, block in _gathered(batches, limit):
        narrations = pa.chunked_array([batch.column(narration) for batch in block],
                                      block[0].schema.field(narration).type)
        try:
            result = _columns.categorize(narrations, rules, threads=threads)
        except ValueError as error:
            raise in_partition(error, {"narrations": column}, _partition(), first) from None
        # Spark has no dictionary type: category and merchant go back as plain strings.
        answers = [result.column("rule").combine_chunks()]
        answers += [result.column(name).combine_chunks().dictionary_decode()
                    for name in ("category", "merchant")]
        at = 0  # the batches go back as they came
        for batch in block:
            arrays = [batch.column(i) for i in kept]
            arrays += [answer.slice(at, batch.num_rows) for answer in answers]
            at += batch.num_rows
            yield pa.RecordBatch.from_arrays(arrays, names=list(names))


def _first_null(column: pa.ChunkedArray) -> int:
    return int(column.is_null().index(True).as_py())


def _gathered(batches: Iterator[pa.RecordBatch],
              limit: int) -> Iterator[Tuple[int, List[pa.RecordBatch]]]:
    """A partition's batches in blocks of about `limit` bytes, each with the row of the
    partition it starts at."""
    block: List[pa.RecordBatch] = []
    size = row = 0  # row: from the start of the partition
    for batch in batches:
        block.append(batch)
        size += batch.nbytes
        if size >= limit:
            yield row, block
            row += sum(b.num_rows for b in block)
            block, size = [], 0
    if block:
        yield row, block


def _blocks(batches: Iterator[pa.RecordBatch], names: Sequence[str],
            limit: int) -> Iterator[Tuple[int, pa.Table]]:
    """_gathered() as tables, checked for null narrations (the first column; a null label
    reads as empty)."""
    for first, block in _gathered(batches, limit):
        table = pa.Table.from_batches(block)
        narrations = table.column(0)
        if narrations.null_count:
            raise ValueError(f"{names[0]}: null in row {first + _first_null(narrations)} "
                             f"of partition {_partition()}")
        yield first, table


def _count_batches(batches: Iterator[pa.RecordBatch], names: Sequence[str], limit: int,
                   threads: Optional[int]) -> Iterator[pa.RecordBatch]:
    waiting: List[Any] = []
    for first, block in _blocks(batches, names, limit):
        try:
            waiting.append(_columns.derive_partial(*block.columns, threads=threads))
        except ValueError as error:
            columns = dict(zip(("narrations", "categories", "merchants"), names))
            raise in_partition(error, columns, _partition(), first) from None
        if len(waiting) == _MERGE_EVERY:
            waiting = [_columns.derive_merge(*waiting)]
    if waiting:
        counts = waiting[0] if len(waiting) == 1 else _columns.derive_merge(*waiting)
        yield from counts.to_batches()


# ---------------------------------------------------------------- the calls


def categorize(df: DataFrame, rules: Any, column: str = "narration",
               threads: Optional[int] = 1) -> DataFrame:
    """`df` with `rule` (int), `category` and `merchant` (string) appended: each row's
    first matching rule, as `quorvane_columns.categorize` gives it, nulls where none
    matched or the narration is null.

    `rules` is what `quorvane_columns.categorize` takes, or a Spark DataFrame of rules;
    it is read and checked here, on the driver, and reaches the workers as one pyarrow
    table. Columns of `df` named like a result column are replaced. Lazy, like every
    DataFrame transformation; the column's type is checked at once. `threads`: how many
    each task's call runs on (1: Spark already runs a task per core; None: every core).
    """
    fields = df.schema.fields
    key = _name_key(df)
    narration = _string_columns(df, key, column)[0]
    shipped = _shippable_rules(rules)
    check_threads(threads)
    names = {key(field.name) for field in RESULT_FIELDS}  # 'Category' too, as Spark reads it
    kept = [i for i, field in enumerate(fields) if key(field.name) not in names]
    # The columns go under names of their place, past Spark's own check for a name two
    # of them share, but the JVM reads a result back by name: one such name fails the
    # task far from here (or worse), so it is refused now, as for the narrations.
    seen = set()
    for i in kept:
        name, kind = fields[i].name, fields[i].dataType
        if key(name) in seen:  # as after a join
            raise ValueError(f"the DataFrame has several columns named {name!r}; "
                             f"rename or drop all but one")
        seen.add(key(name))
        # Every column kept passes through the workers: one Spark sends to none is
        # refused here, by name, not by mapInArrow with the whole schema.
        if _unsent(kind):
            raise TypeError(f"column {name!r} is {kind.simpleString()}, which Spark does not "
                            f"pass to Python workers; cast or drop it first")
    # Only the columns kept and the narrations go to the workers (a column replaced may
    # be of any type), chosen by name: a Spark Connect DataFrame is resolved anew by
    # every action, so a view since redefined with its columns in another order still
    # gives each column its own values. mapInArrow looks its input columns up by name,
    # and Spark reads a dot in a name as a field of a struct: they go under names of
    # their place, renamed back by the schema. Narrations read without a char column's
    # padding go apart from the column kept, which passes as it is.
    sent = [_quoted(fields[i].name) for i in kept]
    texts = _texts(fields[narration])
    if texts not in sent:
        sent.append(texts)
    schema = StructType([fields[i] for i in kept] + list(RESULT_FIELDS))
    work = functools.partial(_categorize_batches, rules=shipped, narration=sent.index(texts),
                             column=column, kept=list(range(len(kept))),
                             names=schema.fieldNames(), limit=_BLOCK_BYTES, threads=threads)
    chosen = df.selectExpr(*sent)
    positional = chosen.toDF(*(f"_{k}" for k in range(len(sent))))
    return positional.mapInArrow(work, schema)


def derive(df: DataFrame, narration: str = "narration", category: str = "category",
           merchant: str = "merchant", threads: Optional[int] = 1) -> pa.Table:
    """The rules `quorvane_columns.derive` gives on all rows of `df` together, as a
    pyarrow table of `pattern`, `category` and `merchant`, in the same order.

    Each partition is counted where it lies; only the counts (one row per group and
    token) travel to the driver. Computes at once. A null category or merchant reads as
    empty, as a blank cell of a CSV file; a null narration is a ValueError naming the
    column, the partition and the row within it. `threads` as in `categorize`.
    """
    if df.isStreaming:  # refused here, not by Spark as counted, naming writeStream
        raise TypeError(f"df: derive reads every row at once, and {STREAMING}")
    names = (narration, category, merchant)
    fields = [df.schema.fields[i] for i in _string_columns(df, _name_key(df), *names)]
    check_threads(threads)
    work = functools.partial(_count_batches, names=names, limit=_BLOCK_BYTES, threads=threads)
    chosen = df.selectExpr(*map(_texts, fields)).toDF("_0", "_1", "_2")
    counted = chosen.mapInArrow(work, COUNTS_SCHEMA)  # on names without dots, as categorize
    try:
        counts = counted.toArrow()
    except PythonException as error:
        raised = _WORKER_VALUE_ERROR.findall(str(error))
        if not raised:
            raise
        raise ValueError(raised[-1]) from error
    rules: pa.Table = _columns.derive_finish(_columns.derive_merge(counts))
    return rules
