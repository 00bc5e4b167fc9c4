"""Checksums over sample() results.

ResultChecksum hashes everything a call returns (all six dictionaries, keys and
values in order); it must not change when the sampler is optimised.

ReachDigest hashes only the node ids each call reaches, in reaching order (hop,
then edge type, then sampled edge). The C++ core benchmark computes the same
digest (bench/core_bench.cpp, digest_call) from the core's tables, so equal
digests show that both chose exactly the same neighbours.
"""

from __future__ import annotations

import hashlib

import numpy as np

from vornlib_tools.synthetic import edge_type_key

_MASK = (1 << 64) - 1


def splitmix64(values: np.ndarray) -> np.ndarray:
    """splitmix64 finaliser over uint64 values (wrapping arithmetic, as in C++)."""
    x = values + np.uint64(0x9E3779B97F4A7C15)
    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def _splitmix64_int(value: int) -> int:
    return int(splitmix64(np.array([value & _MASK], dtype=np.uint64))[0])


class ResultChecksum:
    def __init__(self) -> None:
        self._hash = hashlib.blake2b(digest_size=16)

    def update(self, result: tuple[dict[str, np.ndarray], ...]) -> None:
        for table in result:
            for key, values in table.items():
                data = np.ascontiguousarray(values, dtype="<i8")
                self._hash.update(key.encode())
                self._hash.update(data.size.to_bytes(8, "little"))
                self._hash.update(data.tobytes())

    def hexdigest(self) -> str:
        return self._hash.hexdigest()


def reached_node_ids(result: tuple[dict[str, np.ndarray], ...],
                     edge_types: list[tuple[str, str, str]]) -> np.ndarray:
    """Node ids of every sampled edge's source end, hop by hop, edge type by edge type."""
    rows, _, nodes, _, _, edge_counts = result
    keys = [edge_type_key(edge_type) for edge_type in edge_types]
    hops = len(edge_counts[keys[0]]) if keys else 0
    consumed = dict.fromkeys(keys, 0)
    pieces = []
    for hop in range(hops):
        for (source, _, _), key in zip(edge_types, keys):
            count = int(edge_counts[key][hop])
            local = rows[key][consumed[key]:consumed[key] + count]
            consumed[key] += count
            pieces.append(nodes[source][local])
    return np.concatenate(pieces) if pieces else np.empty(0, dtype=np.int64)


class ReachDigest:
    def __init__(self) -> None:
        self._total = 0

    def update(self, node_ids: np.ndarray) -> None:
        positions = np.arange(node_ids.size, dtype=np.uint64)
        mixed = splitmix64(node_ids.astype(np.uint64) ^ (positions << np.uint64(32)))
        batch_sum = int(mixed.sum(dtype=np.uint64))
        self._total = _splitmix64_int(_splitmix64_int(self._total ^ batch_sum) ^ node_ids.size)

    def hexdigest(self) -> str:
        return f"{self._total:016x}"
