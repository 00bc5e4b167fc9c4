"""A synthetic e-commerce database as a temporal heterogeneous graph.

Three tables become three node types: customers (sign-up time), products
(listing time) and transactions (purchase time, one customer and one product
each). Every foreign key becomes two edge types, one per direction, so that a
hop can walk from a customer to its transactions and from a transaction back
to its customer and its product.

The sampler stores each edge type (source, relation, destination) as CSC over
the destination nodes: colptr[v]..colptr[v + 1] delimits the sources that a
hop from v can reach, and each such run is sorted by the sources' timestamps.
`csc_from_edges` is the whole recipe for that layout.

Shared by relational_demo.py and parallel_sampling.py (and the scaling
benchmark); run either of those rather than this file.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import vornlib

DAY = 24 * 60 * 60
# Timestamps are Unix seconds; the database covers two years.
HISTORY_START = 1_672_531_200  # 2023-01-01 00:00 UTC
HISTORY_DAYS = 730

NODE_TYPES = ["customers", "products", "transactions"]
# (source, relation, destination): a hop expands destination nodes and reaches sources.
EDGE_TYPES = [
    ("transactions", "placed_by", "customers"),     # customer -> its transactions
    ("customers", "placed", "transactions"),        # transaction -> its customer
    ("transactions", "of_product", "products"),     # product -> its transactions
    ("products", "bought_in", "transactions"),      # transaction -> its product
]


def edge_key(edge_type: tuple[str, str, str]) -> str:
    """The string that addresses an edge type in every per-edge-type dict."""
    return "__".join(edge_type)


def csc_from_edges(src: np.ndarray, dst: np.ndarray, num_dst: int,
                   src_time: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """CSC arrays (colptr, row) over destination nodes from an edge list.

    Within each destination's run the sources are ordered by their timestamp
    (when given), which the sampler's time-aware modes rely on.
    """
    if src_time is None:
        order = np.argsort(dst, kind="stable")
    else:
        # lexsort sorts by the last key first: destination, then source time.
        order = np.lexsort((src_time[src], dst))
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_dst), out=colptr[1:])
    row = np.ascontiguousarray(src[order], dtype=np.int64)
    return colptr, row


@dataclass
class TemporalGraph:
    """Everything a NeighborSampler is built from, plus node counts."""

    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]

    node_types = NODE_TYPES
    edge_types = EDGE_TYPES

    @property
    def num_nodes(self) -> dict[str, int]:
        return {name: len(times) for name, times in self.node_time.items()}

    @property
    def num_edges(self) -> int:
        return sum(len(row) for row in self.row.values())

    def sampler(self, seed: int = 123) -> vornlib.NeighborSampler:
        return vornlib.NeighborSampler(self.node_types, self.edge_types, self.colptr, self.row,
                                       self.node_time, seed=seed)

    def save(self, directory: Path) -> None:
        """One .npy file per array, so that readers can memory-map them."""
        directory.mkdir(parents=True, exist_ok=True)
        files = {}
        for kind, arrays in (("colptr", self.colptr), ("row", self.row), ("node_time", self.node_time)):
            for key, array in arrays.items():
                name = f"{kind}.{key}.npy"
                np.save(directory / name, array)
                files.setdefault(kind, {})[key] = name
        (directory / "graph.json").write_text(json.dumps(files, indent=1))

    @classmethod
    def load(cls, directory: Path, mmap: bool = True) -> TemporalGraph:
        """Reads a saved graph; with mmap the arrays stay in the page cache,
        shared by every process that maps them, and nothing is copied."""
        files = json.loads((directory / "graph.json").read_text())
        mode = "r" if mmap else None
        arrays = {kind: {key: np.load(directory / name, mmap_mode=mode) for key, name in entries.items()}
                  for kind, entries in files.items()}
        return cls(arrays["colptr"], arrays["row"], arrays["node_time"])


def _activity_weights(rng: np.random.Generator, count: int, skew: float) -> np.ndarray:
    """Heavy-tailed popularity: a few customers and products dominate."""
    weights = rng.pareto(skew, size=count) + 0.05
    return weights / weights.sum()


def generate(num_customers: int = 50_000, num_products: int = 5_000, num_transactions: int = 1_000_000,
             seed: int = 0) -> TemporalGraph:
    """A random but plausible database: customers and products appear over
    the first 80% of the history, and each transaction happens after both its
    customer signed up and its product was listed."""
    rng = np.random.default_rng(seed)
    arrival_span = int(HISTORY_DAYS * DAY * 0.8)
    history_end = HISTORY_START + HISTORY_DAYS * DAY
    signup = HISTORY_START + rng.integers(0, arrival_span, size=num_customers)
    listed = HISTORY_START + rng.integers(0, arrival_span, size=num_products)

    customer = rng.choice(num_customers, size=num_transactions, p=_activity_weights(rng, num_customers, 1.5))
    product = rng.choice(num_products, size=num_transactions, p=_activity_weights(rng, num_products, 1.2))
    earliest = np.maximum(signup[customer], listed[product])
    bought = earliest + (rng.random(num_transactions) * (history_end - earliest)).astype(np.int64)
    # Transaction ids follow time, as rows of an append-only table would.
    by_time = np.argsort(bought, kind="stable")
    customer, product, bought = customer[by_time], product[by_time], bought[by_time]
    transaction = np.arange(num_transactions, dtype=np.int64)

    node_time = {"customers": signup.astype(np.int64), "products": listed.astype(np.int64),
                 "transactions": bought.astype(np.int64)}
    edges = {  # (source ids, destination ids) per edge type
        EDGE_TYPES[0]: (transaction, customer),
        EDGE_TYPES[1]: (customer, transaction),
        EDGE_TYPES[2]: (transaction, product),
        EDGE_TYPES[3]: (product, transaction),
    }
    colptr, row = {}, {}
    for edge_type, (src, dst) in edges.items():
        source, _, destination = edge_type
        key = edge_key(edge_type)
        colptr[key], row[key] = csc_from_edges(src, dst, len(node_time[destination]), node_time[source])
    return TemporalGraph(colptr, row, node_time)


def training_table(graph: TemporalGraph, num_cutoffs: int = 4, cutoff_every_days: int = 30,
                   seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Seed customers and their prediction times, shuffled: at each monthly
    cutoff near the end of the history, every customer signed up by then is
    one training example (as for a 'will this customer buy next month' task)."""
    history_end = HISTORY_START + HISTORY_DAYS * DAY
    signup = np.asarray(graph.node_time["customers"])
    customers, times = [], []
    for month in range(num_cutoffs, 0, -1):
        cutoff = history_end - month * cutoff_every_days * DAY
        active = np.flatnonzero(signup <= cutoff)
        customers.append(active)
        times.append(np.full(len(active), cutoff, dtype=np.int64))
    seed_node = np.concatenate(customers).astype(np.int64)
    seed_time = np.concatenate(times)
    order = np.random.default_rng(seed).permutation(len(seed_node))
    return seed_node[order], seed_time[order]
