"""quorvane_cli.output: where a command writes, without ever losing what stood there.

A regular file (or a new one) is written to a unique temporary file in the same folder
and renamed over the target once complete, keeping the target's mode; a symlink is
followed and its target replaced, the link kept; anything else (standard output, a pipe,
a terminal, a device, a path naming a descriptor) is written straight through. On any
failure, SIGINT or SIGTERM the temporary file is removed and an existing target is left
as it was.
"""

from __future__ import annotations

import contextlib
import os
import re
import signal
import stat
import sys
import tempfile
from typing import BinaryIO, Iterator, List, Optional, Sequence, Tuple

from quorvane_cli.failures import SystemFailure, UserError, os_failure, shown

#: Signals whose arrival must not interrupt a cleanup half way.
_SIGNALS = tuple(s for s in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None))
                 if s is not None)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Signals wait (they are not lost) until the block ends: for creating and removing a
    temporary file, which an exception raised by a handler must not split."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _identity(st: os.stat_result) -> Tuple[int, int]:
    return st.st_dev, st.st_ino


def descriptor(path: str) -> Optional[int]:
    """The descriptor of this process that a path names through /proc (/dev/stdout,
    /dev/fd/3, /proc/self/fd/1), or None. Such a path is the shell's redirection: opened
    again, it would be truncated or replaced, not appended to as `>>` asks."""
    own = re.compile(rf"/proc/(?:self|{os.getpid()})/fd/([0-9]+)")
    for _ in range(40):  # the kernel's limit on links followed
        folder, name = os.path.split(os.path.abspath(path))
        found = own.fullmatch(os.path.join(os.path.realpath(folder), name))
        if found:
            return int(found.group(1))
        try:
            path = os.path.join(folder, os.readlink(path))
        except OSError:  # not a link (or not there): a path of its own
            return None
    return None


class Sink:
    """A binary stream that reports a failed write as a one-line failure naming its path.
    A closed pipe (BrokenPipeError) is passed on as such: the command line ends quietly."""

    def __init__(self, file: BinaryIO, path: str) -> None:
        self.file = file
        self.path = path

    def write(self, data: "bytes | memoryview") -> None:
        try:
            self.file.write(data)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise os_failure(self.path, exc, output=True) from None

    def flush(self) -> None:
        try:
            self.file.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise os_failure(self.path, exc, output=True) from None


class Target:
    """The place named by -o (None or "-": standard output), or by the `option` given,
    checked when made: it must not be a folder, nor any file the command reads (`reads`, by
    identity, whatever the path)."""

    def __init__(self, path: Optional[str], reads: Sequence[str] = (), option: str = "-o") -> None:
        if path == "":
            raise UserError(option, "an empty file name (for standard output, give -)")
        self.path = "-" if path in (None, "-") else str(path)
        self.existing: Optional[os.stat_result] = None
        #: The descriptor the path names (/dev/stdout, /dev/fd/3), written through; else None.
        self.fd = None if self.path == "-" else descriptor(self.path)
        if self.path == "-" or self.fd is not None:
            try:
                here = os.fstat(sys.stdout.fileno() if self.fd is None else self.fd)
            except (OSError, ValueError, AttributeError):
                return  # no real standard output (a test's capture): nothing to compare
            if stat.S_ISREG(here.st_mode):
                name = "standard output" if self.fd is None else self.path
                self._refuse_inputs(here, reads, name)
            return
        try:
            self.existing = os.stat(self.path)
        except FileNotFoundError:
            return  # a new file, or a symlink to where one will be made
        except OSError as exc:
            raise os_failure(self.path, exc, output=True) from None
        if stat.S_ISDIR(self.existing.st_mode):
            raise UserError(self.path, f"is a folder; {option} names the file to write")
        self._refuse_inputs(self.existing, reads, self.path)
        # A rename would replace a file its owner made read-only, as `>` never does.
        if stat.S_ISREG(self.existing.st_mode) and not os.access(
                self.path, os.W_OK, effective_ids=os.access in os.supports_effective_ids):
            raise SystemFailure(self.path, "Permission denied: the file is read-only")

    def _refuse_inputs(self, target: os.stat_result, reads: Sequence[str], name: str) -> None:
        for read in reads:
            try:
                st = os.fstat(sys.stdin.fileno()) if read == "-" else os.stat(read)
            except (OSError, ValueError, AttributeError):
                continue  # an input that is not there fails when it is read
            if stat.S_ISREG(st.st_mode) and _identity(st) == _identity(target):
                raise UserError(shown(read), f"{name} is this same file: writing it would "
                                "destroy the input; write to another file, then rename it")

    @property
    def replaced(self) -> bool:
        """Whether the output goes through a temporary file and a rename."""
        return self.path != "-" and self.fd is None and (
            self.existing is None or stat.S_ISREG(self.existing.st_mode))

    def same_place(self, other: "Target") -> bool:
        """Whether this output and `other` write to one place: one of them would be lost
        (a file replaced by the other, two outputs mixed on one stream)."""
        def place(target: Target) -> Tuple[object, ...]:
            if target.to_stdout:
                return ("standard output",)
            if target.fd is not None:
                return ("descriptor", target.fd)
            if target.existing is not None:
                return ("file", _identity(target.existing))
            return ("path", os.path.realpath(target.path))

        return place(self) == place(other)

    @property
    def to_stdout(self) -> bool:
        """Whether the output is standard output."""
        if self.path == "-":
            return True
        with contextlib.suppress(OSError, ValueError, AttributeError):
            return self.fd == sys.stdout.fileno()
        return False

    @contextlib.contextmanager
    def open(self) -> Iterator[Sink]:
        """The output, as a Sink; made final only when the block ends without an exception."""
        if self.to_stdout:
            sys.stdout.flush()  # text written before, then these bytes
            sink = Sink(sys.stdout.buffer, self.path)
            yield sink
            sink.flush()
            return
        if not self.replaced:
            try:
                file = (open(self.path, "wb") if self.fd is None
                        else os.fdopen(os.dup(self.fd), "wb"))
            except OSError as exc:
                raise os_failure(self.path, exc, output=True) from None
            try:
                sink = Sink(file, self.path)
                yield sink
                sink.flush()
            finally:
                with contextlib.suppress(OSError):  # a failed flush fails again here
                    file.close()
            return
        yield from self._replace()

    def _replace(self) -> Iterator[Sink]:
        final = os.path.realpath(self.path)  # a symlink's target, which is what changes
        folder, name = os.path.split(final)
        temp: List[str] = []
        try:
            with signals_held():
                try:
                    fd, made = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
                except OSError as exc:
                    raise os_failure(self.path, exc, output=True) from None
                temp.append(made)
            file = os.fdopen(fd, "wb")
            try:
                self._keep_mode(fd)
                yield Sink(file, self.path)
            except BaseException:
                with contextlib.suppress(OSError):
                    file.close()
                raise
            try:
                file.close()  # the last buffered bytes: a full disk may show only here
                os.replace(made, final)
            except OSError as exc:
                raise os_failure(self.path, exc, output=True) from None
            temp.clear()
        finally:
            if temp:
                with signals_held(), contextlib.suppress(OSError):
                    os.unlink(temp[0])

    def _keep_mode(self, fd: int) -> None:
        """The temporary file takes the mode (and, where allowed, the owner) of the file it
        replaces; a new file, the mode that open() would have given it."""
        if self.existing is None:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(fd, 0o666 & ~mask)
            return
        os.fchmod(fd, stat.S_IMODE(self.existing.st_mode))
        if (self.existing.st_uid, self.existing.st_gid) != (os.geteuid(), os.getegid()):
            with contextlib.suppress(OSError):
                os.fchown(fd, self.existing.st_uid, self.existing.st_gid)
