"""The memory limit of a sample() call: the cache lines any exact sampler must
fetch for it, times this machine's cost of one independent random read.

The lines are counted from the call's own result, never by selecting again:
the frontier of every hop is in the result (node ids per hop, from the node
counts), the number of edges each frontier node took is in the edge columns,
and the candidate ranges are read from colptr. Per edge type and hop, for the
frontier of its destination type:

- colptr: the lines holding colptr[v] and colptr[v + 1] of every frontier node,
  each distinct line once per call;
- with time (k latest, or a window): each upper-bound bisection over n
  candidates probes at least floor(log2(n + 1)) positions, each probe one
  neighbour timestamp line and one row line. The result does not say where the
  probes fell, so the count is the optimistic one: the last three probes of a
  bisection lie within eight positions of the chosen run's end and share its
  row line; a node expanded for r batches in one call shares the top of its
  probe tree (at most min(2**level, r) distinct probes per level); a window's
  second bisection is charged as a search over the chosen run alone; the run
  of m chosen positions costs ceil(m / 8) row lines (at least one, where the
  probes end);
- without time: all row lines of the candidate range when k < 0 or k >= n;
  otherwise the expected number of distinct lines among k of the n positions
  drawn uniformly (the result holds neighbour ids, not positions);
- per node, the row lines charged are at most the lines its range spans.

De-duplication and the result arrays are charged nothing, and every fetch is
assumed to overlap all others perfectly: the limit is optimistic, and
sample() / limit cannot reach 1.0.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

from vornlib_tools._batch import SampleResult
from vornlib_tools._schema import edge_type_key
from workloads import Workload

LINE_BYTES = 64
VALUES_PER_LINE = LINE_BYTES // 8
# The last probes of a bisection fall within this many of the final position,
# inside the row line(s) the chosen run touches.
SHARED_FINAL_PROBES = 3


@dataclass(frozen=True)
class ReadTime:
    ns: float  # per independent random read: the memory limit's unit
    cold_ns: float  # the same reads, each block of a call's size after EVICT_BYTES of other memory


class ReadTimes:
    """The read time for each measurement, taken next to it.

    On a shared machine the time per read moves by a third or more within minutes,
    and a limit taken at another moment than the call times it divides says
    more about that moment than about the sampler. So `measure(passes,
    evict_bytes)` (vornlib_bench.read_latency) runs between measurements, and
    each measurement is charged the best pass of the runs just before and just
    after it. Every pass is kept, for the report.
    """

    PASSES = 3

    def __init__(self, measure: Callable[[int, int], dict], evict_bytes: int) -> None:
        self._measure_passes = measure
        self._evict_bytes = evict_bytes
        self._last: ReadTime | None = None
        self.passes_ns: list[float] = []
        self.cold_passes_ns: list[float] = []

    def _measure(self) -> ReadTime:
        result = self._measure_passes(self.PASSES, self._evict_bytes)
        self.passes_ns.extend(result["passes_ns"])
        self.cold_passes_ns.extend(result["cold_passes_ns"])
        self._last = ReadTime(result["ns_per_read"], result["cold_ns_per_read"])
        return self._last

    def around(self, measurement):
        """(measurement(), the best ReadTime of the runs next to it)."""
        before = self._last if self._last is not None else self._measure()
        value = measurement()
        after = self._measure()
        return value, ReadTime(min(before.ns, after.ns), min(before.cold_ns, after.cold_ns))

    @property
    def best(self) -> ReadTime:
        return ReadTime(min(self.passes_ns), min(self.cold_passes_ns))


def _line(array: np.ndarray, index: np.ndarray) -> np.ndarray:
    """Cache line of each element, by its address in this process."""
    base = array.__array_interface__["data"][0]
    return (base + index * 8) // LINE_BYTES


def _probes(count: np.ndarray) -> np.ndarray:
    """The fewest probes an upper-bound bisection over count positions makes."""
    probes = np.zeros(count.shape, dtype=np.int64)
    positive = count > 0
    probes[positive] = np.floor(np.log2(count[positive] + 1.0)).astype(np.int64)
    return probes


def _shared_tree(depth: np.ndarray, repeats: np.ndarray) -> np.ndarray:
    """Distinct probes of `repeats` searches of one node, `depth` probes each:
    min(2**level, repeats) at every level of the shared bisection tree."""
    total = np.zeros(depth.shape, dtype=np.int64)
    for level in range(int(depth.max(initial=0))):
        total += np.where(level < depth, np.minimum(1 << level, repeats), 0)
    return total


class LineCounter:
    """Counts the lines of one workload's calls on one graph."""

    def __init__(self, workload: Workload, metadata: dict, arrays: dict[str, np.ndarray]) -> None:
        self._workload = workload
        self._arrays = arrays
        self._edge_types = [tuple(edge_type) for edge_type in metadata["edge_types"]]

    def _parameter(self, key: str, hop: int) -> tuple[str, int | tuple[int | None, int]] | None:
        if key in self._workload.counts:
            per_hop = self._workload.counts[key]
            k = per_hop[hop] if hop < len(per_hop) else 0
            return None if k == 0 else ("count", k)
        per_hop = self._workload.windows[key]
        if hop >= len(per_hop) or not self._workload.with_time:
            return None
        return "window", per_hop[hop]

    def count(self, result: tuple[dict[str, np.ndarray], ...]) -> int:
        """Lines one call must fetch (its result gives frontiers and edges per node)."""
        named = SampleResult(*result)
        cols, nodes, node_counts, edge_counts = named.cols, named.nodes, named.num_sampled_nodes, named.num_sampled_edges
        hops = len(next(iter(edge_counts.values())))
        colptr_lines, other_lines = [], 0
        edges_before = dict.fromkeys(edge_counts, 0)
        for hop in range(hops):
            for edge_type in self._edge_types:
                key = edge_type_key(edge_type)
                taken = int(edge_counts[key][hop])
                first_edge = edges_before[key]
                edges_before[key] += taken
                parameter = self._parameter(key, hop)
                destination = edge_type[2]
                begin = int(node_counts[destination][:hop].sum())
                end = begin + int(node_counts[destination][hop])
                if parameter is None or end == begin:
                    continue
                frontier = np.asarray(nodes[destination][begin:end])
                columns = np.asarray(cols[key][first_edge:first_edge + taken]) - begin
                chosen = np.bincount(columns, minlength=frontier.size)
                lines, colptr_touched = self._edge_type_lines(key, parameter, frontier, chosen)
                colptr_lines.append(colptr_touched)
                other_lines += lines
        distinct_colptr = np.unique(np.concatenate(colptr_lines)).size if colptr_lines else 0
        return distinct_colptr + other_lines

    def _edge_type_lines(self, key: str, parameter: tuple, frontier: np.ndarray,
                         chosen: np.ndarray) -> tuple[int, np.ndarray]:
        colptr = self._arrays[f"{key}.colptr"]
        row = self._arrays[f"{key}.row"]
        colptr_touched = np.concatenate([_line(colptr, frontier), _line(colptr, frontier + 1)])
        lo = np.asarray(colptr[frontier])
        hi = np.asarray(colptr[frontier + 1])
        n = np.maximum(hi - lo, 0)
        span = np.where(n > 0, _line(row, hi - 1) - _line(row, lo) + 1, 0)

        # One entry per distinct node; `repeats` counts its batches in this call.
        distinct, first, inverse, repeats = np.unique(frontier, return_index=True, return_inverse=True,
                                                      return_counts=True)
        node_span = span[first]
        node_n = n[first]
        mode, value = parameter
        if mode == "count" and not self._workload.with_time:
            k = value
            if k < 0:
                per_batch = span.astype(np.float64)
            else:
                safe_n = np.maximum(n, 1)
                safe_span = np.maximum(span, 1)
                missed = (1.0 - np.minimum(k, n) / safe_n) ** (safe_n / safe_span)
                per_batch = np.where(k >= n, span, span * (1.0 - missed))
            row_lines = np.minimum(node_span, np.bincount(inverse, weights=per_batch, minlength=distinct.size))
            return int(np.rint(row_lines.sum())), colptr_touched

        depth = _probes(node_n)
        timestamp_lines = _shared_tree(depth, repeats)
        probe_row_lines = _shared_tree(np.maximum(depth - SHARED_FINAL_PROBES, 0), repeats)
        run_lines = np.where(n > 0, np.maximum((chosen + VALUES_PER_LINE - 1) // VALUES_PER_LINE, 1), 0)
        if mode == "window" and value[0] is not None:
            # The search for the window's end, over the chosen run at least.
            second = _probes(chosen)
            timestamp_lines = timestamp_lines + np.bincount(inverse, weights=second, minlength=distinct.size)
            probe_row_lines = probe_row_lines + np.bincount(
                inverse, weights=np.maximum(second - SHARED_FINAL_PROBES, 0), minlength=distinct.size)
        row_lines = np.minimum(node_span,
                               probe_row_lines + np.bincount(inverse, weights=run_lines, minlength=distinct.size))
        return int(timestamp_lines.sum() + np.rint(row_lines.sum())), colptr_touched
