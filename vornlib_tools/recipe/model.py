"""A heterogeneous message-passing network in plain PyTorch, built from a graph's metadata.

Every node type gets an encoder of its own feature columns: numeric values
(standardised in the graph), one embedding per categorical column, the
known-at masks (a value that is not known yet is itself information: a flight
that was due an hour ago and has no departure time is late), datetime columns
as signed ages, the node's own age relative to its seed and a seed flag. Each
layer sends, per edge type (S, rel, D), a learned function of every source
node's state along its sampled edges, averages what reaches each destination,
adds the destination's own transformed state and a learned function of how
many messages arrived (a mean alone cannot count), and applies a ReLU. Layer
l of L runs on the batch trimmed to the nodes within L - l hops. A small MLP
reads the seeds' final states together with their encodings.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import torch
from torch import nn

from vornlib_tools import Graph, edge_type_key
from vornlib_tools.features import CATEGORICAL, DATETIME, NUMERIC

# Soft bins of an age: every 10 days over the last four months (width 7 days),
# and every 2 hours over the last day (width 1.5 hours), plus signed log scales.
DAY_BINS = torch.arange(0.0, 121.0, 10.0)
DAY_WIDTH = 7.0
HOUR_BINS = torch.arange(0.0, 25.0, 2.0)
HOUR_WIDTH = 1.5
AGE_WIDTH = len(DAY_BINS) + len(HOUR_BINS) + 2


def age_features(days: torch.Tensor) -> torch.Tensor:
    """Bounded features of ages in days (negative: after the seed's time) that
    a linear layer can turn into any smooth function at day and hour scales."""
    days = days[:, None]
    hours = days * 24.0
    return torch.cat([torch.sign(days) * torch.log1p(days.abs()) / 6.0,
                      torch.sign(hours) * torch.log1p(hours.abs()) / 8.0,
                      torch.exp(-(((days - DAY_BINS) / DAY_WIDTH) ** 2)),
                      torch.exp(-(((hours - HOUR_BINS) / HOUR_WIDTH) ** 2))], dim=1)


@dataclass(frozen=True)
class Layout:
    """Where each kind of column sits in a node type's feature matrix."""

    numeric: list[int]
    categorical: list[int]
    vocabulary: list[int]  # codes per categorical column: its vocabulary plus the 0 for missing
    datetime: list[int]
    width: int  # all columns (the width of the known mask)
    timed: bool

    @classmethod
    def of(cls, graph: Graph, name: str) -> Layout:
        table = graph.features.get(name)
        columns = [] if table is None else table.columns
        kinds = [c.kind for c in columns]
        return cls([i for i, k in enumerate(kinds) if k == NUMERIC],
                   [i for i, k in enumerate(kinds) if k == CATEGORICAL],
                   [len(c.vocabulary or []) + 1 for c in columns if c.kind == CATEGORICAL],
                   [i for i, k in enumerate(kinds) if k == DATETIME], len(columns), name in graph.node_time)

    @property
    def dense_width(self) -> int:
        """Numeric values, masks, datetime ages, node age and seed flag."""
        return (len(self.numeric) + self.width + AGE_WIDTH * len(self.datetime)
                + (AGE_WIDTH if self.timed else 0) + 1)


class NodeEncoder(nn.Module):
    def __init__(self, layout: Layout, hidden: int) -> None:
        super().__init__()
        self.layout = layout
        self.embeddings = nn.ModuleList(nn.Embedding(size, hidden) for size in layout.vocabulary)
        self.dense = nn.Linear(layout.dense_width, hidden)
        self.out = nn.Linear(hidden, hidden)

    def forward(self, values: torch.Tensor, known: torch.Tensor, age: torch.Tensor | None,
                is_seed: torch.Tensor) -> torch.Tensor:
        layout = self.layout
        parts = [values[:, layout.numeric], known.to(values.dtype)]
        parts += [age_features(values[:, j]) for j in layout.datetime]
        if age is not None:
            parts.append(age_features(age))
        parts.append(is_seed[:, None].to(values.dtype))
        state = self.dense(torch.cat(parts, dim=1))
        for column, embedding in zip(layout.categorical, self.embeddings):
            state = state + embedding(values[:, column].long())
        return self.out(torch.relu(state))


class HeteroGNN(nn.Module):
    def __init__(self, graph: Graph, hidden: int = 64, layers: int = 2) -> None:
        super().__init__()
        self.edge_types = [tuple(e) for e in graph.edge_types]
        self.keys = [edge_type_key(e) for e in self.edge_types]
        self.layers = layers
        self.layouts = {name: Layout.of(graph, name) for name in graph.node_types}
        self.encode = nn.ModuleDict({name: NodeEncoder(layout, hidden) for name, layout in self.layouts.items()})
        self.self_weight = nn.ModuleList(nn.ModuleDict({name: nn.Linear(hidden, hidden)
                                                        for name in graph.node_types}) for _ in range(layers))
        self.message = nn.ModuleList(nn.ModuleDict({key: nn.Sequential(nn.Linear(hidden, hidden), nn.ReLU(),
                                                                        nn.Linear(hidden, hidden, bias=False))
                                                    for key in self.keys}) for _ in range(layers))
        self.degree = nn.ModuleList(nn.ModuleDict({key: nn.Linear(1, hidden, bias=False) for key in self.keys})
                                    for _ in range(layers))
        self.head = nn.Sequential(nn.Linear(2 * hidden, hidden), nn.ReLU(), nn.Linear(hidden, 1))
        for module in self.modules():
            if isinstance(module, nn.Linear):
                nn.init.kaiming_uniform_(module.weight, a=math.sqrt(5))

    def forward(self, inputs) -> torch.Tensor:
        """Logits for the seeds of one batch of model inputs (recipe.Inputs)."""
        batch = inputs.batch
        state = {name: self.encode[name](*inputs.nodes[name]) for name in batch.nodes}
        encoded = state[batch.entity_table][:batch.num_seeds]
        for layer in range(self.layers):
            part = batch.trim(self.layers - layer)
            state = {name: torch.relu(out) for name, out in self._layer(layer, part, state).items()}
        return self.head(torch.cat([state[batch.entity_table][:batch.num_seeds], encoded], dim=1)).squeeze(1)

    def _layer(self, layer: int, part, state: dict[str, torch.Tensor]) -> dict[str, torch.Tensor]:
        out = {name: self.self_weight[layer][name](values[:len(part.nodes[name])])
               for name, values in state.items()}
        for (source, _, destination), key in zip(self.edge_types, self.keys):
            edges = part.edge_index.get(key)
            if edges is None or edges.shape[1] == 0 or source not in state or destination not in out:
                continue
            src, dst = edges
            messages = self.message[layer][key](state[source][src])
            total = torch.zeros_like(out[destination]).index_add_(0, dst, messages)
            count = torch.bincount(dst, minlength=len(total)).to(total.dtype)
            degree = self.degree[layer][key](torch.log1p(count)[:, None])
            out[destination] = out[destination] + total / count.clamp(min=1)[:, None] + degree
        return out
