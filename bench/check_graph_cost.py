"""Cost of vornlib_tools.check_graph per million edges on a benchmark graph.

    .venv/bin/python bench/check_graph_cost.py [--size 1m] [--repeats 5]

Needs the graph from `bash scripts/run_bench.sh SIZE` (or `python -m
vornlib_tools.synthetic --size SIZE --out bench/data/SIZE`). The graph is
memory-mapped and paged in by a first, untimed check; the best and the median
of the timed repeats are printed.
"""

import argparse
import statistics
import time
from pathlib import Path

from vornlib_tools import Graph, check_graph


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1m")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    graph = Graph.load(Path(__file__).resolve().parent / "data" / args.size)
    arguments = (graph.node_types, graph.edge_types, graph.colptr, graph.row, graph.node_time)
    check_graph(*arguments)  # pages the graph in
    seconds = []
    for _ in range(args.repeats):
        started = time.perf_counter()
        check_graph(*arguments)
        seconds.append(time.perf_counter() - started)
    millions = graph.num_edges / 1e6
    print(f"check_graph on {args.size} ({graph.num_edges:,} edges): best {min(seconds):.3f} s, "
          f"median {statistics.median(seconds):.3f} s = {min(seconds) / millions * 1e3:.1f} ms "
          f"(median {statistics.median(seconds) / millions * 1e3:.1f} ms) per million edges")


if __name__ == "__main__":
    main()
