"""Randomised agreement of NeighborSampler.sample with the reference model.

Small random heterogeneous graphs (self-loops, repeated node and edge types,
with and without timestamps, occasionally unsorted neighbourhoods) and random
requests (counts including -1, 0 and more than the degree, windows including
missing starts and offsets at the int64 limits, repeated seeds).
"""

import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vornlib
from reference_model import ReferenceSampler, edge_key

settings.register_profile("sampling", derandomize=True, database=None, deadline=None, max_examples=150,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROFILE = settings.get_profile("sampling")

I64 = np.int64
# Hypothesis favours the first option of a choice, so the most useful comes first.
COUNT = st.sampled_from([2, 1, -1, 0, 3, 100])
OFFSET = st.integers(-6, 6) | st.sampled_from([-(2**63), 2**63 - 1])


@st.composite
def graphs(draw):
    distinct = draw(st.permutations("abc"))[:draw(st.sampled_from([2, 1, 3]))]
    node_types = distinct + ([draw(st.sampled_from(distinct))] if draw(st.integers(0, 4)) == 4 else [])
    sizes = {t: draw(st.sampled_from([3, 1, 2, 4, 5, 0])) for t in distinct}
    node_time = {t: draw(st.lists(st.integers(0, 9), min_size=sizes[t], max_size=sizes[t]))
                 for t in distinct if draw(st.integers(0, 2)) == 0}
    edge_types = draw(st.lists(st.tuples(st.sampled_from(distinct), st.sampled_from("rs"),
                                         st.sampled_from(distinct)), min_size=1, max_size=5))
    sort_by_time = draw(st.integers(0, 3)) < 3
    colptr, row = {}, {}
    for source, rel, dest in dict.fromkeys(edge_types):
        sources = st.integers(0, max(sizes[source] - 1, 0))
        degrees = st.sampled_from([3, 1, 2, 0, 5, 7] if sizes[source] else [0])
        lists = [draw(st.lists(sources, min_size=d, max_size=d)) for d in map(draw, [degrees] * sizes[dest])]
        if sort_by_time and source in node_time:
            lists = [sorted(n, key=node_time[source].__getitem__) for n in lists]
        key = edge_key((source, rel, dest))
        colptr[key] = np.cumsum([0] + [len(n) for n in lists], dtype=I64)
        row[key] = np.array(list(itertools.chain(*lists)), dtype=I64)
    node_time = {t: np.array(v, dtype=I64) for t, v in node_time.items()}
    seed = draw(st.integers(-(2**31), 2**31 - 1))
    return (node_types, edge_types, colptr, row, node_time), seed, sizes


def window_array(rows):
    dtype = object if any(start is None for start, _ in rows) else I64
    return np.array(rows, dtype=dtype).reshape(-1, 2)


@st.composite
def requests(draw, graph):
    (node_types, edge_types, _, _, node_time), _, sizes = graph
    entity = draw(st.sampled_from([t for _, _, t in edge_types] + node_types))
    seeds = draw(st.lists(st.integers(0, max(sizes[entity] - 1, 0)), min_size=1, max_size=8))
    seeds = seeds if sizes[entity] else []
    times = st.lists(st.integers(0, 12), max_size=6)
    if node_time:  # a sampler with timestamps needs one seed time per seed, or none
        times = st.just([]) | st.lists(st.integers(0, 12), min_size=len(seeds), max_size=len(seeds))
    hops = draw(st.sampled_from([2, 1, 3, 2, 1, 0]))
    counts, windows = {}, {}
    for source, rel, dest in dict.fromkeys(edge_types):
        key = edge_key((source, rel, dest))
        if source in node_time and draw(st.booleans()):
            windows[key] = window_array(draw(st.lists(st.tuples(st.none() | OFFSET, OFFSET).map(list),
                                                      min_size=hops, max_size=hops)))
        else:  # now and then a count list is shorter than the number of hops
            length = hops if draw(st.integers(0, 3)) < 3 else draw(st.integers(0, hops))
            counts[key] = np.array(draw(st.lists(COUNT, min_size=length, max_size=length)), dtype=I64)
    return counts, windows, entity, np.array(seeds, dtype=I64), np.array(draw(times), dtype=I64)


def outcome(sample, request):
    try:
        result = sample(*request)
    except RuntimeError as error:  # an unsorted neighbourhood
        return type(error), str(error)
    lists = tuple([(key, list(map(int, value))) for key, value in table.items()] for table in result)
    for value in (v for table in result for v in table.values() if isinstance(v, np.ndarray)):
        value[...] = -7  # scribbling on a result must not reach the sampler or a later call
    return lists


@PROFILE
@given(st.data())
def test_sampler_agrees_with_reference_model(data):
    graph = data.draw(graphs())
    args, seed, _ = graph
    sampler, twin = vornlib.NeighborSampler(*args, seed=seed), vornlib.NeighborSampler(*args, seed=seed)
    model = ReferenceSampler(*args, seed=seed)
    for _ in range(3):  # consecutive calls continue one random stream, also after a failed call
        request = data.draw(requests(graph))
        got = outcome(sampler.sample, request)
        assert got == outcome(model.sample, request)
        assert got == outcome(twin.sample, request)


def wide_case(rng, sort_by_time=True):
    """Two node types of 40 and 30 nodes and 30 seeds: frontiers of dozens of nodes per hop."""
    sizes = {"a": 40, "b": 30}
    node_time = {t: rng.integers(0, 10, n) for t, n in sizes.items() if rng.random() < 0.8}
    edge_types = [("a", "r", "a"), ("b", "r", "a"), ("a", "s", "b")]
    colptr, row, counts, windows = {}, {}, {}, {}
    for source, rel, dest in edge_types:
        key = edge_key((source, rel, dest))
        lists = [rng.integers(0, sizes[source], rng.integers(0, 8)) for _ in range(sizes[dest])]
        if sort_by_time and source in node_time:
            lists = [n[np.argsort(node_time[source][n], kind="stable")] for n in lists]
        colptr[key] = np.cumsum([0] + [len(n) for n in lists], dtype=I64)
        row[key] = np.concatenate(lists).astype(I64)
        if source in node_time and rng.random() < 0.5:
            starts = [None if rng.random() < 0.3 else int(x) for x in rng.integers(-8, 4, 3)]
            windows[key] = window_array([[s, int(e)] for s, e in zip(starts, rng.integers(-4, 8, 3))])
        else:
            counts[key] = rng.choice([-1, 0, 1, 2, 3, 9], 3).astype(I64)
    seeds = rng.integers(0, 40, 30).astype(I64)
    times = rng.integers(0, 14, 30 if rng.random() < 0.7 else 0).astype(I64)
    args = (["a", "b"], edge_types, colptr, row, node_time)
    return args, (counts, windows, "a", seeds, times)


@pytest.mark.parametrize("case", range(24))
def test_sampler_agrees_with_reference_model_on_wide_frontiers(case):
    args, request = wide_case(np.random.default_rng(case), sort_by_time=case % 6 != 5)
    sampler, model = vornlib.NeighborSampler(*args, seed=case), ReferenceSampler(*args, seed=case)
    for _ in range(2):
        assert outcome(sampler.sample, request) == outcome(model.sample, request)


def check_invariants(result, args, request):
    rows, cols, nodes, batches, node_counts, edge_counts = result
    node_types, edge_types, colptr, row, _ = args
    counts, windows, entity, seeds, _ = request
    hops = max(map(len, (*counts.values(), *windows.values())), default=0)
    keys = [edge_key(e) for e in edge_types]
    assert list(nodes) == list(batches) == list(node_counts) == list(dict.fromkeys(node_types))
    assert list(rows) == list(cols) == list(edge_counts) == list(dict.fromkeys(keys))
    for t in nodes:
        assert len(nodes[t]) == len(batches[t]) == node_counts[t].sum()
        assert node_counts[t][0] == (len(seeds) if t == entity else 0)
        assert len(node_counts[t]) == 1 + hops * node_types.count(t)
        assert ((0 <= batches[t]) & (batches[t] < len(seeds))).all()
        assert len(set(zip(batches[t].tolist(), nodes[t].tolist()))) == len(nodes[t])
    assert nodes[entity][:len(seeds)].tolist() == seeds.tolist()
    assert batches[entity][:len(seeds)].tolist() == list(range(len(seeds)))
    for (source, _, dest), key in zip(edge_types, keys):
        r, c = rows[key], cols[key]
        assert len(r) == len(c) == edge_counts[key].sum()
        assert len(edge_counts[key]) == hops * keys.count(key)
        assert (r < len(nodes[source])).all() and (c < len(nodes[dest])).all()
        assert (batches[source][r] == batches[dest][c]).all()
        for u, v in zip(nodes[source][r], nodes[dest][c]):  # every sampled edge exists
            assert u in row[key][colptr[key][v]:colptr[key][v + 1]]


@PROFILE
@given(st.data())
def test_results_are_consistent_and_independent_arrays(data):
    graph = data.draw(graphs())
    args, seed, _ = graph
    sampler = vornlib.NeighborSampler(*args, seed=seed)
    inputs = [*args[2].values(), *args[3].values(), *args[4].values()]
    earlier = []
    for _ in range(2):
        request = data.draw(requests(graph))
        try:
            result = sampler.sample(*request)
        except RuntimeError as error:
            assert str(error) == "Found invalid non-sorted temporal neighborhood"
            continue
        assert type(result) is tuple and len(result) == 6
        check_invariants(result, args, request)
        arrays = [value for table in result for value in table.values()]
        for array in arrays:
            assert type(array) is np.ndarray and array.dtype == I64 and array.ndim == 1
            assert array.flags.writeable and array.flags.owndata and array.base is None
        others = inputs + [*request[0].values(), *request[1].values(), *request[3:], *earlier]
        assert not any(np.shares_memory(x, y) for x in arrays for y in others)
        assert not any(np.shares_memory(x, y) for x, y in itertools.combinations(arrays, 2))
        earlier += arrays
