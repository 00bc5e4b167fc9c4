"""Baselines a practitioner would build, so that the GNN is judged fairly.

- Logistic regression and gradient-boosted trees on the entity row's own
  columns as each seed sees them at its prediction time (what the GNN sees
  of the row: a value known later is missing, datetimes are ages), its
  foreign keys with few distinct values as categories, the row's age, and
  the task's own baseline columns.
- Gradient-boosted trees on those plus aggregates of the row's hop-1
  neighbours, per edge type into the entity table: their count, the mean
  and the latest known value of each numeric feature, and the days since
  the latest of them. They are drawn through the sampler (every neighbour
  not later than the seed's time: a count of -1, through SeedLoader) and
  each value through the graph's known-at rule, so they cannot leak.

No torch here.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

from vornlib_tools._batch import Batch
from vornlib_tools._convert import INT64_MIN, per_day
from vornlib_tools._database import Database
from vornlib_tools._features import CATEGORICAL, NUMERIC
from vornlib_tools._graph import Graph
from vornlib_tools._loader import SeedLoader
from vornlib_tools.recipe.columns import SeenColumn, seen_columns
from vornlib_tools.recipe.screen import auroc
from vornlib_tools.recipe.task import SeedTable, Task
from vornlib_tools._schema import EdgeType, edge_type_key

# Categories with more distinct values than this are left out (foreign keys) or
# kept as codes (features): the trees take at most 255 categories.
BASELINE_MAX_CATEGORIES = 250
MISSING = "(missing)"
# A count of -1 samples every neighbour not later than the seed's time.
EVERY = -1
# Seeds per sampled batch when drawing the neighbour aggregates.
AGGREGATE_BATCH = 4096

OWN_ROW = "own row"
WITH_NEIGHBOURS = "row + hop-1 aggregates"


def own_columns(database: Database, graph: Graph, task: Task, table: SeedTable) -> pd.DataFrame:
    """The entity rows' columns as seen at each prediction time: the graph's
    features of the row (a value whose known-at time is later is missing,
    datetimes are ages in days; the times at which its values become known
    are left out), its age, foreign keys with few distinct values as
    categories, then the task's baseline columns."""
    entity = task.entity_table
    source = database.tables[entity]
    columns = {}
    if entity in graph.node_time:
        columns["age_days"] = (table.time - np.asarray(graph.node_time[entity])[table.node]) / per_day(graph.time_unit)
    own_times = set(source.time_columns())
    for column in seen_columns(graph, entity, table.node, table.time):
        if column.name not in own_times:
            columns[column.name] = _as_baseline_column(column)
    for reference in source.references:
        if len(reference.columns) == 1:
            values = _series(source, reference.columns[0])
            if values.nunique() <= BASELINE_MAX_CATEGORIES:
                columns[reference.columns[0]] = \
                    values.iloc[table.node].astype("string").astype("category").reset_index(drop=True)
    frame = pd.DataFrame(columns, index=pd.RangeIndex(len(table.node)))
    if task.baseline is not None:
        frame = pd.concat([frame, task.baseline.iloc[table.rows].reset_index(drop=True)], axis=1)
    return frame


def _as_baseline_column(column: SeenColumn):
    if column.kind != CATEGORICAL or len(column.vocabulary or []) > BASELINE_MAX_CATEGORIES:
        return column.values
    vocabulary = np.array([str(v) for v in column.vocabulary] + [None], dtype=object)
    codes = np.where(np.isnan(column.values), len(vocabulary), column.values).astype(np.int64) - 1
    return pd.Categorical(vocabulary[codes], categories=[str(v) for v in dict.fromkeys(column.vocabulary)])


def _series(source, name: str) -> pd.Series:
    column = source.column(name)
    if isinstance(column, pd.Series):
        return column
    return column.to_pandas() if hasattr(column, "to_pandas") else pd.Series(np.asarray(column))


def neighbour_columns(graph: Graph, entity_table: str, table: SeedTable) -> pd.DataFrame:
    """Per edge type (S, relation, entity_table) and seed, over every S row
    the sampler reaches from the seed at its time: "S.relation count", and
    for a timed S "days since latest"; per numeric feature X of S, "mean X"
    over the rows where X is known at the seed's time, and for a timed S
    "latest X", the value of the latest such row."""
    incoming = [edge for edge in graph.edge_types if edge[2] == entity_table]
    if not incoming or not len(table.node):
        return pd.DataFrame(index=pd.RangeIndex(len(table.node)))
    loader = SeedLoader(graph, entity_table, table.node, graph.input_times(table.time),
                        num_neighbors={edge: [EVERY] for edge in incoming}, batch_size=AGGREGATE_BATCH,
                        shuffle=False, index=True)
    per = per_day(graph.time_unit)
    return pd.concat([pd.DataFrame(_aggregates(graph, batch, incoming, per)) for batch in loader],
                     ignore_index=True)


def _aggregates(graph: Graph, batch: Batch, incoming: list[EdgeType], per: float) -> dict[str, np.ndarray]:
    count = batch.num_seeds
    gathered = batch.features(graph)
    columns = {}
    for edge in incoming:
        source, relation, _ = edge
        name = f"{source}.{relation}"
        src, dst = batch.edge_index[edge_type_key(edge)]
        reached = np.bincount(dst, minlength=count)
        columns[f"{name} count"] = reached.astype(np.float64)
        timed = source in graph.node_time
        if timed:
            stamps = np.asarray(graph.node_time[source])[batch.nodes[source][src]]
            latest = np.full(count, INT64_MIN, dtype=np.int64)
            np.maximum.at(latest, dst, stamps)
            columns[f"{name} days since latest"] = np.where(reached > 0, (batch.seed_time - latest) / per, np.nan)
            order = np.lexsort((stamps, dst))  # by seed, then in time
        features = graph.features.get(source)
        if features is None or source not in gathered:
            continue
        values, known = gathered[source]
        for position, column in enumerate(features.columns):
            if column.kind != NUMERIC:
                continue
            value = values[src, position].astype(np.float64) * column.std + column.mean
            shown = known[src, position]
            total = np.bincount(dst, weights=np.where(shown, value, 0.0), minlength=count)
            seen = np.bincount(dst, weights=shown, minlength=count)
            columns[f"{name} mean {column.name}"] = np.where(seen > 0, total / np.maximum(seen, 1), np.nan)
            if timed:
                kept = order[shown[order]]
                last = np.r_[dst[kept][1:] != dst[kept][:-1], True] if len(kept) else np.zeros(0, dtype=bool)
                latest_value = np.full(count, np.nan)
                latest_value[dst[kept][last]] = value[kept][last]
                columns[f"{name} latest {column.name}"] = latest_value
    return columns


def fit_baselines(own: dict[str, pd.DataFrame], neighbours: dict[str, pd.DataFrame],
                  tables: dict[str, SeedTable]) -> dict[str, dict[str, float]]:
    """Validation and test AUROC of each baseline: logistic regression and
    gradient-boosted trees on the own columns, and trees on the own columns
    with the neighbour aggregates."""
    both = {split: pd.concat([own[split], neighbours[split]], axis=1) for split in own}
    scores = {}
    for name, model, frames in (
            (f"logistic regression, {OWN_ROW}", _linear, own),
            (f"gradient boosting, {OWN_ROW}", _trees, own),
            (f"gradient boosting, {WITH_NEIGHBOURS}", _trees, both)):
        frames, numeric, categorical = _for_model(frames)
        fitted = model(numeric, categorical).fit(frames["train"], tables["train"].label)
        scores[name] = {split: auroc(tables[split].label, fitted.predict_proba(frames[split])[:, 1])
                        for split in ("val", "test")}
    return scores


def _linear(numeric: list[str], categorical: list[str]):
    return make_pipeline(ColumnTransformer([
        ("numeric", make_pipeline(SimpleImputer(add_indicator=True), StandardScaler()), numeric),
        ("categorical", OneHotEncoder(handle_unknown="ignore"), categorical)]),
        LogisticRegression(max_iter=500, C=1.0))


def _trees(numeric: list[str], categorical: list[str]):
    return HistGradientBoostingClassifier(max_iter=300, learning_rate=0.1, categorical_features="from_dtype",
                                          early_stopping=True, random_state=0)


def _for_model(frames: dict[str, pd.DataFrame]) -> tuple[dict[str, pd.DataFrame], list[str], list[str]]:
    """The columns with a value in training, numeric and categorical ones
    apart, categories fixed to training's (a missing or unseen one is MISSING)."""
    train = frames["train"].dropna(axis=1, how="all")
    categorical = [c for c in train if isinstance(train[c].dtype, pd.CategoricalDtype)]
    numeric = [c for c in train if c not in categorical]
    categories = {c: sorted(set(train[c].dropna().astype(str))) + [MISSING] for c in categorical}
    return ({split: _fixed(frame[list(train.columns)], categories) for split, frame in frames.items()},
            numeric, categorical)


def _fixed(frame: pd.DataFrame, categories: dict[str, list[str]]) -> pd.DataFrame:
    frame = frame.copy()
    for column, known in categories.items():
        text = frame[column].astype(object).where(frame[column].notna(), MISSING).astype(str)
        frame[column] = pd.Categorical(text.where(text.isin(known), MISSING), categories=known)
    return frame
