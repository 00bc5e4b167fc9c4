"""One training recipe for any database: a Database, a Task and a few Settings.

    from vornlib_tools.recipe import Settings, Task, run
    report = run(database, task, Settings(num_neighbors=...), name="mine")

The user's part is the schema (a vornlib_tools.Database: keys, references,
each row's time and when each value becomes known), the task (Task: an
entity table, seed rows with their prediction times and labels, and a split
by time) and the fan-outs. Everything else happens in run(): the graph is
built once into a directory (and reused while it was built from the same
schema and data), the baselines are fitted, and a GNN is trained on
subgraphs sampled at each seed's own time. docs/training.md walks through it.

    python -m vornlib_tools.recipe --dataset shop|nycflights13 [--quick]

runs the shipped configurations through the same run(). Importing this
package needs pandas (the `data` extra); run() needs the `train` extra
(torch, scikit-learn, tqdm, matplotlib), and query() DuckDB.
"""

from __future__ import annotations

from vornlib_tools._database import Database
from vornlib_tools.recipe.screen import LeakageError
from vornlib_tools.recipe.task import Settings, Task, query

__all__ = ["LeakageError", "Settings", "Task", "query", "run"]


def run(database: Database, task: Task, settings: Settings, name: str = "run") -> dict | None:
    """Builds (or reuses) the graph, fits the baselines, trains the GNN and
    reports: the report dict on rank 0 (None on the other ranks of a
    torchrun), printed last as one JSON line. Imports torch."""
    from vornlib_tools.recipe.training import run as train_and_report

    return train_and_report(database, task, settings, name)
