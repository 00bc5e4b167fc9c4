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
import time
from collections.abc import Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from vornlib_tools import convert, features
from vornlib_tools.check import check_edge_type
from vornlib_tools.graph import INDEX_FILE, Graph, PrimaryKey, group_by_destination, time_order
from vornlib_tools.schema import check_name

_log = logging.getLogger(__name__)

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

    frame: a pandas DataFrame, a pyarrow Table, anything that exports an
    Arrow stream (`__arrow_c_stream__`: polars frames, DuckDB relations), or
    a mapping from column names to equally long arrays.

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
        self.frame = _frame(frame)
        self.column_names = [str(c) for c in _column_names(self.frame)]
        self.primary_key = [primary_key] if isinstance(primary_key, str) else list(primary_key or [])
        self.references = [_reference(columns, target) for columns, target in (foreign_keys or {}).items()]
        self.time = time
        self.known_at = dict(known_at or {})
        self.missing_time = dict(missing_time or {})
        self.time_units = time_units if isinstance(time_units, str) else dict(time_units or {})
        self.categorical = list(categorical)
        self.ignore = list(ignore)

    @property
    def num_rows(self) -> int:
        if isinstance(self.frame, dict):
            return len(next(iter(self.frame.values()), ()))
        return len(self.frame) if _is_pandas(self.frame) else self.frame.num_rows

    def column(self, name: str):
        if isinstance(self.frame, dict) or _is_pandas(self.frame):
            return self.frame[name]
        return self.frame.column(name)

    def time_columns(self) -> list[str]:
        """The row's time first, then every known_at target."""
        names = [self.time] if self.time is not None else []
        return names + [c for c in dict.fromkeys(self.known_at.values()) if c not in names]

    def time_unit_of(self, column: str) -> str | None:
        """The stated unit of a time column's integers, if any."""
        return self.time_units if isinstance(self.time_units, str) else self.time_units.get(column)

    def graph_times(self, column: str, time_unit: str, *, where: str = "") -> np.ndarray:
        """A time column as int64 times in time_unit, by the build's rule."""
        return self._time_values(column, time_unit, where or f"column {column!r}")[0]

    def _time_values(self, column: str, time_unit: str, where: str) -> tuple[np.ndarray, str | None]:
        """(int64 times, the clock they are on: None for a column without a present value)."""
        array, absent = convert.values(self.column(column), where)
        declared = self.time_unit_of(column)
        clock = None
        if array.size and (absent is None or not absent.all()):
            clock = convert.EPOCH_CLOCK if array.dtype.kind == "M" or declared else convert.GRAPH_CLOCK
        stamps = convert.graph_time(array, absent, time_unit, where, integers=declared or convert.GRAPH_CLOCK,
                                    round_up=True, missing=self.missing_time.get(column),
                                    hint=f"; say what a missing time means with missing_time="
                                         f"{{{column!r}: 'never' or 'always'}}, or fill it")
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
                 metadata: Mapping | None = None) -> Graph:
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
        keys give)."""
        convert.check_unit(time_unit)
        if on_dangling is not None and on_dangling not in DANGLING:
            raise ValueError(f"on_dangling must be one of {', '.join(DANGLING)}, not {on_dangling!r}")
        build = _Build(self, time_unit, on_dangling, feature_cutoff, max_categories, directory)
        try:
            return build.run(edge_types, metadata)
        except BaseException:  # KeyboardInterrupt too: a half-written graph must not stay behind
            build.store.discard()
            raise


# ---- building ------------------------------------------------------------------------

class _Build:
    def __init__(self, database: Database, unit: str, on_dangling: str | None, cutoff,
                 max_categories: int, directory) -> None:
        self.tables = database.tables
        self.unit, self.on_dangling, self.cutoff, self.max_categories = unit, on_dangling, cutoff, max_categories
        # No table can grow by more nodes than all tables have rows (on_dangling="add").
        self.max_nodes = 2 * sum(t.num_rows for t in self.tables.values())
        self.clock = _Clock()
        self.store = _Store(directory, self.clock)
        self.clocks: dict[str, tuple[str, str]] = {}  # each kind of time with the first column that has it
        self.graph_clock: str | None = None
        self.report: dict = {name: {"rows": t.num_rows, "added": 0, "time": t.time, "primary_key": t.primary_key,
                                    "foreign_keys": {}, "left_out": {}} for name, t in self.tables.items()}

    def run(self, edge_types, metadata) -> Graph:
        phase = self.clock.phase
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
                self.store.put(f"{name}.key.{column}", values)
            key.values, key.index = [], None
        num_nodes = {name: t.num_rows + len(keys[name].added_rows) for name, t in self.tables.items()}
        node_time = {}
        for name, table in self.tables.items():
            if table.time is not None:
                with phase("times"):
                    node_time[name] = self._node_time(times, name, keys[name])
                self.store.put(f"{name}.time", node_time[name])
        made = []
        for name, table in self.tables.items():
            with phase("time order"):
                order = time_order(node_time[name][:table.num_rows]) if name in node_time and references[name] \
                    else (None, None)
            while references[name]:  # each table's targets are dropped once its edge types are written
                reference, targets = references[name].pop(0)
                made += self._edges(name, reference, targets, num_nodes, order, node_time)
            del order
        order = made if edge_types is None else [tuple(e) for e in edge_types]
        if sorted(order) != sorted(made):
            raise ValueError(f"edge_types {order} do not match the foreign keys' edge types {made}")
        feature_tables = {}
        for name, table in self.tables.items():
            feature_tables[name] = self._features(name, table, times.pop(name), num_nodes[name])
        graph = Graph(list(self.tables), order, {}, {}, node_time, num_nodes, metadata=dict(metadata or {}),
                      time_unit=self.unit, primary_keys={n: PrimaryKey(k.columns, []) for n, k in keys.items()},
                      features=feature_tables, schema=self.report, checked=True, clock=self.graph_clock)
        with phase("write"):
            graph = self.store.finish(graph)
        self.clock.report()
        return graph

    def _screen(self, name: str, table: Table) -> None:
        """Column types no value of which can be used, found from the types
        alone, before anything is converted or written: a key or time column
        of them is refused, a feature column left out."""
        needed = {*table.primary_key, *(c for r in table.references for c in r.columns), *table.time_columns()}
        for column in table.column_names:
            if column in table.ignore:
                continue
            reason = convert.unusable_type(table.column(column))
            if reason is None:
                continue
            if column in needed:
                raise ValueError(f"table {name!r}, column {column!r} holds {reason}: it cannot be a key or a time")
            self.report[name]["left_out"][column] = reason

    # -- keys and references

    def _primary_key(self, name: str, table: Table) -> _Keys:
        if not table.primary_key:
            return _Keys([], [], None, table.num_rows)
        values = []
        for column in table.primary_key:
            data, missing = convert.key_values(table.column(column), f"table {name!r}, key column {column!r}")
            if missing is not None:
                raise ValueError(f"table {name!r}, key column {column!r} has a missing value at row "
                                 f"{int(np.flatnonzero(missing)[0])}")
            values.append(data)
        index = convert.KeyIndex(values, f"table {name!r}, primary key {_show(table.primary_key)}")
        return _Keys(table.primary_key, values, index, table.num_rows)

    def _resolve(self, keys: dict[str, _Keys]) -> dict[str, list]:
        """Per table, each reference with the node it points to per row (-1: none)."""
        resolved = {}
        for name, table in self.tables.items():
            resolved[name] = []
            for reference in table.references:
                where = f"table {name!r}, foreign key {_show(reference.columns)}"
                columns, absent = [], np.zeros(table.num_rows, dtype=bool)
                for column in reference.columns:
                    data, missing = convert.key_values(table.column(column), f"{where}, column {column!r}")
                    columns.append(data)
                    if missing is not None:
                        absent |= missing
                target = keys[reference.table]
                if target.index is None:
                    self._check_positions(where, reference, columns[0], absent, target.rows)
                targets = target.lookup(columns, where)
                targets[absent] = -1
                dangling = (targets < 0) & ~absent
                count = int(np.count_nonzero(dangling))
                present = table.num_rows - int(np.count_nonzero(absent))
                if self.on_dangling is None and count > present * MOSTLY_DANGLING:
                    firsts = np.flatnonzero(dangling)[convert.KeyIndex.distinct([c[dangling] for c in columns])[:2]]
                    examples = " and ".join(", ".join(repr(c[row].item()) for c in columns) for row in sorted(firsts))
                    matched = f"key {_show(target.columns)}" if target.columns else \
                        f"row position (it has no primary key: 0..{target.rows - 1})"
                    raise ValueError(f"{where}: {count:,} of its {present:,} references ({count / present:.0%}) match "
                                     f"no {matched} of table {reference.table!r}, for example {examples}; is it "
                                     f"declared on the column its values refer to? Pass on_dangling='drop' to drop "
                                     f"them anyway, or 'add' to add them as nodes")
                if count and self.on_dangling == "raise":
                    first = int(np.flatnonzero(dangling)[0])
                    value = ", ".join(repr(c[first].item()) for c in columns)
                    raise ValueError(f"{where}: {count} rows refer to keys table {reference.table!r} lacks, "
                                     f"for example ({value}) at row {first}")
                if count and self.on_dangling == "add":
                    targets[dangling] = target.add([c[dangling] for c in columns], rows=np.flatnonzero(dangling),
                                                   referencing=name)
                distinct = 0
                if count:
                    distinct = len(convert.KeyIndex.distinct([c[dangling] for c in columns]))
                self.report[name]["foreign_keys"][_show(reference.columns)] = {
                    "table": reference.table, "relation": reference.relation, "reverse": reference.reverse,
                    "null": int(np.count_nonzero(absent)), "dangling": count, "dangling_keys": distinct,
                    "on_dangling": self.on_dangling or "drop", "positions": target.index is None}
                # Kept until the table's edge types are built: narrow while node indices allow.
                if self.max_nodes < 2**31:
                    targets = targets.astype(np.int32)
                resolved[name].append((reference, targets))
        for name, key in keys.items():
            self.report[name]["added"] = len(key.added_rows)
        return resolved

    @staticmethod
    def _check_positions(where: str, reference: Reference, ids: np.ndarray, absent: np.ndarray, rows: int) -> None:
        """References into a table without a primary key are row positions
        0..rows-1; values that never name row 0 but name the row past the
        last are counted from 1, which would link every row to its neighbour."""
        if ids.dtype.kind != "i" or not rows:
            return  # lookup refuses what cannot be a position
        given = ids[~absent] if absent.any() else ids
        if given.size and int(given.min()) >= 1 and int(given.max()) == rows:
            raise ValueError(f"{where}: table {reference.table!r} has no primary key, so its references are row "
                             f"positions 0..{rows - 1}, but these run from {int(given.min())} to {rows}: counted "
                             f"from 1? Give {reference.table!r} the primary key these values refer to, or subtract 1")

    # -- times

    def _times(self, name: str, table: Table) -> dict[str, np.ndarray]:
        times = {}
        for column in table.time_columns():
            times[column], clock = table._time_values(column, self.unit, f"table {name!r}, column {column!r}")
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

    def _edges(self, name: str, reference: Reference, targets: np.ndarray, num_nodes: dict[str, int],
               order: tuple, node_time: dict[str, np.ndarray]) -> list:
        referenced = reference.table
        forward = (referenced, reference.relation, name)
        backward = (name, reference.reverse, referenced)
        for edge_type in (forward, backward):  # one at a time: only its own arrays are held
            with self.clock.phase("edges"):
                colptr, row = _pointing(targets, num_nodes[name]) if edge_type == forward else \
                    group_by_destination(targets, num_nodes[referenced], order[1], order[0])
            key = "__".join(edge_type)
            with self.clock.phase("check"):
                check_edge_type(key, colptr, row, num_nodes[edge_type[0]], num_nodes[edge_type[2]],
                                node_time.get(edge_type[0]))
            self.store.put(f"{key}.colptr", colptr)
            self.store.put(f"{key}.row", row)
            del colptr, row
        return [forward, backward]

    # -- features

    def _features(self, name: str, table: Table, times: dict[str, np.ndarray], nodes: int):
        with self.clock.phase("features"):
            return self._encode(name, table, times, nodes)

    def _encode(self, name: str, table: Table, times: dict[str, np.ndarray], nodes: int):
        excluded = {*table.primary_key, *(c for r in table.references for c in r.columns), table.time,
                    *table.ignore, *self.report[name]["left_out"]}
        sources = {column: stamps for column, stamps in times.items()}
        columns = {}
        for column in table.column_names:
            if column in excluded:
                continue
            if column in times:  # a known-at time: a datetime feature known when it happens
                stamps = times[column]
                absent = (stamps == convert.INT64_MAX) | (stamps == convert.INT64_MIN)
                columns[column] = (features.DATETIME, stamps, absent if absent.any() else None,
                                   list(sources).index(column))
                continue
            where = f"table {name!r}, column {column!r}"
            try:
                data, missing = convert.values(table.column(column), where)
            except convert.Unconvertible as error:  # only keys and times may stop a build
                self.report[name]["left_out"][column] = error.reason
                continue
            source = list(sources).index(table.known_at.get(column, table.time)) if table.time else \
                features.ALWAYS_KNOWN
            kind = data.dtype.kind
            if missing is not None and missing.all() or not table.num_rows:
                self.report[name]["left_out"][column] = "no values" if table.num_rows else "no rows"
            elif column in table.categorical or kind == "b":
                columns[column] = (features.CATEGORICAL, data, missing, source)
            elif kind in "iuf":
                columns[column] = (features.NUMERIC, data, missing, source)
            elif kind == "m":  # a duration: a number of seconds
                seconds = data.astype("timedelta64[ns]") / np.timedelta64(1, "s")
                columns[column] = (features.NUMERIC, seconds, missing, source)
            elif kind == "M" and self.graph_clock == convert.GRAPH_CLOCK:
                self.report[name]["left_out"][column] = "datetimes, in a graph whose times are bare integers"
            elif kind == "M":
                gaps = data if missing is None else np.where(missing, np.array("NaT", data.dtype), data)
                stamps = convert.to_graph_time(gaps, self.unit, where, missing="always")
                columns[column] = (features.DATETIME, stamps, missing, source)
            elif kind in "US":
                distinct = len(np.unique(data if missing is None else data[~missing]))
                if distinct <= self.max_categories:
                    columns[column] = (features.CATEGORICAL, data, missing, source)
                else:
                    self.report[name]["left_out"][column] = f"text with {distinct:,} distinct values"
            else:
                self.report[name]["left_out"][column] = f"{data.dtype} values"
        encoded = features.encode(columns, sources, table.num_rows, nodes, self.cutoff, self.unit)
        del columns, sources
        for array_name, array in encoded.arrays().items():
            self.store.put(f"{name}.features.{array_name}", array)
            setattr(encoded, array_name, None)  # the store has it; the graph takes it from there
        self.report[name]["features"] = {c.name: c.kind for c in encoded.columns}
        return encoded


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


def _pointing(targets: np.ndarray, num_rows_and_added: int) -> tuple[np.ndarray, np.ndarray]:
    """CSC over the referencing rows: row i's run is the node it refers to, if any."""
    valid = targets >= 0
    colptr = np.zeros(num_rows_and_added + 1, dtype=np.int64)
    if valid.all():  # one edge per row: no cumulative sum and no masked copy
        colptr[1:len(valid) + 1] = np.arange(1, len(valid) + 1, dtype=np.int64)
        row = targets.astype(np.int64)
    else:
        np.cumsum(valid, out=colptr[1:len(valid) + 1])
        row = np.ascontiguousarray(targets[valid], dtype=np.int64)
    colptr[len(valid) + 1:] = colptr[len(valid)]
    return colptr, row


class _Clock:
    """Seconds spent per phase of a build; a phase entered inside another pauses it.
    The totals are logged at DEBUG level, with the dict as the record's `phases`."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self._open: list[str] = []
        self._since = time.perf_counter()

    @contextmanager
    def phase(self, name: str):
        self._switch()
        self._open.append(name)
        try:
            yield
        finally:
            self._switch()
            self._open.pop()

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
    reverse = target[2] if len(target) > 2 else f"rev_{relation}"
    return Reference(columns, target[0], relation, reverse)


def _show(columns: Sequence[str]) -> str:
    return repr(columns[0]) if len(columns) == 1 else "(" + ", ".join(repr(c) for c in columns) + ")"


def _is_pandas(frame) -> bool:
    return type(frame).__module__.split(".")[0] == "pandas"


def _frame(frame):
    if isinstance(frame, Mapping):
        columns = {str(name): np.asarray(values) for name, values in frame.items()}
        lengths = {name: len(values) for name, values in columns.items()}
        if len(set(lengths.values())) > 1:
            raise ValueError(f"the columns of a table have different lengths: {lengths}")
        return columns
    if _is_pandas(frame):
        return frame.reset_index(drop=True) if not frame.index.equals(_range_index(len(frame))) else frame
    if type(frame).__module__.split(".")[0] == "pyarrow" and hasattr(frame, "column"):
        return frame
    if hasattr(frame, "__arrow_c_stream__"):
        import pyarrow as pa

        return pa.table(frame)
    raise TypeError(f"a table's frame is a pandas DataFrame, a pyarrow Table or an object with "
                    f"__arrow_c_stream__, not a {type(frame).__name__}")


def _range_index(length: int):
    import pandas as pd

    return pd.RangeIndex(length)


def _column_names(frame) -> list:
    if isinstance(frame, dict):
        return list(frame)
    return list(frame.columns) if _is_pandas(frame) else list(frame.column_names)
