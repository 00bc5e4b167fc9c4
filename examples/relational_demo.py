"""Temporal neighbour sampling over a synthetic e-commerce database.

Generates customers, products and transactions as a temporal heterogeneous
graph, samples one training epoch of seed customers at their prediction times
(the k most recent neighbours per hop, never anything later than the seed's
time), prints per-hop node and edge counts and the throughput, and draws one
seed's sampled subgraph to a PNG file.

    python examples/relational_demo.py [--customers N] [--batch-size B] [--fanouts K1 K2 ...]
"""

from __future__ import annotations

import argparse
import dataclasses
import tempfile
import time
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
from tqdm import tqdm

from vornlib_tools import SAMPLER_SEED, Batch, Graph, SeedLoader, edge_type_key, hop_of_each, synthetic
from vornlib_tools.synthetic import DAY, EDGE_TYPES, NODE_TYPES


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    demo = synthetic.PRESETS["demo"]
    parser.add_argument("--customers", type=int, default=demo.customers)
    parser.add_argument("--products", type=int, default=demo.products)
    parser.add_argument("--transactions", type=int, default=demo.transactions,
                        help="first purchases; repeat purchases of re-bought categories come on top")
    parser.add_argument("--cutoffs", type=int, default=4, help="monthly prediction times per customer")
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[16, 8, 8],
                        help="neighbours per hop for every edge type (-1 takes all)")
    parser.add_argument("--seed", type=int, default=SAMPLER_SEED, help="seeds the data and the sampler")
    parser.add_argument("--workers", type=int, default=0,
                        help="sampling worker processes (they map the graph from a directory under --out's folder)")
    parser.add_argument("--out", type=Path, default=Path("relational_demo_subgraph.png"))
    return parser.parse_args()


# ---- sampling an epoch -------------------------------------------------------

class EpochTotals:
    """Per-hop node and edge counts summed over every batch of the epoch."""

    def __init__(self, num_hops: int) -> None:
        self.nodes = {name: np.zeros(num_hops + 1, dtype=np.int64) for name in NODE_TYPES}
        self.edges = {edge_type_key(e): np.zeros(num_hops, dtype=np.int64) for e in EDGE_TYPES}
        self.seeds = 0
        self.batches = 0

    def add(self, batch: Batch) -> None:
        for name, counts in batch.num_sampled_nodes.items():
            self.nodes[name] += counts
        for key, counts in batch.num_sampled_edges.items():
            self.edges[key] += counts
        self.seeds += batch.num_seeds
        self.batches += 1

    @property
    def total_edges(self) -> int:
        return int(sum(counts.sum() for counts in self.edges.values()))

    @property
    def total_nodes(self) -> int:
        return int(sum(counts.sum() for counts in self.nodes.values()))


def sample_epoch(loader: SeedLoader, num_hops: int) -> tuple[EpochTotals, Batch]:
    """One epoch of the loader; returns the totals and the first batch (for the picture)."""
    totals = EpochTotals(num_hops)
    first: Batch | None = None
    with tqdm(total=len(loader.seed_node), unit=" seeds", unit_scale=True, desc="sampling") as progress:
        for batch in loader:
            totals.add(batch)
            first = first or batch
            progress.update(batch.num_seeds)
    assert first is not None, "the training table is empty"
    return totals, first


def print_summary(totals: EpochTotals, seconds: float) -> None:
    num_hops = len(next(iter(totals.edges.values())))
    width = max(len(key) for key in totals.edges) + 2
    hops = "".join(f"{f'hop {h}':>12}" for h in range(1, num_hops + 1))
    print(f"\nSampled nodes per hop{'':{width - 21}}{'seeds':>12}{hops}")
    for name, counts in totals.nodes.items():
        print(f"  {name:<{width - 2}}" + "".join(f"{c:>12,}" for c in counts))
    print(f"Sampled edges per hop{'':{width - 21}}{'':>12}{hops}")
    for key, counts in totals.edges.items():
        print(f"  {key:<{width - 2}}{'':>12}" + "".join(f"{c:>12,}" for c in counts))
    print(f"\n{totals.seeds:,} seeds in {totals.batches:,} batches: {totals.total_nodes:,} nodes and "
          f"{totals.total_edges:,} edges sampled "
          f"({totals.total_nodes / totals.seeds:.1f} nodes, {totals.total_edges / totals.seeds:.1f} edges "
          f"per seed)")
    print(f"Throughput: {totals.seeds / seconds:,.0f} seeds/s, {totals.total_edges / seconds:,.0f} "
          f"sampled edges/s ({seconds:.2f} s for the epoch)")


# ---- one seed's subgraph ---------------------------------------------------------

def seed_subgraph(batch: Batch, seed: int) -> tuple[dict, list]:
    """The nodes and edges of one seed (its position in the batch).

    Returns nodes as {node type: (local indices, node ids, hops)} and edges as
    (edge type, source local index, destination local index, hop) tuples.
    """
    picked = {}
    for name, nodes in batch.nodes.items():
        local = np.flatnonzero(batch.batches[name] == seed)
        picked[name] = (local, nodes[local], batch.hops[name][local])
    edges = []
    for edge_type in EDGE_TYPES:
        key, destination = edge_type_key(edge_type), edge_type[2]
        rows, cols = batch.edge_index[key]
        mine = np.flatnonzero(batch.batches[destination][cols] == seed)
        hops = hop_of_each(batch.num_sampled_edges[key], 1)
        edges += [(edge_type, rows[e], cols[e], hops[e]) for e in mine]
    return picked, edges


def pick_seed_to_draw(batch: Batch, max_nodes: int = 70) -> int:
    """The seed with the richest subgraph that still draws legibly."""
    sizes = sum(np.bincount(b, minlength=batch.num_seeds) for b in batch.batches.values())
    fitting = np.flatnonzero(sizes <= max_nodes)
    return int(fitting[np.argmax(sizes[fitting])]) if len(fitting) else int(np.argmin(sizes))


def radial_layout(picked: dict, edges: list) -> dict:
    """Ring h holds the nodes first reached at hop h; around each ring nodes
    follow the angle of the node they were reached from, so subtrees stay together."""
    parent = {}
    for (source, _, destination), row, col, hop in edges:
        parent.setdefault((source, row), (destination, col))
    position, angle = {}, {}
    num_rings = max(int(h.max()) for _, _, h in picked.values() if len(h)) + 1
    for ring in range(num_rings):
        members = [(name, local) for name, (locals_, _, hops) in picked.items()
                   for local, hop in zip(locals_, hops) if hop == ring]
        members.sort(key=lambda node: (angle.get(parent.get(node), 0.0), node[0], node[1]))
        for i, node in enumerate(members):
            angle[node] = 2 * np.pi * (i + 0.5) / len(members) if ring else 0.0
            position[node] = (ring * np.cos(angle[node]), ring * np.sin(angle[node]))
    return position


def draw_subgraph(batch: Batch, seed: int, node_time: dict, out: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    picked, edges = seed_subgraph(batch, seed)
    seed_customer, seed_time = int(batch.seed_node[seed]), int(batch.seed_time[seed])
    position = radial_layout(picked, edges)
    colours = {"customers": "#1f77b4", "products": "#ff7f0e", "transactions": "#2ca02c"}
    hop_styles = {1: ("#222222", "-", 1.6), 2: ("#7b3294", "--", 1.2), 3: ("#999999", ":", 1.2)}
    later_hops = ("#4dac26", "-.", 1.0)
    hops_drawn = sorted({int(hop) for *_, hop in edges})

    fig, ax = plt.subplots(figsize=(11, 11), dpi=110)
    for (source, _, destination), row, col, hop in edges:
        colour, style, width = hop_styles.get(int(hop), later_hops)
        # Arrows point the way information flows: from the reached node to the expanded one.
        ax.annotate("", xy=position[(destination, col)], xytext=position[(source, row)],
                    arrowprops=dict(arrowstyle="-|>", color=colour, linestyle=style, lw=width,
                                    shrinkA=7, shrinkB=7, mutation_scale=11,
                                    connectionstyle=f"arc3,rad={0.18 if hop % 2 == 0 else 0.0}"),
                    zorder=1)
    for name, (locals_, ids, hops) in picked.items():
        for local, node_id, hop in zip(locals_, ids, hops):
            x, y = position[(name, local)]
            is_seed = name == "customers" and hop == 0
            ax.scatter(x, y, s=420 if is_seed else 110, color=colours[name], zorder=2,
                       edgecolors="black" if is_seed else "white", linewidths=2 if is_seed else 0.8)
            if name == "products" or is_seed:
                ax.annotate(f"{name[:-1]} {node_id}", (x, y), xytext=(0, -24 if is_seed else 9),
                            textcoords="offset points", ha="center", fontsize=11 if is_seed else 8,
                            bbox=dict(boxstyle="round,pad=0.2", fc="white", ec="none", alpha=0.85),
                            zorder=3)

    when = datetime.fromtimestamp(seed_time, tz=UTC).strftime("%Y-%m-%d %H:%M UTC")
    counts = ", ".join(f"{len(picked[n][0])} {n if len(picked[n][0]) != 1 else n[:-1]}" for n in NODE_TYPES)
    ax.set_title(f"Sampled subgraph of customer {seed_customer} at seed time {when}\n"
                 f"{counts}; {len(edges)} edges", fontsize=13)
    transactions = picked["transactions"][1]
    if len(transactions):
        age_days = (seed_time - node_time["transactions"][transactions]) / DAY
        note = (f"Every transaction is at or before the seed time:\n"
                f"the newest {age_days.min():.1f} days, the oldest {age_days.max():.0f} days before it.\n"
                f"Arrows run from each reached node to the node whose hop reached it.")
        ax.text(0.01, 0.01, note, transform=ax.transAxes, fontsize=10, va="bottom")
    legend = [Line2D([], [], marker="o", linestyle="", color=c, markersize=10, label=n)
              for n, c in colours.items()]
    for hop in hops_drawn:
        colour, style, width = hop_styles.get(hop, later_hops)
        legend.append(Line2D([], [], color=colour, linestyle=style, lw=width, label=f"hop {hop} edge"))
    ax.legend(handles=legend, loc="upper right", fontsize=10, framealpha=0.9)
    ax.set_aspect("equal")
    ax.axis("off")
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out)
    plt.close(fig)


# ---- main ------------------------------------------------------------------

def main() -> None:
    args = parse_args()
    began = time.perf_counter()
    shape = dataclasses.replace(synthetic.PRESETS["demo"], customers=args.customers, products=args.products,
                               transactions=args.transactions)
    graph = synthetic.generate(shape, seed=args.seed)
    nodes = ", ".join(f"{count:,} {name}" for name, count in graph.num_nodes.items())
    print(f"Generated {nodes}; {graph.num_edges:,} edges in {len(EDGE_TYPES)} edge types "
          f"({time.perf_counter() - began:.1f} s)")
    began = time.perf_counter()
    graph.check()
    print(f"check_graph: every neighbourhood sorted by time, every index in range "
          f"({time.perf_counter() - began:.2f} s)")
    # At each monthly cutoff every customer who has appeared by then is one training
    # example (as for a 'will this customer buy next month' task).
    seed_node, seed_time = synthetic.monthly_seeds(graph, args.cutoffs, seed=args.seed)
    print(f"Training table: {len(seed_node):,} (customer, prediction time) seeds; "
          f"fanouts {args.fanouts} per hop; batch size {args.batch_size}")

    num_neighbors = {edge_type_key(e): args.fanouts for e in EDGE_TYPES}
    with tempfile.TemporaryDirectory() as directory:
        # Workers map the graph from a directory; without them the loader samples the Graph in this process.
        source: Graph | Path = graph
        if args.workers:
            source = Path(directory) / "graph"
            graph.save(source)
        with SeedLoader(source, "customers", seed_node, seed_time, num_neighbors=num_neighbors,
                        batch_size=args.batch_size, shuffle=False, num_workers=args.workers,
                        sampler_seed=args.seed, index=True) as loader:
            loop_began = time.perf_counter()
            totals, first = sample_epoch(loader, len(args.fanouts))
            print_summary(totals, time.perf_counter() - loop_began)

    chosen = pick_seed_to_draw(first)
    draw_subgraph(first, chosen, graph.node_time, args.out)
    print(f"\nPicture of customer {first.seed_node[chosen]}'s sampled subgraph: {args.out.resolve()}")


if __name__ == "__main__":
    main()
