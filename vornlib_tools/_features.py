"""Per-node feature arrays with a leakage contract.

Every feature column of a table is one column of the table's matrices:

- numeric:     float32, standardised with the mean and deviation of the values
               known by the cutoff the graph was built with; missing values are 0
- categorical: the value's position in a stored vocabulary plus one (0 for a
               missing value or one the vocabulary lacks), as float32
- datetime:    kept as int64 times; a batch turns it into its age in days at the
               seed's time

and every column becomes known at a time: the row's own time, another time
column of the row (its `known_at`), or, in a table without times, always. A
value is shown to a sampled node only if it is present and known by the time
of the node's seed (`FeatureTable.gather`); otherwise it is 0 and marked
unknown. That one rule hides a seed row's own outcome and every later-known
value of every row.

Files of a table T in a graph directory (all with one row per node):

    T.features.values.npy      float32 (nodes, numeric + categorical columns)
    T.features.datetimes.npy   int64   (nodes, datetime columns)
    T.features.present.npy     bool    (nodes, all columns)
    T.features.known.npy       int64   (nodes, time sources): when each source says values become known
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from vornlib_tools._convert import per_day

NUMERIC, CATEGORICAL, DATETIME = "numeric", "categorical", "datetime"
KINDS = (NUMERIC, CATEGORICAL, DATETIME)
ALWAYS_KNOWN = -1  # a column's source when its table has no times
ARRAYS = ("values", "datetimes", "present", "known")


@dataclass
class FeatureColumn:
    """One feature column: its kind, the time source that says when it is
    known (an index into FeatureTable.sources, or ALWAYS_KNOWN), and how it
    was encoded."""

    name: str
    kind: str
    source: int
    mean: float | None = None
    std: float | None = None
    vocabulary: list | None = None

    def to_json(self) -> dict:
        return {k: v for k, v in vars(self).items() if v is not None}


@dataclass
class FeatureTable:
    """The feature matrices of one node type; columns lists the value columns
    first (numeric and categorical, in that matrix's order), then the datetime
    columns."""

    columns: list[FeatureColumn]
    sources: list[str]
    values: np.ndarray
    datetimes: np.ndarray
    present: np.ndarray
    known: np.ndarray
    time_unit: str = "s"
    names: list[str] = field(init=False)
    # One record per node (pack()), read in place of the four matrices once made.
    packed: np.ndarray | None = field(default=None, init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        self.names = [c.name for c in self.columns]
        self._sources = np.array([c.source for c in self.columns], dtype=np.int64)

    @property
    def width(self) -> int:
        return len(self.columns)

    def arrays(self) -> dict[str, np.ndarray]:
        return {name: getattr(self, name) for name in ARRAYS}

    def to_json(self) -> dict:
        return {"columns": [c.to_json() for c in self.columns], "sources": list(self.sources)}

    @classmethod
    def from_json(cls, spec: dict, arrays: dict[str, np.ndarray], time_unit: str) -> FeatureTable:
        return cls([FeatureColumn(**c) for c in spec["columns"]], list(spec["sources"]),
                   time_unit=time_unit, **arrays)

    def pack(self) -> None:
        """Copies the four matrices into one in-memory record per node, so that
        gather() reads each node once instead of once per (memory-mapped)
        matrix. Costs the matrices' size in this process."""
        arrays = self.arrays()
        record = np.dtype([(name, array.dtype, (array.shape[1],)) for name, array in arrays.items()])
        packed = np.empty(len(self.values), dtype=record)
        for name, array in arrays.items():
            packed[name] = array
        self.packed = packed

    def _rows(self, nodes: np.ndarray) -> dict[str, np.ndarray]:
        packed = self.packed
        if packed is None:
            return {name: array[nodes] for name, array in self.arrays().items()}
        rows = packed[nodes]
        return {name: rows[name] for name in ARRAYS}

    def gather(self, nodes: np.ndarray, seed_time: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
        """(values, known) of these nodes as seen at their seeds' times
        (seed_time: one per node, or None to show every present value)."""
        rows = self._rows(nodes)
        values = np.array(rows["values"], dtype=np.float32)
        present = rows["present"]
        if self.datetimes.shape[1]:
            stamps = rows["datetimes"]
            if seed_time is None:
                ages = np.zeros(stamps.shape, dtype=np.float32)
            else:
                ages = ((seed_time[:, None] - stamps) / per_day(self.time_unit)).astype(np.float32)
            values = np.concatenate([values, ages], axis=1)
        sources = self._sources
        timed = sources != ALWAYS_KNOWN
        if seed_time is not None and timed.any():
            seen = rows["known"] <= seed_time[:, None]
            known = present & np.where(timed, seen[:, np.maximum(sources, 0)], True)
        else:
            known = np.array(present, dtype=bool)
        values[~known] = 0
        return values, known


def empty_table(rows: int, time_unit: str) -> FeatureTable:
    return FeatureTable([], [], np.zeros((rows, 0), np.float32), np.zeros((rows, 0), np.int64),
                        np.zeros((rows, 0), bool), np.zeros((rows, 0), np.int64), time_unit)


class Encoder:
    """The matrices of one table, made chunk by chunk of rows in two passes:
    fit() sees every chunk once and learns each column's statistics or
    vocabulary from its values known by the cutoff; finish() fixes the
    columns; encode() turns every chunk into its rows of the matrices.

    sources names the time sources; source maps each column to the index of
    the source that says when its values are known (ALWAYS_KNOWN in a table
    without times). A chunk maps a column's name to (kind, values, missing
    mask or None): numeric values as numbers, datetime values as int64
    graph times, categorical values as a numpy array or an Arrow array of
    text (kept in Arrow: hashing it there is many times faster than sorting
    numpy strings); values None for a chunk in which every one is missing.
    known holds the chunk's times of every source (rows, sources)."""

    def __init__(self, sources: list[str], source: dict[str, int], cutoff: int | None, time_unit: str) -> None:
        self.sources, self.source, self.cutoff, self.time_unit = list(sources), dict(source), cutoff, time_unit
        self.columns: list[FeatureColumn] = []
        self.value_width = self.datetime_width = self.width = 0
        self._moments: dict[str, tuple[int, float, float]] = {}
        self._seen: dict[str, list] = {}
        self._vocabulary: dict = {}

    def fit(self, chunk: dict, known: np.ndarray) -> None:
        for name, (kind, data, missing) in chunk.items():
            if kind == DATETIME or data is None:
                continue
            fitted = self._fitted(name, missing, known)
            if kind == NUMERIC:
                sample = np.asarray(data, dtype=np.float64)
                sample = sample if fitted is None else sample[fitted]
                self._moments[name] = _combined(self._moments.get(name, (0, 0.0, 0.0)), sample)
            else:
                seen = self._seen.setdefault(name, [])
                seen.append(_distinct(data, fitted))
                if len(seen) > 16:  # merged now and then, so that the parts stay few
                    self._seen[name] = [_union(seen)]

    def finish(self, columns: list[tuple[str, str]]) -> None:
        """Fixes the columns, (name, kind) in the table's order: the value
        columns (numeric, categorical) first, then the datetime columns, with
        the statistics and vocabularies every chunk fitted."""
        ordered = [c for c in columns if c[1] != DATETIME] + [c for c in columns if c[1] == DATETIME]
        self.columns = [FeatureColumn(name, kind, self.source[name]) for name, kind in ordered]
        self.width = len(self.columns)
        self.value_width = sum(c.kind != DATETIME for c in self.columns)
        self.datetime_width = self.width - self.value_width
        for column in self.columns:
            if column.kind == NUMERIC:
                count, mean, m2 = self._moments.get(column.name, (0, 0.0, 0.0))
                column.mean = float(mean) if count else 0.0
                std = float(np.sqrt(m2 / count)) if count else 1.0
                column.std = std if std > 0 else 1.0
            elif column.kind == CATEGORICAL:
                vocabulary = _union(self._seen.pop(column.name, []))
                self._vocabulary[column.name] = vocabulary
                column.vocabulary = vocabulary.to_pylist() if _is_arrow(vocabulary) else [v.item() for v in vocabulary]

    def encode(self, chunk: dict, rows: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(values, datetimes, present) rows of this chunk."""
        values = np.zeros((rows, self.value_width), dtype=np.float32)
        datetimes = np.zeros((rows, self.datetime_width), dtype=np.int64)
        present = np.zeros((rows, self.width), dtype=bool)
        for position, column in enumerate(self.columns):
            _, data, missing = chunk[column.name]
            if data is None:
                continue  # nothing present: zeros, not present
            here = np.ones(rows, dtype=bool) if missing is None else ~np.asarray(missing)
            if column.kind == NUMERIC:
                scaled = (np.asarray(data, dtype=np.float64) - column.mean) / column.std
                values[:, position] = np.where(here, scaled, 0.0)
            elif column.kind == CATEGORICAL:
                code = _codes(self._vocabulary[column.name], data)  # 0 where absent or unknown
                here &= code > 0
                values[:, position] = np.where(here, code, 0)
            else:
                datetimes[:, position - self.value_width] = np.where(here, data, 0)
            present[:, position] = here
        return values, datetimes, present

    def table(self) -> FeatureTable:
        """The described table; the build sets its arrays."""
        return FeatureTable(self.columns, self.sources, None, None, None, None, self.time_unit)

    def _fitted(self, name: str, missing, known: np.ndarray) -> np.ndarray | None:
        """Rows whose value sets the statistics (None: every row): present,
        and known by the cutoff."""
        here = None if missing is None else ~np.asarray(missing)
        source = self.source[name]
        if self.cutoff is None or source == ALWAYS_KNOWN:
            return here
        by_cutoff = known[:, source] <= self.cutoff
        return by_cutoff if here is None else here & by_cutoff


def _combined(moments: tuple[int, float, float], sample: np.ndarray) -> tuple[int, float, float]:
    """(count, mean, sum of squared deviations) with a sample added (Chan et al.'s pairwise update)."""
    count, mean, m2 = moments
    if not sample.size:
        return moments
    mean_b = float(sample.mean())
    m2_b = float(np.square(sample - mean_b).sum())
    total = count + sample.size
    delta = mean_b - mean
    return total, mean + delta * sample.size / total, m2 + m2_b + delta * delta * count * sample.size / total


def _is_arrow(data) -> bool:
    return type(data).__module__.split(".")[0] == "pyarrow"


def _distinct(data, fitted: np.ndarray | None):
    if _is_arrow(data):
        import pyarrow.compute as pc

        chosen = data if fitted is None else data.filter(fitted)
        return pc.unique(chosen).drop_null()
    return np.unique(data if fitted is None else data[fitted])


def _union(parts: list):
    """The sorted distinct values of the parts (numpy arrays or Arrow arrays)."""
    if parts and _is_arrow(parts[0]):
        import pyarrow as pa
        import pyarrow.compute as pc

        merged = pc.unique(pa.chunked_array(parts).combine_chunks())
        return merged.take(pc.sort_indices(merged))
    return np.unique(np.concatenate(parts)) if parts else np.empty(0)


def _codes(vocabulary, data) -> np.ndarray:
    """The position of each value in the vocabulary plus one, 0 where it has none."""
    if _is_arrow(data):
        import pyarrow.compute as pc

        index = pc.index_in(data, value_set=vocabulary)
        return np.asarray(pc.fill_null(index, -1), dtype=np.int64) + 1
    if not len(vocabulary):
        return np.zeros(len(data), dtype=np.int64)
    code = np.searchsorted(vocabulary, data)
    seen = vocabulary[np.minimum(code, len(vocabulary) - 1)] == data
    return np.where(seen, code + 1, 0)
