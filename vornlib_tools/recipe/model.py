"""A heterogeneous message-passing network in plain PyTorch, built from a graph's metadata.

Every node type gets an encoder of its own feature columns: numeric values
(standardised in the graph), one embedding per categorical column, the
known-at masks (a value that is not known yet is itself information: a flight
that was due an hour ago and has no departure time is late), datetime columns
as signed ages, the node's own age relative to its seed and a seed flag; ages
are encoded on the scales of the graph's own time span (AgeEncoding). Each
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

from vornlib_tools._convert import per_day
from vornlib_tools._features import CATEGORICAL, DATETIME, NUMERIC
from vornlib_tools._graph import Graph
from vornlib_tools._schema import edge_type_key

# Ages are read in two units set by the graph's time span, whatever the graph's own
# unit: a coarse one, 1/730 of the span, and a fine one, 1/17,520 of it (a day and an
# hour on two years of data; half a day and half an hour on a year of flights; 50 days
# and 2 days on a century of seasons). In each, a signed log age and soft bins: every 10
# coarse units up to 120 (width 7), every 2 fine units up to 24 (width 1.5).
COARSE_SHARE, FINE_SHARE = 1 / 730, 1 / 17_520
COARSE_BINS, COARSE_WIDTH = torch.arange(0.0, 121.0, 10.0), 7.0
FINE_BINS, FINE_WIDTH = torch.arange(0.0, 25.0, 2.0), 1.5


class AgeEncoding(nn.Module):
    """Bounded features of ages in days (negative: after the seed's time) that a
    linear layer can turn into a smooth function, on the scales of the graph's span."""

    def __init__(self, span_days: float) -> None:
        super().__init__()
        self.span = max(float(span_days), 1e-9)
        self.coarse, self.fine = self.span * COARSE_SHARE, self.span * FINE_SHARE
        self.register_buffer("coarse_bins", COARSE_BINS.clone())
        self.register_buffer("fine_bins", FINE_BINS.clone())
        self.width = len(COARSE_BINS) + len(FINE_BINS) + 2

    @classmethod
    def of(cls, graph: Graph) -> AgeEncoding:
        """Scaled to the graph's time span (one day for a graph without times)."""
        bounds = graph.time_range
        span = (bounds[1] - bounds[0]) / per_day(graph.time_unit) if bounds is not None else 1.0
        return cls(span if span > 0 else 1.0)

    def forward(self, days: torch.Tensor) -> torch.Tensor:
        coarse = days[:, None] / self.coarse
        fine = days[:, None] / self.fine
        return torch.cat([torch.sign(coarse) * torch.log1p(coarse.abs()) / 6.0,
                          torch.sign(fine) * torch.log1p(fine.abs()) / 8.0,
                          torch.exp(-(((coarse - self.coarse_bins) / COARSE_WIDTH) ** 2)),
                          torch.exp(-(((fine - self.fine_bins) / FINE_WIDTH) ** 2))], dim=1)


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

    def dense_width(self, age_width: int) -> int:
        """Numeric values, masks, datetime ages, node age and seed flag."""
        return (len(self.numeric) + self.width + age_width * len(self.datetime)
                + (age_width if self.timed else 0) + 1)


class NodeEncoder(nn.Module):
    def __init__(self, layout: Layout, hidden: int, age_width: int) -> None:
        super().__init__()
        self.layout = layout
        self.embeddings = nn.ModuleList(nn.Embedding(size, hidden) for size in layout.vocabulary)
        self.dense = nn.Linear(layout.dense_width(age_width), hidden)
        self.out = nn.Linear(hidden, hidden)

    def forward(self, values: torch.Tensor, known: torch.Tensor, age: torch.Tensor | None,
                is_seed: torch.Tensor, ages: AgeEncoding) -> torch.Tensor:
        layout = self.layout
        parts = [values[:, layout.numeric], known.to(values.dtype)]
        parts += [ages(values[:, j]) for j in layout.datetime]
        if age is not None:
            parts.append(ages(age))
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
        self.ages = AgeEncoding.of(graph)
        self.encode = nn.ModuleDict({name: NodeEncoder(layout, hidden, self.ages.width)
                                     for name, layout in self.layouts.items()})
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
        state = {name: self.encode[name](*inputs.nodes[name], self.ages) for name in batch.nodes}
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
