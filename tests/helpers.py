"""What the pytest suites share: small hand-made graphs, one family of random
graphs and requests, and one check of what a successful call returns.

The random family serves two purposes. Valid graphs and requests (the
default) are compared with the reference model and with plainly encoded
copies; hostile ones (hostile=True) add corrupted arrays, refused encodings,
odd keys and foreign types, so that a call may fail, but only clearly.
"""

import os
import queue
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from reference_model import edge_key

from vornlib_tools._batch import SampleResult

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
EXTREMES = [INT64_MIN, INT64_MIN + 1, -(2**31), 2**31, 2**62, INT64_MAX - 1, INT64_MAX]

# ASan keeps freed memory in quarantine and reserves terabytes of address
# space, so resident sizes and address-space limits mean nothing there.
with open("/proc/self/maps") as _maps:
    UNDER_ASAN = any("libasan" in line for line in _maps)

# A key with a lone surrogate is a str, but UTF-8 cannot encode it; the
# interpreter's encoder raises this.
SURROGATE_KEY = "\udc80x__r__y"
SURROGATE_ERROR = "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"


def i64(*values):
    return np.array(values, dtype=np.int64)


def plain(result):
    """A sample result (or the reference model's) as a tuple of dicts of
    lists, so two results compare with ==."""
    assert isinstance(result, tuple) and len(result) == 6
    return tuple({key: np.asarray(values).tolist() for key, values in table.items()} for table in result)


def raises_exactly(call, exception, message=None):
    """Runs call, expecting exception; message (if given) must be its whole text
    (for a KeyError: the missing key)."""
    with pytest.raises(exception) as caught:
        call()
    if message is not None:
        text = caught.value.args[0] if exception is KeyError else str(caught.value)
        assert text == message


def examples(default, fixed=False):
    """Hypothesis settings: the same `default` cases on every run. Unless
    fixed, VORNLIB_FUZZ_EXAMPLES sets the number for a longer (or shorter)
    run, and VORNLIB_FUZZ_RANDOM=1 draws new cases each run instead."""
    return settings(
        max_examples=default if fixed else int(os.environ.get("VORNLIB_FUZZ_EXAMPLES", default)),
        derandomize=fixed or not os.environ.get("VORNLIB_FUZZ_RANDOM"),
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                               HealthCheck.large_base_example],
        print_blob=True,
    )


# ---- small hand-made graphs ------------------------------------------------------

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


TIMED_RESULT = (
    {"A__w__P": [0, 1, 1], "P__c__P": [1]},
    {"A__w__P": [0, 0, 1], "P__c__P": [0]},
    {"P": [0, 1], "A": [0, 1]},
    {"P": [0, 0], "A": [0, 0]},
    {"P": [1, 1, 0], "A": [0, 2, 0]},
    {"A__w__P": [2, 1], "P__c__P": [1, 0]},
)


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


# ---- array and dict encodings ----------------------------------------------------


class Subclass(np.ndarray):
    pass


def strided(values):
    """The values at every other place of an array whose gaps hold -1."""
    spread = np.full(2 * len(values), -1, dtype=np.int64)
    spread[::2] = values
    return spread[::2]


class NonStrKey:
    """Looks like a key through str() but is not equal to it."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class PassThroughDict(dict):
    def __getitem__(self, key):
        return super().__getitem__(key)


# Layouts that hold the same int64 values; the sampler must read them alike.
SAME_VALUES = {
    "native": lambda v: np.array(v, dtype=np.int64),
    "big-endian": lambda v: np.array(v, dtype=">i8"),
    "strided": strided,
    "reversed": lambda v: np.array(v[::-1], dtype=np.int64)[::-1],
    "read-only": lambda v: np.lib.stride_tricks.as_strided(np.array(v, dtype=np.int64), writeable=False),
    "subclass": lambda v: np.array(v, dtype=np.int64).view(Subclass),
    "list": list,
}

def _every_other_row(rows):
    spread = np.full((2 * len(rows), 2), -1, dtype=np.int64)
    spread[::2] = rows
    return spread[::2]


# The same for (N, 2) int64 window offsets: the sampler reads plain ones from
# their buffer and every other layout by item access, with equal results.
WINDOW_LAYOUTS = {
    "native": lambda rows: np.array(rows, dtype=np.int64).reshape(-1, 2),
    "big-endian": lambda rows: np.array(rows, dtype=">i8").reshape(-1, 2),
    "strided": lambda rows: _every_other_row(np.array(rows, dtype=np.int64).reshape(-1, 2)),
    "reversed": lambda rows: np.array(rows[::-1], dtype=np.int64).reshape(-1, 2)[::-1],
    "column-major": lambda rows: np.asfortranarray(np.array(rows, dtype=np.int64).reshape(-1, 2)),
    "read-only": lambda rows: np.lib.stride_tricks.as_strided(np.array(rows, dtype=np.int64).reshape(-1, 2),
                                                              writeable=False),
    "subclass": lambda rows: np.array(rows, dtype=np.int64).reshape(-1, 2).view(Subclass),
}
# Encodings that a check refuses (unless empty, for the dtype ones).
REFUSED = {
    "int32": lambda v: np.array(v, dtype=np.int64).astype(np.int32),
    "uint64": lambda v: np.array(v, dtype=np.int64).astype(np.uint64),
    "float": lambda v: np.array(v, dtype=np.int64).astype(np.float64),
    "object": lambda v: np.array(v, dtype=object),
    "2-D": lambda v: np.array(v, dtype=np.int64).reshape(1, -1),
    "scalar": lambda v: np.int64(v[0] if v else 0),
}


def chance(one_in):
    """True about once in one_in draws. Hypothesis favours the ends of a
    range, so the rare value is taken from its middle."""
    return st.integers(0, 2 * one_in - 1).map(lambda pick: pick == one_in)


def rarely(hostile, usual, unusual, one_in=8):
    """usual, or when hostile about once in one_in draws one of the unusual values."""
    return now_and_then(usual, st.sampled_from(unusual), one_in) if hostile else usual


@st.composite
def now_and_then(draw, usual, unusual, one_in):
    return draw(unusual) if draw(chance(one_in)) else draw(usual)


def encodings(hostile, allow_list=True):
    """A function encoding a list of ints; when hostile, now and then one
    that a check refuses."""
    names = [n for n in SAME_VALUES if allow_list or n != "list"]
    same = st.sampled_from(names).map(SAME_VALUES.get)
    return rarely(hostile, same, list(REFUSED.values()), one_in=32)


def wild_ints(low, high, one_in=5):
    """Mostly plausible values, now and then one near the int64 limits."""
    return now_and_then(st.integers(low, high), st.sampled_from(EXTREMES), one_in)


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


# ---- random graphs and requests ---------------------------------------------------


@dataclass
class Graph:
    node_types: list
    edge_types: list
    sizes: dict  # node type -> node count
    colptr: dict  # edge type key -> list of int
    row: dict
    node_time: dict  # node type -> list of int
    seed: int
    wide: bool = False
    args: dict = field(default_factory=dict)  # the constructor arguments as encoded

    @property
    def keys(self):
        return list(dict.fromkeys(edge_key(edge_type) for edge_type in self.edge_types))

    def plain_args(self):
        """The constructor arguments as plain int64 arrays."""
        return dict(node_types=self.node_types, edge_types=self.edge_types,
                    colptr={k: i64(*v) for k, v in self.colptr.items()},
                    row={k: i64(*v) for k, v in self.row.items()},
                    node_time={k: i64(*v) for k, v in self.node_time.items()}, seed=self.seed)


@st.composite
def graphs(draw, hostile=False, wide=False):
    """Small heterogeneous graphs: self-loops, a node type listed twice,
    repeated edge types, empty node types, timestamps on some node types
    (ties and values near the int64 limits included) and, now and then,
    neighbourhoods out of time order. wide gives node types of 30 to 40
    nodes, so that a hop has a frontier of dozens of nodes."""
    distinct = draw(st.permutations("ABC"))[:draw(st.sampled_from([2, 1, 3]))]
    node_types = distinct + ([draw(st.sampled_from(distinct))] if draw(chance(4)) else [])
    if hostile:  # a node type dropped or unknown: edge types may leave the listed ones
        node_types = draw(rarely(True, st.just(node_types), [distinct[1:], distinct + ["Z"]], one_in=16))
    size = st.integers(30, 40) if wide else st.sampled_from([3, 1, 2, 4, 5, 0])
    sizes = {t: draw(size) for t in [*distinct, "Z"]}
    node_time = {t: draw(st.lists(wild_ints(0, 9, one_in=12), min_size=sizes[t], max_size=sizes[t]))
                 for t in distinct if draw(st.integers(0, 3)) < (3 if wide else 2)}
    end = rarely(hostile, st.sampled_from(distinct), ["Z"], one_in=16)
    edge_types = draw(st.lists(st.tuples(end, st.sampled_from("rs"), end), min_size=1, max_size=3 if hostile else 5))
    in_order = draw(st.sampled_from([True, True, True, False]))

    colptr, row = {}, {}
    degree = st.sampled_from([3, 1, 2, 0, 5, 7])
    for edge_type in dict.fromkeys(edge_types):
        source, _, destination = edge_type
        sources = st.integers(0, max(sizes[source] - 1, 0))
        lists = [draw(st.lists(sources, min_size=d, max_size=d)) if sizes[source] else []
                 for d in [draw(degree) for _ in range(sizes[destination])]]
        if in_order and source in node_time:
            lists = [sorted(n, key=node_time[source].__getitem__) for n in lists]
        key = edge_key(edge_type)
        colptr[key] = np.cumsum([0] + [len(n) for n in lists]).tolist()
        row[key] = [v for n in lists for v in n]
        if hostile:
            colptr[key] = draw(corrupted(colptr[key], -2, 12))
            row[key] = draw(corrupted(row[key], -2, 7))
    if hostile:
        node_time = {t: draw(corrupted(v, -60, 60)) for t, v in node_time.items()}

    graph = Graph(node_types, edge_types, sizes, colptr, row, node_time, draw(st.integers(-(2**31), 2**31 - 1)),
                  wide)
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


# Offsets around small times, and now and then at the int64 limits.
OFFSET = st.integers(-6, 6) | st.sampled_from([INT64_MIN, INT64_MAX])
# Hypothesis favours the first option of a choice, so the most useful comes first.
COUNT = st.sampled_from([2, 1, -1, 0, 3, 100, INT64_MAX, INT64_MIN])


@st.composite
def windows(draw, hops, hostile):
    """One (start, end) row per hop, start None for no lower bound, in one of
    the forms a caller may pass."""
    hops = draw(rarely(hostile, st.just(hops), [0, hops + 1]))
    # Offsets the int64 cast refuses: beyond the int64 range, floats, None.
    offset = rarely(hostile, OFFSET, [2**63, INT64_MIN - 1, 1.5, np.float64(2.0), None], one_in=16)
    rows = [[draw(st.none() | offset), draw(offset)] for _ in range(hops)]
    form = draw(rarely(hostile, st.sampled_from(["object", "list", "int64"]), ["3 columns"]))
    if form == "list" and rows:  # an empty list would be one-dimensional
        return rows
    if form == "int64" and all(isinstance(x, int) and INT64_MIN <= x <= INT64_MAX for r in rows for x in r):
        return WINDOW_LAYOUTS[draw(st.sampled_from(list(WINDOW_LAYOUTS)))](rows)
    if form == "3 columns":
        return np.array([r + [0] for r in rows], dtype=object).reshape(hops, 3)
    return np.array(rows, dtype=object).reshape(hops, 2)


@st.composite
def requests(draw, graph, hostile=False, deterministic=False):
    """Keyword arguments of one sample call: counts including -1, 0, more than
    any degree and the int64 limits, count lists shorter than the hops,
    windows on timed sources, repeated seeds, seed times or none. With
    deterministic, counts are -1 or 0, so the call draws nothing and its
    outcome does not depend on the generator."""
    types = list(dict.fromkeys(graph.node_types))
    usual_entity = st.sampled_from([d for _, _, d in graph.edge_types if d in types] + types)
    entity = draw(rarely(hostile, usual_entity, ["Z", b"A", b"B"]))
    entity_size = graph.sizes.get(entity.decode() if isinstance(entity, bytes) else entity, 0)
    seed = rarely(hostile, st.integers(0, max(entity_size - 1, 0)), [-1, entity_size, *EXTREMES])
    least = draw(rarely(hostile, st.just(20 if graph.wide else 1), [0]))
    seeds = draw(st.lists(seed, min_size=least, max_size=least + 10)) if entity_size or hostile else []
    # A sampler with timestamps needs one seed time per seed, or none.
    time_value = wild_ints(0, 12, one_in=12)
    if graph.node_time:
        length = draw(rarely(hostile, st.sampled_from([len(seeds), 0]), [len(seeds) + 1]))
    else:
        length = draw(st.integers(0, 6))
    seed_time = draw(st.lists(time_value, min_size=length, max_size=length))

    hops = draw(st.sampled_from([2, 1, 3, 2, 1, 0]))
    counts, window = {}, {}
    for source, relation, destination in dict.fromkeys(graph.edge_types):
        key = edge_key((source, relation, destination))
        modes = ["window", "count"] if source in graph.node_time else ["count"]
        mode = draw(rarely(hostile, st.sampled_from(modes), ["window", "both", "neither"]))
        if mode in ("count", "both"):
            length = hops if draw(st.integers(0, 3)) < 3 else draw(st.integers(0, hops))
            values = draw(st.lists(COUNT, min_size=length, max_size=length))
            counts[key] = [-1 if v else 0 for v in values] if deterministic else values
        if mode in ("window", "both"):
            window[key] = draw(windows(hops, hostile))

    encode = encodings(hostile)
    return dict(
        num_neighbors=draw(keyed({k: draw(encode)(v) for k, v in counts.items()}, hostile)),
        sampling_time_offsets=draw(keyed(window, hostile)),
        entity_table=entity,
        seed_node=draw(encodings(hostile, allow_list=False))(seeds),
        seed_time=draw(encodings(hostile, allow_list=False))(seed_time),
    )


# ---- what every successful call returns --------------------------------------------


def check_result(result, graph, call):
    """The result's layout, and every sampled node and edge belongs to the
    graph and to its seed's subgraph."""
    assert type(result) is tuple and len(result) == 6
    named = SampleResult(*result)
    rows, cols, nodes, batches = named.rows, named.cols, named.nodes, named.batches
    node_counts, edge_counts = named.num_sampled_nodes, named.num_sampled_edges
    for table in result:
        for array in table.values():
            assert type(array) is np.ndarray and array.dtype == np.int64 and array.ndim == 1
    node_types, keys = list(dict.fromkeys(graph.node_types)), graph.keys
    assert list(nodes) == list(batches) == list(node_counts) == node_types
    assert list(rows) == list(cols) == list(edge_counts) == keys

    seeds = np.asarray(call["seed_node"]).astype(np.int64)
    entity = call["entity_table"]
    entity = entity.decode() if isinstance(entity, bytes) else entity
    tables = (call["num_neighbors"], call["sampling_time_offsets"])
    hops = max((len(value) for table in tables for value in table.values()), default=0)
    for t in node_types:
        assert len(nodes[t]) == len(batches[t]) == node_counts[t].sum()
        assert node_counts[t][0] == (len(seeds) if t == entity else 0)
        assert len(node_counts[t]) == 1 + hops * graph.node_types.count(t)
        assert ((0 <= batches[t]) & (batches[t] < len(seeds))).all()
        assert len(set(zip(batches[t].tolist(), nodes[t].tolist()))) == len(nodes[t])
    assert nodes[entity][:len(seeds)].tolist() == seeds.tolist()
    assert batches[entity][:len(seeds)].tolist() == list(range(len(seeds)))

    all_keys = [edge_key(e) for e in graph.edge_types]
    for (source, _, destination), key in zip(graph.edge_types, all_keys):
        r, c = rows[key], cols[key]
        assert len(r) == len(c) == edge_counts[key].sum()
        assert len(edge_counts[key]) == hops * all_keys.count(key)
        if source not in nodes or destination not in nodes:  # a call with no hop
            assert hops == 0
            continue
        assert (r < len(nodes[source])).all() and (c < len(nodes[destination])).all()
        assert (batches[source][r] == batches[destination][c]).all()
        colptr, row = graph.colptr[key], graph.row[key]
        for u, v in zip(nodes[source][r].tolist(), nodes[destination][c].tolist()):  # every edge exists
            assert u in row[colptr[v]:colptr[v + 1]]


# ---- the seed loader over a synthetic shop --------------------------------------------

def loader_for(directory, counts=(4, 2), **options):
    """(seeds, times, a SeedLoader over them) for the synthetic graph in directory;
    payload "index" is each seed's position in the table."""
    from vornlib_tools import Graph, SeedLoader, synthetic

    graph = Graph.load(directory)
    seeds, times = synthetic.customer_seeds(graph, [synthetic.TIME_ORIGIN + 400 * synthetic.DAY])
    options = dict(num_neighbors={key: list(counts) for key in graph.keys}, batch_size=16, shuffle=True,
                   payload={"index": np.arange(len(seeds))}) | options
    return seeds, times, SeedLoader(directory, "customers", seeds, times, **options)


def epoch_order(loader, seeds, times):
    order = []
    for batch in loader:
        index = batch.payload["index"]
        np.testing.assert_array_equal(batch.seed_node, seeds[index])  # payload travels with its seeds
        np.testing.assert_array_equal(batch.seed_time, times[index])
        order.append(index)
    return np.concatenate(order)


# ---- child processes -------------------------------------------------------------------

def group_members(pgid):
    """The live processes (zombies aside) of process group pgid."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                state, _, pgrp = stat.read().rsplit(")", 1)[1].split()[:3]
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(pgrp) == pgid and state != "Z":
            members.append(int(entry))
    return members


class ChildGroup:
    """A child process in a process group of its own, as a terminal starts a
    job. Every wait on it is bounded, and on the way out, however the test
    ends (a failed assertion, a timeout), everything in its group is killed and
    the child reaped: a child left waiting for a signal that never came, or its
    workers, would otherwise run on long after the suite.

        with ChildGroup([sys.executable, script, ...]) as child:
            assert child.line(60) == "started"
            returncode, output, errors = child.finish(60)
            assert child.left_behind == []
    """

    def __init__(self, args, **popen):
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        start_new_session=True, **popen)
        self.pid = self.process.pid
        self.left_behind = None
        self._lines = queue.Queue()
        self._errors = []
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, self._lines.put), daemon=True),
                         threading.Thread(target=self._read, args=(self.process.stderr, self._errors.append),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()

    @staticmethod
    def _read(stream, keep):
        for line in stream:
            keep(line)
        keep(None)

    def __enter__(self):
        return self

    def line(self, timeout):
        """The child's next line of output (without its newline); fails if
        none comes within timeout seconds or the output ends."""
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no output from the child in {timeout} s") from None
        assert line is not None, f"the child's output ended: {''.join(filter(None, self._errors))}"
        return line.rstrip("\n")

    def finish(self, timeout, grace=5.0):
        """(returncode, the rest of its output, its error output) once the child
        has exited; fails if it has not within timeout seconds. left_behind then
        lists what of its group was still alive grace seconds later; the group
        is killed before the child is reaped, so that its id cannot have been
        taken by another process meanwhile."""
        deadline = time.monotonic() + timeout
        while os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is None:
            assert time.monotonic() < deadline, f"the child still runs after {timeout} s"
            time.sleep(0.02)
        settled = time.monotonic() + grace
        while (members := [pid for pid in group_members(self.pid) if pid != self.pid]) and time.monotonic() < settled:
            time.sleep(0.05)
        self.left_behind = members
        self._stop()
        rest = []
        while not self._lines.empty():  # the readers have ended: all of it is here
            rest.append(self._lines.get_nowait() or "")
        return self.process.returncode, "".join(rest), "".join(filter(None, self._errors))

    def _stop(self):
        if self.process.returncode is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)  # the child is not reaped yet: the group id is still its own
            except ProcessLookupError:
                pass
            self.process.wait()
        for reader in self._readers:
            reader.join(timeout=10)

    def __exit__(self, *exc_info):
        self._stop()
        self.process.stdout.close()
        self.process.stderr.close()
