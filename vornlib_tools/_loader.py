"""Mini-batches over a seed table, sampled in the main process or in worker processes.

The main process owns the seed table and the order of every epoch: it cuts the
(shuffled) table into batches and sends each worker only the seed ids and times
of its batches, with the number of the batch. Because the order is decided
where the seeds live, a new epoch is shuffled anew even though the workers
persist.

Every batch is sampled by a sampler built for it, whose seed is derived from
(sampler_seed, epoch, shard rank, batch number) alone (batch_stream_seed). A
batch therefore holds the same nodes whichever process samples it and however
many workers there are. Building a sampler reads the graph's arrays in place;
it costs microseconds, next to milliseconds for a batch.

Each worker process memory-maps the graph directory once, takes its next
batch from one queue all workers share as soon as it is free (a worker slowed
down on one batch holds up no batch dealt to it), and returns its batches
through shared memory (vornlib_tools._transport): the training process maps a
batch's arrays instead of unpickling them, and the memory goes back to the
worker when the batch is dropped. Whatever a transform returns besides a Batch
of numpy arrays is pickled.

Each iteration is an iterator of its own, with its own batches in flight, so
two iterations over one loader both work. Workers ignore SIGINT: Ctrl+C is the
training process's to handle, and one that lands while it waits for a batch
stops the workers at once and without a word from them (the next iteration
starts new ones). A worker whose training process is gone (killed outright)
stops by itself within a second.

Workers are started with the "spawn" method by default: a worker forked from a
process that already runs threads (torch, BLAS) may deadlock, and Python 3.13
warns about such a fork.
"""

from __future__ import annotations

import collections
import fcntl
import functools
import multiprocessing
import os
import pickle
import queue
import selectors
import signal
import struct
import termios
import threading
import traceback
import warnings
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from typing import Any

import numpy as np

from vornlib_tools import _transport as transport
from vornlib_tools._batch import Batch
from vornlib_tools._convert import whole_numbers
from vornlib_tools._graph import SAMPLER_SEED, Graph
from vornlib_tools._renamed import renamed_arguments

# How long the main process waits for a message before it looks again (it wakes
# at once when a worker exits; this only bounds the wait between checks), and
# how long an idle worker waits for a task before it checks that the training
# process is still there.
_POLL_SECONDS = 1.0
# What a worker sends once it has mapped the graph.
_READY = "ready"


def batch_stream_seed(sampler_seed: int, epoch: int, rank: int, number: int) -> int:
    """The seed of the sampler that samples batch `number` of epoch `epoch` on
    shard `rank`: the first 32-bit word numpy's SeedSequence draws from the
    entropy (sampler_seed, epoch, rank, number), read as the signed C int the
    sampler's seed argument is (the sampler takes it as the same 32 bits)."""
    word = np.random.SeedSequence([sampler_seed, epoch, rank, number]).generate_state(1, np.uint32)
    return int(word.view(np.int32)[0])


class _Sampling:
    """One graph and one request shape; lives in the process that samples."""

    def __init__(self, graph: Graph | str | os.PathLike, with_time: bool, entity_table: str,
                 request: tuple[dict, dict], transform: Callable[[Batch, Graph], Any] | None) -> None:
        self.graph = graph if isinstance(graph, Graph) else Graph.load(graph, mmap=True)
        self.with_time, self.entity_table, self.transform = with_time, entity_table, transform
        self.request = request

    def __call__(self, seed_node: np.ndarray, seed_time: np.ndarray, stream_seed: int, empty=np.empty) -> Batch:
        """Samples one batch with a sampler of its own, seeded with stream_seed."""
        return self.graph.sample_nodes(self.entity_table, seed_node, seed_time, self.request,
                                       sampler_seed=stream_seed, with_time=self.with_time, empty=empty)

    def item(self, seed_node: np.ndarray, seed_time: np.ndarray, stream: tuple[int, int, int, int],
             empty=np.empty) -> Any:
        """What the loader yields for one batch: the batch, or what the transform
        makes of it. stream: batch_stream_seed's arguments, derived here, where
        the sampling is, and not in the training process. empty: as Batch.from_sample takes it."""
        batch = self(seed_node, seed_time, batch_stream_seed(*stream), empty)
        return batch if self.transform is None else self.transform(batch, self.graph)


def _files_per_worker(prefetch_factor: int) -> int:
    """Memory files a worker keeps: its batches in flight, the one being
    trained on and the one whose arrays are being dropped."""
    return prefetch_factor + 2


@contextmanager
def _sigint_ignored():
    """SIGINT ignored while workers start: a spawned worker then starts with it
    ignored (Python keeps it so) and a forked one inherits that, so a Ctrl+C
    meant for the training process never interrupts a worker, not even while
    it imports. Only the main thread may change a handler; elsewhere the
    worker ignores SIGINT itself, once it runs."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _raw_arrays(task: tuple | None) -> tuple | None:
    """The task with each plain array as (dtype, shape, bytes), and the
    positions of those first: pickling the seed arrays as arrays took the
    training process six times as long."""
    if task is None:
        return None
    arrays = tuple(i for i, value in enumerate(task) if isinstance(value, np.ndarray) and not value.dtype.hasobject)
    return (arrays, *(((value.dtype.str, value.shape, value.tobytes()) if i in arrays else value)
                      for i, value in enumerate(task)))


def _from_raw_arrays(raw: tuple | None) -> tuple | None:
    """_raw_arrays undone: the arrays are new and writable."""
    if raw is None:
        return None
    arrays, *values = raw
    for i in arrays:
        dtype, shape, data = values[i]
        values[i] = np.frombuffer(data, np.dtype(dtype)).reshape(shape).copy()
    return tuple(values)


class _TaskQueue:
    """The one queue of tasks every worker takes from: a pipe the training
    process writes and the workers read, one at a time. A task is written at
    once when the pipe has room for all of it, which is nearly always; a queue
    with a thread that writes every item costs the training process a thread
    wake-up and a switch per batch. A task the pipe has no room for waits in a
    backlog that a thread writes as the workers read: the training process
    must never block on a full pipe, since a worker may be blocked in turn on
    sending it a large result."""

    def __init__(self, context) -> None:
        self._reader, self._writer = context.Pipe(duplex=False)
        self._read_lock = context.Lock()
        self._capacity = fcntl.fcntl(self._writer.fileno(), fcntl.F_GETPIPE_SZ)
        # Tasks the pipe had no room for, oldest first. The thread writes a task
        # while it is still here, so that a writer finds the backlog empty only
        # when nobody else writes: the two never write at once.
        self._backlog: collections.deque = collections.deque()
        self._waiting = threading.Condition(threading.Lock())
        self._thread: threading.Thread | None = None
        self._closed = False
        self._unread_at_most = 0  # bytes in the pipe, at most: what was written since the pipe was last asked

    def __getstate__(self) -> dict:
        """What a worker gets: the read end and its lock."""
        return {"_reader": self._reader, "_read_lock": self._read_lock}

    def put(self, task) -> None:
        data = pickle.dumps(_raw_arrays(task), protocol=pickle.HIGHEST_PROTOCOL)
        with self._waiting:
            if not self._backlog:
                # Only this process writes, so the room seen here stays. The
                # length header takes 4 bytes, or 12 for 2 GiB or more.
                size = len(data) + 12
                if self._unread_at_most + size > self._capacity:
                    self._unread_at_most = self._queued()  # asked only when it may matter
                if self._unread_at_most + size <= self._capacity:
                    self._writer.send_bytes(data)
                    self._unread_at_most += size
                    return
            self._backlog.append(data)
            if self._thread is None:
                self._thread = threading.Thread(target=self._write_backlog, name="vornlib-tasks", daemon=True)
                self._thread.start()
            self._waiting.notify()

    def _queued(self) -> int:
        """Bytes written and not yet read."""
        return struct.unpack("i", fcntl.ioctl(self._writer.fileno(), termios.FIONREAD, bytes(4)))[0]

    def _write_backlog(self) -> None:
        while True:
            with self._waiting:
                while not self._backlog and not self._closed:
                    self._waiting.wait()
                if self._closed:
                    return
                data = self._backlog[0]
            try:
                self._writer.send_bytes(data)  # blocks until the workers read
            except OSError:
                return  # closed: the workers are gone
            with self._waiting:
                self._unread_at_most += len(data) + 12
                if self._backlog and self._backlog[0] is data:  # not if close() emptied it meanwhile
                    self._backlog.popleft()

    def get(self, timeout: float):
        """The next task; queue.Empty after timeout seconds without one."""
        if not self._read_lock.acquire(timeout=timeout):
            raise queue.Empty
        try:
            if not self._reader.poll(timeout):
                raise queue.Empty
            data = self._reader.recv_bytes()
        finally:
            self._read_lock.release()
        return _from_raw_arrays(pickle.loads(data))

    def close(self) -> None:
        """Stops the thread; what the workers never read is dropped."""
        with self._waiting:
            self._closed = True
            self._backlog.clear()
            self._waiting.notify()
        self._reader.close()  # a write blocked on a full pipe then fails
        self._writer.close()


def _next_task(tasks: _TaskQueue, parent) -> tuple | None:
    """The next task of the shared queue, or None (stop) once the training
    process has gone. A training process killed outright (kill -9, the OOM
    killer) sends no sentinel, and its workers (forked ones hold the queue's
    write end too) would otherwise wait forever with their memory files."""
    while True:
        try:
            return tasks.get(timeout=_POLL_SECONDS)
        except queue.Empty:
            if parent is not None and not parent.is_alive():
                return None


def _worker_main(settings: dict, files: int, tasks, conn) -> None:
    """A worker process: sample every task of the shared queue until a None
    sentinel arrives or the training process is gone."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        sampling, failure = _Sampling(**settings), None
    except Exception as error:  # reported with the first task, where the main process waits
        sampling, failure = None, (error, traceback.format_exc())
    outbox = transport.Outbox(files)
    conn.send(_READY)
    outbox.share(conn)
    parent = multiprocessing.parent_process()
    while (task := _next_task(tasks, parent)) is not None:
        token, number, seed_node, seed_time, stream = task
        if failure is not None:
            transport.fail(conn, (token, number), *failure)
            continue
        writer = outbox.writer()  # the batch is made in the file it is sent through
        try:
            item = sampling.item(seed_node, seed_time, stream, writer.empty)
        except Exception as error:
            writer.close()  # the file is free again before the failure is reported
            transport.fail(conn, (token, number), error, traceback.format_exc())
            continue
        with writer:
            writer.send(conn, (token, number), item)
            del item  # its arrays are not kept while the worker waits for the next task


def _old_call_form(init: Callable) -> Callable:
    """SeedLoader's first form, (graph, seed_node, seed_time, *, entity_table=...),
    taken for one more release with a warning: entity_table now comes second,
    as in Graph.sample."""

    @functools.wraps(init)
    def call(self, graph, *args, **kwargs):
        if len(args) == 2 and "entity_table" in kwargs and "seed_node" not in kwargs:
            warnings.warn("SeedLoader(graph, seed_node, seed_time, entity_table=...) is now SeedLoader(graph, "
                          "entity_table, seed_node, seed_time), as Graph.sample takes them; the old order stops "
                          "working in the next release", FutureWarning, stacklevel=2)
            args = (kwargs.pop("entity_table"), *args)
        return init(self, graph, *args, **kwargs)

    return call


class SeedLoader:
    """Iterates over a seed table in mini-batches of sampled subgraphs.

    seed_node and seed_time are the table's entities and prediction times,
    converted once by the graph's rules (Graph.seed_nodes, Graph.seed_times):
    primary key values (or node indices, with index=True or for a table
    without a key) and datetimes (integers only on a graph whose clock is bare
    integers), one per seed or one for all; "own" takes the entities' own timestamps, and None is refused on
    a graph with timestamps (with_time=False samples without them). Edge types
    the request leaves out sample nothing; a window that ends after the seed
    time is refused unless allow_future. payload holds per-seed arrays
    (labels, weights), which are cut alongside and delivered in Batch.payload.

    graph is a graph directory (str or Path), or, for num_workers=0 only, a
    Graph. The arguments Graph.sample also takes have its names and order:
    entity_table, seed_node, seed_time, then by name the request, index,
    allow_future, payload and sampler_seed. Each iteration is one epoch and
    yields Batch objects (or whatever transform, called in the worker as
    transform(batch, graph), returns; its payload is then not attached). As
    with torch's DataLoader, shuffle is off unless asked for; with it, epoch e
    visits the seeds in the order of a permutation drawn from (shuffle_seed,
    e). The epoch counts up by one per iteration unless set_epoch fixes it.
    prefetch_factor batches per worker are in flight at a time;
    multiprocessing_context (a start method's name or a context) starts the
    workers.

    Batches do not depend on the workers: batch b of epoch e (on shard rank r)
    is sampled by a sampler seeded with batch_stream_seed(sampler_seed, e, r, b),
    so an epoch yields the same batches, in the same order, with 0, 1 or any
    number of workers, and a rerun with the same seeds yields them again.

    shard=(rank, world_size) keeps one of world_size equal, disjoint slices of
    every epoch's order (the remainder is dropped so that every rank gets the
    same number of batches), as data-parallel training needs.

    Workers start on the first iteration and stay until close() (or the end of
    a with block, or garbage collection). Each iteration is an iterator of its
    own, so two may run at once; one started before close() raises
    RuntimeError when asked for more. Batches arrive through shared memory,
    which goes back to its worker when the batch (every array of it) is
    dropped or its iteration is closed or abandoned, and is freed when the
    worker stops. A failed call or transform in a worker raises its exception
    here, with the worker's traceback as a note; a worker that dies raises
    RuntimeError at once. Either ends the epoch; the next iteration starts
    afresh. Workers ignore SIGINT; a Ctrl+C that lands while the training
    process waits for a batch stops them there and then.

    as_dataset() gives the same epochs as a torch IterableDataset, for
    torch.utils.data.DataLoader.
    """

    @_old_call_form
    @renamed_arguments(seed="shuffle_seed", prefetch="prefetch_factor", start_method="multiprocessing_context")
    def __init__(self, graph: Graph | str | os.PathLike, entity_table: str, seed_node: np.ndarray,
                 seed_time: np.ndarray | None, *, num_neighbors: Mapping, sampling_time_offsets: Mapping | None = None,
                 index: bool | None = None, allow_future: bool = False, payload: Mapping[str, np.ndarray] | None = None,
                 sampler_seed: int = SAMPLER_SEED, batch_size: int = 512, shuffle: bool = False, shuffle_seed: int = 0,
                 drop_last: bool = False, num_workers: int = 0, prefetch_factor: int = 2,
                 multiprocessing_context: str | Any = "spawn", with_time: bool = True, shard: tuple[int, int] = (0, 1),
                 transform: Callable[[Batch, Graph], Any] | None = None) -> None:
        # Seeds and the request are converted once, here, by the graph's rules.
        view = graph if isinstance(graph, Graph) else Graph.load(graph, mmap=True)
        self.seed_node = view.seed_nodes(entity_table, seed_node, index=index)
        self.seed_time = view.seed_times(entity_table, self.seed_node, seed_time) if with_time else None
        if self.seed_time is not None and self.seed_time.size == 0:
            self.seed_time = None
        request = view.request(num_neighbors, sampling_time_offsets, allow_future=allow_future)
        self.payload = {name: np.asarray(values) for name, values in (payload or {}).items()}
        for name, values in [("seed_time", self.seed_time), *self.payload.items()]:
            if values is not None and len(values) != len(self.seed_node):
                raise ValueError(f"{name} has {len(values)} entries for {len(self.seed_node)} seeds")
        rank, world_size = shard
        if not 0 <= rank < world_size:
            raise ValueError(f"shard rank {rank} is not within 0..{world_size - 1}")
        batch_size, num_workers, prefetch_factor, sampler_seed, shuffle_seed = (
            int(whole_numbers(value, name)) for value, name in [
                (batch_size, "batch_size"), (num_workers, "num_workers"), (prefetch_factor, "prefetch_factor"),
                (sampler_seed, "sampler_seed"), (shuffle_seed, "shuffle_seed")])
        if batch_size < 1 or num_workers < 0 or prefetch_factor < 1:
            raise ValueError("batch_size and prefetch_factor must be positive and num_workers not negative")
        if sampler_seed < 0:
            raise ValueError(f"sampler_seed must not be negative, got {sampler_seed}")
        if num_workers and isinstance(graph, Graph):
            raise ValueError("worker processes map the graph from its directory: pass the directory")
        self.batch_size, self.shuffle, self.drop_last, self.shuffle_seed = batch_size, shuffle, drop_last, shuffle_seed
        self.num_workers, self.prefetch_factor, self.shard = num_workers, prefetch_factor, (rank, world_size)
        self.sampler_seed = sampler_seed
        self.epoch = 0
        self._epoch_fixed = False
        self._context = multiprocessing_context
        self._settings = dict(graph=graph if isinstance(graph, Graph) else str(graph), with_time=with_time,
                              entity_table=entity_table, request=request, transform=transform)
        self._local: _Sampling | None = None
        self._reset_workers()
        self._token = 0
        self._generation = 0  # counts close(): an iteration started before one has ended
        self._epochs: weakref.WeakValueDictionary[int, _WorkerIteration] = weakref.WeakValueDictionary()

    def _reset_workers(self) -> None:
        self._workers: list = []
        self._tasks = None  # the queue all workers take their tasks from
        self._conns: list = []  # per worker: the connection its results come over
        self._boards: dict = {}  # worker index -> the mapping of its outbox's board
        self._selector: selectors.BaseSelector | None = None  # the connections and the workers' exits
        self._receiving = False

    # ---- epoch order ---------------------------------------------------------

    def set_epoch(self, epoch: int) -> None:
        """Fixes the epoch of the next iteration (and so its order and its samples)."""
        if epoch < 0:
            raise ValueError(f"epoch must not be negative, got {epoch}")
        self.epoch, self._epoch_fixed = epoch, True

    def order(self, epoch: int) -> np.ndarray:
        """This shard's seed positions in epoch `epoch`, in visiting order."""
        count = len(self.seed_node)
        positions = (np.random.default_rng([self.shuffle_seed, epoch]).permutation(count) if self.shuffle
                     else np.arange(count))
        rank, world_size = self.shard
        if world_size > 1:
            per_rank = count // world_size
            positions = positions[rank * per_rank:(rank + 1) * per_rank]
        if self.drop_last:
            positions = positions[:len(positions) - len(positions) % self.batch_size]
        return positions

    def batches(self, epoch: int) -> list[np.ndarray]:
        """The seed positions of each batch of epoch `epoch`, in order."""
        positions = self.order(epoch)
        return [positions[start:start + self.batch_size] for start in range(0, len(positions), self.batch_size)]

    def __len__(self) -> int:
        return -(-len(self.order(self.epoch)) // self.batch_size)

    def _next_epoch(self) -> int:
        epoch = self.epoch
        self.epoch, self._epoch_fixed = (epoch, False) if self._epoch_fixed else (epoch + 1, False)
        return epoch

    def __iter__(self) -> Iterator[Any]:
        """One epoch: an iterator of its own, so two iterations both work; an
        iteration started before close() raises RuntimeError once it is asked
        for more."""
        epoch = self._next_epoch()
        batches = self.batches(epoch)
        return (_WorkerIteration if self.num_workers else _LocalIteration)(self, epoch, batches)

    def _attach(self, picked: np.ndarray, item: Any) -> Any:
        if isinstance(item, Batch):
            item.payload = {name: values[picked] for name, values in self.payload.items()}
        return item

    def _task(self, epoch: int, number: int, picked: np.ndarray) -> tuple[np.ndarray, np.ndarray, tuple]:
        """(seed ids, seed times, what its stream seed derives from) of one batch."""
        times = self.seed_time[picked] if self.seed_time is not None else np.empty(0, dtype=np.int64)
        return self.seed_node[picked], times, (self.sampler_seed, epoch, self.shard[0], number)

    def sample_batches(self, epoch: int, numbers: Iterable[int]) -> Iterator[Any]:
        """Batches `numbers` of epoch `epoch`, sampled in this process one at a
        time: what an iteration yields for them (a torch DataLoader worker
        samples its share of an epoch so)."""
        batches = self.batches(epoch)
        sampling = self._sampling()
        for number in numbers:
            yield self._attach(batches[number], sampling.item(*self._task(epoch, number, batches[number])))

    # ---- sampling --------------------------------------------------------------

    def _sampling(self) -> _Sampling:
        if self._local is None:
            self._local = _Sampling(**self._settings)
        return self._local

    def start(self) -> None:
        """Starts the worker processes and waits until each has mapped the graph
        (the first iteration does this too; call it to keep the start-up, a
        fresh interpreter per worker, out of a timed loop)."""
        if self.num_workers and not self._workers:
            self._start_workers()

    def _start_workers(self) -> None:
        context = multiprocessing.get_context(self._context) if isinstance(self._context, str) else self._context
        self._tasks = _TaskQueue(context)
        self._selector = selectors.DefaultSelector()
        for index in range(self.num_workers):
            here, there = context.Pipe(duplex=True)  # a socket pair: descriptors can pass through it
            worker = context.Process(target=_worker_main,
                                     args=(self._settings, _files_per_worker(self.prefetch_factor), self._tasks, there),
                                     daemon=True, name=f"vornlib-sampler-{index}")
            with _sigint_ignored():
                worker.start()
            there.close()  # the worker holds the other end now: its exit shows here as end of file
            self._workers.append(worker)
            self._conns.append(here)
            self._selector.register(here, selectors.EVENT_READ, ("result", index))
            self._selector.register(worker.sentinel, selectors.EVENT_READ, ("exit", index))
        try:
            for index in range(self.num_workers):
                self._receive_from(index)  # READY, or the end of file of a worker that could not start
        except BaseException:
            self.close(wait=False)
            raise

    def _receive(self) -> None:
        """Takes the next result of any worker off its connection and hands it
        to its iteration (or frees it unread if that iteration has ended).
        Raises RuntimeError as soon as a worker dies. Anything else that stops
        a receive (Ctrl+C) may leave a message half read, so it stops the
        workers first."""
        if not self._workers:
            raise RuntimeError("the SeedLoader's sampling workers were stopped")
        self._receiving = True
        try:
            while True:
                events = self._selector.select(timeout=_POLL_SECONDS)
                kinds = [key.data for key, _ in events]
                results = [index for kind, index in kinds if kind == "result"]
                if results:
                    self._receive_from(results[0])
                    return
                if kinds:  # only exits: a worker died with nothing left to read
                    self._died(kinds[0][1])
        except BaseException as error:
            if not isinstance(error, Exception):
                self.close(wait=False)
            raise
        finally:
            self._receiving = False

    def _receive_from(self, index: int) -> None:
        """One message off worker `index`'s connection: its READY message, or
        a result for the iteration whose token it carries."""
        conn = self._conns[index]
        try:
            message = pickle.loads(conn.recv_bytes())
            if message == _READY:
                self._boards[index] = transport.board_of(conn, _files_per_worker(self.prefetch_factor))
                return
            token, number, kind, body = message
            iteration = self._epochs.get(token)
            wanted = iteration is not None and not iteration.ended
            if kind == transport.SHARED:
                board = self._boards[index]
                item = transport.receive(conn, body, board) if wanted else transport.discard(conn, body, board)
        except (EOFError, OSError):
            self._died(index)
        if iteration is None:
            return
        iteration.in_flight -= 1
        if not wanted:
            return
        if kind == transport.SHARED:
            iteration.arrived(number, item, None)
        elif kind == transport.FAILED:
            error, trace = body
            error.add_note(f"in sampling worker {index}:\n{trace}")
            iteration.arrived(number, None, error)
        else:
            iteration.arrived(number, body, None)

    def _died(self, index: int) -> None:
        worker = self._workers[index]
        worker.join(timeout=1)
        code = worker.exitcode
        self.close(wait=False)
        raise RuntimeError(f"a sampling worker died ({worker.name} exit code {code})") from None

    # ---- torch -----------------------------------------------------------------

    # ---- what the workers hold, for monitoring and for tests ---------------------

    @property
    def worker_processes(self) -> tuple:
        """The running worker processes (multiprocessing Process objects, with
        pid and is_alive()), in worker order: empty before they start, after
        close() and after a worker's death."""
        return tuple(self._workers)

    def files_out(self) -> int:
        """How many of the workers' shared-memory files hold a batch this
        process has not given back (one still referenced, or in flight)."""
        return sum(sum(board[:]) for board in self._boards.values())

    @property
    def transform(self) -> Callable[[Batch, Graph], Any] | None:
        """What each batch goes through where it is sampled; a new one reaches
        the workers started after the change (and this process at once)."""
        return self._settings["transform"]

    @transform.setter
    def transform(self, transform: Callable[[Batch, Graph], Any] | None) -> None:
        self._settings["transform"] = transform
        self._local = None

    def as_dataset(self):
        """This loader's epochs as a torch.utils.data.IterableDataset (see
        vornlib_tools._torch_data.SeedDataset); needs torch."""
        from vornlib_tools._torch_data import SeedDataset

        return SeedDataset(self)

    # ---- lifetime --------------------------------------------------------------

    def __getstate__(self) -> dict:
        """A copy for another process (a torch DataLoader worker): the plan and
        the seed table, without this process's workers, sampler or iterations."""
        state = self.__dict__.copy()
        state.update(_local=None, _workers=[], _tasks=None, _conns=[], _boards={}, _selector=None, _receiving=False,
                     _epochs=None)
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._epochs = weakref.WeakValueDictionary()

    def close(self, wait: bool = True) -> None:
        """Stops the worker processes (a later iteration starts new ones): each
        finishes the tasks queued first, unless wait is False. Every iteration
        started before raises RuntimeError when asked for more."""
        self._generation += 1
        workers, tasks, conns, boards, selector = (self._workers, self._tasks, self._conns, self._boards,
                                                   self._selector)
        self._reset_workers()
        for iteration in list(self._epochs.values()):
            iteration.ended = True
        self._epochs.clear()
        alive = [worker for worker in workers if worker.is_alive()]
        for worker in alive:
            if wait:
                tasks.put(None)  # one sentinel each: whichever worker takes it stops
            else:
                worker.kill()
        for worker in workers:
            worker.join(timeout=10)
            if worker.is_alive():
                worker.kill()
                worker.join()
        if tasks is not None:
            tasks.close()  # what a dead worker never read must not hold up the exit
        if selector is not None:
            selector.close()
        for conn in conns:
            conn.close()
        for board in boards.values():
            board.close()  # arrays still alive keep their own mappings

    def __enter__(self) -> SeedLoader:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


class _Iteration:
    """One epoch of a loader, as an iterator: its position and its batches."""

    def __init__(self, loader: SeedLoader, epoch: int, batches: list[np.ndarray]) -> None:
        self.loader, self.epoch, self.batches = loader, epoch, batches
        self.generation = loader._generation
        self.next = 0
        self.ended = False

    def __iter__(self) -> _Iteration:
        return self

    def __next__(self) -> Any:
        if self.generation != self.loader._generation:
            self.finish()
            raise RuntimeError("this iteration over a SeedLoader ended when the loader was closed (or its "
                               "workers stopped); start a new one with iter(loader)")
        if self.ended or self.next >= len(self.batches):
            self.finish()
            raise StopIteration
        number = self.next
        try:
            item = self.produce(number)
        except Exception:
            self.finish()  # as a generator ends with its exception
            raise
        except BaseException:  # Ctrl+C: stop at once rather than wait for what is in flight
            self.interrupted()
            raise
        self.next += 1
        # No name here holds the batch once it is returned: the one the
        # caller drops is freed then, not when it asks for the next.
        return self.loader._attach(self.batches[number], item)

    def produce(self, number: int) -> Any:
        raise NotImplementedError

    def finish(self) -> None:
        self.ended = True

    def interrupted(self) -> None:
        self.finish()

    def close(self) -> None:
        """Ends the iteration; batches in flight are taken off the workers and freed now."""
        self.finish()


class _LocalIteration(_Iteration):
    """An epoch sampled in this process."""

    def produce(self, number: int) -> Any:
        loader = self.loader
        return loader._sampling().item(*loader._task(self.epoch, number, self.batches[number]))


class _WorkerIteration(_Iteration):
    """An epoch sampled by the loader's workers: its batches in flight, and
    those that arrived before their turn, by batch number. Results are routed
    to it by its token, so other iterations may run alongside."""

    def __init__(self, loader: SeedLoader, epoch: int, batches: list[np.ndarray]) -> None:
        loader.start()
        super().__init__(loader, epoch, batches)
        loader._token += 1
        self.token = loader._token
        self.sent = 0
        self.in_flight = 0
        self.ready: dict[int, tuple[Any, BaseException | None]] = {}
        loader._epochs[self.token] = self

    def arrived(self, number: int, item: Any, error: BaseException | None) -> None:
        self.ready[number] = (item, error)

    def produce(self, number: int) -> Any:
        loader = self.loader
        window = min(len(self.batches), number + loader.prefetch_factor * loader.num_workers)
        while self.sent < window:
            loader._tasks.put((self.token, self.sent, *loader._task(self.epoch, self.sent, self.batches[self.sent])))
            self.sent += 1
            self.in_flight += 1
        while number not in self.ready:
            loader._receive()
        item, error = self.ready.pop(number)
        if error is not None:  # raised in its turn: the batches before it were good
            raise error
        return item

    def finish(self, drain: bool = True) -> None:
        """Ends the iteration. With drain, its batches still in flight are taken
        off the connections (and their shared memory freed unmapped) before
        this returns, so that nothing of it stays out."""
        loader = self.loader
        self.ended = True
        self.ready.clear()
        if drain and self.generation == loader._generation and loader._workers:
            try:
                while self.in_flight > 0:
                    loader._receive()
            except Exception:
                loader.close(wait=False)  # a worker died: the next iteration starts afresh
        if self.generation == loader._generation and self.in_flight == 0:
            loader._epochs.pop(self.token, None)

    def interrupted(self) -> None:
        self.ended = True
        self.loader.close(wait=False)  # the workers are started afresh by the next iteration

    def __del__(self) -> None:
        # An iteration dropped unfinished (a loop left with break). Its results
        # are freed as they arrive; draining them here could interrupt a
        # receive of another iteration that the collector ran in the middle of.
        try:
            self.finish(drain=not self.loader._receiving)
        except Exception:
            pass
