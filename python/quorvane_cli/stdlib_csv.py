"""quorvane_cli.stdlib_csv: CSV read and written by the standard library's csv module.

This path needs nothing beyond Python, reads any stream (standard input, pipes) and is
the reference the pyarrow path (arrow_csv) must match byte for byte.
"""

from __future__ import annotations

import codecs
import csv
import io
import itertools
from decimal import Decimal
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import quorvane_columns as qc
from quorvane_columns._native import DeriveCounter

from quorvane_cli.amounts import EXACT, AmountFormat, blank, side, signed
from quorvane_cli.failures import UserError, os_failure, where

#: Bytes decoded at a time (then up to the end of a line).
BLOCK_BYTES = 1 << 20

#: Rows handed to the engines per call: large enough to amortise a call, small enough that
#: a batch's Python objects stay a few megabytes.
CHUNK_ROWS = 50_000

#: Lines are built by Python code, which holds the interpreter lock: a thread of their own
#: would only take turns with the reading.
WRITE_BEHIND = False

#: A line read after the file's last: a row of its own, unless a quoted field is still open
#: at the end of the file, which then ends in it (non-characters, so that no text does).
END_MARK = "\ufdd0quorvane: end of file\ufdd1"

#: The columns of derived rules, in order.
RULE_COLUMNS = ("pattern", "category", "merchant")

#: A batch's columns, in the header's order.
Columns = List[List[str]]

#: Totals per (category, merchant), None for the unmatched: (count, amount).
Totals = Dict[Optional[Tuple[str, str]], Tuple[int, Decimal]]


class BadAmount(Exception):
    """A cell that is no amount: its row in the batch and its column."""

    def __init__(self, row: int, column: int) -> None:
        super().__init__(row, column)
        self.row = row
        self.column = column


def undecodable(path: str, encoding: str, bom: bool, offset: int, line: int) -> UserError:
    """The failure for bytes that do not decode, at a byte offset from the file's start."""
    name = encoding.upper()
    why = ("though the file starts with its byte order mark" if bom
           else "and no byte order mark names another encoding")
    return UserError(where(path, line), f"byte {offset} is not {name} text, {why}; convert "
                     f"the file to UTF-8 first, e.g. iconv -f WINDOWS-1252 -t UTF-8")


def line_breaks(text: str) -> int:
    """Lines ended in text: by \\n, \\r\\n or a lone \\r, as the csv module counts them."""
    return text.count("\n") + text.count("\r") - text.count("\r\n")


class TextBlocks:
    """The text of a binary stream, decoded a block at a time. Each block is cut after a
    line break, so that the csv module never sees a line in two pieces and its line_num
    counts the lines of the whole file."""

    def __init__(self, file: IO[bytes], path: str, encoding: str, bom: int, head: bytes) -> None:
        """Decodes head (the bytes already read, byte order mark included), then the rest."""
        self.file, self.path, self.encoding, self.bom = file, path, encoding, bom
        self.decoder = codecs.getincrementaldecoder(encoding)("strict")
        self.fed = bom  # bytes of the file passed to the decoder, or skipped
        self.carry = ""
        self.lines: Callable[[], int] = lambda: 0  # lines of the earlier blocks, as read
        self.first = self._decode(head[bom:], final=False)

    def _decode(self, data: bytes, final: bool) -> str:
        pending = len(self.decoder.getstate()[0])
        try:
            text = self.decoder.decode(data, final)
        except UnicodeDecodeError as exc:
            start = exc.start - pending  # exc.start counts the bytes the decoder held back
            valid = codecs.decode(exc.object[:exc.start], self.encoding)
            line = self.lines() + line_breaks(self.carry + valid) + 1
            raise undecodable(self.path, self.encoding, self.bom > 0, self.fed + start,
                              line) from None
        self.fed += len(data)
        return text

    def _cut(self, text: str) -> str:
        text = self.carry + text
        # After the last \n, or the last \r that is not the text's end (a \n may follow).
        cut = max(text.rfind("\n"), text.rfind("\r", 0, len(text) - 1)) + 1
        self.carry = text[cut:]
        return text[:cut]

    def __iter__(self) -> Iterator[io.StringIO]:
        # A newline="" StringIO yields lines as a newline="" file would (ending in \n, \r\n
        # or a lone \r), which is what the csv module wants.
        text = self._cut(self.first)
        while True:
            if text:
                yield io.StringIO(text, newline="")
            try:
                data = self.file.read(BLOCK_BYTES)
            except OSError as exc:
                raise os_failure(self.path, exc) from None
            if not data:
                rest = self.carry + self._decode(b"", final=True)
                if rest:
                    yield io.StringIO(rest, newline="")
                return
            text = self._cut(self._decode(data, final=False))


class Reader:
    """The rows of a CSV text, with the line each starts on. Blank lines are skipped; every
    other row must have as many fields as the header."""

    def __init__(self, blocks: TextBlocks, delimiter: str) -> None:
        self.blocks = blocks
        lines = itertools.chain(itertools.chain.from_iterable(blocks), [END_MARK])
        self.reader = csv.reader(lines, delimiter=delimiter)
        blocks.lines = lambda: self.reader.line_num
        self.header: Optional[List[str]] = None
        self.line = 1  # the header's line

    def rows(self) -> Iterator[Tuple[int, List[str]]]:
        reader = self.reader
        last = reader.line_num
        try:
            for fields in reader:
                start, last = last + 1, reader.line_num
                if fields and fields[-1].endswith(END_MARK):
                    # The csv module ends a quoted field at the end of the file without a
                    # word, and the rows after a stray quote would vanish into that field.
                    if fields != [END_MARK]:
                        raise UserError(where(self.blocks.path, start), "a quoted field is not "
                                        "closed: its closing quote is missing, and the rest of "
                                        "the file would be read as part of this row")
                    return
                if fields:
                    yield start, fields
        except csv.Error as exc:
            raise UserError(where(self.blocks.path, last + 1), str(exc)) from None

    def read_header(self) -> Optional[List[str]]:
        """The first row that is not blank (None for a file with none), after the line
        `sep=;` by which Excel names the delimiter (it reads as "sep=" and an empty cell)."""
        self.line, self.header = next(self.rows(), (1, None))
        if self.header == ["sep=", ""]:
            self.line, self.header = next(self.rows(), (self.line, None))
        return self.header

    def batches(self, size: int = 0) -> Iterator[Tuple[List[int], Columns]]:
        """The data rows as columns, `size` rows at a time (CHUNK_ROWS by default), with the
        line each row starts on."""
        assert self.header is not None
        size = size or CHUNK_ROWS
        width = len(self.header)
        lines: List[int] = []
        rows: List[List[str]] = []
        for line, fields in self.rows():
            if len(fields) != width:
                raise UserError(where(self.blocks.path, line), miscount(len(fields), width,
                                                                        self.reader.dialect.delimiter))
            lines.append(line)
            rows.append(fields)
            if len(rows) == size:
                yield lines, _columns(rows, width)
                lines, rows = [], []
        if rows:
            yield lines, _columns(rows, width)


def miscount(fields: int, width: int, delimiter: str) -> str:
    """Why a row's fields do not fit the header, with the usual causes in bank statements;
    guessing which cells belong where could read an amount as a narration."""
    if fields < width:
        return (f"{fields} fields where the header has {width}: remove the line if it is no "
                "transaction (a total or balance below the statement)")
    return (f"{fields} fields where the header has {width}: quote a cell that holds "
            f"{delimiter!r}, or name the extra columns in the header if every row has them")


def _columns(rows: List[List[str]], width: int) -> Columns:
    # Lists, not the tuples zip() makes: quorvane_columns reads a tuple as (table, column name).
    return list(map(list, zip(*rows))) if rows else [[] for _ in range(width)]


# ---------------------------------------------------------------- writing


def lines_of(rows: Any, delimiter: str) -> bytes:
    """Rows as CSV lines in UTF-8: fields quoted only where they must be, lines ended CRLF
    (RFC 4180; with it every Python version quotes a field holding a lone \\r)."""
    text = io.StringIO()
    csv.writer(text, delimiter=delimiter, lineterminator="\r\n").writerows(rows)
    return text.getvalue().encode("utf-8")


def write(sink: Any, columns: Sequence[Sequence[str]], delimiter: str) -> None:
    """A batch's columns, as CSV lines."""
    sink.write(lines_of(zip(*columns), delimiter))


# ---------------------------------------------------------------- engines and results


def categorize(narrations: List[str], rules: Any) -> Dict[str, List[Any]]:
    """Each narration's winning rule (`rule`, `category`, `merchant`; None where none)."""
    return qc.categorize(narrations, rules)  # type: ignore[no-any-return]


def count_examples(counter: DeriveCounter, narrations: List[str], categories: List[str],
                   merchants: List[str]) -> int:
    """Counts one batch of examples into `counter`; gives how many it left out."""
    return counter.add(narrations, categories, merchants)


def without_unlabelled(columns: List[List[str]]) -> Tuple[List[List[str]], int]:
    """A batch's narration, category and merchant columns without the rows whose category
    and merchant are both empty, and how many those were."""
    kept = [row for row in zip(*columns) if row[1] or row[2]]
    return [list(cells) for cells in zip(*kept)] if kept else [[], [], []], len(columns[0]) - len(kept)


def derived_rules(counter: DeriveCounter) -> List[List[str]]:
    """The rules of every example counted, as rows of pattern, category and merchant."""
    rules = counter.finish().to_pydict()
    return [list(row) for row in zip(*(rules[name] for name in RULE_COLUMNS))]


def joined(chunks: Sequence[Sequence[str]]) -> List[str]:
    """One column's batches as one column, for an engine that needs every row at once."""
    return [cell for chunk in chunks for cell in chunk]


def texts(values: Sequence[Any]) -> List[str]:
    """A result column as cells: None as an empty cell, numbers in decimal."""
    return ["" if value is None else str(value) for value in values]


def totals(columns: Columns, result: Dict[str, List[Any]],
           amounts: Sequence[Tuple[int, int]], fmt: AmountFormat,
           marks: Optional[int] = None) -> Totals:
    """Count and amount per (category, merchant) of a categorised batch; the amount of a
    row is the sum of its `amounts` cells (column, sign: +1 or -1), zero without any. With
    `marks`, the column whose cells say whether each row's amount is money out or in, the
    amount (one column) is written without a sign and the mark gives it one.

    BadAmount names the first row that does not read, and in it the first cell: the
    amount when it is no amount; the mark when it is no mark, or blank beside an amount;
    the amount when it has a sign of its own beside a mark."""
    sums: Dict[Optional[Tuple[str, str]], List[Any]] = {}
    keys = [None if c is None else (c, m) for c, m in zip(result["category"], result["merchant"])]
    cells = [(columns[column], column, sign) for column, sign in amounts]
    sides = None if marks is None else (columns[marks], marks)
    parse, add, subtract = fmt.parse, EXACT.add, EXACT.subtract
    for row, key in enumerate(keys):
        amount = Decimal(0)
        for values, column, sign in cells:
            value = parse(values[row])
            if value is None:
                raise BadAmount(row, column)
            if sides is not None:
                said = side(sides[0][row])
                if said is None or (said == 0 and not blank(values[row])):
                    raise BadAmount(row, sides[1])
                if signed(values[row]):
                    raise BadAmount(row, column)
                amount = add(amount, value) if said >= 0 else subtract(amount, value)
                continue
            # Money out is money out whether the bank writes it as 45.00 or -45.00.
            amount = add(amount, value) if sign > 0 else subtract(amount, value.copy_abs())
        entry = sums.get(key)
        if entry is None:
            sums[key] = [1, amount]
        else:
            entry[0] += 1
            entry[1] = add(entry[1], amount)
    return {key: (count, amount) for key, (count, amount) in sums.items()}
