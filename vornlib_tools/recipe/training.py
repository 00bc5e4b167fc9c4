"""Training and the report: the graph built (or reused), the baselines
fitted, the GNN trained on subgraphs sampled at each seed's own time, with
every value hidden until its known-at time, and the results printed. The
one module of the recipe that needs torch.
"""

from __future__ import annotations

import copy
import json
import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel
from tqdm import tqdm

from vornlib_tools._batch import Batch
from vornlib_tools._convert import per_day
from vornlib_tools._database import Database
from vornlib_tools._graph import SAMPLER_SEED, Graph
from vornlib_tools._loader import SeedLoader
from vornlib_tools.recipe import cache, screen
from vornlib_tools.recipe.baselines import fit_baselines, neighbour_columns, own_columns
from vornlib_tools.recipe.model import HeteroGNN
from vornlib_tools.recipe.screen import auroc
from vornlib_tools.recipe.task import SPLITS, SeedTable, Settings, Task, log, seed_tables


# ---- the graph and the seed tables -------------------------------------------------

def prepare_graph(database: Database, task: Task, settings: Settings, rank: int, distributed: bool) -> Graph:
    """Rank 0 builds the graph directory unless it was built from this
    database's declarations and data and these settings; every rank maps it."""
    if rank == 0:
        wanted = cache.fingerprint(database, settings=settings.fingerprint,
                                   feature_cutoff=str(task.splits["val"][0]))
        changed = cache.changes(settings.data_dir, wanted)
        if changed is not None:
            if changed:
                log(f"the graph in {settings.data_dir} was built from other data or declarations "
                    f"({'; '.join(changed)}): building it again")
            started = time.perf_counter()
            # Numeric statistics and vocabularies come from the training period only.
            graph = database.to_graph(settings.data_dir, feature_cutoff=task.splits["val"][0],
                                      metadata={cache.METADATA_KEY: wanted})
            log(f"built the graph into {settings.data_dir} ({time.perf_counter() - started:.1f} s)")
            log(graph.summary())
    if distributed:
        dist.barrier()
    return Graph.load(settings.data_dir)


@dataclass
class Inputs:
    """A batch as the model takes it: per node type (values, known, age in
    days or None, seed flag), the batch's tensors and the labels."""

    batch: Batch
    nodes: dict[str, tuple]
    label: torch.Tensor


def packed_features(graph: Graph) -> Graph:
    """The graph with its feature matrices packed into one in-memory record
    per node (FeatureTable.pack): Batch.features then reads each sampled node
    once instead of once per memory-mapped matrix. Done once per process."""
    for table in graph.features.values():
        if table.packed is None:
            table.pack()
    return graph


def gather_features(batch: Batch, graph: Graph) -> Batch:
    """The loader's transform: the batch's features gathered (from packed
    records) where it was sampled, in a worker when there are workers."""
    return batch.with_features(packed_features(graph))


def to_inputs(batch: Batch, graph: Graph, device: torch.device) -> Inputs:
    """The batch's features (gathered by the loader, gather_features), the
    nodes' ages from their seeds' real prediction times (the payload: under
    leaky sampling a future node then shows a negative age), then tensors,
    on the device."""
    features = batch.features(graph)
    prediction_time = batch.payload["time"]
    per = float(per_day(graph.time_unit))
    nodes = {}
    for name, local in batch.nodes.items():
        values, known = features[name]
        age = None
        if name in graph.node_time:
            stamps = np.asarray(graph.node_time[name])[local]
            age = torch.from_numpy(((prediction_time[batch.batches[name]] - stamps) / per).astype(np.float32))
        nodes[name] = (torch.from_numpy(values), torch.from_numpy(known), age, torch.from_numpy(batch.hops[name] == 0))
    tensors = batch.to_torch()
    label = torch.from_numpy(np.asarray(batch.payload["label"], dtype=np.float32))
    if device.type != "cpu":
        def move(tensor):
            return None if tensor is None else tensor.pin_memory().to(device, non_blocking=True)
        nodes = {name: tuple(move(t) for t in parts) for name, parts in nodes.items()}
        tensors.edge_index = {key: move(t) for key, t in tensors.edge_index.items()}
        tensors.nodes = {name: move(t) for name, t in tensors.nodes.items()}
        label = move(label)
    return Inputs(tensors, nodes, label)


# ---- training -----------------------------------------------------------------------

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

    def per_step_ms(self) -> dict[str, float]:
        per = 1e3 / max(self.steps, 1)
        return {"sampling": self.sampling * per, "conversion": self.conversion * per, "model": self.model * per,
                "step": self.step * per}

    def summary(self) -> str:
        ms = self.per_step_ms()
        return (f"{self.steps} steps, {ms['step']:.1f} ms per step: sampling {ms['sampling']:.1f}, "
                f"conversion {ms['conversion']:.1f}, model {ms['model']:.1f} "
                f"(sampling {100 * self.sampling / max(self.step, 1e-9):.0f}% of the step); "
                f"worker start-up {self.startup:.1f} s")


def make_loader(graph: Graph, table: SeedTable, task: Task, settings: Settings, end_time: int | None,
                train: bool, shard: tuple[int, int]) -> SeedLoader:
    """end_time: sample every seed as if it were predicted then (leakage)."""
    sample_time = table.time if end_time is None else np.full_like(table.time, end_time)
    counts, _ = graph.request(settings.num_neighbors)  # every edge type, by key
    return SeedLoader(settings.data_dir, task.entity_table, table.node, graph.input_times(sample_time),
                      num_neighbors=counts, batch_size=settings.batch_size,
                      payload={"time": table.time, "label": table.label}, shuffle=train, shuffle_seed=settings.seed,
                      num_workers=settings.num_workers if train else 0, sampler_seed=SAMPLER_SEED + settings.seed,
                      shard=shard,
                      transform=gather_features, index=True)


def end_of_data(graph: Graph) -> int:
    """The latest time in the graph, of a row or of a value becoming known:
    sampled at it, every row is reachable and every value shown."""
    latest = [graph.time_range[1]]
    for table in graph.features.values():
        known = np.asarray(table.known)
        finite = known[known < np.iinfo(np.int64).max]
        if finite.size:
            latest.append(int(finite.max()))
    return int(max(latest))


@torch.no_grad()
def predict(model: torch.nn.Module, graph: Graph, loader: SeedLoader, device: torch.device) -> np.ndarray:
    model.eval()
    scores = [model(to_inputs(batch, graph, device)).cpu().numpy() for batch in loader]
    model.train()
    return np.concatenate(scores) if scores else np.empty(0)


def train(graph: Graph, tables: dict[str, SeedTable], task: Task, settings: Settings, leaky: bool, rank: int,
          world: int, device: torch.device) -> tuple[HeteroGNN, Timing, list[dict]]:
    """Trains one model; returns the state of the epoch with the best
    validation AUROC, the timings and one record per epoch."""
    torch.manual_seed(settings.seed)
    end_time = end_of_data(graph) if leaky else None
    model = HeteroGNN(graph, hidden=settings.hidden).to(device)
    # Edge types with a count of 0 leave their weights without gradients.
    wrapped = DistributedDataParallel(model, find_unused_parameters=True) if world > 1 else model
    optimiser = torch.optim.Adam(model.parameters(), lr=settings.lr)
    # Smaller steps in the last epochs settle the weights the best epoch is picked from.
    schedule = torch.optim.lr_scheduler.CosineAnnealingLR(optimiser, T_max=settings.epochs)
    loss_function = torch.nn.BCEWithLogitsLoss()
    timing, history, best = Timing(), [], (-1.0, None)
    val_loader = make_loader(graph, tables["val"], task, settings, end_time, False, (0, 1))
    with make_loader(graph, tables["train"], task, settings, end_time, True, (rank, world)) as loader:
        started = time.perf_counter()
        loader.start()  # the workers' start-up is paid once, not per step
        timing.startup = time.perf_counter() - started
        for epoch in range(settings.epochs):
            total, count = 0.0, 0
            bar = tqdm(total=len(loader), desc=f"{'leaky ' if leaky else ''}epoch {epoch + 1}/{settings.epochs}",
                       disable=rank != 0 or not settings.progress, leave=True, mininterval=1.0, dynamic_ncols=True)
            batches = iter(loader)
            while True:
                started = time.perf_counter()
                batch = next(batches, None)
                if batch is None:
                    break
                sampled = time.perf_counter()
                inputs = to_inputs(batch, graph, device)
                converted = time.perf_counter()
                loss = loss_function(wrapped(inputs), inputs.label)
                optimiser.zero_grad()
                loss.backward()
                optimiser.step()
                done = time.perf_counter()
                timing.sampling += sampled - started
                timing.conversion += converted - sampled
                timing.model += done - converted
                timing.steps += 1
                total, count = total + float(loss.detach()) * batch.num_seeds, count + batch.num_seeds
                bar.update(1)
                bar.set_postfix(loss=f"{total / count:.4f}", refresh=False)
            bar.close()
            schedule.step()
            record = {"epoch": epoch + 1, "train_loss": total / max(count, 1)}
            if rank == 0:
                record["val_auroc"] = auroc(tables["val"].label, predict(model, graph, val_loader, device))
                if record["val_auroc"] > best[0]:
                    best = (record["val_auroc"], copy.deepcopy(model.state_dict()))
                log(f"{'leaky ' if leaky else ''}epoch {epoch + 1}: train loss {record['train_loss']:.4f}, "
                    f"validation AUROC {record['val_auroc']:.4f}"
                    + (" (sampled with future rows)" if leaky else ""))
            history.append(record)
    if best[1] is not None:
        model.load_state_dict(best[1])
    return model, timing, history


# ---- the report ---------------------------------------------------------------------

def plot(path: Path, name: str, history: list[dict], leaky_history: list[dict] | None,
         baselines: dict[str, dict[str, float]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    for records, label, style in ((history, "GNN", "-o"), (leaky_history, "GNN, leaky sampling", "--s")):
        if not records:
            continue
        epochs = [r["epoch"] for r in records]
        left.plot(epochs, [r["train_loss"] for r in records], style, label=label)
        right.plot(epochs, [r["val_auroc"] for r in records], style, label=label)
    for (model, scores), colour in zip(baselines.items(), ("tab:gray", "tab:green", "tab:purple", "tab:brown")):
        right.axhline(scores["val"], color=colour, linestyle=":", label=model)
    left.set(title=f"{name}: training loss", xlabel="epoch", ylabel="binary cross-entropy")
    right.set(title=f"{name}: validation AUROC", xlabel="epoch", ylabel="AUROC")
    for axes in (left, right):
        axes.grid(alpha=0.3)
        axes.legend(fontsize=8)
        axes.xaxis.get_major_locator().set_params(integer=True)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def table(report: dict) -> str:
    def show(value, signed: bool) -> str:
        return "    -" if value is None else f"{value:+.4f}" if signed else f"{value:.4f}"

    rows = [(name, scores["val"], scores["test"]) for name, scores in report["baselines"].items()]
    rows.append(("GNN", report["val_auroc"], report["test_auroc"]))
    if report["leaky_val_auroc"] is not None:
        rows.append(("GNN, leaky (val sampled leaky, test honest)", report["leaky_val_auroc"],
                     report["leaky_test_auroc"]))
    rows.append((f"GNN minus the best baseline by validation ({report['best_baseline']})",
                 report["gnn_minus_baseline_val"], report["gnn_minus_baseline_test"]))
    width = max(len(r[0]) for r in rows)
    lines = [f"{'model':<{width}}  val AUROC  test AUROC", f"{'-' * width}  ---------  ----------"]
    lines += [f"{name:<{width}}  {show(val, name.startswith('GNN minus')):>9}  "
              f"{show(test, name.startswith('GNN minus')):>10}" for name, val, test in rows]
    ms = report["step_ms"]
    lines.append(f"per training step: sampling {ms['sampling']:.1f} ms, conversion {ms['conversion']:.1f} ms, "
                 f"model {ms['model']:.1f} ms, whole step {ms['step']:.1f} ms")
    return "\n".join(lines)


def run(database: Database, task: Task, settings: Settings, name: str) -> dict | None:
    """Trains and reports; returns the report on rank 0 (None elsewhere) and
    prints it last as one JSON line."""
    distributed = int(os.environ.get("WORLD_SIZE", "1")) > 1
    torch.set_num_threads(settings.threads)
    if distributed:
        dist.init_process_group("gloo")
    rank, world = (dist.get_rank(), dist.get_world_size()) if distributed else (0, 1)
    device = torch.device(settings.device if settings.device != "cuda" or torch.cuda.is_available() else "cpu")
    started = time.perf_counter()
    graph = prepare_graph(database, task, settings, rank, distributed)
    tables = seed_tables(graph, task, settings)
    # Every rank screens (it is cheap), so that every rank stops alike.
    screened = screen.score_columns(graph, task.entity_table, tables["train"], seed=settings.seed)
    if rank == 0:
        log(", ".join(f"{split}: {len(t.node):,} seeds ({t.label.mean():.1%} positive)" for split, t in tables.items()))
        log(screen.summary(screened, task.entity_table, len(tables["train"].node), settings.allow_leaks))
    screen.check(screened, task.entity_table, len(tables["train"].node), settings.allow_leaks)
    report: dict = {"dataset": name, "world_size": world, "workers_per_rank": settings.num_workers,
                    "device": str(device), "num_neighbors": {str(k): list(map(int, v))
                                                             for k, v in settings.num_neighbors.items()}}
    if rank == 0:
        baseline_started = time.perf_counter()
        own = {split: own_columns(database, graph, task, tables[split]) for split in SPLITS}
        neighbours = {split: neighbour_columns(graph, task.entity_table, tables[split]) for split in SPLITS}
        for what, frames in (("own columns", own), ("neighbour aggregates", neighbours)):
            seen = frames["train"].dropna(axis=1, how="all").columns  # the others are never known in time
            log(f"baselines' {what} ({len(seen)}): {', '.join(seen)}")
        report["baselines"] = fit_baselines(own, neighbours, tables)
        for model, scores in report["baselines"].items():
            log(f"baseline {model}: val AUROC {scores['val']:.4f}, test AUROC {scores['test']:.4f}")
        best = max(report["baselines"], key=lambda name: report["baselines"][name]["val"])
        report.update(best_baseline=best, baseline_val_auroc=report["baselines"][best]["val"],
                      baseline_test_auroc=report["baselines"][best]["test"],
                      baseline_seconds=time.perf_counter() - baseline_started)

    model, timing, history = train(graph, tables, task, settings, False, rank, world, device)
    leaky_history = None
    report.update(leaky_val_auroc=None, leaky_test_auroc=None)
    if settings.leaky:
        leaky_model, _, leaky_history = train(graph, tables, task, settings, True, rank, world, device)
    if rank == 0:
        log(f"GNN training: {timing.summary()}")
        honest = make_loader(graph, tables["test"], task, settings, None, False, (0, 1))
        report["val_auroc"] = max(r["val_auroc"] for r in history)
        report["test_auroc"] = auroc(tables["test"].label, predict(model, graph, honest, device))
        report.update(gnn_minus_baseline_val=report["val_auroc"] - report["baseline_val_auroc"],
                      gnn_minus_baseline_test=report["test_auroc"] - report["baseline_test_auroc"])
        if settings.leaky:
            report["leaky_val_auroc"] = max(r["val_auroc"] for r in leaky_history)
            report["leaky_test_auroc"] = auroc(tables["test"].label, predict(leaky_model, graph, honest, device))
        report.update(sampling_seconds=timing.sampling, conversion_seconds=timing.conversion,
                      model_seconds=timing.model, step_seconds=timing.step, steps=timing.steps,
                      worker_startup_seconds=timing.startup, step_ms=timing.per_step_ms(),
                      history=history, leaky_history=leaky_history)
    if distributed:
        dist.barrier()
        dist.destroy_process_group()
    if rank != 0:
        return None
    report["total_seconds"] = time.perf_counter() - started
    settings.out.mkdir(parents=True, exist_ok=True)
    figure, record = settings.out / f"{name}.png", settings.out / f"{name}.json"
    plot(figure, name, history, leaky_history, report["baselines"])
    record.write_text(json.dumps(report, indent=2) + "\n")
    log(f"\n{table(report)}\ncurves: {figure}\nrun: {record}")
    print(json.dumps({key: round(value, 4) if isinstance(value, float) else value for key, value in report.items()
                      if key not in ("history", "leaky_history", "num_neighbors")}), flush=True)
    return report
