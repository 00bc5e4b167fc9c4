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

Each worker process memory-maps the graph directory once and returns its
batches through shared memory (vornlib_tools.transport): the training process
maps a batch's arrays instead of unpickling them, and the memory goes back to
the system when the batch is dropped. Whatever a transform returns besides a
Batch of numpy arrays is pickled.

Workers are started with the "spawn" method by default: a worker forked from a
process that already runs threads (torch, BLAS) may deadlock, and Python 3.13
warns about such a fork.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import traceback
from collections.abc import Callable, Iterator, Mapping
from multiprocessing import connection
from typing import Any

import numpy as np

from vornlib_tools import transport
from vornlib_tools.batch import Batch
from vornlib_tools.graph import Graph

# How long the main process waits for a message before it looks again (it wakes
# at once when a worker exits; this only bounds the wait between checks).
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

    def __call__(self, seed_node: np.ndarray, seed_time: np.ndarray, stream_seed: int) -> Batch:
        """Samples one batch with a sampler of its own, seeded with stream_seed."""
        return self.graph.sample_nodes(self.entity_table, seed_node, seed_time, self.request, seed=stream_seed,
                                       with_time=self.with_time)

    def item(self, seed_node: np.ndarray, seed_time: np.ndarray, stream: tuple[int, int, int, int]) -> Any:
        """What the loader yields for one batch: the batch, or what the transform
        makes of it. stream: batch_stream_seed's arguments, derived here, where
        the sampling is, and not in the training process."""
        batch = self(seed_node, seed_time, batch_stream_seed(*stream))
        return batch if self.transform is None else self.transform(batch, self.graph)


def _files_per_worker(prefetch: int) -> int:
    """Memory files a worker keeps: its batches in flight, the one being
    trained on and the one whose arrays are being dropped."""
    return prefetch + 2


def _worker_main(settings: dict, files: int, tasks, conn) -> None:
    """A worker process: sample every task until the None sentinel arrives."""
    try:
        sampling, failure = _Sampling(**settings), None
    except Exception as error:  # reported with the first task, where the main process waits
        sampling, failure = None, (error, traceback.format_exc())
    outbox = transport.Outbox(files)
    conn.send(_READY)
    outbox.share(conn)
    while (task := tasks.get()) is not None:
        token, number, seed_node, seed_time, stream = task
        if failure is not None:
            transport.fail(conn, (token, number), *failure)
            continue
        try:
            item = sampling.item(seed_node, seed_time, stream)
        except Exception as error:
            transport.fail(conn, (token, number), error, traceback.format_exc())
            continue
        transport.send(conn, (token, number), item, outbox)
        del item  # its arrays are not kept while the worker waits for the next task


class SeedLoader:
    """Iterates over a seed table in mini-batches of sampled subgraphs.

    seed_node and seed_time are the table's entities and prediction times,
    converted once by the graph's rules (Graph.seed_nodes, Graph.seed_times):
    primary key values (or node indices, with index=True or for a table
    without a key) and datetimes or graph-unit integers, one per seed or one
    for all; "own" takes the entities' own timestamps, and None is refused on
    a graph with timestamps (with_time=False samples without them). Edge types
    the request leaves out sample nothing; a window that ends after the seed
    time is refused unless allow_future. payload holds per-seed arrays
    (labels, weights), which are cut alongside and delivered in Batch.payload.

    graph is a graph directory (str or Path), or, for num_workers=0 only, a
    Graph. Each iteration is one epoch and yields Batch objects (or whatever
    transform, called in the worker as transform(batch, graph), returns; its
    payload is then not attached). With shuffle, epoch e visits the seeds in
    the order of a permutation drawn from (seed, e); the epoch counts up by one
    per iteration unless set_epoch fixes it.

    Batches do not depend on the workers: batch b of epoch e (on shard rank r)
    is sampled by a sampler seeded with batch_stream_seed(sampler_seed, e, r, b),
    so an epoch yields the same batches, in the same order, with 0, 1 or any
    number of workers, and a rerun with the same seeds yields them again.

    shard=(rank, world_size) keeps one of world_size equal, disjoint slices of
    every epoch's order (the remainder is dropped so that every rank gets the
    same number of batches), as data-parallel training needs.

    Workers start on the first iteration and stay until close() (or the end of
    a with block, or garbage collection). Their batches arrive through shared
    memory, which goes back to its worker when the batch (every array of it)
    is dropped, and is freed when the worker stops. A
    failed call or transform in a worker raises its exception here, with the
    worker's traceback as a note; a worker that dies raises RuntimeError at
    once. Either ends the epoch; the next iteration starts afresh.

    as_dataset() gives the same epochs as a torch IterableDataset, for
    torch.utils.data.DataLoader.
    """

    def __init__(self, graph: Graph | str | os.PathLike, seed_node: np.ndarray, seed_time: np.ndarray | None,
                 *, entity_table: str, num_neighbors: Mapping, sampling_time_offsets: Mapping | None = None,
                 batch_size: int = 512, payload: Mapping[str, np.ndarray] | None = None, shuffle: bool = True,
                 drop_last: bool = False, seed: int = 0, num_workers: int = 0, sampler_seed: int = 123,
                 with_time: bool = True, shard: tuple[int, int] = (0, 1), prefetch: int = 2,
                 start_method: str = "spawn", transform: Callable[[Batch, Graph], Any] | None = None,
                 index: bool | None = None, allow_future: bool = False) -> None:
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
        if batch_size < 1 or num_workers < 0 or prefetch < 1:
            raise ValueError("batch_size and prefetch must be positive and num_workers not negative")
        if sampler_seed < 0:
            raise ValueError(f"sampler_seed must not be negative, got {sampler_seed}")
        if num_workers and isinstance(graph, Graph):
            raise ValueError("worker processes map the graph from its directory: pass the directory")
        self.batch_size, self.shuffle, self.drop_last, self.seed = batch_size, shuffle, drop_last, seed
        self.num_workers, self.prefetch, self.shard = num_workers, prefetch, (rank, world_size)
        self.sampler_seed = sampler_seed
        self.epoch = 0
        self._epoch_fixed = False
        self._start_method = start_method
        self._settings = dict(graph=graph if isinstance(graph, Graph) else str(graph), with_time=with_time,
                              entity_table=entity_table, request=request, transform=transform)
        self._local: _Sampling | None = None
        self._workers: list = []
        self._tasks: list = []
        self._conns: list = []
        self._boards: dict = {}  # worker index -> the mapping of its outbox's board
        self._outstanding = 0
        self._token = 0

    # ---- epoch order ---------------------------------------------------------

    def set_epoch(self, epoch: int) -> None:
        """Fixes the epoch of the next iteration (and so its order and its samples)."""
        if epoch < 0:
            raise ValueError(f"epoch must not be negative, got {epoch}")
        self.epoch, self._epoch_fixed = epoch, True

    def order(self, epoch: int) -> np.ndarray:
        """This shard's seed positions in epoch `epoch`, in visiting order."""
        count = len(self.seed_node)
        positions = (np.random.default_rng([self.seed, epoch]).permutation(count) if self.shuffle
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
        epoch = self._next_epoch()
        batches = self.batches(epoch)
        produce = self._in_workers(epoch, batches) if self.num_workers else self._in_process(epoch, batches)
        try:
            # No name here holds a batch across the yield: the one the caller
            # drops is freed then, not when it asks for the next.
            for picked in batches:
                yield self._attach(picked, next(produce))
        finally:
            produce.close()  # an abandoned epoch takes its batches in flight off the workers now

    def _attach(self, picked: np.ndarray, item: Any) -> Any:
        if isinstance(item, Batch):
            item.payload = {name: values[picked] for name, values in self.payload.items()}
        return item

    def _task(self, epoch: int, number: int, picked: np.ndarray) -> tuple[np.ndarray, np.ndarray, tuple]:
        """(seed ids, seed times, what its stream seed derives from) of one batch."""
        times = self.seed_time[picked] if self.seed_time is not None else np.empty(0, dtype=np.int64)
        return self.seed_node[picked], times, (self.sampler_seed, epoch, self.shard[0], number)

    # ---- sampling --------------------------------------------------------------

    def _sampling(self) -> _Sampling:
        if self._local is None:
            self._local = _Sampling(**self._settings)
        return self._local

    def _in_process(self, epoch: int, batches: list[np.ndarray]) -> Iterator[Any]:
        sampling = self._sampling()
        for number, picked in enumerate(batches):
            yield sampling.item(*self._task(epoch, number, picked))

    def start(self) -> None:
        """Starts the worker processes and waits until each has mapped the graph
        (the first iteration does this too; call it to keep the start-up, a
        fresh interpreter per worker, out of a timed loop)."""
        if self.num_workers and not self._workers:
            self._start_workers()

    def _start_workers(self) -> None:
        context = multiprocessing.get_context(self._start_method)
        for index in range(self.num_workers):
            tasks = context.Queue()
            here, there = context.Pipe(duplex=True)  # a socket pair: descriptors can pass through it
            worker = context.Process(target=_worker_main,
                                     args=(self._settings, _files_per_worker(self.prefetch), tasks, there), daemon=True,
                                     name=f"vornlib-sampler-{index}")
            worker.start()
            there.close()  # the worker holds the other end now: its exit shows here as end of file
            self._workers.append(worker)
            self._tasks.append(tasks)
            self._conns.append(here)
        try:
            for index in range(self.num_workers):
                self._receive_from(index)  # READY, or the end of file of a worker that could not start
        except BaseException:
            self.close(wait=False)
            raise

    def _in_workers(self, epoch: int, batches: list[np.ndarray]) -> Iterator[Any]:
        self.start()
        self._token += 1
        token, ready, sent = self._token, {}, 0
        in_flight = self.prefetch * self.num_workers
        try:
            for number in range(len(batches)):
                while sent < len(batches) and sent < number + in_flight:
                    self._tasks[sent % self.num_workers].put((token, sent, *self._task(epoch, sent, batches[sent])))
                    self._outstanding += 1
                    sent += 1
                while number not in ready:
                    if (message := self._receive(token)) is not None:
                        ready[message[0]] = message[1:]
                    del message
                if ready[number][1] is not None:  # raised in its turn: the batches before it were good
                    raise ready.pop(number)[1]
                yield ready.pop(number)[0]
        finally:
            ready.clear()
            self._drain()

    def _drain(self) -> None:
        """Takes what is still in flight off the connections (freeing the shared
        memory unmapped), so that the next epoch starts clean."""
        try:
            while self._outstanding and self._workers:
                self._receive(None)
        except Exception:
            self.close(wait=False)  # a worker died: start afresh next time

    def _receive(self, token: int | None) -> tuple | None:
        """The next result of any worker, as (batch number, item, failure), or
        None for a result of another epoch than `token` (discarded unread).
        Raises RuntimeError as soon as a worker dies."""
        while True:
            ready = connection.wait([*self._conns, *(w.sentinel for w in self._workers)], timeout=_POLL_SECONDS)
            conns = [i for i, conn in enumerate(self._conns) if conn in ready]
            if conns:
                return self._receive_from(conns[0], token)
            if ready:  # only exits: a worker died with nothing left to read
                self._died(next(i for i, w in enumerate(self._workers) if w.sentinel in ready))

    def _receive_from(self, index: int, token: int | None = None) -> tuple | None:
        """One message off worker `index`'s connection: the READY message and
        results of other epochs give None."""
        conn = self._conns[index]
        try:
            message = pickle.loads(conn.recv_bytes())
            if message == _READY:
                self._boards[index] = transport.board_of(conn, _files_per_worker(self.prefetch))
                return None
            result_token, number, kind, body = message
            if kind == transport.SHARED:
                board = self._boards[index]
                item = (transport.receive(conn, body, board) if result_token == token
                        else transport.discard(conn, body, board))
        except (EOFError, OSError):
            self._died(index)
        self._outstanding -= 1
        if result_token != token:
            return None
        if kind == transport.SHARED:
            return number, item, None
        if kind == transport.FAILED:
            error, trace = body
            error.add_note(f"in sampling worker {index}:\n{trace}")
            return number, None, error
        return number, body, None

    def _died(self, index: int) -> None:
        worker = self._workers[index]
        worker.join(timeout=1)
        code = worker.exitcode
        self.close(wait=False)
        raise RuntimeError(f"a sampling worker died ({worker.name} exit code {code})") from None

    # ---- torch -----------------------------------------------------------------

    def as_dataset(self):
        """This loader's epochs as a torch.utils.data.IterableDataset (see
        vornlib_tools.torch_data.SeedDataset); needs torch."""
        from vornlib_tools.torch_data import SeedDataset

        return SeedDataset(self)

    # ---- lifetime --------------------------------------------------------------

    def __getstate__(self) -> dict:
        """A copy for another process (a torch DataLoader worker): the plan and
        the seed table, without this process's workers or sampler."""
        state = self.__dict__.copy()
        state.update(_local=None, _workers=[], _tasks=[], _conns=[], _boards={}, _outstanding=0)
        return state

    def close(self, wait: bool = True) -> None:
        """Stops the worker processes (a later iteration starts new ones): each
        finishes the tasks it was given first, unless wait is False."""
        workers, self._workers = self._workers, []
        for tasks, worker in zip(self._tasks, workers):
            if wait and worker.is_alive():
                tasks.put(None)
            elif worker.is_alive():
                worker.kill()
        for worker in workers:
            worker.join(timeout=10)
            if worker.is_alive():
                worker.kill()
                worker.join()
        for tasks in self._tasks:
            tasks.close()
            tasks.cancel_join_thread()  # what a dead worker never read must not hold up the exit
        for conn in self._conns:
            conn.close()
        for board in self._boards.values():
            board.close()  # arrays still alive keep their own mappings
        self._tasks, self._conns, self._boards, self._outstanding = [], [], {}, 0

    def __enter__(self) -> SeedLoader:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
