"""How much memory a graph build may hold, and where it puts what does not fit.

A build's largest arrays have one entry per row of its largest table; on a
database bigger than the machine they cannot all be resident at once. The
build therefore reads its tables a bounded number of rows at a time, writes
each graph array into its file as it goes, and keeps its own per-row working
arrays (resolved references, time orders, sort runs) in memory only while
they fit the limit; past it they live in unnamed temporary files beside the
graph, which the page cache holds as long as the machine has room and the
disk takes over from when it has not. What the build holds in anonymous
memory is then its chunks, its key indexes and the per-node counts of the
edge type in hand, not the size of the database.
"""

from __future__ import annotations

import os
import re
import tempfile
import weakref
from pathlib import Path

import numpy as np

# The share of the limit that per-row working arrays may hold; the rest is for
# chunks, sort buffers and the temporaries of numpy's operations on them.
_HELD_SHARE = 0.4
# The share of the limit one sort may hold: its run, plus the merge's copy of it.
_SORT_SHARE = 0.25
# The share of the limit one chunk of rows may take in its source's form,
# which the conversions about triple; the next chunk is read meanwhile.
_CHUNK_SHARE = 1 / 32
# The share of the limit a source's own reader may keep (DuckDB's buffer pool).
_READING_SHARE = 1 / 8
_UNITS = {"": 1, "b": 1, "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9, "gb": 10**9,
          "t": 10**12, "tb": 10**12, "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40}
# What the libraries a build calls keep for themselves whatever the limit (their
# allocators' pools, thread stacks, DuckDB's and Arrow's readers): the shares
# below are of the limit less this.
RESERVE = 64 * 10**6
# The least limit a build accepts.
MINIMUM = 2 * RESERVE


def parse_limit(value) -> int:
    """Bytes of a memory limit given as a number of bytes or a string such as
    "4GB", "512 MiB" or "2.5g"."""
    if isinstance(value, bool):
        raise ValueError(f"memory_limit must be a number of bytes or a string such as '4GB', not {value!r}")
    if isinstance(value, (int, np.integer)):
        number = int(value)
    else:
        match = re.fullmatch(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([a-zA-Z]*)\s*", str(value))
        if match is None or match.group(2).lower() not in _UNITS:
            raise ValueError(f"memory_limit {value!r} is not a size such as 4GB, 512MiB or a number of bytes")
        number = int(float(match.group(1)) * _UNITS[match.group(2).lower()])
    if number < MINIMUM:
        raise ValueError(f"memory_limit {show(number)} is below the least a build needs ({show(MINIMUM)})")
    return number


def default_limit() -> int:
    """A quarter of the machine's memory (or of the process's cgroup limit, if
    lower): room for the build beside the training, the page cache that holds
    the graph and other processes."""
    total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    try:
        text = Path("/sys/fs/cgroup/memory.max").read_text().strip()
        if text.isdigit():
            total = min(total, int(text))
    except OSError:
        pass
    return max(total // 4, MINIMUM)


def anonymous_bytes() -> int:
    """The process's resident anonymous memory (RssAnon), 0 where the system
    does not say."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def show(count: int) -> str:
    """Bytes for a message: 1.5 GB, 300 MB."""
    for unit, size in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if count >= size:
            return f"{count / size:.3g} {unit}"
    return f"{count} B"


class Workspace:
    """The memory a build may hold (limit, in bytes) and where its working
    arrays go: in memory while they fit the limit's share for them, else in
    unnamed temporary files in `directory` (None: always in memory, for a
    graph that is built in memory anyway)."""

    def __init__(self, limit: int, directory: Path | None) -> None:
        self.limit = limit
        self.usable = max(limit - RESERVE, limit // 2)
        self.directory = directory
        self._held = 0

    @classmethod
    def unbounded(cls) -> Workspace:
        """Everything in memory, for callers that hold their arrays anyway."""
        return cls(2**62, None)

    @property
    def sort_entries(self) -> int:
        """int64 values one sort holds at once (its run; the merge holds two copies
        of half as many)."""
        return max(int(self.usable * _SORT_SHARE) // 8, 1 << 16)

    @property
    def reading_bytes(self) -> int:
        """What a source's reader may hold of its own (DuckDB's buffer pool)."""
        return RESERVE // 2 + int(self.usable * _READING_SHARE)

    def chunk_rows(self, bytes_per_row: float) -> int:
        """Rows per chunk for rows of about this many bytes in their source's form."""
        return int(max(min(self.usable * _CHUNK_SHARE / max(bytes_per_row, 1.0), 1 << 22), 1 << 12))

    def need(self, count: int, what: str) -> None:
        """Refuses a step that must hold `count` bytes at once, for a while,
        which the limit cannot give."""
        self._refuse(count, int(self.usable * _HELD_SHARE), 0, what)

    def hold(self, count: int, what: str) -> int:
        """Counts `count` bytes the caller holds in memory until release(count)
        among what working arrays may take; refused if they do not fit beside
        what is held already."""
        self._refuse(count, int(self.usable * _HELD_SHARE) - self._held, self._held, what)
        self._held += count
        return count

    def _refuse(self, count: int, room: int, held: int, what: str) -> None:
        if count > room:
            raise MemoryError(f"{what} needs {show(count)} in memory at once, more than memory_limit="
                              f"{show(self.limit)} leaves for it ({show(max(room, 0))}); raise memory_limit to at "
                              f"least {show(int((count + held) / _HELD_SHARE) + RESERVE + 1)}")

    def release(self, count: int) -> None:
        self._held -= count

    def array(self, dtype, length: int) -> np.ndarray:
        """A working array of `length` entries (uninitialised): in memory while
        the arrays held so far leave room for it, else in a temporary file."""
        dtype = np.dtype(dtype)
        size = dtype.itemsize * length
        if self.directory is None or length == 0 or self._held + size <= self.usable * _HELD_SHARE:
            array = np.empty(length, dtype=dtype)
            self._held += size
            weakref.finalize(array, self._release, size)
            return array
        with tempfile.TemporaryFile(dir=self.directory, prefix="build-") as file:  # unnamed: gone with its map
            file.truncate(max(size, 1))
            return np.memmap(file, dtype=dtype, mode="r+", shape=(length,))

    def _release(self, size: int) -> None:
        self._held -= size
