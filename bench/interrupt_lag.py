"""Interrupt lag: how soon a running sample() call stops after Ctrl+C.

    .venv/bin/python bench/interrupt_lag.py --size 20m --seeds 20 --tries 20

Each try is a fresh child process (this script with --child) that loads the
benchmark graph and runs the call a new user tries first: every neighbour (-1)
of every edge type for three hops from SEEDS customers, on a sampler without
timestamps. The parent times one uninterrupted call, then for each try waits a
random time within that call (10% to 90% of its length) after the child
announces it, sends SIGINT, and takes the lag from the signal to the child's
KeyboardInterrupt (both processes read the same CLOCK_MONOTONIC). Prints each
lag, then the median and the worst.

    .venv/bin/python bench/interrupt_lag.py --size 20m --seeds 300 --tries 20 --delay 0.5 8

With --delay LOW HIGH each try sends SIGINT a uniformly drawn LOW to HIGH
seconds after the call starts, without timing a whole call first: a call of
300 customers runs for half a minute, and tries that each wait for a share
of it would hold the machine for many minutes.

Needs the graph from `bash scripts/run_bench.sh 20m` (or `python -m vornlib_tools.synthetic --size 20m --out bench/data/20m`).
"""

from __future__ import annotations

import argparse
import random
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from run_bench import SAMPLER_SEED

from vornlib_tools import synthetic as synthetic_graph
from vornlib_tools.graph import Graph, read_index

BENCH_DIR = Path(__file__).resolve().parent


def child(size: str, seeds: int) -> None:
    """One try: load the graph, announce readiness, run the call when asked, report how it ended."""
    directory = BENCH_DIR / "data" / size
    metadata, graph = read_index(directory), Graph.load(directory)
    keys = graph.keys
    counts = {key: [-1, -1, -1] for key in keys}
    sampler = graph.sampler(SAMPLER_SEED, with_time=False)
    seed_node = synthetic_graph.seed_batches(metadata, seeds, 1)[0][0]
    call = dict(num_neighbors={key: np.array(c, dtype=np.int64) for key, c in counts.items()},
                sampling_time_offsets={}, entity_table="customers", seed_node=seed_node,
                seed_time=np.array([], dtype=np.int64))
    print("ready", flush=True)
    sys.stdin.readline()
    print("started", flush=True)
    start = time.monotonic()
    try:
        result = sampler.sample(**call)
        print(f"finished {time.monotonic() - start:.3f} {sum(len(rows) for rows in result[0].values())}",
              flush=True)
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic():.6f}", flush=True)


def one_try(size: str, seeds: int, delay: float | None) -> list[str]:
    """A fresh child per try, so that no signal of one try can reach the next.
    Without a delay the call runs to its end; otherwise SIGINT follows after delay seconds."""
    process = subprocess.Popen([sys.executable, __file__, "--child", "--size", size, "--seeds", str(seeds)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert process.stdin is not None and process.stdout is not None
    try:
        assert process.stdout.readline().strip() == "ready"
        process.stdin.write("go\n")
        process.stdin.flush()
        assert process.stdout.readline().strip() == "started"
        sent = None
        words: list[str] = []
        if delay is not None:
            time.sleep(delay)
            sent = time.monotonic()  # the same clock in both processes
            process.send_signal(signal.SIGINT)
        words = process.stdout.readline().split()
    finally:
        process.stdin.close()
        process.wait()
    if not words:
        raise RuntimeError(f"the child process ended without a report (exit status {process.returncode})")
    if sent is not None and words[0] == "interrupted":
        words[1] = str(float(words[1]) - sent)
    return words


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="20m")
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--tries", type=int, default=20)
    parser.add_argument("--delay", nargs=2, type=float, metavar=("LOW", "HIGH"),
                        help="send SIGINT LOW to HIGH seconds into the call, without timing a whole call first")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.size, args.seeds)
        return

    if args.delay is None:
        _, duration, edges = one_try(args.size, args.seeds, None)
        print(f"uninterrupted call: {float(duration):.2f} s, {int(edges):,} edges "
              f"({args.seeds} customers, every neighbour, 3 hops, {args.size})", flush=True)
        low, high = 0.1 * float(duration), 0.9 * float(duration)
    else:
        low, high = args.delay
        print(f"SIGINT {low:g} to {high:g} s into the call ({args.seeds} customers, every neighbour, "
              f"3 hops, {args.size})", flush=True)
    shuffle = random.Random(1)
    lags = []
    while len(lags) < args.tries:
        word, value, *_ = one_try(args.size, args.seeds, shuffle.uniform(low, high))
        if word != "interrupted":
            continue  # finished before the signal (a faster run); try again
        lags.append(float(value))
        print(f"try {len(lags):2d}: {lags[-1] * 1e3:7.1f} ms", flush=True)
    print(f"lag over {len(lags)} tries: median {statistics.median(lags) * 1e3:.1f} ms, "
          f"worst {max(lags) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
