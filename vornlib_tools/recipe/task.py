"""What to predict and how to train: Task and Settings, and the seed tables
of a task's splits. No torch here.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from vornlib_tools._database import Database
from vornlib_tools._graph import Graph
from vornlib_tools._renamed import renamed_arguments

SPLITS = ("train", "val", "test")
# The seeds' column of row positions, for a table without a key (or a keyed one, said explicitly).
ROW_POSITIONS = "node"


@dataclass
class Task:
    """What to predict.

    seeds: one row per example with columns "time" (the prediction time:
    datetimes, or integers on a graph of bare integer times), "label" (0 or
    1) and the entity: its primary key values under the key's column names,
    or, said explicitly and for a table without a key, its row position in a
    column "node". splits: per split name (train, val, test) the [start, end) range
    of prediction times it takes. baseline: optional extra columns per seed
    (same order as seeds), known at the prediction time, that the baselines
    see besides the entity row's columns.
    """

    entity_table: str
    seeds: pd.DataFrame
    splits: Mapping[str, tuple]
    baseline: pd.DataFrame | None = None


@dataclass
class Settings:
    num_neighbors: Mapping
    epochs: int = 4
    batch_size: int = 512
    hidden: int = 64
    lr: float = 3e-3
    max_train_seeds: int | None = None  # a fixed random subset of the training seeds
    max_eval_seeds: int | None = None  # the same for validation and test
    num_workers: int = 0  # sampling worker processes per rank, as SeedLoader's num_workers
    threads: int = 1
    seed: int = 0
    leaky: bool = False
    device: str = "cpu"
    data_dir: Path = Path("graph")
    out: Path = Path("runs")
    fingerprint: dict = field(default_factory=dict)  # what the graph directory must have been built from
    progress: bool = True
    allow_leaks: Sequence[str] = ()  # entity table features the leakage screen lets through

    def __post_init__(self) -> None:
        # Directories may come as text, as users write them; the run takes paths.
        self.data_dir, self.out = Path(self.data_dir), Path(self.out)
        self.allow_leaks = [self.allow_leaks] if isinstance(self.allow_leaks, str) else list(self.allow_leaks)


# The first name of num_workers, taken for one more release with a warning.
Settings.__init__ = renamed_arguments(workers="num_workers")(Settings.__init__)


def log(*parts) -> None:
    print(*parts, flush=True)


def query(database: Database, sql: str, **parameters) -> pd.DataFrame:
    """DuckDB over the database's tables (each with a column _row, its row
    position, which is its node index)."""
    import duckdb

    connection = duckdb.connect()
    for name, table in database.tables.items():
        frame = pd.DataFrame(table.frame) if isinstance(table.frame, dict) else pd.DataFrame(table.frame)
        frame = frame.assign(_row=np.arange(len(frame), dtype=np.int64))
        connection.register(name, frame)
    try:
        return connection.execute(sql, parameters or None).df()
    finally:
        connection.close()


# ---- the seed tables -----------------------------------------------------------------

@dataclass
class SeedTable:
    node: np.ndarray
    time: np.ndarray  # graph-unit prediction times
    label: np.ndarray
    rows: np.ndarray  # positions in task.seeds


def seed_nodes(graph: Graph, task: Task) -> np.ndarray:
    """Node indices of the task's seeds, by the graph's rule for seeds: key
    values in the entity table's key columns, or row positions in "node"."""
    seeds, entity = task.seeds, task.entity_table
    key = graph.primary_keys.get(entity)
    columns = list(key.columns) if key is not None else []
    named = [c for c in columns if c in seeds]
    if named and ROW_POSITIONS in seeds:
        raise ValueError(f"the task's seeds name their {entity!r} rows twice, by key ({', '.join(named)}) and by "
                         f"row position ({ROW_POSITIONS!r}): keep one")
    if columns and len(named) == len(columns):
        keys = seeds[columns[0]] if len(columns) == 1 else seeds[columns]
        return graph.seed_nodes(entity, keys, index=False)
    if ROW_POSITIONS in seeds:
        return graph.seed_nodes(entity, seeds[ROW_POSITIONS], index=True)
    by_key = f"key values in column(s) {', '.join(map(repr, columns))} or " if columns else ""
    raise ValueError(f"the task's seeds must name their {entity!r} rows by {by_key}row positions in a column "
                     f"{ROW_POSITIONS!r}; they have columns {', '.join(map(repr, seeds.columns))}")


def seed_tables(graph: Graph, task: Task, settings: Settings) -> dict[str, SeedTable]:
    """The seeds of each split (at most max_train_seeds or max_eval_seeds of
    them, a fixed random subset). A split without seeds, or whose seeds all
    have one label, is refused by name: nothing could be learnt or scored."""
    missing = [split for split in SPLITS if split not in task.splits]
    if missing:
        raise ValueError(f"the task's splits lack {', '.join(map(repr, missing))}: give each of "
                         f"{', '.join(map(repr, SPLITS))} its [start, end) range of prediction times")
    seeds = task.seeds
    node = seed_nodes(graph, task)
    stamps = graph.to_time(seeds["time"], what="the task's seed times")
    label = labels(seeds)
    tables = {}
    for split in SPLITS:
        bounds = task.splits[split]
        start, end = (graph.to_time([bound], what=f"the start and end of {split}")[0] for bound in bounds)
        rows = np.flatnonzero((stamps >= start) & (stamps < end))
        limit = settings.max_train_seeds if split == "train" else settings.max_eval_seeds
        if limit is not None and len(rows) > limit:
            rows = np.sort(np.random.default_rng([settings.seed, SPLITS.index(split)]).choice(rows, limit,
                                                                                             replace=False))
        where = f"split {split!r} (prediction times from {bounds[0]} to before {bounds[1]})"
        if len(rows) == 0:
            raise ValueError(f"{where} has no seeds; the seeds' times run from {seeds['time'].min()} to "
                             f"{seeds['time'].max()}")
        if label[rows].min() == label[rows].max():
            raise ValueError(f"{where}: all its {len(rows):,} seeds have label {int(label[rows][0])}, so it can "
                             f"be neither learnt from nor scored (AUROC needs both labels)")
        tables[split] = SeedTable(node[rows], stamps[rows], label[rows], rows)
    return tables


def labels(seeds: pd.DataFrame) -> np.ndarray:
    """The seeds' labels as float32 0 and 1; anything else (NaN, 2, "yes") is refused."""
    if "label" not in seeds:
        raise ValueError(f"the task's seeds have no column 'label' (columns: {', '.join(map(repr, seeds.columns))})")
    column = seeds["label"]
    valid = column.isin([0, 1]).to_numpy() & column.notna().to_numpy()
    if not valid.all():
        position = int(np.flatnonzero(~valid)[0])
        value = column.iloc[position]
        raise ValueError(f"the task's labels must be 0 or 1 (or booleans): "
                         f"{value.item() if isinstance(value, np.generic) else value!r} at seed row {position}")
    return column.to_numpy(dtype=np.float32)
