"""Helpers of the column-door tests: string columns in every layout a producer may use
(dictionaries drawn with any index width and a dictionary per chunk), results of any
kind as plain data, rules in every form, the module's derivation as the reference, and an
Arrow stream whose release callbacks count."""

import ctypes

import pytest
from hypothesis import strategies as st

import quorvane

pa = pytest.importorskip("pyarrow")

# Every Arrow layout a list of optional str can reach the column door in (plain lists:
# test_columns_plain.py).
LAYOUTS = ["utf8", "large_utf8", "string_view", "chunked", "sliced", "table", "dictionary",
           "polars", "pandas", "pandas category"]
# pyarrow casts to string views from 18 on
CASTS_TO_VIEWS = int(pa.__version__.split(".")[0]) >= 18
LAYOUTS += ["cast string_view"] * CASTS_TO_VIEWS

INDEX_TYPES = [pa.int8(), pa.uint8(), pa.int16(), pa.uint16(), pa.int32(), pa.uint32(),
               pa.int64(), pa.uint64()]
VALUE_TYPES = [pa.string(), pa.large_string(), pa.string_view()]


def dictionary_chunk(texts, draw, index_type, value_type):
    """`texts` dictionary-encoded, words in a drawn order with words no row uses, maybe a
    null word, maybe sliced out of a longer array."""
    words = sorted({t for t in texts if t is not None})
    words = draw(st.permutations(words + ["unused", "Σ unused"]))
    null_word = draw(st.booleans())
    if null_word:
        words = words + [None]
    index = {w: i for i, w in enumerate(words) if w is not None}
    indices = [len(words) - 1 if t is None and null_word and draw(st.booleans()) else
               (None if t is None else index[t]) for t in texts]
    before, after = draw(st.integers(0, 2)), draw(st.integers(0, 2))
    padded = pa.array([0] * before + indices + [0] * after, index_type)
    values = pa.array(words, value_type)
    return pa.DictionaryArray.from_arrays(padded, values).slice(before, len(texts))


def column(texts, layout, draw=None):
    """`texts` (str or None) as a column in `layout`; `draw` (Hypothesis' data.draw) picks
    a dictionary's shape, and a column with no text at all may come as the null type."""
    if draw is not None and layout != "table" and all(t is None for t in texts) and draw(st.booleans()):
        return pa.nulls(len(texts))
    if layout == "cast string_view":
        # pyarrow 18 to 24 leave out the data buffer where every text is inline, and crash
        # exporting the array
        return pa.array(texts, pa.string()).cast(pa.string_view())
    if layout in ("utf8", "large_utf8", "string_view"):
        return pa.array(texts, type=getattr(pa, layout.replace("utf8", "string"))())
    if layout == "chunked":
        cut = len(texts) // 3
        return pa.chunked_array([pa.array(texts[:cut], pa.string()), pa.array([], pa.string()),
                                 pa.array(texts[cut:], pa.string())], type=pa.string())
    if layout == "sliced":
        padded = pa.array(["pad", None] + list(texts) + ["tail"], pa.string_view())
        return padded.slice(2, len(texts))
    if layout == "table":
        return pa.table({"narration": pa.array(["x"] + list(texts), pa.large_string())}).slice(1)
    if layout == "dictionary":  # chunks cut where drawn, each with a dictionary of its own
        types = draw(st.sampled_from(INDEX_TYPES)), draw(st.sampled_from(VALUE_TYPES))
        cuts = sorted(draw(st.lists(st.integers(0, len(texts)), max_size=3)))
        return pa.chunked_array([dictionary_chunk(texts[a:b], draw, *types)
                                 for a, b in zip([0] + cuts, cuts + [len(texts)])])
    if layout == "polars":  # a plain string column, a Categorical or an Enum
        pl = pytest.importorskip("polars")
        dtypes = [pl.String, pl.Categorical, pl.Enum(sorted({t for t in texts if t is not None}))]
        return pl.Series("narration", texts, dtype=draw(st.sampled_from(dtypes)) if draw else pl.String)
    pd = pytest.importorskip("pandas")
    if layout == "pandas category":
        return pd.Series(texts, dtype="category")
    if draw is not None and CASTS_TO_VIEWS and draw(st.booleans()):
        return pd.Series(pd.arrays.ArrowExtensionArray(column(texts, "cast string_view")))
    return pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))


def table_data(result):
    """A result of any kind as a dict of lists, None for nulls."""
    if isinstance(result, dict):
        return result
    if hasattr(result, "to_pydict"):  # pyarrow, or the native table
        return result.to_pydict()
    if type(result).__module__.startswith("polars"):
        return result.to_dict(as_series=False)
    if type(result).__name__ == "DuckDBPyRelation":
        return pa.table(result).to_pydict()
    import pandas as pd  # a pandas frame: its nulls are None, NaN or NA

    return {name: [None if pd.isna(v) else v for v in result[name].tolist()]
            for name in result.columns}


# ---------------------------------------------------------------- rules and examples


RULES = [
    {"pattern": "zesto", "category": "Food", "merchant": "ZestoBites"},
    {"pattern": "kart", "category": "Shopping", "merchant": "Kartville"},
    {"pattern": "σοφία", "category": "Βιβλία", "merchant": "Sofia"},
    {"pattern": "upi zesto", "category": "Transfer", "merchant": "UPI"},
]

words = st.sampled_from(["zesto", "ZESTO", "kart", "upi", "fuel", "ÄRGER", "σοφία", "ΣΟΦΊΑ", "ab",
                         "4471"])
narration = st.lists(words, max_size=5).map(" ".join)


def rules_as(form, spark=None):
    """RULES in a form categorize takes: some are read only once (a stream) or by one
    thread at a time (a relation), some hold dictionaries (categories), few pickle."""
    table = pa.Table.from_pylist(RULES)
    if form == "stream":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
    if form == "columns":  # plain lists, as derive gives its rules back
        return table.to_pydict()
    if form in ("dicts", "request"):
        return RULES if form == "dicts" else {"rules": RULES}
    if form == "spark":  # in two partitions, the first rules in the first
        numbered = spark.createDataFrame([(i, *rule.values()) for i, rule in enumerate(RULES)],
                                         ["i", *RULES[0]])
        return numbered.repartitionByRange(2, "i").drop("i")
    if form == "duckdb":
        return pytest.importorskip("duckdb").from_arrow(table)
    if form == "polars categorical":
        pl = pytest.importorskip("polars")
        labels = pl.col("category", "merchant").cast(pl.Categorical)
        return pl.from_arrow(table).with_columns(labels)
    pd = pytest.importorskip("pandas")
    if form == "pandas category":
        return pd.DataFrame(RULES, index=[7, 3, 5, 1]).astype("category")
    assert form == "dask", form
    return pytest.importorskip("dask.dataframe").from_pandas(pd.DataFrame(RULES), npartitions=2)


def module_rules(examples):
    """The module's derive_rules on (narration, category, merchant) examples, as (pattern,
    category, merchant): a null label reads as empty, an example with neither is left out."""
    data = [{"narration": n, "category": c or "", "merchant": m or ""}
            for n, c, m in examples if c or m]
    return [(r["pattern"], r["category"], r["merchant"])
            for r in quorvane.derive_rules({"data": data})["rules"]]


def rules_of(result):
    """A derived rules table of any kind as (pattern, category, merchant) tuples."""
    data = table_data(result)
    return list(zip(data["pattern"], data["category"], data["merchant"]))


# ---------------------------------------------------------------- a counting producer


class ArrowArray(ctypes.Structure):
    # length, null_count, offset, n_buffers, n_children, buffers, children, dictionary
    _fields_ = [("head", ctypes.c_int64 * 8), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    pass


GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.c_void_p)
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
RELEASE_STREAM = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))

ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", RELEASE_STREAM), ("private_data", ctypes.c_void_p),
]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class CountingStream:
    """Wraps a pyarrow stream; counts every release of the stream and of each array it
    hands out. `fail_at` makes get_next fail (EIO) at that call."""

    def __init__(self, data, fail_at=None):
        self._source = data  # kept alive: its stream is read through ours
        self.fail_at = fail_at
        self.stream_releases = 0
        self.array_releases = 0
        self.arrays_given = 0
        self._originals = {}
        self._keep = []
        self._message = ctypes.create_string_buffer(b"the counting producer failed on purpose")

    def __arrow_c_stream__(self, requested_schema=None):
        inner_capsule = self._source.__arrow_c_stream__()
        inner = ArrowArrayStream.from_address(_capsule_pointer(inner_capsule, b"arrow_array_stream"))
        self._inner_capsule = inner_capsule
        calls = [0]

        def get_schema(_, out):
            return inner.get_schema(ctypes.byref(inner), out)

        def get_next(_, out):
            calls[0] += 1
            if calls[0] == self.fail_at:
                return 5  # EIO
            code = inner.get_next(ctypes.byref(inner), out)
            if code == 0 and out.contents.release:
                key = len(self._originals) + 1
                self._originals[key] = (out.contents.release, out.contents.private_data)
                out.contents.release = ctypes.cast(self._release_array, ctypes.c_void_p).value
                out.contents.private_data = key
                self.arrays_given += 1
            return code

        def get_last_error(_):
            return ctypes.addressof(self._message)

        def release(stream):
            self.stream_releases += 1
            inner.release(ctypes.byref(inner))
            stream.contents.release = RELEASE_STREAM()

        def release_array(array):
            self.array_releases += 1
            original, private = self._originals.pop(array.contents.private_data)
            array.contents.release = original
            array.contents.private_data = private
            RELEASE_ARRAY(original)(array)

        self._release_array = RELEASE_ARRAY(release_array)
        outer = ArrowArrayStream(GET_SCHEMA(get_schema), GET_NEXT(get_next),
                                 GET_LAST_ERROR(get_last_error), RELEASE_STREAM(release), None)
        self._keep += [outer, get_schema, get_next, get_last_error, release]
        return _capsule_new(ctypes.addressof(outer), b"arrow_array_stream", None)
