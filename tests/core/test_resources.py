"""Memory and reference ownership: no leaks over many calls, the caller's
arrays released with the sampler, memory-mapped graphs read in place, and
huge neighbourhoods sampled in memory proportional to the picks."""

import gc
import itertools
import os
import sys
import weakref

import numpy as np
import pytest

import vornlib
from helpers import SAME_VALUES, UNDER_ASAN, i64, plain

MiB = 1 << 20
needs_plain_allocator = pytest.mark.skipif(UNDER_ASAN, reason="resident size is meaningless under ASan")
LEAK_CALLS = int(os.environ.get("VORNLIB_LEAK_CALLS", "100000"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def small_graph():
    # Users with timestamps follow users and buy untimed items; only the
    # neighbourhood of user 3, whom nobody follows, is out of time order.
    return dict(
        node_types=["U", "I"],
        edge_types=[("U", "f", "U"), ("I", "b", "U")],
        colptr={"U__f__U": i64(0, 2, 3, 3, 5), "I__b__U": i64(0, 2, 2, 3, 4)},
        row={"U__f__U": i64(1, 2, 2, 2, 0), "I__b__U": i64(0, 1, 1, 0)},
        node_time={"U": i64(1, 2, 3, 4)},
    )


def request(counts=(2, 2), seeds=(0, 1), times=(5, 5), window=None):
    windows = {} if window is None else {"U__f__U": np.array(window, dtype=object)}
    counts_by_key = {"I__b__U": list(counts)}
    if window is None:
        counts_by_key["U__f__U"] = i64(*counts)
    return dict(num_neighbors=counts_by_key, sampling_time_offsets=windows, entity_table="U",
                seed_node=i64(*seeds), seed_time=i64(*times))


# Successful calls of every kind and failing calls of every stage, cycled.
CALLS = [
    (request(), None),
    (request(counts=(-1, 1), times=()), None),
    (request(window=[[None, 0], [-3, 0]]), None),
    (request(seeds=(0, 1, 2, 2), times=()), None),
    (dict(request(), num_neighbors={"U_f_U": i64(1)}), RuntimeError),
    (dict(request(), num_neighbors={"I__b__U": i64(1)}), KeyError),
    (request(seeds=(3,), times=(9,)), RuntimeError),  # unsorted neighbourhood
    (request(seeds=(7,), times=()), RuntimeError),  # seed outside node_time
    (request(window=[[None, 1.5]]), RuntimeError),  # offset refused by the int64 cast
]


def run_calls(sampler, count):
    for index in range(count):
        kwargs, error = CALLS[index % len(CALLS)]
        try:
            sampler.sample(**kwargs)
        except Exception as exc:  # noqa: BLE001 - the expected type is checked below
            assert error is not None and isinstance(exc, error), exc
        else:
            assert error is None


@pytest.mark.slow
@needs_plain_allocator
def test_many_calls_keep_resident_memory_flat():
    sampler = vornlib.NeighborSampler(**small_graph())
    run_calls(sampler, 5000)
    gc.collect()
    before = resident_bytes()
    run_calls(sampler, LEAK_CALLS)
    gc.collect()
    growth = resident_bytes() - before
    print(f"resident growth over {LEAK_CALLS} calls: {growth / MiB:.2f} MiB")
    assert growth < 4 * MiB


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


# Byte-swapped arrays are read through a native copy.
@pytest.mark.parametrize("layout", ["native", "big-endian", "strided", "read-only"])
def test_caller_arrays_are_released_with_the_sampler(layout):
    layout = SAME_VALUES[layout]
    graph = small_graph()
    for table in ("colptr", "row", "node_time"):
        graph[table] = {key: layout(value) for key, value in graph[table].items()}
    graph_arrays = [value for table in ("colptr", "row", "node_time") for value in graph[table].values()]
    calls = [kwargs for kwargs, _ in CALLS]
    call_arrays = [value for kwargs in calls for value in
                   [kwargs["seed_node"], kwargs["seed_time"], *kwargs["num_neighbors"].values(),
                    *kwargs["sampling_time_offsets"].values()]]
    start = refcounts(graph_arrays), refcounts(call_arrays)

    sampler = vornlib.NeighborSampler(**graph)
    run_calls(sampler, 3 * len(CALLS))
    assert refcounts(call_arrays) == start[1]
    alive = weakref.ref(sampler)
    del sampler
    gc.collect()
    assert alive() is None
    assert (refcounts(graph_arrays), refcounts(call_arrays)) == start


@needs_plain_allocator
def test_a_deleted_sampler_releases_its_working_memory():
    # Every seed takes all 8 neighbours: about 100 MB of tables per call.
    nodes, fanout = 100_000, 8
    graph = dict(node_types=["U"], edge_types=[("U", "f", "U")],
                 colptr={"U__f__U": np.arange(0, (nodes + 1) * fanout, fanout, dtype=np.int64)},
                 row={"U__f__U": np.arange(nodes * fanout, dtype=np.int64) % nodes}, node_time={})
    big_call = dict(num_neighbors={"U__f__U": i64(-1)}, sampling_time_offsets={}, entity_table="U",
                    seed_node=np.arange(nodes, dtype=np.int64), seed_time=i64())
    gc.collect()
    before = resident_bytes()
    footprints = []
    for _ in range(5):
        sampler = vornlib.NeighborSampler(**graph)
        sampler.sample(**big_call)
        footprints.append(resident_bytes() - before)
        del sampler
    gc.collect()
    growth = resident_bytes() - before
    print(f"one sampler after a call: {footprints[0] / MiB:.0f} MiB; after 5 deleted: {growth / MiB:.0f} MiB")
    assert footprints[0] > 50 * MiB  # the call really filled large tables
    assert growth < 2 * footprints[0]  # five kept samplers would hold five times as much


def ring_graph(nodes, fanout):
    """Node v is followed by v .. v + fanout - 1 (mod nodes); no timestamps."""
    return dict(node_types=["U"], edge_types=[("U", "f", "U")],
                colptr={"U__f__U": np.arange(0, (nodes + 1) * fanout, fanout, dtype=np.int64)},
                row={"U__f__U": np.arange(nodes * fanout, dtype=np.int64) % nodes}, node_time={})


def test_large_results_are_new_arrays_that_python_owns():
    # Tables of 64 KiB or more become result arrays without a copy: the
    # array takes over the table's block, which a capsule owns, and a freed
    # array's block serves a later call. Each array must still be new, and
    # share memory with nothing: not the graph, the request, another array
    # of the call, or a result the caller keeps.
    graph = ring_graph(20_000, 4)
    sampler, twin = vornlib.NeighborSampler(**graph), vornlib.NeighborSampler(**graph)
    inputs = [*graph["colptr"].values(), *graph["row"].values()]
    kept = []
    for call in range(6):
        seeds = (np.arange(20_000, dtype=np.int64) * (call + 1)) % 20_000
        request = dict(num_neighbors={"U__f__U": i64(-1, 2)}, sampling_time_offsets={}, entity_table="U",
                       seed_node=seeds, seed_time=i64())
        result, expected = sampler.sample(**request), twin.sample(**request)
        arrays = [value for table in result for value in table.values()]
        large = [array for array in arrays if array.nbytes >= 64 << 10]
        assert len(large) >= 4
        for array in arrays:
            assert array.flags.writeable and array.flags.c_contiguous and array.dtype == np.int64
            if array.base is not None:
                assert array.nbytes >= 64 << 10 and type(array.base).__name__ == "PyCapsule"
        others = inputs + list(request["num_neighbors"].values()) + [seeds] + kept
        assert not any(np.shares_memory(x, y) for x in arrays for y in others)
        assert not any(np.shares_memory(x, y) for x, y in itertools.combinations(arrays, 2))
        assert plain(result) == plain(expected)
        for array in arrays:
            array[...] = -7  # a block given back dirty must not reach the next result
        if call % 2:
            kept += arrays  # the others are dropped, their blocks given back
        del result, arrays, large
    assert all((array == -7).all() for array in kept)  # no later call wrote into a kept result


def write_npy(path, length, fill):
    """An int64 .npy file written in chunks, so the writer never holds it all."""
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.int64, shape=(length,))
    chunk = 1 << 20
    for start in range(0, length, chunk):
        out[start:start + chunk] = fill(np.arange(start, min(start + chunk, length), dtype=np.int64))
    out.flush()
    del out


@pytest.mark.slow
def test_memory_mapped_graph_is_read_in_place(tmp_path):
    # 1M nodes, 8 incoming edges each: node v is followed by v+1 .. v+8 (mod n),
    # all with timestamp = node index, so a 64 MiB row array.
    nodes, fanout = 1 << 20, 8
    write_npy(tmp_path / "colptr.npy", nodes + 1, lambda i: i * fanout)
    write_npy(tmp_path / "row.npy", nodes * fanout, lambda p: (p // fanout + p % fanout + 1) % nodes)
    write_npy(tmp_path / "time.npy", nodes, lambda v: v)
    gc.collect()
    load = {name: np.load(tmp_path / f"{name}.npy", mmap_mode="r") for name in ("colptr", "row", "time")}
    assert not load["row"].flags.writeable

    before = resident_bytes()
    sampler = vornlib.NeighborSampler(["U"], [("U", "f", "U")], {"U__f__U": load["colptr"]},
                                      {"U__f__U": load["row"]}, {"U": load["time"]})
    call = dict(num_neighbors={"U__f__U": i64(-1)}, sampling_time_offsets={}, entity_table="U",
                seed_node=i64(10, nodes - 9), seed_time=i64(nodes, nodes))
    result = sampler.sample(**call)
    growth = resident_bytes() - before
    assert result[2]["U"].tolist() == [10, nodes - 9, *range(11, 19), *range(nodes - 8, nodes)]
    if not UNDER_ASAN:
        assert growth < 8 * MiB, f"resident memory grew by {growth / MiB:.1f} MiB for a 72 MiB graph"

    # A write through another mapping of the same file shows in the next call:
    # the sampler reads the file's pages, not a copy of them.
    writer = np.load(tmp_path / "row.npy", mmap_mode="r+")
    writer[10 * fanout] = 5
    writer.flush()
    assert sampler.sample(**call)[2]["U"][2] == 5


def test_huge_neighbourhood_costs_memory_proportional_to_k():
    # 50M candidates: the zero-filled row array is never touched as a whole,
    # so the OS backs it lazily and only a dense chosen-set would show.
    n = 50_000_000
    row = np.zeros(n, dtype=np.int64)
    sampler = vornlib.NeighborSampler(["U"], [("U", "f", "U")], {"U__f__U": i64(0, n)}, {"U__f__U": row}, {})
    call = dict(num_neighbors={"U__f__U": i64(10)}, sampling_time_offsets={}, entity_table="U",
                seed_node=i64(0), seed_time=i64())
    gc.collect()
    before = resident_bytes()
    for _ in range(20):
        result = sampler.sample(**call)
    growth = resident_bytes() - before
    assert result[5]["U__f__U"].tolist() == [10]
    if not UNDER_ASAN:
        assert growth < 16 * MiB, f"resident memory grew by {growth / MiB:.1f} MiB for k = 10"
