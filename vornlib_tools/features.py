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

from vornlib_tools.convert import INT64_MIN, per_day

NUMERIC, CATEGORICAL, DATETIME = "numeric", "categorical", "datetime"
KINDS = (NUMERIC, CATEGORICAL, DATETIME)
ALWAYS_KNOWN = -1  # a column's source when its table has no times
ARRAYS = ("values", "datetimes", "present", "known")
# Rows standardised per numpy pass.
_CHUNK = 1 << 20


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
        self._packed = packed

    def _rows(self, nodes: np.ndarray) -> dict[str, np.ndarray]:
        packed = self.__dict__.get("_packed")
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


def encode(columns: dict[str, tuple[str, np.ndarray, np.ndarray | None, int]], sources: dict[str, np.ndarray],
           rows: int, nodes: int, cutoff: int | None, time_unit: str) -> FeatureTable:
    """The matrices of one table.

    columns maps a name to (kind, values, missing mask or None, source
    index); values of a datetime column are int64 graph times. sources maps
    each time source's name to its int64 times per row, in source-index
    order. Nodes beyond the table's rows (added for dangling references)
    get no values."""
    names = list(sources)
    known = np.full((nodes, len(names)), INT64_MIN, dtype=np.int64)
    for index, name in enumerate(names):
        known[:rows, index] = sources[name]
    value_columns = [(n, c) for n, c in columns.items() if c[0] != DATETIME]
    datetime_columns = [(n, c) for n, c in columns.items() if c[0] == DATETIME]
    values = np.zeros((nodes, len(value_columns)), dtype=np.float32)
    datetimes = np.zeros((nodes, len(datetime_columns)), dtype=np.int64)
    present = np.zeros((nodes, len(columns)), dtype=bool)
    described = []
    for position, (name, (kind, data, missing, source)) in enumerate(value_columns + datetime_columns):
        here = np.ones(rows, dtype=bool) if missing is None else ~missing
        # Statistics and vocabularies come from the values known by the cutoff.
        fitted = here if cutoff is None or source == ALWAYS_KNOWN else here & (known[:rows, source] <= cutoff)
        column = FeatureColumn(name, kind, source)
        if kind == NUMERIC:
            data = np.ascontiguousarray(data, dtype=np.float64)
            sample = data if fitted.all() else data[fitted]
            column.mean = float(sample.mean()) if sample.size else 0.0
            column.std = float(sample.std()) if sample.size else 1.0
            column.std = column.std if column.std > 0 else 1.0
            del sample
            for begin in range(0, rows, _CHUNK):  # slices: the temporaries stay small on long tables
                end = min(begin + _CHUNK, rows)
                values[begin:end, position] = np.where(here[begin:end], (data[begin:end] - column.mean) / column.std,
                                                       0.0)
        elif kind == CATEGORICAL:
            vocabulary = np.unique(data[fitted])
            code = np.searchsorted(vocabulary, data) if vocabulary.size else np.zeros(rows, dtype=np.int64)
            seen = here & (vocabulary[np.minimum(code, max(vocabulary.size - 1, 0))] == data) \
                if vocabulary.size else np.zeros(rows, dtype=bool)
            values[:rows, position] = np.where(seen, code + 1, 0)
            here = seen
            column.vocabulary = [v.item() for v in vocabulary]
        else:
            datetimes[:rows, position - len(value_columns)] = np.where(here, data, 0)
        present[:rows, position] = here
        described.append(column)
    return FeatureTable(described, names, values, datetimes, present, known, time_unit)
