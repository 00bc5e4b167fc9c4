"""Building a graph from a TPC-H database with Database.to_graph, from the
DuckDB file to a saved graph.

    pip install "duckdb==1.5.5" "duckdb-extension-tpch==1.5.5"
    python bench/tpch_build.py --generate-only 1 10    # DATA/sfN.duckdb, once
    python bench/tpch_build.py 1 10

Each build runs in a fresh child process, so its peak resident memory (VmHWM)
is its own; the phases come from the build's own DEBUG log. Results: bench/results/tpch_build.json and
the tables rendered from it, bench/results/tpch_build.md (docs/scale.md cites
them; what is built is described there).
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# (table, primary key, {foreign key column: referenced table}, time column, feature columns)
SCHEMA = [
    ("customer", "c_custkey", {}, None, ["c_acctbal"]),
    ("orders", "o_orderkey", {"o_custkey": "customer"}, "o_orderdate", ["o_totalprice"]),
    ("lineitem", None, {"l_orderkey": "orders", "l_partkey": "part", "l_suppkey": "supplier"}, "l_shipdate",
     ["l_quantity", "l_extendedprice", "l_discount"]),
    ("part", "p_partkey", {}, None, ["p_retailprice"]),
    ("supplier", "s_suppkey", {}, None, ["s_acctbal"]),
]


def database_path(data: Path, scale: int) -> Path:
    return data / f"sf{scale}.duckdb"


def tpch_extension() -> str:
    import duckdb
    import duckdb_extension_tpch

    version = duckdb.__version__
    path = Path(duckdb_extension_tpch.__file__).parent / "extensions" / f"v{version}" / "tpch.duckdb_extension"
    if not path.exists():
        raise SystemExit(f"{path} is missing: install duckdb-extension-tpch=={version}")
    return str(path)


def generate(data: Path, scale: int) -> None:
    import duckdb

    path = database_path(data, scale)
    if path.exists():
        return
    data.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    partial.unlink(missing_ok=True)
    start = time.perf_counter()
    con = duckdb.connect(str(partial))
    con.execute(f"LOAD '{tpch_extension()}'")
    con.execute(f"CALL dbgen(sf={scale})")
    con.close()
    partial.replace(path)
    print(f"generated {path} in {time.perf_counter() - start:.0f} s", flush=True)


# ---- one measurement (child process) ------------------------------------------------------

def fetch(path: Path, with_features: bool) -> dict:
    """Arrow tables of the columns the graph uses, straight from the DuckDB file."""
    import duckdb

    con = duckdb.connect(str(path), read_only=True)
    tables = {}
    for name, key, references, time_column, feature_columns in SCHEMA:
        columns = [c for c in [key, *references, time_column] if c]
        if with_features:
            columns += [f"CAST({c} AS DOUBLE) AS {c}" for c in feature_columns]
        tables[name] = con.sql(f"SELECT {', '.join(columns)} FROM {name}").to_arrow_table()
    con.close()
    return tables


def build(tables: dict, out: Path, phases: dict) -> object:
    from vornlib_tools import Database, Table

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            phases.update(getattr(record, "phases", {}))

    logger = logging.getLogger("vornlib_tools.database")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Collect())
    database = Database({name: Table(tables.pop(name), primary_key=key, foreign_keys=references, time=time_column)
                         for name, key, references, time_column, _ in SCHEMA})
    return database.to_graph(out)


def peak_memory() -> dict:
    status = dict(line.split(":", 1) for line in Path("/proc/self/status").read_text().splitlines() if ":" in line)
    kib = {name: int(status[name].split()[0]) for name in ("VmHWM", "VmRSS")}
    return {name.lower() + "_gb": round(value * 1024 / 1e9, 3) for name, value in kib.items()}


def directory_size(directory: Path) -> int:
    return sum(entry.stat().st_size for entry in directory.iterdir() if entry.is_file())


def child(database: Path, out: Path, with_features: bool) -> dict:
    start = time.perf_counter()
    tables = fetch(database, with_features)
    phases = {"fetch": time.perf_counter() - start}
    graph = build(tables, out, phases)
    total = time.perf_counter() - start
    return {"seconds": round(total, 2), **peak_memory(),
            "phases": {name: round(seconds, 2) for name, seconds in phases.items()},
            "edges": graph.num_edges, "disk_gb": round(directory_size(out) / 1e9, 3),
            "checked": bool(graph.checked)}


# ---- the driver ----------------------------------------------------------------------------

def measure(database: Path, out: Path, with_features: bool) -> dict:
    shutil.rmtree(out, ignore_errors=True)
    os.sync()  # the previous graph's dirty pages are not left for this one's writes to wait on
    command = [sys.executable, __file__, "--child", str(database), str(out)] + \
        (["--features"] if with_features else [])
    result = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scales", nargs="*", type=int, default=[1, 10])
    parser.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "data" / "tpch")
    parser.add_argument("--features", action="store_true", help="also fetch a few numeric feature columns")
    parser.add_argument("--generate-only", action="store_true")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "tpch_build.json",
                        help="the results; the tables go beside it, with the suffix .md")
    parser.add_argument("--child", nargs=2, metavar=("DATABASE", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        database, out = args.child
        print(json.dumps(child(Path(database), Path(out), args.features)))
        return
    for scale in args.scales:
        generate(args.data, scale)
    if args.generate_only:
        return
    results = []
    for scale in args.scales:
        out = args.data / f"sf{scale}{'-features' if args.features else ''}.graph"
        result = {"scale": scale, "features": args.features,
                  **measure(database_path(args.data, scale), out, args.features)}
        results.append(result)
        print(json.dumps(result), flush=True)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    record = {"command": " ".join(sys.argv), "date": time.strftime("%Y-%m-%d"), "results": results, **versions()}
    args.output.write_text(json.dumps(record, indent=2) + "\n")
    args.output.with_suffix(".md").write_text(markdown(record))


def versions() -> dict:
    import duckdb

    return {"duckdb": duckdb.__version__, "numpy": np.__version__, "cores": os.cpu_count()}


PHASES = ["fetch", "keys", "times", "time order", "edges", "check", "features", "write"]


def markdown(record: dict) -> str:
    """The run's tables: totals per scale, then the seconds of each phase."""
    lines = ["# TPC-H graph build", "",
             f"Written by `bench/tpch_build.py` ({record['date']}, `{record['command']}`; {record['cores']} cores, "
             f"DuckDB {record['duckdb']}, numpy {record['numpy']}). Peak is the build process's VmHWM; on disk is "
             "the graph directory's files.", "",
             "| SF | seconds | peak RSS GB | edges | on disk GB |", "|---|---|---|---|---|"]
    for r in record["results"]:
        lines.append(f"| {r['scale']} | {r['seconds']:.1f} | {r['vmhwm_gb']:.2f} | {r['edges']:,} | {r['disk_gb']:.2f} |")
    lines += ["", "Seconds per phase:", "", "| SF | " + " | ".join(PHASES) + " |", "|---|" + "---|" * len(PHASES)]
    for r in record["results"]:
        lines.append(f"| {r['scale']} | " + " | ".join(f"{r['phases'].get(phase, 0.0):.2f}" for phase in PHASES) + " |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
