"""Baselines that see no graph: logistic regression and gradient-boosted
trees on the entity rows' own columns as they were at each prediction time.
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

from vornlib_tools import convert
from vornlib_tools.convert import per_day
from vornlib_tools.database import Database
from vornlib_tools.graph import Graph
from vornlib_tools.recipe.screen import auroc
from vornlib_tools.recipe.task import SeedTable, Task

# Text columns with more distinct values than this are left out of the baselines.
BASELINE_MAX_CATEGORIES = 250
MISSING = "(missing)"

def own_columns(database: Database, graph: Graph, task: Task, table: SeedTable) -> pd.DataFrame:
    """The entity rows' columns as seen at each prediction time: a value whose
    known-at time is later is missing, datetimes are ages in days, the row's
    own time is its age, foreign keys with few distinct values are categories."""
    source = database.tables[task.entity_table]
    excluded = {*source.primary_key, *source.time_columns(), *source.ignore}
    per = per_day(graph.time_unit)
    columns = {}
    if source.time is not None:
        columns["age_days"] = (table.time - np.asarray(graph.node_time[task.entity_table])[table.node]) / per
    for name in source.column_names:
        if name in excluded:
            continue
        values = _series(source, name).iloc[table.node].reset_index(drop=True)
        if name in source.known_at:
            known_at = _times(source, source.known_at[name], graph)[table.node]
            values = values.where(known_at <= table.time)
        if pd.api.types.is_datetime64_any_dtype(values):
            missing = values.isna().to_numpy()
            stamps = convert.to_graph_time(values, graph.time_unit, name, missing="always")
            columns[name] = np.where(missing, np.nan, (table.time - stamps) / per)
        elif pd.api.types.is_bool_dtype(values) or name in source.categorical:
            columns[name] = values.astype("string").astype("category")
        elif pd.api.types.is_numeric_dtype(values):
            columns[name] = values.to_numpy(dtype=np.float64, na_value=np.nan)
        elif values.nunique() <= BASELINE_MAX_CATEGORIES:
            columns[name] = values.astype("string").astype("category")
    frame = pd.DataFrame(columns)
    if task.baseline is not None:
        frame = pd.concat([frame, task.baseline.iloc[table.rows].reset_index(drop=True)], axis=1)
    return frame


def _series(source, name: str) -> pd.Series:
    column = source.column(name)
    if isinstance(column, pd.Series):
        return column
    return column.to_pandas() if hasattr(column, "to_pandas") else pd.Series(np.asarray(column))


def _times(source, column: str, graph: Graph) -> np.ndarray:
    """A time column of a table in graph units, by the build's rule."""
    return source.graph_times(column, graph.time_unit)


def fit_baselines(frames: dict[str, pd.DataFrame], tables: dict[str, SeedTable]) -> dict[str, dict[str, float]]:
    """Logistic regression and gradient-boosted trees on the same columns:
    those with a value in training, categories as training saw them."""
    train = frames["train"].dropna(axis=1, how="all")
    categorical = [c for c in train if isinstance(train[c].dtype, pd.CategoricalDtype)]
    numeric = [c for c in train if c not in categorical]
    categories = {c: sorted(set(train[c].dropna().astype(str))) + [MISSING] for c in categorical}
    frames = {split: _for_model(frame[list(train.columns)], categories) for split, frame in frames.items()}
    train = frames["train"]
    linear = make_pipeline(ColumnTransformer([
        ("numeric", make_pipeline(SimpleImputer(add_indicator=True), StandardScaler()), numeric),
        ("categorical", OneHotEncoder(handle_unknown="ignore"), categorical)]),
        LogisticRegression(max_iter=500, C=1.0))
    trees = HistGradientBoostingClassifier(max_iter=300, learning_rate=0.1, categorical_features="from_dtype",
                                           early_stopping=True, random_state=0)
    scores = {}
    for name, model in (("logistic regression", linear), ("gradient boosting", trees)):
        model.fit(train, tables["train"].label)
        scores[name] = {split: auroc(tables[split].label,
                                     model.predict_proba(frames[split])[:, 1])
                        for split in ("val", "test")}
    return scores


def _for_model(frame: pd.DataFrame, categories: dict[str, list[str]]) -> pd.DataFrame:
    """Categories fixed to training's; a missing or unseen one is MISSING."""
    frame = frame.copy()
    for column, known in categories.items():
        text = frame[column].astype(object).where(frame[column].notna(), MISSING).astype(str)
        frame[column] = pd.Categorical(text.where(text.isin(known), MISSING), categories=known)
    return frame
