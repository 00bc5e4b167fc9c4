"""Random and malformed graphs and requests against the public API.

Every call must either return a well-formed result that matches the graph or
raise a Python exception with one of the module's clear messages, and the
sampler must give the same answers afterwards as a fresh one.

The cases are derandomised (the same on every run). VORNLIB_FUZZ_EXAMPLES
sets the number of cases per test for a longer run, and VORNLIB_FUZZ_RANDOM=1
draws new cases each run instead.
"""

import re

from hypothesis import event, given
from hypothesis import strategies as st

import vornlib
from helpers import check_result, examples, graphs, i64, plain, requests

FUZZ = examples(200)

# Every message a failing call may carry: the module's own checks, the
# int64 cast of a window offset, a missing hop row, and the key of a KeyError.
CLEAR_MESSAGES = {
    RuntimeError: [
        r"Invalid type '.*' found in (colptr|row|node_time|num_neighbors|sampling_time_offsets)\.",
        r"Type '.*' in \w+ (is not [12]D|must have dtype int64)\.",
        r"seed_(node|time) (is not 1D|must have dtype int64)\.",
        r"Invalid entity table '.*'\.",
        r"'seed_node' and 'seed_time' size mismatch\.",
        r"'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type\. '.+' appears in both\.",
        r"'sampling_time_offsets' contains '.+' but \w+ is not included in 'node_time'\.",
        r"'sampling_time_offsets' at '.+' does not have shape \(N, 2\)\.",
        r"Found invalid non-sorted temporal neighborhood",
        r"Node index -?\d+ is out of range for 'colptr' of '.+' \(\d+ entries\)\.",
        r"Edge position -?\d+ \(colptr range \[-?\d+, -?\d+\) of node \d+\) is out of range for 'row' of '.+' "
        r"\(\d+ entries\)\.",
        r"Node index -?\d+ at position \d+ of 'row' of '.+' is out of range for 'node_time' of '.+' "
        r"\(\d+ entries\)\.",
        r"Seed node index -?\d+ at position \d+ is out of range for 'node_time' of '.+' \(\d+ entries\)\.",
        r"Edge type '.+' has source type '.+', which is not included in 'node_types'\.",
        r"Unable to cast Python instance of type <class '[\w.]+'> to C\+\+ type '\?' \(#define "
        r"PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details\)",
    ],
    IndexError: [r"unordered_map::at", r"index \d+ is out of bounds for axis 0 with size \d+",
                 r"list index out of range"],
    TypeError: [r"(__init__|sample)\(\): incompatible function arguments\..*"],
}


def assert_clear_failure(exc, edge_keys):
    if isinstance(exc, KeyError):
        assert exc.args[0] in edge_keys, f"KeyError for {exc.args[0]!r}, not an edge type key"
        return
    patterns = CLEAR_MESSAGES.get(type(exc))
    assert patterns is not None, f"unexpected {type(exc).__name__}: {exc}"
    message = str(exc)
    assert any(re.fullmatch(p, message, re.S) for p in patterns), f"unclear {type(exc).__name__}: {message}"


def outcome(call, edge_keys, stage):
    """The result of call, or its exception after checking that it is clear.
    The kind of outcome is reported to --hypothesis-show-statistics."""
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - every type is checked
        assert_clear_failure(exc, edge_keys)
        event(f"{stage}: {type(exc).__name__} {re.sub(r'[0-9]+', 'N', str(exc))[:50]}")
        return exc
    event(f"{stage}: returned")
    return result


def comparable(value):
    return (type(value), str(value)) if isinstance(value, Exception) else plain(value)


# ---- the tests -----------------------------------------------------------------


@FUZZ
@given(st.data())
def test_hostile_graphs_and_requests_fail_cleanly(data):
    graph = data.draw(graphs(hostile=True))
    keys = graph.keys
    sampler = outcome(lambda: vornlib.NeighborSampler(**graph.args), keys, "construction")
    if isinstance(sampler, Exception):
        return
    # A call that draws nothing, replayed after the hostile ones, must give
    # what it gives on a sampler that never saw them.
    probe = data.draw(requests(graph, hostile=False, deterministic=True))
    fresh = comparable(outcome(lambda: vornlib.NeighborSampler(**graph.args).sample(**probe), keys, "probe"))
    for _ in range(data.draw(st.integers(1, 3))):
        call = data.draw(requests(graph, hostile=True))
        result = outcome(lambda: sampler.sample(**call), keys, "hostile call")
        if not isinstance(result, Exception):
            check_result(result, graph, call)
    assert comparable(outcome(lambda: sampler.sample(**probe), keys, "probe again")) == fresh


@FUZZ
@given(st.data())
def test_layouts_and_containers_do_not_change_results(data):
    # Valid graphs and requests: any mix of byte orders, strides, read-only
    # views, subclasses, lists and dict subclasses samples exactly like plain
    # contiguous arrays, random draws included.
    graph = data.draw(graphs(hostile=False))
    encoded, contiguous = vornlib.NeighborSampler(**graph.args), vornlib.NeighborSampler(**graph.plain_args())
    for _ in range(2):
        call = data.draw(requests(graph, hostile=False))
        plain_call = dict(call, num_neighbors={k: i64(*v) for k, v in call["num_neighbors"].items()},
                          seed_node=i64(*call["seed_node"]), seed_time=i64(*call["seed_time"]))
        expected = outcome(lambda: contiguous.sample(**plain_call), graph.keys, "plain")
        got = outcome(lambda: encoded.sample(**call), graph.keys, "encoded")
        assert comparable(got) == comparable(expected)
        if not isinstance(got, Exception):
            check_result(got, graph, plain_call)
