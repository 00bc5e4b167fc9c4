"""A deterministic synthetic customer/product/transaction database as a temporal graph.

Customers buy products; every purchase is a transaction node with a timestamp.
The two foreign keys of the transactions table (its customer, its product) are
stored in both directions as time-sorted CSC adjacency over the destination
type. Activity is heavy-tailed: a few customers and products hold tens to
hundreds of thousands of transactions while most hold a handful.

The graph is a function of (shape, seed) alone, bit for bit, on any platform and
numpy version: randomness comes from raw PCG64 words (whose streams numpy keeps
stable), and every derived quantity uses integer arithmetic, stable sorts and
searchsorted only. That is what lets a benchmark checksum prove that a changed
sampler still returns identical results.

Optionally (Shape.cyclic_categories > 0) products belong to categories, and the
first few categories are re-bought on a cycle: a purchase in such a category is
followed by repeat purchases of the same product by the same customer, one
category's own period apart. Whether a customer buys again soon then depends
on which products their recent purchases were, which only a model that looks
through the transactions at the products can learn.

Optionally (Shape.customer_ids) customers carry a text id, their primary key,
and transactions refer to them by it, as a table exported from a real shop
would; the ids are scrambled, so their sorted order is not the row order. The
graph's arrays are the same either way.

    python -m vornlib_tools.synthetic --size 1m [--out DIR] [--if-missing]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

from vornlib_tools._database import Database, Table
from vornlib_tools._graph import Graph, read_index
from vornlib_tools._schema import edge_type_key

__all__ = ["DAY", "GENERATOR_VERSION", "PRESETS", "SIZES", "Shape", "categories", "customer_ids", "customer_seeds",
           "database", "generate", "is_current", "monthly_seeds", "seed_batches"]

# 2: the graph directory became the toolkit's format (the arrays are unchanged).
# 3: built through Database: keys, features and the schema recorded (the arrays are unchanged).
GENERATOR_VERSION = 3
DEFAULT_SEED = 20240601

DAY = 86_400
TIME_ORIGIN = 1_600_000_000  # seconds; any fixed origin works
TIME_SPAN = 730 * DAY  # two years of activity
SIGNUP_LEAD = 30 * DAY  # a customer or product appears up to 30 days before its first transaction

# Activity weights per rank r (1-based): ZIPF_SCALE // r, plus a flat share so
# that the long tail is not starved. The flat part carries 40% of all activity.
ZIPF_SCALE = 1 << 40
FLAT_SHARE_NUM, FLAT_SHARE_DEN = 2, 3  # flat total = 2/3 of the Zipf total

# Re-bought categories: category c < cyclic_categories has a period of
# FIRST_PERIOD_DAYS + c * PERIOD_STEP_DAYS days; a chain of 1..MAX_REPEATS
# repeats follows a purchase with probability REPEAT_CHANCE, each repeat
# within +-PERIOD_JITTER_DAYS of its due date.
FIRST_PERIOD_DAYS, PERIOD_STEP_DAYS = 21, 14
REPEAT_CHANCE_NUM, REPEAT_CHANCE_DEN = 3, 4
MAX_REPEATS = 6
PERIOD_JITTER_DAYS = 2

NODE_TYPES = ("customers", "products", "transactions")
# (source, relation, destination): expanding a destination node reaches sources.
EDGE_TYPES = (
    ("transactions", "rev_made", "customers"),  # a customer's transactions
    ("customers", "made", "transactions"),  # a transaction's customer
    ("products", "in", "transactions"),  # a transaction's product
    ("transactions", "rev_in", "products"),  # a product's transactions
)


@dataclass(frozen=True)
class Shape:
    """Table sizes (customers and products default to 1/20 and 1/100 of the
    transactions) and the optional re-buying signal. With cyclic categories,
    `transactions` counts the first purchases; the repeats come on top."""

    transactions: int
    customers: int | None = None
    products: int | None = None
    categories: int = 0
    cyclic_categories: int = 0
    customer_ids: bool = False

    @property
    def num_customers(self) -> int:
        return self.customers if self.customers is not None else int(self.transactions * (1 / 20))

    @property
    def num_products(self) -> int:
        return self.products if self.products is not None else int(self.transactions * (1 / 100))


# Benchmark sizes: name -> shape. Each transaction contributes one entry to each
# of the four row arrays, so "1m" holds 1 million edges and "100m" 100 million.
SIZES = {"1m": Shape(250_000), "20m": Shape(5_000_000), "100m": Shape(25_000_000)}
# Every named shape: the benchmark sizes, the demo's and the training recipe's.
PRESETS = {
    **SIZES,
    "demo": Shape(1_000_000, 50_000, 5_000, categories=20, cyclic_categories=6),
    "recipe": Shape(300_000, 20_000, 2_000, categories=20, cyclic_categories=6, customer_ids=True),
    "recipe-quick": Shape(120_000, 8_000, 800, categories=20, cyclic_categories=6, customer_ids=True),
}

# Independent random streams, one per purpose, so that changing how one
# quantity is drawn never shifts another.
_STREAM_TX_TIME, _STREAM_TX_CUSTOMER, _STREAM_TX_PRODUCT = 1, 2, 3
_STREAM_CUSTOMER_TIME, _STREAM_PRODUCT_TIME = 4, 5
_STREAM_CUSTOMER_RANK, _STREAM_PRODUCT_RANK = 6, 7
_STREAM_CATEGORY, _STREAM_REPEATS = 8, 9
_STREAM_CUSTOMER_IDS = 10
_STREAM_SEEDS = 100


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


def appearance_times(owner: np.ndarray, count: int, tx_time: np.ndarray, draws: RandomWords) -> np.ndarray:
    """A node appears up to SIGNUP_LEAD before its first transaction (or anywhere, if it has none).

    owner[t] is the node of transaction t; transactions are numbered in time order."""
    lead = draws.below(count, SIGNUP_LEAD)
    anywhere = TIME_ORIGIN + draws.below(count, TIME_SPAN)
    first_tx = np.full(count, owner.size, dtype=np.int64)
    np.minimum.at(first_tx, owner, np.arange(owner.size, dtype=np.int64))
    active = first_tx < owner.size
    return np.where(active, tx_time[np.minimum(first_tx, max(owner.size - 1, 0))] - lead, anywhere)


def period_days(category: np.ndarray) -> np.ndarray:
    """Re-buying period of each (cyclic) category, in days."""
    return FIRST_PERIOD_DAYS + category * PERIOD_STEP_DAYS


def _repeats(shape: Shape, draws: RandomWords, tx_time: np.ndarray, tx_customer: np.ndarray,
             tx_product: np.ndarray, category: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(time, customer, product) of the repeat purchases that follow purchases in cyclic categories."""
    cyclic = np.flatnonzero(category[tx_product] < shape.cyclic_categories)
    starts = draws.below(cyclic.size, REPEAT_CHANCE_DEN) < REPEAT_CHANCE_NUM
    cyclic = cyclic[starts]
    length = 1 + draws.below(cyclic.size, MAX_REPEATS)
    origin = np.repeat(cyclic, length)
    # k = 1, 2, ... within each chain.
    k = np.arange(origin.size, dtype=np.int64) - np.repeat(np.cumsum(length) - length, length) + 1
    jitter = draws.below(origin.size, (2 * PERIOD_JITTER_DAYS + 1) * DAY) - PERIOD_JITTER_DAYS * DAY
    due = tx_time[origin] + k * period_days(category[tx_product[origin]]) * DAY + jitter
    kept = due < TIME_ORIGIN + TIME_SPAN
    return due[kept], tx_customer[origin[kept]], tx_product[origin[kept]]


def database(shape: str | Shape, seed: int = DEFAULT_SEED) -> Database:
    """The database of a named shape (see PRESETS) or a Shape: customers
    (keyed by a text customer_id if the shape says so), products (with their
    category, if the shape has categories) and transactions, each with its
    time."""
    shape = PRESETS[shape] if isinstance(shape, str) else shape
    n_tx, n_customers, n_products = shape.transactions, shape.num_customers, shape.num_products

    tx_time = np.sort(TIME_ORIGIN + RandomWords(seed, _STREAM_TX_TIME).below(n_tx, TIME_SPAN))
    tx_customer = heavy_tailed_owners(RandomWords(seed, _STREAM_TX_CUSTOMER),
                                      RandomWords(seed, _STREAM_CUSTOMER_RANK), n_tx, n_customers)
    tx_product = heavy_tailed_owners(RandomWords(seed, _STREAM_TX_PRODUCT),
                                     RandomWords(seed, _STREAM_PRODUCT_RANK), n_tx, n_products)
    products = {}
    if shape.categories:
        category = RandomWords(seed, _STREAM_CATEGORY).below(n_products, shape.categories)
        products["category"] = category
        if shape.cyclic_categories:
            extra = _repeats(shape, RandomWords(seed, _STREAM_REPEATS), tx_time, tx_customer, tx_product, category)
            # Transaction ids follow time, as rows of an append-only table would.
            by_time = np.argsort(np.concatenate([tx_time, extra[0]]), kind="stable")
            tx_time, tx_customer, tx_product = (np.concatenate([base, more])[by_time] for base, more in
                                                zip((tx_time, tx_customer, tx_product), extra))
    customers = {"appeared": appearance_times(tx_customer, n_customers, tx_time,
                                              RandomWords(seed, _STREAM_CUSTOMER_TIME))}
    products["appeared"] = appearance_times(tx_product, n_products, tx_time, RandomWords(seed, _STREAM_PRODUCT_TIME))
    transactions = {"time": tx_time, "customer": tx_customer, "product": tx_product}
    customer_key = None
    if shape.customer_ids:
        ids = customer_ids(n_customers, seed)
        customers = {"customer_id": ids, **customers}
        transactions["customer"] = ids[tx_customer]
        customer_key = "customer_id"
    # Without ids, customers and products have no key column: transactions refer to them by row.
    return Database({
        "customers": Table(customers, time="appeared", primary_key=customer_key),
        "products": Table(products, time="appeared", categorical=[c for c in ["category"] if c in products]),
        "transactions": Table(transactions, time="time",
                              foreign_keys={"customer": ("customers", "made"), "product": ("products", "in")}),
    })


def customer_ids(count: int, seed: int = DEFAULT_SEED) -> np.ndarray:
    """Distinct text ids ("C" and six or more digits) of customers 0..count-1,
    in a scrambled order."""
    width = max(6, len(str(count - 1)))
    numbers = RandomWords(seed, _STREAM_CUSTOMER_IDS).permutation(count)
    return np.array([f"C{number:0{width}d}" for number in numbers.tolist()])


def categories(graph: Graph) -> np.ndarray:
    """Each product's category, decoded from the graph's features."""
    table = graph.features["products"]
    codes = np.asarray(table.values[:, table.names.index("category")]).astype(np.int64)
    return np.asarray(table.columns[table.names.index("category")].vocabulary, dtype=np.int64)[codes - 1]


def generate(shape: str | Shape, seed: int = DEFAULT_SEED, directory: str | os.PathLike | None = None) -> Graph:
    """The graph of database(shape, seed), in memory, or written to directory and mapped from it."""
    name = shape if isinstance(shape, str) else None
    shape = PRESETS[shape] if isinstance(shape, str) else shape
    tables = database(shape, seed)
    transactions = tables.tables["transactions"].frame
    customer = transactions["customer"]
    if shape.customer_ids:  # ids back to rows
        ids = tables.tables["customers"].frame["customer_id"]
        order = np.argsort(ids)
        customer = order[np.searchsorted(ids[order], customer)]
    degrees = {"transactions__rev_made__customers": np.bincount(customer),
               "transactions__rev_in__products": np.bincount(transactions["product"])}
    metadata = {
        "generator_version": GENERATOR_VERSION,
        "size": name,
        "shape": asdict(shape),
        "seed": seed,
        "time_origin": TIME_ORIGIN,
        "time_span": TIME_SPAN,
        "edges": 4 * len(transactions["time"]),
        "max_in_degree": {key: int(degrees[key].max()) if key in degrees else 1 for key in map(edge_type_key, EDGE_TYPES)},
    }
    return tables.to_graph(directory, edge_types=EDGE_TYPES, metadata=metadata)


def is_current(directory: str | os.PathLike, size: str, seed: int = DEFAULT_SEED) -> bool:
    """True if the directory holds the graph of this named shape and seed from this generator."""
    try:
        metadata = read_index(directory)
    except (OSError, ValueError):
        return False
    return (metadata.get("generator_version") == GENERATOR_VERSION and metadata.get("size") == size
            and metadata.get("seed") == seed)


def seed_batches(graph: Graph, batch_size: int, batches: int, seed: int = DEFAULT_SEED
                 ) -> tuple[np.ndarray, np.ndarray]:
    """(seed customers, seed times), each of shape (batches, batch_size).

    Customers are drawn uniformly; times uniformly over the last three quarters
    of the time span, so most seeds have some history behind them.
    """
    # Separate streams for nodes and times keep batch b the same whatever the batch count.
    total = batches * batch_size
    customers = RandomWords(seed, _STREAM_SEEDS, batch_size, 0).below(total, graph.num_nodes["customers"])
    earliest = graph.metadata["time_origin"] + graph.metadata["time_span"] // 4
    latest = graph.metadata["time_origin"] + graph.metadata["time_span"]
    times = earliest + RandomWords(seed, _STREAM_SEEDS, batch_size, 1).below(total, latest - earliest)
    return customers.reshape(batches, batch_size), times.reshape(batches, batch_size)


def customer_seeds(graph: Graph, cutoffs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(customer, time) pairs: at every cutoff time, each customer who has
    appeared by then, in cutoff order and then customer order."""
    appeared = np.asarray(graph.node_time["customers"])
    customers = [np.flatnonzero(appeared <= cutoff) for cutoff in cutoffs]
    times = [np.full(len(c), cutoff, dtype=np.int64) for c, cutoff in zip(customers, cutoffs)]
    return (np.concatenate(customers).astype(np.int64) if customers else np.empty(0, dtype=np.int64),
            np.concatenate(times) if times else np.empty(0, dtype=np.int64))


def monthly_seeds(graph: Graph, months: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """customer_seeds at a cutoff every 30 days over the last `months` months of
    the data (the last cutoff 30 days before its end), shuffled."""
    end = TIME_ORIGIN + TIME_SPAN
    customers, times = customer_seeds(graph, [end - month * 30 * DAY for month in range(months, 0, -1)])
    order = np.random.default_rng(seed).permutation(len(customers))
    return customers[order], times[order]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", choices=list(PRESETS), required=True)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--out", type=Path, required=True, help="target graph directory")
    parser.add_argument("--if-missing", action="store_true",
                        help="do nothing when the directory already holds this graph")
    args = parser.parse_args(argv)
    if args.if_missing and is_current(args.out, args.size, args.seed):
        print(f"graph {args.size} present in {args.out}")
        return 0
    started = time.perf_counter()
    graph = generate(args.size, args.seed, args.out)
    print(f"graph {args.size}: {graph.num_edges:,} edges, nodes {graph.num_nodes}, "
          f"max in-degree {graph.metadata['max_in_degree']}, written to {args.out} "
          f"in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
