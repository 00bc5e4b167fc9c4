"""What one batch costs to sample and to turn into model inputs, in isolation.

    python bench/recipe_conversion.py GRAPH_DIR   (a graph directory python -m vornlib_tools.recipe built)

Samples 512 random seeds of the dataset's entity table with its fan-outs,
then times (best of 5 rounds of 60 calls) the sampler, Batch.features over
memory maps and over packed records, and the recipe's whole to_inputs.
"""

import sys
import time
from pathlib import Path

import numpy as np
import torch

from vornlib_tools import Batch, Graph
from vornlib_tools.recipe import configurations, training


def best_ms(function, calls: int = 60, rounds: int = 5) -> float:
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        for _ in range(calls):
            function()
        best = min(best, (time.perf_counter() - started) / calls * 1e3)
    return best


def main(directory: Path) -> None:
    graph = Graph.load(directory)
    flights = "flights" in graph.node_types
    entity = "flights" if flights else "customers"
    counts, _ = graph.request(configurations.flight_neighbors("all") if flights else configurations.SHOP_NEIGHBORS)
    sampler = graph.sampler()
    seeds = np.random.default_rng(0).choice(graph.num_nodes[entity], 512)
    times = (np.asarray(graph.node_time[entity])[seeds] if flights
             else np.full(512, int(graph.time_range[1]) - 40 * 86_400))

    def sample() -> Batch:
        batch = Batch.from_sample(sampler.sample(counts, {}, entity, seeds, times), seeds, times, entity,
                                  graph.edge_types)
        batch.payload = {"time": times, "label": np.zeros(512, np.float32)}
        return batch

    batch = sample()
    print(f"{entity}: {sum(len(n) for n in batch.nodes.values()):,} sampled nodes")
    print(f"sample + Batch.from_sample: {best_ms(sample):.2f} ms")
    print(f"Batch.features, mapped:     {best_ms(lambda: batch.features(graph)):.2f} ms")
    training.packed_features(graph)
    print(f"Batch.features, packed:     {best_ms(lambda: batch.features(graph)):.2f} ms")
    print(f"to_inputs:                  {best_ms(lambda: training.to_inputs(batch, graph, torch.device('cpu'))):.2f} ms")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
