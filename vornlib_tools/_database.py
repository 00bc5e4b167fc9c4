"""From tables to a Graph: keys, references, times and features.

    flights = Table(frame, primary_key="id", foreign_keys={"tailnum": "planes"},
                    time="scheduled", known_at={"dep_delay": "departed"})
    graph = Database({"flights": flights, "planes": planes}).to_graph("data/graph")

Node i of a table is row i of its frame. Every foreign key becomes two edge
types, (referenced, relation, table) and (table, reverse, referenced); each
destination's run of sources is sorted by the sources' times (ties keep row
order). Every table is put in time order once, and each edge type is then
one sort of unique integers (destination, rank in time), which numpy does
with a vectorised sort instead of a comparison argsort per edge type.
"""

from __future__ import annotations

import logging
import os
import shutil
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from queue import Empty, Full, Queue

import numpy as np

from vornlib_tools import _convert as convert
from vornlib_tools import _features as features
from vornlib_tools import _memory as memory
from vornlib_tools import _sources as sources
from vornlib_tools._check import check_edge_type
from vornlib_tools._graph import (INDEX_FILE, Graph, PrimaryKey, colptr_stem, features_stem, group_by_destination,
                                 key_stem, row_stem, time_order, time_stem)
from vornlib_tools._progress import Progress
from vornlib_tools._schema import check_name, edge_type_key, reverse_relation
from vornlib_tools._sorting import slices

# Named for the build, not for this private module: users configure logging by this name.
_log = logging.getLogger("vornlib_tools.database")

DANGLING = ("drop", "raise", "add")
# Under the default policy, a foreign key more of whose present references than
# this dangle is refused: it is declared on the wrong column or table.
MOSTLY_DANGLING = 0.5
# String columns with at most this many distinct values become categorical by default.
MAX_CATEGORIES = 64


@dataclass(frozen=True)
class Reference:
    """A foreign key: the referencing columns, the referenced table and the
    names of its two edge types."""

    columns: tuple[str, ...]
    table: str
    relation: str
    reverse: str


class Table:
    """One table of a database.

    frame: a pandas DataFrame, a pyarrow Table, a mapping from column names
    to equally long arrays, or rows read only when the graph is built: a
    DuckDB relation, a Parquet file or directory (a path) or a
    pyarrow.dataset.Dataset, an Arrow stream (a pyarrow.RecordBatchReader or
    anything with `__arrow_c_stream__`, polars frames among them).

    primary_key: a column or a list of columns; without one, other tables
    refer to this one by row position. foreign_keys: a mapping from a column
    (or a tuple of columns, for a composite key) to the referenced table's
    name, or to (table, relation) or (table, relation, reverse); the relation
    defaults to the column name (composite: the names joined by "_"), the
    reverse to "rev_" + relation. Null references give no edge.

    time: the column that says when a row happened (datetime64 of any unit,
    timezone-aware timestamps, dates, or integers); a table without one is
    static. known_at: a mapping from a column to another time column of the
    table, for values that become known after the row's time. missing_time:
    a mapping from a time column to what a missing time there means, "never"
    or "always" (without it, a missing time raises). time_units states the
    unit of integer time columns, one for all of them or a mapping from
    column to unit: "year", "yyyymmdd", or a count of "D", "s", "ms", "us",
    "ns" since 1970-01-01 UTC; they are then instants like datetimes.
    Integers without a unit are a clock of the user's own, which every table
    of the graph must then share.

    Every other column becomes a feature: numbers numeric, booleans and the
    columns in `categorical` categorical, text categorical if it has at most
    max_categories distinct values (else left out and listed in the graph's
    summary), datetimes as ages. `ignore` lists columns to leave out.
    """

    def __init__(self, frame, *, primary_key: str | Sequence[str] | None = None,
                 foreign_keys: Mapping | None = None, time: str | None = None,
                 known_at: Mapping[str, str] | None = None, missing_time: Mapping[str, str] | None = None,
                 time_units: str | Mapping[str, str] | None = None, categorical: Sequence[str] = (),
                 ignore: Sequence[str] = ()) -> None:
        self._source = sources.source_of(frame)
        self.frame = getattr(self._source, "frame", frame)
        self.column_names = self._source.column_names
        self.primary_key = [primary_key] if isinstance(primary_key, str) else list(primary_key or [])
        self.references = [_reference(columns, target) for columns, target in (foreign_keys or {}).items()]
        self.time = time
        self.known_at = dict(known_at or {})
        self.missing_time = dict(missing_time or {})
        self.time_units = time_units if isinstance(time_units, str) else dict(time_units or {})
        self.categorical = list(categorical)
        self.ignore = list(ignore)

    @property
    def source(self) -> sources.Source:
        """Where the rows come from; read when the graph is built."""
        return self._source

    @property
    def num_rows(self) -> int:
        return self.source.num_rows

    def column(self, name: str):
        """The whole column (read from the source, if it is not in memory)."""
        return self.source.column(name)

    def time_columns(self) -> list[str]:
        """The row's time first, then every known_at target."""
        names = [self.time] if self.time is not None else []
        return names + [c for c in dict.fromkeys(self.known_at.values()) if c not in names]

    def time_unit_of(self, column: str) -> str | None:
        """The stated unit of a time column's integers, if any."""
        return self.time_units if isinstance(self.time_units, str) else self.time_units.get(column)

    def graph_times(self, column: str, time_unit: str, *, where: str = "") -> np.ndarray:
        """A time column as int64 times in time_unit, by the build's rule."""
        return self._time_values(self.column(column), column, time_unit, where or f"column {column!r}")[0]

    def _time_values(self, values, column: str, time_unit: str, where: str,
                     first_row: int = 0) -> tuple[np.ndarray, str | None]:
        """(int64 times, the clock they are on: None for values without a
        present one) of a time column's values, or of a chunk of them that
        starts at first_row."""
        array, absent = convert.values(values, where)
        declared = self.time_unit_of(column)
        clock = None
        if array.size and (absent is None or not absent.all()):
            clock = convert.EPOCH_CLOCK if array.dtype.kind == "M" or declared else convert.GRAPH_CLOCK
        stamps = convert.graph_time(array, absent, time_unit, where, integers=declared or convert.GRAPH_CLOCK,
                                    round_up=True, missing=self.missing_time.get(column),
                                    hint=f"; say what a missing time means with missing_time="
                                         f"{{{column!r}: 'never' or 'always'}}, or fill it",
                                    first_row=first_row)
        return stamps, clock

    def _validate(self, name: str, tables: Mapping[str, Table]) -> None:
        where = f"table {name!r}"
        named = set(self.column_names)
        used = [*self.primary_key, *(c for r in self.references for c in r.columns), *self.known_at,
                *self.known_at.values(), *self.missing_time, *self.categorical, *self.ignore,
                *(self.time_units if isinstance(self.time_units, dict) else ())]
        if self.time is not None:
            used.append(self.time)
        for column in used:
            if column not in named:
                raise ValueError(f"{where} has no column {column!r} (columns: {', '.join(self.column_names)})")
        for reference in self.references:
            check_name(reference.relation, f"{where}: relation")
            check_name(reference.reverse, f"{where}: reverse relation")
            if reference.table not in tables:
                raise ValueError(f"{where}: foreign key {_show(reference.columns)} refers to table "
                                 f"{reference.table!r}, which the database lacks")
            target = tables[reference.table]
            width = len(target.primary_key) or 1
            if len(reference.columns) != width:
                raise ValueError(f"{where}: foreign key {_show(reference.columns)} has {len(reference.columns)} "
                                 f"columns but the key of {reference.table!r} has {width}")
        if self.known_at and self.time is None:
            raise ValueError(f"{where} has known_at but no time column")
        units = {column: self.time_units for column in self.time_columns()} if isinstance(self.time_units, str) \
            else self.time_units
        timed = f"(its time and the known_at targets: {', '.join(map(repr, self.time_columns())) or 'none'})"
        for column, unit in units.items():
            if column not in self.time_columns():
                raise ValueError(f"{where}: time_units names {column!r}, which is not one of its time columns {timed}")
            convert.check_integer_unit(unit, f"{where}: the time unit of {column!r}")
        for column, meaning in self.missing_time.items():
            if column not in self.time_columns():
                raise ValueError(f"{where}: missing_time names {column!r}, which is not one of its time columns "
                                 f"{timed}")
            if meaning not in convert.MISSING_TIME:
                raise ValueError(f"{where}: missing_time of {column!r} may be 'never' or 'always', not {meaning!r}")


class Database:
    """Tables by name; to_graph() builds the graph of their foreign keys."""

    def __init__(self, tables: Mapping[str, Table]) -> None:
        self.tables = dict(tables)
        for name, table in self.tables.items():
            check_name(name, "table name")
            if not isinstance(table, Table):
                raise TypeError(f"table {name!r} is a {type(table).__name__}, not a vornlib_tools.Table")
        for name, table in self.tables.items():
            table._validate(name, self.tables)

    def to_graph(self, directory: str | os.PathLike | None = None, *, time_unit: str = "s",
                 on_dangling: str | None = None, feature_cutoff=None, max_categories: int = MAX_CATEGORIES,
                 edge_types: Sequence[tuple[str, str, str]] | None = None,
                 metadata: Mapping | None = None, memory_limit: int | str | None = None,
                 progress: bool | Callable | None = None) -> Graph:
        """The graph, checked; with a directory, saved there as it is built
        (each array is written once made and then memory-mapped) and returned
        mapped from it.

        on_dangling says what a reference to a key the referenced table lacks
        gives: "drop" no edge (counted per foreign key in the summary),
        "raise" a ValueError, "add" a node without features appended to the
        referenced table. By default such references are dropped too, but a
        foreign key more than half of whose present references dangle is
        refused (it is declared on the wrong column or table) unless
        on_dangling="drop" is given. feature_cutoff (a datetime, or an integer
        on a graph of bare integer times) limits the rows whose values set the
        numeric statistics and the vocabularies; by default every row does. edge_types, if given,
        fixes their order (it must list exactly the edge types the foreign
        keys give).

        memory_limit (bytes, or a string such as "4GB"; by default a quarter
        of the machine's memory) bounds what the build holds in memory: it
        reads the tables in chunks, writes each array into the directory as
        it goes and spills its working arrays to files beside them when they
        would pass the limit; a step that cannot stay within it refuses with
        a MemoryError that says how much it needs. Without a directory the
        graph is in memory, and only the build's working memory is bounded.
        progress shows a bar per phase: True, False, None (only on a
        terminal) or a callable that gets each vornlib_tools.ProgressEvent."""
        convert.check_unit(time_unit)
        limit = memory.default_limit() if memory_limit is None else memory.parse_limit(memory_limit)
        if on_dangling is not None and on_dangling not in DANGLING:
            raise ValueError(f"on_dangling must be one of {', '.join(DANGLING)}, not {on_dangling!r}")
        build = _Build(self, time_unit, on_dangling, feature_cutoff, max_categories, directory, limit,
                       Progress(progress))
        try:
            return build.run(edge_types, metadata)
        except BaseException:  # KeyboardInterrupt too: a half-written graph must not stay behind
            build.store.discard()
            raise
        finally:
            build.close()


# ---- building ------------------------------------------------------------------------

class _Build:
    def __init__(self, database: Database, unit: str, on_dangling: str | None, cutoff,
                 max_categories: int, directory, limit: int, progress: Progress) -> None:
        self.tables = database.tables
        self.unit, self.on_dangling, self.cutoff, self.max_categories = unit, on_dangling, cutoff, max_categories
        self.clock = _Clock(progress)
        self.store = _Store(directory, self.clock)
        self.work = memory.Workspace(limit, self.store.building)
        self.opened: list[sources.Source] = []
        self.clocks: dict[str, tuple[str, str]] = {}  # each kind of time with the first column that has it
        self.graph_clock: str | None = None

    def close(self) -> None:
        """Gives the sources back as they were, the last opened first."""
        while self.opened:
            self.opened.pop().close()

    def run(self, edge_types, metadata) -> Graph:
        phase = self.clock.phase
        for table in self.tables.values():  # before anything is read, counts included
            table.source.open(self.store.building, self.work.reading_bytes)
            self.opened.append(table.source)
        # No table can grow by more nodes than all tables have rows (on_dangling="add").
        self.max_nodes = 2 * sum(t.num_rows for t in self.tables.values())
        self.report: dict = {name: {"rows": t.num_rows, "added": 0, "time": t.time, "primary_key": t.primary_key,
                                    "foreign_keys": {}, "left_out": {}} for name, t in self.tables.items()}
        for name, table in self.tables.items():
            self._screen(name, table)
        with phase("keys"):
            keys = {name: self._primary_key(name, table) for name, table in self.tables.items()}
        with phase("times"):
            times = {name: self._times(name, table) for name, table in self.tables.items()}
            self.graph_clock = self._clock()
            self.cutoff = self._feature_cutoff(self.cutoff)
        with phase("keys"):
            references = self._resolve(keys)
        for name, key in keys.items():  # complete now: on_dangling="add" appends while resolving
            for column, values in zip(key.columns, key.values):
                self.store.put(key_stem(name, column), values)
            key.values, key.index = [], None
            self.work.release(key.held)
        num_nodes = {name: t.num_rows + len(keys[name].added_rows) for name, t in self.tables.items()}
        node_time = {}
        for name, table in self.tables.items():
            if table.time is not None:
                with phase("times"):
                    node_time[name] = self._node_time(times, name, keys[name])
                self.store.put(time_stem(name), node_time[name])
        made = []
        for name, table in self.tables.items():
            with phase("time order", name):
                order = time_order(node_time[name][:table.num_rows], self.work) \
                    if name in node_time and references[name] else (None, None)
            while references[name]:  # each table's targets are dropped once its edge types are written
                reference, targets, valid = references[name].pop(0)
                made += self._edges(name, reference, targets, valid, num_nodes, order, node_time)
                del targets
            del order
        order = made if edge_types is None else [tuple(e) for e in edge_types]
        if sorted(order) != sorted(made):
            raise ValueError(f"edge_types {order} do not match the foreign keys' edge types {made}")
        feature_tables = {}
        for name, table in self.tables.items():
            feature_tables[name] = self._features(name, table, times.pop(name), num_nodes[name])
        graph = Graph(node_types=list(self.tables), edge_types=order, colptr={}, row={}, node_time=node_time,
                      num_nodes=num_nodes, metadata=dict(metadata or {}),
                      time_unit=self.unit, primary_keys={n: PrimaryKey(k.columns, []) for n, k in keys.items()},
                      features=feature_tables, schema=self.report, checked=True, clock=self.graph_clock)
        with phase("write"):
            graph = self.store.finish(graph)
        self.clock.report()
        return graph

    def _chunks(self, name: str, table: Table, columns: Sequence[str], phase: str,
                rows: int | None = None) -> Iterator[tuple[int, dict]]:
        """The table's chunks of these columns, counted on the phase's bar."""
        columns = list(dict.fromkeys(columns))
        if not columns:
            return
        if rows is None:
            rows = self.work.chunk_rows(table.source.bytes_per_row(columns) if table.source.lazy else
                                        8.0 * max(len(columns), 1))
        bar = self.clock.bar(phase, name, table.num_rows)
        seen = 0
        for begin, chunk in _ahead(table.source.chunks(columns, rows)):
            count = len(next(iter(chunk.values()))) if chunk else 0
            seen += count
            bar.advance(count, sum(getattr(c, "nbytes", 0) for c in chunk.values()))
            yield begin, chunk
        bar.finish()
        if seen != table.num_rows:
            raise ValueError(f"table {name!r} gave {seen:,} rows when read, {table.num_rows:,} when counted: its "
                             f"source must give the same rows every time it is read")

    def _screen(self, name: str, table: Table) -> None:
        """Column types no value of which can be used, found from the types
        alone, before anything is converted or written: a key or time column
        of them is refused, a feature column left out."""
        needed = {*table.primary_key, *(c for r in table.references for c in r.columns), *table.time_columns()}
        columns = [c for c in table.column_names if c not in table.ignore]
        head = table.source.head(columns, 1)
        for column in columns:
            reason = convert.unusable_type(head[column])
            if reason is None:
                continue
            if column in needed:
                raise ValueError(f"table {name!r}, column {column!r} holds {reason}: it cannot be a key or a time")
            self.report[name]["left_out"][column] = reason

    # -- keys and references

    def _primary_key(self, name: str, table: Table) -> _Keys:
        if not table.primary_key:
            return _Keys([], [], None, table.num_rows)
        # Held whole for lookups until every reference is resolved: the values, and a direct table or a
        # sorted copy; every table's at once.
        held = self.work.hold(24 * table.num_rows * len(table.primary_key), f"the primary key of table {name!r} "
                              f"({table.num_rows:,} rows)")
        parts: dict[str, list] = {column: [] for column in table.primary_key}
        for begin, chunk in self._chunks(name, table, table.primary_key, "keys"):
            for column in table.primary_key:
                where = f"table {name!r}, key column {column!r}"
                data, missing = convert.key_values(chunk[column], where, first_row=begin)
                if missing is not None:
                    raise ValueError(f"{where} has a missing value at row {begin + int(np.flatnonzero(missing)[0])}")
                parts[column].append(data)
        values = [_joined(parts.pop(column), np.int64) for column in table.primary_key]
        index = convert.KeyIndex(values, f"table {name!r}, primary key {_show(table.primary_key)}")
        keys = _Keys(table.primary_key, values, index, table.num_rows)
        keys.held = held
        return keys

    def _resolve(self, keys: dict[str, _Keys]) -> dict[str, list]:
        """Per table, each reference with the node it points to per row (-1:
        none) and the number of rows that point to one."""
        resolved = {}
        narrow = np.int32 if self.max_nodes < 2**31 else np.int64  # kept until the table's edge types are built
        for name, table in self.tables.items():
            resolved[name] = []
            for reference in table.references:
                targets = self.work.array(narrow, table.num_rows)
                valid, facts = self._resolve_one(name, table, reference, keys[reference.table], targets)
                self.report[name]["foreign_keys"][_show(reference.columns)] = facts
                resolved[name].append((reference, targets, valid))
        for name, key in keys.items():
            self.report[name]["added"] = len(key.added_rows)
        return resolved

    def _resolve_one(self, name: str, table: Table, reference: Reference, target: _Keys,
                     out: np.ndarray) -> tuple[int, dict]:
        """Fills out with each row's node of the referenced table (-1: none);
        (rows that refer to a node, the foreign key's facts for the report)."""
        where = f"table {name!r}, foreign key {_show(reference.columns)}"
        null = count = valid = 0
        low, high = None, None  # of the present references, for row positions
        first = None  # (row, values) of the first dangling reference
        dangling_keys: list[tuple[list[np.ndarray], np.ndarray]] = []  # per chunk: distinct values, first rows
        for begin, chunk in self._chunks(name, table, reference.columns, "keys"):
            columns, absent = [], None
            for column in reference.columns:
                data, missing = convert.key_values(chunk[column], f"{where}, column {column!r}", first_row=begin)
                columns.append(data)
                if missing is not None:
                    absent = missing if absent is None else absent | missing
            absent = np.zeros(len(columns[0]), dtype=bool) if absent is None else absent
            if target.index is None and columns[0].dtype.kind == "i":
                given = columns[0][~absent] if absent.any() else columns[0]
                if given.size:
                    low = int(given.min()) if low is None else min(low, int(given.min()))
                    high = int(given.max()) if high is None else max(high, int(given.max()))
            targets = target.lookup(columns, where)
            targets[absent] = -1
            dangling = (targets < 0) & ~absent
            null += int(np.count_nonzero(absent))
            if dangling.any():
                count += int(np.count_nonzero(dangling))
                rows = np.flatnonzero(dangling)
                if first is None:
                    first = (begin + int(rows[0]), [c[rows[0]] for c in columns])
                values = [c[dangling] for c in columns]
                distinct = convert.KeyIndex.distinct(values)
                dangling_keys.append(([v[distinct] for v in values], begin + rows[distinct]))
                if self.on_dangling == "add":
                    targets[dangling] = target.add(values, rows=begin + rows, referencing=name)
            valid += int(np.count_nonzero(targets >= 0))
            out[begin:begin + len(targets)] = targets
        if target.index is None and low is not None:
            self._check_positions(where, reference, low, high, target.rows)
        present = table.num_rows - null
        values, rows = _distinct_dangling(dangling_keys)
        if self.on_dangling is None and count > present * MOSTLY_DANGLING:
            firsts = sorted(rows[:2])
            shown = " and ".join(", ".join(repr(v[list(rows).index(row)].item()) for v in values) for row in firsts)
            matched = f"key {_show(target.columns)}" if target.columns else \
                f"row position (it has no primary key: 0..{target.rows - 1})"
            raise ValueError(f"{where}: {count:,} of its {present:,} references ({count / present:.0%}) match "
                             f"no {matched} of table {reference.table!r}, for example {shown}; is it "
                             f"declared on the column its values refer to? Pass on_dangling='drop' to drop "
                             f"them anyway, or 'add' to add them as nodes")
        if count and self.on_dangling == "raise":
            value = ", ".join(repr(v.item()) for v in first[1])
            raise ValueError(f"{where}: {count} rows refer to keys table {reference.table!r} lacks, "
                             f"for example ({value}) at row {first[0]}")
        return valid, {"table": reference.table, "relation": reference.relation, "reverse": reference.reverse,
                       "null": null, "dangling": count, "dangling_keys": len(rows),
                       "on_dangling": self.on_dangling or "drop", "positions": target.index is None}

    @staticmethod
    def _check_positions(where: str, reference: Reference, low: int, high: int, rows: int) -> None:
        """References into a table without a primary key are row positions
        0..rows-1 (low and high: the least and greatest given); values that
        never name row 0 but name the row past the last are counted from 1,
        which would link every row to its neighbour."""
        if rows and low >= 1 and high == rows:
            raise ValueError(f"{where}: table {reference.table!r} has no primary key, so its references are row "
                             f"positions 0..{rows - 1}, but these run from {low} to {rows}: counted "
                             f"from 1? Give {reference.table!r} the primary key these values refer to, or subtract 1")

    # -- times

    def _times(self, name: str, table: Table) -> dict[str, np.ndarray]:
        columns = table.time_columns()
        times = {column: self.work.array(np.int64, table.num_rows) for column in columns}
        for begin, chunk in self._chunks(name, table, columns, "times"):
            for column in columns:
                stamps, clock = table._time_values(chunk[column], column, self.unit,
                                                   f"table {name!r}, column {column!r}", first_row=begin)
                times[column][begin:begin + len(stamps)] = stamps
                if clock is not None:
                    self.clocks.setdefault(clock, (name, column))
        return times

    def _clock(self) -> str | None:
        """The graph's clock: one kind of time in every table, or a refusal."""
        if len(self.clocks) > 1:
            (table, column), (other, datetimes) = self.clocks[convert.GRAPH_CLOCK], self.clocks[convert.EPOCH_CLOCK]
            raise ValueError(f"table {table!r}, column {column!r} holds integers without a stated unit, while table "
                             f"{other!r}, column {datetimes!r} holds datetimes: an integer is a time only in a stated "
                             f"unit. State it, e.g. Table(..., time_units={{{column!r}: 'year'}}) (units: "
                             f"{', '.join(convert.INTEGER_UNITS)}; D to ns count since 1970-01-01 UTC)")
        return next(iter(self.clocks), None)

    def _feature_cutoff(self, cutoff) -> int | None:
        if cutoff is None:
            return None
        array, absent = convert.values([cutoff], "feature_cutoff")
        stamps = convert.graph_time(array, absent, self.unit, "feature_cutoff", integers=convert.GRAPH_CLOCK)
        convert.check_clock(array.dtype.kind, self.graph_clock, "feature_cutoff",
                            how=" with vornlib_tools.as_time(value, unit)")
        return int(stamps[0])

    def _node_time(self, times: dict[str, dict[str, np.ndarray]], name: str, key: _Keys) -> np.ndarray:
        """Row times, then for each added node the earliest time of the rows that refer to it."""
        own = times[name][self.tables[name].time]
        if not key.added_rows:
            return own
        added = np.full(len(key.added_rows), convert.INT64_MIN, dtype=np.int64)
        for position, (referencing, rows) in enumerate(key.added_rows):
            stamps = times[referencing].get(self.tables[referencing].time)
            if stamps is not None:  # the referencing table's times, converted once above
                added[position] = stamps[rows].min()
        return np.concatenate([own, added])

    # -- edges

    def _edges(self, name: str, reference: Reference, targets: np.ndarray, valid: int, num_nodes: dict[str, int],
               order: tuple, node_time: dict[str, np.ndarray]) -> list:
        referenced = reference.table
        forward = (referenced, reference.relation, name)
        backward = (name, reference.reverse, referenced)
        for edge_type in (forward, backward):  # one at a time: only its own arrays are held
            key = edge_type_key(edge_type)
            rows = self.store.writer(row_stem(key), np.int64, (valid,))
            with self.clock.phase("edges", key):
                if edge_type == forward:
                    colptr = self.store.writer(colptr_stem(key), np.int64, (num_nodes[name] + 1,))
                    _pointing(targets, colptr, rows)
                    colptr = colptr.close()
                else:
                    self.work.need(16 * (num_nodes[referenced] + 1), f"the edge type {key} "
                                   f"({num_nodes[referenced]:,} destinations)")
                    colptr, _ = group_by_destination(targets, num_nodes[referenced], order[1], order[0],
                                                     work=self.work, sink=rows.write)
                    self.store.put(colptr_stem(key), colptr)
                row = rows.close()
            with self.clock.phase("check", key):
                check_edge_type(key, colptr, row, num_nodes[edge_type[0]], num_nodes[edge_type[2]],
                                node_time.get(edge_type[0]))
            del colptr, row, rows
        return [forward, backward]

    # -- features

    def _features(self, name: str, table: Table, times: dict[str, np.ndarray], nodes: int):
        with self.clock.phase("features"):
            return self._encode(name, table, times, nodes)

    def _encode(self, name: str, table: Table, times: dict[str, np.ndarray], nodes: int):
        """A first look at a few rows settles most columns' kinds and leaves
        out long text; then two passes over the rest: statistics, and values
        written into the feature files a chunk of rows at a time."""
        left_out = self.report[name]["left_out"]
        excluded = {*table.primary_key, *(c for r in table.references for c in r.columns), table.time,
                    *table.ignore, *left_out}
        names = list(times)
        kinds: dict[str, str] = {}  # column -> its kind, once a chunk with a present value said it
        text: dict[str, set] = {}  # text columns of no declared kind -> their distinct values so far
        read = [c for c in table.column_names if c not in excluded and c not in times]
        timed = [c for c in table.column_names if c in times and c not in excluded]  # known-at times
        source = {column: names.index(table.known_at.get(column, column if column in times else table.time))
                  if table.time else features.ALWAYS_KNOWN for column in [*read, *timed]}
        encoder = features.Encoder(names, source, self.cutoff, self.unit)
        if read and table.num_rows:
            self._convert(name, table, table.source.head(read, 1 << 14), 0, kinds, text, read)
            read = [c for c in read if c not in left_out]
        if read:
            for begin, chunk in self._chunks(name, table, read, "statistics"):
                converted = self._convert(name, table, chunk, begin, kinds, text, read)
                encoder.fit(converted, self._known(times, begin, _length(chunk)))
        for column in read:
            if column not in kinds and column not in left_out:
                left_out[column] = "no values" if table.num_rows else "no rows"
        read = [c for c in read if c not in left_out]
        kinds.update({column: features.DATETIME for column in timed})
        encoder.finish([(c, _encoded(kinds[c])) for c in table.column_names if c in kinds and c not in left_out])
        shapes = {"values": (np.float32, encoder.value_width), "datetimes": (np.int64, encoder.datetime_width),
                  "present": (np.bool_, encoder.width), "known": (np.int64, len(names))}
        arrays = {array: self.store.writer(features_stem(name, array), dtype, (nodes, width))
                  for array, (dtype, width) in shapes.items()}
        rows = table.num_rows
        chunks = self._chunks(name, table, read, "values") if read else \
            ((begin, {"": range(end - begin)}) for begin, end in slices(rows, self.work.chunk_rows(
                8.0 * (len(names) + len(timed) + 1))))
        for begin, chunk in chunks:
            count = _length(chunk)
            converted = self._convert(name, table, chunk, begin, kinds, text, read, settled=True)
            if len(converted) != len(read):
                raise ValueError(f"table {name!r} gave other values when read again (columns "
                                 f"{sorted(set(read) - set(converted))}): its source must give the same rows "
                                 f"every time it is read")
            for column in timed:
                stamps = np.asarray(times[column][begin:begin + count])
                absent = (stamps == convert.INT64_MAX) | (stamps == convert.INT64_MIN)
                converted[column] = (features.DATETIME, stamps, absent if absent.any() else None)
            values, datetimes, present = encoder.encode(converted, count)
            arrays["values"].write(values)
            arrays["datetimes"].write(datetimes)
            arrays["present"].write(present)
            arrays["known"].write(self._known(times, begin, count))
        for array_name, writer in arrays.items():  # nodes added for dangling references: no values
            writer.fill(nodes - rows, convert.INT64_MIN if array_name == "known" else 0)
        encoded = encoder.table()
        for array_name, writer in arrays.items():  # the files hold them; the graph maps them from there
            array = writer.close()
            setattr(encoded, array_name, array if self.store.directory is None else None)
        self.report[name]["features"] = {c.name: c.kind for c in encoded.columns}
        return encoded

    @staticmethod
    def _known(times: dict[str, np.ndarray], begin: int, count: int) -> np.ndarray:
        """(rows, time sources): when each source says this chunk's values become known."""
        known = np.empty((count, len(times)), dtype=np.int64)
        for index, stamps in enumerate(times.values()):
            known[:, index] = stamps[begin:begin + count]
        return known

    def _convert(self, name: str, table: Table, chunk: dict, begin: int, kinds: dict, text: dict,
                 columns: Sequence[str], settled: bool = False) -> dict:
        """Each column's chunk as (kind, values, missing mask or None) for the
        encoder. A column's kind is settled by its first chunk with a present
        value; a column whose values cannot be used, whose chunks disagree in
        kind, or which is text of no declared kind with more than
        max_categories distinct values is left out, with the reason (once
        every column is settled, its text is not counted again)."""
        left_out = self.report[name]["left_out"]
        converted = {}
        for column in columns:
            if column in left_out:
                continue
            where = f"table {name!r}, column {column!r}"
            try:
                kind, data, missing, reason = self._feature_values(table, column, chunk[column], where, begin)
            except convert.Unconvertible as error:  # only keys and times may stop a build
                kind, reason = None, error.reason
            if reason is not None:
                left_out[column] = reason
                continue
            if missing is not None and missing.all():  # no present value: says nothing of the kind
                if column in kinds:
                    converted[column] = (_encoded(kinds[column]), None, missing)
                continue
            if kind == features.CATEGORICAL and column not in table.categorical and _is_text(data):
                kind = _TEXT
            first = kinds.setdefault(column, kind)
            if first != kind:
                left_out[column] = f"values of mixed kinds ({first} in some rows, {kind} in others)"
                continue
            if kind == _TEXT and not settled:
                seen = text.setdefault(column, set())
                seen.update(_text_values(data, missing))
                if len(seen) > self.max_categories:
                    left_out[column] = f"text with more than {self.max_categories:,} distinct values"
                    del text[column]
                    continue
            converted[column] = (_encoded(kind), data, missing)
        return converted

    def _feature_values(self, table: Table, column: str, raw, where: str, begin: int) -> tuple:
        """(kind, values, missing, None), or (None, None, None, why it is left out), by the column's type."""
        if _arrow_text(raw):  # text stays in Arrow, whose hashing beats sorting numpy strings many times
            array = raw.combine_chunks() if hasattr(raw, "combine_chunks") else raw
            if hasattr(array.type, "value_type"):
                array = array.cast(array.type.value_type)
            missing = np.asarray(array.is_null()) if array.null_count else None
            return features.CATEGORICAL, array, missing, None
        data, missing = convert.values(raw, where)
        kind = data.dtype.kind
        if column in table.categorical or kind in "bUS":
            return features.CATEGORICAL, data, missing, None
        if kind in "iuf":
            return features.NUMERIC, data, missing, None
        if kind == "m":  # a duration: a number of seconds
            return features.NUMERIC, data.astype("timedelta64[ns]") / np.timedelta64(1, "s"), missing, None
        if kind == "M" and self.graph_clock == convert.GRAPH_CLOCK:
            return None, None, None, "datetimes, in a graph whose times are bare integers"
        if kind == "M":
            gaps = data if missing is None else np.where(missing, np.array("NaT", data.dtype), data)
            stamps = convert.to_graph_time(gaps, self.unit, where, missing="always")
            return features.DATETIME, stamps, missing, None
        return None, None, None, f"{data.dtype} values"


@dataclass
class _Keys:
    """A table's key columns and their index, plus the nodes added for dangling references."""

    columns: list[str]
    values: list[np.ndarray]
    index: convert.KeyIndex | None
    rows: int

    def __post_init__(self) -> None:
        self.added_rows: list[tuple[str, np.ndarray]] = []
        self._added: dict = {}
        self.held = 0  # bytes counted in the build's workspace until the values and index are dropped

    def lookup(self, columns: list[np.ndarray], where: str) -> np.ndarray:
        if self.index is not None:
            result = self.index.lookup(columns, where)
        else:
            ids = columns[0]
            if ids.dtype.kind != "i":
                raise ValueError(f"{where}: the referenced table has no primary key, so references are row "
                                 f"positions, which must be integers (not {ids.dtype})")
            result = np.where((ids >= 0) & (ids < self.rows), ids, -1).astype(np.int64)
        if self._added:  # keys added for an earlier foreign key
            missing = np.flatnonzero(result < 0)
            for position in missing:
                result[position] = self._added.get(tuple(c[position].item() for c in columns), -1)
        return result

    def add(self, columns: list[np.ndarray], rows: np.ndarray, referencing: str) -> np.ndarray:
        """Node indices for these missing keys, appending the ones not seen before."""
        if self.index is None:
            raise ValueError("references to row positions beyond a table without a primary key cannot be added")
        nodes = np.empty(len(rows), dtype=np.int64)
        for position in range(len(rows)):
            value = tuple(c[position].item() for c in columns)
            node = self._added.get(value)
            if node is None:
                node = self._added[value] = self.rows + len(self.added_rows)
                self.added_rows.append((referencing, rows[[position]]))
                self.values = [np.append(v, c[position]) for v, c in zip(self.values, columns)]
            else:
                table, earlier = self.added_rows[node - self.rows]
                if table == referencing:
                    self.added_rows[node - self.rows] = (table, np.append(earlier, rows[position]))
            nodes[position] = node
        return nodes


def _pointing(targets: np.ndarray, colptr: _Writer, row: _Writer) -> None:
    """CSC over the referencing rows, into the writers of colptr (one entry
    per node of the table, added ones included, plus one) and row: row i's
    run is the node it refers to, if any."""
    colptr.write(np.zeros(1, dtype=np.int64))
    written = 0
    for begin, end in slices(len(targets), 1 << 22):
        part = np.asarray(targets[begin:end])
        valid = part >= 0
        if valid.all():  # one edge per row: no cumulative sum and no masked copy
            colptr.write(np.arange(written + 1, written + 1 + len(part), dtype=np.int64))
            row.write(part)
            written += len(part)
        else:
            ends = np.cumsum(valid, dtype=np.int64)
            ends += written
            colptr.write(ends)
            row.write(part[valid])
            written += int(np.count_nonzero(valid))
    colptr.fill(colptr.shape[0] - colptr.rows, written)


class _Clock:
    """Seconds spent per phase of a build; a phase entered inside another pauses it.
    The totals are logged at DEBUG level, with the dict as the record's `phases`.
    A phase named with a detail (a table, an edge type) has a bar of progress,
    and so has every pass over a table's rows (bar())."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.seconds: dict[str, float] = {}
        self._open: list[str] = []
        self._since = time.perf_counter()

    @contextmanager
    def phase(self, name: str, detail: str | None = None):
        self._switch()
        self._open.append(name)
        bar = None if detail is None else self.progress.bar(name, detail)
        try:
            yield
        finally:
            if bar is not None:
                bar.finish()
            self._switch()
            self._open.pop()

    def bar(self, phase: str, table: str, total: int):
        return self.progress.bar(phase, table, total)

    def _switch(self) -> None:
        now = time.perf_counter()
        if self._open:
            self.seconds[self._open[-1]] = self.seconds.get(self._open[-1], 0.0) + now - self._since
        self._since = now

    def report(self) -> None:
        _log.debug("graph built: %s", ", ".join(f"{name} {seconds:.2f} s" for name, seconds in self.seconds.items()),
                   extra={"phases": dict(self.seconds)})


class _Store:
    """Where the arrays go: kept in memory, or written as they are made into a
    sibling of the graph directory that takes its place only once the graph
    is complete, so that a failed or interrupted build leaves nothing behind
    and an existing graph as it was."""

    def __init__(self, directory, clock: _Clock) -> None:
        self.clock = clock
        self.directory = None if directory is None else Path(directory)
        self.arrays: dict[str, np.ndarray] = {}
        self.building: Path | None = None
        if self.directory is not None:
            _check_replaceable(self.directory)
            self.directory.parent.mkdir(parents=True, exist_ok=True)
            self.building = Path(tempfile.mkdtemp(prefix=f".{self.directory.name}.building-",
                                                  dir=self.directory.parent))
            mask = os.umask(0)
            os.umask(mask)
            self.building.chmod(0o777 & ~mask)  # as mkdir would have made it, not mkdtemp's private mode

    def put(self, stem: str, array: np.ndarray) -> None:
        if self.directory is None:
            self.arrays[stem] = array
        else:
            with self.clock.phase("write"):
                np.save(self.building / f"{stem}.npy", np.ascontiguousarray(array))

    def writer(self, stem: str, dtype, shape: tuple[int, ...]) -> _Writer:
        """A writer of the array's rows, in order: into its file in the graph
        directory as a stream, or into an array in memory."""
        if self.directory is None:
            array = self.arrays[stem] = np.empty(shape, dtype=dtype)
            return _Writer(array, None)
        return _Writer(np.dtype(dtype), self.building / f"{stem}.npy", shape)

    def finish(self, graph: Graph) -> Graph:
        if self.directory is None:
            graph.attach(self.arrays)
            return graph
        graph.write_index(self.building)
        _check_replaceable(self.directory)  # nothing else took the place while this graph was built
        if self.directory.exists():
            old = Path(tempfile.mkdtemp(prefix=f".{self.directory.name}.replaced-", dir=self.directory.parent))
            self.directory.replace(old / "graph")
            self.building.replace(self.directory)
            shutil.rmtree(old, ignore_errors=True)
        else:
            self.building.replace(self.directory)
        self.building = None
        return Graph.load(self.directory)

    def discard(self) -> None:
        """Removes a build that did not finish."""
        if self.building is not None:
            shutil.rmtree(self.building, ignore_errors=True)
            self.building = None


class _Writer:
    """An array's rows written in order, into an array in memory or as a
    stream into its .npy file; close() returns the array (a read-only map of
    the file)."""

    def __init__(self, target, path: Path | None, shape: tuple[int, ...] | None = None) -> None:
        self.path, self.rows = path, 0
        if path is None:
            self.array, self.shape, self.dtype, self._file = target, target.shape, target.dtype, None
            return
        self.array, self.shape, self.dtype = None, tuple(shape), target
        self._file = open(path, "wb")
        np.lib.format.write_array_header_1_0(self._file, {"descr": np.lib.format.dtype_to_descr(self.dtype),
                                                          "fortran_order": False, "shape": self.shape})

    def write(self, block: np.ndarray) -> None:
        block = np.ascontiguousarray(block, dtype=self.dtype)
        if self._file is None:
            self.array[self.rows:self.rows + len(block)] = block
        elif block.size:
            self._file.write(block.data)
        self.rows += len(block)

    def fill(self, rows: int, value) -> None:
        """rows more rows of one value, written a slice at a time."""
        for begin, end in slices(rows, max((1 << 22) // max(int(np.prod(self.shape[1:])), 1), 1)):
            self.write(np.full((end - begin, *self.shape[1:]), value, dtype=self.dtype))

    def close(self) -> np.ndarray:
        if self.rows != self.shape[0]:
            raise RuntimeError(f"{self.path}: {self.rows} rows written of {self.shape[0]}")
        if self._file is None:
            return self.array
        self._file.close()
        return np.load(self.path, mmap_mode="r")


def _check_replaceable(directory: Path) -> None:
    """A build may take the place of a graph directory or an empty directory, not of other files."""
    if not directory.exists():
        return
    if not directory.is_dir():
        raise ValueError(f"{directory} exists and is not a directory: the graph cannot be written there")
    if (directory / INDEX_FILE).exists() or not any(directory.iterdir()):
        return
    raise ValueError(f"{directory} exists and holds files but no graph ({INDEX_FILE}): the build would replace "
                     f"them, so remove it or choose another directory")


def _reference(columns, target) -> Reference:
    columns = (columns,) if isinstance(columns, str) else tuple(columns)
    target = (target,) if isinstance(target, str) else tuple(target)
    if not 1 <= len(target) <= 3:
        raise ValueError(f"foreign key {_show(columns)}: give a table name, or (table, relation[, reverse])")
    relation = target[1] if len(target) > 1 else "_".join(columns)
    reverse = target[2] if len(target) > 2 else reverse_relation(relation)
    return Reference(columns, target[0], relation, reverse)


def _show(columns: Sequence[str]) -> str:
    return repr(columns[0]) if len(columns) == 1 else "(" + ", ".join(repr(c) for c in columns) + ")"


# Undeclared text: categorical while it has at most max_categories distinct values.
_TEXT = "text"


def _encoded(kind: str) -> str:
    return features.CATEGORICAL if kind == _TEXT else kind


def _ahead(items: Iterator) -> Iterator:
    """The items, each made in a thread while the one before is in use: the
    reading (DuckDB's query, Parquet's decoding, Arrow's conversions) runs
    on one core while the build encodes on the other; they release the GIL."""
    queue: Queue = Queue(maxsize=1)
    stop = threading.Event()
    end = object()

    def produce() -> None:
        try:
            for item in items:
                while not stop.is_set():
                    try:
                        queue.put((item, None), timeout=0.1)
                        break
                    except Full:
                        continue
                if stop.is_set():
                    return
            queue.put((end, None))
        except BaseException as error:  # raised where the items are used
            queue.put((end, error))

    thread = threading.Thread(target=produce, name="vornlib-reading", daemon=True)
    thread.start()
    try:
        while True:
            item, error = queue.get()
            if error is not None:
                raise error
            if item is end:
                return
            yield item
    finally:
        stop.set()
        while thread.is_alive():
            try:
                queue.get(timeout=0.1)
            except Empty:
                pass
        thread.join()


def _length(chunk: dict) -> int:
    return len(next(iter(chunk.values()))) if chunk else 0


def _arrow_text(column) -> bool:
    if type(column).__module__.split(".")[0] != "pyarrow":
        return False
    import pyarrow as pa

    kind = column.type.value_type if pa.types.is_dictionary(column.type) else column.type
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or \
        getattr(pa.types, "is_string_view", lambda _: False)(kind)


def _is_text(data) -> bool:
    return _arrow_text(data) or (isinstance(data, np.ndarray) and data.dtype.kind in "US")


def _text_values(data, missing: np.ndarray | None) -> set:
    """The distinct present values of a chunk of text."""
    if isinstance(data, np.ndarray):
        return set(np.unique(data if missing is None else data[~missing]).tolist())
    import pyarrow.compute as pc

    return set(pc.unique(data).drop_null().to_pylist())


def _joined(parts: list[np.ndarray], dtype) -> np.ndarray:
    if not parts:
        return np.empty(0, dtype=dtype)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _distinct_dangling(parts: list[tuple[list[np.ndarray], np.ndarray]]) -> tuple[list[np.ndarray], np.ndarray]:
    """The distinct dangling keys of every chunk, in KeyIndex.distinct's order,
    with the first row that holds each."""
    if not parts:
        return [], np.empty(0, dtype=np.int64)
    values = [np.concatenate([part[0][i] for part in parts]) for i in range(len(parts[0][0]))]
    rows = np.concatenate([part[1] for part in parts])
    distinct = convert.KeyIndex.distinct(values)  # first occurrences: chunks come in row order
    return [v[distinct] for v in values], rows[distinct]
