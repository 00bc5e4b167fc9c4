"""The benchmark's count of cache lines a call must fetch (bench/memory_limit.py),
on hand-made results over line-aligned arrays, so every expected count can be
read off the layout: 8 int64 values per 64-byte line."""

from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
KEY = "items__in__users"


@pytest.fixture
def bench_modules(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH))
    import memory_limit
    import workloads
    return memory_limit, workloads


def aligned(values) -> np.ndarray:
    """An int64 array whose element 0 starts a cache line."""
    values = np.asarray(values, dtype=np.int64)
    buffer = np.zeros(values.size + 8, dtype=np.int64)
    start = (-buffer.ctypes.data % 64) // 8
    array = buffer[start:start + values.size]
    array[:] = values
    return array


def count_lines(bench_modules, degrees, seeds, chosen, *, k, with_time):
    """Lines of a one-hop call: users (the seeds) expand to items; chosen[i]
    is the number of edges seed i took."""
    memory_limit, workloads = bench_modules
    colptr = aligned(np.concatenate([[0], np.cumsum(degrees)]))
    arrays = {f"{KEY}.colptr": colptr, f"{KEY}.row": aligned(np.arange(colptr[-1]))}
    metadata = {"edge_types": [["items", "in", "users"]]}
    workload = workloads.Workload("test", len(seeds), with_time, {KEY: [k]})
    cols = np.repeat(np.arange(len(seeds)), chosen)
    result = ({KEY: cols}, {KEY: cols}, {"users": np.array(seeds), "items": cols},
              {"users": np.arange(len(seeds)), "items": cols},
              {"users": np.array([len(seeds), 0]), "items": np.array([0, cols.size])},
              {KEY: np.array([cols.size])})
    return memory_limit.LineCounter(workload, metadata, arrays).count(result)


def test_uniform_take_all_charges_each_range_line_once_per_call(bench_modules):
    # User 0 has 20 candidates (3 row lines), expanded for two batches; its
    # colptr entries share one line.
    assert count_lines(bench_modules, [20, 5], [0, 0], [20, 20], k=25, with_time=False) == 1 + 3


def test_uniform_draw_charges_the_expected_distinct_lines(bench_modules):
    # 8 of 64 candidates over 8 full lines: 8 * (1 - (7/8)**8) = 5.25 lines expected.
    assert count_lines(bench_modules, [64], [0], [8], k=8, with_time=False) == 1 + 5


def test_count_of_zero_charges_nothing(bench_modules):
    assert count_lines(bench_modules, [20], [0], [0], k=0, with_time=False) == 0


def test_single_timed_candidate_costs_its_timestamp_and_row_line(bench_modules):
    # Two users of one candidate each: one colptr line, then per user one
    # probe (a timestamp line) and the row line of the chosen run.
    assert count_lines(bench_modules, [1, 1], [0, 1], [1, 1], k=1, with_time=True) == 1 + 2 * (1 + 1)


def test_timed_bisection_probes_and_their_shared_top(bench_modules):
    # 1023 candidates: 10 probes, 10 timestamp lines, 7 row lines apart from
    # the run's last line(s); the 4 latest fill one row line.
    assert count_lines(bench_modules, [1023], [0], [4], k=4, with_time=True) == 1 + 10 + 7 + 1
    # The same node for four batches shares the top of its probe tree:
    # levels hold 1, 2, then 4 distinct probes.
    timestamps = 1 + 2 + 4 * 8
    probe_rows = 1 + 2 + 4 * 5
    assert count_lines(bench_modules, [1023], [0, 0, 0, 0], [4] * 4, k=4, with_time=True) == (
        1 + timestamps + probe_rows + 4)


def test_second_hop_frontier_is_the_nodes_the_first_hop_reached(bench_modules):
    # User 0 reaches its 8 items (one row line); at hop 2 each of those items
    # reaches its one user: their colptr entries 0..8 span two lines, and
    # each item is charged its own row line.
    memory_limit, workloads = bench_modules
    to_items, to_users = "items__in__users", "users__by__items"
    arrays = {f"{to_items}.colptr": aligned([0, 8, 8]), f"{to_items}.row": aligned(np.arange(8)),
              f"{to_users}.colptr": aligned(np.arange(17)), f"{to_users}.row": aligned(np.zeros(16))}
    metadata = {"edge_types": [["items", "in", "users"], ["users", "by", "items"]]}
    workload = workloads.Workload("two hops", 1, False, {to_items: [8, 0], to_users: [0, 1]})
    items = np.arange(8)
    result = ({to_items: items, to_users: np.zeros(8, dtype=np.int64)},
              {to_items: np.zeros(8, dtype=np.int64), to_users: items},
              {"users": np.array([0]), "items": items},
              {"users": np.array([0]), "items": np.zeros(8, dtype=np.int64)},
              {"users": np.array([1, 0, 0]), "items": np.array([0, 8, 0])},
              {to_items: np.array([8, 0]), to_users: np.array([0, 8])})
    assert memory_limit.LineCounter(workload, metadata, arrays).count(result) == (1 + 1) + (2 + 8)


def test_each_measurement_is_charged_the_best_read_time_next_to_it(bench_modules):
    # A stand-in for the latency measurement whose best pass is 40, 30, 50 and
    # 20 ns on its successive runs, and three times that for cold reads.
    memory_limit, _ = bench_modules
    best = iter([40, 30, 50, 20])

    def tool(passes, evict_bytes):
        v = next(best)
        return {"ns_per_read": v, "passes_ns": [v, 99], "cold_ns_per_read": 3 * v, "cold_passes_ns": [3 * v]}

    read_times = memory_limit.ReadTimes(tool, evict_bytes=1 << 20)
    ReadTime = memory_limit.ReadTime
    assert read_times.around(lambda: "first") == ("first", ReadTime(30, 90))  # runs 1 and 2
    assert read_times.around(lambda: "second") == ("second", ReadTime(30, 90))  # run 2 reused, run 3
    assert read_times.around(lambda: "third") == ("third", ReadTime(20, 60))
    assert read_times.best == ReadTime(20, 60)
    assert len(read_times.passes_ns) == 8
