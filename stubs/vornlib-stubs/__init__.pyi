# Type information for the vornlib extension module. Parameter names, order,
# defaults and types mirror the signatures the module renders in its
# docstrings; tests/test_stubs.py keeps the two in step.
from typing import Any

import numpy
from numpy.typing import NDArray

class NeighborSampler:
    def __init__(
        self,
        node_types: list[str],
        edge_types: list[tuple[str, str, str]],
        colptr: dict[str, Any],
        row: dict[str, Any],
        node_time: object,
        seed: int = 123,
    ) -> None: ...
    def sample(
        self,
        num_neighbors: dict[str, Any],
        sampling_time_offsets: dict[str, Any],
        entity_table: str,
        seed_node: numpy.ndarray,
        seed_time: numpy.ndarray,
    ) -> tuple[
        dict[str, NDArray[numpy.int64]],
        dict[str, NDArray[numpy.int64]],
        dict[str, NDArray[numpy.int64]],
        dict[str, NDArray[numpy.int64]],
        dict[str, NDArray[numpy.int64]],
        dict[str, NDArray[numpy.int64]],
    ]: ...
