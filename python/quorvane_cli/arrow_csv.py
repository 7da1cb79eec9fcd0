"""quorvane_cli.arrow_csv: CSV read by pyarrow's streaming reader and written by
quorvane_columns, with the same results, byte for byte, as stdlib_csv.

Imported only when a command reads a regular file and pyarrow is installed (the
`quorvane[cli]` extra): pyarrow takes a good part of the interpreter's start-up. Its
compute kernels (a fifth of a second more) are imported only by the summary's totals, so
that categorising and counting alone never load them.
"""

from __future__ import annotations

import array
import concurrent.futures
import csv
import importlib.util
import os
import re
import sys
import threading
from decimal import Decimal
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import quorvane_cli

# pyarrow imports numpy where it is installed, which is most of this module's start-up
# (about 0.17 s, and a pool of BLAS threads), and cloudpickle (about 0.01 s, for pickling
# its objects), though nothing here needs either: in the quorvane program, unless
# something loaded them already, they are kept out while pyarrow loads. (pyarrow then
# works without numpy for the rest of the process, so not where main() runs inside
# someone else's program.) pyarrow before 18 fails to import without numpy: with such a
# release numpy loads.


def numpy_optional(package: str) -> bool:
    """Whether the pyarrow in the folder `package` imports without numpy (release 18 on),
    read from the version file it ships, without importing it; False when unknown."""
    try:
        with open(os.path.join(package, "_generated_version.py"), encoding="utf-8") as file:
            match = re.search(r"^__version__ = version = '(\d+)\.", file.read(), re.M)
    except OSError:
        return False
    return match is not None and int(match.group(1)) >= 18


def _kept_out() -> List[str]:
    if not quorvane_cli.PROGRAM:
        return []
    names = ["cloudpickle"]
    found = importlib.util.find_spec("pyarrow")
    if found is not None and found.origin and numpy_optional(os.path.dirname(found.origin)):
        names.append("numpy")
    return [name for name in names if name not in sys.modules]


_KEPT_OUT = _kept_out()
for _name in _KEPT_OUT:
    sys.modules[_name] = None  # type: ignore[assignment]
try:
    import pyarrow as pa
    import pyarrow.csv as pa_csv
finally:
    for _name in _KEPT_OUT:
        del sys.modules[_name]

import quorvane_columns as qc
from quorvane_columns._native import DeriveCounter, csv_lines, longest

from quorvane_cli import stdlib_csv
from quorvane_cli.amounts import BLANK, CREDIT, DEBIT, EXACT, SIGNED, AmountFormat
from quorvane_cli.stdlib_csv import RULE_COLUMNS, BadAmount, Totals

#: Bytes parsed at a time: pyarrow reads several blocks ahead, so they stay small.
BLOCK_BYTES = 1 << 20

#: Whether a batch is best written on a thread of its own while the next is categorised:
#: the kernels that build its lines let go of the interpreter lock.
WRITE_BEHIND = True

#: Bytes of rows per batch handed to the engines: about 200,000 rows of a statement,
#: enough for them to split a batch over two threads.
BATCH_BYTES = 16 << 20

#: The same for batches that are only counted (derive): the counts are what stays, so
#: smaller batches and blocks keep the memory low; 45,000 rows still go on two threads.
COUNT_BLOCK_BYTES = 1 << 18
COUNT_BATCH_BYTES = 4 << 20

#: Sign, whole digits and fraction digits of an amount whose separators are gone.
_PARTS = r"^(?P<sign>[+-]?)(?P<whole>[0-9]*)(?:\.(?P<fraction>[0-9]*))?$"


def _text(text: str) -> Any:
    """A string scalar, built from buffers: pa.scalar() and pa.array() look for pandas
    objects first, importing pandas where installed, a third of a second of start-up."""
    data = text.encode("utf-8")
    offsets = pa.py_buffer((0).to_bytes(4, "little") + len(data).to_bytes(4, "little"))
    return pa.Array.from_buffers(pa.string(), 1, [None, offsets, pa.py_buffer(data)])[0]


class _Blocks:
    """A stream's bytes, read as pyarrow's streaming CSV reader reads its blocks, but never
    ending a read on a CR: the read goes on to the first byte after the CRs that end it.

    With newlines_in_values, the reader (pyarrow 26.0.1 at least) loses the LF of a CR LF
    inside a quoted cell when the CR is the last byte of one block and the LF the first of
    the next: the cell reads "\r" where the file holds "\r\n", and nothing fails. (A row's
    own CR LF cut there is harmless: its LF reads as a blank line, which is skipped.) The
    blocks are its reads of block_size bytes from where reading starts, after transcoding,
    so they are cut here, in the UTF-8 that it parses. A read is made longer rather than
    shorter: a row ending on the CR stays in the block it ended in, as pyarrow refuses a
    row that spans more than two blocks."""

    closed = False  # as pa.PythonFile asks of a file

    #: Seconds stop() waits for a read that may be about to start: the reader's thread
    #: starts the next one at once, unless it has read as far ahead as it may.
    NEXT_READ_SECONDS = 0.25

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.held = b""  # read past the end of the last block
        self.state = threading.Condition()
        self.reading = 0  # reads under way, on pyarrow's own thread
        self.stopped = False
        self.ended = False  # a read has given the end: the reader's thread reads no more

    def read(self, size: int) -> bytes:
        with self.state:
            if self.stopped:
                self.ended = True
                self.state.notify_all()
                return b""
            self.reading += 1
        data = b""
        try:
            data = self._read(size)
        finally:
            with self.state:
                self.reading -= 1
                self.ended = self.ended or not data
                self.state.notify_all()
        return data

    def stop(self) -> None:
        """Reads from now on give the end of the stream, and this returns once none is under
        way and one has given the end (or no next one started). pyarrow reads ahead on a
        thread of its own, into this Python code: left reading when a run ends early (a
        failure found in the first rows), it called into an interpreter shutting down, and
        the process aborted or hung at exit."""
        with self.state:
            self.stopped = True
            self.state.wait_for(lambda: self.reading == 0)
            self.state.wait_for(lambda: self.ended, self.NEXT_READ_SECONDS)

    def _read(self, size: int) -> bytes:
        data = self.held + self.stream.read(max(size - len(self.held), 0))
        self.held = b""
        more = [data]
        while more[-1].endswith(b"\r"):
            chunk = self.stream.read(64)
            end = len(chunk) - len(chunk.lstrip(b"\r")) + 1
            more.append(chunk[:end])
            self.held = chunk[end:]
            if end <= len(chunk):
                break
        return b"".join(more) if len(more) > 1 else data


def _cuts_cr_lf(path: str, start: int, block: int) -> bool:
    """Whether a block of `block` bytes read from `start` would end between a CR and an LF:
    two bytes read at each block's end."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        return any(os.pread(file.fileno(), 2, end - 1) == b"\r\n"
                   for end in range(start + block, size, block))


class Reader:
    """The data rows of a UTF-8, -16 or -32 CSV file from a byte offset (past the header), as
    string columns; empty cells are empty strings, never nulls."""

    def __init__(self, path: str, encoding: str, offset: int, delimiter: str, width: int) -> None:
        self.path, self.encoding = path, encoding
        self.file = pa.OSFile(path)
        self.file.seek(offset)
        names = [str(i) for i in range(width)]
        self.options = (
            dict(column_names=names, encoding="utf8", use_threads=False),
            pa_csv.ParseOptions(delimiter=delimiter, newlines_in_values=True),
            pa_csv.ConvertOptions(column_types=dict.fromkeys(names, pa.string()),
                                  strings_can_be_null=False, quoted_strings_can_be_null=False))
        self.limit = csv.field_size_limit()
        self.source: Optional[_Blocks] = None  # what pyarrow reads, where it is Python code
        self.blocks: Any = None  # pyarrow's streaming reader

    def batches(self, counted: bool = False) -> Iterator[List[Any]]:
        """Columns of about BATCH_BYTES of rows at a time (chunked arrays), or
        COUNT_BATCH_BYTES of them for batches that are only `counted`."""
        read, parse, convert = self.options
        block, size = (COUNT_BLOCK_BYTES, COUNT_BATCH_BYTES) if counted else (BLOCK_BYTES, BATCH_BYTES)
        try:
            self.blocks = pa_csv.open_csv(self._source(block),
                                          read_options=pa_csv.ReadOptions(block_size=block, **read),
                                          parse_options=parse, convert_options=convert)
        except pa.ArrowInvalid as exc:
            if str(exc).startswith("Empty CSV file"):
                return  # nothing after the header but blank lines
            raise
        # The next batch is parsed on a second thread (pyarrow lets go of the interpreter
        # lock meanwhile) while this one is categorised or counted and written.
        with concurrent.futures.ThreadPoolExecutor(1) as ahead:
            coming = ahead.submit(self._gather, size)
            while True:
                columns = coming.result()
                if columns is None:
                    return
                coming = ahead.submit(self._gather, size)
                yield columns

    def _source(self, block: int) -> Any:
        """What pyarrow reads, in blocks of `block` bytes: the file itself, read without the
        interpreter's lock, where none of its blocks would end between a CR and an LF; else
        its bytes through _Blocks, transcoded first as pyarrow would transcode them."""
        if self.encoding == "utf-8" and not _cuts_cr_lf(self.path, self.file.tell(), block):
            return self.file
        stream = self.file if self.encoding == "utf-8" else pa.transcoding_input_stream(
            self.file, self.encoding, "utf8")
        self.source = _Blocks(stream)
        return pa.PythonFile(self.source, mode="r")

    def _gather(self, size: int) -> Optional[List[Any]]:
        """The columns of the next blocks, about `size` bytes of them; None at the end."""
        gathered, total = [], 0
        blocks = self.blocks
        if blocks is None:
            return None  # closed
        for block in blocks:
            if block.num_rows:
                gathered.append(block)
                total += block.nbytes
                if total >= size:
                    break
        if not gathered:
            return None
        return [pa.chunked_array([b.column(i) for b in gathered], pa.string())
                for i in range(gathered[0].num_columns)]

    def check(self, columns: Sequence[Any]) -> None:
        """Fields longer than the csv module reads are refused, as that path refuses them."""
        for column in columns:
            if _longest(column) > self.limit:
                import pyarrow.compute as pc

                if (pc.max(pc.utf8_length(column)).as_py() or 0) > self.limit:
                    raise ValueError("field larger than field limit")

    def position(self) -> int:
        return int(self.file.tell())

    def close(self) -> None:
        # pyarrow's reader let go of here, while Python runs, and never reading into Python
        # again (see _Blocks.stop); a file read natively needs neither.
        if self.source is not None:
            self.source.stop()
        self.blocks = None
        self.file.close()


# ---------------------------------------------------------------- writing


def write(sink: Any, columns: Sequence[Any], delimiter: str) -> None:
    """A batch's columns (strings or integers, a null an empty cell) as CSV lines. They
    are built natively, quoted as the csv module quotes: pyarrow's own CSV writer quotes
    every string cell, so its files would differ from the stdlib path's."""
    if columns and len(columns[0]):
        sink.write(csv_lines([_Handover(column) for column in columns], delimiter))


def _longest(column: Any) -> int:
    """The largest number of bytes in a cell of a string column."""
    return longest(_Handover(column))


def _int32(value: int) -> Any:
    """An int32 scalar, built from a buffer (see _text)."""
    return pa.Array.from_buffers(pa.int32(), 1, [None, pa.py_buffer(
        value.to_bytes(4, "little", signed=True))])[0]


def _chunks(array: Any) -> List[Any]:
    return array.chunks if isinstance(array, pa.ChunkedArray) else [array]


# ---------------------------------------------------------------- engines and results


class _Handover:
    """A chunked array or a table offered through the C stream interface alone:
    quorvane_columns then answers with its own table, which is read back as a stream.
    (Handed a pyarrow object, it answers through pa.table(), which imports pandas where
    installed: a third of a second of start-up.)"""

    def __init__(self, data: Any) -> None:
        self.data = data

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.data.__arrow_c_stream__(requested_schema)


def _table(result: Any) -> Any:
    return pa.RecordBatchReader.from_stream(result).read_all()


def categorize(narrations: Any, rules: Any) -> Any:
    """Each narration's winning rule: a table of `rule`, `category`, `merchant`."""
    return _table(qc.categorize(_Handover(narrations), rules))


def count_examples(counter: DeriveCounter, narrations: Any, categories: Any,
                   merchants: Any) -> int:
    """Counts one batch of examples into `counter`; gives how many it left out."""
    return counter.add(_Handover(narrations), _Handover(categories), _Handover(merchants))


def without_unlabelled(columns: Sequence[Any]) -> Tuple[List[Any], int]:
    """A batch's narration, category and merchant columns without the rows whose category
    and merchant are both empty, and how many those were."""
    import pyarrow.compute as pc

    blank = pc.and_(pc.equal(columns[1], _text("")), pc.equal(columns[2], _text("")))
    skipped = pc.sum(blank).as_py() or 0
    if not skipped:
        return list(columns), 0
    keep = pc.invert(blank)
    return [pc.filter(column, keep) for column in columns], skipped


def derived_rules(counter: DeriveCounter) -> List[List[str]]:
    """The rules of every example counted, as rows of pattern, category and merchant."""
    rules = _table(counter.finish())
    return [list(row) for row in zip(*(rules.column(name).to_pylist() for name in RULE_COLUMNS))]


def joined(chunks: Sequence[Any]) -> Any:
    """One column's batches as one column, for an engine that needs every row at once;
    quorvane_columns answers it with its own tables."""
    return _Handover(pa.chunked_array([c for chunk in chunks for c in _chunks(chunk)],
                                      pa.string()))


def texts(values: Any) -> Any:
    """A result column (rule numbers, or labels) as cells: write() takes it as it is."""
    return values


def _units(columns: Sequence[Any], amounts: Sequence[Tuple[int, int]],
           fmt: AmountFormat, marks: Optional[int]) -> Tuple[Any, int]:
    """Each row's amount in whole units of 10^-scale, and the scale: the largest number of
    fraction digits in the batch. ArrowInvalid when a value leaves 64-bit integers;
    BadAmount as stdlib_csv.totals gives it."""
    import pyarrow.compute as pc

    def matches(cells: Any, pattern: str) -> Any:
        return pc.match_substring_regex(cells, f"^(?:{pattern})$")

    # What must hold of each row, in the order stdlib_csv.totals reads its cells.
    checks = [(matches(columns[column], fmt.pattern), column) for column, _ in amounts]
    debit = None
    if marks is not None:
        cells = columns[amounts[0][0]]
        debit = matches(columns[marks], DEBIT)
        credit = matches(columns[marks], CREDIT)
        unmarked = pc.and_(matches(columns[marks], BLANK), matches(cells, BLANK))
        checks.append((pc.or_(pc.or_(debit, credit), unmarked), marks))
        checks.append((pc.invert(pc.match_substring_regex(cells, f"^(?:{SIGNED})")), amounts[0][0]))
    every = checks[0][0]
    for valid, _ in checks[1:]:
        every = pc.and_(every, valid)
    if not pc.all(every).as_py():
        row = every.to_pylist().index(False)
        raise BadAmount(row, next(column for valid, column in checks if not valid[row].as_py()))
    parts = []
    for column, sign in amounts:
        plain = pc.replace_substring_regex(columns[column], fmt.removed, "")
        if fmt.mark != ".":
            plain = pc.replace_substring(plain, fmt.mark, ".")
        parsed = pc.extract_regex(plain, _PARTS)
        parts.append(([pc.struct_field(parsed, [i]) for i in range(3)], sign))
    scale = max((pc.max(pc.utf8_length(p[2])).as_py() or 0) for p, _ in parts)
    total: Any = None
    for p, sign in parts:
        sign_text, whole, fraction = p
        digits = pc.binary_join_element_wise(
            _text("0"), whole, pc.utf8_rpad(fraction, width=scale, padding="0"), _text(""))
        units = pc.cast(digits, pa.int64())
        if debit is not None:  # unsigned, as the marks say
            units = pc.if_else(debit, pc.negate_checked(units), units)
        elif sign < 0:  # money out, with or without the bank's minus sign
            units = pc.negate_checked(units)
        else:
            units = pc.if_else(pc.equal(sign_text, _text("-")), pc.negate_checked(units), units)
        total = units if total is None else pc.add_checked(total, units)
    return total, scale


def totals(columns: Sequence[Any], result: Any, amounts: Sequence[Tuple[int, int]],
           fmt: AmountFormat, marks: Optional[int] = None) -> Totals:
    """Count and amount per (category, merchant), as stdlib_csv.totals gives them: rows
    sorted by their rule, each run of one rule summed from a running total."""
    import pyarrow.compute as pc

    values: Any = None
    scale = 0
    if amounts:
        try:
            values, scale = _units(columns, amounts, fmt, marks)
        except pa.ArrowInvalid:  # more than 18 digits: the exact path, row by row
            plain = {name: result.column(name).to_pylist() for name in ("category", "merchant")}
            return stdlib_csv.totals([c.to_pylist() for c in columns], plain, amounts, fmt, marks)
    rules = pc.fill_null(result.column("rule").combine_chunks(), _int32(-1))
    order = pc.sort_indices(rules)
    runs = pc.run_end_encode(pc.take(rules, order))
    ends = runs.run_ends.to_pylist()
    running = None
    if values is not None:
        try:
            lasts = array.array("q", [end - 1 for end in ends])
            running = pc.take(pc.cumulative_sum_checked(pc.take(values, order)), pa.Array.from_buffers(
                pa.int64(), len(lasts), [None, pa.py_buffer(lasts)])).to_pylist()
        except pa.ArrowInvalid:  # a running total past 64 bits: the exact path
            plain = {name: result.column(name).to_pylist() for name in ("category", "merchant")}
            return stdlib_csv.totals([c.to_pylist() for c in columns], plain, amounts, fmt, marks)
    categories, merchants = result.column("category"), result.column("merchant")
    out: Totals = {}
    start = 0
    for i, (end, rule) in enumerate(zip(ends, runs.values.to_pylist())):
        row = order[start].as_py()
        key = None if rule < 0 else (categories[row].as_py(), merchants[row].as_py())
        units = 0 if running is None else running[i] - (running[i - 1] if i else 0)
        amount = EXACT.scaleb(Decimal(units), -scale)
        count, total = out.get(key, (0, Decimal(0)))  # rules may share their labels
        out[key] = (count + end - start, EXACT.add(total, amount))
        start = end
    return out
