"""Frontiers far larger than the sampler's unit of work.

The sampler works a frontier in chunks whose size adapts to the number of
chosen neighbours, and a type that is both source and destination grows its
own tables while its frontier is being worked. Whatever the chunking, the
result and the random stream must be those of the plain reference model.
"""

import numpy as np
import pytest

import vornlib
from helpers import plain
from reference_model import ReferenceSampler


def self_loop_graph(rng, nodes, max_degree, heavy_degree):
    """One node type U with U -> U edges sorted by source time; node 0 has a
    huge neighbourhood, so a chunk holding it must shrink."""
    times = rng.integers(0, 1000, nodes).astype(np.int64)
    degrees = rng.integers(0, max_degree + 1, nodes)
    degrees[0] = heavy_degree
    colptr = np.concatenate([[0], np.cumsum(degrees)]).astype(np.int64)
    row = rng.integers(0, nodes, int(colptr[-1])).astype(np.int64)
    for v in range(nodes):
        run = row[colptr[v]:colptr[v + 1]]
        row[colptr[v]:colptr[v + 1]] = run[np.argsort(times[run], kind="stable")]
    return ["U"], [("U", "to", "U")], {"U__to__U": colptr}, {"U__to__U": row}, {"U": times}


@pytest.mark.parametrize("timed", [False, True], ids=["uniform", "latest"])
def test_chunked_frontiers_match_the_reference_model(timed):
    rng = np.random.default_rng(5)
    node_types, edge_types, colptr, row, node_time = self_loop_graph(rng, 600, 30, 40_000)
    node_time = node_time if timed else {}
    sampler = vornlib.NeighborSampler(node_types, edge_types, colptr, row, node_time, seed=9)
    model = ReferenceSampler(node_types, edge_types, colptr, row, node_time, seed=9)
    seeds = rng.integers(1, 600, 3000).astype(np.int64)
    seeds[::500] = 0  # a few seeds start at the huge neighbourhood
    seed_time = rng.integers(200, 1000, seeds.size).astype(np.int64) if timed else np.empty(0, np.int64)
    request = ({"U__to__U": np.array([-1 if timed else 6, 3], dtype=np.int64)}, {}, "U", seeds, seed_time)
    for _ in range(2):  # the second call continues the random stream
        assert plain(sampler.sample(*request)) == plain(model.sample(*request))
