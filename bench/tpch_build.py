"""Building the graph of a TPC-H database with Database.to_graph, straight
from the DuckDB file and within a memory limit, with every column of the
five tables as a feature (or none); then sampling batches from it, on first
touch and warm.

    python -m venv /tmp/tpch && /tmp/tpch/bin/pip install numpy duckdb==1.5.5 duckdb-extension-tpch==1.5.5
    /tmp/tpch/bin/python bench/tpch_build.py --generate-only 1 10    # DATA/sfN.duckdb, once
    .venv/bin/python bench/tpch_build.py 1 10          # features and keys only, 4 GB limit
    python bench/tpch_build.py 30 --modes features --keep --output bench/results/tpch_build_sf30.json
    python bench/tpch_build.py 10 --before ../old-checkout   # the old code too, in the same run

Each build runs in a fresh child process. A thread there samples the
process's resident anonymous memory (RssAnon, which the page cache of the
files the build writes and maps is not) every 5 ms and charges it to the
build's phase at that moment; the seconds per phase come from the build's
own DEBUG log. Each sampling measurement runs in another fresh child after
the graph's files were dropped from the page cache. Results:
bench/results/tpch_build.json and the tables rendered from it,
bench/results/tpch_build.md (docs/scale.md describes what is built).
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import json
import logging
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# (table, primary key, {foreign key column: referenced table}, time column)
SCHEMA = [
    ("customer", "c_custkey", {}, None),
    ("orders", "o_orderkey", {"o_custkey": "customer"}, "o_orderdate"),
    ("lineitem", None, {"l_orderkey": "orders", "l_partkey": "part", "l_suppkey": "supplier"}, "l_shipdate"),
    ("part", "p_partkey", {}, None),
    ("supplier", "s_suppkey", {}, None),
]
MODES = ("features", "keys")
# Sampling: batches of orders at their own time, this many neighbours per edge type and hop.
BATCH, FANOUT, WARM_BATCHES = 512, [8, 4], 50


def database_path(data: Path, scale: int) -> Path:
    return data / f"sf{scale}.duckdb"


# The generator: the TPC-H extension is published for this DuckDB only, so the databases are made
# in a virtual environment of their own; any DuckDB the toolkit takes (pyproject.toml) reads them.
GENERATOR = ("duckdb==1.5.5", "duckdb-extension-tpch==1.5.5")


def tpch_extension() -> str:
    import duckdb

    try:
        import duckdb_extension_tpch
    except ImportError:
        raise SystemExit(f"generating needs {' '.join(GENERATOR)} (in a venv of their own)") from None
    version = duckdb.__version__
    path = Path(duckdb_extension_tpch.__file__).parent / "extensions" / f"v{version}" / "tpch.duckdb_extension"
    if not path.exists():
        raise SystemExit(f"{path} is missing: generating needs {' '.join(GENERATOR)} (in a venv of their own)")
    return str(path)


def generate(data: Path, scale: int) -> None:
    """The TPC-H database at this scale, generated in steps of about one
    scale factor so that DuckDB's memory stays small at any scale."""
    import duckdb

    path = database_path(data, scale)
    if path.exists():
        return
    data.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    partial.unlink(missing_ok=True)
    start = time.perf_counter()
    con = duckdb.connect(str(partial))
    con.execute("SET memory_limit = '4GB'")
    con.execute(f"LOAD '{tpch_extension()}'")
    steps = max(scale // 2, 1)
    for step in range(steps):
        con.execute(f"CALL dbgen(sf={scale}, children={steps}, step={step})" if steps > 1 else
                    f"CALL dbgen(sf={scale})")
    con.close()
    partial.replace(path)
    print(f"generated {path} in {time.perf_counter() - start:.0f} s", flush=True)


# ---- one build (child process) ------------------------------------------------------------

class Memory:
    """Peak RssAnon per build phase, sampled in a thread."""

    def __init__(self) -> None:
        self.phase = "open"
        self.peaks: dict[str, int] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()

    def _sample(self) -> None:
        while not self._stop.is_set():
            anon = rss_anon()
            self.peaks[self.phase] = max(self.peaks.get(self.phase, 0), anon)
            time.sleep(0.005)

    def stop(self) -> dict[str, float]:
        self._stop.set()
        self._thread.join()
        return {name: round(value / 1e9, 3) for name, value in self.peaks.items()}

    def follow(self, module) -> None:
        """Charges memory to the phase the build's clock is in (its phases nest): the
        clock is private, but the code before and after lazy tables both have it."""
        clock = module._Clock
        original = clock.phase
        memory = self

        @contextlib.contextmanager
        def phase(self, name, *args, **kwargs):
            outer = memory.phase
            memory.phase = name
            try:
                with original(self, name, *args, **kwargs):
                    yield
            finally:
                memory.phase = outer

        clock.phase = phase


def rss_anon() -> int:
    return status_kib("RssAnon") * 1024


def tables(path: Path, mode: str):
    """The five tables as Tables over DuckDB relations: every column a
    feature (mode "features") or only keys and times ("keys")."""
    import duckdb
    from vornlib_tools import Table

    con = duckdb.connect(str(path), read_only=True)
    con.execute("SET enable_progress_bar = false")
    result = {}
    for name, key, references, time_column in SCHEMA:
        relation = con.table(name)
        used = {key, *references, time_column} - {None}
        ignore = [] if mode == "features" else [c for c in relation.columns if c not in used]
        if not lazy_tables():
            # Code from before lazy tables: it reads what it is given when the Table is made, so it is
            # given only the columns it uses, as its benchmark did.
            columns = ", ".join(sorted(used) if mode == "keys" else relation.columns)
            relation = con.sql(f"SELECT {columns} FROM {name}")
            ignore = []
        result[name] = Table(relation, primary_key=key, foreign_keys=references, time=time_column, ignore=ignore)
    return con, result


def lazy_tables() -> bool:
    """Whether the code under test reads a Table's rows only when it builds (it then takes memory_limit)."""
    from vornlib_tools import Database

    return "memory_limit" in inspect.signature(Database.to_graph).parameters


def child(database: Path, out: Path, mode: str, limit: str, kill_gb: float) -> dict:
    from vornlib_tools import Database
    from vornlib_tools import _database as module

    memory = Memory()
    memory.follow(module)
    phases: dict = {}

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            phases.update(getattr(record, "phases", {}))

    logger = logging.getLogger("vornlib_tools.database")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Collect())

    def guard() -> None:  # code without a budget can take the shared machine's memory: stop it first
        while True:
            if rss_anon() > kill_gb * 1e9:
                print(json.dumps({"stopped": True, "phase": memory.phase, "anon_gb": round(rss_anon() / 1e9, 2),
                                  "seconds": round(time.perf_counter() - start, 1)}), flush=True)
                os._exit(3)
            time.sleep(0.005)

    start = time.perf_counter()
    threading.Thread(target=guard, daemon=True).start()
    memory.phase = "open"
    con, given = tables(database, mode)
    options = {"progress": False, "memory_limit": limit} if lazy_tables() else {}
    memory.phase = "other"
    graph = Database(given).to_graph(out, **options)
    total = time.perf_counter() - start
    peaks = memory.stop()
    con.close()
    return {"seconds": round(total, 2), "peak_anon_gb": max(peaks.values()), "peak_anon_per_phase_gb": peaks,
            "vmhwm_gb": round(status_kib("VmHWM") * 1024 / 1e9, 3),
            "phases": {name: round(seconds, 2) for name, seconds in phases.items()},
            "edges": graph.num_edges, "disk_gb": round(directory_size(out) / 1e9, 3),
            "checked": bool(graph.checked)}


def status_kib(name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(name + ":"):
            return int(line.split()[1])
    return 0


def directory_size(directory: Path) -> int:
    return sum(entry.stat().st_size for entry in directory.iterdir() if entry.is_file())


# ---- sampling from the built graph (child process) ----------------------------------------

def drop_from_page_cache(directory: Path) -> None:
    """Evicts the graph's files from the page cache (only they: the machine is shared)."""
    os.sync()
    for path in directory.iterdir():
        with open(path, "rb") as file:
            os.posix_fadvise(file.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def sampling(out: Path, warm: bool) -> dict:
    from vornlib_tools import Graph

    start = time.perf_counter()
    graph = Graph.load(out, warm=warm)
    warming = None
    if warm:
        graph.warming.wait()
        warming = {"warming_seconds": round(time.perf_counter() - start, 2),
                   "warmed_gb": round(graph.warming.bytes / 1e9, 2)}
    rng = np.random.default_rng(7)
    request = {key: FANOUT for key in graph.keys}

    def batch() -> float:
        seeds = rng.integers(0, graph.num_nodes["orders"], BATCH)
        began = time.perf_counter()
        result = graph.sample("orders", seeds, "own", num_neighbors=request, index=True)
        result.features(graph)
        return time.perf_counter() - began

    first = [batch() for _ in range(10)]
    for _ in range(WARM_BATCHES):
        batch()
    steady = sorted(batch() for _ in range(20))
    return {**(warming or {}), "first_batch_s": round(first[0], 3), "batches_2_to_10_s": round(
        float(np.mean(first[1:])), 3), "warm_batch_s": round(steady[len(steady) // 2], 4)}


# ---- the driver ----------------------------------------------------------------------------

def run_child(arguments: list[str], code: Path | None = None) -> dict:
    environment = dict(os.environ)
    if code is not None:
        environment["PYTHONPATH"] = str(code)
    result = subprocess.run([sys.executable, __file__, *arguments], stdout=subprocess.PIPE, text=True,
                            env=environment)
    lines = result.stdout.strip().splitlines()
    if not lines:
        raise SystemExit(f"the child {arguments} printed nothing (exit {result.returncode})")
    return json.loads(lines[-1])


def measure(database: Path, out: Path, mode: str, limit: str, kill_gb: float, code: Path | None) -> dict:
    shutil.rmtree(out, ignore_errors=True)
    os.sync()  # the previous graph's dirty pages are not left for this one's writes to wait on
    try:
        return run_child(["--child", str(database), str(out), mode, limit, str(kill_gb)], code)
    finally:  # a stopped build cannot remove its unfinished directory itself
        for partial in out.parent.glob(f".{out.name}.building-*"):
            shutil.rmtree(partial, ignore_errors=True)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scales", nargs="*", type=int, default=[1, 10])
    parser.add_argument("--data", type=Path, default=HERE / "data" / "tpch")
    parser.add_argument("--modes", nargs="+", choices=MODES, default=list(MODES))
    parser.add_argument("--memory-limit", default="4GB", help="the builds' memory_limit (default 4GB)")
    parser.add_argument("--before", type=Path, help="a checkout of other code to build with too, first")
    parser.add_argument("--kill-gb", type=float, default=14.0,
                        help="stop a build whose anonymous memory passes this (the machine is shared)")
    parser.add_argument("--no-sampling", action="store_true", help="skip the first-touch and warm batches")
    parser.add_argument("--keep", action="store_true", help="keep the last graph directory")
    parser.add_argument("--generate-only", action="store_true")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "tpch_build.json",
                        help="the results; the tables go beside it, with the suffix .md")
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--sample", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        database, out, mode, limit, kill_gb = args.child
        print(json.dumps(child(Path(database), Path(out), mode, limit, float(kill_gb))))
        return
    if args.sample:
        print(json.dumps(sampling(Path(args.sample[0]), args.sample[1] == "warm")))
        return
    for scale in args.scales:
        generate(args.data, scale)
    if args.generate_only:
        return
    results = []
    codes = ([("before", args.before.resolve())] if args.before else []) + [("after", None)]
    for scale in args.scales:
        for mode in args.modes:
            for label, code in codes:
                out = args.data / f"sf{scale}-{mode}.graph"
                result = {"scale": scale, "mode": mode, "code": label, "memory_limit": args.memory_limit,
                          **measure(database_path(args.data, scale), out, mode, args.memory_limit, args.kill_gb,
                                    code)}
                if not args.no_sampling and label == "after" and not result.get("stopped"):
                    for warm in ("cold", "warm"):
                        drop_from_page_cache(out)
                        result[f"sampling_{warm}"] = run_child(["--sample", str(out), warm])
                results.append(result)
                print(json.dumps(result), flush=True)
                if not (args.keep and scale == args.scales[-1] and mode == args.modes[-1]):
                    shutil.rmtree(out, ignore_errors=True)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    record = {"command": " ".join(["bench/tpch_build.py", *(argv if argv is not None else sys.argv[1:])]),
              "date": time.strftime("%Y-%m-%d"), "results": results, **versions()}
    args.output.write_text(json.dumps(record, indent=2) + "\n")
    args.output.with_suffix(".md").write_text(markdown(record))


def versions() -> dict:
    import duckdb

    return {"duckdb": duckdb.__version__, "numpy": np.__version__, "cores": os.cpu_count()}


PHASES = ["open", "keys", "times", "time order", "edges", "check", "features", "write", "other"]


def markdown(record: dict) -> str:
    """The run's tables: totals, then seconds and peak anonymous memory per phase, then sampling."""
    lines = ["# TPC-H graph build", "",
             f"Written by `{record['command']}` ({record['date']}; {record['cores']} cores, DuckDB "
             f"{record['duckdb']}, numpy {record['numpy']}). Mode `features`: every column of the five tables a "
             "feature; `keys`: keys and times only. Peak is the build process's resident anonymous memory "
             "(RssAnon, sampled every 5 ms; the page cache of the files it writes and maps is not in it); VmHWM, "
             "which counts those mapped pages too, beside it. On disk is the graph directory's files.", "",
             "| SF | mode | code | seconds | peak anon GB | VmHWM GB | edges | on disk GB |",
             "|---|---|---|---|---|---|---|---|"]
    for r in record["results"]:
        if r.get("stopped"):
            lines.append(f"| {r['scale']} | {r['mode']} | {r['code']} | stopped at {r['seconds']:.0f} s in "
                         f"{r['phase']} | {r['anon_gb']:.1f} | | | |")
            continue
        lines.append(f"| {r['scale']} | {r['mode']} | {r['code']} | {r['seconds']:.1f} | {r['peak_anon_gb']:.2f} | "
                     f"{r['vmhwm_gb']:.2f} | {r['edges']:,} | {r['disk_gb']:.2f} |")
    built = [r for r in record["results"] if not r.get("stopped")]
    timed = PHASES[1:-1]
    lines += ["", "Seconds per phase, from the build's log (`open`, making the Tables, is in the total only):", "",
              "| SF | mode | code | " + " | ".join(timed) + " |", "|---|---|---|" + "---|" * len(timed)]
    for r in built:
        lines.append(f"| {r['scale']} | {r['mode']} | {r['code']} | "
                     + " | ".join(f"{r['phases'].get(p, 0.0):.2f}" for p in timed) + " |")
    lines += ["", "Peak anonymous memory per phase, GB (`other`: outside the build's phases, such as counting the "
              "rows and loading the finished graph):", "",
              "| SF | mode | code | " + " | ".join(PHASES) + " |", "|---|---|---|" + "---|" * len(PHASES)]
    for r in built:
        peaks = r["peak_anon_per_phase_gb"]
        lines.append(f"| {r['scale']} | {r['mode']} | {r['code']} | "
                     + " | ".join(f"{peaks[p]:.2f}" if p in peaks else "" for p in PHASES) + " |")
    sampled = [r for r in built if "sampling_cold" in r]
    if sampled:
        lines += ["", f"Seconds per batch of {BATCH} orders at their own time, {FANOUT} neighbours per edge type "
                  "and hop, features gathered. Cold: the graph's files dropped from the page cache, then "
                  "`Graph.load`; warm load: `Graph.load(warm=True)` and its warming awaited first (its seconds "
                  f"and GB read beside it); warm: the median of 20 batches after {WARM_BATCHES + 10}.", "",
                  "| SF | mode | first batch, cold | batches 2-10, cold | warm load s (GB) | first batch after it | "
                  "warm |", "|---|---|---|---|---|---|---|"]
        for r in sampled:
            cold, warm = r["sampling_cold"], r["sampling_warm"]
            lines.append(f"| {r['scale']} | {r['mode']} | {cold['first_batch_s']:.3f} | "
                         f"{cold['batches_2_to_10_s']:.3f} | {warm['warming_seconds']:.1f} ({warm['warmed_gb']:.1f}) | "
                         f"{warm['first_batch_s']:.3f} | {cold['warm_batch_s']:.4f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
