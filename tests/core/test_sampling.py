"""End-to-end behaviour of NeighborSampler.sample on small hand-checked graphs.

Every successful call is also replayed on the plain-Python reference model, so
the literal expectations here double as checks of the oracle that the
property tests rely on.
"""

import re

import numpy as np
import pytest

import vornlib
from helpers import TIMED_RESULT, i64, plain, timed_graph, timed_request
from reference_model import MT19937, ReferenceSampler



class Graph:
    """One native sampler and one reference model built from the same data."""

    def __init__(self, node_types, edge_types, adjacency, node_time=None, seed=123):
        args = (node_types, edge_types, {k: i64(*c) for k, (c, _) in adjacency.items()},
                {k: i64(*r) for k, (_, r) in adjacency.items()},
                {t: i64(*v) for t, v in (node_time or {}).items()})
        self.sampler = vornlib.NeighborSampler(*args, seed=seed)
        self.model = ReferenceSampler(*args, seed=seed)

    def request(self, counts, windows, entity, seeds, times):
        return ({k: i64(*v) for k, v in counts.items()}, windows or {}, entity, i64(*seeds), i64(*times))

    def sample(self, counts, windows=None, entity="U", seeds=(0,), times=()):
        request = self.request(counts, windows, entity, seeds, times)
        got, expected = plain(self.sampler.sample(*request)), plain(self.model.sample(*request))
        assert got == expected and [list(d) for d in got] == [list(d) for d in expected]
        return got

    def fails(self, error, counts, windows=None, entity="U", seeds=(0,), times=(), model=False):
        request = self.request(counts, windows, entity, seeds, times)
        with pytest.raises(error) as info:
            self.sampler.sample(*request)
        if model:
            with pytest.raises(error, match=f"^{re.escape(str(info.value))}$"):
                self.model.sample(*request)
        return str(info.value)


# Worked examples -------------------------------------------------------------

def five_followers(edge_types=(("U", "f", "U"),)):
    return Graph(["U"], list(edge_types),
                 {"U__f__U": ([0, 5, 5, 5, 5, 5, 5], [1, 2, 3, 4, 5])})


def test_worked_call_with_time_only():
    sampler, model = vornlib.NeighborSampler(**timed_graph()), ReferenceSampler(**timed_graph())
    assert plain(sampler.sample(**timed_request())) == plain(model.sample(**timed_request())) == TIMED_RESULT


def test_worked_call_with_random_draws():
    got = five_followers().sample({"U__f__U": [2]})
    assert got == ({"U__f__U": [1, 2]}, {"U__f__U": [0, 0]}, {"U": [0, 3, 5]}, {"U": [0, 0, 0]},
                   {"U": [1, 2]}, {"U__f__U": [2]})


def test_reference_generator_gives_the_known_draws():
    # std::mt19937 seeded with 123, and with the default seed 5489, whose
    # 10000th value is 4123659995.
    draw = MT19937(123)
    assert [draw(), draw()] == [2991312382, 3062119789]
    draw = MT19937(5489)
    assert [draw() for _ in range(10000)][-1] == 4123659995


# When time applies ---------------------------------------------------------------
# The selection rules themselves (last k, windows, draws, the order check) are
# tested on the core in tests/cpp; here only what a call decides around them.

def chosen_positions(times, counts=None, windows=None, seed_time=None):
    """Positions taken among node 0's candidates, whose sources 0..n-1 have `times`."""
    n = len(times)
    graph = Graph(["D", "S"], [("S", "e", "D")], {"S__e__D": ([0, n], range(n))}, {"S": times})
    modes = ({"S__e__D": [counts]}, None) if windows is None else ({}, {"S__e__D": [windows]})
    got = graph.sample(*modes, entity="D", times=[] if seed_time is None else [seed_time])
    return [got[2]["S"][r] for r in got[0]["S__e__D"]]


def test_without_seed_times_or_timed_seeds_the_order_of_timestamps_is_irrelevant():
    # The sources have timestamps, out of order, but the seeds have none.
    assert chosen_positions([5, 1], -1) == [0, 1]


@pytest.mark.parametrize("times, counts, windows", [
    ([9, 1, 2], None, [None, 5]),  # in window mode
    ([3, 3, 1], 1, None),          # before the last k are taken
])
def test_unsorted_neighbourhood_fails(times, counts, windows):
    with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
        chosen_positions(times, counts, windows, seed_time=10)


# Hop expansion and de-duplication ---------------------------------------------

def ring():
    """U node 0 <- 1, 2; node 1 <- 0, 3; node 2 <- 3. Z is reached by nothing."""
    return Graph(["U", "Z"], [("U", "f", "U")], {"U__f__U": ([0, 2, 4, 5, 5], [1, 2, 0, 3, 3])})


def test_subgraphs_stay_per_seed_and_nodes_are_deduplicated():
    got = ring().sample({"U__f__U": [-1, -1, 0]}, seeds=[0, 0])
    assert got == (
        # hop 1 from both seeds; hop 2 reaches each seed again and node 3 twice per seed
        {"U__f__U": [2, 3, 4, 5, 0, 6, 6, 1, 7, 7]},
        {"U__f__U": [0, 0, 1, 1, 2, 2, 3, 4, 4, 5]},
        {"U": [0, 0, 1, 2, 1, 2, 3, 3], "Z": []},
        {"U": [0, 1, 0, 0, 1, 1, 0, 1], "Z": []},
        {"U": [2, 4, 2, 0], "Z": [0, 0, 0, 0]},
        {"U__f__U": [4, 6, 0]})


def test_later_hops_use_the_seed_time():
    graph = Graph(["U"], [("U", "f", "U")], {"U__f__U": ([0, 1, 2, 2], [1, 2])}, {"U": [0, 10, 20]})
    # Node 1 (time 10) reaches node 2 (time 20) only when measured from the seed time.
    for times, nodes in [([25], [0, 1, 2]), ([15], [0, 1]), ([], [0])]:
        assert graph.sample({"U__f__U": [-1, -1]}, times=times)[2] == {"U": nodes}


def test_duplicated_node_type_adds_a_second_zero_count_per_hop_and_keeps_expanding():
    graph = Graph(["U", "U"], [("U", "f", "U")], {"U__f__U": ([0, 2, 4, 5, 5], [1, 2, 0, 3, 3])})
    got = graph.sample({"U__f__U": [-1, -1]})
    # The repeated listing only adds a 0; nodes 1 and 2 are still expanded at hop 2.
    assert got[2] == {"U": [0, 1, 2, 3]} and got[4] == {"U": [1, 2, 0, 1, 0]}
    assert got[5] == {"U__f__U": [2, 3]}
    listed_once = Graph(["U"], [("U", "f", "U")], {"U__f__U": ([0, 2, 4, 5, 5], [1, 2, 0, 3, 3])})
    assert got[:4] == listed_once.sample({"U__f__U": [-1, -1]})[:4]


def test_duplicated_edge_type_is_expanded_twice_per_hop():
    got = five_followers(edge_types=[("U", "f", "U")] * 2).sample({"U__f__U": [1, 1]})
    # One draw per occurrence: 2991312382 % 5 = 2, 3062119789 % 5 = 4; hop 2 has no edges.
    assert got[0] == {"U__f__U": [1, 2]} and got[2] == {"U": [0, 3, 5]}
    assert got[5] == {"U__f__U": [1, 1, 0, 0]} and got[4] == {"U": [1, 2, 0]}


@pytest.mark.parametrize("edge_types, counts", [([], {}), ([("U", "f", "U")], {"U__f__U": []})])
def test_zero_hops_records_only_the_seeds(edge_types, counts):
    graph = Graph(["U", "Z"], edge_types, {"U__f__U": ([0, 1, 1], [1])} if edge_types else {})
    got = graph.sample(counts, seeds=[1, 0, 1])
    assert got[2:5] == ({"U": [1, 0, 1], "Z": []}, {"U": [0, 1, 2], "Z": []}, {"U": [3], "Z": [0]})
    assert got[0] == got[1] == {k: [] for k in counts} and got[5] == got[0]


def test_no_seeds():
    got = ring().sample({"U__f__U": [-1, 3]}, seeds=[])
    assert got == ({"U__f__U": []}, {"U__f__U": []}, {"U": [], "Z": []}, {"U": [], "Z": []},
                   {"U": [0, 0, 0], "Z": [0, 0, 0]}, {"U__f__U": [0, 0]})


def test_short_count_list_counts_as_zero():
    graph = Graph(["U"], [("U", "f", "U"), ("U", "g", "U")],
                  {k: ([0, 2, 4, 5, 5], [1, 2, 0, 3, 3]) for k in ("U__f__U", "U__g__U")})
    got = graph.sample({"U__f__U": [-1, -1], "U__g__U": [-1]})
    assert got[5] == {"U__f__U": [2, 3], "U__g__U": [2, 0]}


@pytest.mark.parametrize("times", [[5], [5, 6, 7, 8, 9], [7, 7, 7]])
def test_seed_time_is_ignored_without_timestamps(times):
    graph = five_followers()
    assert graph.sample({"U__f__U": [-1]}, seeds=[0, 0, 3], times=times) == \
        graph.sample({"U__f__U": [-1]}, seeds=[0, 0, 3])


# Failures --------------------------------------------------------------------

def foreign_type_graph(edge_type):
    key = "__".join(edge_type)
    return Graph(["U"], [("U", "f", "U"), edge_type],
                 {"U__f__U": ([0, 1, 1], [1]), key: ([0, 1, 1], [0])}), key


@pytest.mark.parametrize("edge_type, error, message", [
    (("U", "f", "X"), IndexError, "^unordered_map::at$"),
    (("X", "f", "U"), RuntimeError, "^Edge type 'X__f__U' has source type 'X', .*'node_types'"),
    (("X", "f", "X"), IndexError, "^unordered_map::at$"),
])
def test_edge_type_outside_node_types(edge_type, error, message):
    graph, key = foreign_type_graph(edge_type)
    with pytest.raises(error, match=message):
        graph.sampler.sample({"U__f__U": i64(1), key: i64(0)}, {}, "U", i64(), i64())
    got = graph.sample({"U__f__U": [], key: []})  # no hop, no error
    assert got[0] == {"U__f__U": [], key: []} and list(got[2]) == ["U"]


def test_failed_call_leaves_only_the_generator_advanced():
    def build():
        return Graph(["U", "V"], [("U", "f", "U"), ("V", "g", "U")],
                     {"U__f__U": ([0, 5, 5, 5, 5, 5, 5], [1, 2, 3, 4, 5]), "V__g__U": ([0, 2] + [2] * 5, [0, 1])},
                     {"V": [5, 1]})
    good = {"U__f__U": [2], "V__g__U": [0]}
    failing, fresh = build(), build()
    # Two draws, then an unsorted neighbourhood; the model fails at the same point.
    failing.fails(RuntimeError, {"U__f__U": [2], "V__g__U": [-1]}, times=[10], model=True)
    fresh.sample(good, times=[10])
    assert failing.sample(good, times=[10]) == fresh.sample(good, times=[10])


def names_index(message, name, index):
    return f"'{name}'" in message and re.search(rf"(?<![\d-]){index}(?!\d)", message) is not None


@pytest.mark.parametrize("colptr, row, node_time, seeds, times, name, index", [
    ([0, 1, 2, 2], [1, 2], [1, 2, 3], [3], [], "U", 3),          # seed beyond node_time
    ([0, 1, 2, 2], [1, 2], [1, 2, 3], [-1], [], "U", -1),
    ([0, 1, 2, 2], [1, 2], [1, 2], [1], [9], "U__f__U", 2),       # row value beyond node_time
    ([0, 1, 2, 2], [1, 2], None, [3], [], "U__f__U", 3),         # colptr too short for the node
    ([0, 1, 2, 2], [1, 2], None, [-1], [], "U__f__U", -1),
    ([0, 4, 4, 4], [1, 2], None, [0], [], "U__f__U", 3),         # colptr range beyond row
    ([-1, 1, 2, 2], [1, 2], None, [0], [], "U__f__U", -1),
])
def test_out_of_range_data_is_reported(colptr, row, node_time, seeds, times, name, index):
    graph = Graph(["U"], [("U", "f", "U")], {"U__f__U": (colptr, row)},
                  None if node_time is None else {"U": node_time})
    message = graph.fails(RuntimeError, {"U__f__U": [-1]}, seeds=seeds, times=times)
    assert names_index(message, name, index), message
    assert graph.sample({"U__f__U": [0]})[5] == {"U__f__U": [0]}  # the sampler is still usable


@pytest.mark.parametrize("counts, windows", [({"U__f__U": [-1]}, None), ({}, {"U__f__U": [[None, 5]]})])
@pytest.mark.parametrize("defect, index", [("row", 99), ("colptr", 45)])
def test_wide_timed_frontier_reports_the_first_bad_node(counts, windows, defect, index):
    row, seeds = [(v + 1) % 40 for v in range(40)], list(range(39, -1, -1))  # frontier runs backwards
    if defect == "row":
        row[20], row[12] = 99, 98
    else:
        seeds[19], seeds[22] = 45, 50
    graph = Graph(["U"], [("U", "f", "U")], {"U__f__U": (range(41), row)}, {"U": range(40)})
    message = graph.fails(RuntimeError, counts, windows, seeds=seeds, times=[100] * 40)
    assert names_index(message, "U__f__U", index), message


def window_graph():
    return Graph(["U"], [("U", "f", "U"), ("U", "g", "U")],
                 {k: ([0, 2, 2, 2], [1, 2]) for k in ("U__f__U", "U__g__U")}, {"U": [1, 2, 3]})


@pytest.mark.parametrize("value", [np.array([[0, 5]]), [[0, 5]], np.array([[None, 5]], dtype=object)])
@pytest.mark.parametrize("seeds", [[0], []])
def test_window_with_too_few_rows_fails_at_the_missing_hop(value, seeds):
    window_graph().fails(IndexError, {"U__f__U": [1, 1]}, {"U__g__U": value}, seeds=seeds)


class WatchedOffsets(np.ndarray):
    """Window offsets whose item access runs the caller's own code."""
    reads = []

    def __getitem__(self, index):
        WatchedOffsets.reads.append((self.ndim, index))
        return super().__getitem__(index)


def test_window_offsets_of_an_array_subclass_are_read_through_its_item_access():
    # Plain int64 offsets are read from their buffer; a subclass may define
    # what indexing means, so it is still asked, hop by hop, and agrees.
    graph, offsets = window_graph(), i64(-1, 0, -2, 0).reshape(2, 2)
    plain_result = graph.sample({"U__f__U": [1, 1]}, {"U__g__U": offsets}, times=[2])
    WatchedOffsets.reads = []
    request = graph.request({"U__f__U": [1, 1]}, {"U__g__U": offsets.view(WatchedOffsets)}, "U", [0], [2])
    assert plain(graph.sampler.sample(*request)) == plain_result
    assert [index for ndim, index in WatchedOffsets.reads if ndim == 2] == [0, 1]  # one row per hop


@pytest.mark.parametrize("offsets, type_name", [
    ([[0, 1.5]], "float"), ([[0, None]], "NoneType"), ([[0.5, 1]], "float"), ([[None, None]], "NoneType")])
def test_window_offset_that_is_not_an_int_fails(offsets, type_name):
    message = window_graph().fails(RuntimeError, {"U__f__U": [1]}, {"U__g__U": offsets}, times=[5])
    assert message == (f"Unable to cast Python instance of type <class '{type_name}'> to C++ type '?' "
                       "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")
