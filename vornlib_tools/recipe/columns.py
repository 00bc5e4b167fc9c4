"""The entity rows' feature columns as each seed sees them at its prediction
time, by the graph's own rule (FeatureTable.gather: a value is shown only
once it is present and known), in their own units. The leakage screen scores
them and the baselines learn from them, so both see what the GNN sees. No
torch here.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from vornlib_tools._features import CATEGORICAL, NUMERIC
from vornlib_tools._graph import Graph

# Seeds gathered per pass, so that the temporaries stay small on long seed tables.
_CHUNK = 1 << 16


@dataclass
class SeenColumn:
    """One feature column of the entity table, per seed.

    values: float64, NaN where the value is missing or not known by the
    seed's time; otherwise the number (numeric), the category's code, 1 +
    its position in vocabulary (categorical), or the age in days at the
    seed's time, negative for a datetime after it (datetime)."""

    name: str
    kind: str
    values: np.ndarray
    vocabulary: list | None = None


def seen_columns(graph: Graph, entity_table: str, nodes: np.ndarray, times: np.ndarray) -> list[SeenColumn]:
    table = graph.features.get(entity_table)
    if table is None or not table.columns:
        return []
    values = np.empty((len(nodes), table.width), dtype=np.float64)
    for start in range(0, len(nodes), _CHUNK):
        stop = start + _CHUNK
        shown, known = table.gather(np.asarray(nodes[start:stop]), np.asarray(times[start:stop]))
        chunk = shown.astype(np.float64)
        chunk[~known] = np.nan
        values[start:stop] = chunk
    columns = []
    for position, column in enumerate(table.columns):
        seen = values[:, position].copy()
        if column.kind == NUMERIC:  # the graph standardised it
            seen = seen * column.std + column.mean
        columns.append(SeenColumn(column.name, column.kind, seen,
                                  column.vocabulary if column.kind == CATEGORICAL else None))
    return columns
