"""Time one sample() call shape on a benchmark graph: every edge type in count
mode with time (the k latest), the same fanout at every hop.

    .venv/bin/python bench/single_call.py --size 1m --batch 1024 --hops 2 --fanout 16

Needs the graph from `bash scripts/run_bench.sh 1m` (or `python -m vornlib_tools.synthetic`).
"""

import argparse
import time
from pathlib import Path

import numpy as np

from run_bench import SAMPLER_SEED

from vornlib_tools import synthetic as synthetic_graph
from vornlib_tools.graph import Graph, read_index


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1m")
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--hops", type=int, default=2)
    parser.add_argument("--fanout", type=int, default=16)
    parser.add_argument("--calls", type=int, default=120)
    parser.add_argument("--warmup", type=int, default=10)
    args = parser.parse_args()

    directory = Path(__file__).parent / "data" / args.size
    metadata, graph = read_index(directory), Graph.load(directory)
    keys = graph.keys
    counts = {key: [args.fanout] * args.hops for key in keys}
    sampler = graph.sampler(SAMPLER_SEED, with_time=True)
    seeds, times = synthetic_graph.seed_batches(metadata, args.batch, args.warmup + args.calls)

    elapsed, edges = [], 0
    for seed_node, seed_time in zip(seeds, times):
        start = time.perf_counter()
        result = sampler.sample(counts, {}, "customers", seed_node, seed_time)
        elapsed.append(time.perf_counter() - start)
        edges = sum(len(rows) for rows in result[0].values())
    timed = np.array(elapsed[args.warmup:]) * 1e3
    total_edges = graph.num_edges
    print(f"batch {args.batch}, {args.hops} hops, fanout {args.fanout} (k latest) on {total_edges:,} edges: "
          f"median {np.median(timed):.2f} ms, min {timed.min():.2f} ms over {len(timed)} calls; "
          f"{edges:,} edges in the last call")


if __name__ == "__main__":
    main()
