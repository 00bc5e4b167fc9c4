"""Deterministic synthetic relational temporal graph for the sampling benchmark.

Customers buy products; every purchase is a transaction node with a timestamp.
Each customer-transaction and product-transaction relation is stored in both
directions, as compressed-sparse-column adjacency over the destination type,
with every neighbourhood ordered by the time of its source nodes. Activity is
heavy-tailed: a few customers and products hold tens to hundreds of thousands
of transactions while most hold a handful.

The graph is a function of (size, seed) alone, bit for bit, on any platform and
numpy version: randomness comes from raw PCG64 words (whose streams numpy keeps
stable), and every derived quantity uses integer arithmetic, stable sorts and
searchsorted only. That is what lets a benchmark checksum prove that a changed
sampler still returns identical results.

    python bench/synthetic_graph.py --size 1m [--out DIR] [--if-missing]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

GENERATOR_VERSION = 1
DEFAULT_SEED = 20240601

# Size name -> number of transactions. Each transaction contributes one entry to
# each of the four row arrays, so "1m" holds 1 million edges and "20m" 20 million.
SIZES = {"1m": 250_000, "20m": 5_000_000, "100m": 25_000_000}
CUSTOMERS_PER_TRANSACTION = 1 / 20
PRODUCTS_PER_TRANSACTION = 1 / 100

DAY = 86_400
TIME_ORIGIN = 1_600_000_000  # seconds; any fixed origin works
TIME_SPAN = 730 * DAY  # two years of activity
SIGNUP_LEAD = 30 * DAY  # a customer or product appears up to 30 days before its first transaction

# Activity weights per rank r (1-based): ZIPF_SCALE // r, plus a flat share so
# that the long tail is not starved. The flat part carries 40% of all activity.
ZIPF_SCALE = 1 << 40
FLAT_SHARE_NUM, FLAT_SHARE_DEN = 2, 3  # flat total = 2/3 of the Zipf total

NODE_TYPES = ("customers", "products", "transactions")
# (source, relation, destination): expanding a destination node reaches sources.
EDGE_TYPES = (
    ("transactions", "rev_made", "customers"),  # a customer's transactions
    ("customers", "made", "transactions"),  # a transaction's customer
    ("products", "in", "transactions"),  # a transaction's product
    ("transactions", "rev_in", "products"),  # a product's transactions
)

# Independent random streams, one per purpose, so that changing how one
# quantity is drawn never shifts another.
_STREAM_TX_TIME, _STREAM_TX_CUSTOMER, _STREAM_TX_PRODUCT = 1, 2, 3
_STREAM_CUSTOMER_TIME, _STREAM_PRODUCT_TIME = 4, 5
_STREAM_CUSTOMER_RANK, _STREAM_PRODUCT_RANK = 6, 7
_STREAM_SEEDS = 100


def edge_type_key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


class RandomWords:
    """Uniform integers from one raw PCG64 stream (stable across numpy versions)."""

    def __init__(self, seed: int, *stream: int) -> None:
        self._bits = np.random.PCG64(np.random.SeedSequence([seed, *stream]))

    def words(self, count: int) -> np.ndarray:
        return self._bits.random_raw(count).astype(np.uint64, copy=False)

    def below(self, count: int, bound: int) -> np.ndarray:
        """count integers in [0, bound); the modulo bias is below 2**-40 for our bounds."""
        return (self.words(count) % np.uint64(bound)).astype(np.int64)

    def permutation(self, count: int) -> np.ndarray:
        return np.argsort(self.words(count), kind="stable").astype(np.int64)


def heavy_tailed_owners(owner_draws: RandomWords, rank_draws: RandomWords, count: int,
                        n_owners: int) -> np.ndarray:
    """Assigns count items to n_owners owners with Zipf-plus-flat activity.

    The busiest owners get ids scattered over the whole range, not 0, 1, 2, ...
    """
    ranks = np.arange(1, n_owners + 1, dtype=np.int64)
    weights = ZIPF_SCALE // ranks
    weights += (int(weights.sum()) * FLAT_SHARE_NUM) // (FLAT_SHARE_DEN * n_owners)
    cumulative = np.cumsum(weights)
    draws = owner_draws.below(count, int(cumulative[-1]))
    picked_rank = np.searchsorted(cumulative, draws, side="right")
    return rank_draws.permutation(n_owners)[picked_rank]


def csc_by_owner(owner: np.ndarray, n_owners: int) -> tuple[np.ndarray, np.ndarray]:
    """colptr over owners and the item ids grouped per owner, ascending within a group.

    Items are transactions numbered in time order, so ascending ids are
    ascending (non-decreasing) times.
    """
    row = np.argsort(owner, kind="stable").astype(np.int64)
    colptr = np.zeros(n_owners + 1, dtype=np.int64)
    np.cumsum(np.bincount(owner, minlength=n_owners), out=colptr[1:])
    return colptr, row


def appearance_times(colptr: np.ndarray, row: np.ndarray, tx_time: np.ndarray,
                     draws: RandomWords) -> np.ndarray:
    """A node appears up to SIGNUP_LEAD before its first transaction (or anywhere, if it has none)."""
    n = colptr.size - 1
    lead = draws.below(n, SIGNUP_LEAD)
    anywhere = TIME_ORIGIN + draws.below(n, TIME_SPAN)
    active = colptr[1:] > colptr[:-1]
    first_tx = row[np.minimum(colptr[:-1], row.size - 1)]
    return np.where(active, tx_time[first_tx] - lead, anywhere)


def generate(size: str, seed: int = DEFAULT_SEED) -> tuple[dict, dict[str, np.ndarray]]:
    """Returns (metadata, arrays by file stem)."""
    n_tx = SIZES[size]
    n_customers = int(n_tx * CUSTOMERS_PER_TRANSACTION)
    n_products = int(n_tx * PRODUCTS_PER_TRANSACTION)

    tx_time = np.sort(TIME_ORIGIN + RandomWords(seed, _STREAM_TX_TIME).below(n_tx, TIME_SPAN))
    tx_customer = heavy_tailed_owners(RandomWords(seed, _STREAM_TX_CUSTOMER),
                                      RandomWords(seed, _STREAM_CUSTOMER_RANK), n_tx, n_customers)
    tx_product = heavy_tailed_owners(RandomWords(seed, _STREAM_TX_PRODUCT),
                                     RandomWords(seed, _STREAM_PRODUCT_RANK), n_tx, n_products)

    customer_colptr, customer_row = csc_by_owner(tx_customer, n_customers)
    product_colptr, product_row = csc_by_owner(tx_product, n_products)
    one_per_tx = np.arange(n_tx + 1, dtype=np.int64)

    arrays = {
        "customers.time": appearance_times(customer_colptr, customer_row, tx_time,
                                           RandomWords(seed, _STREAM_CUSTOMER_TIME)),
        "products.time": appearance_times(product_colptr, product_row, tx_time,
                                          RandomWords(seed, _STREAM_PRODUCT_TIME)),
        "transactions.time": tx_time,
        "transactions__rev_made__customers.colptr": customer_colptr,
        "transactions__rev_made__customers.row": customer_row,
        "customers__made__transactions.colptr": one_per_tx,
        "customers__made__transactions.row": tx_customer,
        "products__in__transactions.colptr": one_per_tx,
        "products__in__transactions.row": tx_product,
        "transactions__rev_in__products.colptr": product_colptr,
        "transactions__rev_in__products.row": product_row,
    }
    node_counts = {"customers": n_customers, "products": n_products, "transactions": n_tx}
    metadata = {
        "generator_version": GENERATOR_VERSION,
        "size": size,
        "seed": seed,
        "time_origin": TIME_ORIGIN,
        "time_span": TIME_SPAN,
        "node_types": list(NODE_TYPES),
        "edge_types": [list(edge_type) for edge_type in EDGE_TYPES],
        "node_counts": node_counts,
        "edges": int(sum(arrays[f"{edge_type_key(e)}.row"].size for e in EDGE_TYPES)),
        "max_in_degree": {edge_type_key(e): int(np.diff(arrays[f"{edge_type_key(e)}.colptr"]).max())
                          for e in EDGE_TYPES},
    }
    check_graph(metadata, arrays)
    return metadata, arrays


def check_graph(metadata: dict, arrays: dict[str, np.ndarray]) -> None:
    """Fails loudly unless every adjacency is valid CSC and ordered by source time."""
    counts = metadata["node_counts"]
    for source, relation, destination in EDGE_TYPES:
        key = edge_type_key((source, relation, destination))
        colptr, row = arrays[f"{key}.colptr"], arrays[f"{key}.row"]
        source_time = arrays[f"{source}.time"]
        assert colptr.size == counts[destination] + 1 and colptr[0] == 0 and colptr[-1] == row.size, key
        assert np.all(np.diff(colptr) >= 0), key
        assert row.min() >= 0 and row.max() < counts[source], key
        times = source_time[row]
        steps = np.diff(times)
        starts_group = np.zeros(row.size, dtype=bool)
        starts_group[colptr[1:-1][colptr[1:-1] < row.size]] = True
        assert np.all((steps >= 0) | starts_group[1:]), f"{key}: a neighbourhood is not ordered by time"


def save(directory: Path, metadata: dict, arrays: dict[str, np.ndarray]) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for stem, values in arrays.items():
        np.save(directory / f"{stem}.npy", np.ascontiguousarray(values, dtype="<i8"))
    # Written last: its presence marks a complete graph.
    (directory / "graph.json").write_text(json.dumps(metadata, indent=2) + "\n")


def is_current(directory: Path, size: str, seed: int) -> bool:
    try:
        metadata = json.loads((directory / "graph.json").read_text())
    except (OSError, ValueError):
        return False
    return (metadata.get("generator_version") == GENERATOR_VERSION and metadata.get("size") == size
            and metadata.get("seed") == seed)


def load(directory: Path) -> tuple[dict, dict[str, np.ndarray]]:
    """Metadata and every array, memory-mapped read-only."""
    metadata = json.loads((directory / "graph.json").read_text())
    arrays = {path.name[:-len(".npy")]: np.load(path, mmap_mode="r") for path in sorted(directory.glob("*.npy"))}
    return metadata, arrays


def seed_batches(metadata: dict, batch_size: int, batches: int, seed: int = DEFAULT_SEED
                 ) -> tuple[np.ndarray, np.ndarray]:
    """(seed customers, seed times), each of shape (batches, batch_size).

    Customers are drawn uniformly; times uniformly over the last three quarters
    of the time span, so most seeds have some history behind them.
    """
    # Separate streams for nodes and times keep batch b the same whatever the batch count.
    total = batches * batch_size
    customers = RandomWords(seed, _STREAM_SEEDS, batch_size, 0).below(total, metadata["node_counts"]["customers"])
    earliest = metadata["time_origin"] + metadata["time_span"] // 4
    latest = metadata["time_origin"] + metadata["time_span"]
    times = earliest + RandomWords(seed, _STREAM_SEEDS, batch_size, 1).below(total, latest - earliest)
    return customers.reshape(batches, batch_size), times.reshape(batches, batch_size)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", choices=sorted(SIZES), required=True)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--out", type=Path, help="target directory (default bench/data/SIZE)")
    parser.add_argument("--if-missing", action="store_true",
                        help="do nothing when the directory already holds this graph")
    args = parser.parse_args(argv)
    out = args.out or Path(__file__).resolve().parent / "data" / args.size
    if args.if_missing and is_current(out, args.size, args.seed):
        print(f"graph {args.size} present in {out}")
        return 0
    started = time.perf_counter()
    metadata, arrays = generate(args.size, args.seed)
    save(out, metadata, arrays)
    print(f"graph {args.size}: {metadata['edges']:,} edges, nodes {metadata['node_counts']}, "
          f"max in-degree {metadata['max_in_degree']}, written to {out} "
          f"in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
