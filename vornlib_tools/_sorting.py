"""Sorting int64 values in bounded memory.

A build sorts packed integers twice per table (its time order, and each
reverse edge type's grouping), one value per row. When they fit the
workspace's sort share they are sorted in one buffer, as before. When they do
not, sorted runs of that size are written to a working array (a temporary
file) and merged range by range: splitters taken every few values of every
run cut the values into ranges of at most half a run, whose parts are found
in each run by binary search, so every value is read once from the runs and
handed on once, and memory holds one range and its sorted copy. The sorted
values go to a sink in order, so that an output file is written as a stream.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator

import numpy as np

from vornlib_tools._memory import Workspace, show


def slices(length: int, step: int) -> Iterator[tuple[int, int]]:
    """(begin, end) of consecutive slices of at most step entries covering 0..length."""
    step = max(int(step), 1)
    for begin in range(0, length, step):
        yield begin, min(begin + step, length)


def sort_int64(chunks: Iterable[np.ndarray], total: int, sink: Callable[[np.ndarray], None], work: Workspace,
               what: str, buffer: np.ndarray | None = None) -> None:
    """Sorts the `total` int64 values of chunks (arrays of any lengths) and
    hands them to sink in consecutive sorted pieces, each a view the sort
    may reuse once sink returns (sink may change it in place).

    buffer, an int64 array of at least `total` entries, is sorted in place
    when everything fits one run (then sink gets one view of it). what
    names the sort in the message that refuses a limit too small for it."""
    capacity = min(total, work.sort_entries)
    run = buffer[:total] if buffer is not None and total <= work.sort_entries else np.empty(capacity, dtype=np.int64)
    carry, source = None, iter(chunks)
    runs: list[tuple[int, int]] = []
    spill = None
    while True:
        filled, carry = _fill(run, source, carry)
        if filled == 0:
            break
        run[:filled].sort()
        if not runs and filled == total:  # everything fit in one run
            sink(run[:filled])
            return
        if spill is None:
            spill = work.array(np.int64, total)
        begin = runs[-1][1] if runs else 0
        spill[begin:begin + filled] = run[:filled]
        runs.append((begin, begin + filled))
    del run
    done = runs[-1][1] if runs else 0
    if done != total:
        raise ValueError(f"{what}: {done} values to sort where {total} were announced")
    if runs:
        _merge(spill, runs, sink, work.sort_entries, what)


def _fill(run: np.ndarray, source: Iterator[np.ndarray], carry: np.ndarray | None) -> tuple[int, np.ndarray | None]:
    """Fills run from carry, then source; returns (values written, what is left of the last chunk)."""
    filled = 0
    while filled < len(run):
        if carry is None or not len(carry):
            carry = next(source, None)
            if carry is None:
                break
            continue
        take = min(len(carry), len(run) - filled)
        run[filled:filled + take] = carry[:take]
        carry = carry[take:]
        filled += take
    return filled, carry


def _merge(spill: np.ndarray, runs: list[tuple[int, int]], sink: Callable[[np.ndarray], None], entries: int,
           what: str) -> None:
    count = len(runs)
    # Splitters every `step` values of every run: between two consecutive ones each
    # run has at most `step` values, so a range holds at most count * step <= entries / 2.
    step = max(entries // (2 * count), 1)
    candidates = sum((b - a) // step for a, b in runs)
    if candidates * count * 8 > entries * 8:
        raise MemoryError(f"{what}: merging {count} sorted runs of {show(entries * 8)} takes more memory than "
                          f"memory_limit leaves for a sort; raise memory_limit")
    splitters = np.unique(np.concatenate([spill[a + step - 1:b:step] for a, b in runs]))
    lengths = np.array([b - a for a, b in runs], dtype=np.int64)
    cuts = np.empty((count, len(splitters) + 1), dtype=np.int64)
    for index, (a, b) in enumerate(runs):
        cuts[index, :-1] = np.searchsorted(spill[a:b], splitters, side="right")
    cuts[:, -1] = lengths
    reached = cuts.sum(axis=0)  # values at or below each splitter
    written, low = 0, np.zeros(count, dtype=np.int64)
    total = int(lengths.sum())
    while written < total:
        # The furthest splitter whose range still fits; at least the next one.
        last = max(int(np.searchsorted(reached, written + entries // 2, side="right")) - 1,
                   int(np.searchsorted(reached, written, side="right")))
        high = cuts[:, last]
        part = np.concatenate([spill[a + lo:a + hi] for (a, _), lo, hi in zip(runs, low, high)])
        part.sort(kind="stable")  # merges the sorted parts
        sink(part)
        written += len(part)
        low = high
