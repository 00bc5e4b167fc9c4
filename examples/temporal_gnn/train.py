"""Train a temporal GNN on a relational database: will a customer buy again within 30 days?

The database is synthetic (customers, products, transactions; some product
categories are re-bought on a cycle). Seeds are (customer, prediction time)
pairs at monthly cutoffs, split by time into train, validation and test. A
recency/frequency logistic regression is the baseline; the GNN is a 2-layer
heterogeneous mean-aggregation network over subgraphs sampled at each seed's
own time. --leaky also trains a model on subgraphs sampled as if every seed's
time were the end of the data, to show what leakage does to validation scores.

    python examples/temporal_gnn/train.py --quick [--leaky] [--workers 2]
    torchrun --standalone --nproc_per_node 2 examples/temporal_gnn/train.py --quick

Under torchrun every rank samples its shard of the training seeds over the same
memory-mapped graph and DistributedDataParallel (gloo) averages the gradients.
The last line printed is one JSON object with the scores and timings.
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel

from model import HeteroMeanGNN
from tasks import HORIZON, LogisticRegression, PurchaseHistory, auroc, baseline_features, labels
from vornlib_tools import Batch, Graph, SeedLoader, synthetic

# Hop 1: a customer's 16 latest transactions; hop 2: each transaction's product.
NUM_NEIGHBORS = {
    "transactions__rev_made__customers": [16, 0],
    "customers__made__transactions": [0, 0],
    "products__in__transactions": [0, 1],
    "transactions__rev_in__products": [0, 0],
}


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller database, fewer cutoffs and epochs")
    parser.add_argument("--leaky", action="store_true", help="also train and score a model sampled with leakage")
    parser.add_argument("--workers", type=int, default=0, help="sampling worker processes per rank")
    parser.add_argument("--epochs", type=int)
    parser.add_argument("--train-cutoffs", type=int, help="monthly cutoffs in the training table")
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--hidden", type=int, default=32)
    parser.add_argument("--lr", type=float, default=1e-2)
    parser.add_argument("--threads", type=int, default=1,
                        help="torch threads per rank (the sampling workers need cores too)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--data-dir", type=Path, help="graph directory (default: under the temporary directory)")
    args = parser.parse_args()
    args.preset = "recipe-quick" if args.quick else "recipe"
    args.epochs = args.epochs or (4 if args.quick else 8)
    args.train_cutoffs = args.train_cutoffs or (4 if args.quick else 8)
    args.data_dir = args.data_dir or Path(tempfile.gettempdir()) / "vornlib-temporal-gnn" / args.preset
    return args


def log(*parts) -> None:
    print(*parts, flush=True)


# ---- data ------------------------------------------------------------------------

@dataclass
class SeedTable:
    customer: np.ndarray
    time: np.ndarray
    label: np.ndarray


def prepare_graph(args: argparse.Namespace, rank: int, distributed: bool) -> Graph:
    """Rank 0 generates the graph directory if it is missing; every rank maps it."""
    if rank == 0 and not synthetic.is_current(args.data_dir, args.preset):
        started = time.perf_counter()
        synthetic.save(args.data_dir, synthetic.generate(args.preset))
        log(f"generated the {args.preset} database into {args.data_dir} ({time.perf_counter() - started:.1f} s)")
    if distributed:
        dist.barrier()
    graph = Graph.load(args.data_dir)
    if rank == 0:
        started = time.perf_counter()
        graph.check()
        log(f"graph: {graph.num_nodes}, {graph.num_edges:,} edges; check_graph {time.perf_counter() - started:.2f} s")
    return graph


def seed_tables(graph: Graph, history: PurchaseHistory, train_cutoffs: int) -> dict[str, SeedTable]:
    """Monthly cutoffs: the last one is the test time, the one before validation,
    the train_cutoffs before that training; every label ends before the next split."""
    end = synthetic.TIME_ORIGIN + synthetic.TIME_SPAN
    test_cutoff = end - HORIZON
    cutoffs = {"test": [test_cutoff], "val": [test_cutoff - HORIZON],
               "train": [test_cutoff - (2 + k) * HORIZON for k in range(train_cutoffs, 0, -1)]}
    tables = {}
    for split, times in cutoffs.items():
        customer, t = synthetic.customer_seeds(graph, times)
        tables[split] = SeedTable(customer, t, labels(history, customer, t))
    return tables


# ---- the GNN -------------------------------------------------------------------------

def make_loader(args, table: SeedTable, leaky: bool, train: bool, shard: tuple[int, int]) -> SeedLoader:
    end = synthetic.TIME_ORIGIN + synthetic.TIME_SPAN
    # Leakage: sampling as if the prediction were made at the end of the data.
    sample_time = np.full_like(table.time, end) if leaky else table.time
    return SeedLoader(args.data_dir, table.customer, sample_time, entity_table="customers",
                      num_neighbors=NUM_NEIGHBORS, batch_size=args.batch_size,
                      payload={"time": table.time, "label": table.label}, shuffle=train, seed=args.seed,
                      num_workers=args.workers if train else 0, sampler_seed=123 + args.seed, shard=shard)


def product_categories(graph: Graph) -> np.ndarray:
    """Each product's category, decoded once per graph."""
    if "categories" not in graph.__dict__.setdefault("_recipe", {}):
        graph._recipe["categories"] = synthetic.categories(graph)
    return graph._recipe["categories"]


def inputs(batch: Batch, graph: Graph) -> tuple[Batch, dict[str, torch.Tensor], torch.Tensor | None]:
    """Tensors for the model, made once here in the training process. Ages are
    measured from the seed's real prediction time (the payload), so a leaky
    subgraph shows its future nodes with negative ages."""
    prediction_time = batch.payload["time"]
    age = {name: torch.from_numpy(prediction_time[batch.batch[name]] - stamps)
           for name, stamps in batch.gather(graph.node_time).items()}
    category = batch.gather({"products": product_categories(graph)}).get("products")
    return batch.to_torch(), age, None if category is None else torch.from_numpy(category)


@dataclass
class Timing:
    sampling: float = 0.0
    conversion: float = 0.0
    model: float = 0.0
    steps: int = 0
    startup: float = 0.0

    @property
    def step(self) -> float:
        return self.sampling + self.conversion + self.model

    def summary(self) -> str:
        per = 1e3 / max(self.steps, 1)
        return (f"{self.steps} steps, {self.step * per:.1f} ms per step: sampling {self.sampling * per:.1f}, "
                f"conversion {self.conversion * per:.1f}, model {self.model * per:.1f} "
                f"(sampling {100 * self.sampling / max(self.step, 1e-9):.0f}% of the step); "
                f"worker start-up {self.startup:.1f} s")


def train(args, graph: Graph, table: SeedTable, leaky: bool, rank: int, world: int) -> tuple[HeteroMeanGNN, Timing]:
    torch.manual_seed(args.seed)
    categories = int(graph.metadata["shape"]["categories"])
    model = HeteroMeanGNN(graph.node_types, graph.edge_types, categories, hidden=args.hidden)
    # Edge types with a count of 0 leave their weights without gradients.
    wrapped = DistributedDataParallel(model, find_unused_parameters=True) if world > 1 else model
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    loss_function = torch.nn.BCEWithLogitsLoss()
    timing = Timing()
    with make_loader(args, table, leaky, train=True, shard=(rank, world)) as loader:
        started = time.perf_counter()
        loader.start()  # the workers' start-up is paid once, not per step
        timing.startup = time.perf_counter() - started
        for epoch in range(args.epochs):
            total, count = 0.0, 0
            batches = iter(loader)
            while True:
                started = time.perf_counter()
                batch = next(batches, None)
                if batch is None:
                    break
                sampled = time.perf_counter()
                tensors, age, category = inputs(batch, graph)
                converted = time.perf_counter()
                loss = loss_function(wrapped(tensors, age, category), tensors.payload["label"])
                optimiser.zero_grad()
                loss.backward()
                optimiser.step()
                done = time.perf_counter()
                timing.sampling += sampled - started
                timing.conversion += converted - sampled
                timing.model += done - converted
                timing.steps += 1
                total, count = total + float(loss.detach()) * batch.num_seeds, count + batch.num_seeds
            if rank == 0:
                log(f"{'leaky ' if leaky else ''}epoch {epoch + 1}: train loss {total / count:.4f}")
    return model, timing


@torch.no_grad()
def score(args, model: HeteroMeanGNN, graph: Graph, table: SeedTable, leaky: bool) -> float:
    model.eval()
    predictions, truth = [], []
    with make_loader(args, table, leaky, train=False, shard=(0, 1)) as loader:
        for batch in loader:
            tensors, age, category = inputs(batch, graph)
            predictions.append(model(tensors, age, category).numpy())
            truth.append(batch.payload["label"])
    model.train()
    return auroc(np.concatenate(truth), np.concatenate(predictions))


# ---- main ----------------------------------------------------------------------------

def main() -> None:
    args = parse_args()
    distributed = int(os.environ.get("WORLD_SIZE", "1")) > 1
    torch.set_num_threads(args.threads)
    if distributed:
        dist.init_process_group("gloo")
    rank, world = (dist.get_rank(), dist.get_world_size()) if distributed else (0, 1)
    started = time.perf_counter()
    graph = prepare_graph(args, rank, distributed)
    history = PurchaseHistory(graph)
    tables = seed_tables(graph, history, args.train_cutoffs)
    if rank == 0:
        log(", ".join(f"{split}: {len(t.customer):,} seeds ({t.label.mean():.0%} positive)"
                      for split, t in tables.items()))

    report: dict = {"world_size": world, "workers_per_rank": args.workers, "preset": args.preset}
    if rank == 0:
        fitted = LogisticRegression().fit(baseline_features(history, graph, tables["train"].customer,
                                                            tables["train"].time), tables["train"].label)
        for split in ("val", "test"):
            t = tables[split]
            report[f"baseline_{split}_auroc"] = auroc(t.label, fitted.predict(
                baseline_features(history, graph, t.customer, t.time)))
        log(f"baseline (recency/frequency logistic regression): val AUROC {report['baseline_val_auroc']:.4f}, "
            f"test AUROC {report['baseline_test_auroc']:.4f}")

    model, timing = train(args, graph, tables["train"], leaky=False, rank=rank, world=world)
    if rank == 0:
        log(f"GNN training: {timing.summary()}")
        report["val_auroc"] = score(args, model, graph, tables["val"], leaky=False)
        report["test_auroc"] = score(args, model, graph, tables["test"], leaky=False)
        log(f"GNN: val AUROC {report['val_auroc']:.4f}, test AUROC {report['test_auroc']:.4f}")
        report.update(sampling_seconds=timing.sampling, conversion_seconds=timing.conversion,
                      model_seconds=timing.model, step_seconds=timing.step, steps=timing.steps,
                      worker_startup_seconds=timing.startup,
                      step_ms=1e3 * timing.step / max(timing.steps, 1))
    report.update(leaky_val_auroc=None, leaky_test_auroc=None)
    if args.leaky:
        leaky_model, _ = train(args, graph, tables["train"], leaky=True, rank=rank, world=world)
        if rank == 0:
            # Validation as the leaky pipeline would score it, test as the model would be used.
            report["leaky_val_auroc"] = score(args, leaky_model, graph, tables["val"], leaky=True)
            report["leaky_test_auroc"] = score(args, leaky_model, graph, tables["test"], leaky=False)
            log(f"leaky GNN: val AUROC {report['leaky_val_auroc']:.4f} (sampled with future rows), "
                f"test AUROC {report['leaky_test_auroc']:.4f} (sampled correctly)")
    if distributed:
        dist.barrier()
        dist.destroy_process_group()
    if rank == 0:
        report["total_seconds"] = time.perf_counter() - started
        print(json.dumps({key: round(value, 4) if isinstance(value, float) else value
                          for key, value in report.items()}), flush=True)


if __name__ == "__main__":
    main()
