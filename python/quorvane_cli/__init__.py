"""quorvane_cli: the `quorvane` command, a thin shell over quorvane_columns.

    quorvane categorize STATEMENT.csv --rules RULES [--summary] [--replace] [-o FILE] ...
    quorvane derive HISTORY.csv [--column NAME] [-o FILE]
    quorvane emi --mode emi|tenure|loan-amount [--amount A] [--emi E] [--months N] --rate R
                 [--inflation I] [--start YYYY-MM] [--format table|csv|json] [--plot FILE.svg]
    quorvane check --rules RULES [HISTORY.csv] [--column NAME] [--report REPORT.html]

Each command is a module of this package with `add_parser(verbs)` and `run(args)`, listed
once in COMMANDS; `run` may return an exit status (check's 1: it found rules that never
win). Every failure is one line on standard error, `quorvane: WHERE: MESSAGE`, with exit
status 2 for a mistake in the arguments or the data and 1 for the system's refusal (a full
disk, a permission); a standard output closed early ends the run quietly.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import signal
import sys
from types import FrameType
from typing import Iterator, NoReturn, Optional, Sequence

import quorvane

from quorvane_cli import categorize, check, derive, emi
from quorvane_cli.failures import Failure, Interrupted, SystemFailure, UserError
from quorvane_cli.rules import read_rules

__all__ = ["main", "program", "parser", "read_rules", "UserError", "COMMANDS"]

#: Whether this process is the `quorvane` program (`program()`), which owns its
#: interpreter and may load modules its own way; main() called from other code leaves
#: that code's interpreter as it would be.
PROGRAM = False

#: The commands, in the order `quorvane --help` lists them.
COMMANDS = (categorize, derive, emi, check)

#: Exit status after a signal, as a shell reports a process it ended: 128 + the signal.
_SIGNAL_BASE = 128


class _Parser(argparse.ArgumentParser):
    """argparse, with its complaints on one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see {self.prog} --help)\n")
        raise SystemExit(2)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="quorvane", description="Categorise bank statements, derive rules, "
                  "check rule sets, solve loans: a command line over the quorvane engines.")
    top.add_argument("--version", action="version", version=f"quorvane {quorvane.__version__}")
    verbs = top.add_subparsers(dest="verb", metavar="VERB", parser_class=_Parser)
    verbs.required = True
    for command in COMMANDS:
        command.add_parser(verbs)
    return top


def _raise_interrupted(signum: int, frame: Optional[FrameType]) -> None:
    raise Interrupted(signum)


@contextlib.contextmanager
def _signals_as_exceptions() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Interrupted while a command runs, so that its temporary
    files are removed as on SIGINT; the previous handlers come back afterwards."""
    names = [s for s in (signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None]
    try:
        previous = [(s, signal.signal(s, _raise_interrupted)) for s in names]
    except ValueError:  # not the main thread: signals are not ours to take
        previous = []
    try:
        yield
    finally:
        for s, handler in previous:
            signal.signal(s, handler)


def _quiet_stdout() -> None:
    """Standard output's reader went away: point the descriptor at /dev/null, so that
    Python's own flush at exit does not complain."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


@contextlib.contextmanager
def _no_cycle_collection() -> Iterator[None]:
    """The cyclic garbage collector paused: the commands make no reference cycles, and it
    would otherwise walk every row of a batch again and again (a quarter of the stdlib
    path's time)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line on argv (sys.argv[1:] by default); returns the exit status."""
    args = parser().parse_args(argv)
    with _signals_as_exceptions(), _no_cycle_collection():
        try:
            status: Optional[int] = args.run(args)
        except Failure as exc:
            sys.stderr.write(f"quorvane: {exc}\n")
            return exc.status
        except BrokenPipeError:
            _quiet_stdout()
            return _SIGNAL_BASE + signal.SIGPIPE
        except OSError as exc:  # one not met where a path was at hand
            failure = SystemFailure(exc.filename or "quorvane", exc.strerror or str(exc))
            sys.stderr.write(f"quorvane: {failure}\n")
            return failure.status
        except KeyboardInterrupt:
            return _SIGNAL_BASE + signal.SIGINT
        except Interrupted as exc:
            return _SIGNAL_BASE + exc.signum
    return status or 0


def program() -> int:
    """The `quorvane` command (and `python -m quorvane_cli`): main() on the process's own
    arguments, in a process of its own."""
    global PROGRAM
    PROGRAM = True
    return main()
