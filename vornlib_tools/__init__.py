"""Companion toolkit for vornlib: a database of tables to a checked graph (keys,
references, times and features with a leakage contract), mini-batches from
sample() results, and a loader over a seed table.

numpy only at its core; Table and Database take pandas or Arrow frames (the
`data` extra), and Batch.to_torch imports torch when it is called.
"""

from vornlib_tools.batch import Batch
from vornlib_tools.check import check_graph
from vornlib_tools.convert import as_time
from vornlib_tools.database import Database, Table
from vornlib_tools.graph import OWN_TIME, SAMPLER_SEED, ForeignKey, Graph, csc
from vornlib_tools.loader import SeedLoader
from vornlib_tools.schema import edge_type_key

__all__ = ["OWN_TIME", "SAMPLER_SEED", "Batch", "Database", "ForeignKey", "Graph", "SeedLoader", "Table", "as_time",
           "check_graph", "csc", "edge_type_key"]
