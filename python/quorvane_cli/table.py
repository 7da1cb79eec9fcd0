"""quorvane_cli.table: CSV files in and out, user errors, and the progress bar."""

from __future__ import annotations

import csv
import os
import re
import sys
import time
import unicodedata
from typing import IO, Iterator, List, Optional, Sequence, Tuple

#: Rows handed to the module per call: large enough to amortise a call, small enough that
#: a chunk's Python objects stay a few megabytes.
CHUNK_ROWS = 50_000

#: Splits after each carriage return that no line feed follows.
_LONE_CR = re.compile(rb"(?<=\r)(?!\n)")

#: A data row with the file line it starts on (1 is the header).
Row = Tuple[int, List[str]]


class UserError(Exception):
    """A mistake in what the user gave: shown as one line, `quorvane: WHERE: MESSAGE`, exit 2."""

    def __init__(self, where: str, message: str) -> None:
        super().__init__(f"{where}: {message}")


def where(path: str, row: Optional[int] = None, column: Optional[str] = None) -> str:
    """The FILE:ROW:COLUMN prefix of an error; ROW is a line number, 1 for the header."""
    parts = [path if path != "-" else "<stdin>"]
    if row is not None:
        parts.append(str(row))
    if column is not None:
        parts.append(column)
    return ":".join(parts)


def open_input(path: str) -> IO[bytes]:
    """The named file in binary mode, or standard input for "-"."""
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as exc:
        raise UserError(path, exc.strerror or str(exc)) from None


def read_all(path: str) -> bytes:
    """The whole of a (small) file, or of standard input for "-"."""
    f = open_input(path)
    try:
        return f.read()
    except OSError as exc:
        raise UserError(path, exc.strerror or str(exc)) from None
    finally:
        if f is not sys.stdin.buffer:
            f.close()


class Progress:
    """A one-line progress bar on standard error, drawn only when that is a terminal."""

    WIDTH = 30

    def __init__(self, label: str, total_bytes: Optional[int]) -> None:
        self.enabled = sys.stderr.isatty()
        self.label = label
        self.total = total_bytes
        self.shown = False
        self._last = 0.0

    def update(self, done_bytes: int, rows: int) -> None:
        now = time.monotonic()
        if not self.enabled or now - self._last < 0.1:
            return
        self._last = now
        if self.total:
            share = min(done_bytes / self.total, 1.0)
            filled = int(share * self.WIDTH)
            bar = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {share:4.0%} "
        else:
            bar = ""
        sys.stderr.write(f"\r\x1b[K{self.label} {bar}{rows:,} rows")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        """Erase the bar, before other output reaches the terminal and when the work is done."""
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False
            self._last = 0.0


class CsvSource:
    """A CSV file with a header row, read in chunks of rows: UTF-8 with or without a byte
    order mark, any line ending. Blank lines are skipped; every other row must have as
    many fields as the header."""

    def __init__(self, path: str, verb: str, file: Optional[IO[bytes]] = None) -> None:
        """Reads the file at path, or the given file (path then only names it in errors)."""
        self.path = path
        self.file = open_input(path) if file is None else file
        try:
            size: Optional[int] = os.fstat(self.file.fileno()).st_size or None
        except (OSError, ValueError):
            size = None
        self.progress = Progress(f"quorvane {verb}", size)
        self.bytes_read = 0
        self.line = 0  # physical lines read so far
        self.reader = csv.reader(self._lines())
        try:
            first = self._next_row()
            if first is None:
                raise UserError(where(path, 1), "empty file: expected a header row")
        except BaseException:
            self.close()
            raise
        self.header = first[1]

    def close(self) -> None:
        self.progress.clear()
        if self.file is not sys.stdin.buffer:
            self.file.close()

    def __enter__(self) -> CsvSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _lines(self) -> Iterator[str]:
        # Binary lines, decoded one at a time: line-break bytes never occur inside a UTF-8
        # sequence, and counting bytes here gives the progress without tell(). The csv
        # module wants what a newline="" text file yields: lines ending in \n, \r\n or a
        # lone \r, so a lone \r inside a binary line ends a line too.
        for raw in self.file:
            self.bytes_read += len(raw)
            if self.line == 0 and raw.startswith(b"\xef\xbb\xbf"):
                raw = raw[3:]
            for piece in _LONE_CR.split(raw) if b"\r" in raw[:-2] else (raw,):
                self.line += 1
                try:
                    yield piece.decode("utf-8")
                except UnicodeDecodeError as exc:
                    raise UserError(
                        where(self.path, self.line),
                        f"not UTF-8 text (byte {exc.start + 1} of the line)",
                    ) from None

    def _next_row(self) -> Optional[Row]:
        while True:
            start = self.line + 1
            try:
                fields = next(self.reader)
            except StopIteration:
                return None
            except csv.Error as exc:
                raise UserError(where(self.path, start), str(exc)) from None
            if fields:
                return start, fields

    def column(self, names: Sequence[str], option: Optional[str] = None) -> int:
        """The index of the first of names (letter case ignored) among the header's columns;
        a UserError listing the columns when none is there."""
        folded = [name.strip().casefold() for name in self.header]
        for name in names:
            if name.casefold() in folded:
                return folded.index(name.casefold())
        wanted = ", ".join(repr(name) for name in names[:-1])
        wanted = f"{wanted} or {names[-1]!r}" if wanted else repr(names[-1])
        hint = f"; choose one with {option}" if option else ""
        listed = ", ".join(repr(name) for name in self.header)
        raise UserError(where(self.path, 1), f"no column named {wanted} (the columns are {listed}){hint}")

    def chunks(self, size: int = 0) -> Iterator[List[Row]]:
        """Data rows, `size` at a time (CHUNK_ROWS by default)."""
        size = size or CHUNK_ROWS
        rows = 0
        chunk: List[Row] = []
        while True:
            row = self._next_row()
            if row is None:
                break
            if len(row[1]) != len(self.header):
                raise UserError(
                    where(self.path, row[0]),
                    f"{len(row[1])} fields where the header has {len(self.header)}",
                )
            chunk.append(row)
            if len(chunk) == size:
                rows += len(chunk)
                yield chunk
                self.progress.update(self.bytes_read, rows)
                chunk = []
        if chunk:
            yield chunk


class CsvSink:
    """CSV rows to a file, written to a temporary name and renamed once complete (so a
    failed run leaves no half-written output), or to standard output for None or "-"."""

    def __init__(self, path: Optional[str], progress: Optional[Progress] = None) -> None:
        self.path = None if path in (None, "-") else path
        self.progress = progress
        if self.path is None:
            self.stream = utf8_stdout()
        else:
            self.temp = f"{self.path}.part"
            try:
                self.stream = open(self.temp, "w", encoding="utf-8", newline="")
            except OSError as exc:
                raise UserError(self.path, exc.strerror or str(exc)) from None
        # RFC 4180's CRLF: with it, every Python version quotes fields holding a lone \r.
        self.writer = csv.writer(self.stream, lineterminator="\r\n")

    def write(self, rows: Sequence[Sequence[object]]) -> None:
        if self.progress is not None and self.path is None:
            self.progress.clear()  # the bar and the rows may share a terminal
        self.writer.writerows(rows)

    def close(self, complete: bool) -> None:
        if self.path is None:
            self.stream.flush()
            return
        self.stream.close()
        if complete:
            os.replace(self.temp, self.path)
        else:
            os.unlink(self.temp)

    def __enter__(self) -> CsvSink:
        return self

    def __exit__(self, kind: object, *rest: object) -> None:
        self.close(complete=kind is None)


def utf8_stdout() -> IO[str]:
    """Standard output, writing UTF-8 whatever the locale says."""
    out = sys.stdout
    if (getattr(out, "encoding", "") or "").lower().replace("-", "") != "utf8":
        reconfigure = getattr(out, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(encoding="utf-8")
    return out


def display_width(text: str) -> int:
    """Terminal columns taken by text: combining marks take none, wide characters two."""
    width = 0
    for ch in text:
        if unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


def aligned(titles: Sequence[str], rows: Sequence[Sequence[str]], rule_before_last: bool = False) -> List[str]:
    """Rows under titles and a rule, the first column to the left, the others (numbers) to the
    right; optionally a second rule before the last row (a total)."""
    widths = [max(display_width(r[i]) for r in [titles, *rows]) for i in range(len(titles))]

    def line(values: Sequence[str]) -> str:
        cells = [values[0] + " " * (widths[0] - display_width(values[0]))]
        cells += [" " * (w - display_width(v)) + v for v, w in zip(values[1:], widths[1:])]
        return "  ".join(cells).rstrip()

    rule = line(["-" * w for w in widths])
    lines = [line(titles), rule] + [line(r) for r in rows]
    if rule_before_last and rows:
        lines.insert(len(lines) - 1, rule)
    return lines
