"""Randomised agreement of NeighborSampler.sample with the reference model, and
what every result is made of, on the valid graphs and requests of the shared
random family (see helpers.graphs and helpers.requests).
"""

import itertools

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import vornlib
from helpers import check_result, examples, graphs, requests
from reference_model import ReferenceSampler


def outcome(sample, request):
    try:
        result = sample(**request)
    except RuntimeError as error:  # an unsorted neighbourhood
        return type(error), str(error)
    lists = tuple([(key, list(map(int, value))) for key, value in table.items()] for table in result)
    for value in (v for table in result for v in table.values() if isinstance(v, np.ndarray)):
        value[...] = -7  # scribbling on a result must not reach the sampler or a later call
    return lists


def agrees_with_model(data, wide):
    graph = data.draw(graphs(wide=wide))
    args = graph.plain_args()
    sampler, twin, model = (vornlib.NeighborSampler(**args), vornlib.NeighborSampler(**args),
                            ReferenceSampler(**args))
    for _ in range(3):  # consecutive calls continue one random stream, also after a failed call
        request = data.draw(requests(graph))
        got = outcome(sampler.sample, request)
        assert got == outcome(model.sample, request)
        assert got == outcome(twin.sample, request)


@examples(150, fixed=True)
@given(st.data())
def test_sampler_agrees_with_reference_model(data):
    agrees_with_model(data, wide=False)


@examples(24, fixed=True)
@given(st.data())
def test_sampler_agrees_with_reference_model_on_wide_frontiers(data):
    agrees_with_model(data, wide=True)


@examples(150, fixed=True)
@given(st.data())
def test_results_are_consistent_and_independent_arrays(data):
    graph = data.draw(graphs())
    args = graph.plain_args()
    sampler = vornlib.NeighborSampler(**args)
    inputs = [*args["colptr"].values(), *args["row"].values(), *args["node_time"].values()]
    earlier = []
    for _ in range(2):
        request = data.draw(requests(graph))
        try:
            result = sampler.sample(**request)
        except RuntimeError as error:
            assert str(error) == "Found invalid non-sorted temporal neighborhood"
            continue
        check_result(result, graph, request)
        arrays = [value for table in result for value in table.values()]
        for array in arrays:  # small tables are copied into arrays of their own
            assert array.flags.writeable and array.flags.owndata and array.base is None
        others = inputs + [*request["num_neighbors"].values(), *request["sampling_time_offsets"].values(),
                           request["seed_node"], request["seed_time"], *earlier]
        assert not any(np.shares_memory(x, y) for x in arrays for y in others)
        assert not any(np.shares_memory(x, y) for x, y in itertools.combinations(arrays, 2))
        earlier += arrays
