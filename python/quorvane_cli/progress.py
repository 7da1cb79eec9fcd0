"""quorvane_cli.progress: a one-line progress bar on standard error, when that is a terminal."""

from __future__ import annotations

import sys
import time
from typing import Optional


class Progress:
    """A bar of the bytes read (when the size is known) and a count of rows, redrawn at
    most ten times a second; drawn only when standard error is a terminal."""

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
