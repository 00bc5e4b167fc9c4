"""Interrupt lag: how soon a running sample() call stops after Ctrl+C.

    python bench/interrupt_lag.py --size 20m --seeds 20 --tries 20 [--delay LOW HIGH]

Each try is a fresh child process (so no signal of one try reaches the next)
that runs the call a new user tries first: every neighbour (-1) of every edge
type for three hops from SEEDS customers, without timestamps. SIGINT follows
at a random moment: within 10% to 90% of one uninterrupted call, timed first,
or LOW to HIGH seconds into the call with --delay (a long call need not be
timed whole). Prints each lag from the signal to the child's
KeyboardInterrupt (both read CLOCK_MONOTONIC), then the median and the worst,
and writes them to --results as JSON. Needs the graph scripts/run_bench.sh
generates for SIZE.
"""

from __future__ import annotations

import argparse
import json
import random
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from run_bench import BENCH_DIR, SAMPLER_SEED

from vornlib_tools import synthetic
from vornlib_tools._batch import SampleResult
from vornlib_tools._graph import Graph


def child(size: str, seeds: int) -> None:
    directory = BENCH_DIR / "data" / size
    graph = Graph.load(directory)
    sampler = graph.sampler(SAMPLER_SEED, with_time=False)
    seed_node = synthetic.seed_batches(graph, seeds, 1)[0][0]
    every = {key: np.array([-1, -1, -1], dtype=np.int64) for key in graph.keys}
    print("ready", flush=True)
    sys.stdin.readline()  # the parent's clock starts once the graph is loaded
    start = time.monotonic()
    print("started", flush=True)
    try:
        result = sampler.sample(every, {}, "customers", seed_node, np.empty(0, dtype=np.int64))
        print("finished", time.monotonic() - start, sum(len(rows) for rows in SampleResult(*result).rows.values()), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)


def one_try(size: str, seeds: int, delay: float | None) -> list[str]:
    """The child's report; with a delay, SIGINT is sent that long after the call starts."""
    process = subprocess.Popen([sys.executable, __file__, "--child", "--size", size, "--seeds", str(seeds)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    sent = None
    try:
        assert process.stdout.readline().strip() == "ready"
        process.stdin.write("go\n")
        process.stdin.flush()
        assert process.stdout.readline().strip() == "started"
        if delay is not None:
            time.sleep(delay)
            sent = time.monotonic()
            process.send_signal(signal.SIGINT)
        words = process.stdout.readline().split()
    finally:
        process.stdin.close()
        process.wait()
    if not words:
        raise RuntimeError(f"the child ended without a report (exit status {process.returncode})")
    if sent is not None and words[0] == "interrupted":
        words[1] = str(float(words[1]) - sent)
    return words


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="20m")
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--tries", type=int, default=20)
    parser.add_argument("--delay", nargs=2, type=float, metavar=("LOW", "HIGH"))
    parser.add_argument("--results", type=Path, default=BENCH_DIR / "results" / "interrupt_lag.json")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.size, args.seeds)
    shape = f"{args.seeds} customers, every neighbour, 3 hops, {args.size}"
    if args.delay is None:
        _, duration, edges = one_try(args.size, args.seeds, None)
        print(f"uninterrupted call: {float(duration):.2f} s, {int(edges):,} edges ({shape})", flush=True)
        low, high = 0.1 * float(duration), 0.9 * float(duration)
    else:
        low, high = args.delay
        print(f"SIGINT {low:g} to {high:g} s into the call ({shape})", flush=True)
    draw, lags = random.Random(1), []
    while len(lags) < args.tries:
        word, value, *_ = one_try(args.size, args.seeds, draw.uniform(low, high))
        if word == "interrupted":  # else it finished before the signal: try again
            lags.append(float(value))
            print(f"try {len(lags):2d}: {lags[-1] * 1e3:7.1f} ms", flush=True)
    print(f"lag over {len(lags)} tries: median {statistics.median(lags) * 1e3:.1f} ms, worst {max(lags) * 1e3:.1f} ms")
    summary = {"call": shape, "signal_seconds": [low, high], "lags_ms": [lag * 1e3 for lag in lags],
               "median_ms": statistics.median(lags) * 1e3, "worst_ms": max(lags) * 1e3,
               "date": time.strftime("%Y-%m-%d")}
    args.results.parent.mkdir(parents=True, exist_ok=True)
    args.results.write_text(json.dumps(summary, indent=1) + "\n")
    print(f"results: {args.results}")


if __name__ == "__main__":
    main()
