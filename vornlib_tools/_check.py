"""A full check of the graph arrays that NeighborSampler.sample relies on.

The sampler reads the arrays in place and, to keep construction free, checks
only what each read needs: bounds, and the first and last timestamps of the part
of a neighbourhood it uses. A neighbourhood that is out of time order in between
goes unnoticed there and gives wrong neighbours, including ones from after the
seed time. check_graph looks at every entry once, with numpy, so run it after
building or loading a graph.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

import numpy as np

from vornlib_tools._schema import edge_type_key

# Row entries examined per numpy pass: bounds the temporaries to a few tens of MB
# whatever the graph's size.
_CHUNK = 1 << 22


def _array(values, what: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} is not 1-D (shape {array.shape})")
    if array.size and array.dtype != np.int64:
        raise ValueError(f"{what} must have dtype int64, not {array.dtype}")
    return array


def _owner(colptr: np.ndarray, position: int) -> int:
    """The destination node whose run holds row position `position`."""
    return int(np.searchsorted(colptr, position, side="right")) - 1


def _node_counts(node_types, edge_types, colptr, node_time, num_nodes) -> dict[str, int]:
    """Node counts where they are known: given, from timestamps, or from a colptr."""
    counts = {name: len(values) for name, values in node_time.items()}
    for (_, _, destination), key in ((e, edge_type_key(e)) for e in edge_types):
        if key in colptr:
            counts.setdefault(destination, max(len(colptr[key]) - 1, 0))
    counts.update(num_nodes or {})
    return counts


def check_graph(node_types: Iterable[str], edge_types: Iterable[tuple[str, str, str]],
                colptr: Mapping[str, np.ndarray], row: Mapping[str, np.ndarray],
                node_time: Mapping[str, np.ndarray], *, num_nodes: Mapping[str, int] | None = None) -> None:
    """Returns None if the arrays form a graph that sample() reads correctly.

    Otherwise raises ValueError for the first fault, naming the edge type key,
    the destination node and the position in `row` (or `colptr`):

    - every edge type names node types in node_types and has int64 1-D colptr and row;
    - colptr starts at 0, never decreases, ends at len(row) and, where the
      destination type's node count is known, has one entry more than it has nodes;
    - every row entry is a node of the source type (checked against the source
      type's node count where it is known: from num_nodes, from its node_time,
      or from the colptr of an edge type into it; otherwise only for being >= 0);
    - wherever the source type has node_time, every destination's run of
      sources is sorted by the sources' timestamps (equal times allowed).
    """
    node_types = list(node_types)
    edge_types = [tuple(e) for e in edge_types]
    times = {name: _array(values, f"node_time of '{name}'") for name, values in node_time.items()}
    for name in times:
        if name not in node_types:
            raise ValueError(f"node_time has '{name}', which is not in node_types")
    for name, count in (num_nodes or {}).items():
        if name in times and len(times[name]) != count:
            raise ValueError(f"node_time of '{name}' has {len(times[name])} entries for {count} nodes")
    counts = _node_counts(node_types, edge_types, colptr, times, num_nodes)
    for edge_type in edge_types:
        key = edge_type_key(edge_type)
        source, _, destination = edge_type
        for name in (source, destination):
            if name not in node_types:
                raise ValueError(f"edge type '{key}': node type '{name}' is not in node_types")
        if key not in colptr or key not in row:
            raise ValueError(f"edge type '{key}' has no {'colptr' if key not in colptr else 'row'} array")
        check_edge_type(key, _array(colptr[key], f"colptr of '{key}'"), _array(row[key], f"row of '{key}'"),
                         counts.get(source), counts.get(destination), times.get(source))


def check_edge_type(key: str, colptr: np.ndarray, row: np.ndarray, num_sources: int | None,
                    num_destinations: int | None, source_time: np.ndarray | None) -> None:
    """check_graph's checks of one edge type's arrays (named by key in the messages)."""
    where = f"edge type '{key}'"
    if colptr.size == 0 or colptr[0] != 0:
        raise ValueError(f"{where}: colptr must start with 0 (destination node 0, colptr position 0)")
    decreasing = colptr[1:] < colptr[:-1]  # a bool per node: a long colptr's differences would be int64
    if decreasing.any():
        node = int(np.flatnonzero(decreasing)[0])
        raise ValueError(f"{where}: colptr decreases at destination node {node} "
                         f"(colptr positions {node} and {node + 1}: {colptr[node]} > {colptr[node + 1]})")
    if colptr[-1] != row.size:
        raise ValueError(f"{where}: colptr ends at {colptr[-1]} but row has {row.size} entries "
                         f"(destination node {colptr.size - 2}, colptr position {colptr.size - 1})")
    if num_destinations is not None and colptr.size != num_destinations + 1:
        raise ValueError(f"{where}: colptr has {colptr.size} entries for {num_destinations} destination nodes "
                         f"(expected {num_destinations + 1})")
    if source_time is not None:
        num_sources = source_time.size if num_sources is None else min(num_sources, source_time.size)
    for begin in range(0, row.size, _CHUNK):
        _check_rows(where, colptr, row, begin, min(begin + _CHUNK, row.size), num_sources, source_time)


def _check_rows(where: str, colptr: np.ndarray, row: np.ndarray, begin: int, end: int,
                num_sources: int | None, source_time: np.ndarray | None) -> None:
    sources = np.asarray(row[begin:end])
    if sources.size and (sources.min() < 0 or (num_sources is not None and sources.max() >= num_sources)):
        bad = (sources < 0) if num_sources is None else ((sources < 0) | (sources >= num_sources))
        position = begin + int(np.flatnonzero(bad)[0])
        limit = "" if num_sources is None else f" below {num_sources}"
        raise ValueError(f"{where}: row entry {row[position]} at position {position} "
                         f"(destination node {_owner(colptr, position)}) is not a source node index{limit}")
    if source_time is None or end - begin < 1:
        return
    # Compare each entry with the one before it, including across the chunk boundary;
    # a decrease at the first position of a destination's run is between two runs.
    first = max(begin - 1, 0)
    stamps = source_time[np.asarray(row[first:end])]
    decreases = stamps[1:] < stamps[:-1]
    if not decreases.any():
        return
    run_starts = colptr[np.searchsorted(colptr, first + 1):np.searchsorted(colptr, end)]
    decreases[run_starts - first - 1] = False
    inside = np.flatnonzero(decreases)
    if inside.size:
        position = int(inside[0]) + first + 1
        raise ValueError(
            f"{where}: the neighbourhood of destination node {_owner(colptr, position)} is not sorted by "
            f"source time: row position {position} (source {row[position]}, time "
            f"{source_time[row[position]]}) comes after source {row[position - 1]} at time "
            f"{source_time[row[position - 1]]}")
