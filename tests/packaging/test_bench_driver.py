"""The benchmark's two promises: its checksum of sample() results stays the
one bench/expected_checksums.json was recorded with, and the bench module's
core run (built by scripts/run_bench.sh) makes exactly the calls sample()
makes, from the same arguments."""

import os
from pathlib import Path

import numpy as np
import pytest

import vornlib

ROOT = Path(__file__).resolve().parents[2]
KEY = "I__in__U"


@pytest.fixture
def run_bench(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import run_bench
    return run_bench


@pytest.fixture
def bench_module(monkeypatch):
    # scripts/run_tests.sh builds it beside the C++ tests; scripts/run_bench.sh into build/bench.
    built = Path(os.environ.get("VORNLIB_BENCH_MODULE_DIR", ROOT / "build" / "bench"))
    if not list(built.glob("vornlib_bench*.so")):
        pytest.skip("vornlib_bench is built by scripts/run_tests.sh and scripts/run_bench.sh")
    monkeypatch.syspath_prepend(str(built))
    import vornlib_bench
    return vornlib_bench


def checksum(run_bench, *tables):
    hashed = run_bench.ResultChecksum()
    hashed.update(tables)
    return hashed.hexdigest()


def test_checksum_is_over_keys_values_and_their_split(run_bench):
    values = np.array([1, 2, 3], dtype=np.int64)
    assert checksum(run_bench, {KEY: values}, {"U": values[:1]}) == "52d6301f87065951e9966284a6558f33"
    # The values count, not their dtype; a different split of the same values is another result.
    assert checksum(run_bench, {KEY: values.astype(np.int32)}, {"U": [1]}) == checksum(
        run_bench, {KEY: values}, {"U": values[:1]})
    assert checksum(run_bench, {KEY: values[:2]}, {"U": values[2:]}) != checksum(
        run_bench, {KEY: values[:1]}, {"U": values[1:]})


def graph(with_time):
    """Four users who each bought items 0..5 in time order (item i at time i)."""
    colptr = np.arange(0, 25, 6, dtype=np.int64)
    return dict(node_types=["U", "I"], edge_types=[("I", "in", "U")], colptr={KEY: colptr},
                row={KEY: np.tile(np.arange(6, dtype=np.int64), 4)},
                node_time={"I": np.arange(6, dtype=np.int64), "U": np.zeros(4, dtype=np.int64)} if with_time else {},
                seed=7)


def plain(result):
    return [{key: array.tolist() for key, array in table.items()} for table in result]


@pytest.mark.parametrize("with_time, request_", [
    (True, dict(num_neighbors={KEY: np.array([2])}, sampling_time_offsets={})),
    (True, dict(num_neighbors={}, sampling_time_offsets={KEY: np.array([[-3, 0]])})),
    (False, dict(num_neighbors={KEY: np.array([3])}, sampling_time_offsets={})),  # draws: the history counts
], ids=["last-k", "window", "uniform"])
def test_core_run_makes_the_calls_sample_makes(bench_module, with_time, request_):
    seeds = [np.array([0, 1]), np.array([2, 2, 3]), np.array([1])]
    times = [np.array([4, 2]), np.array([5, 1, 3]), np.array([9])] if with_time else [np.empty(0, np.int64)] * 3
    evicting = np.zeros(16, dtype=np.int64)
    timer = bench_module.CoreTimer(**graph(with_time))
    timed = [timer.time(**request_, entity_table="U", seed_node=s, seed_time=t, evicting=evicting, keep=keep)
             for s, t, keep in zip(seeds, times, (True, True, False))]
    sampler = vornlib.NeighborSampler(**graph(with_time))
    expected = [plain(sampler.sample(**request_, entity_table="U", seed_node=s, seed_time=t))
                for s, t in zip(seeds, times)]
    assert [plain(result) for _, _, result in timed[:2]] == expected[:2]
    assert timed[2][2] is None  # not kept, yet made: the history of the next calls counts
    assert all(wall > 0 and cpu > 0 for wall, cpu, _ in timed)
    assert (evicting == 3).all()  # written before every call


def test_core_run_refuses_a_request_as_sample_does(bench_module):
    arguments = dict(num_neighbors={KEY: np.array([2])}, sampling_time_offsets={}, entity_table="nowhere")
    with pytest.raises(RuntimeError) as from_sample:
        vornlib.NeighborSampler(**graph(True)).sample(**arguments, seed_node=np.array([0]), seed_time=np.array([1]))
    with pytest.raises(RuntimeError) as from_core:
        bench_module.CoreTimer(**graph(True)).time(**arguments, seed_node=np.array([0]), seed_time=np.array([1]),
                                                   evicting=np.zeros(1, dtype=np.int64), keep=True)
    assert str(from_core.value) == str(from_sample.value)
