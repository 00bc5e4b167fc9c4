"""Builds within a memory limit: sorts that spill, refusals of limits too small."""

import numpy as np
import pytest

from vornlib_tools.graph import group_by_destination, time_order
from vornlib_tools.memory import Workspace, parse_limit
from vornlib_tools.sorting import sort_int64



class Tiny(Workspace):
    """A workspace whose sorts hold `entries` values, so that small inputs spill."""

    def __init__(self, directory, entries):
        super().__init__(2**40, directory)
        self.entries = entries
        self.limit = self.usable = 2**18  # working arrays past 128 kB go to files

    @property
    def sort_entries(self):
        return self.entries


# ---- sorting in bounded memory ------------------------------------------------------------

@pytest.mark.parametrize("total, entries, chunk", [(0, 100, 7), (1, 100, 7), (1000, 300, 33), (99_991, 8000, 777),
                                                   (50_000, 50_000, 50_000)])
def test_sorts_spill_runs_and_merge_them_into_order(tmp_path, total, entries, chunk):
    values = np.random.default_rng(total).permutation(3 * total + 1)[:total].astype(np.int64)
    pieces = []
    sort_int64((values[i:i + chunk] for i in range(0, total, chunk)), total, lambda p: pieces.append(p.copy()),
               Tiny(tmp_path, entries), "t")
    np.testing.assert_array_equal(np.concatenate(pieces) if pieces else [], np.sort(values))
    assert max(map(len, pieces), default=0) <= entries  # a piece at a time, never the whole
    buffer = values.copy()
    if 0 < total <= entries:  # sorted in the caller's buffer, handed over as one view of it
        sort_int64(iter([values]), total, lambda p: pieces.append(p), Tiny(tmp_path, entries), "t", buffer=buffer)
        assert pieces[-1].base is buffer and np.array_equal(buffer, np.sort(values))


def test_a_sort_of_more_runs_than_it_can_merge_is_refused(tmp_path):
    values = np.arange(100_000, dtype=np.int64)[::-1].copy()
    with pytest.raises(MemoryError, match="merging 100 sorted runs .* raise memory_limit"):
        sort_int64(iter([values]), len(values), print, Tiny(tmp_path, 1000), "t")
    with pytest.raises(ValueError, match="99 values to sort where 100 were announced"):
        sort_int64(iter([values[:99]]), 100, print, Tiny(tmp_path, 10), "t")


def test_time_order_and_grouping_spilled_equal_them_in_memory(tmp_path):
    rng = np.random.default_rng(3)
    times = rng.integers(0, 500, 60_000)
    times[::7] = np.iinfo(np.int64).max  # "never": after every proper time, without widening their span
    work = Tiny(tmp_path, 8000)
    order, rank = time_order(times, work)
    assert isinstance(order, np.memmap)  # past the workspace's share: in a file
    expected_order, expected_rank = time_order(times)
    np.testing.assert_array_equal(order, expected_order)
    np.testing.assert_array_equal(rank, expected_rank)
    dst = rng.integers(-1, 300, 60_000).astype(np.int32)
    for ranked in (None, rank):
        colptr, positions = group_by_destination(dst, 301, ranked, work=work)
        pieces = []
        streamed, none = group_by_destination(dst, 301, ranked, work=work, sink=lambda p: pieces.append(p.copy()))
        expected_colptr, expected = group_by_destination(dst, 301, None if ranked is None else expected_rank,
                                                         expected_order if ranked is not None else None)
        np.testing.assert_array_equal(colptr, expected_colptr)
        np.testing.assert_array_equal(positions, expected)
        assert none is None and len(pieces) > 1
        np.testing.assert_array_equal(np.concatenate(pieces), expected)


def test_memory_limits_read_as_sizes_and_refuse_too_little():
    assert parse_limit("4GB") == 4 * 10**9 and parse_limit("512 MiB") == 512 * 2**20
    assert parse_limit(10**9) == 10**9 and parse_limit("1.5g") == 1_500_000_000
    for wrong, message in [("lots", "is not a size"), (True, "number of bytes"), ("1MB", "below the least")]:
        with pytest.raises(ValueError, match=message):
            parse_limit(wrong)
