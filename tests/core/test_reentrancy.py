"""Python code run by a call (a key's str(), a dict subclass's item access,
numpy's conversion, a window offset's __index__) may use the same sampler
again, from the same thread or another one, or change what the call reads.
The overlapping call is refused and the first call, and every later one,
stays correct."""

import threading
import time

import numpy as np
import pytest

import vornlib
from helpers import i64, plain

OVERLAP = "NeighborSampler is already sampling in another call"


def graph():
    # Timed users follow users (window mode); untimed items are drawn at
    # random, so a refused call that drew anything would shift later results.
    return dict(
        node_types=["U", "I"],
        edge_types=[("U", "f", "U"), ("I", "b", "U")],
        colptr={"U__f__U": i64(0, 2, 3, 3), "I__b__U": i64(0, 4, 8, 8)},
        row={"U__f__U": i64(1, 2, 2), "I__b__U": i64(0, 1, 2, 3, 4, 5, 6, 7)},
        node_time={"U": i64(1, 2, 3)},
        seed=7,
    )


def plain_call(end=0, counts=None, count_key="I__b__U", num_neighbors=dict):
    return dict(
        num_neighbors=num_neighbors({count_key: i64(2, 1) if counts is None else counts}),
        sampling_time_offsets={"U__f__U": np.array([[None, end], [-5, 0]], dtype=object)},
        entity_table="U", seed_node=i64(0, 1), seed_time=i64(10, 10),
    )


def expected_results(calls=2):
    sampler = vornlib.NeighborSampler(**graph())
    return [plain(sampler.sample(**plain_call())) for _ in range(calls)]


class Attempts:
    """Tries to sample on the same sampler while a call is running, either
    directly or from a second thread that this one waits for."""

    def __init__(self, from_thread):
        self.sampler = None
        self.from_thread = from_thread
        self.outcomes = []

    def _try(self):
        try:
            self.sampler.sample(**plain_call())
            self.outcomes.append("sampled")
        except RuntimeError as exc:
            self.outcomes.append(str(exc))

    def __call__(self):
        if self.from_thread:
            worker = threading.Thread(target=self._try)
            worker.start()
            worker.join()  # lets the worker run while the first call waits here
        else:
            self._try()


class Offset:
    """A window offset whose integer conversion runs the hook."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return self.value


class Key:
    """A non-str key equal to its text; str() of it runs the hook."""

    def __init__(self, text, hook):
        self.text, self.hook = text, hook

    def __str__(self):
        self.hook()
        return self.text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return other == self.text


class HookedDict(dict):
    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __getitem__(self, key):
        self.hook()
        return super().__getitem__(key)


class ArrayLike:
    """A value numpy converts by calling __array__, which runs the hook."""

    def __init__(self, array, hook):
        self.array, self.hook = array, hook

    def __array__(self, dtype=None, copy=None):
        self.hook()
        return self.array


HOOK_PLACES = {
    "window offset __index__": lambda hook: plain_call(end=Offset(0, hook)),
    "key __str__": lambda hook: plain_call(count_key=Key("I__b__U", hook)),
    "dict subclass __getitem__": lambda hook: plain_call(num_neighbors=lambda d: HookedDict(d, hook)),
    "numpy conversion": lambda hook: plain_call(counts=ArrayLike(i64(2, 1), hook)),
}


@pytest.mark.parametrize("from_thread", [False, True], ids=["same thread", "other thread"])
@pytest.mark.parametrize("place", HOOK_PLACES)
def test_overlapping_call_is_refused_and_the_first_stays_correct(place, from_thread):
    attempts = Attempts(from_thread)
    sampler = attempts.sampler = vornlib.NeighborSampler(**graph())
    first = sampler.sample(**HOOK_PLACES[place](attempts))
    assert attempts.outcomes and all(outcome.startswith(OVERLAP) for outcome in attempts.outcomes)
    assert [plain(first), plain(sampler.sample(**plain_call()))] == expected_results()


def test_threads_sharing_a_sampler_get_correct_results_or_a_refusal():
    # Every window offset lets the other thread in, so calls really overlap.
    sampler = vornlib.NeighborSampler(**graph())
    call = plain_call(end=Offset(0, lambda: time.sleep(0)), counts=i64(-1, -1))
    expected = plain(vornlib.NeighborSampler(**graph()).sample(**call))
    outcomes = []

    def work():
        for _ in range(200):
            try:
                outcomes.append(plain(sampler.sample(**call)) == expected)
            except RuntimeError as exc:
                outcomes.append(str(exc).startswith(OVERLAP) and "refused")

    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(outcomes) == 400 and all(outcomes)
    assert True in outcomes and "refused" in outcomes


class SelfRemovingKey(Key):
    """A key whose str() deletes its own entry, the dict's only reference to
    the value, while the check is looking at that entry."""

    def __init__(self, text, table):
        super().__init__(text, lambda: table.pop(self))


def test_key_removing_its_own_entry_fails_cleanly():
    colptr = {}
    colptr[SelfRemovingKey("U__f__U", colptr)] = i64(0, 2, 3, 3)
    with pytest.raises(KeyError, match="U__f__U"):
        vornlib.NeighborSampler(**dict(graph(), colptr=colptr))

    sampler = vornlib.NeighborSampler(**graph())
    counts = {}
    counts[SelfRemovingKey("I__b__U", counts)] = i64(2, 1)
    with pytest.raises(KeyError, match="I__b__U"):
        sampler.sample(**dict(plain_call(), num_neighbors=counts))
    assert [plain(sampler.sample(**plain_call())) for _ in range(2)] == expected_results()


def test_call_survives_its_inputs_changing_under_it():
    # The first window offset drops every caller reference to the request
    # and fills the graph's colptr with nonsense: the call must fail cleanly.
    the_graph = graph()
    sampler = vornlib.NeighborSampler(**the_graph)
    colptr = the_graph["colptr"]["U__f__U"]
    saved = colptr.copy()
    call = plain_call()

    def vandalise():
        call["num_neighbors"].clear()
        call["sampling_time_offsets"].clear()
        colptr[1:] = np.iinfo(np.int64).max

    call["sampling_time_offsets"]["U__f__U"][0, 1] = Offset(0, vandalise)
    with pytest.raises(RuntimeError, match=r"^Edge position .* is out of range for 'row' of 'U__f__U'"):
        sampler.sample(**call)
    colptr[:] = saved
    assert [plain(sampler.sample(**plain_call())) for _ in range(2)] == expected_results()
