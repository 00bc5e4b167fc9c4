"""The toolkit's PyTorch parts (the recipe's runs are tests/recipe/test_recipe.py's).

They need the optional `train` extra (torch) and are skipped without it; run
them alone with `pytest -m torch`.
"""

import numpy as np
import pytest

from vornlib_tools import Batch, synthetic

torch = pytest.importorskip("torch")
pytestmark = pytest.mark.torch


@pytest.fixture(scope="module")
def batch():
    graph = synthetic.generate(synthetic.Shape(2_000, 100, 20), seed=2)
    seed_node, seed_time = np.array([0, 5, 0, 9]), np.full(4, synthetic.TIME_ORIGIN + 500 * synthetic.DAY)
    result = graph.sampler().sample({key: [4, 2, 2] for key in graph.keys}, {}, "customers", seed_node, seed_time)
    return Batch.from_sample(result, seed_node, seed_time, "customers", graph.edge_types,
                             payload={"label": np.array([1.0, 0.0, 1.0, 0.0], dtype=np.float32)})


def test_to_torch_shares_the_arrays_and_trims_like_numpy(batch):
    tensors = batch.to_torch()
    for name in batch.nodes:
        assert tensors.nodes[name].dtype == torch.int64
        assert tensors.nodes[name].data_ptr() == batch.nodes[name].ctypes.data  # no copy
        np.testing.assert_array_equal(tensors.hops[name].numpy(), batch.hops[name])
    assert tensors.payload["label"].dtype == torch.float32
    for hops in range(batch.num_hops + 1):
        trimmed, reference = tensors.trim(hops), batch.trim(hops)
        for key in batch.edge_index:
            np.testing.assert_array_equal(trimmed.edge_index[key].numpy(), reference.edge_index[key])
        for name in batch.nodes:
            np.testing.assert_array_equal(trimmed.nodes[name].numpy(), reference.nodes[name])
