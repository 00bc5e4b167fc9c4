"""Building a sampler: argument checks in their order, accepted forms, array lifetime and layout."""

import collections
import gc
import weakref

import numpy as np
import pytest

from helpers import (SAME_VALUES, SURROGATE_ERROR, SURROGATE_KEY, TIMED_RESULT, i64, plain, raises_exactly,
                     timed_graph, timed_request)
from vornlib import NeighborSampler

GOOD = timed_graph()
CP, ROW, NT = GOOD["colptr"], GOOD["row"], GOOD["node_time"]
TWO_D = np.zeros((2, 2), dtype=np.int64)
FLOATS = np.array([1.0, 2.0])

FAILURES = {
    # The key is tested before its value is looked at.
    "extra key": ({"colptr": {**CP, "A_w_P": CP["A__w__P"]}}, RuntimeError,
                  "Invalid type 'A_w_P' found in colptr."),
    "triple as key": ({"colptr": {("A", "w", "P"): TWO_D}}, RuntimeError,
                      "Invalid type '('A', 'w', 'P')' found in colptr."),
    "unknown node type": ({"node_time": {**NT, "C": TWO_D}}, RuntimeError,
                          "Invalid type 'C' found in node_time."),
    # Dimensions are tested before the dtype.
    "2-D float row": ({"row": {**ROW, "P__c__P": TWO_D.astype(float)}}, RuntimeError,
                      "Type 'P__c__P' in row is not 1D."),
    "scalar row": ({"row": {**ROW, "A__w__P": np.int64(3)}}, RuntimeError,
                   "Type 'A__w__P' in row is not 1D."),
    "float node_time": ({"node_time": {**NT, "A": FLOATS}}, RuntimeError,
                        "Type 'A' in node_time must have dtype int64."),
    "list of floats": ({"colptr": {**CP, "P__c__P": [0.0, 1.0]}}, RuntimeError,
                       "Type 'P__c__P' in colptr must have dtype int64."),
    "int32": ({"row": {**ROW, "A__w__P": ROW["A__w__P"].astype(np.int32)}}, RuntimeError,
              "Type 'A__w__P' in row must have dtype int64."),
    "uint64": ({"row": {**ROW, "A__w__P": ROW["A__w__P"].astype(np.uint64)}}, RuntimeError,
               "Type 'A__w__P' in row must have dtype int64."),
    "ragged list": ({"colptr": {**CP, "A__w__P": [[0], [1, 2]]}}, ValueError, None),
    # Within a dictionary the first offending entry in its own order wins.
    "dict order": ({"colptr": {"P__c__P": FLOATS, "A__w__P": TWO_D}}, RuntimeError,
                   "Type 'P__c__P' in colptr must have dtype int64."),
    # colptr is checked whole before row, row before node_time ...
    "colptr before row": ({"colptr": {**CP, "A__w__P": FLOATS}, "row": {"x": ROW["A__w__P"]}},
                          RuntimeError, "Type 'A__w__P' in colptr must have dtype int64."),
    "row before node_time": ({"row": {**ROW, "P__c__P": TWO_D}, "node_time": {"x": FLOATS}},
                             RuntimeError, "Type 'P__c__P' in row is not 1D."),
    # ... and all three are checked before any key is required.
    "checks before lookups": ({"colptr": {}, "node_time": {"P": FLOATS}}, RuntimeError,
                              "Type 'P' in node_time must have dtype int64."),
    # Missing keys show in edge type order, colptr before row for each.
    "missing colptr key": ({"colptr": {"A__w__P": CP["A__w__P"]}}, KeyError, "P__c__P"),
    "missing keys in key order": ({"colptr": {"A__w__P": CP["A__w__P"]},
                                   "row": {"P__c__P": ROW["P__c__P"]}}, KeyError, "A__w__P"),
    "node_time None": ({"node_time": None}, TypeError, None),
    "node_time number": ({"node_time": 5}, TypeError, None),
    "colptr as pairs": ({"colptr": list(CP.items())}, TypeError, None),
    # A key whose text has a lone surrogate: the interpreter's encoding error.
    "surrogate in colptr": ({"colptr": {**CP, SURROGATE_KEY: TWO_D}}, UnicodeEncodeError, SURROGATE_ERROR),
    "surrogate in row": ({"row": {SURROGATE_KEY: FLOATS}}, UnicodeEncodeError, SURROGATE_ERROR),
    "surrogate in node_time": ({"node_time": {**NT, SURROGATE_KEY: FLOATS}}, UnicodeEncodeError,
                               SURROGATE_ERROR),
    # Type names are refused by the argument conversion (no signature matches).
    "surrogate in node_types": ({"node_types": ["P", "A\udc80"]}, TypeError, None),
    "surrogate in edge_types": ({"edge_types": [("A", "w\udc80", "P")]}, TypeError, None),
}


@pytest.mark.parametrize("changes, exception, message", FAILURES.values(), ids=FAILURES)
def test_construction_failures(changes, exception, message):
    raises_exactly(lambda: NeighborSampler(**{**timed_graph(), **changes}), exception, message)


def test_adjacency_is_looked_up_per_edge_type_colptr_first():
    lookups = []

    class Recording(dict):
        def __getitem__(self, key):
            lookups.append((self.label, key))
            return super().__getitem__(key)

    arguments = {}
    for label in ("colptr", "row", "node_time"):
        arguments[label] = Recording(GOOD[label])
        arguments[label].label = label
    NeighborSampler(GOOD["node_types"], GOOD["edge_types"], **arguments)
    assert lookups == [("colptr", "A__w__P"), ("row", "A__w__P"), ("colptr", "P__c__P"),
                       ("row", "P__c__P"), ("node_time", "P"), ("node_time", "A")]


def as_lists(table):
    return {key: value.tolist() for key, value in table.items()}


ACCEPTED = {
    "python lists": {name: as_lists(GOOD[name]) for name in ("colptr", "row", "node_time")},
    "node_time as pairs": {"node_time": list(NT.items())},
    "dict subclasses": {name: collections.OrderedDict(GOOD[name]) for name in ("colptr", "row")},
    "big-endian": {"node_time": {key: value.astype(">i8") for key, value in NT.items()}},
    "tuples for lists": {"node_types": ("P", "A"), "edge_types": tuple(GOOD["edge_types"])},
}


@pytest.mark.parametrize("changes", ACCEPTED.values(), ids=ACCEPTED)
def test_accepted_forms_sample_like_the_plain_graph(changes):
    sampler = NeighborSampler(**{**timed_graph(), **changes})
    assert plain(sampler.sample(**timed_request())) == TIMED_RESULT


def test_empty_lists_pass_whatever_numpy_makes_of_them():
    sampler = NeighborSampler(["U"], [("U", "e", "U")], {"U__e__U": []}, {"U__e__U": []}, {"U": []})
    result = sampler.sample({"U__e__U": [0]}, {}, "U", i64(0), i64(5))
    assert plain(result) == ({"U__e__U": []}, {"U__e__U": []}, {"U": [0]}, {"U": [0]},
                             {"U": [1, 0]}, {"U__e__U": [0]})


@pytest.mark.parametrize(
    "node_types, edge_types, key",
    [
        (["a__b", "a", "d"], [("a__b", "c", "d"), ("a", "b__c", "d")], "a__b__c__d"),
        (["a", "d"], [("a", "r", "d"), ("a", "r", "d")], "a__r__d"),
    ],
    ids=["colliding keys", "duplicated edge type"],
)
def test_shared_edge_type_keys_are_accepted(node_types, edge_types, key):
    sampler = NeighborSampler(node_types, edge_types, {key: i64(0, 1)}, {key: i64(0)}, {})
    result = sampler.sample({key: i64(1)}, {}, "d", i64(0), i64())
    assert [list(table) for table in result[:2]] == [[key], [key]]
    assert result[1][key].tolist() == [0] * len(edge_types)


def test_edge_type_outside_node_types_is_accepted():
    NeighborSampler(["d"], [("x", "r", "d")], {"x__r__d": i64(0, 1)}, {"x__r__d": i64(0)}, {})


def test_graph_stays_alive_after_the_caller_drops_it():
    graph = timed_graph()
    probe = weakref.ref(graph["row"]["A__w__P"])
    sampler = NeighborSampler(**graph)
    del graph
    gc.collect()
    assert probe() is not None
    assert plain(sampler.sample(**timed_request())) == TIMED_RESULT
    del sampler
    gc.collect()
    assert probe() is None


def test_values_given_as_lists_stay_alive():
    graph = timed_graph()
    sampler = NeighborSampler(**{**graph, **ACCEPTED["python lists"]})
    del graph
    gc.collect()
    # Reuse the freed memory with junk before reading the graph again.
    junk = [np.full(n % 7 + 1, -(2**40), dtype=np.int64) for n in range(10000)]
    assert plain(sampler.sample(**timed_request())) == TIMED_RESULT
    del junk


def transformed(arguments, transform):
    return {name: ({key: transform(value) for key, value in value.items()} if isinstance(value, dict)
                   else transform(value) if isinstance(value, np.ndarray) else value)
            for name, value in arguments.items()}


def several_seeds():
    return {**timed_request(), "seed_node": i64(0, 1, 2, 0), "seed_time": i64(25, 30, 12, 20)}


@pytest.mark.parametrize("layout", ["strided", "reversed", "big-endian"])
@pytest.mark.parametrize("target", ["graph", "request"])
def test_array_layout_does_not_change_results(layout, target):
    transform = SAME_VALUES[layout]
    graph, request = timed_graph(), several_seeds()
    expected = plain(NeighborSampler(**graph).sample(**request))
    assert sum(map(sum, expected[5].values())) > 4
    if target == "graph":
        graph = transformed(graph, transform)
    else:
        request = transformed(request, transform)
    assert plain(NeighborSampler(**graph).sample(**request)) == expected


def test_contiguous_arrays_are_read_in_place():
    graph = timed_graph()
    sampler = NeighborSampler(**graph)
    assert plain(sampler.sample(**timed_request())) == TIMED_RESULT
    graph["row"]["A__w__P"][1] = 2  # paper 0's second author becomes author 2
    assert sampler.sample(**timed_request())[2]["A"].tolist() == [0, 2, 1]
