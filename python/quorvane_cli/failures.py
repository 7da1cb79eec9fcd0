"""quorvane_cli.failures: the command line's one-line failures, their exit statuses, warnings."""

from __future__ import annotations

import errno
import sys
from typing import Optional

#: errno values that mean the user named something that is not there, or not a file.
_NAMING_ERRNOS = frozenset(
    {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.ELOOP, errno.ENAMETOOLONG})


class Failure(Exception):
    """A failure shown as one line, `quorvane: WHERE: MESSAGE`, ending the run with `status`."""

    status = 1

    def __init__(self, where: str, message: str) -> None:
        super().__init__(f"{where}: {message}")


class UserError(Failure):
    """A mistake in what the user gave: the arguments or the data. Exit status 2."""

    status = 2


class SystemFailure(Failure):
    """The system refused: disk full, permission denied, an input/output error. Exit status 1."""

    status = 1


class Interrupted(BaseException):
    """SIGTERM or SIGHUP arrived: raised from the signal handler, so that cleanup runs as it
    does for KeyboardInterrupt (SIGINT). A BaseException, so that no `except Exception` stops it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def shown(path: str, output: bool = False) -> str:
    """A path as failures name it: "-" is standard input, or standard output for an output."""
    if path == "-":
        return "<stdout>" if output else "<stdin>"
    return path


def where(path: str, row: Optional[int] = None, column: Optional[str] = None) -> str:
    """The FILE:ROW:COLUMN prefix of a failure; ROW is a line number, 1 for the header."""
    parts = [shown(path)]
    if row is not None:
        parts.append(str(row))
    if column is not None:
        parts.append(column)
    return ":".join(parts)


def os_failure(path: str, exc: OSError, output: bool = False) -> Failure:
    """An OSError on path as a failure: naming a missing file or a folder is the user's
    mistake (status 2), anything else the system's (status 1)."""
    kind = UserError if exc.errno in _NAMING_ERRNOS else SystemFailure
    return kind(shown(path, output), exc.strerror or str(exc))


def rows_have(count: int) -> str:
    """The start of a warning about `count` rows: "1 row has", "2 rows have"."""
    return "1 row has" if count == 1 else f"{count:,} rows have"


def warn(message: str) -> None:
    """A one-line warning on standard error; the run goes on."""
    sys.stderr.write(f"quorvane: warning: {message}\n")
    sys.stderr.flush()
