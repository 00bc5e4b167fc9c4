"""Throughput of 1 vs 2 sampler worker processes over one memory-mapped graph.

Each run is examples/parallel_sampling.py, started as a program: every worker
process maps the same .npy files, builds its own NeighborSampler and samples
its shard of the seeds.
The figure of merit is the wall time of the sampling phase, from the first
worker's start to the last worker's end; process start-up is excluded. Runs
alternate between the worker counts and the best of --repeats is kept (the
median is shown beside it), which filters out interference from other load on
the machine. The CPU seconds
summed over the workers show whether the workers slow each other down (they
stay flat when they do not): on a busy machine the wall-clock speed-up is
bounded by the cores left idle, the CPU seconds are not.

    python bench/parallel_scaling.py [--repeats 3] [--workers 1 2] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "parallel_sampling.py"


def run_example(directory: Path, workers: int, batch_size: int, fanouts: list[int], epochs: int,
                shape: list[str]) -> dict:
    """One run of the example; it generates the graph into directory when missing."""
    with tempfile.TemporaryDirectory() as scratch:
        report = Path(scratch) / "report.json"
        subprocess.run([sys.executable, str(EXAMPLE), "--workers", str(workers), "--data-dir", str(directory),
                        "--batch-size", str(batch_size), "--fanouts", *map(str, fanouts), "--epochs", str(epochs),
                        "--json", str(report), *shape], check=True, stdout=subprocess.DEVNULL)
        return json.loads(report.read_text())


def best_runs(directory: Path, worker_counts: list[int], repeats: int, batch_size: int,
              fanouts: list[int], epochs: int, shape: list[str]) -> dict[int, dict]:
    best: dict[int, dict] = {}
    walls: dict[int, list[float]] = {workers: [] for workers in worker_counts}
    for repeat in range(repeats):
        for workers in worker_counts:
            run = run_example(directory, workers, batch_size, fanouts, epochs, shape)
            wall, reports = run["wall_seconds"], run["workers"]
            walls[workers].append(wall)
            seeds = sum(r["seeds"] for r in reports)
            edges = sum(r["edges"] for r in reports)
            cpu = sum(r["cpu_seconds"] for r in reports)
            print(f"  run {repeat + 1}/{repeats}, {workers} worker(s): {wall:.2f} s wall, {cpu:.2f} s CPU",
                  flush=True)
            if workers not in best or wall < best[workers]["seconds"]:
                best[workers] = {"workers": workers, "seconds": wall, "cpu_seconds": cpu, "seeds": seeds,
                                 "edges": edges, "seeds_per_s": seeds / wall, "edges_per_s": edges / wall}
    for workers, run in best.items():
        run["median_seconds"] = statistics.median(walls[workers])
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--customers", type=int, default=100_000)
    parser.add_argument("--products", type=int, default=10_000)
    parser.add_argument("--transactions", type=int, default=2_000_000)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[16, 8, 8])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--epochs", type=int, default=3, help="passes over the seed set per run")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=ROOT / "bench" / "data")
    parser.add_argument("--json", type=Path, default=ROOT / "bench" / "out" / "parallel_scaling.json")
    args = parser.parse_args()

    load = os.getloadavg()[0]
    print(f"{os.cpu_count()} cores, load average {load:.2f} before the runs")
    if load > 0.5:
        print("note: other work is running; expect the figures to be low and noisy")
    # The graph is cached per size: generating it costs more than a run.
    directory = args.data_dir / f"ecommerce-{args.customers}c-{args.products}p-{args.transactions}t"
    shape = ["--customers", str(args.customers), "--products", str(args.products),
             "--transactions", str(args.transactions)]
    best = best_runs(directory, args.workers, args.repeats, args.batch_size, args.fanouts, args.epochs, shape)

    base = best[min(best)]
    print(f"\n{'workers':>7} {'seconds':>8} {'median':>8} {'CPU s':>8} {'seeds/s':>10} {'edges/s':>12} "
          f"{'speed-up':>9} {'efficiency':>10}")
    for workers, run in sorted(best.items()):
        run["speedup"] = base["seconds"] / run["seconds"]
        run["efficiency"] = run["speedup"] * base["workers"] / workers
        print(f"{workers:>7} {run['seconds']:>8.2f} {run['median_seconds']:>8.2f} {run['cpu_seconds']:>8.2f} "
              f"{run['seeds_per_s']:>10,.0f} "
              f"{run['edges_per_s']:>12,.0f} "
              f"{run['speedup']:>8.2f}x {run['efficiency']:>9.0%}")

    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"benchmark": "parallel_scaling", "load_before": load,
                                     "batch_size": args.batch_size, "fanouts": args.fanouts,
                                     "runs": [best[w] for w in sorted(best)]}, indent=1))
    print(f"\nresults written to {args.json}")


if __name__ == "__main__":
    main()
