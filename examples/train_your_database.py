"""Train a temporal GNN on your own database: tables, a task, fan-outs, run.

    pip install ".[train]"
    python examples/train_your_database.py [--tiny] [--data-dir DIR] [--out DIR]

The tables here are the synthetic shop's, handed over as plain pandas frames
the way read_csv or read_sql would hand over yours: customers keyed by a text
id, products by row, and transactions that refer to both, with times as
datetimes. docs/training.md walks through each step; the last line printed is
the report as one JSON object.
"""

from __future__ import annotations

import argparse
import dataclasses
import tempfile
from pathlib import Path

import pandas as pd

from vornlib_tools import Database, Table, synthetic
from vornlib_tools.recipe import Settings, Task, run

HORIZON = pd.Timedelta(days=30)


def your_tables(tiny: bool) -> dict[str, pd.DataFrame]:
    """Stands in for reading your tables: customers (customer_id, appeared),
    products (category, appeared), transactions (time, customer, product)."""
    shape = synthetic.PRESETS["recipe-quick"]
    if tiny:
        shape = dataclasses.replace(shape, transactions=20_000, customers=1_500, products=200)
    frames = {name: pd.DataFrame(table.frame) for name, table in synthetic.database(shape).tables.items()}
    for frame, column in ((frames["customers"], "appeared"), (frames["products"], "appeared"),
                          (frames["transactions"], "time")):
        frame[column] = pd.to_datetime(frame[column], unit="s", utc=True)
    return frames


def schema(frames: dict[str, pd.DataFrame]) -> Database:
    """Keys, references and each row's time; products have no key, so
    transactions refer to them by row position."""
    return Database({
        "customers": Table(frames["customers"], primary_key="customer_id", time="appeared"),
        "products": Table(frames["products"], time="appeared", categorical=["category"]),
        "transactions": Table(frames["transactions"], time="time",
                              foreign_keys={"customer": "customers", "product": "products"}),
    })


def task(frames: dict[str, pd.DataFrame], months: int) -> Task:
    """At each monthly cutoff, every customer who has appeared by then: do
    they buy within the next 30 days? The last cutoff is the test, the one
    before validation, the others training."""
    customers, transactions = frames["customers"], frames["transactions"]
    test = transactions["time"].max() - HORIZON
    cutoffs = [test - k * HORIZON for k in range(months + 1, -1, -1)]
    seeds = []
    for cutoff in cutoffs:
        known = customers[customers["appeared"] <= cutoff]
        later = transactions[(transactions["time"] > cutoff) & (transactions["time"] <= cutoff + HORIZON)]
        seeds.append(pd.DataFrame({"customer_id": known["customer_id"], "time": cutoff,
                                   "label": known["customer_id"].isin(later["customer"])}))
    return Task("customers", pd.concat(seeds, ignore_index=True),
                splits={"train": (cutoffs[0], cutoffs[-2]), "val": (cutoffs[-2], cutoffs[-1]),
                        "test": (cutoffs[-1], cutoffs[-1] + HORIZON)})


# Hop 1: a customer's 16 latest transactions; hop 2: the product of each.
FAN_OUTS = {("transactions", "rev_customer", "customers"): [16, 0], ("products", "product", "transactions"): [0, 1]}


def main(argv: list[str] | None = None) -> dict | None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tiny", action="store_true", help="a small shop and few steps, for tests")
    parser.add_argument("--data-dir", type=Path, default=Path(tempfile.gettempdir()) / "vornlib-your-database")
    parser.add_argument("--out", type=Path, default=Path("runs"))
    args = parser.parse_args(argv)
    frames = your_tables(args.tiny)
    settings = Settings(num_neighbors=FAN_OUTS, epochs=2 if args.tiny else 4, data_dir=args.data_dir, out=args.out,
                        max_train_seeds=2_000 if args.tiny else None, progress=not args.tiny)
    return run(schema(frames), task(frames, months=1 if args.tiny else 4), settings, name="your-database")


if __name__ == "__main__":
    main()
