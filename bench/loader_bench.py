"""SeedLoader on the big workload: what the training process pays to receive a
batch, what sampling it costs a worker, how 1 and 2 workers compare, and the
workers' memory over many epochs.

The big workload: batches of 512 customers, 3 hops, 128 / 64 / 64 neighbours
per hop on every edge type, over the 20M-edge synthetic graph (~214,000 edges
and ~208,000 nodes a batch).

    python -m vornlib_tools.synthetic --size 20m --out bench/data/20m --if-missing
    .venv/bin/python bench/loader_bench.py --data bench/data/20m

Printed, with medians over the batches:
- construction: building a sampler over the graph (done once per batch);
- sample: one batch sampled and made a Batch in this process, as a worker does;
- send: the worker writing that batch into shared memory and sending it;
- receive: the time next() takes in the training process when the batch is
  already waiting (the consumer sleeps longer than a worker needs per batch),
  wall and CPU; the share is receiving's CPU over sampling's, which a busy
  machine does not inflate;
- throughput with 1 and 2 workers while the training process only takes the batches;
- the workers' anonymous and shared resident memory after each of 10 epochs.
"""

from __future__ import annotations

import argparse
import json
import socket
import statistics
import time
from multiprocessing.connection import Connection
from pathlib import Path

import numpy as np

from vornlib_tools import Graph, SeedLoader, synthetic, transport
from vornlib_tools.loader import batch_stream_seed

BATCH_SIZE = 512
COUNTS = [128, 64, 64]


def median_ms(times: list[float]) -> float:
    return 1e3 * statistics.median(times)


def seed_table(directory: Path, batches: int) -> tuple[np.ndarray, np.ndarray]:
    customers, times = synthetic.seed_batches(Graph.load(directory), BATCH_SIZE, batches)
    return customers.reshape(-1), times.reshape(-1)


def loader(directory: Path, seeds, times, workers: int, **options) -> SeedLoader:
    graph = Graph.load(directory)
    return SeedLoader(directory, seeds, times, entity_table="customers",
                      num_neighbors={key: COUNTS for key in graph.keys}, batch_size=BATCH_SIZE,
                      num_workers=workers, shuffle=False, **options)


def in_process(directory: Path, seeds, times, batches: int) -> dict:
    graph = Graph.load(directory)
    sampling = loader(directory, seeds, times, workers=0)._sampling()  # the request as workers prepare it
    construction = []
    for attempt in range(2000):
        started = time.perf_counter()
        graph.sampler(seed=attempt)
        construction.append(time.perf_counter() - started)
    sample, sample_cpu, send, edges, nodes = [], [], [], [], []
    here, there = socket.socketpair()
    outbox = transport.Outbox(4)
    with here, there:
        sender, receiver = Connection(here.detach()), Connection(there.detach())
        for number in range(batches):
            picked = slice(number * BATCH_SIZE, (number + 1) * BATCH_SIZE)
            started, cpu_started = time.perf_counter(), time.thread_time()
            batch = sampling(seeds[picked], times[picked], batch_stream_seed(123, 0, 0, number))
            sample.append(time.perf_counter() - started)
            sample_cpu.append(time.thread_time() - cpu_started)
            started = time.perf_counter()
            transport.send(sender, (0, number), batch, outbox)
            send.append(time.perf_counter() - started)
            _, _, _, body = receiver.recv()
            transport.discard(receiver, body, outbox.board)  # the outbox's own board: given straight back
            edges.append(sum(len(values[0]) for values in batch.edge_index.values()))
            nodes.append(sum(len(values) for values in batch.nodes.values()))
        sender.close()
        receiver.close()
    return {"construction_us": 1e6 * statistics.median(construction),
            "sample_ms": median_ms(sample[1:]), "sample_cpu_ms": median_ms(sample_cpu[1:]),
            "send_ms": median_ms(send[1:]),
            "edges": int(statistics.median(edges)), "nodes": int(statistics.median(nodes))}


def receive_times(directory: Path, seeds, times, pause: float
                  ) -> tuple[list[float], list[float], list[float]]:
    """next() wall and CPU times with every batch already waiting (the consumer
    sleeps `pause` between batches), and the wall times of taking one message
    off a connection (reading it, taking the descriptor, mapping it, making the
    arrays). On a busy machine a worker can still be late; the CPU time counts
    only what receiving costs the training process."""
    spent, cpu, reading = [], [], []
    with loader(directory, seeds, times, workers=2) as source:
        source.start()
        receive_from = source._receive_from

        def timed(*args):
            started = time.perf_counter()
            try:
                return receive_from(*args)
            finally:
                reading.append(time.perf_counter() - started)

        source._receive_from = timed
        iterator = iter(source)
        next(iterator)
        while True:
            time.sleep(pause)
            started, cpu_started = time.perf_counter(), time.thread_time()
            try:
                batch = next(iterator)
            except StopIteration:
                break
            spent.append(time.perf_counter() - started)
            cpu.append(time.thread_time() - cpu_started)
            del batch
    return spent, cpu, reading


def throughput(directory: Path, seeds, times, workers: int, warm_up: int = 4) -> float:
    with loader(directory, seeds, times, workers=workers) as source:
        source.start()
        iterator = iter(source)
        for _ in range(warm_up):
            next(iterator)
        started, count = time.perf_counter(), 0
        for batch in iterator:
            count += 1
            del batch
        return count / (time.perf_counter() - started)


def status(pid: int) -> dict[str, int]:
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        name, _, value = line.partition(":")
        if name in ("RssAnon", "RssShmem", "RssFile"):
            fields[name] = int(value.split()[0]) // 1024  # MiB
    return fields


def memory_over_epochs(directory: Path, seeds, times, epochs: int) -> list[list[dict]]:
    rows = []
    with loader(directory, seeds, times, workers=2) as source:
        source.start()
        for _ in range(epochs):
            for batch in source:
                del batch
            rows.append([status(worker.pid) for worker in source._workers])
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "data" / "20m")
    parser.add_argument("--batches", type=int, default=40, help="batches per measurement")
    parser.add_argument("--epochs", type=int, default=10, help="epochs of the memory check")
    args = parser.parse_args()
    seeds, times = seed_table(args.data, args.batches)

    # A first pass brings the graph into the page cache, where every later run finds it.
    for _ in loader(args.data, seeds, times, workers=0):
        pass
    local = in_process(args.data, seeds, times, args.batches)
    print(f"batch: {local['edges']:,} edges, {local['nodes']:,} nodes; sampler construction "
          f"{local['construction_us']:.1f} us, sample {local['sample_ms']:.2f} ms ({local['sample_cpu_ms']:.2f} ms "
          f"of CPU), send {local['send_ms']:.2f} ms")

    received, received_cpu, reading = receive_times(args.data, seeds, times, pause=2.5 * local["sample_ms"] / 1e3)
    receive_ms, receive_cpu_ms, reading_ms = median_ms(received), median_ms(received_cpu), median_ms(reading)
    share = receive_cpu_ms / local["sample_cpu_ms"]
    print(f"receive: next() with the batch waiting median {receive_ms:.3f} ms (max {1e3 * max(received):.3f} ms), "
          f"{100 * receive_ms / local['sample_ms']:.2f}% of sampling; CPU {receive_cpu_ms:.3f} ms, {100 * share:.2f}% "
          f"of sampling's CPU; one message off a connection median {reading_ms:.3f} ms")

    rates = {workers: throughput(args.data, seeds, times, workers) for workers in (1, 2)}
    print(f"throughput: 1 worker {rates[1]:.1f} batches/s, 2 workers {rates[2]:.1f} batches/s, "
          f"ratio {rates[2] / rates[1]:.2f}")

    memory = memory_over_epochs(args.data, seeds[:16 * BATCH_SIZE], times[:16 * BATCH_SIZE], args.epochs)
    for epoch, row in enumerate(memory):
        print(f"epoch {epoch}: " + "   ".join(f"worker {w}: anon {m['RssAnon']} MiB, shmem {m['RssShmem']} MiB, "
                                              f"file {m['RssFile']} MiB" for w, m in enumerate(row)))
    print(json.dumps({**local, "receive_ms": receive_ms, "receive_cpu_ms": receive_cpu_ms, "message_ms": reading_ms,
                      "receive_share": receive_ms / local["sample_ms"], "receive_cpu_share": share,
                      "batches_per_second": rates, "ratio": rates[2] / rates[1],
                      "worker_anon_mib": [[m["RssAnon"] for m in row] for row in memory]}))


if __name__ == "__main__":
    main()
