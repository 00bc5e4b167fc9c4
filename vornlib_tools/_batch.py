"""One sample() call's six dicts, with its seeds, as a mini-batch.

sample() lists nodes and edges in the order it reaches them: per node type, the
seeds first, then the nodes first reached at hop 1, hop 2, ...; per edge type,
the edges of hop 1, then hop 2, ... num_sampled_nodes and num_sampled_edges
give the length of each hop's block. Everything here is built on that order.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from vornlib_tools._schema import EdgeType, edge_type_key


class SampleResult(NamedTuple):
    """The six dicts sample() returns, in its order, named: every other place
    that takes a result apart goes through these names."""

    rows: dict[str, np.ndarray]               # per edge type key: local index of each edge's source
    cols: dict[str, np.ndarray]               # per edge type key: local index of each edge's destination
    nodes: dict[str, np.ndarray]              # per node type: graph index of each local node
    batches: dict[str, np.ndarray]            # per node type: seed position each local node descends from
    num_sampled_nodes: dict[str, np.ndarray]  # per node type: seeds, then new nodes per hop
    num_sampled_edges: dict[str, np.ndarray]  # per edge type key: edges per hop


def hop_of_each(counts: np.ndarray, first_hop: int) -> np.ndarray:
    """Counts per hop (sample()'s node or edge counts) -> the hop of every node
    (or edge) in sampling order, the first count being hop first_hop."""
    return _hop_of_each_into(counts, first_hop, np.empty)


def _hop_of_each_into(counts: np.ndarray, first_hop: int,
                      empty: Callable[[tuple[int, ...], np.dtype], np.ndarray]) -> np.ndarray:
    """hop_of_each, written into an array empty(shape, dtype) makes: a fill per hop."""
    counts = np.asarray(counts)
    if counts.ndim != 1 or not np.can_cast(counts.dtype, np.intp) or (counts < 0).any():
        # Refused as numpy refuses such repeats, in numpy's words.
        return np.repeat(np.arange(first_hop, first_hop + counts.size, dtype=np.int64), counts)
    ends = np.cumsum(counts, dtype=np.int64)
    hops = empty((int(ends[-1]) if len(ends) else 0,), np.dtype(np.int64))
    start = 0
    for hop, end in enumerate(ends.tolist(), start=first_hop):
        hops[start:end] = hop
        start = end
    return hops


@dataclass
class Batch:
    """A sampled mini-batch. Per node type (local-index order):

    - nodes:   the node's index in the graph arrays
    - batches: the position in seed_node of the seed it descends from
    - times:   that seed's time (absent when the call had no seed times)
    - hops:    the hop it was first reached in (0 for the seeds)

    Per edge type key, edge_index[key] is a (2, E) array of (local source,
    local destination): messages flow from the reached node to the node whose
    hop reached it, towards the seeds. The seeds are the first num_seeds nodes
    of entity_table, in seed_node order. payload holds per-seed values (labels
    and the like), in seed order. feature_values and feature_known hold, per
    node type, what features(graph) gives, once with_features(graph) (or a
    loader's worker) has gathered it.
    """

    entity_table: str
    edge_types: list[EdgeType]
    seed_node: np.ndarray
    seed_time: np.ndarray | None
    nodes: dict[str, np.ndarray]
    batches: dict[str, np.ndarray]
    times: dict[str, np.ndarray]
    hops: dict[str, np.ndarray]
    edge_index: dict[str, np.ndarray]
    num_sampled_nodes: dict[str, np.ndarray]
    num_sampled_edges: dict[str, np.ndarray]
    payload: dict[str, np.ndarray] = field(default_factory=dict)
    feature_values: dict[str, np.ndarray] = field(default_factory=dict)
    feature_known: dict[str, np.ndarray] = field(default_factory=dict)

    @classmethod
    def from_sample(cls, result: tuple, seed_node: np.ndarray, seed_time: np.ndarray | None,
                    entity_table: str, edge_types: Iterable[EdgeType],
                    payload: Mapping[str, np.ndarray] | None = None, *,
                    empty: Callable[[tuple[int, ...], np.dtype], np.ndarray] = np.empty) -> Batch:
        """result is the tuple sample() returned for these seed_node and seed_time.

        The arrays the batch derives from it (times, hops, edge_index) are
        written into arrays that empty(shape, dtype) returns: a loader's worker
        makes them in the shared memory it sends the batch through, which
        saves copying them there."""
        result = SampleResult(*result)
        seed_node = np.asarray(seed_node)
        timed = seed_time is not None and len(seed_time) > 0
        seed_time = np.asarray(seed_time) if timed else None
        if timed and len(seed_time) != len(seed_node):
            raise ValueError(f"{len(seed_time)} seed times for {len(seed_node)} seeds")

        def times_of(batches: np.ndarray) -> np.ndarray:
            # A batch is a seed's position, always in range; "clip" spares the
            # bounds check that would make take() fill a buffer and copy it.
            return np.take(seed_time, batches, out=empty(batches.shape, seed_time.dtype), mode="clip")

        def edge_index_of(key: str) -> np.ndarray:
            rows, cols = result.rows[key], result.cols[key]
            return np.stack([rows, cols], out=empty((2, len(rows)), np.result_type(rows, cols)))

        return cls(
            entity_table=entity_table,
            edge_types=[tuple(e) for e in edge_types],
            seed_node=seed_node,
            seed_time=seed_time,
            nodes=dict(result.nodes),
            batches=dict(result.batches),
            times={name: times_of(values) for name, values in result.batches.items()} if timed else {},
            hops={name: _hop_of_each_into(counts, 0, empty) for name, counts in result.num_sampled_nodes.items()},
            edge_index={key: edge_index_of(key) for key in result.rows},
            num_sampled_nodes=dict(result.num_sampled_nodes),
            num_sampled_edges=dict(result.num_sampled_edges),
            payload={name: np.asarray(values) for name, values in (payload or {}).items()},
        )

    @property
    def num_seeds(self) -> int:
        return len(self.seed_node)

    @property
    def num_hops(self) -> int:
        return len(next(iter(self.num_sampled_edges.values()), []))

    def edge_type(self, key: str) -> EdgeType:
        """The (source, relation, destination) triple of an edge type key."""
        return next(e for e in self.edge_types if edge_type_key(e) == key)

    def gather(self, table: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        """Rows of per-node arrays (numpy arrays or memory maps, any trailing
        shape) for the sampled nodes, per node type present in `table`: row i
        of the result belongs to local node i."""
        return {name: np.asarray(table[name][self.nodes[name]]) for name in self.nodes if name in table}

    def features(self, graph) -> dict[str, tuple[np.ndarray, np.ndarray]]:
        """Per node type with features in `graph` (a Graph built from a
        Database): (values, known), float32 and bool arrays of shape (sampled
        nodes of that type, feature width), rows in local-index order and
        columns in graph.features[type].names order. A value that is missing,
        or whose known-at time is after the time of its node's seed, is 0 and
        marked unknown: this hides the seeds' own outcomes and every
        later-known value of every sampled row. One gather per node type,
        unless with_features(graph) gathered them already."""
        result = {}
        for name, nodes in self.nodes.items():
            if name in self.feature_values:
                result[name] = (self.feature_values[name], self.feature_known[name])
                continue
            table = graph.features.get(name)
            if table is not None:
                result[name] = table.gather(nodes, self.times.get(name) if self.seed_time is not None else None)
        return result

    def with_features(self, graph) -> Batch:
        """A copy of this batch (its arrays shared) with features(graph)
        gathered into feature_values and feature_known: a loader transform,
        so that the gather happens where the sampling does (in a worker, off
        the training process). The batch it is called on stays as it was."""
        gathered = self.features(graph)
        return dataclasses.replace(self, feature_values={name: values for name, (values, _) in gathered.items()},
                                   feature_known={name: known for name, (_, known) in gathered.items()})

    def relative_time(self, node_time: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        """seed time - node time, per node type with timestamps: how long before
        its seed's time each node happened (never negative without leakage)."""
        if self.seed_time is None:
            raise ValueError("the batch was sampled without seed times")
        return {name: self.times[name] - stamps for name, stamps in self.gather(node_time).items()}

    def trim(self, hops: int) -> Batch:
        """The batch restricted to the nodes reached within `hops` hops and the
        edges of hops 1..hops. Local indices stay valid: each hop's block is a
        prefix extension of the previous ones, and an edge of hop h joins a node
        reached by hop h - 1 to one reached by hop h."""
        if not 0 <= hops <= self.num_hops:
            raise ValueError(f"hops must be within 0..{self.num_hops}, not {hops}")
        nodes = {name: int(np.sum(counts[:hops + 1])) for name, counts in self.num_sampled_nodes.items()}
        edges = {key: int(np.sum(counts[:hops])) for key, counts in self.num_sampled_edges.items()}
        return dataclasses.replace(
            self,
            nodes={name: values[:nodes[name]] for name, values in self.nodes.items()},
            batches={name: values[:nodes[name]] for name, values in self.batches.items()},
            times={name: values[:nodes[name]] for name, values in self.times.items()},
            hops={name: values[:nodes[name]] for name, values in self.hops.items()},
            edge_index={key: values[:, :edges[key]] for key, values in self.edge_index.items()},
            num_sampled_nodes={name: counts[:hops + 1] for name, counts in self.num_sampled_nodes.items()},
            num_sampled_edges={key: counts[:hops] for key, counts in self.num_sampled_edges.items()},
            feature_values={name: values[:nodes[name]] for name, values in self.feature_values.items()},
            feature_known={name: values[:nodes[name]] for name, values in self.feature_known.items()},
        )

    def to_torch(self, pin_memory: bool = False) -> Batch:
        """The same batch with torch tensors in place of the per-node, per-edge
        and per-seed arrays (sharing memory, no copy). The hop counts stay numpy:
        trim() reads them. Call it in the process that trains.

        With pin_memory, the tensors are copies in page-locked memory, which a
        GPU copies from asynchronously (tensor.to("cuda", non_blocking=True));
        this needs a GPU build of torch and a device."""
        import torch

        def tensor(values):
            made = values if isinstance(values, torch.Tensor) else torch.from_numpy(np.ascontiguousarray(values))
            return made.pin_memory() if pin_memory else made

        def tensors(table: dict) -> dict:
            return {name: tensor(values) for name, values in table.items()}

        return dataclasses.replace(
            self,
            seed_node=tensor(self.seed_node),
            seed_time=None if self.seed_time is None else tensor(self.seed_time),
            nodes=tensors(self.nodes), batches=tensors(self.batches), times=tensors(self.times),
            hops=tensors(self.hops),
            edge_index=tensors(self.edge_index), payload=tensors(self.payload),
            feature_values=tensors(self.feature_values), feature_known=tensors(self.feature_known),
        )

    def pin_memory(self) -> Batch:
        """to_torch(pin_memory=True); torch.utils.data.DataLoader(pin_memory=True)
        calls it on every batch it delivers."""
        return self.to_torch(pin_memory=True)
