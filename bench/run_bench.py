"""Sampling benchmark: NeighborSampler.sample() against the memory limit and the core without Python.

Normally started by scripts/run_bench.sh, which builds the extension and the
C++ tools in Release and generates the graphs first:

    python bench/run_bench.py --core build/bench/vornlib_core_bench \
        --memory-latency build/bench/vornlib_memory_latency [1m] [20m]

For every graph size and workload (bench/workloads.py) it

- runs WARMUP batches, then times MEASURED further batches one sample() call
  each (distinct seeds every batch, fixed seeds throughout; EVICT_BYTES of
  other memory written before each call, untimed), reporting median
  and minimum wall time, median thread CPU time and sampled edges per second
  (all measured edges over all measured wall time);
- reports peak memory as the process's resident-set high-water mark (VmHWM,
  the figure getrusage's ru_maxrss reports, reset before each workload through
  /proc/self/clear_refs), which includes the whole memory-mapped graph (paged
  in before the first workload), plus its growth over the resident set at the
  start of the workload, and the mean size of one call's returned arrays
  (the eviction buffer left out);
- hashes the complete results of the first CHECKSUM_BATCHES calls of a fresh
  sampler and compares them with bench/expected_checksums.json: an optimised
  sampler must reproduce them exactly (--record-checksums rewrites the file);
- counts the cache lines every timed call must fetch (memory_limit.py) and
  prints sample() time over that memory limit, the time per read measured by
  runs of the memory tool just before and after the workload (ReadTimes), and
  over the cold limit, the tool's read time after the same eviction; then times
  the same calls back to back on a fresh sampler (nothing between them, as in
  a worker process that only samples) and prints that over the limit too;
- runs the same calls on the core library in C++ (vornlib_core_bench) and
  prints sample() time over core time, which is what the binding costs, after
  checking that both reached exactly the same nodes in the same order.

Results are also written to bench/out/results-SIZE.json.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

import build_check
from digests import ReachDigest, ResultChecksum, reached_node_ids
from cost_picture import write_picture
from memory_limit import LineCounter, ReadTime, ReadTimes
from workloads import WORKLOADS, Workload

import vornlib
from vornlib_tools import synthetic as synthetic_graph
from vornlib_tools.graph import Graph, read_index
from vornlib_tools.synthetic import edge_type_key

BENCH_DIR = Path(__file__).resolve().parent
EXPECTED_CHECKSUMS = BENCH_DIR / "expected_checksums.json"
SAMPLER_SEED = 123
CHECKSUM_BATCHES = 32
# Written before every timed call here and in the C++ core run, untimed: more
# than the last-level cache, so that every call starts, as one in a training
# loop does, with caches and TLB that other work filled, and so that both runs
# start alike (the line count between calls here would otherwise leave this
# side colder than the other, and the difference would pass for binding cost).
EVICT_BYTES = 64 << 20
DEFAULT_SIZES = ("1m", "20m")  # 100m only when asked for
# How cost grows with the batch: these workloads at these batch sizes, each
# with SCAN_WARMUP untimed calls and enough timed ones for SCAN_SEEDS seeds.
SCAN_WORKLOADS = ("last-k", "uniform")
SCAN_BATCH_SIZES = (256, 1024, 4096, 16384, 65536)
SCAN_WARMUP = 2
SCAN_SEEDS = 1 << 17
SCAN_MIN_CALLS = 8


# ---- memory -------------------------------------------------------------------

def _status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def touch_pages(arrays: dict[str, np.ndarray]) -> None:
    """Reads one value per memory page of every mapped array, so that the graph is
    resident before any workload: no timed call pays a first-touch page fault, and
    the resident-set growth of a workload is the sampler's own."""
    values_per_page = 4096 // 8
    for values in arrays.values():
        int(np.asarray(values[::values_per_page]).sum())


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS; False where the kernel does not allow it."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


# ---- one workload ---------------------------------------------------------------

@dataclass
class SamplerRun:
    construct_ms: float
    median_ms: float
    min_ms: float
    cpu_median_ms: float
    edges_per_batch: float
    edges_per_second: float
    peak_rss_mib: float
    rss_growth_mib: float
    result_kib: float
    lines_per_call: float  # cache lines an exact sampler must fetch (memory_limit.py)
    checksum: str
    reach_digest: str
    back_to_back_cpu_median_ms: float = 0.0  # the same calls with nothing between them


@dataclass
class CoreRun:
    median_ms: float
    min_ms: float
    cpu_median_ms: float
    edges_per_second: float
    reach_digest: str


def hop_arguments(workload: Workload) -> tuple[dict, dict]:
    counts = {key: np.array(per_hop, dtype=np.int64) for key, per_hop in workload.counts.items()}
    windows = {key: np.array(per_hop, dtype=np.int64 if all(s is not None for s, _ in per_hop) else object)
               for key, per_hop in workload.windows.items()}
    return counts, windows


_evicting: np.ndarray | None = None


def eviction_buffer() -> np.ndarray:
    """The process's EVICT_BYTES, written once at creation so that it is resident
    (and in every resident-set figure, which subtracts it) from then on."""
    global _evicting
    if _evicting is None:
        _evicting = np.full(EVICT_BYTES // 8, 1, dtype=np.int64)
    return _evicting


def measure_back_to_back(workload: Workload, graph: Graph, seeds: np.ndarray,
                         times: np.ndarray, warmup: int) -> float:
    """Median thread CPU ms of the timed calls of a fresh sampler made one right
    after another: no eviction, count or checksum between them, so each call
    finds the caches and TLB the previous call left, as in a worker process that
    only samples."""
    num_neighbors, offsets = hop_arguments(workload)
    no_times = np.empty(0, dtype=np.int64)
    sampler = graph.sampler(SAMPLER_SEED, workload.with_time)
    cpu_ns = []
    gc.collect()
    gc.disable()
    try:
        for batch in range(seeds.shape[0]):
            seed_time = times[batch] if workload.with_time else no_times
            started_ns = time.thread_time_ns()
            sampler.sample(num_neighbors, offsets, "customers", seeds[batch], seed_time)
            cpu_ns.append(time.thread_time_ns() - started_ns)
    finally:
        gc.enable()
    return statistics.median(cpu_ns[warmup:]) / 1e6


def measure_sampler(workload: Workload, metadata: dict, graph: Graph, seeds: np.ndarray,
                    times: np.ndarray, warmup: int) -> SamplerRun:
    edge_types = [tuple(edge_type) for edge_type in metadata["edge_types"]]
    num_neighbors, offsets = hop_arguments(workload)
    no_times = np.empty(0, dtype=np.int64)
    checksum, reach = ResultChecksum(), ReachDigest()
    lines = LineCounter(workload, metadata, graph.arrays())
    call_ns, cpu_ns, edges, result_bytes, lines_counted = [], [], 0, 0, 0

    evicting = eviction_buffer()
    peak_resettable = reset_peak_rss()
    rss_start_kib = _status_kib("VmRSS")
    started = time.perf_counter()
    sampler = graph.sampler(SAMPLER_SEED, workload.with_time)
    construct_ms = (time.perf_counter() - started) * 1e3
    gc.collect()
    gc.disable()
    try:
        for batch in range(seeds.shape[0]):
            seed_time = times[batch] if workload.with_time else no_times
            evicting += 1
            cpu_started_ns = time.thread_time_ns()
            started_ns = time.perf_counter_ns()
            result = sampler.sample(num_neighbors, offsets, "customers", seeds[batch], seed_time)
            elapsed_ns = time.perf_counter_ns() - started_ns
            cpu_elapsed_ns = time.thread_time_ns() - cpu_started_ns
            if batch >= warmup:
                call_ns.append(elapsed_ns)
                cpu_ns.append(cpu_elapsed_ns)
                edges += sum(rows.size for rows in result[0].values())
                result_bytes += sum(array.nbytes for table in result for array in table.values())
                lines_counted += lines.count(result)
            if batch < CHECKSUM_BATCHES:
                checksum.update(result)
            reach.update(reached_node_ids(result, edge_types))
            del result  # freed outside the timed region
    finally:
        gc.enable()
    peak_kib = _status_kib("VmHWM")
    if not peak_resettable:
        import resource
        peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    measured = len(call_ns)
    return SamplerRun(
        construct_ms=construct_ms,
        median_ms=statistics.median(call_ns) / 1e6,
        min_ms=min(call_ns) / 1e6,
        cpu_median_ms=statistics.median(cpu_ns) / 1e6,
        edges_per_batch=edges / measured,
        edges_per_second=edges / (sum(call_ns) / 1e9),
        peak_rss_mib=(peak_kib - EVICT_BYTES // 1024) / 1024,
        rss_growth_mib=(peak_kib - rss_start_kib) / 1024,
        result_kib=result_bytes / measured / 1024,
        lines_per_call=lines_counted / measured,
        checksum=checksum.hexdigest(),
        reach_digest=reach.hexdigest(),
    )


def write_workload_file(workload: Workload, metadata: dict, data_dir: Path, out_dir: Path, seeds: np.ndarray,
                       times: np.ndarray, warmup: int) -> Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    seeds_path = out_dir / f"{workload.name}.seeds.npy"
    times_path = out_dir / f"{workload.name}.times.npy"
    np.save(seeds_path, seeds)
    np.save(times_path, times)
    lines = [f"name {workload.name}", f"rng_seed {SAMPLER_SEED}", f"warmup {warmup}", f"evict_bytes {EVICT_BYTES}"]
    for name in metadata["node_types"]:
        time_file = data_dir / f"{name}.time.npy" if workload.with_time else "-"
        lines.append(f"node_type {name} {time_file}")
    lines += ["entity customers", f"seeds {seeds_path}", f"times {times_path if workload.with_time else '-'}"]
    for source, relation, destination in metadata["edge_types"]:
        key = edge_type_key((source, relation, destination))
        files = f"{data_dir / (key + '.colptr.npy')} {data_dir / (key + '.row.npy')}"
        if key in workload.counts:
            params = "count " + " ".join(str(k) for k in workload.counts[key])
        else:
            params = "window " + " ".join(f"{'-' if start is None else start} {end}"
                                          for start, end in workload.windows[key])
        lines.append(f"edge {source} {relation} {destination} {files} {params}")
    text = "\n".join(lines) + "\n"
    if any(char.isspace() for char in str(data_dir) + str(out_dir)):
        raise SystemExit("error: the C++ benchmark needs data and output paths without blanks")
    path = out_dir / f"{workload.name}.workload.txt"
    path.write_text(text)
    return path


def measure_core(core: Path, workload_file: Path) -> CoreRun:
    completed = subprocess.run([str(core), str(workload_file)], check=True, capture_output=True, text=True)
    report = json.loads(completed.stdout)
    return CoreRun(median_ms=report["median_ns"] / 1e6, min_ms=report["min_ns"] / 1e6,
                  cpu_median_ms=report["cpu_median_ns"] / 1e6,
                  edges_per_second=report["edges_per_second"], reach_digest=report["digest"])


# ---- reporting -------------------------------------------------------------------

def print_rows(header: list[tuple[str, int]], rows: list[list[str]]) -> None:
    def line(cells: list[str]) -> str:
        first, *rest = zip(cells, header)
        return " ".join([f"{first[0]:<{first[1][1]}}"] + [f"{cell:>{width}}" for cell, (_, width) in rest])

    print(line([title for title, _ in header]))
    print("-" * (sum(width for _, width in header) + len(header) - 1))
    for row in rows:
        print(line(row))


def limit_ms(run: SamplerRun, ns_per_read: float) -> float:
    return run.lines_per_call * ns_per_read / 1e6


def limit_entry(run: SamplerRun, read: ReadTime) -> dict:
    limit = limit_ms(run, read.ns)
    cold_limit = limit_ms(run, read.cold_ns)
    return {"lines_per_call": run.lines_per_call, "ns_per_read": read.ns, "limit_ms": limit,
            "cold_ns_per_read": read.cold_ns, "cold_limit_ms": cold_limit,
            "cpu_median_cold_ratio": run.cpu_median_ms / cold_limit,
            "back_to_back_cpu_median_ratio": run.back_to_back_cpu_median_ms / limit,
            "median_ratio": run.median_ms / limit,
            "min_ratio": run.min_ms / limit, "cpu_median_ratio": run.cpu_median_ms / limit}


def print_table(size: str, metadata: dict, rows: list[tuple[Workload, SamplerRun, CoreRun, ReadTime]],
                measured: int) -> None:
    print(f"\n== graph {size}: {metadata['edges']:,} edges, nodes {metadata['node_counts']}, "
          f"max in-degree customers {metadata['max_in_degree']['transactions__rev_made__customers']:,}, "
          f"products {metadata['max_in_degree']['transactions__rev_in__products']:,}; "
          f"{measured} timed batches per workload ==")
    print("sample():")
    print_rows([("workload", 8), ("batch", 5), ("hops", 4), ("edges/call", 10), ("median ms", 9), ("min ms", 8),
                ("cpu med ms", 10), ("Medges/s", 8), ("peak RSS MiB", 12), ("+RSS MiB", 8), ("result KiB", 10)],
               [[w.name, str(w.batch_size), str(w.hops), f"{r.edges_per_batch:.0f}", f"{r.median_ms:.3f}",
                 f"{r.min_ms:.3f}", f"{r.cpu_median_ms:.3f}", f"{r.edges_per_second / 1e6:.2f}",
                 f"{r.peak_rss_mib:.1f}", f"{r.rss_growth_mib:.1f}", f"{r.result_kib:.1f}"] for w, r, _, _ in rows])
    print("memory limit: cache lines an exact sampler must fetch per call x ns per independent random read, "
          "measured next to the workload; sample() / limit (1.0 cannot be reached). The cold limit takes the "
          "read time of blocks of 50,000 reads after the same eviction as the calls; back to back, the same calls "
          "run one right after another, without eviction:")
    print_rows([("workload", 8), ("lines/call", 10), ("ns/read", 7), ("limit ms", 8), ("median/limit", 12),
                ("min/limit", 9), ("cpu med/limit", 13), ("cold ns/read", 12), ("cpu med/cold limit", 18),
                ("back to back cpu med ms", 23), ("/limit", 6)],
               [[w.name, f"{m['lines_per_call']:.0f}", f"{m['ns_per_read']:.2f}", f"{m['limit_ms']:.3f}",
                 *(f"{m[ratio]:.2f}x" for ratio in ("median_ratio", "min_ratio", "cpu_median_ratio")),
                 f"{m['cold_ns_per_read']:.2f}", f"{m['cpu_median_cold_ratio']:.2f}x",
                 f"{r.back_to_back_cpu_median_ms:.3f}", f"{m['back_to_back_cpu_median_ratio']:.2f}x"]
                for w, r, m in ((w, r, limit_entry(r, read)) for w, r, _, read in rows)])
    print("the same calls on the core library in C++ (vornlib_core_bench), and sample() / core time, "
          "which is what the binding costs:")
    table = []
    for w, r, core, _ in rows:
        ratios = [f"{a / b:.2f}x" for a, b in
                  ((r.median_ms, core.median_ms), (r.min_ms, core.min_ms), (r.cpu_median_ms, core.cpu_median_ms))]
        table.append([w.name, f"{core.median_ms:.3f}", f"{core.min_ms:.3f}", f"{core.cpu_median_ms:.3f}",
                      f"{core.edges_per_second / 1e6:.2f}", *ratios])
    print_rows([("workload", 8), ("median ms", 9), ("min ms", 8), ("cpu med ms", 10), ("Medges/s", 8),
                ("ratio median", 12), ("ratio min", 9), ("ratio cpu median", 16)], table)


def check_checksums(size: str, rows: list[tuple[Workload, SamplerRun, CoreRun, ReadTime]], record: bool) -> bool:
    expected = json.loads(EXPECTED_CHECKSUMS.read_text()) if EXPECTED_CHECKSUMS.exists() else {}
    ok = True
    for workload, run, core, _ in rows:
        reference = expected.get(size, {}).get(workload.name)
        if record:
            expected.setdefault(size, {})[workload.name] = run.checksum
            verdict = "recorded"
        elif reference is None:
            verdict = "no reference recorded"
        elif reference == run.checksum:
            verdict = "matches reference"
        else:
            verdict = f"MISMATCH, reference {reference}"
            ok = False
        same = run.reach_digest == core.reach_digest
        agreement = "same nodes as the C++ core run" if same else "DIFFERENT nodes from the C++ core run"
        ok &= same
        print(f"checksum {size} {workload.name:<8} first {CHECKSUM_BATCHES} calls {run.checksum}: {verdict}; "
              f"reach digest {run.reach_digest} {agreement}")
    if record:
        EXPECTED_CHECKSUMS.write_text(json.dumps(expected, indent=2, sort_keys=True) + "\n")
    return ok


# ---- driver ------------------------------------------------------------------------

def build_problems(core_info: dict) -> list[str]:
    return build_check.extension_problems(Path(vornlib.__file__)) + build_check.core_bench_problems(core_info)


def warn_build(problems: list[str]) -> None:
    banner = "!" * 78
    print(f"{banner}\n!! NOT A RELEASE BUILD: these timings are meaningless\n"
          + "".join(f"!!   {problem}\n" for problem in problems) + banner)


def report_load(when: str) -> None:
    """Other processes on the machine inflate medians far more than minima."""
    load = os.getloadavg()[0]
    warning = "  <-- busy machine: wall-time medians are unreliable, compare minima and CPU medians" if load >= 1.0 else ""
    print(f"load average {when}: {load:.2f} on {os.cpu_count()} cpus{warning}")


def print_environment(core_info: dict) -> None:
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    print(f"python {platform.python_version()}, numpy {np.__version__}, vornlib {vornlib.__file__}")
    print(f"cpu {cpu}; C++ core benchmark build {core_info}")
    report_load("at start")


def scan_batch_sizes(size: str, metadata: dict, graph: Graph, read_times: ReadTimes) -> dict:
    """ns per sampled edge of sample() and of the memory limit, per workload and batch size."""
    scan = {}
    for name in SCAN_WORKLOADS:
        points = []
        for batch_size in SCAN_BATCH_SIZES:
            workload = dataclasses.replace(WORKLOADS[name], batch_size=batch_size)
            calls = max(SCAN_MIN_CALLS, SCAN_SEEDS // batch_size)
            seeds, times = synthetic_graph.seed_batches(metadata, batch_size, SCAN_WARMUP + calls)
            run, read = read_times.around(
                lambda: measure_sampler(workload, metadata, graph, seeds, times, SCAN_WARMUP))
            points.append({"batch_size": batch_size, "calls": calls, "edges_per_call": run.edges_per_batch,
                           "lines_per_call": run.lines_per_call,
                           "ns_per_edge": run.median_ms * 1e6 / run.edges_per_batch,
                           "cpu_ns_per_edge": run.cpu_median_ms * 1e6 / run.edges_per_batch,
                           "limit_ns_per_edge": run.lines_per_call * read.ns / run.edges_per_batch,
                           "cold_limit_ns_per_edge": run.lines_per_call * read.cold_ns / run.edges_per_batch,
                           "peak_rss_mib": run.peak_rss_mib})
        scan[name] = points
    print(f"[{size}] ns per sampled edge by batch size, sample() / memory limit:")
    print_rows([("workload", 8)] + [(str(b), 13) for b in SCAN_BATCH_SIZES],
               [[name] + [f"{p['ns_per_edge']:.1f} / {p['limit_ns_per_edge']:.1f}" for p in points]
                for name, points in scan.items()])
    return scan


def run_size(size: str, args: argparse.Namespace) -> bool:
    data_dir = (args.data / size).resolve()
    started = time.perf_counter()
    metadata, graph = read_index(data_dir), Graph.load(data_dir)  # memory-mapped
    touch_pages(graph.arrays())
    print(f"\n[{size}] graph mapped and paged in: {time.perf_counter() - started:.2f} s")
    total_batches = args.warmup + args.measured
    read_times = ReadTimes(args.memory_latency, EVICT_BYTES)
    rows = []
    for name in args.workloads:
        workload = WORKLOADS[name]
        seeds, times = synthetic_graph.seed_batches(metadata, workload.batch_size, total_batches)
        phase = time.perf_counter()
        def measure_both() -> SamplerRun:
            run = measure_sampler(workload, metadata, graph, seeds, times, args.warmup)
            run.back_to_back_cpu_median_ms = measure_back_to_back(workload, graph, seeds, times, args.warmup)
            return run

        run, read = read_times.around(measure_both)
        sampler_s = time.perf_counter() - phase
        phase = time.perf_counter()
        workload_file = write_workload_file(workload, metadata, data_dir, (args.out / size).resolve(), seeds, times,
                                           args.warmup)
        core = measure_core(args.core, workload_file)
        print(f"[{size}] {name}: sampler {sampler_s:.1f} s (construction {run.construct_ms:.1f} ms), "
              f"C++ core {time.perf_counter() - phase:.1f} s")
        rows.append((workload, run, core, read))
    print_table(size, metadata, rows, args.measured)
    report_load(f"after {size}")
    ok = check_checksums(size, rows, args.record_checksums)
    scan = scan_batch_sizes(size, metadata, graph, read_times) if args.batch_scan else None
    passes, cold = read_times.passes_ns, read_times.cold_passes_ns
    print(f"[{size}] memory: best {read_times.best.ns:.2f} ns per independent random 8-byte read (1 GiB, 4 KiB pages; "
          f"{len(passes)} passes in thread CPU time, {min(passes):.1f} to {max(passes):.1f} ns); cold, "
          f"{read_times.best.cold_ns:.2f} ns ({min(cold):.1f} to {max(cold):.1f} ns)")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / f"results-{size}.json").write_text(json.dumps(
        {"size": size, "edges": metadata["edges"], "warmup": args.warmup, "measured": args.measured,
         "ns_per_read": read_times.best.ns, "read_passes_ns": passes,
         "cold_ns_per_read": read_times.best.cold_ns, "cold_read_passes_ns": cold, "batch_scan": scan,
         "workloads": {w.name: {"sampler": asdict(r), "core": asdict(s), "memory_limit": limit_entry(r, read)}
                       for w, r, s, read in rows}}, indent=2) + "\n")
    return ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="*", help=f"graph sizes: {', '.join(synthetic_graph.SIZES)} "
                                                 f"(default: {' and '.join(DEFAULT_SIZES)})")
    parser.add_argument("--core", type=Path, required=True, help="the vornlib_core_bench executable")
    parser.add_argument("--memory-latency", type=Path, required=True,
                        help="the vornlib_memory_latency executable (time per random read)")
    parser.add_argument("--workloads", nargs="+", default=list(WORKLOADS), choices=list(WORKLOADS))
    parser.add_argument("--warmup", type=int, default=CHECKSUM_BATCHES,
                        help=f"untimed batches first (default {CHECKSUM_BATCHES})")
    parser.add_argument("--measured", type=int, default=128, help="timed batches (default 128, at least 100)")
    parser.add_argument("--data", type=Path, default=BENCH_DIR / "data")
    parser.add_argument("--out", type=Path, default=BENCH_DIR / "out")
    parser.add_argument("--no-batch-scan", dest="batch_scan", action="store_false",
                        help=f"skip the batch sizes {SCAN_BATCH_SIZES[0]} to {SCAN_BATCH_SIZES[-1]} "
                             f"of {' and '.join(SCAN_WORKLOADS)}")
    parser.add_argument("--record-checksums", action="store_true",
                        help=f"store this run's checksums in {EXPECTED_CHECKSUMS.name}")
    parser.add_argument("--allow-debug", action="store_true", help="run on a debug build, with a loud warning")
    args = parser.parse_args(argv)
    args.sizes = args.sizes or list(DEFAULT_SIZES)
    if unknown := [size for size in args.sizes if size not in synthetic_graph.SIZES]:
        parser.error(f"unknown size {unknown[0]}; choose from {', '.join(synthetic_graph.SIZES)}")
    if args.warmup + args.measured < CHECKSUM_BATCHES or args.measured < 1:
        parser.error(f"need at least {CHECKSUM_BATCHES} batches in all and one timed batch")

    core_info = build_check.core_bench_build(args.core)
    problems = build_problems(core_info)
    if problems:
        warn_build(problems)
        if not args.allow_debug:
            raise SystemExit("error: refusing to benchmark a debug or sanitizer build "
                             "(rebuild in Release, or pass --allow-debug)")
    print_environment(core_info)
    ok = all([run_size(size, args) for size in args.sizes])
    picture = write_picture(args.out)
    print(f"\npicture of how cost grows: {picture}" if picture else "\nno picture: matplotlib is not installed")
    if problems:
        warn_build(problems)
    if not ok:
        print("FAILED: a checksum differs from its reference, or the C++ core run reached other nodes")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
