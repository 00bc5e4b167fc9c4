"""The seed loader's workers: batches that do not depend on them, the shared
memory their batches travel in (and its release), how a failing or dying
worker ends an epoch, and the lifecycle of iterations: two at once, next()
after close(), Ctrl+C."""

import collections
import dataclasses
import json
import os
import pickle
import queue
import re
import signal
import socket
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from helpers import ChildGroup, loader_for
from vornlib_tools import Batch, synthetic

# The longest a failing or killed worker may take to end the epoch.
FAILURE_BOUND_SECONDS = 2.0
CHILD = Path(__file__).with_name("loader_interrupt_child.py")


@pytest.fixture(scope="module")
def shop_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shop")
    synthetic.generate(synthetic.Shape(3_000, 200, 40), seed=7).save(directory)
    return directory


def random_loader(directory, **options):
    """A loader whose choices are random draws (count mode without time), so that
    the stream each batch is sampled with shows in its nodes."""
    seeds, _, loader = loader_for(directory, counts=(3, 2), with_time=False, **options)
    loader.seed_time = None
    return seeds, loader


def copy(values):
    return np.array(values.numpy() if hasattr(values, "numpy") else values)  # a numpy array or a tensor


def batch_arrays(batch):
    """Every array (or tensor) of a batch, by field and key, as numpy copies."""
    arrays = {}
    for field in dataclasses.fields(Batch):
        value = getattr(batch, field.name)
        if isinstance(value, dict):
            arrays.update({(field.name, key): copy(v) for key, v in value.items()})
        elif value is not None and not isinstance(value, (str, list)):
            arrays[field.name] = copy(value)
    return arrays


def assert_same_batches(got, expected):
    assert len(got) == len(expected)
    for number, (a, b) in enumerate(zip(got, expected)):
        assert a.keys() == b.keys(), number
        for key in a:
            np.testing.assert_array_equal(a[key], b[key], err_msg=f"batch {number}, {key}")


def memfd_mappings():
    """How many batch memory files this process has mapped."""
    with open("/proc/self/maps") as maps:
        return sum("memfd:vornlib-batch" in line for line in maps)


def memfd_descriptors(pid):
    """How many batch memory files process pid holds open."""
    links = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except FileNotFoundError:
            pass
    return sum("memfd:vornlib-batch" in link for link in links)


# Transforms run in the workers, which import them from this module.

def counts_only(batch, graph):
    return {name: len(values) for name, values in batch.nodes.items()}


def with_object_array(batch, graph):
    batch.times["names"] = np.array(["a", None], dtype=object)
    return batch


@dataclasses.dataclass
class RefuseSeed:
    """Raises on the first batch that starts with `seed`, once in all: workers
    share their tasks, so any of them may meet it; the flag file says it has
    been refused."""
    seed: int
    flag: str

    def __call__(self, batch, graph):
        if batch.seed_node[0] == self.seed and not os.path.exists(self.flag):
            open(self.flag, "w").close()
            raise ValueError("transform refused the third batch")
        return batch


_KEPT = []


def two_batches_late(batch, graph):
    """Keeps each batch and returns the one two before it (the first ones as
    they are): a transform holding arrays its worker made in memory files
    already sent, which the training process may have given back."""
    _KEPT.append(batch)
    return _KEPT[-3] if len(_KEPT) > 2 else batch


def slow(batch, graph):
    time.sleep(0.05)
    return batch


def stalled(batch, graph):
    time.sleep(60)
    return batch


# ---- batches that do not depend on the workers -----------------------------------------

@pytest.mark.parametrize("option, value, message", [
    ("batch_size", 2.5, "batch_size: 2.5 at position 0 is not an integral number"),
    ("batch_size", float("nan"), "batch_size has a missing value"),
    ("batch_size", True, "batch_size must hold integers"),
    ("num_workers", 1.5, "num_workers: 1.5 at position 0 is not an integral number"),
    ("prefetch_factor", "2", "prefetch_factor must hold integers"),
    ("shuffle_seed", 0.5, "shuffle_seed: 0.5 at position 0 is not an integral number"),
    ("batch_size", 0, "batch_size and prefetch_factor must be positive"),
    ("num_workers", -1, "num_workers not negative"),
])
def test_counts_that_are_not_whole_or_in_range_are_refused_by_name(shop_dir, option, value, message):
    # A fractional batch size used to fail later as a slice error, far from its cause.
    with pytest.raises(ValueError, match=re.escape(message)):
        loader_for(shop_dir, **{option: value})


def test_whole_floats_are_taken_as_their_integers(shop_dir):
    _, _, loader = loader_for(shop_dir, batch_size=16.0, prefetch_factor=np.int32(3))
    assert (loader.batch_size, loader.prefetch_factor) == (16, 3) and type(loader.batch_size) is int


def test_an_epoch_is_the_same_with_0_1_and_2_workers(shop_dir):
    epochs = {}
    for workers in (0, 1, 2):
        _, loader = random_loader(shop_dir, num_workers=workers)
        with loader:
            loader.set_epoch(3)
            epochs[workers] = [batch_arrays(batch) for batch in loader]
    assert len(epochs[0]) > 4
    assert_same_batches(epochs[1], epochs[0])
    assert_same_batches(epochs[2], epochs[0])
    # The streams do show: another sampler_seed samples other neighbours for the same seeds.
    _, other = random_loader(shop_dir, sampler_seed=124)
    other.set_epoch(3)
    changed = [not np.array_equal(a["nodes", "transactions"], b["nodes", "transactions"])
               for a, b in zip(epochs[0], map(batch_arrays, other))]
    assert sum(changed) > len(changed) // 2


# ---- shared memory -----------------------------------------------------------------------

def test_worker_batches_arrive_mapped_and_are_freed_when_dropped(shop_dir):
    seeds, times, loader = loader_for(shop_dir, num_workers=2, shuffle=False)
    _, _, local = loader_for(shop_dir, shuffle=False)
    expected = [batch_arrays(batch) for batch in local]
    with loader:
        batches = list(loader)
        assert memfd_mappings() == len(batches)
        assert_same_batches([batch_arrays(b) for b in batches], expected)
        node = batches[0].nodes["customers"]
        assert node.flags.writeable and node.base is not None  # a view of the mapping, not a copy
        del batches, node
        assert memfd_mappings() == 0

        # A batch the caller drops is unmapped then, not when the next one is asked for.
        iterator = iter(loader)
        for _ in range(3):
            batch = next(iterator)
            mapped = memfd_mappings()  # a result that came early from the other worker is mapped too
            del batch
            assert memfd_mappings() == mapped - 1
        iterator.close()

        # An epoch abandoned part-way leaves nothing mapped and nothing open in the workers.
        iterator = iter(loader)
        first = next(iterator)
        iterator.close()
        assert memfd_mappings() == 1
        del first
        assert memfd_mappings() == 0
        # Every file is back with its worker, which keeps a few for the next batches.
        assert loader.files_out() == 0
        assert all(0 < memfd_descriptors(w.pid) <= loader.prefetch_factor + 2 for w in loader.worker_processes)
        loader.set_epoch(0)
        assert_same_batches([batch_arrays(b) for b in loader][:1], [expected[0]])  # the next epoch starts clean
        workers = list(loader.worker_processes)
    assert all(not w.is_alive() for w in workers) and memfd_mappings() == 0


def test_workers_write_into_files_given_back(shop_dir):
    """A batch held by the training process keeps its file; the worker writes
    the next ones into other files, and reuses the held one once it is dropped."""
    _, _, local = loader_for(shop_dir, shuffle=False)
    expected = [batch_arrays(batch) for batch in local]
    _, _, loader = loader_for(shop_dir, num_workers=1, shuffle=False, prefetch_factor=1)
    with loader:
        for _ in range(3):  # epochs: the files are reused, never added to
            held = []
            for number, batch in enumerate(loader):
                assert_same_batches([batch_arrays(batch)], [expected[number]])
                if number < 5:
                    held.append(batch)  # more than the worker keeps: it falls back to fresh files
                del batch
            assert loader.files_out() <= loader.prefetch_factor + 2
            assert_same_batches([batch_arrays(b) for b in held], expected[:5])  # none overwritten
            del held
            assert loader.files_out() == 0 and memfd_mappings() == 0
            assert memfd_descriptors(loader.worker_processes[0].pid) == loader.prefetch_factor + 2


def test_batches_made_in_their_files_arrive_whole(shop_dir):
    """Arrays made in a file before it grew stay on its old mapping, a fresh
    file serves while the only one is out, and a batch arrives equal to one
    made in ordinary memory."""
    from multiprocessing.connection import Connection

    from vornlib_tools import Graph
    from vornlib_tools import _transport as transport

    graph = Graph.load(shop_dir)
    seeds, times, _ = loader_for(shop_dir)
    request = graph.request({key: [4, 2] for key in graph.keys})
    outbox = transport.Outbox(1)
    here, there = socket.socketpair()
    sender, receiver = Connection(here.detach()), Connection(there.detach())
    with sender, receiver:
        received = []
        for size in (5, 60, 30):  # a file that grows, then a fresh one while the first batch is held
            sample = {"entity_table": "customers", "seed_node": seeds[:size], "seed_time": times[:size],
                      "request": request, "sampler_seed": size}
            with outbox.writer() as writer:
                writer.send(sender, (0, size), graph.sample_nodes(**sample, empty=writer.empty))
            *_, body = pickle.loads(receiver.recv_bytes())
            received.append((transport.receive(receiver, body, outbox.board), graph.sample_nodes(**sample)))
            assert body[2] == (0 if size == 5 else -1)  # the slot: the first batch keeps the only file
        assert_same_batches([batch_arrays(got) for got, _ in received],
                            [batch_arrays(expected) for _, expected in received])
        del received
        assert outbox.board[0] == 0  # given back with the batch


def test_a_file_whose_arrays_the_worker_still_holds_is_not_written_again(shop_dir):
    _, _, local = loader_for(shop_dir, shuffle=False)
    expected = [batch_arrays(batch) for batch in local]
    _, _, loader = loader_for(shop_dir, num_workers=1, shuffle=False, prefetch_factor=1,
                              transform=two_batches_late)
    with loader:
        got = [batch_arrays(batch) for batch in loader]

    def sampled(arrays):  # the payload is the training process's own, attached to what arrives
        return {key: values for key, values in arrays.items() if key[0] != "payload"}

    assert_same_batches([sampled(a) for a in got], [sampled(a) for a in expected[:2] + expected[:-2]])


def test_a_kept_batch_holds_no_file_descriptor(shop_dir):
    # With more batches kept than a process may hold descriptors, a descriptor
    # per batch failed as "received 0 items of ancdata", reported as a dead worker.
    _, _, loader = loader_for(shop_dir, num_workers=1, batch_size=1, shuffle=False)
    with loader:
        loader.start()
        before = len(os.listdir("/proc/self/fd"))
        kept = [batch for _ in range(6) for batch in loader]
        assert len(kept) > 1000
        assert memfd_mappings() == len(kept)
        assert len(os.listdir("/proc/self/fd")) == before
        del kept
        assert memfd_mappings() == 0


def test_what_shared_memory_cannot_carry_is_pickled(shop_dir):
    _, _, counted = loader_for(shop_dir, num_workers=1, transform=counts_only, shuffle=False)
    _, _, local = loader_for(shop_dir, transform=counts_only, shuffle=False)
    _, _, objects = loader_for(shop_dir, num_workers=1, transform=with_object_array)
    with counted, objects:
        assert list(counted) == list(local)
        batch = next(iter(objects))
        assert batch.times["names"].tolist() == ["a", None]
        assert memfd_mappings() == 0  # pickled whole


def test_features_gathered_in_workers_match_the_training_process_gather(shop_dir):
    """Batch.with_features as the transform: the gathered matrices travel with
    the batch, equal to what features() gathers in the training process, and
    trim() keeps them aligned with the nodes."""
    from vornlib_tools import Graph

    graph = Graph.load(shop_dir)
    assert graph.features, "the synthetic shop has feature columns"
    _, _, loader = loader_for(shop_dir, num_workers=1, transform=Batch.with_features, shuffle=False)
    _, _, plain = loader_for(shop_dir, shuffle=False)
    with loader:
        for gathered, batch in zip(loader, plain):
            assert gathered.feature_values.keys() == graph.features.keys()
            expected = batch.features(graph)
            for name, (values, known) in gathered.features(graph).items():
                np.testing.assert_array_equal(values, expected[name][0])
                np.testing.assert_array_equal(known, expected[name][1])
            trimmed = gathered.trim(1)
            for name, values in trimmed.feature_values.items():
                assert len(values) == len(trimmed.nodes[name]) == len(trimmed.feature_known[name])


# ---- the task queue ------------------------------------------------------------------------

def test_tasks_larger_than_the_pipe_never_block_the_training_process():
    """The training process must not block on a full pipe (a worker may be
    blocked on sending it a result): what does not fit waits in a backlog, and
    the workers read every task whole, in order, small ones written at once
    among them."""
    import multiprocessing

    from vornlib_tools._loader import _TaskQueue

    tasks = _TaskQueue(multiprocessing.get_context("spawn"))
    sent = [("small", 0)] + [("large", number, np.full(20_000, number)) for number in range(1, 8)] + [("small", 8)]
    putting = threading.Thread(target=lambda: [tasks.put(task) for task in sent], daemon=True)
    putting.start()
    putting.join(timeout=5)
    assert not putting.is_alive(), "put() blocked on a full pipe"
    received = [tasks.get(timeout=5) for _ in sent]
    assert [task[:2] for task in received] == [task[:2] for task in sent]
    for got, task in zip(received[1:-1], sent[1:-1]):
        np.testing.assert_array_equal(got[2], task[2])
    with pytest.raises(queue.Empty):
        tasks.get(timeout=0.01)
    # Closed with a backlog the workers will never read: its thread ends.
    for number in range(8):
        tasks.put(("large", number, np.zeros(20_000)))
    tasks.close()
    tasks._thread.join(timeout=5)
    assert not tasks._thread.is_alive()


# ---- failures ----------------------------------------------------------------------------

def test_a_failure_in_a_worker_ends_the_epoch_with_its_error(shop_dir, tmp_path):
    # A failed sampling call: its error, noted with the worker's traceback.
    seeds, _, failing = loader_for(shop_dir, num_workers=1)
    failing.seed_node = failing.seed_node.copy()
    failing.seed_node[:] = 10**9  # no such customer
    with failing:
        with pytest.raises(RuntimeError, match="out of range") as caught:
            next(iter(failing))
        assert failing.files_out() == 0  # the file the batch was to be made in is free again
    assert any("sampling worker 0" in note for note in caught.value.__notes__)
    # A raising transform on the third batch: the first two arrive, then its error, at once.
    _, _, loader = loader_for(shop_dir, num_workers=2, shuffle=False,
                              transform=RefuseSeed(int(seeds[32]), str(tmp_path / "refused")))  # batch 2's first seed
    with loader:
        iterator = iter(loader)
        next(iterator), next(iterator)
        started = time.monotonic()
        with pytest.raises(ValueError, match="refused the third batch") as caught:
            next(iterator)
        assert time.monotonic() - started < FAILURE_BOUND_SECONDS
        assert any(re.match(r"in sampling worker [01]:", note) and "test_loader.py" in note
                   for note in caught.value.__notes__)
        workers = loader.worker_processes
        assert len(list(loader)) == len(loader) and loader.worker_processes == workers  # and serve the next epoch


def test_a_killed_worker_ends_the_epoch_at_once(shop_dir):
    # Killed before the epoch: the first batch asked for raises.
    _, _, idle = loader_for(shop_dir, num_workers=1)
    with idle:
        idle.start()
        worker = idle.worker_processes[0]
        os.kill(worker.pid, signal.SIGKILL)
        worker.join()
        with pytest.raises(RuntimeError, match="worker died .*exit code -9"):
            next(iter(idle))
    # Killed in the middle of one: the epoch ends at once, its memory is freed, new workers serve the next.
    _, _, loader = loader_for(shop_dir, num_workers=2, transform=slow, prefetch_factor=4)
    with loader:
        iterator = iter(loader)
        held = next(iterator)
        victim = loader.worker_processes[1]
        os.kill(victim.pid, signal.SIGKILL)
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="vornlib-sampler-1 exit code -9"):
            collections.deque(iterator, maxlen=0)  # holds no batch
        assert time.monotonic() - started < FAILURE_BOUND_SECONDS
        assert loader.worker_processes == () and not victim.is_alive()
        del held, iterator
        assert memfd_mappings() == 0
        assert len(list(loader)) == len(loader)  # new workers


# ---- the lifecycle of iterations ---------------------------------------------------------

def within(seconds, work):
    """work()'s result; fails, rather than hangs, if it takes longer than seconds."""
    outcome = {}

    def run():
        try:
            outcome["value"] = work()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"still running after {seconds} s"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def expected_epochs(directory, epochs, **options):
    _, _, local = loader_for(directory, **options)
    result = []
    for epoch in epochs:
        local.set_epoch(epoch)
        result.append([batch_arrays(batch) for batch in local])
    return result


@pytest.mark.parametrize("workers", [0, 2])
def test_two_iterations_over_one_loader_both_work(shop_dir, workers):
    first_epoch, second_epoch = expected_epochs(shop_dir, [0, 1])
    _, _, loader = loader_for(shop_dir, num_workers=workers, prefetch_factor=1)
    with loader:
        def interleaved():
            first = iter(loader)  # epoch 0
            got_first = [batch_arrays(next(first)) for _ in range(2)]
            second = iter(loader)  # epoch 1, while the first is live
            got_second = []
            for batch in second:
                got_second.append(batch_arrays(batch))
                if len(got_first) < len(first_epoch):
                    got_first.append(batch_arrays(next(first)))
            got_first += [batch_arrays(batch) for batch in first]
            return got_first, got_second

        got_first, got_second = within(60, interleaved)
        assert_same_batches(got_first, first_epoch)
        assert_same_batches(got_second, second_epoch)
        assert loader.files_out() == 0 and memfd_mappings() == 0


@pytest.mark.parametrize("workers", [0, 2])
def test_next_after_close_raises_a_clear_error(shop_dir, workers):
    _, _, loader = loader_for(shop_dir, num_workers=workers)
    iterator = iter(loader)
    held = next(iterator)
    loader.close()
    for _ in range(2):  # and again: an ended iteration never hangs or yields
        with pytest.raises(RuntimeError, match=r"ended when the loader was closed .* iter\(loader\)"):
            within(10, lambda: next(iterator))
    assert held.nodes["customers"].size > 0  # a batch taken before stays whole
    del held
    assert memfd_mappings() == 0
    with loader:
        assert within(60, lambda: len(list(loader))) == len(loader)  # a new iteration starts new workers


def test_an_abandoned_loop_gives_its_shared_memory_back(shop_dir):
    _, _, loader = loader_for(shop_dir, num_workers=2, transform=slow)
    with loader:
        for batch in loader:
            break
        del batch
        assert memfd_mappings() == 0 and loader.files_out() == 0  # the batches in flight were taken back
        assert len(list(loader)) == len(loader)


def test_workers_ignore_sigint(shop_dir):
    expected, = expected_epochs(shop_dir, [0], shuffle=False)
    _, _, loader = loader_for(shop_dir, num_workers=2, shuffle=False, transform=slow)
    with loader:
        iterator = iter(loader)
        got = [batch_arrays(next(iterator))]
        for worker in loader.worker_processes:
            os.kill(worker.pid, signal.SIGINT)  # Ctrl+C is the training process's, not theirs
        got += [batch_arrays(batch) for batch in iterator]
        assert_same_batches(got, expected)
        assert all(worker.is_alive() for worker in loader.worker_processes)


def test_ctrl_c_in_a_loop_stops_the_workers_quietly(shop_dir):
    with ChildGroup([sys.executable, str(CHILD), str(shop_dir), "ctrl-c"], cwd=CHILD.parent) as child:
        assert child.line(60) == "looping"
        os.killpg(child.pid, signal.SIGINT)  # as a terminal sends Ctrl+C: to the whole group
        returncode, output, errors = child.finish(60)
    assert returncode == 0 and errors == "", errors  # not a word from the workers
    assert len(json.loads(output.splitlines()[-1])) == 2
    assert child.left_behind == []  # nor any process left behind


def test_workers_stop_when_the_training_process_is_killed(shop_dir):
    with ChildGroup([sys.executable, str(CHILD), str(shop_dir), "killed"], cwd=CHILD.parent) as child:
        workers = json.loads(child.line(60))  # printed once they wait for tasks
        os.kill(child.pid, signal.SIGKILL)  # no close(), no sentinel: only the workers can notice
        returncode, _, _ = child.finish(60, grace=10)
    assert returncode == -signal.SIGKILL
    assert child.left_behind == [], f"left running: {child.left_behind}, workers were {workers}"


def test_ctrl_c_while_waiting_for_a_batch_stops_the_workers_there(shop_dir):
    _, _, loader = loader_for(shop_dir, num_workers=2, transform=stalled)
    with loader:
        iterator = iter(loader)
        workers = list(loader.worker_processes)
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            next(iterator)  # waits for a batch that takes seconds
        assert loader.worker_processes == () and not any(worker.is_alive() for worker in workers)
        with pytest.raises(RuntimeError, match="ended when the loader was closed"):
            next(iterator)
        loader.transform = None  # for the workers the next iteration starts
        assert len(list(loader)) == len(loader)
        assert memfd_mappings() == 0


# ---- torch.utils.data ------------------------------------------------------------------

@pytest.mark.torch
def test_dataset_view_gives_the_loaders_epoch_through_torch_workers(shop_dir):
    torch = pytest.importorskip("torch")
    _, loader = random_loader(shop_dir)
    loader.set_epoch(2)
    expected = [batch_arrays(batch) for batch in loader]
    dataset = loader.as_dataset()
    dataset.set_epoch(2)
    assert len(dataset) == len(expected)
    data = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2, multiprocessing_context="spawn")
    got = []
    for batch in data:
        assert isinstance(batch.nodes["customers"], torch.Tensor)
        got.append(batch_arrays(batch))
    assert_same_batches(got, expected)


@pytest.mark.torch
def test_pinning_covers_every_tensor_and_shared_batches_convert_in_place(shop_dir, monkeypatch):
    torch = pytest.importorskip("torch")
    _, _, loader = loader_for(shop_dir, num_workers=1)
    with loader:
        batch = next(iter(loader))
        tensors = batch.to_torch()  # a mapped batch converts without a copy (and without a warning)
        assert tensors.nodes["customers"].data_ptr() == batch.nodes["customers"].ctypes.data
        # No GPU here: pinning is replaced by a copy, which shows in every tensor it reached.
        monkeypatch.setattr(torch.Tensor, "pin_memory", lambda self, *args, **kwargs: self.clone())
        pinned = batch.pin_memory()
    for field in ("nodes", "batches", "times", "hops", "edge_index", "payload"):
        for key, tensor in getattr(pinned, field).items():
            if tensor.numel() == 0:
                continue
            assert tensor.data_ptr() != getattr(tensors, field)[key].data_ptr(), (field, key)
            assert torch.equal(tensor, getattr(tensors, field)[key])
    assert pinned.seed_node.data_ptr() != tensors.seed_node.data_ptr()
