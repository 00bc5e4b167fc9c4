"""The leakage screen, run before anything is trained.

Each feature of the entity table is scored alone against the training
labels, as the model would see it at each seed's prediction time (a value
declared known_at later is hidden then). A column that alone reaches an
AUROC of LEAK_AUROC or more (or 1 - LEAK_AUROC or less) gives the label away:
most often an outcome column whose known_at time was not declared. A
datetime feature whose value lies after the seed's time for more than
FUTURE_SHARE of the seeds shows each seed its own future. Either stops the
run with a LeakageError that names the column and says how to declare it,
unless the user lets that column through by name (Settings.allow_leaks).

A column's score is the more telling of two: the AUROC of its values as a
score (missing values left out), and that of a target encoding of it (its
categories, or its values in quantile bins, with missing a category of its
own), each seed encoded from the other folds only so that a column of
distinct ids scores 0.5, not 1. The first catches an outcome that orders the
labels, the second one that separates them in any other way, its absence
included. No torch here.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from vornlib_tools._features import CATEGORICAL, DATETIME
from vornlib_tools._graph import Graph
from vornlib_tools.recipe.columns import SeenColumn, seen_columns
from vornlib_tools.recipe.task import SeedTable

LEAK_AUROC = 0.98
FUTURE_SHARE = 0.5
# Fewer seeds than this of either label with a value: the column is not scored.
MIN_PER_LABEL = 10
BINS = 32
FOLDS = 5
# Pseudo-seeds at the training rate that pull a rare category's encoding towards it.
SMOOTHING = 20.0


class LeakageError(ValueError):
    """The screen found columns that give the label away; `findings` lists their scores."""

    def __init__(self, message: str, findings: list[Score]) -> None:
        super().__init__(message)
        self.findings = findings


@dataclass
class Score:
    column: str
    kind: str
    auroc: float | None  # None: too few seeds of one label have a value
    after_seed: float | None = None  # datetimes: the share of seeds whose value is after their time

    @property
    def gives_away(self) -> bool:
        return self.auroc is not None and max(self.auroc, 1 - self.auroc) >= LEAK_AUROC

    @property
    def from_the_future(self) -> bool:
        return self.after_seed is not None and self.after_seed > FUTURE_SHARE

    @property
    def leaks(self) -> bool:
        return self.gives_away or self.from_the_future

    def describe(self) -> str:
        parts = []
        if self.gives_away:
            parts.append(f"AUROC {self.auroc:.3f} on its own")
        if self.from_the_future:
            parts.append(f"later than the seed's prediction time for {self.after_seed:.0%} of the seeds")
        return f"{self.column}: {' and '.join(parts)}"


def score_columns(graph: Graph, entity_table: str, table: SeedTable, seed: int = 0) -> list[Score]:
    """The score of every feature of entity_table on these (training) seeds."""
    label = table.label.astype(np.int64)
    scores = []
    for column in seen_columns(graph, entity_table, table.node, table.time):
        after = None
        if column.kind == DATETIME:
            after = float(np.mean(column.values < 0)) if len(column.values) else 0.0
        scores.append(Score(column.name, column.kind, _alone(column, label, seed), after))
    return scores


def check(scores: list[Score], entity_table: str, seeds: int, allow: Sequence[str] = ()) -> None:
    """Raises LeakageError for the leaking columns that allow does not name."""
    names = [s.column for s in scores]
    unknown = [name for name in allow if name not in names]
    if unknown:
        raise ValueError(f"allow_leaks names {', '.join(map(repr, unknown))}, which "
                         f"{'is' if len(unknown) == 1 else 'are'} not a feature of {entity_table!r} "
                         f"(its features: {', '.join(names) or 'none'})")
    found = [s for s in scores if s.leaks and s.column not in allow]
    if not found:
        return
    first = found[0].column
    lines = [f"the leakage screen stopped the run: scored alone on {seeds:,} training seeds, "
             f"{'this feature' if len(found) == 1 else 'these features'} of {entity_table!r} "
             f"give{'s' if len(found) == 1 else ''} the label away:"]
    lines += [f"  {s.describe()}" for s in found]
    lines.append(f"If a value becomes known only after the prediction time, say when: Table(..., known_at="
                 f"{{{first!r}: <the time column from which it is known>}}). If it should not be a feature, leave "
                 f"it out: Table(..., ignore=[{first!r}]). If it truly is known at the prediction time, let it "
                 f"through: Settings(allow_leaks=[{first!r}]).")
    raise LeakageError("\n".join(lines), found)


def summary(scores: list[Score], entity_table: str, seeds: int, allow: Sequence[str] = ()) -> str:
    """One line for the log: what was scored and the most telling columns."""
    scored = sorted((s for s in scores if s.auroc is not None), key=lambda s: -abs(s.auroc - 0.5))
    top = ", ".join(f"{s.column} {s.auroc:.3f}" for s in scored[:3])
    allowed = f"; let through by name: {', '.join(allow)}" if allow else ""
    return (f"leakage screen: {len(scores)} feature{'' if len(scores) == 1 else 's'} of {entity_table!r} scored "
            f"alone on {seeds:,} training seeds"
            + (f"; the most telling: {top}" if top else "") + allowed)


def _alone(column: SeenColumn, label: np.ndarray, seed: int) -> float | None:
    values = column.values
    present = ~np.isnan(values)
    candidates = []
    if column.kind != CATEGORICAL and _enough(label[present]):
        candidates.append(float(auroc(label[present], values[present])))
    codes = _codes(values, present, column.kind)
    if _enough(label) and codes.max(initial=0) > 0:
        candidates.append(float(auroc(label, _target_encoding(codes, label, seed))))
    return max(candidates, key=lambda a: abs(a - 0.5)) if candidates else None


def auroc(label: np.ndarray, score: np.ndarray) -> float:
    """The area under the ROC curve of score for labels 0 and 1 (ties count
    half), NaN when only one label is present."""
    label = np.asarray(label) > 0.5
    positives = int(label.sum())
    negatives = len(label) - positives
    if positives == 0 or negatives == 0:
        return float("nan")
    ranks = pd.Series(np.asarray(score, dtype=np.float64)).rank(method="average").to_numpy()
    return float((ranks[label].sum() - positives * (positives + 1) / 2) / (positives * negatives))


def _enough(label: np.ndarray) -> bool:
    positives = int(label.sum())
    return min(positives, len(label) - positives) >= MIN_PER_LABEL


def _codes(values: np.ndarray, present: np.ndarray, kind: str) -> np.ndarray:
    """0 for a missing value, else its category (categorical) or its quantile bin, from 1."""
    codes = np.zeros(len(values), dtype=np.int64)
    if not present.any():
        return codes
    if kind == CATEGORICAL:
        codes[present] = values[present].astype(np.int64)
    else:
        edges = np.unique(np.quantile(values[present], np.linspace(0, 1, BINS + 1)[1:-1]))
        codes[present] = 1 + np.searchsorted(edges, values[present], side="right")
    return codes


def _target_encoding(codes: np.ndarray, label: np.ndarray, seed: int) -> np.ndarray:
    """Each seed's code as the smoothed rate of label 1 among the other folds' seeds of that code."""
    fold = np.random.default_rng(seed).permutation(len(codes)) % FOLDS
    size = int(codes.max()) + 1
    encoded = np.empty(len(codes), dtype=np.float64)
    for part in range(FOLDS):
        held, rest = fold == part, fold != part
        prior = label[rest].mean() if rest.any() else 0.5
        ones = np.bincount(codes[rest], weights=label[rest], minlength=size)
        seen = np.bincount(codes[rest], minlength=size)
        encoded[held] = ((ones + SMOOTHING * prior) / (seen + SMOOTHING))[codes[held]]
    return encoded
