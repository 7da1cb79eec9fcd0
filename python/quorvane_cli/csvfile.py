"""quorvane_cli.csvfile: a CSV file opened for a command, read in batches by one of two paths.

Both paths read the same files the same way: the encoding from a byte order mark (UTF-8,
UTF-16 or UTF-32; UTF-8 without one), the delimiter given or detected from the header
line, a header row, then batches of rows as columns. The standard library's csv module
(stdlib_csv) reads any stream; pyarrow's streaming reader (arrow_csv, with the
`quorvane[cli]` extra) reads regular files several times faster. QUORVANE_CLI_CSV=stdlib
or =pyarrow chooses one; by default pyarrow reads files of PYARROW_FROM_BYTES or more,
where it is installed.
"""

from __future__ import annotations

import codecs
import csv
import contextlib
import functools
import importlib.util
import io
import itertools
import os
import re
import stat
import sys
from typing import IO, Any, Callable, Iterator, List, Optional, Sequence, Tuple

from quorvane_cli import stdlib_csv
from quorvane_cli.failures import UserError, os_failure, shown, where
from quorvane_cli.progress import Progress

#: The environment variable that chooses the path: "stdlib" or "pyarrow".
PATH_VARIABLE = "QUORVANE_CLI_CSV"

#: Files smaller than this are read by the stdlib path unless pyarrow is asked for: below
#: it, importing pyarrow (about 0.2 s) costs more than it saves.
PYARROW_FROM_BYTES = 4 << 20

#: Bytes read first, for the encoding, the delimiter and the header: a small block, since
#: the header is all that the standard library's reader reads before pyarrow takes over.
HEAD_BYTES = 1 << 16

#: --delimiter's values, and the delimiters detected from a header line (in this order).
DELIMITERS = {",": ",", ";": ";", "tab": "\t", "\t": "\t", "|": "|"}
_DETECTED = (",", ";", "\t", "|")

#: Byte order marks, longest first (UTF-32-LE's begins with UTF-16-LE's).
_BOMS = ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"),
         (codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
         (codecs.BOM_UTF16_BE, "utf-16-be"))


#: A line end after something that is not one: the end of the first line that is not blank.
_LINE_END = re.compile(rb"[^\r\n\x00][\x00]*[\r\n]")


def sniff(head: bytes) -> Tuple[str, int]:
    """The encoding a file's first bytes name by a byte order mark, and the mark's length;
    UTF-8 without one."""
    for bom, encoding in _BOMS:
        if head.startswith(bom):
            return encoding, len(bom)
    return "utf-8", 0


def detect_delimiter(text: str) -> str:
    """The delimiter of a header line: the most frequent of , ; tab | outside quotes (the
    first of them on a tie), or a comma when there is none (a single column)."""
    line = next((line for line in io.StringIO(text, newline="") if line.strip()), "")
    counts = dict.fromkeys(_DETECTED, 0)
    quoted = False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif not quoted and ch in counts:
            counts[ch] += 1
    best = max(_DETECTED, key=lambda d: counts[d])
    return best if counts[best] else ","


def pyarrow_chosen(size: int) -> bool:
    """Whether the pyarrow path reads a regular file of `size` bytes: as QUORVANE_CLI_CSV
    says, else where pyarrow is installed and the file is large enough to repay its import."""
    choice = os.environ.get(PATH_VARIABLE, "").strip().lower()
    if choice == "stdlib":
        return False
    installed = importlib.util.find_spec("pyarrow") is not None
    if choice == "pyarrow" and not installed:
        raise UserError(PATH_VARIABLE, 'pyarrow is not installed: pip install "quorvane[cli]"')
    if choice not in ("", "pyarrow"):
        raise UserError(PATH_VARIABLE, f"{choice!r}: expected 'stdlib' or 'pyarrow'")
    return installed and (choice == "pyarrow" or size >= PYARROW_FROM_BYTES)


class Batch:
    """Rows of a file as columns, one per header column: tuples of str (stdlib path) or
    pyarrow string arrays. `line(i)` is the line on which row i of the batch starts."""

    def __init__(self, columns: List[Any], line: Callable[[int], int]) -> None:
        self.columns = columns
        self.line = line


class CsvFile:
    """A CSV file with a header row, opened for reading: "-" is standard input, `data`
    bytes stand for the file's content (then the path only names it)."""

    def __init__(self, path: str, verb: str, delimiter: Optional[str] = None,
                 data: Optional[bytes] = None, fast: bool = True) -> None:
        self.path = path
        self.verb = verb
        self.arrow: Any = None
        self.file = self._open(path, data)
        try:
            self._start(verb, delimiter, fast and data is None)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _open(path: str, data: Optional[bytes]) -> IO[bytes]:
        if data is not None:
            return io.BytesIO(data)
        if path == "-":
            return sys.stdin.buffer
        try:
            return open(path, "rb")
        except OSError as exc:
            raise os_failure(path, exc) from None

    def _start(self, verb: str, delimiter: Optional[str], fast: bool) -> None:
        try:
            st = os.fstat(self.file.fileno())
            regular = stat.S_ISREG(st.st_mode)
            self.size: Optional[int] = st.st_size if regular else None
        except (OSError, ValueError, io.UnsupportedOperation):
            regular, self.size = False, None
        head = self._head()
        # Rows the file holds, at the rate of line ends in its first block (a guess).
        self.expected_rows = (self.size or 0) * head.count(b"\n") // max(len(head), 1)
        self.encoding, bom = sniff(head)
        if not bom and len(head) > 1 and (head[0] == 0) != (head[1] == 0):
            order = "LE" if head[1] == 0 else "BE"
            raise UserError(where(self.path, 1), "NUL bytes between the letters: this looks like "
                            "UTF-16 or UTF-32 text without a byte order mark; convert the file to "
                            f"UTF-8 first, e.g. iconv -f UTF-16{order} -t UTF-8")
        blocks = stdlib_csv.TextBlocks(self.file, self.path, self.encoding, bom, head)
        self.delimiter = delimiter or detect_delimiter(blocks.first)
        self.reader = stdlib_csv.Reader(blocks, self.delimiter)
        header = self.reader.read_header()
        if header is None:
            raise UserError(where(self.path, 1), "empty file: expected a header row")
        self.header: List[str] = header
        self.header_at = self.reader.line  # blank lines or Excel's sep= may come first
        self.first_text = blocks.first  # the first block, for hints
        self.progress = Progress(f"quorvane {verb}", self.size)
        # pyarrow opens the file by its path: standard input, even redirected from a file
        # (`< statement.csv`), has none.
        if fast and regular and self.path != "-" and pyarrow_chosen(self.size or 0):
            offset = self._data_offset(bom, blocks.first)
            if offset is not None:
                from quorvane_cli import arrow_csv

                self.arrow = arrow_csv.Reader(self.path, self.encoding, offset, self.delimiter,
                                              len(header))

    def _head(self) -> bytes:
        """The first HEAD_BYTES, extended to the end of the first line that is not blank
        (the delimiter is detected there), and long enough for any byte order mark."""
        head = b""
        try:
            while True:
                data = self.file.read(HEAD_BYTES)
                head += data
                if not data or (len(head) >= 4 and _LINE_END.search(head, 4)):
                    return head
        except OSError as exc:
            raise os_failure(self.path, exc) from None

    def _data_offset(self, bom: int, first: str) -> Optional[int]:
        """The byte offset where the data rows begin: after the byte order mark, any blank
        lines and the header's lines, which must end within the first block (else None)."""
        lines = io.StringIO(first, newline="")
        read = [lines.readline() for _ in range(self.reader.reader.line_num)]
        if not read[-1].endswith(("\n", "\r")):
            return None  # the header ends the file, or goes on past the first block
        offset = bom + len("".join(read).encode(self.encoding))
        mark = "\ufeff".encode(self.encoding)  # the first block may end at the offset
        if os.pread(self.file.fileno(), len(mark), offset) == mark:
            return None  # pyarrow would take the first cell's U+FEFF for a byte order mark
        return offset

    @property
    def kind(self) -> Any:
        """The module that writes and tallies this file's batches: arrow_csv or stdlib_csv."""
        if self.arrow is not None:
            from quorvane_cli import arrow_csv

            return arrow_csv
        return stdlib_csv

    def close(self) -> None:
        progress = getattr(self, "progress", None)
        if progress is not None:
            progress.clear()
        if self.arrow is not None:
            self.arrow.close()
        if self.file is not sys.stdin.buffer:
            self.file.close()

    def __enter__(self) -> CsvFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ------------------------------------------------------------ columns

    def column(self, names: Sequence[str], option: Optional[str] = None) -> int:
        """The index of the first of names (letter case ignored) among the header's columns;
        a failure listing the columns when none is there, or when two have that name."""
        folded = [name.strip().casefold() for name in self.header]
        for name in names:
            # Both sides without the spaces some banks pad names with (and a user copies).
            if name.strip().casefold() in folded:
                return self.only(folded.index(name.strip().casefold()))
        wanted = ", ".join(repr(name) for name in names[:-1])
        wanted = f"{wanted} or {names[-1]!r}" if wanted else repr(names[-1])
        listed = ", ".join(repr(name) for name in self.header)
        hint = f"; choose one with {option}" if option else ""
        if len(self.header) == 1:
            other = [d for d in _DETECTED if d != self.delimiter and d in self.header[0]]
            if other:
                # (a rules file's delimiter is always the one its header shows)
                option_hint = "" if self.verb == "rules" else " (--delimiter)"
                hint = f"; is the delimiter {other[0]!r}?{option_hint}"
        later = self._later_header(names)
        if later:
            hint = (f"; line {later} has such a column: remove the lines above it (the file "
                    "must begin with its header)")
        raise UserError(where(self.path, self.header_at),
                        f"no column named {wanted} (the columns are {listed}){hint}")

    def _later_header(self, names: Sequence[str]) -> Optional[int]:
        """The line, among the first block's next ones, that has a column of one of names
        under some delimiter: where the header is when a bank writes lines of its own
        (account, period) above it."""
        wanted = {name.strip().casefold() for name in names}
        lines = io.StringIO(self.first_text, newline="")
        for number, line in enumerate(itertools.islice(lines, 100), 1):
            if number <= self.header_at:
                continue
            for delimiter in _DETECTED:
                cells = next(csv.reader([line], delimiter=delimiter), [])
                if any(cell.strip().casefold() in wanted for cell in cells):
                    return number
        return None

    def present(self, names: Sequence[str]) -> List[int]:
        """The indices of the header's columns named by any of names, letter case ignored;
        a failure when two columns have one name."""
        wanted = {name.strip().casefold() for name in names}
        return [self.only(i) for i, name in enumerate(self.header)
                if name.strip().casefold() in wanted]

    def only(self, index: int) -> int:
        """`index`, when no other column has its name (letter case ignored): reading or
        replacing a column by a name two of them have would silently pick one."""
        key = self.header[index].strip().casefold()
        same = [i for i, name in enumerate(self.header) if name.strip().casefold() == key]
        if len(same) > 1:
            raise UserError(where(self.path, self.header_at),
                            f"columns {same[0] + 1} and {same[1] + 1} are both named "
                            f"{self.header[index].strip()!r}; rename one of them")
        return index

    # ------------------------------------------------------------ rows

    def batches(self, counted: bool = False) -> Iterator[Batch]:
        """The data rows, a batch at a time, in order; smaller batches where they are only
        `counted`, not written."""
        done = 0
        if self.arrow is None:
            for lines, columns in self.reader.batches():
                yield Batch(columns, lines.__getitem__)
                done += len(lines)
                self.progress.update(self.file.tell() if self.size else 0, done)
            return
        batches: Iterator[List[Any]] = self.arrow.batches(counted)
        last: Optional[List[Any]] = None
        while True:
            try:
                arrays = next(batches, None)
                if arrays is not None:
                    self.arrow.check(arrays)
            except Exception as exc:  # pyarrow's own failure types
                raise self._stdlib_failure(str(exc)) from None
            if arrays is None:
                # pyarrow, like the csv module, ends a quoted field that the file ends in; the
                # stdlib path refuses one, so it reads a file whose end may hold one.
                failure = self._stdlib_check() if last and self._may_end_quoted(last) else None
                if failure is not None:
                    raise failure
                return
            yield Batch(arrays, functools.partial(self._line_of, done))
            done += len(arrays[0]) if arrays else 0
            if arrays and len(arrays[0]):
                last = arrays
            self.progress.update(self.arrow.position(), done)

    @contextlib.contextmanager
    def _reread(self) -> Iterator[stdlib_csv.Reader]:
        """The stdlib reader over this file again, from its start, past the header."""
        file = self._open(self.path, None)
        try:
            head = file.read(stdlib_csv.BLOCK_BYTES)
            blocks = stdlib_csv.TextBlocks(file, self.path, self.encoding, sniff(head)[1], head)
            reader = stdlib_csv.Reader(blocks, self.delimiter)
            reader.read_header()
            yield reader
        finally:
            file.close()

    def _stdlib_check(self) -> Optional[UserError]:
        """The failure the stdlib path finds in this file, if any."""
        with self._reread() as reader:
            try:
                for _ in reader.batches():
                    pass
            except UserError as exc:
                return exc
        return None

    def _stdlib_failure(self, arrow_message: str) -> UserError:
        """The failure the stdlib path finds in this file where the pyarrow path failed, so
        that both paths say the same. Where that path reads the file whole (pyarrow refuses
        a row longer than its block, for one), the failure says to use it."""
        return self._stdlib_check() or UserError(
            shown(self.path), f"pyarrow cannot read this file "
            f"({arrow_message.splitlines()[0]}); {PATH_VARIABLE}=stdlib reads it")

    def _may_end_quoted(self, columns: List[Any]) -> bool:
        """Whether the last row's last cell may be a quoted field that the end of the file
        closed: it holds a line break, or the file's last line holds a quote (a cell without
        a line break lies on that line)."""
        column = columns[-1]
        cell = column[len(column) - 1].as_py()
        if "\n" in cell or "\r" in cell:
            return True
        unit = 4 if self.encoding.startswith("utf-32") else 2 if self.encoding.startswith(
            "utf-16") else 1
        start = max(0, (self.size or 0) - HEAD_BYTES)
        start -= start % unit  # byte order marks are whole units too
        with self._open(self.path, None) as f:
            f.seek(start)
            tail = f.read().decode(self.encoding, "ignore")
        cut = max(tail.rfind("\n"), tail.rfind("\r"))
        return (cut < 0 and start > 0) or '"' in tail[cut + 1:]

    def _line_of(self, before: int, row: int) -> int:
        """The line on which data row `before + row` (from 0) starts, found by the stdlib
        reader: only ever asked when a failure names the row."""
        with self._reread() as reader:
            for line, _ in itertools.islice(reader.rows(), before + row, None):
                return line
        raise AssertionError("a row past the end of the file")

    def header_line(self, fields: Sequence[str]) -> bytes:
        """A row written as the data rows are: this file's delimiter, CRLF, UTF-8."""
        return stdlib_csv.lines_of([fields], self.delimiter)

