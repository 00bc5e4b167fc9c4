"""Small graphs and helpers shared by the pytest suites."""

import numpy as np
import pytest

import vornlib


# ASan keeps freed memory in quarantine and reserves terabytes of address
# space, so resident sizes and address-space limits mean nothing there.
UNDER_ASAN = any("libasan" in line for line in open("/proc/self/maps"))

# A key with a lone surrogate is a str, but UTF-8 cannot encode it; the
# interpreter's encoder raises this.
SURROGATE_KEY = "\udc80x__r__y"
SURROGATE_ERROR = "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"


def i64(*values):
    return np.array(values, dtype=np.int64)


def plain(result):
    """A sample result as nested lists, so two results compare with ==."""
    assert isinstance(result, tuple) and len(result) == 6
    return [{key: array.tolist() for key, array in table.items()} for table in result]


# Papers cite papers and are written by authors; every edge type has timestamps,
# so sampling it draws nothing from the generator.
def timed_graph():
    return dict(
        node_types=["P", "A"],
        edge_types=[("A", "w", "P"), ("P", "c", "P")],
        colptr={"A__w__P": i64(0, 2, 3, 4), "P__c__P": i64(0, 2, 3, 3)},
        row={"A__w__P": i64(0, 1, 1, 2), "P__c__P": i64(1, 2, 2)},
        node_time={"P": i64(10, 20, 30), "A": i64(5, 15, 25)},
    )


def timed_request():
    return dict(
        num_neighbors={"A__w__P": i64(2, 2), "P__c__P": i64(1, 1)},
        sampling_time_offsets={},
        entity_table="P",
        seed_node=i64(0),
        seed_time=i64(25),
    )


TIMED_RESULT = [
    {"A__w__P": [0, 1, 1], "P__c__P": [1]},
    {"A__w__P": [0, 0, 1], "P__c__P": [0]},
    {"P": [0, 1], "A": [0, 1]},
    {"P": [0, 0], "A": [0, 0]},
    {"P": [1, 1, 0], "A": [0, 2, 0]},
    {"A__w__P": [2, 1], "P__c__P": [1, 0]},
]


# One node with `fanout` incoming edges from nodes 1..fanout and no timestamps:
# a count below the fanout makes the sampler draw from its generator.
def random_graph(fanout=5, **extra):
    return dict(
        node_types=["U"],
        edge_types=[("U", "f", "U")],
        colptr={"U__f__U": i64(0, *[fanout] * (fanout + 1))},
        row={"U__f__U": np.arange(1, fanout + 1, dtype=np.int64)},
        node_time={},
        **extra,
    )


def random_request(k=2, seeds=(0,)):
    return dict(
        num_neighbors={"U__f__U": i64(k)},
        sampling_time_offsets={},
        entity_table="U",
        seed_node=i64(*seeds),
        seed_time=i64(),
    )


@pytest.fixture
def timed_sampler():
    return vornlib.NeighborSampler(**timed_graph())


def raises_exactly(call, exception, message=None):
    """Runs call, expecting exception; message (if given) must be its whole text
    (for a KeyError: the missing key)."""
    with pytest.raises(exception) as caught:
        call()
    if message is not None:
        text = caught.value.args[0] if exception is KeyError else str(caught.value)
        assert text == message
