"""Scale sampling out across processes: SeedLoader's workers over one memory-mapped graph.

The graph is written once as .npy files. Every worker process of the loader
memory-maps the same files (the operating system keeps one copy in its page
cache, however many processes map it) and samples the batches it is given; the
batches come back through shared memory. A sampler holds the interpreter lock
for the whole of a call, so threads cannot run two calls at once; processes
can. The epoch is sampled once in this process and once with the workers: the
batches are the same, whichever process sampled them.

    python examples/parallel_sampling.py [--workers 2] [--data-dir DIR]
"""

from __future__ import annotations

import argparse
import json
import tempfile
import time
from pathlib import Path

import numpy as np

from vornlib_tools import Graph, SeedLoader, edge_type_key, synthetic
from vornlib_tools.synthetic import EDGE_TYPES


def epoch(loader: SeedLoader) -> tuple[float, int, list[np.ndarray]]:
    """Seconds for one epoch of the loader, the edges it sampled, and each
    batch's sampled transactions (to compare epochs)."""
    started, edges, transactions = time.perf_counter(), 0, []
    for batch in loader:
        edges += int(sum(counts.sum() for counts in batch.num_sampled_edges.values()))
        transactions.append(batch.nodes["transactions"].copy())
    return time.perf_counter() - started, edges, transactions


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--data-dir", type=Path, help="reuse or create the graph directory here "
                        "(default: a temporary directory)")
    parser.add_argument("--customers", type=int, default=50_000)
    parser.add_argument("--products", type=int, default=5_000)
    parser.add_argument("--transactions", type=int, default=1_000_000)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[16, 8, 8])
    parser.add_argument("--json", type=Path, help="also write the timings here")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vornlib-graph-") as scratch:
        directory = args.data_dir or Path(scratch)
        if not Graph.saved_in(directory):
            shape = synthetic.Shape(args.transactions, args.customers, args.products)
            synthetic.generate(shape, seed=0).save(directory)
            print(f"Wrote the graph as .npy files to {directory}")
        graph = Graph.load(directory)  # memory-mapped, as the workers will see it
        seed_node, seed_time = synthetic.monthly_seeds(graph, 4, seed=0)
        num_neighbors = {edge_type_key(e): args.fanouts for e in EDGE_TYPES}
        runs = {}
        for workers in (0, args.workers):
            with SeedLoader(directory, "customers", seed_node, seed_time, num_neighbors=num_neighbors,
                            batch_size=args.batch_size, shuffle=False, num_workers=workers, index=True) as loader:
                loader.start()  # start-up is paid once per loader, not per epoch
                runs[workers] = epoch(loader)

    seeds = len(seed_node)
    for workers, (seconds, edges, _) in runs.items():
        where = "in this process" if workers == 0 else f"with {workers} worker processes"
        print(f"{where}: {seeds:,} seeds in {seconds:.2f} s = {seeds / seconds:,.0f} seeds/s, "
              f"{edges / seconds:,.0f} sampled edges/s")
    (alone, _, first), (parallel, _, second) = runs[0], runs[args.workers]
    same = len(first) == len(second) and all(np.array_equal(a, b) for a, b in zip(first, second))
    print(f"speed-up {alone / parallel:.2f}x; the batches are {'the same' if same else 'DIFFERENT'} in both runs")
    if args.json:
        args.json.write_text(json.dumps({"seeds": seeds, "seconds": {str(w): r[0] for w, r in runs.items()},
                                         "same_batches": same}))


if __name__ == "__main__":
    main()
