"""Companion toolkit for vornlib: graph arrays from tables, a full graph check,
mini-batches from sample() results and a loader over a seed table.

numpy only; Batch.to_torch imports torch when it is called.
"""

from vornlib_tools.batch import Batch
from vornlib_tools.check import check_graph
from vornlib_tools.graph import ForeignKey, Graph, csc, edge_type_key
from vornlib_tools.loader import SeedLoader

__all__ = ["Batch", "ForeignKey", "Graph", "SeedLoader", "check_graph", "csc", "edge_type_key"]
