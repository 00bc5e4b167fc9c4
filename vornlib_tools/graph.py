"""Graph arrays for NeighborSampler: from foreign-key columns to time-sorted CSC
adjacency in both directions, and a graph directory of memory-mappable .npy files.

A graph directory holds one .npy file per array and an index, graph.json:

    <node type>.time.npy            timestamps of a node type (only types that have them)
    <edge type key>.colptr.npy      CSC over the destination type
    <edge type key>.row.npy         source node of each edge, runs sorted by source time
    <node type>.<column>.npy        any other per-node column (features, categories)
    graph.json                      node and edge types, node counts, the lists above and
                                    free metadata; written last, so it marks a complete graph
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

FORMAT_VERSION = 1
INDEX_FILE = "graph.json"
# graph.json keys the format owns; every other key is the writer's metadata.
_FORMAT_KEYS = ("format", "node_types", "edge_types", "node_counts", "timed_types", "columns")

EdgeType = tuple[str, str, str]


def edge_type_key(edge_type: Iterable[str]) -> str:
    """The string that addresses an edge type in every per-edge-type dict."""
    return "__".join(edge_type)


def csc(src: np.ndarray, dst: np.ndarray, num_dst: int,
        src_time: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """(colptr, row) over num_dst destination nodes from parallel edge arrays.

    Each destination's run of sources is ordered by the sources' timestamps
    when src_time is given, and keeps the input order among equal times (and
    everywhere when src_time is None). Destinations without edges get empty runs.
    """
    src = np.asarray(src)
    dst = np.asarray(dst)
    if src.ndim != 1 or dst.ndim != 1 or src.shape != dst.shape:
        raise ValueError(f"src and dst must be 1-D arrays of one length, got shapes {src.shape} and {dst.shape}")
    if dst.size and (dst.min() < 0 or dst.max() >= num_dst):
        bad = int(np.flatnonzero((dst < 0) | (dst >= num_dst))[0])
        raise ValueError(f"destination {int(dst[bad])} at position {bad} is not a node index below {num_dst}")
    if src_time is None:
        order = np.argsort(dst, kind="stable")
    else:
        src_time = np.asarray(src_time)
        if src.size and (src.min() < 0 or src.max() >= src_time.size):
            bad = int(np.flatnonzero((src < 0) | (src >= src_time.size))[0])
            raise ValueError(f"source {int(src[bad])} at position {bad} has no timestamp "
                             f"({src_time.size} source nodes)")
        # lexsort is stable and sorts by its last key first: destination, then source time.
        order = np.lexsort((src_time[src], dst))
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_dst), out=colptr[1:])
    return colptr, np.ascontiguousarray(src[order], dtype=np.int64)


@dataclass(frozen=True)
class ForeignKey:
    """A column of `table` holding, for every row, the index of a row of `referenced`.

    It becomes two edge types: (referenced, relation, table), which a hop from a
    row of `table` follows to the row it references, and (table, reverse,
    referenced), which a hop from a referenced row follows to every row that
    references it. `reverse` defaults to "rev_" + relation.
    """

    table: str
    column: np.ndarray
    referenced: str
    relation: str
    reverse: str | None = None

    @property
    def edge_types(self) -> tuple[EdgeType, EdgeType]:
        return ((self.referenced, self.relation, self.table),
                (self.table, self.reverse or f"rev_{self.relation}", self.referenced))


def _int64(values) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.int64)


@dataclass
class Graph:
    """Everything a NeighborSampler is built from, plus node counts, extra
    per-node columns (keyed "<node type>.<name>") and free metadata."""

    node_types: list[str]
    edge_types: list[EdgeType]
    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]
    num_nodes: dict[str, int]
    columns: dict[str, np.ndarray] = field(default_factory=dict)
    metadata: dict = field(default_factory=dict)

    @classmethod
    def from_foreign_keys(cls, num_nodes: Mapping[str, int], node_time: Mapping[str, np.ndarray],
                          foreign_keys: Iterable[ForeignKey], edge_types: Iterable[EdgeType] | None = None,
                          columns: Mapping[str, np.ndarray] | None = None,
                          metadata: Mapping | None = None) -> Graph:
        """Both directions of every foreign key as time-sorted CSC arrays.

        edge_types, if given, fixes the order of the edge types (it decides the
        sampler's order of expansion and of its random draws); it must list
        exactly the edge types the foreign keys give. By default each foreign
        key contributes its two edge types in ForeignKey.edge_types order.
        """
        times = {name: _int64(values) for name, values in node_time.items()}
        colptr, row, made = {}, {}, []
        for fk in foreign_keys:
            column = np.asarray(fk.column)
            if column.shape != (num_nodes[fk.table],):
                raise ValueError(f"foreign key {fk.table}.{fk.relation} has shape {column.shape}, "
                                 f"expected one entry per {fk.table} row ({num_nodes[fk.table]})")
            rows = np.arange(column.size, dtype=np.int64)
            for (source, relation, destination), src, dst in zip(fk.edge_types, (column, rows), (rows, column)):
                key = edge_type_key((source, relation, destination))
                try:
                    colptr[key], row[key] = csc(src, dst, num_nodes[destination], times.get(source))
                except ValueError as error:
                    raise ValueError(f"foreign key {fk.table}.{fk.relation}: {error}") from None
                made.append((source, relation, destination))
        order = made if edge_types is None else [tuple(e) for e in edge_types]
        if sorted(order) != sorted(made):
            raise ValueError(f"edge_types {order} do not match the foreign keys' edge types {made}")
        return cls(list(num_nodes), order, colptr, row, times, dict(num_nodes),
                   dict(columns or {}), dict(metadata or {}))

    @property
    def keys(self) -> list[str]:
        return [edge_type_key(e) for e in self.edge_types]

    @property
    def num_edges(self) -> int:
        return int(sum(len(self.row[key]) for key in self.keys))

    def arrays(self) -> dict[str, np.ndarray]:
        """Every array by its file stem in a graph directory."""
        stems = {f"{name}.time": values for name, values in self.node_time.items()}
        for key in self.keys:
            stems[f"{key}.colptr"], stems[f"{key}.row"] = self.colptr[key], self.row[key]
        return {**stems, **self.columns}

    def sampler(self, seed: int = 123, with_time: bool = True):
        """A NeighborSampler over these arrays (read in place, not copied)."""
        import vornlib

        return vornlib.NeighborSampler(self.node_types, self.edge_types, self.colptr, self.row,
                                       self.node_time if with_time else {}, seed=seed)

    def check(self) -> None:
        """check_graph over this graph; raises ValueError on the first fault."""
        from vornlib_tools.check import check_graph

        check_graph(self.node_types, self.edge_types, self.colptr, self.row, self.node_time,
                    num_nodes=self.num_nodes)

    def save(self, directory: str | os.PathLike) -> None:
        """Writes one little-endian int64 (or the column's own dtype) .npy file per array."""
        reserved = [key for key in _FORMAT_KEYS if key in self.metadata]
        if reserved:
            raise ValueError(f"metadata may not use the graph format's keys {reserved}")
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        (directory / INDEX_FILE).unlink(missing_ok=True)  # an interrupted rewrite must not look complete
        for stem, values in self.arrays().items():
            values = np.asarray(values)
            if values.dtype.kind in "iu" and stem not in self.columns:
                values = values.astype("<i8", copy=False)
            np.save(directory / f"{stem}.npy", np.ascontiguousarray(values))
        index = {"format": FORMAT_VERSION, "node_types": list(self.node_types),
                 "edge_types": [list(e) for e in self.edge_types],
                 "node_counts": {name: int(n) for name, n in self.num_nodes.items()},
                 "timed_types": list(self.node_time), "columns": list(self.columns), **self.metadata}
        partial = directory / (INDEX_FILE + ".partial")
        partial.write_text(json.dumps(index, indent=2) + "\n")
        partial.replace(directory / INDEX_FILE)

    @classmethod
    def load(cls, directory: str | os.PathLike, mmap: bool = True) -> Graph:
        """Reads a graph directory. With mmap (the default) every array is a
        read-only memory map: nothing is read up front, and every process that
        maps the files shares one copy in the page cache."""
        directory = Path(directory)
        index = read_index(directory)
        mode = "r" if mmap else None

        def array(stem: str) -> np.ndarray:
            return np.load(directory / f"{stem}.npy", mmap_mode=mode)

        edge_types = [tuple(e) for e in index["edge_types"]]
        keys = [edge_type_key(e) for e in edge_types]
        return cls(list(index["node_types"]), edge_types,
                   {key: array(f"{key}.colptr") for key in keys}, {key: array(f"{key}.row") for key in keys},
                   {name: array(f"{name}.time") for name in index["timed_types"]},
                   dict(index["node_counts"]), {stem: array(stem) for stem in index["columns"]},
                   {k: v for k, v in index.items() if k not in _FORMAT_KEYS})


def read_index(directory: str | os.PathLike) -> dict:
    """The parsed graph.json of a graph directory (raises if it is not one)."""
    index = json.loads((Path(directory) / INDEX_FILE).read_text())
    if index.get("format") != FORMAT_VERSION:
        raise ValueError(f"{directory} holds graph format {index.get('format')!r}, "
                         f"this toolkit reads format {FORMAT_VERSION}")
    return index
