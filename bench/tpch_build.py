"""Building a graph from a TPC-H database: Database.to_graph against the old
hand-written way (keys mapped with argsort and searchsorted, then
Graph.from_foreign_keys and save), from the DuckDB file to a saved graph.

    pip install "duckdb==1.5.5" "duckdb-extension-tpch==1.5.5"
    python bench/tpch_build.py --generate-only 1 10    # DATA/sfN.duckdb, once
    python bench/tpch_build.py 1 10

Each build runs in a fresh child process, so its peak resident memory (VmHWM)
is its own; "after" phases come from the build's own DEBUG log. Both graphs
are then compared array by array. Results: bench/results/tpch_build.json and
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


def build_after(tables: dict, out: Path, phases: dict) -> object:
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


def build_before(tables: dict, out: Path, phases: dict) -> object:
    """The old way: keys mapped by hand, then Graph.from_foreign_keys and save."""
    from vornlib_tools import Graph
    from vornlib_tools.graph import ForeignKey

    def clock(name: str, started: float) -> float:
        now = time.perf_counter()
        phases[name] = phases.get(name, 0.0) + now - started
        return now

    checking = Graph.check

    def timed_check(self) -> None:
        started = time.perf_counter()
        checking(self)
        clock("check", started)

    Graph.check = timed_check
    started = time.perf_counter()
    num_nodes = {name: tables[name].num_rows for name, *_ in SCHEMA}
    node_time = {}
    for name, _, _, time_column, _ in SCHEMA:
        if time_column:
            days = np.asarray(tables[name].column(time_column).combine_chunks().cast("int32"))
            node_time[name] = days.astype(np.int64) * 86_400
    lookups = {}
    for name, key, _, _, _ in SCHEMA:
        if key:
            values = np.asarray(tables[name].column(key).combine_chunks())
            order = np.argsort(values)
            lookups[name] = (values[order], order)
    foreign_keys = []
    for name, _, references, _, _ in SCHEMA:
        for column, referenced in references.items():
            ids = np.asarray(tables[name].column(column).combine_chunks())
            ordered, order = lookups[referenced]
            position = np.searchsorted(ordered, ids)
            if not np.array_equal(ordered[position], ids):
                raise SystemExit(f"{name}.{column} has dangling references")
            foreign_keys.append(ForeignKey(name, order[position], referenced, column))
    tables.clear()
    lookups.clear()
    started = clock("keys", started)
    graph = Graph.from_foreign_keys(num_nodes, node_time, foreign_keys)
    foreign_keys.clear()
    started = clock("csc", started)
    phases["csc"] -= phases.get("check", 0.0)  # from_foreign_keys checks the graph it built
    graph.save(out)
    clock("write", started)
    return graph


def peak_memory() -> dict:
    status = dict(line.split(":", 1) for line in Path("/proc/self/status").read_text().splitlines() if ":" in line)
    kib = {name: int(status[name].split()[0]) for name in ("VmHWM", "VmRSS")}
    return {name.lower() + "_gb": round(value * 1024 / 1e9, 3) for name, value in kib.items()}


def directory_size(directory: Path) -> int:
    return sum(entry.stat().st_size for entry in directory.iterdir() if entry.is_file())


def child(way: str, database: Path, out: Path, with_features: bool) -> dict:
    start = time.perf_counter()
    tables = fetch(database, with_features)
    phases = {"fetch": time.perf_counter() - start}
    graph = (build_after if way == "after" else build_before)(tables, out, phases)
    total = time.perf_counter() - start
    return {"way": way, "seconds": round(total, 2), **peak_memory(),
            "phases": {name: round(seconds, 2) for name, seconds in phases.items()},
            "edges": graph.num_edges, "disk_gb": round(directory_size(out) / 1e9, 3),
            "checked": bool(graph.checked)}


# ---- the driver ----------------------------------------------------------------------------

def measure(way: str, database: Path, out: Path, with_features: bool) -> dict:
    shutil.rmtree(out, ignore_errors=True)
    os.sync()  # the previous graph's dirty pages are not left for this one's writes to wait on
    command = [sys.executable, __file__, "--child", way, str(database), str(out)] + \
        (["--features"] if with_features else [])
    result = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def same_graph(first: Path, second: Path) -> bool:
    """Every colptr, row and time array of the two directories is equal (compared in slices)."""
    from vornlib_tools import Graph

    a, b = Graph.load(first), Graph.load(second)
    if a.edge_types != b.edge_types or a.num_nodes != b.num_nodes:
        return False
    pairs = [(a.colptr[k], b.colptr[k]) for k in a.keys] + [(a.row[k], b.row[k]) for k in a.keys] + \
        [(a.node_time[n], b.node_time[n]) for n in a.node_time]
    step = 1 << 24
    return all(x.shape == y.shape and all(np.array_equal(x[i:i + step], y[i:i + step])
                                          for i in range(0, len(x), step)) for x, y in pairs)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scales", nargs="*", type=int, default=[1, 10])
    parser.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "data" / "tpch")
    parser.add_argument("--ways", nargs="+", default=["before", "after"], choices=["before", "after"])
    parser.add_argument("--features", action="store_true", help="also fetch a few numeric feature columns")
    parser.add_argument("--generate-only", action="store_true")
    parser.add_argument("--no-compare", action="store_true", help="skip comparing the two graphs")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "tpch_build.json",
                        help="the results; the tables go beside it, with the suffix .md")
    parser.add_argument("--child", nargs=3, metavar=("WAY", "DATABASE", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        way, database, out = args.child
        print(json.dumps(child(way, Path(database), Path(out), args.features)))
        return
    for scale in args.scales:
        generate(args.data, scale)
    if args.generate_only:
        return
    results = []
    for scale in args.scales:
        graphs = {}
        for way in args.ways:
            out = args.data / f"sf{scale}-{way}{'-features' if args.features else ''}.graph"
            result = {"scale": scale, "features": args.features, **measure(way, database_path(args.data, scale),
                                                                          out, args.features)}
            graphs[way] = out
            results.append(result)
            print(json.dumps(result), flush=True)
        if len(graphs) == 2 and not args.features and not args.no_compare:
            equal = same_graph(graphs["before"], graphs["after"])
            print(f"SF{scale}: before and after graphs {'are equal' if equal else 'DIFFER'}", flush=True)
            for result in results[-2:]:
                result["equal_graphs"] = equal
    args.output.parent.mkdir(parents=True, exist_ok=True)
    record = {"command": " ".join(sys.argv), "date": time.strftime("%Y-%m-%d"), "results": results, **versions()}
    args.output.write_text(json.dumps(record, indent=2) + "\n")
    args.output.with_suffix(".md").write_text(markdown(record))


def versions() -> dict:
    import duckdb

    return {"duckdb": duckdb.__version__, "numpy": np.__version__, "cores": os.cpu_count()}


# Phase columns; the edge types are "edges" in the library's log and "csc" in the hand-written way.
PHASES = {"fetch": ["fetch"], "keys": ["keys"], "times": ["times"], "time order": ["time order"],
          "edges (CSC)": ["edges", "csc"], "check": ["check"], "features": ["features"], "write": ["write"]}


def markdown(record: dict) -> str:
    """The run's tables: totals per scale and way, then the seconds of each phase."""
    lines = ["# TPC-H graph build", "",
             f"Written by `bench/tpch_build.py` ({record['date']}, `{record['command']}`; {record['cores']} cores, "
             f"DuckDB {record['duckdb']}, numpy {record['numpy']}). Peak is the build process's VmHWM; on disk is "
             "the graph directory's files.", "",
             "| SF | way | seconds | peak RSS GB | edges | on disk GB | same graph |", "|---|---|---|---|---|---|---|"]
    for r in record["results"]:
        lines.append(f"| {r['scale']} | {r['way']} | {r['seconds']:.1f} | {r['vmhwm_gb']:.2f} | {r['edges']:,} | "
                     f"{r['disk_gb']:.2f} | {'yes' if r.get('equal_graphs') else '-'} |")
    lines += ["", "Seconds per phase (blank: the way has no such phase):", "",
              "| SF | way | " + " | ".join(PHASES) + " |", "|---|---|" + "---|" * len(PHASES)]
    for r in record["results"]:
        cells = [next((f"{r['phases'][name]:.2f}" for name in names if name in r["phases"]), "")
                 for names in PHASES.values()]
        lines.append(f"| {r['scale']} | {r['way']} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
