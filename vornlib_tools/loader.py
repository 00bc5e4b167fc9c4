"""Mini-batches over a seed table, sampled in the main process or in worker processes.

The main process owns the seed table and the order of every epoch: it cuts the
(shuffled) table into batches and sends each worker only the seed ids and times
of its batches. Each worker process memory-maps the graph directory once, keeps
its own NeighborSampler with its own random seed for its whole life, and sends
back Batch objects made of numpy arrays (cheap to pickle; tensors are made once,
in the main process, with Batch.to_torch). Because the order is decided where
the seeds live, a new epoch is shuffled anew even though the workers persist.

Workers are started with the "spawn" method by default: a worker forked from a
process that already runs threads (torch, BLAS) may deadlock, and Python 3.13
warns about such a fork.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import traceback
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import numpy as np

from vornlib_tools.batch import Batch
from vornlib_tools.graph import Graph

# How long the main process waits for a result before it checks that every worker is alive.
_POLL_SECONDS = 1.0
# What a worker sends once it has mapped the graph and built its sampler.
_READY = "ready"


class _Sampling:
    """A sampler over one graph with one request shape; lives in one process."""

    def __init__(self, graph: Graph | str | os.PathLike, sampler_seed: int, with_time: bool,
                 entity_table: str, num_neighbors: Mapping, sampling_time_offsets: Mapping,
                 transform: Callable[[Batch, Graph], Any] | None) -> None:
        self.graph = graph if isinstance(graph, Graph) else Graph.load(graph, mmap=True)
        self.sampler = self.graph.sampler(seed=sampler_seed, with_time=with_time)
        self.entity_table, self.transform = entity_table, transform
        self.num_neighbors, self.sampling_time_offsets = dict(num_neighbors), dict(sampling_time_offsets)

    def __call__(self, seed_node: np.ndarray, seed_time: np.ndarray) -> Any:
        result = self.sampler.sample(self.num_neighbors, self.sampling_time_offsets, self.entity_table,
                                     seed_node, seed_time)
        batch = Batch.from_sample(result, seed_node, seed_time, self.entity_table, self.graph.edge_types)
        return batch if self.transform is None else self.transform(batch, self.graph)


def _worker_main(settings: dict, tasks: multiprocessing.Queue, results: multiprocessing.Queue) -> None:
    """A worker process: sample every task until the None sentinel arrives."""
    try:
        sampling, failure = _Sampling(**settings), None
    except Exception as error:  # reported with the first task, where the main process waits
        sampling, failure = None, (error, traceback.format_exc())
    results.put(_READY)
    while (task := tasks.get()) is not None:
        token, number, seed_node, seed_time = task
        if failure is None:
            try:
                results.put((token, number, sampling(seed_node, seed_time), None))
                continue
            except Exception as error:
                results.put((token, number, None, (error, traceback.format_exc())))
                continue
        results.put((token, number, None, failure))


class SeedLoader:
    """Iterates over a seed table in mini-batches of sampled subgraphs.

    seed_node and seed_time are the table's entity ids and prediction times
    (seed_time may be None: the sampler then takes the entity's own timestamps,
    or samples without time); payload holds per-seed arrays (labels, weights),
    which are cut alongside and delivered in Batch.payload.

    graph is a graph directory (str or Path), or, for num_workers=0 only, a
    Graph. Each iteration is one epoch and yields Batch objects (or whatever
    transform, called in the worker as transform(batch, graph), returns; its
    payload is then not attached). With shuffle, epoch e visits the seeds in
    the order of a permutation drawn from (seed, e); the epoch counts up by one
    per iteration unless set_epoch fixes it.

    shard=(rank, world_size) keeps one of world_size equal, disjoint slices of
    every epoch's order (the remainder is dropped so that every rank gets the
    same number of batches), as data-parallel training needs.

    Workers start on the first iteration and stay until close() (or the end of
    a with block, or garbage collection). A worker's sampler seed is
    sampler_seed + rank * max(num_workers, 1) + worker, so no two share a
    random stream.
    """

    def __init__(self, graph: Graph | str | os.PathLike, seed_node: np.ndarray, seed_time: np.ndarray | None,
                 *, entity_table: str, num_neighbors: Mapping, sampling_time_offsets: Mapping | None = None,
                 batch_size: int = 512, payload: Mapping[str, np.ndarray] | None = None, shuffle: bool = True,
                 drop_last: bool = False, seed: int = 0, num_workers: int = 0, sampler_seed: int = 123,
                 with_time: bool = True, shard: tuple[int, int] = (0, 1), prefetch: int = 2,
                 start_method: str = "spawn", transform: Callable[[Batch, Graph], Any] | None = None) -> None:
        self.seed_node = np.ascontiguousarray(seed_node, dtype=np.int64)
        self.seed_time = None if seed_time is None else np.ascontiguousarray(seed_time, dtype=np.int64)
        self.payload = {name: np.asarray(values) for name, values in (payload or {}).items()}
        for name, values in [("seed_time", self.seed_time), *self.payload.items()]:
            if values is not None and len(values) != len(self.seed_node):
                raise ValueError(f"{name} has {len(values)} entries for {len(self.seed_node)} seeds")
        rank, world_size = shard
        if not 0 <= rank < world_size:
            raise ValueError(f"shard rank {rank} is not within 0..{world_size - 1}")
        if batch_size < 1 or num_workers < 0 or prefetch < 1:
            raise ValueError("batch_size and prefetch must be positive and num_workers not negative")
        if num_workers and isinstance(graph, Graph):
            raise ValueError("worker processes map the graph from its directory: pass the directory")
        self.batch_size, self.shuffle, self.drop_last, self.seed = batch_size, shuffle, drop_last, seed
        self.num_workers, self.prefetch, self.shard = num_workers, prefetch, (rank, world_size)
        self.epoch = 0
        self._epoch_fixed = False
        self._start_method = start_method
        first_seed = sampler_seed + rank * max(num_workers, 1)
        self._settings = [dict(graph=graph if isinstance(graph, Graph) else str(graph),
                               sampler_seed=first_seed + worker, with_time=with_time,
                               entity_table=entity_table, num_neighbors=dict(num_neighbors),
                               sampling_time_offsets=dict(sampling_time_offsets or {}), transform=transform)
                          for worker in range(max(num_workers, 1))]
        self._local: _Sampling | None = None
        self._workers: list = []
        self._tasks: list = []
        self._results = None
        self._outstanding = 0
        self._token = 0

    # ---- epoch order ---------------------------------------------------------

    def set_epoch(self, epoch: int) -> None:
        """Fixes the epoch of the next iteration (and so its order)."""
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

    def __len__(self) -> int:
        return -(-len(self.order(self.epoch)) // self.batch_size)

    def __iter__(self) -> Iterator[Any]:
        epoch = self.epoch
        self.epoch, self._epoch_fixed = (epoch, False) if self._epoch_fixed else (epoch + 1, False)
        positions = self.order(epoch)
        batches = [positions[start:start + self.batch_size] for start in range(0, len(positions), self.batch_size)]
        produce = self._in_workers(batches) if self.num_workers else self._in_process(batches)
        for picked, item in zip(batches, produce):
            if isinstance(item, Batch):
                item.payload = {name: values[picked] for name, values in self.payload.items()}
            yield item

    def _request(self, picked: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        times = self.seed_time[picked] if self.seed_time is not None else np.empty(0, dtype=np.int64)
        return self.seed_node[picked], times

    # ---- sampling --------------------------------------------------------------

    def _in_process(self, batches: list[np.ndarray]) -> Iterator[Any]:
        if self._local is None:
            self._local = _Sampling(**self._settings[0])
        for picked in batches:
            yield self._local(*self._request(picked))

    def start(self) -> None:
        """Starts the worker processes and waits until each has built its sampler
        (the first iteration does this too; call it to keep the start-up, a
        fresh interpreter per worker, out of a timed loop)."""
        if self.num_workers and not self._workers:
            self._start_workers()

    def _start_workers(self) -> None:
        context = multiprocessing.get_context(self._start_method)
        self._results = context.Queue()
        for settings in self._settings:
            tasks = context.Queue()
            worker = context.Process(target=_worker_main, args=(settings, tasks, self._results), daemon=True,
                                     name=f"vornlib-sampler-{len(self._workers)}")
            worker.start()
            self._workers.append(worker)
            self._tasks.append(tasks)
        self._outstanding = len(self._workers)
        for _ in self._workers:
            self._receive()

    def _in_workers(self, batches: list[np.ndarray]) -> Iterator[Any]:
        self.start()
        self._token += 1
        token, ready, sent = self._token, {}, 0
        in_flight = self.prefetch * self.num_workers
        try:
            for number in range(len(batches)):
                while sent < len(batches) and sent < number + in_flight:
                    self._tasks[sent % self.num_workers].put((token, sent, *self._request(batches[sent])))
                    self._outstanding += 1
                    sent += 1
                while number not in ready:
                    result_token, done, item, failure = self._receive()
                    if result_token != token:
                        continue  # left over from an epoch abandoned part-way
                    if failure is not None:
                        error, trace = failure
                        error.add_note(f"in sampling worker {done % self.num_workers}:\n{trace}")
                        raise error
                    ready[done] = item
                yield ready.pop(number)
        finally:
            # Collect what is still in flight, so that the next epoch starts clean.
            while self._outstanding and self._workers:
                self._receive()

    def _receive(self) -> tuple:
        while True:
            try:
                result = self._results.get(timeout=_POLL_SECONDS)
            except queue.Empty:
                dead = [w for w in self._workers if not w.is_alive()]
                if dead:
                    codes = ", ".join(f"{w.name} exit code {w.exitcode}" for w in dead)
                    self.close()
                    raise RuntimeError(f"a sampling worker died ({codes})") from None
                continue
            self._outstanding -= 1
            return result

    # ---- lifetime --------------------------------------------------------------

    def close(self) -> None:
        """Stops the worker processes (a later iteration starts new ones)."""
        workers, self._workers = self._workers, []
        for tasks, worker in zip(self._tasks, workers):
            if worker.is_alive():
                tasks.put(None)
        for worker in workers:
            worker.join(timeout=10)
            if worker.is_alive():
                worker.terminate()
                worker.join()
        for tasks in self._tasks:
            tasks.close()
        if self._results is not None:
            self._results.close()
        self._tasks, self._results, self._outstanding = [], None, 0

    def __enter__(self) -> SeedLoader:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
