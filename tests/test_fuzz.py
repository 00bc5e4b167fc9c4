"""Random and malformed graphs and requests against the public API.

Every call must either return a well-formed result that matches the graph or
raise a Python exception with one of the module's clear messages, and the
sampler must give the same answers afterwards as a fresh one.

The cases are derandomised (the same on every run). VORNLIB_FUZZ_EXAMPLES
sets the number of cases per test for a longer run, and VORNLIB_FUZZ_RANDOM=1
draws new cases each run instead.
"""

import os
import re
from dataclasses import dataclass, field

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vornlib

FUZZ = settings(
    max_examples=int(os.environ.get("VORNLIB_FUZZ_EXAMPLES", "200")),
    derandomize=not os.environ.get("VORNLIB_FUZZ_RANDOM"),
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
    print_blob=True,
)

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
EXTREMES = [INT64_MIN, INT64_MIN + 1, -(2**31), 2**31, 2**62, INT64_MAX - 1, INT64_MAX]

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
    if isinstance(value, Exception):
        return (type(value), str(value))
    return [{key: array.tolist() for key, array in table.items()} for table in value]


# ---- array and dict encodings --------------------------------------------------


class Subclass(np.ndarray):
    pass


class NonStrKey:
    """Looks like a key through str() but is not equal to it."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class PassThroughDict(dict):
    def __getitem__(self, key):
        return super().__getitem__(key)


def native(values):
    return np.array(values, dtype=np.int64)


# Layouts that hold the same int64 values; the sampler must read them alike.
SAME_VALUES = {
    "native": native,
    "big-endian": lambda v: native(v).astype(">i8"),
    "strided": lambda v: np.repeat(native(v), 2)[::2],
    "reversed": lambda v: native(v[::-1])[::-1],
    "read-only": lambda v: np.lib.stride_tricks.as_strided(native(v), writeable=False),
    "subclass": lambda v: native(v).view(Subclass),
    "list": list,
}
# Encodings that a check refuses (unless empty, for the dtype ones).
REFUSED = {
    "int32": lambda v: native(v).astype(np.int32),
    "uint64": lambda v: native(v).astype(np.uint64),
    "float": lambda v: native(v).astype(np.float64),
    "object": lambda v: np.array(v, dtype=object),
    "2-D": lambda v: native(v).reshape(1, -1),
    "scalar": lambda v: np.int64(v[0] if v else 0),
}


def chance(one_in):
    """True about once in one_in draws. Hypothesis favours the ends of a
    range, so the rare value is taken from its middle."""
    return st.integers(0, 2 * one_in - 1).map(lambda pick: pick == one_in)


def encodings(hostile, allow_list=True):
    """A function encoding a list of ints; when hostile, now and then one
    that a check refuses."""
    names = [n for n in SAME_VALUES if allow_list or n != "list"]
    same = st.sampled_from(names).map(SAME_VALUES.get)
    refused = st.sampled_from(list(REFUSED.values()))
    return chance(32).flatmap(lambda rare: refused if hostile and rare else same)


def rarely(hostile, usual, unusual, one_in=8):
    """usual, or when hostile about once in one_in draws one of the unusual values."""
    return chance(one_in).flatmap(lambda rare: st.sampled_from(unusual) if hostile and rare else usual)


def wild_ints(low, high):
    """Mostly plausible values, sometimes ones near the int64 limits."""
    return chance(5).flatmap(lambda rare: st.sampled_from(EXTREMES) if rare else st.integers(low, high))


@st.composite
def corrupted(draw, values, low, high):
    values = list(values)
    for _ in range(draw(rarely(True, st.just(0), [1, 2]))):
        if values and draw(st.booleans()):
            values[draw(st.integers(0, len(values) - 1))] = draw(wild_ints(low, high))
        elif draw(st.booleans()):
            values.append(draw(wild_ints(low, high)))
        elif values:
            values.pop()
    return values


@st.composite
def keyed(draw, entries, hostile):
    """A dict of entries, sometimes a subclass, with hostile keys sometimes."""
    table = draw(st.sampled_from([dict, PassThroughDict]))()
    for key, value in entries.items():
        flaw = draw(rarely(hostile, st.none(), ["missing", "non-str", "tuple", "extra"], one_in=24))
        if flaw == "missing":
            continue
        if flaw == "non-str":
            key = NonStrKey(key)
        elif flaw == "tuple":
            key = tuple(key.split("__"))
        elif flaw == "extra":
            table["X__y__Z"] = value
        table[key] = value
    return table


# ---- graphs and requests -------------------------------------------------------


@dataclass
class Graph:
    node_types: list
    edge_types: list
    sizes: dict  # node type -> node count
    colptr: dict  # edge type key -> list of int
    row: dict
    node_time: dict  # node type -> list of int
    seed: int
    args: dict = field(default_factory=dict)  # the arguments as encoded

    @property
    def keys(self):
        return list(dict.fromkeys("__".join(edge_type) for edge_type in self.edge_types))


@st.composite
def graphs(draw, hostile):
    type_name = rarely(hostile, st.sampled_from(["A", "B"]), ["Z"], one_in=16)
    orders = [["A", "B"], ["B", "A"]]
    odd_lists = [["A"], ["B"], ["A", "B", "A"], ["B", "B"], ["A", "Z"]]
    node_types = draw(rarely(hostile, st.sampled_from(orders), odd_lists) if hostile
                      else st.sampled_from(orders + [["A"], ["B"]]))
    edge_types = draw(st.lists(st.tuples(type_name, st.sampled_from(["r", "s"]), type_name), min_size=1,
                               max_size=3))
    if not hostile:
        edge_types = [e for e in edge_types if e[0] in node_types and e[2] in node_types]
    sizes = {t: draw(rarely(hostile, st.integers(1, 5), [0])) for t in ["A", "B", "Z"]}

    colptr, row = {}, {}
    for source, relation, destination in edge_types:
        key = f"{source}__{relation}__{destination}"
        if key in colptr:
            continue
        fanout = rarely(True, st.integers(1, 3), [0]) if sizes[source] else st.just(0)
        fanouts = draw(st.lists(fanout, min_size=sizes[destination], max_size=sizes[destination]))
        colptr[key] = np.cumsum([0, *fanouts]).tolist()
        # Each neighbourhood sorted by node, and times rise with the node index.
        row[key] = [v for count in fanouts
                    for v in sorted(draw(st.lists(st.integers(0, max(sizes[source] - 1, 0)), min_size=count,
                                                  max_size=count)))]
        if hostile:
            colptr[key] = draw(corrupted(colptr[key], -2, 12))
            row[key] = draw(corrupted(row[key], -2, 7))
            if draw(chance(8)):
                row[key].reverse()  # neighbourhoods out of time order
    timed = [t for t in dict.fromkeys(node_types) if draw(st.integers(0, 3)) > 0]
    node_time = {}
    for node_type in timed:
        node_time[node_type] = sorted(draw(st.lists(st.integers(-50, 50), min_size=sizes[node_type],
                                                    max_size=sizes[node_type])))
        if hostile:
            node_time[node_type] = draw(corrupted(node_time[node_type], -60, 60))

    graph = Graph(node_types, edge_types, sizes, colptr, row, node_time, draw(st.integers(-(2**31), 2**31 - 1)))
    encode = encodings(hostile)
    graph.args = dict(
        node_types=node_types, edge_types=edge_types,
        colptr=draw(keyed({k: draw(encode)(v) for k, v in colptr.items()}, hostile)),
        row=draw(keyed({k: draw(encode)(v) for k, v in row.items()}, hostile)),
        node_time=draw(keyed({k: draw(encode)(v) for k, v in node_time.items()}, hostile)),
        seed=graph.seed,
    )
    if draw(st.booleans()):
        graph.args["node_time"] = list(graph.args["node_time"].items())
    return graph


@st.composite
def windows(draw, hostile):
    hops = draw(rarely(hostile, st.integers(1, 3), [0]))
    offset = wild_ints(-60, 60) if hostile else st.integers(-60, 60)
    # Offsets the int64 cast refuses: beyond the int64 range, floats, None.
    offset = rarely(hostile, offset, [2**63, -(2**63) - 1, 1.5, np.float64(2.0), None], one_in=16)
    rows = [[draw(st.one_of(st.none(), offset)), draw(offset)] for _ in range(hops)]
    form = draw(rarely(hostile, st.sampled_from(["object", "list", "int64"]), ["3 columns"]))
    if form == "list":
        return rows
    if form == "int64" and all(isinstance(x, int) and INT64_MIN <= x <= INT64_MAX for r in rows for x in r):
        return np.array(rows, dtype=np.int64).reshape(hops, 2)
    if form == "3 columns":
        return np.array([r + [0] for r in rows], dtype=object).reshape(hops, 3)
    return np.array(rows, dtype=object).reshape(hops, 2)


@st.composite
def requests(draw, graph, hostile, deterministic=False):
    """Arguments of one sample call. With deterministic, counts are -1 (take
    all), so the call draws nothing and its outcome ignores the generator."""
    types = list(dict.fromkeys(graph.node_types))
    entity = draw(rarely(hostile, st.sampled_from(types), ["Z", b"A", b"B"]))
    entity_size = graph.sizes[entity.decode() if isinstance(entity, bytes) else entity]
    count = draw(rarely(hostile, st.integers(1, 4), [0]))
    seed = rarely(hostile, st.integers(0, max(entity_size - 1, 0)), [-1, entity_size, *EXTREMES])
    seeds = draw(st.lists(seed, min_size=count, max_size=count))
    times = draw(rarely(hostile, st.sampled_from(["none", "same"]), ["other"]))
    time_values = wild_ints(-60, 60) if hostile else st.integers(-60, 60)
    length = {"none": 0, "same": len(seeds), "other": len(seeds) + 1}[times]
    seed_time = draw(st.lists(time_values, min_size=length, max_size=length))

    counts, window = {}, {}
    timed_sources = set(graph.node_time)
    for edge_type in graph.edge_types:
        key = "__".join(edge_type)
        if key in counts or key in window:
            continue
        modes = ["count", "window"] if edge_type[0] in timed_sources else ["count"]
        mode = draw(rarely(hostile, st.sampled_from(modes), ["window", "both", "neither"]))
        if mode in ("count", "both"):
            hop_count = rarely(True, st.integers(1, 4), [0, -1, -2] + (EXTREMES if hostile else []), one_in=4)
            values = draw(st.lists(hop_count, min_size=1, max_size=3))
            counts[key] = [-1 if v else 0 for v in values] if deterministic else values
        if mode in ("window", "both"):
            window[key] = draw(windows(hostile))
    if not hostile:
        # A window-mode hop list must cover every hop that some edge type runs.
        hops = max([len(v) for v in counts.values()] + [len(v) for v in window.values()] + [0])
        window = {k: (v if len(v) >= hops else np.array([[None, 0]] * hops, dtype=object).reshape(hops, 2))
                  for k, v in window.items()}

    encode = encodings(hostile)
    return dict(
        num_neighbors=draw(keyed({k: draw(encode)(v) for k, v in counts.items()}, hostile)),
        sampling_time_offsets=draw(keyed(window, hostile)),
        entity_table=entity,
        seed_node=draw(encodings(hostile, allow_list=False))(seeds),
        seed_time=draw(encodings(hostile, allow_list=False))(seed_time),
    )


# ---- result checks -------------------------------------------------------------


def assert_well_formed(result, graph, call):
    """The result's shape, and every sampled edge is an edge of the graph."""
    assert isinstance(result, tuple) and len(result) == 6
    rows, cols, nodes, batches, node_counts, edge_counts = result
    node_types = list(dict.fromkeys(graph.node_types))
    for table in (nodes, batches, node_counts):
        assert list(table) == node_types
    for table in (rows, cols, edge_counts):
        assert list(table) == graph.keys
    for table in result:
        for array in table.values():
            assert array.dtype == np.int64 and array.ndim == 1

    seeds = np.asarray(call["seed_node"]).astype(np.int64).tolist()
    entity = call["entity_table"]
    entity = entity.decode() if isinstance(entity, bytes) else entity
    assert nodes[entity][: len(seeds)].tolist() == seeds
    assert batches[entity][: len(seeds)].tolist() == list(range(len(seeds)))
    for node_type in node_types:
        assert len(nodes[node_type]) == len(batches[node_type]) == node_counts[node_type].sum()
        assert all(0 <= b < len(seeds) for b in batches[node_type].tolist())

    for source, relation, destination in graph.edge_types:
        key = f"{source}__{relation}__{destination}"
        assert len(rows[key]) == len(cols[key]) == edge_counts[key].sum()
        colptr, row = graph.colptr[key], graph.row[key]
        for r, c in zip(rows[key].tolist(), cols[key].tolist()):
            v = int(nodes[destination][c])
            assert batches[source][r] == batches[destination][c]
            assert nodes[source][r] in row[colptr[v]:colptr[v + 1]]


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
            assert_well_formed(result, graph, call)
    assert comparable(outcome(lambda: sampler.sample(**probe), keys, "probe again")) == fresh


@FUZZ
@given(st.data())
def test_layouts_and_containers_do_not_change_results(data):
    # Valid graphs and requests: any mix of byte orders, strides, read-only
    # views, subclasses, lists and dict subclasses samples exactly like plain
    # contiguous arrays, random draws included.
    graph = data.draw(graphs(hostile=False))
    plain_graph = dict(node_types=graph.node_types, edge_types=graph.edge_types,
                       colptr={k: native(v) for k, v in graph.colptr.items()},
                       row={k: native(v) for k, v in graph.row.items()},
                       node_time={k: native(v) for k, v in graph.node_time.items()}, seed=graph.seed)
    encoded, plain = vornlib.NeighborSampler(**graph.args), vornlib.NeighborSampler(**plain_graph)
    for _ in range(2):
        call = data.draw(requests(graph, hostile=False))
        plain_call = dict(call, num_neighbors={k: native(np.asarray(v, dtype=np.int64).tolist())
                                               for k, v in call["num_neighbors"].items()},
                          seed_node=native(np.asarray(call["seed_node"]).tolist()),
                          seed_time=native(np.asarray(call["seed_time"]).tolist()))
        expected = outcome(lambda: plain.sample(**plain_call), graph.keys, "plain")
        got = outcome(lambda: encoded.sample(**call), graph.keys, "encoded")
        assert comparable(got) == comparable(expected)
        if not isinstance(got, Exception):
            assert_well_formed(got, graph, plain_call)


@FUZZ
@given(times=st.lists(wild_ints(-60, 60), min_size=1, max_size=6).map(sorted),
       seed_time=wild_ints(-60, 60), start=st.one_of(st.none(), wild_ints(-60, 60)), end=wild_ints(-60, 60),
       k=wild_ints(-2, 7), window_mode=st.booleans())
def test_offsets_and_counts_near_the_int64_limits_select_exactly(times, seed_time, start, end, k, window_mode):
    # Node 0 is followed by nodes 1..n in time order; seed time plus offset
    # is compared exactly, as Python integers compare, never wrapping.
    n = len(times)
    sampler = vornlib.NeighborSampler(["U"], [("U", "f", "U")], {"U__f__U": native([0, n] + [n] * n)},
                                      {"U__f__U": native(range(1, n + 1))}, {"U": native([seed_time] + times)})
    if window_mode:
        call = ({}, {"U__f__U": np.array([[start, end]], dtype=object)})
        expected = [v for v, t in enumerate(times, 1)
                    if (start is None or t > seed_time + start) and t <= seed_time + end]
    else:
        call = ({"U__f__U": native([k])}, {})
        eligible = [v for v, t in enumerate(times, 1) if t <= seed_time]
        expected = eligible[-k:] if k > 0 else (eligible if k < 0 else [])
    result = sampler.sample(*call, "U", native([0]), native([seed_time]))
    assert result[2]["U"].tolist() == [0] + expected

