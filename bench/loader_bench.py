"""SeedLoader on the big workload: what a batch costs on a sampler built for it
against a kept one, what the training process pays to receive a batch, how 1
and 2 workers compare with what this machine allows, and the workers' memory
over many epochs.

The big workload: batches of 512 customers, 3 hops, 128 / 64 / 64 neighbours
per hop on every edge type, over the 20M-edge synthetic graph (~230,000 edges
and ~200,000 nodes a batch).

    python -m vornlib_tools.synthetic --size 20m --out bench/data/20m --if-missing
    .venv/bin/python bench/loader_bench.py [--data bench/data/20m] [--turns 5] [--epochs 10]

Printed (and written to --results as JSON):
- sampler: CPU time of one batch's sample() on a sampler built for it (as a
  loader does) and on one kept across batches, alternating, same batches;
  medians, and building a sampler alone;
- send: the worker writing a batch into shared memory and sending it;
- receive: the CPU time next() takes in the training process when the batch
  is already waiting (the consumer sleeps longer than a worker needs per
  batch), a mean per batch: with one shared queue batches arrive out of
  order, so one next() may take two batches off the connections and the next
  none, which a median would hide. Its share is that mean over sampling's CPU
  per batch (a busy machine does not inflate CPU time). Also the training
  process's whole CPU per batch over that loop, its threads included;
- throughput in turns: a loader with 1 worker and one with 2 (both kept up),
  and 1 and 2 bare sampling processes (building a sampler per batch and
  making the Batch as a worker does, with nothing sent), which are the bound
  this machine sets. Each turn times all four, the order rotating, since the
  machine's speed drifts by more than the differences within minutes, and
  a turn times --batches batches of each, since short runs scatter; the
  medians over the turns and their ranges are reported;
- the workers' anonymous and shared resident memory after each epoch.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import socket
import statistics
import time
from multiprocessing.connection import Connection
from pathlib import Path

import numpy as np

from vornlib_tools import SAMPLER_SEED, Graph, SeedLoader, synthetic
from vornlib_tools import _transport as transport
from vornlib_tools._loader import batch_stream_seed

BENCH_DIR = Path(__file__).resolve().parent
BATCH_SIZE = 512
COUNTS = [128, 64, 64]
WARM_UP = 4  # batches of each timed epoch that fill the pipeline, untimed


def median_ms(times: list[float]) -> float:
    return 1e3 * statistics.median(times)


def seed_table(directory: Path, batches: int) -> tuple[np.ndarray, np.ndarray]:
    customers, times = synthetic.seed_batches(Graph.load(directory), BATCH_SIZE, batches)
    return customers.reshape(-1), times.reshape(-1)


def loader(directory: Path, seeds, times, workers: int, **options) -> SeedLoader:
    graph = Graph.load(directory)
    return SeedLoader(directory, "customers", seeds, times,
                      num_neighbors={key: COUNTS for key in graph.keys}, batch_size=BATCH_SIZE,
                      num_workers=workers, shuffle=False, **options)


def sampler_cost(directory: Path, seeds, times, batches: int) -> dict:
    """A sampler built per batch against one kept, on the same batches, alternating."""
    graph = Graph.load(directory)
    counts, windows = graph.request({key: COUNTS for key in graph.keys})
    construction = []
    for attempt in range(2000):
        started = time.perf_counter()
        graph.sampler(seed=attempt)
        construction.append(time.perf_counter() - started)
    kept = graph.sampler(seed=SAMPLER_SEED)
    spent = {"new": [], "kept": []}
    for number in range(batches):
        picked = slice(number * BATCH_SIZE, (number + 1) * BATCH_SIZE)
        call = (counts, windows, "customers", seeds[picked], times[picked])
        for side in ("new", "kept") if number % 2 == 0 else ("kept", "new"):
            sampler = graph.sampler(seed=batch_stream_seed(SAMPLER_SEED, 0, 0, number)) if side == "new" else kept
            started = time.thread_time()
            result = sampler.sample(*call)
            spent[side].append(time.thread_time() - started)
            del result, sampler
    return {"construction_us": 1e6 * statistics.median(construction),
            "new_sampler_cpu_ms": median_ms(spent["new"][1:]), "kept_sampler_cpu_ms": median_ms(spent["kept"][1:])}


def in_process(directory: Path, seeds, times, batches: int) -> dict:
    """A batch sampled as a worker samples it, then sent as a worker sends it."""
    graph = Graph.load(directory)
    request = graph.request({key: COUNTS for key in graph.keys})
    sample, sample_cpu, send, edges, nodes = [], [], [], [], []
    here, there = socket.socketpair()
    outbox = transport.Outbox(4)
    with here, there:
        sender, receiver = Connection(here.detach()), Connection(there.detach())
        for number in range(batches):
            picked = slice(number * BATCH_SIZE, (number + 1) * BATCH_SIZE)
            with outbox.writer() as writer:
                started, cpu_started = time.perf_counter(), time.thread_time()
                batch = graph.sample_nodes("customers", seeds[picked], times[picked], request,
                                           sampler_seed=batch_stream_seed(SAMPLER_SEED, 0, 0, number),
                                           empty=writer.empty)
                sample.append(time.perf_counter() - started)
                sample_cpu.append(time.thread_time() - cpu_started)
                started = time.perf_counter()
                writer.send(sender, (0, number), batch)
                send.append(time.perf_counter() - started)
            _, _, _, body = receiver.recv()
            transport.discard(receiver, body, outbox.board)  # the outbox's own board: given straight back
            edges.append(sum(len(values[0]) for values in batch.edge_index.values()))
            nodes.append(sum(len(values) for values in batch.nodes.values()))
        sender.close()
        receiver.close()
    return {"sample_ms": median_ms(sample[1:]), "sample_cpu_ms": median_ms(sample_cpu[1:]),
            "send_ms": median_ms(send[1:]), "edges": int(statistics.median(edges)),
            "nodes": int(statistics.median(nodes))}


def receive_times(directory: Path, seeds, times, pause: float
                  ) -> tuple[list[float], list[float], list[float], float]:
    """next() wall and CPU times with every batch already waiting (the consumer
    sleeps `pause` between batches), and the wall times of taking one message
    off a connection (reading it, taking the descriptor, mapping it, making the
    arrays), and the training process's CPU per batch over the loop (every
    thread: next(), freeing the batch, anything in the background). On a busy
    machine a worker can still be late; the CPU time counts only what
    receiving costs the training process."""
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
        process_started = time.process_time()
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
        process_cpu = (time.process_time() - process_started) / len(cpu)
    return spent, cpu, reading, process_cpu


def timed_epoch(source: SeedLoader) -> float:
    """Batches per second of one epoch, after WARM_UP batches."""
    iterator = iter(source)
    for _ in range(WARM_UP):
        next(iterator)
    started, count = time.perf_counter(), 0
    for batch in iterator:
        count += 1
        del batch
    return count / (time.perf_counter() - started)


def _bare_main(directory: str, seeds, times, numbers: list[int], conn) -> None:
    """A bare sampling process: a worker's own sampling of its batches (a
    sampler built per batch, the Batch made), and nothing sent."""
    plan = loader(Path(directory), seeds, times, workers=0)
    next(plan.sample_batches(0, [0]))  # the graph's first pages, outside the timing
    conn.send("ready")
    conn.recv()
    started = time.perf_counter()
    for batch in plan.sample_batches(0, numbers):
        del batch
    conn.send(time.perf_counter() - started)


def bare_rate(directory: Path, seeds, times, batches: int, processes: int) -> float:
    """Batches per second of `processes` bare sampling processes sharing the
    batches after WARM_UP, started together once each has loaded the graph."""
    context = multiprocessing.get_context("spawn")
    numbers = list(range(WARM_UP, batches))
    pipes, children = [], []
    for index in range(processes):
        here, there = context.Pipe()
        child = context.Process(target=_bare_main, args=(str(directory), seeds, times,
                                                         numbers[index::processes], there))
        child.start()
        pipes.append(here)
        children.append(child)
    for here in pipes:
        assert here.recv() == "ready"
    for here in pipes:
        here.send("go")
    elapsed = max(here.recv() for here in pipes)
    for child in children:
        child.join()
    return len(numbers) / elapsed


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
            rows.append([status(worker.pid) for worker in source.worker_processes])
    return rows


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):.2f} ({min(values):.2f}-{max(values):.2f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=BENCH_DIR / "data" / "20m")
    parser.add_argument("--batches", type=int, default=160, help="batches per measurement")
    parser.add_argument("--turns", type=int, default=7, help="turns of the throughput measurement")
    parser.add_argument("--epochs", type=int, default=10, help="epochs of the memory check")
    parser.add_argument("--results", type=Path, default=BENCH_DIR / "results" / "loader_bench.json")
    args = parser.parse_args()
    seeds, times = seed_table(args.data, args.batches)

    # A first pass brings the graph into the page cache, where every later run finds it.
    for _ in loader(args.data, seeds, times, workers=0):
        pass
    cost = sampler_cost(args.data, seeds, times, args.batches)
    print(f"sampler: built per batch {cost['new_sampler_cpu_ms']:.2f} ms of CPU a batch, kept "
          f"{cost['kept_sampler_cpu_ms']:.2f} ms; building one {cost['construction_us']:.1f} us", flush=True)
    local = in_process(args.data, seeds, times, args.batches)
    print(f"batch: {local['edges']:,} edges, {local['nodes']:,} nodes; sample {local['sample_ms']:.2f} ms "
          f"({local['sample_cpu_ms']:.2f} ms of CPU), send {local['send_ms']:.2f} ms", flush=True)

    received, received_cpu, reading, process_cpu = receive_times(args.data, seeds, times,
                                                                  pause=2.5 * local["sample_ms"] / 1e3)
    receive_cpu_ms = 1e3 * statistics.mean(received_cpu)
    share = receive_cpu_ms / local["sample_cpu_ms"]
    print(f"receive: next() with the batch waiting, CPU {receive_cpu_ms:.3f} ms a batch (mean), "
          f"{100 * share:.2f}% of sampling's CPU; wall median {median_ms(received):.3f} ms; "
          f"one message off a connection median {median_ms(reading):.3f} ms; the training process's "
          f"CPU in all {1e3 * process_cpu:.3f} ms a batch", flush=True)

    rates = {"1 worker": [], "2 workers": [], "1 bare": [], "2 bare": []}
    with loader(args.data, seeds, times, workers=1) as one, loader(args.data, seeds, times, workers=2) as two:
        one.start()
        two.start()
        measure = {"1 worker": lambda: timed_epoch(one), "2 workers": lambda: timed_epoch(two),
                   "1 bare": lambda: bare_rate(args.data, seeds, times, args.batches, 1),
                   "2 bare": lambda: bare_rate(args.data, seeds, times, args.batches, 2)}
        order = list(measure)
        for turn in range(args.turns):
            for name in order[turn % 4:] + order[:turn % 4]:
                rates[name].append(measure[name]())
            print(f"turn {turn + 1}: " + ", ".join(f"{name} {values[-1]:.1f}" for name, values in rates.items())
                  + " batches/s", flush=True)
    scaling = [two / one for one, two in zip(rates["1 worker"], rates["2 workers"])]
    bound = [two / one for one, two in zip(rates["1 bare"], rates["2 bare"])]
    of_bound = [two / bare for two, bare in zip(rates["2 workers"], rates["2 bare"])]
    print("throughput, batches/s, median (range) over the turns: "
          + "; ".join(f"{name} {spread(values)}" for name, values in rates.items()))
    print(f"2 vs 1 worker {spread(scaling)}; 2 vs 1 bare process (the bound) {spread(bound)}; "
          f"2 workers over 2 bare processes {spread(of_bound)}", flush=True)

    memory = memory_over_epochs(args.data, seeds[:16 * BATCH_SIZE], times[:16 * BATCH_SIZE], args.epochs)
    for epoch, row in enumerate(memory):
        print(f"epoch {epoch}: " + "   ".join(f"worker {w}: anon {m['RssAnon']} MiB, shmem {m['RssShmem']} MiB, "
                                              f"file {m['RssFile']} MiB" for w, m in enumerate(row)))
    summary = {**cost, **local, "receive_cpu_ms": receive_cpu_ms, "receive_ms": median_ms(received),
               "training_process_cpu_ms": 1e3 * process_cpu,
               "message_ms": median_ms(reading), "receive_cpu_share": share, "batches_per_second": rates,
               "two_over_one_worker": scaling, "two_over_one_bare": bound, "two_workers_over_two_bare": of_bound,
               "worker_anon_mib": [[m["RssAnon"] for m in row] for row in memory],
               "date": time.strftime("%Y-%m-%d"), "batches": args.batches, "turns": args.turns}
    print(json.dumps(summary))
    args.results.parent.mkdir(parents=True, exist_ok=True)
    args.results.write_text(json.dumps(summary, indent=1) + "\n")
    print(f"results: {args.results}")


if __name__ == "__main__":
    main()
