"""Graph arrays for NeighborSampler, in memory or in a graph directory of
memory-mappable .npy files, and the graph's view of its database: primary
keys, one time unit, features.

A graph directory holds one .npy file per array and an index, graph.json:

    <node type>.time.npy            timestamps of a node type (only types that have them)
    <edge type key>.colptr.npy      CSC over the destination type
    <edge type key>.row.npy         source node of each edge, runs sorted by source time
    <node type>.key.<column>.npy    primary key values of each node (tables built from a Database)
    <node type>.features.*.npy      feature matrices (see vornlib_tools._features)
    <node type>.<column>.npy        any other per-node column
    graph.json                      node and edge types, node counts, the time unit, the lists
                                    above, the build's schema and whether the graph passed its
                                    check, and free metadata; written last, so it marks a
                                    complete graph
"""

from __future__ import annotations

import functools
import json
import os
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from vornlib_tools import _convert as convert
from vornlib_tools._batch import Batch
from vornlib_tools._check import check_graph
from vornlib_tools._features import ARRAYS as FEATURE_ARRAYS
from vornlib_tools._features import FeatureTable
from vornlib_tools._memory import Workspace
from vornlib_tools._renamed import renamed_arguments
from vornlib_tools._schema import EdgeType, check_name, edge_type_key, reverse_relation
from vornlib_tools._sorting import slices, sort_int64

FORMAT_VERSION = 1
INDEX_FILE = "graph.json"
# graph.json keys the format owns; every other key is the writer's metadata.
_FORMAT_KEYS = ("format", "node_types", "edge_types", "node_counts", "timed_types", "columns", "time_unit",
                "time_range", "primary_keys", "features", "schema", "checked", "clock", "time_ranges")
# Integer times further than this many graph time spans (or magnitudes of the
# graph's times) after the graph's last time are taken for times in a finer unit.
_FAR_TIMES = 100
# The string that asks Graph.sample and SeedLoader for the entities' own timestamps as seed times.
OWN_TIME = "own"
# The sampler seed of every entry point that samples, unless the caller gives one.
SAMPLER_SEED = 123


# The files of a graph directory by their stems (the list above): the one place their names are made.
def time_stem(table: str) -> str:
    return f"{table}.time"


def colptr_stem(key: str) -> str:
    return f"{key}.colptr"


def row_stem(key: str) -> str:
    return f"{key}.row"


def key_stem(table: str, column: str) -> str:
    return f"{table}.key.{column}"


def features_stem(table: str, array: str) -> str:
    return f"{table}.features.{array}"


def group_by_destination(dst: np.ndarray, num_dst: int, rank: np.ndarray | None = None,
                         order: np.ndarray | None = None, *, work: Workspace | None = None,
                         sink: Callable[[np.ndarray], None] | None = None) -> tuple[np.ndarray, np.ndarray | None]:
    """(colptr, positions): the positions of the entries of dst with dst >= 0,
    grouped by destination, within a destination in increasing rank (a
    permutation of the positions, e.g. their order in time) or, without
    rank, in position order. Entries with dst < 0 are left out. order, the
    inverse of rank (time_order gives both), saves computing it per call.

    The sort is of unique integers (destination, rank) packed into int64,
    which numpy sorts by value much faster than it argsorts; it holds what
    `work` allows (sorting.sort_int64). With a sink, the positions go to it
    in order, a piece at a time, and None is returned in their place (a
    build writes them into their file so). dst, rank and order may be
    memory maps: they are read a slice at a time."""
    work = work or Workspace.unbounded()
    length = len(dst)
    step = _slice_entries(work)
    counts = np.zeros(num_dst, dtype=np.int64)
    for begin, end in slices(length, max(step, num_dst)):  # each bincount costs num_dst: slices as long
        part = np.asarray(dst[begin:end])
        counts += np.bincount(part[part >= 0] if part.size and part.min() < 0 else part, minlength=num_dst)
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    del counts
    total = int(colptr[-1])
    result = np.empty(total, dtype=np.int64) if sink is None else None
    bits = max(length.bit_length(), 1)
    if max(num_dst, 1).bit_length() + bits > 62:
        work.need(4 * 8 * length, f"grouping {length:,} entries by {num_dst:,} destinations")
        dst = np.asarray(dst)
        positions = np.flatnonzero(dst >= 0)
        grouped = positions[np.lexsort((positions if rank is None else np.asarray(rank)[positions],
                                        dst[positions]))]
        if sink is None:
            return colptr, grouped
        sink(grouped)
        return colptr, None

    def packed():
        for begin, end in slices(length, step):
            keys = np.asarray(dst[begin:end]).astype(np.int64)
            low = np.arange(begin, end, dtype=np.int64) if rank is None else np.asarray(rank[begin:end])
            if keys.size and keys.min() < 0:
                valid = keys >= 0
                keys, low = keys[valid], low[valid]
            keys <<= bits
            keys |= low
            yield keys

    if rank is not None and order is None:
        order = work.array(rank.dtype, length)
        for begin, end in slices(length, step):
            order[np.asarray(rank[begin:end])] = np.arange(begin, end, dtype=rank.dtype)
    written = 0

    def positions(keys: np.ndarray) -> None:
        nonlocal written
        for begin, end in slices(len(keys), step):
            part = keys[begin:end]
            part &= (1 << bits) - 1
            if order is not None:
                np.take(order, part, out=part, mode="clip")  # in order: each index is read before its slot is written
        if sink is None:
            if keys.base is not result and keys is not result:
                result[written:written + len(keys)] = keys
        else:
            sink(keys)
        written += len(keys)

    sort_int64(packed(), total, positions, work, f"grouping {total:,} entries by destination", buffer=result)
    return colptr, result


def _slice_entries(work: Workspace) -> int:
    """Entries per numpy pass over a long array: a fraction of a sort's run, at most 4M."""
    return min(max(work.sort_entries // 4, 1), 1 << 22)


def time_rank(times: np.ndarray) -> np.ndarray:
    """Each entry's position in time order; ties keep input order."""
    return time_order(times)[1].astype(np.int64, copy=False)


def time_order(times: np.ndarray, work: Workspace | None = None) -> tuple[np.ndarray, np.ndarray]:
    """(order, rank): the positions in time order (ties keep input order) and
    each entry's position in that order (its inverse); int32 below 2**31
    entries, as a build keeps both for its largest table. Both are working
    arrays of `work` (in memory, or temporary files past its limit)."""
    work = work or Workspace.unbounded()
    count = len(times)
    index = np.int32 if count < 2**31 else np.int64
    if count == 0:
        return np.empty(0, dtype=index), np.empty(0, dtype=index)
    bits = max(count.bit_length(), 1)
    step = _slice_entries(work)
    # Missing times ("never", "always") sort just outside the proper ones, so that they do not widen the span.
    bounds = [(int(p.min()), int(p.max())) for p in (_proper(times[b:e]) for b, e in slices(count, step)) if p.size]
    low = min((b[0] for b in bounds), default=0) - 1
    high = max((b[1] for b in bounds), default=0) + 1
    distinct = None
    if high - low >= 2 ** (62 - bits):  # a span too wide to pack beside the position: rank the distinct times
        work.need(3 * 8 * count, f"ordering {count:,} times that span {high - low:,} units")
        distinct = np.unique(times)

    def packed():
        for begin, end in slices(count, step):
            part = np.asarray(times[begin:end])
            keys = np.subtract(np.clip(part, low, high), low, dtype=np.int64) if distinct is None else \
                np.searchsorted(distinct, part).astype(np.int64)
            keys <<= bits
            keys |= np.arange(begin, end, dtype=np.int64)
            yield keys

    order = work.array(index, count)
    rank = work.array(index, count)
    written = 0

    def positions(keys: np.ndarray) -> None:
        nonlocal written
        for begin, end in slices(len(keys), step):
            part = keys[begin:end]
            part &= (1 << bits) - 1
            order[written:written + len(part)] = part
            rank[part] = np.arange(written, written + len(part), dtype=index)
            written += len(part)

    sort_int64(packed(), count, positions, work, f"putting {count:,} rows in time order")
    return order, rank


def _proper(times: np.ndarray) -> np.ndarray:
    """The times that are not missing (neither "never" nor "always")."""
    times = np.asarray(times)
    return times[(times != convert.INT64_MIN) & (times != convert.INT64_MAX)]


def csc(src: np.ndarray, dst: np.ndarray, num_dst: int,
        src_time: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """(colptr, row) over num_dst destination nodes from parallel edge arrays.

    Each destination's run of sources is ordered by the sources' timestamps
    src_time, and keeps the input order among equal times. src_time must be
    stated: None (on purpose) keeps the input order everywhere, which is
    right only for edge types whose source type has no timestamps.
    Destinations without edges get empty runs.
    """
    src = np.asarray(src)
    dst = np.asarray(dst)
    if src.ndim != 1 or dst.ndim != 1 or src.shape != dst.shape:
        raise ValueError(f"src and dst must be 1-D arrays of one length, got shapes {src.shape} and {dst.shape}")
    if dst.size and (dst.min() < 0 or dst.max() >= num_dst):
        bad = int(np.flatnonzero((dst < 0) | (dst >= num_dst))[0])
        raise ValueError(f"destination {int(dst[bad])} at position {bad} is not a node index below {num_dst}")
    rank = None
    if src_time is not None:
        src_time = np.asarray(src_time)
        if src.size and (src.min() < 0 or src.max() >= src_time.size):
            bad = int(np.flatnonzero((src < 0) | (src >= src_time.size))[0])
            raise ValueError(f"source {int(src[bad])} at position {bad} has no timestamp "
                             f"({src_time.size} source nodes)")
        rank = time_rank(src_time[src])
    colptr, positions = group_by_destination(dst.astype(np.int64, copy=False), num_dst, rank)
    return colptr, np.ascontiguousarray(src[positions], dtype=np.int64)


@dataclass(frozen=True)
class ForeignKey:
    """A column of `table` holding, for every row, the index of a row of `referenced`.

    It becomes two edge types: (referenced, relation, table), which a hop from a
    row of `table` follows to the row it references, and (table, reverse,
    referenced), which a hop from a referenced row follows to every row that
    references it. `reverse` defaults to schema.reverse_relation(relation).
    """

    table: str
    column: np.ndarray
    referenced: str
    relation: str
    reverse: str | None = None

    @property
    def edge_types(self) -> tuple[EdgeType, EdgeType]:
        return ((self.referenced, self.relation, self.table),
                (self.table, self.reverse or reverse_relation(self.relation), self.referenced))


@dataclass
class PrimaryKey:
    """A table's primary key columns and their values per node (node order)."""

    columns: list[str]
    values: list[np.ndarray]
    _index: convert.KeyIndex | None = field(default=None, repr=False, compare=False)

    def index(self, table: str) -> convert.KeyIndex:
        if self._index is None:
            self._index = convert.KeyIndex(self.values, f"table {table!r}, primary key {self.columns}")
        return self._index


def _int64(values) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.int64)


@dataclass(kw_only=True)
class Graph:
    """Everything a NeighborSampler is built from, plus node counts, the time
    unit, primary keys and features of tables built from a Database, extra
    per-node columns (keyed "<node type>.<name>") and free metadata. Fields
    are given by name: fourteen of them in a row would be easy to misplace.

    Building a graph checks it (Graph.check); `checked` records that it passed.
    """

    node_types: list[str]
    edge_types: list[EdgeType]
    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]
    num_nodes: dict[str, int]
    columns: dict[str, np.ndarray] = field(default_factory=dict)
    metadata: dict = field(default_factory=dict)
    time_unit: str = "s"
    primary_keys: dict[str, PrimaryKey] = field(default_factory=dict)
    features: dict[str, FeatureTable] = field(default_factory=dict)
    schema: dict = field(default_factory=dict)
    checked: bool = False
    # How its times read (convert.CLOCKS): instants ("epoch", built from
    # datetimes or integers in a stated unit) or bare integers ("integer").
    # None for a graph directory written before graphs recorded it.
    clock: str | None = convert.GRAPH_CLOCK
    # The background read of a loaded graph's files (Graph.load(warm=True)), else None.
    warming: Warming | None = field(default=None, repr=False, compare=False)

    @classmethod
    def from_foreign_keys(cls, num_nodes: Mapping[str, int], node_time: Mapping[str, np.ndarray],
                          foreign_keys: Iterable[ForeignKey], edge_types: Iterable[EdgeType] | None = None,
                          columns: Mapping[str, np.ndarray] | None = None,
                          metadata: Mapping | None = None) -> Graph:
        """Both directions of every foreign key as time-sorted CSC arrays, checked,
        by the rules of a Database build: the same names refused, the same
        reverse relation, each destination's sources grouped by one
        group_by_destination in time order. References are row positions,
        every one of them in range.

        edge_types, if given, fixes the order of the edge types (it decides the
        sampler's order of expansion and of its random draws); it must list
        exactly the edge types the foreign keys give. By default each foreign
        key contributes its two edge types in ForeignKey.edge_types order.
        """
        for name in num_nodes:
            check_name(name, "table name")
        times = {name: _int64(values) for name, values in node_time.items()}
        colptr, row, made = {}, {}, []
        for fk in foreign_keys:
            where = f"foreign key {fk.table}.{fk.relation}"
            for table in (fk.table, fk.referenced):
                if table not in num_nodes:
                    raise ValueError(f"{where}: num_nodes has no table {table!r}")
            column = np.asarray(fk.column)
            if column.shape != (num_nodes[fk.table],):
                raise ValueError(f"{where} has shape {column.shape}, expected one entry per {fk.table} row "
                                 f"({num_nodes[fk.table]})")
            rows = np.arange(column.size, dtype=np.int64)
            for (source, relation, destination), src, dst in zip(fk.edge_types, (column, rows), (rows, column)):
                check_name(relation, f"{where}: relation")
                key = edge_type_key((source, relation, destination))
                try:
                    colptr[key], row[key] = csc(src, dst, num_nodes[destination], times.get(source))
                except ValueError as error:
                    raise ValueError(f"{where}: {error}") from None
                made.append((source, relation, destination))
        order = made if edge_types is None else [tuple(e) for e in edge_types]
        if sorted(order) != sorted(made):
            raise ValueError(f"edge_types {order} do not match the foreign keys' edge types {made}")
        graph = cls(node_types=list(num_nodes), edge_types=order, colptr=colptr, row=row, node_time=times,
                    num_nodes=dict(num_nodes), columns=dict(columns or {}), metadata=dict(metadata or {}))
        graph.check()
        return graph

    @property
    def keys(self) -> list[str]:
        return [edge_type_key(e) for e in self.edge_types]

    @property
    def num_edges(self) -> int:
        return int(sum(len(self.row[key]) for key in self.keys))

    def arrays(self) -> dict[str, np.ndarray]:
        """Every array by its file stem in a graph directory."""
        stems = {time_stem(name): values for name, values in self.node_time.items()}
        for key in self.keys:
            stems[colptr_stem(key)], stems[row_stem(key)] = self.colptr[key], self.row[key]
        for name, key in self.primary_keys.items():
            stems.update({key_stem(name, c): v for c, v in zip(key.columns, key.values)})
        for name, table in self.features.items():
            stems.update({features_stem(name, a): v for a, v in table.arrays().items()})
        return {**stems, **self.columns}

    def attach(self, arrays: Mapping[str, np.ndarray]) -> None:
        """Fills the graph's arrays from file stems (the inverse of arrays())."""
        for key in self.keys:
            self.colptr[key], self.row[key] = arrays[colptr_stem(key)], arrays[row_stem(key)]
        for name in list(self.node_time):
            self.node_time[name] = arrays[time_stem(name)]
        for name, key in self.primary_keys.items():
            key.values = [arrays[key_stem(name, c)] for c in key.columns]
            key._index = None
        for name, table in self.features.items():
            for array in FEATURE_ARRAYS:
                setattr(table, array, arrays[features_stem(name, array)])

    def sampler(self, seed: int = SAMPLER_SEED, with_time: bool = True):
        """A NeighborSampler over these arrays (read in place, not copied)."""
        import vornlib

        return vornlib.NeighborSampler(self.node_types, self.edge_types, self.colptr, self.row,
                                       self.node_time if with_time else {}, seed=seed)

    def check(self) -> None:
        """check_graph over this graph; raises ValueError on the first fault,
        and records that it passed in `checked`."""
        check_graph(self.node_types, self.edge_types, self.colptr, self.row, self.node_time,
                    num_nodes=self.num_nodes)
        self.checked = True

    # ---- the user's keys and times ------------------------------------------------

    def index_of(self, table: str, keys) -> np.ndarray:
        """Node indices of primary key values: an array, list or Series; for a
        composite key a list of those, one per key column, or a DataFrame of
        those columns. Raises ValueError on an unknown key, with an example."""
        key = self._primary_key(table)
        if len(key.columns) > 1 and hasattr(keys, "columns"):
            keys = [keys[c] for c in key.columns]
        parts = [keys] if len(key.columns) == 1 else list(keys)
        if len(parts) != len(key.columns):
            raise ValueError(f"table {table!r} has a key of {len(key.columns)} columns {key.columns}: "
                             f"give one sequence per column, not {len(parts)}")
        columns = []
        for name, part in zip(key.columns, parts):
            values, missing = convert.key_values(part, f"keys of table {table!r}, column {name!r}")
            if missing is not None:
                raise ValueError(f"keys of table {table!r}, column {name!r} have a missing value at position "
                                 f"{int(np.flatnonzero(missing)[0])}")
            columns.append(np.atleast_1d(values))
        nodes = key.index(table).lookup(columns, f"keys of table {table!r}")
        if (nodes < 0).any():
            first = int(np.flatnonzero(nodes < 0)[0])
            example = ", ".join(repr(c[first].item()) for c in columns)
            raise ValueError(f"table {table!r} has no key ({example}) (position {first}; "
                             f"{int(np.count_nonzero(nodes < 0))} unknown keys)")
        return nodes

    def _primary_key(self, table: str) -> PrimaryKey:
        if table not in self.num_nodes:
            raise ValueError(f"the graph has no table {table!r} (tables: {', '.join(self.node_types)})")
        key = self.primary_keys.get(table)
        if key is None or not key.columns:
            raise ValueError(f"table {table!r} has no primary key: give node indices")
        return key

    @functools.cached_property
    def time_range(self) -> tuple[int, int] | None:
        """The earliest and latest node time (missing times left out), or None;
        computed once (graph.json records it)."""
        bounds = list(self.time_ranges.values())
        return (min(b[0] for b in bounds), max(b[1] for b in bounds)) if bounds else None

    @functools.cached_property
    def time_ranges(self) -> dict[str, tuple[int, int]]:
        """Per timed node type with a proper time, its earliest and latest
        (missing times left out); computed once (graph.json records them)."""
        ranges = {}
        for name, times in self.node_time.items():
            bounds = []
            for begin, end in slices(len(times), 1 << 22):  # slices: the masks stay small on long tables
                part = _proper(times[begin:end])
                if part.size:
                    bounds.append((int(part.min()), int(part.max())))
            if bounds:
                ranges[name] = (min(b[0] for b in bounds), max(b[1] for b in bounds))
        return ranges

    def to_time(self, values, *, what: str = "times", unit: str | None = None) -> np.ndarray:
        """int64 times in the graph's unit, by the toolkit's one rule for times.

        On a graph whose times are instants (clock "epoch"), datetimes (any
        unit, tz-aware) are converted and integers are times only with their
        unit stated: unit="year", "yyyymmdd", or "D", "s", "ms", "us", "ns"
        since 1970 (or pass convert.as_time(values, unit)). On a graph of bare
        integer times, integers are taken as they are and datetimes refused.
        NaT/NaN are refused, and so are times so far after the graph's times
        that they must be in a finer unit or count from another origin
        (which would show every row of the future)."""
        array, absent = convert.values(values, what)
        return self._to_time(array, absent, what, unit)

    def _to_time(self, array: np.ndarray, absent: np.ndarray | None, what: str, unit: str | None) -> np.ndarray:
        if unit is not None and self.clock == convert.GRAPH_CLOCK:
            raise ValueError(f"{what}: this graph's times are bare integers, not instants: give them as integers "
                             f"of its own clock, without a unit")
        integers = convert.GRAPH_CLOCK if unit is None else convert.check_integer_unit(unit, f"{what}: unit")
        times = convert.graph_time(array, absent, self.time_unit, what, integers=integers)
        bounds = self.time_range
        if bounds is not None and times.size:
            low, high = bounds
            allowed = high + _FAR_TIMES * max(high - low, abs(high), abs(low), 1)
            if times.max() > allowed:
                raise ValueError(f"{what}: {int(times.max())} is far after the graph's last time {high} "
                                 f"({self.time_unit}); integer times must be in the graph's unit "
                                 f"({self.time_unit}) and datetimes need a graph whose times are datetimes")
        convert.check_clock(array.dtype.kind, self.clock, what, stated=unit is not None,
                            how=" with to_time(..., unit=...) or vornlib_tools.as_time(values, unit)")
        return times

    def input_times(self, stamps) -> np.ndarray:
        """Times in the graph's unit (int64, as node_time holds them) in the
        form the graph's entry points take back: datetime64 of the graph's
        unit on a graph of instants, the integers themselves otherwise."""
        stamps = np.asarray(stamps, dtype=np.int64)
        return stamps.astype(f"datetime64[{self.time_unit}]") if self.clock == convert.EPOCH_CLOCK else stamps

    @renamed_arguments(seeds="seed_node", times="seed_time")
    def seeds(self, entity_table: str, seed_node, seed_time, *, index: bool | None = None
              ) -> tuple[np.ndarray, np.ndarray]:
        """(node indices, int64 seed times) by the toolkit's one rule for seeds:
        seed_nodes, then seed_times."""
        nodes = self.seed_nodes(entity_table, seed_node, index=index)
        return nodes, self.seed_times(entity_table, nodes, seed_time)

    @renamed_arguments(seeds="seed_node")
    def seed_nodes(self, entity_table: str, seed_node, *, index: bool | None = None) -> np.ndarray:
        """Node indices of seeds: primary key values of entity_table
        (index=False, the default for a table with a primary key) or node
        indices (index=True, the default without one); floats must be integral."""
        if entity_table not in self.num_nodes:
            raise ValueError(f"the graph has no table {entity_table!r} (tables: {', '.join(self.node_types)})")
        keyed = self.primary_keys.get(entity_table) is not None and bool(self.primary_keys[entity_table].columns)
        if index is None:
            index = not keyed
        if not index:
            return self.index_of(entity_table, seed_node)
        nodes = np.atleast_1d(convert.to_node_index(seed_node, f"seed node indices of {entity_table!r}"))
        count = self.num_nodes[entity_table]
        if nodes.size and (nodes.min() < 0 or nodes.max() >= count):
            bad = int(np.flatnonzero((nodes < 0) | (nodes >= count))[0])
            raise ValueError(f"seed node index {int(nodes[bad])} at position {bad} is not a node of "
                             f"{entity_table!r} (0..{count - 1})")
        return nodes

    @renamed_arguments(nodes="seed_node", times="seed_time")
    def seed_times(self, entity_table: str, seed_node: np.ndarray, seed_time) -> np.ndarray:
        """int64 seed times of these seed nodes (indices): datetimes or graph-unit
        integers, one per seed or one for all; OWN_TIME ("own") takes each
        entity's own timestamp; None is allowed only for a graph without
        timestamps (and gives no seed times)."""
        nodes, times = seed_node, seed_time
        if isinstance(times, str):
            if times != OWN_TIME:
                raise ValueError(f"seed times: the only string accepted is {OWN_TIME!r} (the entities' own "
                                 f"timestamps), not {times!r}")
            if entity_table not in self.node_time:
                raise ValueError(f"seed times {OWN_TIME!r}: table {entity_table!r} has no timestamps")
            return np.asarray(self.node_time[entity_table])[nodes]
        if times is None:
            if self.node_time:
                raise ValueError(f"seed times are missing: give one per seed (datetimes or integers in "
                                 f"{self.time_unit}), or {OWN_TIME!r} for the entities' own timestamps")
            return np.empty(0, dtype=np.int64)
        array, absent = convert.values(times, "seed times")
        if not (array.ndim == 0 or array.size == 1 or array.shape == nodes.shape):
            raise ValueError(f"{array.size} seed times for {nodes.size} seeds")
        stamps = self._to_time(array, absent, "seed times", None)
        if stamps.ndim == 0 or stamps.size == 1 and nodes.size != 1:
            stamps = np.full(nodes.size, stamps.ravel()[0] if stamps.size else 0, dtype=np.int64)
        return stamps

    def request(self, num_neighbors: Mapping | None = None, sampling_time_offsets: Mapping | None = None,
                *, allow_future: bool = False) -> tuple[dict, dict]:
        """(num_neighbors, sampling_time_offsets) as sample() takes them: keys
        may be edge type keys or triples; every edge type the request leaves
        out gets a count of 0 at every hop. A window that ends after the seed
        time (an end offset above 0) is refused unless allow_future."""
        keys = self.keys

        def keyed(table: Mapping | None, what: str) -> dict:
            result = {}
            for key, value in (table or {}).items():
                text = key if isinstance(key, str) else edge_type_key(key)
                if text not in keys:
                    raise ValueError(f"{what}: the graph has no edge type {key!r}")
                result[text] = value
            return result

        counts = {}
        for key, value in keyed(num_neighbors, "num_neighbors").items():
            counts[key] = convert.whole_numbers(value, f"num_neighbors[{key!r}]", noun="count")
            if counts[key].ndim != 1:
                raise ValueError(f"num_neighbors[{key!r}] must be one count per hop, not of shape "
                                 f"{counts[key].shape}")
        windows = {}
        for key, value in keyed(sampling_time_offsets, "sampling_time_offsets").items():
            windows[key] = self._window(value, f"sampling_time_offsets[{key!r}]")
            ends = [end for _, end in windows[key]]
            if not allow_future and any(end > 0 for end in ends):
                raise ValueError(f"sampling_time_offsets[{key!r}] ends after the seed time (end offsets {ends}): "
                                 f"that samples rows from the future; pass allow_future=True if it is meant")
        hops = max([len(v) for v in counts.values()] + [len(v) for v in windows.values()] + [0])
        for key in keys:
            if key not in counts and key not in windows:
                counts[key] = np.zeros(hops, dtype=np.int64)
        return counts, windows

    def _window(self, value, what: str) -> np.ndarray:
        """One edge type's (start, end) offsets per hop as whole numbers; a
        start of None (no lower bound) stays None."""
        pairs = list(value)  # an array's rows keep their dtype: tolist would make nanoseconds plain integers
        for hop, pair in enumerate(pairs):
            if isinstance(pair, (str, bytes)) or np.ndim(pair) != 1 or len(pair) != 2:
                raise ValueError(f"{what} must be one (start, end) pair per hop, such as [[-30, 0]]; hop {hop} "
                                 f"is {pair!r}")
        open_start = [pair[0] is None for pair in pairs]
        starts = self._offsets([pair[0] for pair in pairs], f"{what}, start offsets (by hop)")
        ends = self._offsets([pair[1] for pair in pairs], f"{what}, end offsets (by hop)", closed=True)
        window = np.stack([starts, ends], axis=1) if pairs else np.zeros((0, 2), dtype=np.int64)
        if any(open_start):
            window = window.astype(object)
            window[open_start, 0] = None
        return window

    def _offsets(self, offsets: list, what: str, closed: bool = False) -> np.ndarray:
        """Window offsets in the graph's unit: durations on a graph of instants,
        integers on a graph of bare integer times (either on an older graph)."""
        if not offsets:
            return np.zeros(0, dtype=np.int64)
        array, absent = convert.values(np.array(offsets, dtype=object), what)
        if closed and absent is not None:
            raise ValueError(f"{what} has a missing value at position {int(np.flatnonzero(absent)[0])}")
        if absent is not None and absent.all():  # every start open: no values to tell their kind
            return np.zeros(len(offsets), dtype=np.int64)
        if self.clock is None:  # an older graph: integers in its unit, durations converted
            return convert.graph_duration(array, absent, self.time_unit, what, integers=array.dtype.kind != "m")
        return convert.graph_duration(array, absent, self.time_unit, what,
                                      integers=self.clock == convert.GRAPH_CLOCK)

    @renamed_arguments(seeds="seed_node", times="seed_time", seed="sampler_seed")
    def sample(self, entity_table: str, seed_node, seed_time, *, num_neighbors: Mapping | None = None,
               sampling_time_offsets: Mapping | None = None, index: bool | None = None, allow_future: bool = False,
               payload: Mapping | None = None, sampler_seed: int = SAMPLER_SEED) -> Batch:
        """One sample() call from seeds to a Batch, on a sampler built for the call.

        The arguments are SeedLoader's, in its order: seed_node and seed_time
        follow Graph.seeds, the request Graph.request; sampler_seed seeds the
        call's sampler, so equal arguments give equal batches."""
        nodes, stamps = self.seeds(entity_table, seed_node, seed_time, index=index)
        return self.sample_nodes(entity_table, nodes, stamps, self.request(
            num_neighbors, sampling_time_offsets, allow_future=allow_future), sampler_seed=sampler_seed,
            payload=payload)

    @renamed_arguments(nodes="seed_node", stamps="seed_time", seed="sampler_seed")
    def sample_nodes(self, entity_table: str, seed_node: np.ndarray, seed_time: np.ndarray,
                     request: tuple[dict, dict], *, payload: Mapping | None = None,
                     sampler_seed: int = SAMPLER_SEED, with_time: bool = True, empty=np.empty) -> Batch:
        """Graph.sample for seeds and a request already converted (a loader
        converts its seed table once). with_time=False samples as if the
        graph had no timestamps (uniform choices everywhere). empty: where the
        batch's derived arrays are made, as Batch.from_sample takes it."""
        nodes, stamps = seed_node, seed_time
        if not self.checked:
            self.check()
        counts, windows = request
        if with_time and len(stamps):
            self._check_seeds_reach_data(entity_table, stamps, counts, windows)
        result = self.sampler(seed=sampler_seed, with_time=with_time).sample(counts, windows, entity_table, nodes,
                                                                             stamps)
        return Batch.from_sample(result, nodes, stamps, entity_table, self.edge_types, payload, empty=empty)

    def _check_seeds_reach_data(self, entity_table: str, stamps: np.ndarray, counts: dict, windows: dict) -> None:
        """Refuses a batch whose every seed time lies before the first row of
        every table its request reaches: it would sample nothing, which comes
        of times in the wrong unit or from the wrong origin. Seeds after the
        data are fine: a prediction from everything known."""
        reached, frontier = set(), {entity_table}
        hops = max([len(c) for c in counts.values()] + [len(w) for w in windows.values()] + [0])
        for hop in range(hops):
            frontier = {source for (source, _, destination), key in zip(self.edge_types, self.keys)
                        if destination in frontier and (hop < len(windows.get(key, ())) or
                                                        hop < len(counts.get(key, ())) and counts[key][hop] != 0)}
            reached |= frontier
        ranges = {name: self.time_ranges[name] for name in sorted(reached) if name in self.time_ranges}
        if not ranges:
            return
        first = min(low for low, _ in ranges.values())
        latest = int(np.max(stamps))
        if latest < first:
            raise ValueError(f"every seed time of the batch ({self._show_time(int(np.min(stamps)))} to "
                             f"{self._show_time(latest)}) lies before the first time {self._show_time(first)} of the "
                             f"tables the request reaches ({', '.join(ranges)}), so it would sample nothing: are the "
                             f"seed times in the graph's unit ({self.time_unit}) and from its origin?")

    # ---- the summary ------------------------------------------------------------------

    def summary(self) -> str:
        """Tables (rows, added nodes, time, features, left-out columns), edge
        types and their edge counts, and the references each foreign key
        dropped."""
        clock = "times are bare integers" if self.clock == convert.GRAPH_CLOCK and self.node_time else \
            f"times in {self.time_unit}"
        lines = [f"Graph: {len(self.node_types)} tables, {len(self.edge_types)} edge types, "
                 f"{self.num_edges:,} edges; {clock}"
                 + ("" if self.time_range is None else
                    f" from {self._show_time(self.time_range[0])} to {self._show_time(self.time_range[1])}")]
        for name in self.node_types:
            info = self.schema.get(name, {})
            added = f" (+{info['added']:,} added for dangling references)" if info.get("added") else ""
            time = f"time column {info['time']!r}" if info.get("time") else \
                ("timed" if name in self.node_time else "static")
            key = f", key {info['primary_key']}" if info.get("primary_key") else ""
            lines.append(f"  {name}: {self.num_nodes[name]:,} nodes{added}, {time}{key}")
            table = self.features.get(name)
            if table is not None and table.columns:
                sources = table.sources
                described = [c.name + ("" if c.source < 0 or sources[c.source] == info.get("time")
                                       else f" (known at {sources[c.source]})") for c in table.columns]
                kinds = {}
                for column, text in zip(table.columns, described):
                    kinds.setdefault(column.kind, []).append(text)
                for kind, names in kinds.items():
                    lines.append(f"      {kind}: {', '.join(names)}")
            for column, why in info.get("left_out", {}).items():
                lines.append(f"      left out: {column} ({why})")
            for columns, fk in info.get("foreign_keys", {}).items():
                notes = [f"{fk['null']:,} null"] if fk.get("null") else []
                if fk.get("dangling"):
                    fate = {"drop": "dropped", "add": "added as nodes"}.get(fk.get("on_dangling"), "")
                    notes.append(f"{fk['dangling']:,} rows refer to {fk['dangling_keys']:,} missing keys, {fate}")
                target = fk["table"] + (" (row positions: it has no primary key)" if fk.get("positions") else "")
                lines.append(f"      {columns} -> {target}" + (f": {', '.join(notes)}" if notes else ""))
        lines.append("  edge types:")
        for key in self.keys:
            lines.append(f"    {key}: {len(self.row[key]):,} edges")
        return "\n".join(lines)

    def _show_time(self, value: int) -> str:
        if self.clock == convert.EPOCH_CLOCK or self.clock is None and self.schema and \
                any(info.get("time") for info in self.schema.values()):
            stamp = np.datetime64(int(value), self.time_unit)
            return str(stamp)
        return str(value)

    def __str__(self) -> str:
        return self.summary()

    # ---- storage ------------------------------------------------------------------

    @staticmethod
    def prepare_directory(directory: Path) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        (directory / INDEX_FILE).unlink(missing_ok=True)  # an interrupted rewrite must not look complete

    def save(self, directory: str | os.PathLike) -> None:
        """Writes one little-endian int64 (or the column's own dtype) .npy file
        per array, after checking the graph if it has not been checked."""
        reserved = [key for key in _FORMAT_KEYS if key in self.metadata]
        if reserved:
            raise ValueError(f"metadata may not use the graph format's keys {reserved}")
        if not self.checked:
            self.check()
        directory = Path(directory)
        self.prepare_directory(directory)
        for stem, values in self.arrays().items():
            values = np.asarray(values)
            if values.dtype.kind in "iu" and stem not in self.columns and ".features." not in stem:
                values = values.astype("<i8", copy=False)
            np.save(directory / f"{stem}.npy", np.ascontiguousarray(values))
        self.write_index(directory)

    def write_index(self, directory: Path) -> None:
        index = {"format": FORMAT_VERSION, "node_types": list(self.node_types),
                 "edge_types": [list(e) for e in self.edge_types],
                 "node_counts": {name: int(n) for name, n in self.num_nodes.items()},
                 "timed_types": list(self.node_time), "columns": list(self.columns),
                 "time_unit": self.time_unit, "time_range": self.time_range,
                 "time_ranges": {name: list(bounds) for name, bounds in self.time_ranges.items()},
                 "primary_keys": {name: list(key.columns) for name, key in self.primary_keys.items()},
                 "features": {name: table.to_json() for name, table in self.features.items()},
                 "schema": self.schema, "checked": self.checked, "clock": self.clock, **self.metadata}
        partial = Path(directory) / (INDEX_FILE + ".partial")
        partial.write_text(json.dumps(index, indent=2) + "\n")
        partial.replace(Path(directory) / INDEX_FILE)

    @staticmethod
    def saved_in(directory: str | os.PathLike) -> bool:
        """Whether directory holds a complete graph: its index is written last."""
        return (Path(directory) / INDEX_FILE).is_file()

    @classmethod
    def load(cls, directory: str | os.PathLike, mmap: bool = True, *, warm: bool = False) -> Graph:
        """Reads a graph directory. With mmap (the default) every array is a
        read-only memory map: nothing is read up front, and every process that
        maps the files shares one copy in the page cache. A directory that
        records a passed check is not checked again.

        A mapped graph's pages come from disk when a batch first touches
        them, so the first batches after a load (or after the page cache let
        the files go) are many times slower than later ones. warm=True reads
        the files into the page cache in a background thread, the arrays a
        batch reads first (colptr, times, rows, then features and keys), as
        far as the machine's free memory allows; `graph.warming` follows it
        (Warming.wait() blocks until it is done)."""
        directory = Path(directory)
        index = read_index(directory)
        mode = "r" if mmap else None

        def array(stem: str) -> np.ndarray:
            return np.load(directory / f"{stem}.npy", mmap_mode=mode)

        edge_types = [tuple(e) for e in index["edge_types"]]
        keys = [edge_type_key(e) for e in edge_types]
        unit = index.get("time_unit", "s")
        primary_keys = {name: PrimaryKey(list(columns), [array(key_stem(name, c)) for c in columns])
                        for name, columns in index.get("primary_keys", {}).items()}
        feature_tables = {name: FeatureTable.from_json(spec, {a: array(features_stem(name, a))
                                                              for a in FEATURE_ARRAYS}, unit)
                          for name, spec in index.get("features", {}).items()}
        graph = cls(node_types=list(index["node_types"]), edge_types=edge_types,
                    colptr={key: array(colptr_stem(key)) for key in keys},
                    row={key: array(row_stem(key)) for key in keys},
                    node_time={name: array(time_stem(name)) for name in index["timed_types"]},
                    num_nodes=dict(index["node_counts"]), columns={stem: array(stem) for stem in index["columns"]},
                    metadata={k: v for k, v in index.items() if k not in _FORMAT_KEYS}, time_unit=unit,
                    primary_keys=primary_keys, features=feature_tables, schema=index.get("schema", {}),
                    checked=bool(index.get("checked", False)), clock=index.get("clock"))
        if mmap and warm:
            graph.warming = Warming(directory)
        if index.get("time_range") is not None:
            graph.time_range = tuple(index["time_range"])
        if index.get("time_ranges") is not None:
            graph.time_ranges = {name: tuple(bounds) for name, bounds in index["time_ranges"].items()}
        return graph


class Warming:
    """Reads a graph directory's files into the page cache in a background
    thread: what a batch reads first goes first (colptr, then times and
    rows, then features and keys), and it stops before it would read more
    than the memory the machine has available (MemAvailable), which could
    only push out what it read before."""

    _BLOCK = 16 << 20
    _ORDER = (colptr_stem("") + ".npy", time_stem("") + ".npy", row_stem("") + ".npy", features_stem("", ""),
              key_stem("", ""))

    def __init__(self, directory: str | os.PathLike) -> None:
        def rank(path: Path) -> int:
            return next((i for i, part in enumerate(self._ORDER) if part in path.name), len(self._ORDER))

        self.files = sorted((p for p in Path(directory).iterdir() if p.suffix == ".npy"), key=rank)
        self.bytes = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._read, name="vornlib-warming", daemon=True)
        self._thread.start()

    @property
    def done(self) -> bool:
        return not self._thread.is_alive()

    def wait(self, timeout: float | None = None) -> bool:
        """Blocks until the files are read (or timeout seconds passed); True if done."""
        self._thread.join(timeout)
        return self.done

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()

    def _read(self) -> None:
        room = _available_memory()
        buffer = bytearray(self._BLOCK)
        for path in self.files:
            try:
                size = path.stat().st_size
                if room is not None and self.bytes + size > room:
                    return
                with open(path, "rb", buffering=0) as file:
                    while not self._stop.is_set() and file.readinto(buffer):  # readinto releases the GIL
                        pass
                self.bytes += size
            except OSError:  # a file replaced or removed meanwhile: warming is only a hint
                continue
            if self._stop.is_set():
                return


def _available_memory() -> int | None:
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024 * 8 // 10
    except OSError:
        pass
    return None


def read_index(directory: str | os.PathLike) -> dict:
    """The parsed graph.json of a graph directory (raises if it is not one)."""
    index = json.loads((Path(directory) / INDEX_FILE).read_text())
    if index.get("format") != FORMAT_VERSION:
        raise ValueError(f"{directory} holds graph format {index.get('format')!r}, "
                         f"this toolkit reads format {FORMAT_VERSION}")
    return index
