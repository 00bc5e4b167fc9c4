"""The prediction task and its non-graph baseline, in numpy.

Task: for a customer at a prediction time t, does the customer buy again
within HORIZON after t? Labels and the baseline's recency/frequency features
are read from the customer -> transactions adjacency, whose runs are sorted by
time; nothing after t enters a feature.
"""

from __future__ import annotations

import numpy as np

from vornlib_tools import Graph
from vornlib_tools.synthetic import DAY

HORIZON = 30 * DAY
CUSTOMER_TO_TX = "transactions__rev_made__customers"
FREQUENCY_WINDOWS_DAYS = (30, 90, 365)


class PurchaseHistory:
    """Counts of a customer's purchases up to a time, by binary search in one sorted key array."""

    def __init__(self, graph: Graph) -> None:
        colptr, row = np.asarray(graph.colptr[CUSTOMER_TO_TX]), np.asarray(graph.row[CUSTOMER_TO_TX])
        when = np.asarray(graph.node_time["transactions"])[row]
        self.start, self.when, self.colptr = int(when.min()), when, colptr
        self.span = int(when.max()) - self.start + 2
        owner = np.repeat(np.arange(colptr.size - 1, dtype=np.int64), np.diff(colptr))
        # Runs are in customer order and sorted by time inside, so this key is sorted.
        self.key = owner * self.span + (when - self.start + 1)

    def count_until(self, customer: np.ndarray, t: np.ndarray) -> np.ndarray:
        """Purchases of each customer at or before t."""
        offset = np.clip(t - self.start, -1, self.span - 2) + 1
        return np.searchsorted(self.key, customer * self.span + offset, side="right") - self.colptr[customer]

    def last_before(self, customer: np.ndarray, t: np.ndarray) -> np.ndarray:
        """Time of each customer's last purchase at or before t (-1 if none)."""
        position = self.colptr[customer] + self.count_until(customer, t) - 1
        return np.where(position >= self.colptr[customer], self.when[np.maximum(position, 0)], -1)


def labels(history: PurchaseHistory, customer: np.ndarray, t: np.ndarray) -> np.ndarray:
    """1.0 if the customer buys in (t, t + HORIZON], else 0.0."""
    return (history.count_until(customer, t + HORIZON) > history.count_until(customer, t)).astype(np.float32)


def baseline_features(history: PurchaseHistory, graph: Graph, customer: np.ndarray, t: np.ndarray) -> np.ndarray:
    """Recency, frequency and tenure at time t: what a model without the graph sees."""
    total = history.count_until(customer, t)
    columns = [np.log1p(total - history.count_until(customer, t - days * DAY)) for days in FREQUENCY_WINDOWS_DAYS]
    last = history.last_before(customer, t)
    recency_days = np.where(last >= 0, (t - last) / DAY, 3650.0)
    tenure_days = (t - np.asarray(graph.node_time["customers"])[customer]) / DAY
    columns += [np.log1p(total), np.log1p(recency_days), (last < 0).astype(float), np.log1p(np.maximum(tenure_days, 0))]
    return np.stack(columns, axis=1).astype(np.float64)


class LogisticRegression:
    """L2-regularised logistic regression fitted by Newton's method on standardised features."""

    def __init__(self, l2: float = 1e-3, iterations: int = 25) -> None:
        self.l2, self.iterations = l2, iterations

    def _design(self, x: np.ndarray) -> np.ndarray:
        return np.hstack([(x - self.mean) / self.scale, np.ones((len(x), 1))])

    def fit(self, x: np.ndarray, y: np.ndarray) -> LogisticRegression:
        self.mean, self.scale = x.mean(axis=0), x.std(axis=0) + 1e-9
        design = self._design(x)
        self.weights = np.zeros(design.shape[1])
        penalty = self.l2 * len(x) * np.eye(design.shape[1])
        penalty[-1, -1] = 0.0
        for _ in range(self.iterations):
            p = 1.0 / (1.0 + np.exp(-design @ self.weights))
            gradient = design.T @ (p - y) + penalty @ self.weights
            hessian = (design * (p * (1 - p))[:, None]).T @ design + penalty
            step = np.linalg.solve(hessian, gradient)
            self.weights -= step
            if np.abs(step).max() < 1e-8:
                break
        return self

    def predict(self, x: np.ndarray) -> np.ndarray:
        return self._design(x) @ self.weights


def auroc(y: np.ndarray, score: np.ndarray) -> float:
    """Area under the ROC curve (the Mann-Whitney statistic; ties count half)."""
    y = np.asarray(y) > 0.5
    order = np.argsort(score, kind="stable")
    sorted_score = np.asarray(score)[order]
    ranks = np.empty(len(score), dtype=np.float64)
    # Average rank of every group of tied scores.
    _, first, counts = np.unique(sorted_score, return_index=True, return_counts=True)
    average = first + (counts + 1) / 2.0
    ranks[order] = np.repeat(average, counts)
    positives, negatives = int(y.sum()), int((~y).sum())
    if positives == 0 or negatives == 0:
        return float("nan")
    return float((ranks[y].sum() - positives * (positives + 1) / 2) / (positives * negatives))
