"""quorvane_cli.table: CSV files in and out, user errors, and the progress bar."""

from __future__ import annotations

import csv
import io
import itertools
import os
import sys
import time
import unicodedata
from typing import IO, Iterator, List, Optional, Sequence, Tuple

#: Rows handed to the module per call: large enough to amortise a call, small enough that
#: a chunk's Python objects stay a few megabytes.
CHUNK_ROWS = 50_000

#: Bytes decoded at a time (then up to the end of that line).
BLOCK_BYTES = 1 << 20

#: Rows of a file and the line each starts on (1 is the header).
Chunk = Tuple[List[int], List[List[str]]]


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
        # One reader over the lines of every block, so that line_num counts file lines.
        self.reader = csv.reader(itertools.chain.from_iterable(self._blocks()))
        try:
            self.header = next(self._rows())[1]
        except StopIteration:
            self.close()
            raise UserError(where(path, 1), "empty file: expected a header row") from None
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        self.progress.clear()
        if self.file is not sys.stdin.buffer:
            self.file.close()

    def __enter__(self) -> CsvSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _blocks(self) -> Iterator[io.StringIO]:
        # The file is decoded a block at a time, each block cut after a line feed, so no
        # character or CRLF pair straddles two blocks. A newline="" StringIO yields lines
        # as a newline="" file would (ending in \n, \r\n or a lone \r), which is what the
        # csv module wants, and chain() hands them over without a Python call per line.
        while True:
            block = self.file.read(BLOCK_BYTES)
            if not block:
                return
            if not block.endswith(b"\n"):
                block += self.file.readline()
            if self.bytes_read == 0 and block.startswith(b"\xef\xbb\xbf"):
                block = block[3:]
            self.bytes_read += len(block)
            try:
                text = block.decode("utf-8")
            except UnicodeDecodeError as exc:
                raise self._not_utf8(block, exc.start) from None
            yield io.StringIO(text, newline="")

    def _not_utf8(self, block: bytes, offset: int) -> UserError:
        # The reader has taken every line of the earlier blocks: line_num counts them.
        before = block[:offset]
        breaks = before.count(b"\n") + before.count(b"\r") - before.count(b"\r\n")
        start = max(before.rfind(b"\n"), before.rfind(b"\r")) + 1
        return UserError(where(self.path, self.reader.line_num + breaks + 1),
                         f"not UTF-8 text (byte {offset - start + 1} of the line)")

    def _rows(self) -> Iterator[Tuple[int, List[str]]]:
        """Each row that is not blank, with the line it starts on."""
        reader = self.reader
        last = reader.line_num
        try:
            for fields in reader:
                start, last = last + 1, reader.line_num
                if fields:
                    yield start, fields
        except csv.Error as exc:
            raise UserError(where(self.path, last + 1), str(exc)) from None

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

    def chunks(self, size: int = 0) -> Iterator[Chunk]:
        """Data rows, `size` at a time (CHUNK_ROWS by default), with their line numbers."""
        size = size or CHUNK_ROWS
        width = len(self.header)
        done = 0
        lines: List[int] = []
        rows: List[List[str]] = []
        for line, fields in self._rows():
            if len(fields) != width:
                raise UserError(where(self.path, line),
                                f"{len(fields)} fields where the header has {width}")
            lines.append(line)
            rows.append(fields)
            if len(rows) == size:
                done += size
                yield lines, rows
                self.progress.update(self.bytes_read, done)
                lines, rows = [], []
        if rows:
            yield lines, rows


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
