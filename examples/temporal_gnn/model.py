"""A heterogeneous message-passing network in plain PyTorch.

Each layer sends, per edge type (S, rel, D), a linear transform of every
source node's state along its sampled edges, averages the messages that reach
each destination node, adds the destination's own transformed state, the
averages of all edge types and a learned function of how many messages arrived
(a mean alone cannot count), and applies a ReLU. Layer l of L only needs the
nodes reached within L - l hops, so it runs on the batch trimmed to them.
"""

from __future__ import annotations

import math

import torch
from torch import nn

from vornlib_tools import Batch, edge_type_key
from vornlib_tools.synthetic import DAY

# Soft bins over the last four months (centre, width in days), plus a log scale for all ages.
AGE_BIN_CENTRES_DAYS = torch.arange(0.0, 121.0, 10.0)
AGE_BIN_WIDTH_DAYS = 7.0
AGE_FEATURES = len(AGE_BIN_CENTRES_DAYS) + 1


def age_features(age_seconds: torch.Tensor) -> torch.Tensor:
    """How long before the prediction time a node happened: bounded features a
    linear layer can turn into any smooth function of the age in days."""
    days = age_seconds.to(torch.float32)[:, None] / DAY
    bins = torch.exp(-(((days - AGE_BIN_CENTRES_DAYS) / AGE_BIN_WIDTH_DAYS) ** 2))
    return torch.cat([torch.sign(days) * torch.log1p(days.abs()) / 6.0, bins], dim=1)


class HeteroMeanGNN(nn.Module):
    def __init__(self, node_types: list[str], edge_types: list[tuple[str, str, str]], num_categories: int,
                 hidden: int = 32, layers: int = 2) -> None:
        super().__init__()
        self.edge_types = [tuple(e) for e in edge_types]
        self.keys = [edge_type_key(e) for e in self.edge_types]
        self.layers = layers
        width = AGE_FEATURES + 1  # and the seed flag
        self.encode = nn.ModuleDict({name: nn.Linear(width, hidden) for name in node_types})
        self.category = nn.Embedding(max(num_categories, 1), hidden)
        self.self_weight = nn.ModuleList(nn.ModuleDict({name: nn.Linear(hidden, hidden) for name in node_types})
                                         for _ in range(layers))
        self.message = nn.ModuleList(nn.ModuleDict({key: nn.Linear(hidden, hidden, bias=False) for key in self.keys})
                                     for _ in range(layers))
        self.degree = nn.ModuleList(nn.ModuleDict({key: nn.Linear(1, hidden, bias=False) for key in self.keys})
                                    for _ in range(layers))
        self.head = nn.Sequential(nn.Linear(hidden, hidden), nn.ReLU(), nn.Linear(hidden, 1))
        for module in self.modules():
            if isinstance(module, nn.Linear):
                nn.init.kaiming_uniform_(module.weight, a=math.sqrt(5))

    def forward(self, batch: Batch, age: dict[str, torch.Tensor], category: torch.Tensor | None) -> torch.Tensor:
        """Logits for the seeds. batch holds tensors (Batch.to_torch); age maps each
        node type to every sampled node's age in seconds; category holds the
        category of every sampled product."""
        state = {}
        for name, module in self.encode.items():
            is_seed = (batch.hop[name] == 0).to(torch.float32)[:, None]
            state[name] = module(torch.cat([age_features(age[name]), is_seed], dim=1))
        if category is not None:
            state["products"] = state["products"] + self.category(category)
        for layer in range(self.layers):
            part = batch.trim(self.layers - layer)
            state = {name: torch.relu(out) for name, out in self._layer(layer, part, state).items()}
        return self.head(state[batch.entity_table][:batch.num_seeds]).squeeze(1)

    def _layer(self, layer: int, part: Batch, state: dict[str, torch.Tensor]) -> dict[str, torch.Tensor]:
        out = {name: self.self_weight[layer][name](values[:len(part.node[name])])
               for name, values in state.items()}
        for (source, _, destination), key in zip(self.edge_types, self.keys):
            src, dst = part.edge_index[key]
            if src.numel() == 0:
                continue
            messages = self.message[layer][key](state[source][src])
            total = torch.zeros_like(out[destination]).index_add_(0, dst, messages)
            count = torch.bincount(dst, minlength=len(total)).to(total.dtype)
            degree = self.degree[layer][key](torch.log1p(count)[:, None])
            out[destination] = out[destination] + total / count.clamp(min=1)[:, None] + degree
        return out
