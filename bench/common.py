"""Shared helpers for the quorvane benchmarks: timing, peak memory, result checks, tables.

Standard library only. The memory helper is Linux-specific (it reads /proc) and
falls back to getrusage elsewhere.
"""

import ctypes
import ctypes.util
import gc
import json
import multiprocessing
import os
import platform
import resource
import statistics
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass

# ---------------------------------------------------------------- timing


@dataclass
class Timing:
    best: float  # seconds, fastest run
    median: float  # seconds
    runs: list  # seconds, every run in order
    number: int = 1  # calls per run; time_per_call divides every figure by it


@contextmanager
def _gc_paused(disable_gc):
    """Collect garbage, then keep the cyclic GC off (if disable_gc) until the block ends."""
    gc.collect()
    was_enabled = gc.isenabled()
    if disable_gc:
        gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def time_call(func, *args, repeat=5, warmup=0, disable_gc=True, **kwargs):
    """Call func(*args, **kwargs) `repeat` times and return best and median wall time.

    Like timeit, the cyclic garbage collector is paused while timing (it is
    collected between runs) so that a collection triggered by one run does not
    land in another. The result of each call is dropped before the next run.
    """
    for _ in range(warmup):
        func(*args, **kwargs)
    runs = []
    for _ in range(max(1, repeat)):
        with _gc_paused(disable_gc):
            start = time.perf_counter()
            result = func(*args, **kwargs)
            runs.append(time.perf_counter() - start)
        del result
    return Timing(best=min(runs), median=statistics.median(runs), runs=runs)


def _run_calls(func, args, kwargs, number, disable_gc):
    with _gc_paused(disable_gc):
        start = time.perf_counter()
        for _ in range(number):
            func(*args, **kwargs)
        return time.perf_counter() - start


def _autorange(func, args, kwargs, min_time, disable_gc):
    scale = 1
    while True:
        for number in (scale, 2 * scale, 5 * scale):
            if _run_calls(func, args, kwargs, number, disable_gc) >= min_time:
                return number
        scale *= 10


def time_per_call(func, *args, repeat=7, number=None, min_time=0.2, disable_gc=True, **kwargs):
    """Time a fast call in runs of `number` back-to-back calls; figures are per call.

    For calls too quick to time one at a time. Without `number`, it is the first of
    1, 2, 5, 10, 20, 50, ... for which one run takes at least `min_time` seconds, as
    timeit's autorange does (those calibration runs also warm up). Each of the `repeat`
    runs then makes `number` calls with the cyclic GC paused, and the returned Timing
    holds seconds per call (run time / number), with `number` recorded.
    """
    if number is None:
        number = _autorange(func, args, kwargs, min_time, disable_gc)
    runs = [_run_calls(func, args, kwargs, number, disable_gc) / number
            for _ in range(max(1, repeat))]
    return Timing(best=min(runs), median=statistics.median(runs), runs=runs, number=number)


def format_seconds(seconds):
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def format_bytes(count):
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(value) < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"


# ---------------------------------------------------------------- peak memory


@dataclass
class PeakMemory:
    before: int  # resident bytes just before the call
    peak: int  # resident high-water mark during the call, in bytes
    method: str  # how the peak was obtained
    exact: bool  # False when the peak may include activity from before the call

    @property
    def extra(self):
        return max(0, self.peak - self.before)


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _maxrss_bytes():
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return maxrss if sys.platform == "darwin" else maxrss * 1024  # bytes on macOS, KiB elsewhere


def _trim_heap():
    """Give freed heap memory back to the OS (glibc only) so 'before' is not inflated."""
    name = ctypes.util.find_library("c")
    if not name:
        return
    try:
        libc = ctypes.CDLL(name)
        libc.malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _reset_high_water_mark():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _measure_child(conn, func, args, kwargs):
    try:
        gc.collect()
        _trim_heap()
        try:
            before = _status_kib("VmRSS") * 1024
            reset = _reset_high_water_mark()
        except (OSError, KeyError):
            before, reset = None, False
        if before is None:
            before = _maxrss_bytes()
        result = func(*args, **kwargs)
        if reset:
            peak, method, exact = _status_kib("VmHWM") * 1024, "VmHWM after clear_refs", True
        else:
            # ru_maxrss covers the child's whole life, not just the call: an upper bound.
            peak = _maxrss_bytes()
            method, exact = "getrusage ru_maxrss (clear_refs not writable)", False
        del result
        conn.send(("ok", PeakMemory(before, peak, method, exact)))
    except BaseException as exc:  # report anything, including MemoryError, to the parent
        conn.send(("error", f"{type(exc).__name__}: {exc}"))
    finally:
        conn.close()


def measure_peak_memory(func, *args, **kwargs):
    """Extra peak resident memory of func(*args, **kwargs), measured in a fresh process.

    The call runs in a child started with the 'spawn' context, so the parent's
    heap does not interfere. func and the arguments must be picklable (module-level
    functions, builtins, plain data); the arguments are already resident when the
    baseline is read. Inside the child: VmRSS is read, the high-water mark is reset by
    writing "5" to /proc/self/clear_refs, the call runs, and VmHWM is read. If
    clear_refs is not writable the peak comes from getrusage and is only an upper
    bound (PeakMemory.exact is False); print PeakMemory.method alongside the figure.
    """
    ctx = multiprocessing.get_context("spawn")
    parent_conn, child_conn = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=_measure_child, args=(child_conn, func, args, kwargs))
    proc.start()
    child_conn.close()
    try:
        status, payload = parent_conn.recv()
    except EOFError:
        status, payload = "error", "child process exited without reporting"
    proc.join()
    if status != "ok":
        raise RuntimeError(f"peak memory measurement failed: {payload} (exit code {proc.exitcode})")
    return payload


# ---------------------------------------------------------------- checks


def first_difference(a, b, path="result"):
    """Where two JSON-like values first differ, as a readable path."""
    if isinstance(a, dict) and isinstance(b, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)} != {list(b)}"
        for key in a:
            if a[key] != b[key]:
                return first_difference(a[key], b[key], f"{path}[{key!r}]")
    elif isinstance(a, list) and isinstance(b, list):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return first_difference(x, y, f"{path}[{i}]")
        if len(a) != len(b):
            return f"{path}: lengths {len(a)} != {len(b)}"
    return f"{path}: {a!r} != {b!r}"


def all_agree(implementations, reference):
    """Call each (name, func, arg) once and compare its result, parsed first if it is JSON
    text, with reference. Print the first mismatch and return False, or return True."""
    for name, func, arg in implementations:
        out = func(arg)
        got = json.loads(out) if isinstance(out, str) else out
        if got != reference:
            print(f"MISMATCH: {name} differs from the pure-Python model: "
                  f"{first_difference(got, reference)}")
            return False
    return True


# ---------------------------------------------------------------- reporting


def print_table(headers, rows, align=None):
    """Print an aligned plain-text table. align is a string of '<' / '>' per column."""
    align = align or "<" + ">" * (len(headers) - 1)
    cells = [[str(c) for c in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]

    def line(values):
        return "  ".join(
            f"{v:{a}{w}}" for v, a, w in zip(values, align, widths)
        ).rstrip()

    print(line(headers))
    print(line(["-" * w for w in widths]))
    for row in cells:
        print(line(row))


def verdict(ok):
    return "meets target" if ok else "MISSES target"


COUNTERPARTS = {"quorvane json": "python json", "quorvane dict": "python dict"}


def report_speedups(implementations, timer, targets, heading, per=None, seconds=format_seconds,
                    counterparts=COUNTERPARTS):
    """Time each (name, func, arg) as timer(func, arg), then print heading and a table of
    best and median times and of each quorvane form's speed-up (best against best) over
    the pure-Python form counterparts names for it, judged against targets[name].

    per=(label, count) adds a column of best time per unit of work, in ns; without it the
    column is the calls per run (Timing.number). seconds formats the times.
    """
    timings = {name: timer(func, arg) for name, func, arg in implementations}
    rows = []
    for name, _, _ in implementations:
        t = timings[name]
        speed, target = "", ""
        if name in counterparts:
            factor = timings[counterparts[name]].best / t.best
            goal = targets[name]
            speed = f"{factor:.1f}x"
            target = f">= {goal:.0f}x: {verdict(factor >= goal)}"
        unit = f"{t.best / per[1] * 1e9:.0f} ns" if per else f"{t.number:,}"
        rows.append((name, seconds(t.best), seconds(t.median), unit, speed, target))
    print(heading)
    print_table(["implementation", "best", "median", f"per {per[0]}" if per else "calls/run",
                 "speed-up", "target"], rows, align="<>>>><")


def environment_summary():
    """One line describing the machine and interpreter, for pasting next to results."""
    return (
        f"Python {platform.python_version()} ({sys.implementation.name}), "
        f"{platform.system()} {platform.release()} {platform.machine()}, "
        f"{os.cpu_count()} CPUs"
    )
