"""The caller's kind: what a result of quorvane_columns is given back as.

A result follows one input (the narrations, the loan table, the counts): pyarrow in,
pyarrow out; polars, pandas and duckdb likewise; plain Python in, a dict of lists out;
any other Arrow producer gets the native table, which exports the Arrow PyCapsule
interface. A pandas result whose rows are the input's rows carries the input's index,
so that it aligns with the frame it came from. Nothing is imported until a caller
passed an object of that library.
"""

from __future__ import annotations

from typing import Any, Iterable, Iterator, NamedTuple, Sequence, Tuple, Union


class Kind(NamedTuple):
    """The library a result is given back in, and the pandas index of the input (None
    where the input has none)."""

    library: str
    index: Any = None


def _library(obj: object) -> str:
    return type(obj).__module__.split(".", 1)[0]


class SeriesStream:
    """A pandas Series as the one column that pandas exports a Series as from 3.0 on:
    pandas 2 exports frames only, and a Series would be read item by item, its missing
    values (NA, NaN) refused as no str."""

    def __init__(self, series: Any) -> None:
        self.series = series

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        import pyarrow as pa

        return views_filled(_chunked(self.series)).__arrow_c_stream__(requested_schema)


def _chunked(series: Any) -> Any:
    """A pandas Series as a pyarrow chunked array, sharing an ArrowDtype column's data."""
    import pyarrow as pa

    column = pa.array(series)
    return column if isinstance(column, pa.ChunkedArray) else pa.chunked_array([column])


def _arrow_type(dtype: Any) -> Any:
    """The pyarrow type of a pandas ArrowDtype; None for any other dtype."""
    return getattr(dtype, "pyarrow_dtype", None)


def _is_view(type_: Any) -> bool:
    """Whether an Arrow type is string or binary views, or a dictionary of them."""
    value_type = getattr(type_, "value_type", None) if hasattr(type_, "index_type") else None
    return str(type_ if value_type is None else value_type) in ("string_view", "binary_view")


def _filled_array(array: Any) -> Any:
    """`array` (of views, or a dictionary of them) without its data buffers where all are
    missing, else with an empty buffer in the place of each missing one; None where none
    is missing."""
    import pyarrow as pa

    if pa.types.is_dictionary(array.type):
        words = _filled_array(array.dictionary)
        return None if words is None else pa.DictionaryArray.from_arrays(
            array.indices, words, ordered=array.type.ordered)
    buffers = array.buffers()
    if all(b is not None for b in buffers[2:]):
        return None
    # Where every data buffer is missing (the cast's case) every view is inline: the views
    # go with no data buffer at all, which each release builds; pyarrow 18 refuses to build
    # views of more buffers than the two.
    empty = pa.py_buffer(b"")
    data = [] if all(b is None for b in buffers[2:]) else \
        [empty if b is None else b for b in buffers[2:]]
    return pa.Array.from_buffers(array.type, len(array), buffers[:2] + data,
                                 null_count=array.null_count, offset=array.offset)


def views_filled(obj: Any) -> Any:
    """A pyarrow array, chunked array, record batch, table or stream whose string views
    miss a data buffer, made whole (`_filled_array`). pyarrow's own cast to string views
    leaves out the one data buffer of an array whose texts are all inline (12 bytes or
    fewer, or null), and pyarrow 18 to 24 crash the process exporting such an array (later
    releases neither make nor take one). Anything else is returned as it is."""
    import pyarrow as pa

    schema = getattr(obj, "schema", None)
    types = [obj.type] if schema is None else schema.types
    if not any(_is_view(type_) for type_ in types):
        return obj
    if isinstance(obj, pa.RecordBatchReader):
        return pa.RecordBatchReader.from_batches(schema, (views_filled(b) for b in obj))
    if isinstance(obj, (pa.Table, pa.RecordBatch)):
        columns = [views_filled(c) if _is_view(c.type) else c for c in obj.columns]
        return type(obj).from_arrays(columns, schema=schema)
    if isinstance(obj, pa.ChunkedArray):
        return pa.chunked_array([views_filled(chunk) for chunk in obj.chunks], obj.type)
    if isinstance(obj, pa.Array):
        filled = _filled_array(obj)
        return obj if filled is None else filled
    return obj


def refuse_unreadable(**arguments: Any) -> None:
    """Raises TypeError for an argument that is a query rather than data (read as a
    sequence, a Dask collection would be computed item by item, or fail somewhere inside
    Dask), and ValueError for a mapping of pandas columns with different indexes (see
    `refuse_misaligned`)."""
    for name, value in arguments.items():
        library = _library(value)
        if library == "polars" and type(value).__name__ == "LazyFrame":
            raise TypeError(f"{name}: a polars LazyFrame holds no data until it runs: "
                            f"collect() it first")
        scanned = {c.__name__ for c in type(value).__mro__} & {"Dataset", "Scanner"}
        if library == "pyarrow" and scanned:
            what = scanned.pop()
            raise TypeError(f"{name}: a pyarrow {what} holds no data until it is scanned: pass "
                            f"its to_table(), or its "
                            f"{'scanner().' if what == 'Dataset' else ''}to_reader() to read it "
                            f"batch by batch")
        if library in ("dask", "dask_expr") and hasattr(value, "__dask_graph__"):
            raise TypeError(f"{name}: a Dask collection holds no data until it is "
                            f"computed: use quorvane_columns.dask, or compute() it first")
        if library == "pyspark" and getattr(value, "isStreaming", False) is True:
            raise TypeError(f"{name}: {STREAMING}")
        found = _misaligned(value.items()) if isinstance(value, dict) else None
        if found is not None:
            column, first = found
            raise ValueError(f"{name}: column '{column}'" + _MISALIGNED.format(f"column '{first}'"))


#: Why a streaming Spark DataFrame is refused where rows are read at once (Spark's own
#: refusal names writeStream, and neither the call nor a way out).
STREAMING = ("a streaming Spark DataFrame gives its rows only to a running query: read its "
             "source with spark.read, or call this in foreachBatch on each micro-batch")


_MISALIGNED = (": its index differs from that of {}, and the rows are paired by position: "
               "align them first (or reset_index(drop=True) each)")


def refuse_misaligned(**columns: Any) -> None:
    """Raises ValueError where pandas columns read together, row by row, have different
    indexes: they are paired by position, which pandas itself never does, so rows that
    the indexes keep apart would be matched up in silence; and where several duckdb
    relations are, one of whose connections may give its rows in another order."""
    found = _misaligned(columns.items())
    if found is not None:
        raise ValueError(f"{found[0]}{_MISALIGNED.format(found[1])}")
    relations = [(name, value) for name, value in columns.items() if _is_relation(value)]
    for name, relation in relations if len(relations) > 1 else ():
        # Under preserve_insertion_order = false duckdb gives a relation's rows in another
        # order at each read, so that each relation read would pair other rows. The
        # setting is read on the relation's own connection, without running its query.
        setting = "SELECT current_setting('preserve_insertion_order')"
        if not relation.query("quorvane_rows", setting).fetchall()[0][0]:
            raise ValueError(f"{name}: duckdb relations read together are paired row by row, "
                             f"but its connection has preserve_insertion_order = false, under "
                             f"which duckdb gives a relation's rows in another order at each "
                             f"read: pass one relation of the columns narration, category "
                             f"and merchant")


def _is_relation(obj: object) -> bool:
    return _library(obj) in ("duckdb", "_duckdb") and type(obj).__name__ == "DuckDBPyRelation"


def _misaligned(columns: Iterable[Tuple[Any, Any]]) -> "Tuple[Any, Any] | None":
    """The first of the named pandas `columns` whose index differs from the first one's,
    and that one's name; None if they all agree."""
    first: Any = None
    for name, value in columns:
        index = getattr(value, "index", None) if _library(value) == "pandas" else None
        if index is None or not hasattr(index, "equals"):
            continue
        if first is None:
            first = (name, index)
        elif index is not first[1] and not index.equals(first[1]):
            return name, first[0]
    return None


def _tables(value: Any) -> "Iterable[Tuple[int | None, Any]]":
    """An argument's tables, each with its place: a list of tables (derive_merge's) by
    place, anything else as one, None. A list of rules or texts is one argument, never
    walked item by item here: a million narrations would take a fifth of a second."""
    first = value[0] if isinstance(value, list) and value else None
    if isinstance(first, dict):  # a mapping of columns, or a rule or loan as a record
        listed = any(hasattr(column, "__len__") and not isinstance(column, (str, bytes))
                     for column in first.values())
    else:
        listed = hasattr(first, "__arrow_c_stream__") or hasattr(first, "columns")
    return enumerate(value) if listed else [(None, value)]


def _pandas_columns(arguments: Iterable[Tuple[str, Any]]) -> "Iterator[Tuple[str, Any]]":
    """The pandas columns among the named `arguments` (a list of tables counts as tables
    named by their place), each with the words that name it: "rules: column 'pattern'"."""
    for name, value in arguments:
        for at, table in _tables(value):
            label = name if at is None else f"{name} {at}"
            frame = isinstance(table, dict) or (_library(table) == "pandas" and
                                                hasattr(table, "columns"))
            columns = table.items() if frame else [(None, table)]
            for column, values in columns:
                if isinstance(values, SeriesStream):
                    values = values.series
                if _library(values) == "pandas":
                    yield label if column is None else f"{label}: column '{column}'", values


def refuse_mixed(error: BaseException, arguments: Iterable[Tuple[str, Any]]) -> None:
    """Raises TypeError, from `error`, for the first pandas object column among the named
    `arguments` whose values mix texts and numbers, naming its first row of another kind
    than its first value: pyarrow, which decides a column's type by that value, refused to
    export it in words that name neither the argument nor the column. Likewise raises
    ValueError for the first text of a pandas column that has no UTF-8 form (a lone
    surrogate), which pyarrow refused as the interpreter's UnicodeEncodeError alone.
    Returns when `error` is neither or no column is at fault."""
    if isinstance(error, UnicodeEncodeError):
        for label, values in _pandas_columns(arguments):
            for row, text in enumerate(values.tolist()):
                try:
                    if isinstance(text, str):
                        text.encode("utf-8")
                except UnicodeEncodeError as bad:
                    raise ValueError(f"{label}: row {row}: UnicodeEncodeError: {bad}") from error
        return
    if _library(error) != "pyarrow":
        return
    for label, values in _pandas_columns(arguments):
        if getattr(values, "dtype", None) != object:
            continue
        found = _first_of_another_kind(values)
        if found is not None:
            raise TypeError(f"{label}: row {found[0]} is a '{found[1]}' where row "
                            f"{found[2]} is a '{found[3]}': a column holds texts or "
                            f"numbers, not both") from error


# polars 2 exports a column of its Object type as 8 bytes a row, no text of the objects;
# polars 1.10 (and later 1.x) aborts the whole process instead, in a panic.
def _objects(table: Any) -> "list[Any]":
    """The names of the polars Object columns of `table` (a polars frame or Series, a
    mapping of columns); a Series is named None."""
    if isinstance(table, dict):
        return [name for name, column in table.items() if _library(column) == "polars" and
                str(getattr(column, "dtype", "")) == "Object"]
    if _library(table) != "polars" or type(table).__name__ not in ("DataFrame", "Series"):
        return []
    if type(table).__name__ == "Series":
        return [None] if str(table.dtype) == "Object" else []
    return [name for name, dtype in table.schema.items() if str(dtype) == "Object"]


def refuse_objects(arguments: Iterable[Tuple[str, Any]]) -> None:
    """Raises TypeError for a polars Object column in the named `arguments` as the engines
    read them (`without_index` leaves out those a call never reads; a list of tables
    counts as tables named by their place): polars exports no values of its objects."""
    for name, value in arguments:
        for at, table in _tables(value):
            for column in _objects(table):
                label = name if at is None else f"{name} {at}"
                where = "" if column is None else f"column '{column}': "
                raise TypeError(f"{label}: {where}a polars Object column holds Python objects, "
                                f"which polars exports as no values of theirs: cast it to "
                                f"pl.String (or build it from a list of str)")


def _first_of_another_kind(values: Any) -> "Tuple[int, str, int, str] | None":
    """In a pandas object column, the first row holding a number where the first text is
    earlier, or a text where the first number is (pyarrow refuses every such mix), with
    its type's name, and that first value's row and type's name; None if there is none.
    Missing values and values of other types (which pyarrow may accept together) count
    for neither."""
    import decimal
    import numbers

    def kind(value: Any) -> "str | None":
        if isinstance(value, (str, bytes)):
            return "text"
        if isinstance(value, decimal.Decimal):
            return None if value.is_nan() else "number"
        if isinstance(value, numbers.Real):
            return None if value != value else "number"  # NaN is missing
        return None

    first: "Tuple[int, Any, str] | None" = None
    for row, value in enumerate(values.to_numpy(dtype=object)):
        this = kind(value)
        if this is None:
            continue
        if first is None:
            first = (row, value, this)
        elif this != first[2]:
            return row, type(value).__name__, first[0], type(first[1]).__name__
    return None


def kind_of(obj: object) -> Kind:
    """The kind of `obj`, read from the module of its type."""
    library = _library(obj)
    if library in ("pyarrow", "polars"):
        return Kind(library)
    if library == "pandas":
        import pandas as pd

        index = getattr(obj, "index", None)  # a Series or DataFrame has one, an array not
        return Kind(library, index if isinstance(index, pd.Index) else None)
    # duckdb 1.x names the module of its relations `duckdb.duckdb`, 2.x `duckdb._relation`.
    if _is_relation(obj):
        return Kind("duckdb")
    if hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__arrow_c_array__"):
        return Kind("arrow")
    return Kind("python")


def without_index(obj: Any, read: Union[str, Sequence[str], None] = None) -> Any:
    """`obj` as the engines read it: a pandas DataFrame exports an index other than a
    plain range as one more column, so such a frame is handed over without it. An Index
    or array of pandas (pd.array, a Categorical) exports no Arrow data of its own and
    would be read item by item, its missing values (NA, NaN) refused as no str: it goes
    as the Series it makes, whose missing values are nulls (a Series itself, where pandas
    exports none, as a `SeriesStream`). A duckdb relation goes as a projection of it. A
    frame of which the call `read`s one column, or some columns, goes as those columns
    alone: pyarrow converts
    every column it exports, and refuses some (an object column of texts and numbers)
    that the call never reads. A frame with none of them goes whole, so that the
    engine's message lists its columns. A loan's `start` given as pandas months, in a
    frame or a mapping of columns, goes as the text of each (`_month_texts`); months
    anywhere else are refused as the engine refuses any column of another type. A
    mapping's other pandas columns go as above. A column the call reads may be a level
    of the index, where a groupby leaves its keys (of a frame, or of a Series of sums
    named as a column of the table read): it goes as a column. pyarrow data goes with
    the data buffers its string views may miss (`views_filled`)."""
    if _library(obj) == "pyarrow":
        return views_filled(obj)
    if _library(obj) == "pyspark" and hasattr(obj, "toArrow"):
        # A Spark DataFrame's own Arrow stream declares the types the driver gives its
        # schema, but passes on the batches its workers made: under
        # spark.sql.execution.arrow.useLargeVarTypes their texts are large strings,
        # which a reader trusting the stream's schema misreads (a batch of one row as
        # empty texts). toArrow() gives batches of the types it declares.
        return obj.toArrow()
    # `read` is a caller's column= (the engine refuses one that is no str) or a call's
    # tuple of names.
    names = {read} if isinstance(read, str) else set(read) if isinstance(read, tuple) else set()
    unread = [name for name in _objects(obj) if name not in names] if names else []
    if isinstance(obj, dict):
        return {name: _month_texts(column) if _is_start(read, name, column) else
                without_index(column) if _library(column) in ("pandas", "polars", "pyarrow") else
                column
                for name, column in obj.items() if name not in unread}
    if unread:  # of a polars frame, which exports every column
        obj = obj.drop(unread)
    if _is_relation(obj):
        # duckdb before 1.3 exports a relation once: a second call (or the caller's own
        # fetch) would find its result closed. A projection of it is a relation of its own.
        return obj.project("*")
    if _library(obj) == "polars" and type(obj).__name__ == "Series" and \
            str(obj.dtype).startswith(("Categorical", "Enum", "Date", "Time", "Duration")):
        # polars (1.4 to 1.30 at least) fails to export a Series of categories, dates or
        # times (its stream declares the type, then yields the stored integers), but not
        # a frame of one: alone, or a column of a mapping.
        return obj.to_frame()
    if _library(obj) != "pandas":
        return obj
    import pandas as pd

    if isinstance(read, tuple) and isinstance(obj, pd.Series) and obj.name in names and \
            names.intersection(obj.index.names):
        obj = obj.reset_index()
    if isinstance(obj, pd.DataFrame):
        levels = [name for name in obj.index.names if name in names and name not in obj.columns]
        if levels:
            obj = obj.reset_index(level=levels)
        chosen = [at for at, name in enumerate(obj.columns) if name in names]
        if chosen and len(chosen) < obj.shape[1]:
            obj = obj.iloc[:, chosen]  # in the frame's order; a name two columns share keeps both
        months = [at for at, name in enumerate(obj.columns)
                  if name == "start" and _is_start(read, name, obj.iloc[:, at])]
        if months:
            obj = obj.copy(deep=False)  # the caller's frame keeps its periods
            for at in months:
                obj.isetitem(at, _month_texts(obj.iloc[:, at]))
        views = [at for at, dtype in enumerate(obj.dtypes) if _is_view(_arrow_type(dtype))]
        if views:
            obj = obj.copy(deep=False)  # pandas exports a frame through pyarrow
            for at in views:
                column = obj.iloc[:, at]
                obj.isetitem(at, pd.Series(pd.arrays.ArrowExtensionArray(
                    views_filled(_chunked(column))), index=column.index, copy=False))
        if obj.columns.has_duplicates:
            # pyarrow refuses to export such a frame, in words that name neither the
            # argument nor the column: the columns go as a table of their own, which the
            # engine refuses by name.
            import pyarrow as pa

            return pa.Table.from_arrays([pa.array(obj.iloc[:, at], from_pandas=True)
                                         for at in range(obj.shape[1])],
                                        names=[str(name) for name in obj.columns])
        if not isinstance(obj.index, pd.RangeIndex):
            return obj.reset_index(drop=True)  # shares the columns' data
    elif isinstance(obj, pd.Series) and (not hasattr(obj, "__arrow_c_stream__") or
                                         _is_view(_arrow_type(obj.dtype))):
        return SeriesStream(obj)
    elif isinstance(obj, (pd.Index, pd.api.extensions.ExtensionArray)):
        return without_index(pd.Series(obj, copy=False))
    return obj


def _is_start(read: Any, name: Any, column: Any) -> bool:
    """Whether `column`, named `name` in a table of which the call `read`s the columns
    (`without_index`), is a loan's start as pandas months (period[M]): months read as
    texts anywhere else would be matched or counted as narrations or labels."""
    return isinstance(read, tuple) and "start" in read and name == "start" and \
        _library(column) == "pandas" and hasattr(column, "dtype") and \
        type(column.dtype).__name__ == "PeriodDtype" and str(column.dtype) == "period[M]"


def _month_texts(months: Any) -> Any:
    """A pandas column of months (period[M], a loan's `start`) as the text "YYYY-MM" of
    each, the text the field takes; a missing month stays missing. pandas would export the
    periods as their integer ordinals, plain numbers to any reader. An ordinal counts
    months from 1970-01; integer arithmetic on it is exact for all of them, where a cast
    to a date would wrap around past some 10^11 years."""
    import pandas as pd

    months = months if isinstance(months, pd.Series) else pd.Series(months, copy=False)
    missing = months.isna().to_numpy()
    texts = [None if gone else f"{1970 + ordinal // 12:04d}-{ordinal % 12 + 1:02d}"
             for ordinal, gone in zip(months.array.asi8.tolist(), missing)]
    return pd.Series(texts, index=months.index, name=months.name, dtype=object)


def convert(table: Any, kind: Kind, same_rows: bool = False) -> Any:
    """The native `table` in the caller's kind. `same_rows` says that row i of the table
    stems from row i of the input: a pandas result then takes the input's index;
    otherwise (rules, counts, a schedule) it is numbered from 0."""
    if kind.library == "pyarrow":
        import pyarrow as pa

        return pa.table(table)
    if kind.library == "polars":
        import polars as pl

        return pl.DataFrame(table)
    if kind.library == "pandas":
        frame = _pandas(table)
        if same_rows and kind.index is not None:
            frame.index = kind.index  # pandas indexes are immutable: sharing it is safe
        return frame
    if kind.library == "duckdb":
        return _relation(_pyarrow_or(table))
    if kind.library == "python":
        return table.to_pydict()
    return table


def _relation(table: Any) -> Any:
    """A duckdb relation of `table` (pyarrow's, else the native one) that gives its rows
    in the table's order at every read. A relation does not say which connection made
    it, so the result lives on duckdb's default connection; it keeps its source alive.
    Under `SET preserve_insertion_order = false` duckdb scans a table on several threads
    and gives its rows as they come, in another order at each read: a `rule` would be
    read beside another narration, rules in another order of priority. So the table
    goes with one more column, its row numbers, by which the relation is ordered and
    which it leaves out, in ascending order whatever `default_order` says (without
    pyarrow, it goes as it is)."""
    import duckdb

    if not hasattr(table, "append_column"):
        return duckdb.from_arrow(table)
    import pyarrow as pa
    import pyarrow.compute as pc

    number = "row"
    while number in table.column_names:
        number = "_" + number
    rows = pc.subtract(pc.cumulative_sum(pa.nulls(table.num_rows, pa.int64()).fill_null(1)), 1)
    quoted = ", ".join('"' + name.replace('"', '""') + '"' for name in table.column_names)
    ordered = duckdb.from_arrow(table.append_column(number, rows)).order(f'"{number}" ASC')
    return ordered.project(quoted)


def _pyarrow_or(table: Any) -> Any:
    """A pyarrow Table of `table` where pyarrow is installed, else `table` itself."""
    try:
        import pyarrow as pa
    except ImportError:
        return table
    return pa.table(table)


def _pandas(table: Any) -> Any:
    import pandas as pd

    try:
        import pyarrow as pa
    except ImportError:
        return pd.DataFrame.from_arrow(table)
    # Integer columns become pandas' nullable integers, so that a column's dtype never
    # depends on whether it holds a null (plain conversion gives floats if it does).
    nullable = {pa.int32(): pd.Int32Dtype(), pa.int64(): pd.Int64Dtype()}
    arrow = pa.table(table)
    frame = arrow.to_pandas(types_mapper=nullable.get)
    for at, field in enumerate(arrow.schema):
        # pyarrow gives an empty dictionary (categorize with no rules) categories of
        # objects, a filled one those of its values' type: the dtype would hang on the
        # rules, and Dask, which unions the categories of partitions, refuses the mix.
        if pa.types.is_dictionary(field.type) and frame.iloc[:, at].cat.categories.empty:
            empty = pd.Index(pa.array([], field.type.value_type).to_pandas())
            frame.isetitem(at, frame.iloc[:, at].cat.set_categories(empty))
    return frame
