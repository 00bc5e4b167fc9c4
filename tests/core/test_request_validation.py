"""Checks of a sample request: order, exception types, exact messages, no side effects."""

import numpy as np
import pytest

from helpers import (SURROGATE_ERROR, SURROGATE_KEY, NonStrKey, i64, plain, raises_exactly, random_graph,
                     random_request, timed_graph, timed_request)
from vornlib import NeighborSampler

NN = timed_request()["num_neighbors"]
TWO_D = np.zeros((2, 2), dtype=np.int64)
FLOATS = np.array([1.0, 2.0])
WINDOWS = np.array([[None, 5], [0, 10]], dtype=object)
TRIPLES = np.zeros((2, 3), dtype=np.int64)
ONLY_A = {"A__w__P": NN["A__w__P"]}
ONLY_P = {"P__c__P": NN["P__c__P"]}


def make_sampler(kind):
    graph = timed_graph()
    if kind == "partly timed":
        graph["node_time"] = {"P": graph["node_time"]["P"]}
    elif kind == "untimed":
        graph["node_time"] = []
    elif kind == "empty":
        graph = dict(node_types=[], edge_types=[], colptr={}, row={}, node_time={})
    return NeighborSampler(**graph)


def check(kind, changes, exception, message):
    sampler = make_sampler(kind)
    raises_exactly(lambda: sampler.sample(**{**timed_request(), **changes}), exception, message)


def cases(table):
    return pytest.mark.parametrize("kind, changes, exception, message", table.values(), ids=table)


@cases({
    "bad key": ("timed", {"num_neighbors": {"A_w_P": [1]}}, RuntimeError,
                "Invalid type 'A_w_P' found in num_neighbors."),
    "triple key": ("timed", {"num_neighbors": {("A", "w", "P"): [1]}}, RuntimeError,
                   "Invalid type '('A', 'w', 'P')' found in num_neighbors."),
    "key before value": ("timed", {"num_neighbors": {**NN, "x": TWO_D}}, RuntimeError,
                         "Invalid type 'x' found in num_neighbors."),
    "2-D": ("timed", {"num_neighbors": {**NN, "P__c__P": TWO_D}}, RuntimeError,
            "Type 'P__c__P' in num_neighbors is not 1D."),
    "scalar": ("timed", {"num_neighbors": {**NN, "A__w__P": 2}}, RuntimeError,
               "Type 'A__w__P' in num_neighbors is not 1D."),
    "floats": ("timed", {"num_neighbors": {**NN, "A__w__P": [1.0]}}, RuntimeError,
               "Type 'A__w__P' in num_neighbors must have dtype int64."),
    "int32": ("timed", {"num_neighbors": {**NN, "A__w__P": np.array([1], np.int32)}}, RuntimeError,
              "Type 'A__w__P' in num_neighbors must have dtype int64."),
    "dict order": ("timed", {"num_neighbors": {"P__c__P": FLOATS, "A__w__P": TWO_D}}, RuntimeError,
                   "Type 'P__c__P' in num_neighbors must have dtype int64."),
    "ragged": ("timed", {"num_neighbors": {**NN, "A__w__P": [[1], [1, 2]]}}, ValueError, None),
    "no edge types": ("empty", {"num_neighbors": {"A__w__P": [1]}}, RuntimeError,
                      "Invalid type 'A__w__P' found in num_neighbors."),
    # The key's text is encoded by the interpreter, whose error propagates.
    "lone surrogate": ("timed", {"num_neighbors": {**NN, SURROGATE_KEY: [1]}}, UnicodeEncodeError,
                       SURROGATE_ERROR),
    "str() gives a lone surrogate": ("timed", {"num_neighbors": {NonStrKey(SURROGATE_KEY): [1]}},
                                     UnicodeEncodeError, SURROGATE_ERROR),
    "str() raises": ("timed", {"num_neighbors": {NonStrKey(None): [1]}}, TypeError,
                     "__str__ returned non-string (type NoneType)"),
    "bad key before surrogate": ("timed", {"num_neighbors": {"x": [1], SURROGATE_KEY: [1]}},
                                 RuntimeError, "Invalid type 'x' found in num_neighbors."),
})
def test_1_num_neighbors(kind, changes, exception, message):
    check(kind, changes, exception, message)


@cases({
    "bad key": ("timed", {"sampling_time_offsets": {"A_w_P": WINDOWS}}, RuntimeError,
                "Invalid type 'A_w_P' found in sampling_time_offsets."),
    "1-D": ("timed", {"num_neighbors": ONLY_A, "sampling_time_offsets": {"P__c__P": [1, 2]}},
            RuntimeError, "Type 'P__c__P' in sampling_time_offsets is not 2D."),
    "3-D": ("timed", {"sampling_time_offsets": {"P__c__P": np.zeros((1, 1, 2))}}, RuntimeError,
            "Type 'P__c__P' in sampling_time_offsets is not 2D."),
    "lone surrogate": ("timed", {"num_neighbors": ONLY_A, "sampling_time_offsets": {SURROGATE_KEY: WINDOWS}},
                       UnicodeEncodeError, SURROGATE_ERROR),
})
def test_2_sampling_time_offsets(kind, changes, exception, message):
    check(kind, changes, exception, message)


@cases({
    "seed_node 2-D": ("timed", {"seed_node": TWO_D}, RuntimeError, "seed_node is not 1D."),
    "seed_node float": ("timed", {"seed_node": np.array([0.0])}, RuntimeError,
                        "seed_node must have dtype int64."),
    "seed_node uint64": ("timed", {"seed_node": np.array([0], np.uint64)}, RuntimeError,
                         "seed_node must have dtype int64."),
    "seed_time 2-D": ("timed", {"seed_time": TWO_D}, RuntimeError, "seed_time is not 1D."),
    "seed_time int32": ("timed", {"seed_time": np.array([25], np.int32)}, RuntimeError,
                        "seed_time must have dtype int64."),
})
def test_3_and_4_seed_arrays(kind, changes, exception, message):
    check(kind, changes, exception, message)


@cases({
    "unknown": ("timed", {"entity_table": "Q"}, RuntimeError, "Invalid entity table 'Q'."),
    "case differs": ("timed", {"entity_table": "p"}, RuntimeError, "Invalid entity table 'p'."),
    "no node types": ("empty", {"num_neighbors": {}}, RuntimeError, "Invalid entity table 'P'."),
    # Refused by the argument conversion: the call matches no signature.
    "lone surrogate": ("timed", {"entity_table": "P\udc80"}, TypeError, None),
})
def test_5_entity_table(kind, changes, exception, message):
    check(kind, changes, exception, message)


@pytest.mark.parametrize(
    "kind, seeds, times, compared",
    [("timed", [0], [25, 26], True), ("timed", [0, 1, 2, 0], [25, 26, 27], True),
     ("timed", [0, 1, 2], [], False), ("untimed", [0], [25, 26], False),
     ("untimed", [0, 1, 2, 0], [25, 26, 27], False)],
)
def test_6_seed_times_compared_only_with_timestamps_and_seed_times(kind, seeds, times, compared):
    sampler = make_sampler(kind)
    request = {**timed_request(), "seed_node": i64(*seeds), "seed_time": i64(*times)}
    if compared:
        raises_exactly(lambda: sampler.sample(**request), RuntimeError,
                       "'seed_node' and 'seed_time' size mismatch.")
    else:
        assert plain(sampler.sample(**request))[4]["P"][0] == len(seeds)


@cases({
    "in both": ("timed", {"sampling_time_offsets": {"A__w__P": WINDOWS}}, RuntimeError,
                "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
                "'A__w__P' appears in both."),
    "in neither": ("timed", {"num_neighbors": ONLY_A}, KeyError, "P__c__P"),
    "source untimed": ("partly timed", {"num_neighbors": ONLY_P,
                                        "sampling_time_offsets": {"A__w__P": TRIPLES}}, RuntimeError,
                       "'sampling_time_offsets' contains 'A__w__P' but A is not included in 'node_time'."),
    "no timestamps": ("untimed", {"num_neighbors": ONLY_A, "sampling_time_offsets": {"P__c__P": WINDOWS}},
                      RuntimeError,
                      "'sampling_time_offsets' contains 'P__c__P' but P is not included in 'node_time'."),
    "not pairs": ("timed", {"num_neighbors": ONLY_A, "sampling_time_offsets": {"P__c__P": TRIPLES}},
                  RuntimeError, "'sampling_time_offsets' at 'P__c__P' does not have shape (N, 2)."),
    "stored order": ("timed", {"num_neighbors": {}, "sampling_time_offsets": {"P__c__P": TRIPLES,
                                                                                "A__w__P": TRIPLES}},
                     RuntimeError, "'sampling_time_offsets' at 'A__w__P' does not have shape (N, 2)."),
    "first entry wins": ("timed", {"num_neighbors": ONLY_P, "sampling_time_offsets": {"P__c__P": WINDOWS}},
                         KeyError, "A__w__P"),
})
def test_7_edge_type_modes(kind, changes, exception, message):
    check(kind, changes, exception, message)


@cases({
    "num_neighbors key before entity table": (
        "timed", {"num_neighbors": {"x": [1]}, "entity_table": "Q"}, RuntimeError,
        "Invalid type 'x' found in num_neighbors."),
    "offsets before seed_node": (
        "timed", {"sampling_time_offsets": {"x": WINDOWS}, "seed_node": TWO_D}, RuntimeError,
        "Invalid type 'x' found in sampling_time_offsets."),
    "seed_node before seed_time": (
        "timed", {"seed_node": TWO_D, "seed_time": TWO_D}, RuntimeError, "seed_node is not 1D."),
    "seed_time before entity table": (
        "timed", {"seed_time": FLOATS, "entity_table": "Q"}, RuntimeError,
        "seed_time must have dtype int64."),
    "entity table before size mismatch": (
        "timed", {"entity_table": "Q", "seed_time": i64(1, 2)}, RuntimeError,
        "Invalid entity table 'Q'."),
    "size mismatch before modes": (
        "timed", {"seed_time": i64(1, 2), "num_neighbors": {}}, RuntimeError,
        "'seed_node' and 'seed_time' size mismatch."),
})
def test_earliest_failing_check_is_reported(kind, changes, exception, message):
    check(kind, changes, exception, message)


ACCEPTED = {
    "counts as lists": {"num_neighbors": {"A__w__P": [2, 2], "P__c__P": []}},
    "windows with None": {"num_neighbors": ONLY_A, "sampling_time_offsets": {"P__c__P": WINDOWS}},
    "no seeds, float dtype": {"seed_node": np.array([]), "seed_time": np.array([])},
    "bytes entity table": {"entity_table": b"P"},
    "bytearray entity table": {"entity_table": bytearray(b"P")},
    "big-endian seeds": {"seed_node": np.array([0], ">i8"), "seed_time": np.array([25], ">i8")},
}


@pytest.mark.parametrize("changes", ACCEPTED.values(), ids=ACCEPTED)
def test_valid_request_forms_pass(timed_sampler, changes):
    result = timed_sampler.sample(**{**timed_request(), **changes})
    assert list(result[2]) == ["P", "A"]


REJECTED = {
    "check 1": {"num_neighbors": {"x": [1]}},
    "unencodable key": {"num_neighbors": {SURROGATE_KEY: [1]}},
    "unencodable entity table": {"entity_table": "\udc80"},
    "check 5": {"entity_table": "V"},
    "both modes": {"sampling_time_offsets": {"U__f__U": WINDOWS}},
    "no mode": {"num_neighbors": {}},
}


@pytest.mark.parametrize("changes", REJECTED.values(), ids=REJECTED)
def test_rejected_call_draws_nothing_and_leaves_sampler_usable(changes):
    good = random_request(3, [0] * 4)
    fresh = NeighborSampler(**random_graph(10))
    expected = [plain(fresh.sample(**good)) for _ in range(2)]
    assert expected[0] != expected[1]  # the calls draw from the generator
    sampler = NeighborSampler(**random_graph(10))
    with pytest.raises((RuntimeError, KeyError, UnicodeEncodeError, TypeError)):
        sampler.sample(**{**good, **changes})
    assert [plain(sampler.sample(**good)) for _ in range(2)] == expected
