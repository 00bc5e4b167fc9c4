"""Companion toolkit for vornlib: a database of tables to a checked graph (keys,
references, times and features with a leakage contract), mini-batches from
sample() results, and a loader over a seed table.

numpy only at its core; Table and Database take pandas or Arrow frames (the
`data` extra), and Batch.to_torch imports torch when it is called.

The public surface is __all__ below and two submodules: vornlib_tools.synthetic
(the synthetic shop the examples and benchmarks sample) and vornlib_tools.recipe
(the training recipe, with its own __all__). Every other module is private
(a leading underscore): it may change in any release.
"""

from vornlib_tools._batch import Batch, hop_of_each
from vornlib_tools._check import check_graph
from vornlib_tools._convert import as_time
from vornlib_tools._database import Database, Table
from vornlib_tools._graph import OWN_TIME, SAMPLER_SEED, ForeignKey, Graph, csc
from vornlib_tools._features import FeatureTable
from vornlib_tools._loader import SeedLoader
from vornlib_tools._progress import Event as ProgressEvent
from vornlib_tools._schema import edge_type_key

__all__ = ["OWN_TIME", "SAMPLER_SEED", "Batch", "Database", "FeatureTable", "ForeignKey", "Graph", "ProgressEvent",
           "SeedLoader", "Table", "as_time", "check_graph", "csc", "edge_type_key", "hop_of_each"]
