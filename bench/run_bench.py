"""Sampling benchmark: NeighborSampler.sample() against the memory limit and the core alone.

Started by scripts/run_bench.sh, which builds the extension and the bench
module vornlib_bench in Release and generates the graphs first:

    python bench/run_bench.py [--bench-module DIR] [1m] [20m] [--workloads last-k --measured 1]

Per size and workload (workloads.py), first sample() alone on a fresh
sampler, untimed, for peak resident memory and the lines each call must
fetch; then WARMUP untimed and MEASURED timed calls, one batch each, on
sample() and on the core alone (vornlib_bench.CoreTimer), each with a fresh
sampler, the two calls of a batch back to back, the first of the pair
alternating. EVICT_BYTES of other memory are written before every call
(untimed). Reported: median and minimum wall time, median thread CPU time,
edges per second, peak resident memory, sample() over the memory limit
(memory_limit.py) and over the core. The first CHECKSUM_BATCHES results of
every run must hash to bench/expected_checksums.json. Each size's figures
replace that size's entry in bench/results/latest.json, and
bench/results/latest.md is rendered from all sizes there.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

from memory_limit import LineCounter, ReadTimes
from workloads import WORKLOADS, Workload

import vornlib
from vornlib_tools import SAMPLER_SEED, synthetic
from vornlib_tools._batch import SampleResult
from vornlib_tools._graph import Graph, read_index

BENCH_DIR = Path(__file__).resolve().parent
EXPECTED_CHECKSUMS = BENCH_DIR / "expected_checksums.json"
RESULTS = BENCH_DIR / "results" / "latest.json"
CHECKSUM_BATCHES = 32
# More than the last-level cache: every call starts, as one in a training
# loop does, with caches and TLB that other work filled; the core run writes
# the same buffer, so both runs start alike.
EVICT_BYTES = 64 << 20
DEFAULT_SIZES = ("1m", "20m")  # 100m only when asked for


class ResultChecksum:
    """BLAKE2b over everything calls return: all six dictionaries, keys and values in order."""

    def __init__(self) -> None:
        self._hash = hashlib.blake2b(digest_size=16)

    def update(self, result: tuple[dict[str, np.ndarray], ...]) -> None:
        for table in result:
            for key, values in table.items():
                data = np.ascontiguousarray(values, dtype="<i8")
                self._hash.update(key.encode())
                self._hash.update(data.size.to_bytes(8, "little"))
                self._hash.update(data.tobytes())

    def hexdigest(self) -> str:
        return self._hash.hexdigest()


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def reset_peak_rss() -> None:
    """VmHWM falls back to the current RSS; where the kernel refuses, the peak is the process's."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def request(workload: Workload) -> dict:
    counts = {key: np.array(per_hop, dtype=np.int64) for key, per_hop in workload.counts.items()}
    windows = {key: np.array(per_hop, dtype=np.int64 if all(s is not None for s, _ in per_hop) else object)
               for key, per_hop in workload.windows.items()}
    return {"num_neighbors": counts, "sampling_time_offsets": windows, "entity_table": "customers"}


def constructor(graph: Graph, workload: Workload) -> dict:
    return {"node_types": graph.node_types, "edge_types": graph.edge_types, "colptr": graph.colptr,
            "row": graph.row, "node_time": graph.node_time if workload.with_time else {}, "seed": SAMPLER_SEED}


def seed_times(workload: Workload, times: np.ndarray) -> list[np.ndarray]:
    return list(times) if workload.with_time else [np.empty(0, dtype=np.int64)] * len(times)


def timings(wall_ns: list[int], cpu_ns: list[int], edges: int) -> dict:
    return {"median_ms": statistics.median(wall_ns) / 1e6, "min_ms": min(wall_ns) / 1e6,
            "cpu_median_ms": statistics.median(cpu_ns) / 1e6, "edges_per_second": edges / (sum(wall_ns) / 1e9)}


def measure_memory(workload: Workload, metadata: dict, graph: Graph, seeds: np.ndarray, times: np.ndarray,
                   warmup: int, evicting: np.ndarray) -> dict:
    """sample() alone, untimed: peak memory, edges and lines per call, the checksum."""
    call = request(workload)
    checksum, lines = ResultChecksum(), LineCounter(workload, metadata, graph.arrays())
    edges, lines_counted, measured = 0, 0, 0
    reset_peak_rss()
    rss_start_kib = status_kib("VmRSS")
    sampler = vornlib.NeighborSampler(**constructor(graph, workload))
    for batch, seed_time in enumerate(seed_times(workload, times)):
        evicting += 1
        result = sampler.sample(**call, seed_node=seeds[batch], seed_time=seed_time)
        if batch >= warmup:
            measured += 1
            edges += sum(rows.size for rows in SampleResult(*result).rows.values())
            lines_counted += lines.count(result)
        if batch < CHECKSUM_BATCHES:
            checksum.update(result)
        del result
    peak_kib = status_kib("VmHWM")
    return {"edges_per_call": edges / measured, "peak_rss_mib": (peak_kib - EVICT_BYTES // 1024) / 1024,
            "rss_growth_mib": (peak_kib - rss_start_kib) / 1024, "lines_per_call": lines_counted / measured,
            "checksum": checksum.hexdigest()}


def measure_paired(bench_module, workload: Workload, graph: Graph, seeds: np.ndarray, times: np.ndarray,
                   warmup: int, evicting: np.ndarray, edges_per_call: float) -> tuple[dict, dict]:
    """sample() and the core (vornlib_bench.CoreTimer), each on its own sampler,
    timed on every batch back to back, the first of the two alternating: the
    machine's speed drifts by more than the binding costs, and a pair meets
    the same moment. Each call starts after EVICT_BYTES of other memory."""
    call = request(workload)
    sampler = vornlib.NeighborSampler(**constructor(graph, workload))
    core = bench_module.CoreTimer(**constructor(graph, workload))
    checksums = {"sampler": ResultChecksum(), "core": ResultChecksum()}
    times_ns = {"sampler": ([], []), "core": ([], [])}

    sample = sampler.sample

    def run_sampler(batch: int, seed_time: np.ndarray) -> None:
        # The arguments are in place before the clocks start, as the core's
        # are: the timed region holds the call alone, not the bench's own
        # building of a keyword dictionary, which on cold caches cost a few
        # per cent of a small call.
        arguments = (call["num_neighbors"], call["sampling_time_offsets"], call["entity_table"], seeds[batch],
                     seed_time)
        evicting[...] += 1
        started = time.perf_counter_ns()
        cpu_started = time.thread_time_ns()
        result = sample(*arguments)
        cpu_elapsed = time.thread_time_ns() - cpu_started
        elapsed = time.perf_counter_ns() - started
        note("sampler", batch, elapsed, cpu_elapsed, result)

    def run_core(batch: int, seed_time: np.ndarray) -> None:
        elapsed, cpu_elapsed, result = core.time(**call, seed_node=seeds[batch], seed_time=seed_time,
                                                 evicting=evicting, keep=batch < CHECKSUM_BATCHES)
        note("core", batch, elapsed, cpu_elapsed, result)

    def note(side: str, batch: int, elapsed: int, cpu_elapsed: int, result) -> None:
        if batch >= warmup:
            times_ns[side][0].append(elapsed)
            times_ns[side][1].append(cpu_elapsed)
        if batch < CHECKSUM_BATCHES:
            checksums[side].update(result)

    gc.collect()
    gc.disable()
    try:
        for batch, seed_time in enumerate(seed_times(workload, times)):
            for run in (run_sampler, run_core) if batch % 2 == 0 else (run_core, run_sampler):
                run(batch, seed_time)  # the result is freed on return, outside the timed region
    finally:
        gc.enable()
    edges = round(edges_per_call * len(times_ns["sampler"][0]))
    return tuple({**timings(*times_ns[side], edges), "checksum": checksums[side].hexdigest()}
                 for side in ("sampler", "core"))


def print_rows(header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for cells in [header, *rows]:
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(cells, widths))))


TABLE = ["workload", "edges/call", "median ms", "min ms", "cpu med ms", "Medges/s", "peak RSS MiB",
         "+RSS MiB", "cpu med / limit", "cpu med / cold limit", "median / core", "cpu med / core"]


def table_row(name: str, w: dict) -> list[str]:
    s, c, m = w["sampler"], w["core"], w["memory_limit"]
    return [name, f"{s['edges_per_call']:.0f}", f"{s['median_ms']:.3f}", f"{s['min_ms']:.3f}",
            f"{s['cpu_median_ms']:.3f}", f"{s['edges_per_second'] / 1e6:.2f}", f"{s['peak_rss_mib']:.1f}",
            f"{s['rss_growth_mib']:.1f}", f"{s['cpu_median_ms'] / m['limit_ms']:.2f}x",
            f"{s['cpu_median_ms'] / m['cold_limit_ms']:.2f}x", f"{s['median_ms'] / c['median_ms']:.2f}x",
            f"{s['cpu_median_ms'] / c['cpu_median_ms']:.2f}x"]


def check_checksums(size: str, workloads: dict, record: bool) -> bool:
    expected = json.loads(EXPECTED_CHECKSUMS.read_text())
    ok = True
    for name, w in workloads.items():
        got, core, reference = w["sampler"]["checksum"], w["core"]["checksum"], expected.get(size, {}).get(name)
        alone = w["sampler"]["memory_checksum"]
        if record:
            expected.setdefault(size, {})[name] = reference = got
        verdict = "OK" if got == alone == core == reference else "no reference" if reference is None else "MISMATCH"
        ok &= verdict == "OK"
        print(f"checksum {size} {name:<8} sample() {got} (alone {alone}), core {core}, reference {reference}: "
              f"{verdict}")
    if record:
        EXPECTED_CHECKSUMS.write_text(json.dumps(expected, indent=2, sort_keys=True) + "\n")
    return ok


def run_size(size: str, args: argparse.Namespace, bench_module, read_times: ReadTimes) -> dict:
    data_dir = (args.data / size).resolve()
    metadata, graph = read_index(data_dir), Graph.load(data_dir)  # memory-mapped
    for values in graph.arrays().values():  # paged in: no timed call pays a first-touch fault
        int(np.asarray(values[::512]).sum())
    evicting = np.full(EVICT_BYTES // 8, 1, dtype=np.int64)
    workloads = {}
    for name in args.workloads:
        workload = WORKLOADS[name]
        seeds, times = synthetic.seed_batches(graph, workload.batch_size, args.warmup + args.measured)
        started = time.perf_counter()

        def measure() -> tuple[dict, dict, dict]:
            memory = measure_memory(workload, metadata, graph, seeds, times, args.warmup, evicting)
            return memory, *measure_paired(bench_module, workload, graph, seeds, times, args.warmup, evicting,
                                           memory["edges_per_call"])

        (memory, timed, core), read = read_times.around(measure)
        run = {**timed, **{k: v for k, v in memory.items() if k != "checksum"}, "memory_checksum": memory["checksum"]}
        limit = {"ns_per_read": read.ns, "limit_ms": run["lines_per_call"] * read.ns / 1e6,
                 "cold_ns_per_read": read.cold_ns, "cold_limit_ms": run["lines_per_call"] * read.cold_ns / 1e6}
        workloads[name] = {"batch_size": workload.batch_size, "hops": workload.hops, "sampler": run, "core": core,
                           "memory_limit": limit}
        print(f"[{size}] {name}: {time.perf_counter() - started:.1f} s", flush=True)
    print(f"\n== {size}: {metadata['edges']:,} edges; {args.measured} timed calls per workload; load average "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cpus ==")
    print_rows(TABLE, [table_row(name, w) for name, w in workloads.items()])
    return {"edges": metadata["edges"], "warmup": args.warmup, "measured": args.measured,
            "date": time.strftime("%Y-%m-%d"), "cpu": cpu_name(), "load_average": os.getloadavg()[0], "python": platform.python_version(),
            "numpy": np.__version__, "ns_per_read_passes": read_times.passes_ns,
            "cold_ns_per_read_passes": read_times.cold_passes_ns, "workloads": workloads,
            "checksums_ok": check_checksums(size, workloads, args.record_checksums)}


def cpu_name() -> str:
    return next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                 if line.startswith("model name")), platform.processor())


def render(results: dict) -> str:
    """The markdown table of every size in the results file."""
    lines = ["# Benchmark results", "",
             f"Written by `bench/run_bench.py` from `{RESULTS.name}`; see bench/README.md for what each column "
             "means. Limits are optimistic: a ratio to them cannot reach 1.0.", ""]
    for size, r in sorted(results.items()):
        lines += [f"## {size}: {r['edges']:,} edges ({r['date']}, {r['cpu']}, {r['measured']} timed calls; "
                  f"load {r['load_average']:.1f}; {min(r['ns_per_read_passes']):.1f} ns per read, cold "
                  f"{min(r['cold_ns_per_read_passes']):.1f} ns)",
                  "", "| " + " | ".join(TABLE) + " |", "|" + "---|" * len(TABLE)]
        lines += ["| " + " | ".join(table_row(name, w)) + " |" for name, w in r["workloads"].items()]
        lines.append("")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="*", help=f"graph sizes: {', '.join(synthetic.SIZES)}")
    parser.add_argument("--bench-module", type=Path, default=BENCH_DIR.parent / "build" / "bench",
                        help="directory holding the built vornlib_bench module")
    parser.add_argument("--workloads", nargs="+", default=list(WORKLOADS), choices=list(WORKLOADS))
    parser.add_argument("--warmup", type=int, default=CHECKSUM_BATCHES)
    parser.add_argument("--measured", type=int, default=256)
    parser.add_argument("--data", type=Path, default=BENCH_DIR / "data")
    parser.add_argument("--results", type=Path, default=RESULTS, help="merged per size; .md rendered beside it")
    parser.add_argument("--record-checksums", action="store_true",
                        help="store this run's checksums (only after a deliberate change of results)")
    args = parser.parse_args(argv)
    args.sizes = args.sizes or list(DEFAULT_SIZES)
    if unknown := [size for size in args.sizes if size not in synthetic.SIZES]:
        parser.error(f"unknown size {unknown[0]}")
    if args.warmup + args.measured < CHECKSUM_BATCHES or args.measured < 1:
        parser.error(f"need at least {CHECKSUM_BATCHES} calls in all and one timed call")
    sys.path.insert(0, str(args.bench_module))
    import vornlib_bench

    print(f"python {platform.python_version()}, numpy {np.__version__}, vornlib {vornlib.__file__}, "
          f"cpu {cpu_name()}")
    read_times = ReadTimes(lambda passes, evict: vornlib_bench.read_latency(passes=passes, evict_bytes=evict),
                           EVICT_BYTES)
    results = json.loads(args.results.read_text()) if args.results.exists() else {}
    ok = True
    for size in args.sizes:
        results[size] = run_size(size, args, vornlib_bench, read_times)
        ok &= results[size]["checksums_ok"]
        args.results.parent.mkdir(parents=True, exist_ok=True)
        args.results.write_text(json.dumps(results, indent=1) + "\n")
        args.results.with_suffix(".md").write_text(render(results))
    print(f"\nresults: {args.results} and {args.results.with_suffix('.md')}")
    if not ok:
        print("FAILED: a checksum differs from its reference or between sample() and the core")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
