"""Progress of a long build: one bar per phase and table, with rows and bytes
done, the time spent and the time left at the pace so far.

    keys       lineitem   ######......  24,117,248 / 59,986,052 rows   1.5 GB   0:07 spent, 0:10 left

On a terminal a bar is redrawn in place a few times a second; elsewhere
(a log file, a notebook's captured stderr) each bar is one line when its
phase ends. `to_graph(progress=...)` takes True (always, to stderr), False
(never), None (the default: only when stderr is a terminal) or a callable,
which gets every update as an Event instead.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from vornlib_tools._memory import show

_REDRAW = 0.25  # seconds between two drawings of a bar on a terminal
_WIDTH = 12


@dataclass(frozen=True)
class Event:
    """One update of a phase: rows of `total` done (total None if unknown),
    bytes read, seconds since the phase began; finished on its last update."""

    phase: str
    table: str | None
    rows: int
    total: int | None
    bytes: int
    seconds: float
    finished: bool

    def remaining(self) -> float | None:
        """Seconds left at the pace so far, None until there is a pace."""
        if not self.total or not self.rows or self.finished:
            return None if not self.finished else 0.0
        return self.seconds * (self.total - self.rows) / self.rows

    def line(self) -> str:
        fraction = min(self.rows / self.total, 1.0) if self.total else (1.0 if self.finished else 0.0)
        filled = int(round(fraction * _WIDTH))
        bar = "#" * filled + "." * (_WIDTH - filled)
        rows = f"{self.rows:,}" + (f" / {self.total:,}" if self.total is not None else "") + " rows"
        left = self.remaining()
        timing = f"{_clock(self.seconds)} spent" + ("" if self.finished or left is None else f", {_clock(left)} left")
        volume = f"   {show(self.bytes)}" if self.bytes else ""
        return f"{self.phase:<12} {self.table or '':<12} {bar}  {rows}{volume}   {timing}"


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


class Progress:
    """Where a build's bars go (see the module)."""

    def __init__(self, setting: bool | None | Callable[[Event], None], stream=None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.callback = setting if callable(setting) else None
        if setting is None:
            isatty = getattr(self.stream, "isatty", None)
            setting = bool(isatty and isatty())
        self.enabled = bool(setting)
        self.terminal = self.enabled and self.callback is None and bool(getattr(self.stream, "isatty", bool)())

    def bar(self, phase: str, table: str | None = None, total: int | None = None) -> Bar:
        return Bar(self, phase, table, total)

    def emit(self, event: Event) -> None:
        if self.callback is not None:
            self.callback(event)
        elif self.terminal:
            self.stream.write("\r" + event.line() + ("\n" if event.finished else ""))
            self.stream.flush()
        elif self.enabled and event.finished:
            self.stream.write(event.line() + "\n")
            self.stream.flush()


class Bar:
    """One phase's bar: advance() as rows are done, finish() at its end."""

    def __init__(self, progress: Progress, phase: str, table: str | None, total: int | None) -> None:
        self.progress, self.phase, self.table, self.total = progress, phase, table, total
        self.rows = self.bytes = 0
        self.start = self._drawn = time.perf_counter()
        if progress.enabled:
            progress.emit(self._event(False))

    def advance(self, rows: int, nbytes: int = 0) -> None:
        self.rows += int(rows)
        self.bytes += int(nbytes)
        if not self.progress.enabled:
            return
        now = time.perf_counter()
        if self.progress.callback is not None or now - self._drawn >= _REDRAW:
            self._drawn = now
            self.progress.emit(self._event(False))

    def finish(self) -> None:
        if self.progress.enabled:
            self.progress.emit(self._event(True))

    def _event(self, finished: bool) -> Event:
        return Event(self.phase, self.table, self.rows, self.total, self.bytes, time.perf_counter() - self.start,
                     finished)
