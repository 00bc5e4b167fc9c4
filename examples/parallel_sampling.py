"""Scale sampling out across processes: one sampler per worker over shared memory maps.

The graph is written once as .npy files. Every worker process memory-maps the
same files (the operating system keeps one copy in its page cache, however many
processes map it), builds its own NeighborSampler with its own random seed, and
samples its shard of the seed set. A sampler holds the interpreter lock for the
whole of a call, so threads cannot run two calls at once; processes can.

    python examples/parallel_sampling.py [--workers 2] [--data-dir DIR]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from vornlib_tools import Graph, synthetic
from vornlib_tools.schema import edge_type_key as edge_key
from vornlib_tools.synthetic import EDGE_TYPES

SEEDS_FILE = "training_seeds.npz"


def write_dataset(directory: Path, customers: int, products: int, transactions: int, seed: int) -> None:
    """The graph's arrays as .npy files plus the training table beside them."""
    shape = synthetic.Shape(transactions, customers, products)
    graph = synthetic.generate(shape, seed=seed)
    graph.save(directory)
    seed_node, seed_time = synthetic.monthly_seeds(graph, 4, seed=seed)
    np.savez(directory / SEEDS_FILE, seed_node=seed_node, seed_time=seed_time)


@dataclass
class ShardReport:
    worker: int
    seeds: int
    edges: int
    started: float  # time.monotonic(), comparable across processes on one machine
    finished: float
    cpu_seconds: float  # this worker's own CPU time while sampling

    @property
    def seconds(self) -> float:
        return self.finished - self.started


def sample_shard(directory: Path, worker: int, num_workers: int, batch_size: int, fanouts: list[int],
                 base_seed: int = 123, epochs: int = 1) -> ShardReport:
    """Runs in a worker process: map the graph, build a private sampler, sample
    every batch of this worker's contiguous shard of the seed set (epochs times)."""
    graph = Graph.load(directory, mmap=True)
    # A distinct seed per worker: identical seeds would repeat the same random
    # choices in every worker (for edge types sampled without time).
    sampler = graph.sampler(seed=base_seed + worker)
    seeds = np.load(directory / SEEDS_FILE)
    shard = np.array_split(np.arange(len(seeds["seed_node"])), num_workers)[worker]
    seed_node, seed_time = seeds["seed_node"][shard], seeds["seed_time"][shard]
    num_neighbors = {edge_key(e): np.array(fanouts, dtype=np.int64) for e in EDGE_TYPES}

    started, cpu_started = time.monotonic(), time.process_time()
    edges = 0
    for _ in range(epochs):
        for start in range(0, len(seed_node), batch_size):
            batch = slice(start, start + batch_size)
            *_, edge_counts = sampler.sample(num_neighbors, {}, "customers", seed_node[batch], seed_time[batch])
            edges += int(sum(counts.sum() for counts in edge_counts.values()))
    return ShardReport(worker, len(seed_node) * epochs, edges, started, time.monotonic(),
                       time.process_time() - cpu_started)


def run_workers(directory: Path, num_workers: int, batch_size: int, fanouts: list[int],
                base_seed: int = 123, epochs: int = 1) -> tuple[list[ShardReport], float]:
    """Samples the whole seed set with num_workers processes. Returns the
    per-worker reports and the wall time of the sampling phase (first worker
    start to last worker end, process start-up excluded)."""
    # spawn: workers start clean and open the maps themselves, as they would on any platform.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=num_workers, mp_context=context) as pool:
        futures = [pool.submit(sample_shard, directory, worker, num_workers, batch_size, fanouts, base_seed,
                               epochs) for worker in range(num_workers)]
        reports = [future.result() for future in futures]
    wall = max(r.finished for r in reports) - min(r.started for r in reports)
    return reports, wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--data-dir", type=Path, help="reuse or create the .npy files here "
                        "(default: a temporary directory)")
    parser.add_argument("--customers", type=int, default=50_000)
    parser.add_argument("--products", type=int, default=5_000)
    parser.add_argument("--transactions", type=int, default=1_000_000)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[16, 8, 8])
    parser.add_argument("--epochs", type=int, default=1, help="passes over the seed set")
    parser.add_argument("--json", type=Path, help="also write the per-worker reports and the wall time here")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vornlib-graph-") as scratch:
        directory = args.data_dir or Path(scratch)
        if not (directory / SEEDS_FILE).exists():
            write_dataset(directory, args.customers, args.products, args.transactions, seed=0)
            print(f"Wrote the graph as .npy files to {directory}")
        graph = Graph.load(directory)  # memory-mapped, as the workers will see it
        graph.check()
        reports, wall = run_workers(directory, args.workers, args.batch_size, args.fanouts, epochs=args.epochs)

    for r in reports:
        print(f"worker {r.worker} (sampler seed {123 + r.worker}): {r.seeds:,} seeds, {r.edges:,} edges "
              f"in {r.seconds:.2f} s ({r.cpu_seconds:.2f} s of CPU)")
    seeds, edges = sum(r.seeds for r in reports), sum(r.edges for r in reports)
    print(f"{args.workers} worker processes: {seeds:,} seeds in {wall:.2f} s = {seeds / wall:,.0f} seeds/s, "
          f"{edges / wall:,.0f} sampled edges/s")
    if args.json:
        args.json.write_text(json.dumps({"wall_seconds": wall, "workers": [vars(r) for r in reports]}))


if __name__ == "__main__":
    main()
