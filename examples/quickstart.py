"""Build a sampler over a tiny temporal graph and sample a two-hop neighbourhood."""

import numpy as np

import vornlib

# Papers cite papers; authors write papers. Each edge type is stored as CSC
# over its destination type: colptr[v]..colptr[v+1] are the incoming edges of v.
sampler = vornlib.NeighborSampler(
    node_types=["paper", "author"],
    edge_types=[("author", "writes", "paper"), ("paper", "cites", "paper")],
    colptr={"author__writes__paper": np.array([0, 2, 3, 4]), "paper__cites__paper": np.array([0, 2, 3, 3])},
    row={"author__writes__paper": np.array([0, 1, 1, 2]), "paper__cites__paper": np.array([1, 2, 2])},
    node_time={"paper": np.array([10, 20, 30]), "author": np.array([5, 15, 25])},
)
print(sampler)

rows, cols, nodes, batches, node_counts, edge_counts = sampler.sample(
    num_neighbors={"author__writes__paper": [2, 2], "paper__cites__paper": [1, 1]},
    sampling_time_offsets={},
    entity_table="paper",
    seed_node=np.array([0]),
    seed_time=np.array([25]),
)
for name, table in [("row", rows), ("column", cols), ("node", nodes), ("batch", batches),
                    ("node-count", node_counts), ("edge-count", edge_counts)]:
    print(f"{name:>10}: " + ", ".join(f"{key}={value.tolist()}" for key, value in table.items()))
