"""A SeedLoader's epochs as a torch.utils.data.IterableDataset.

Importing this module imports torch; nothing else in the toolkit does at import.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from torch.utils.data import IterableDataset, get_worker_info

from vornlib_tools._batch import Batch


class SeedDataset(IterableDataset):
    """The epochs of a SeedLoader, sampled in torch's DataLoader workers:

        dataset = loader.as_dataset()
        data = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2, pin_memory=True)
        for epoch in range(epochs):
            dataset.set_epoch(epoch)
            for batch in data:
                ...

    batch_size=None, because the batches are already cut. DataLoader worker w
    of n (get_worker_info()) samples batches w, w + n, w + 2n, ... of the epoch,
    and the DataLoader takes one batch from each worker in turn, so the batches
    arrive in the epoch's order. Every batch is sampled with the stream the
    loader gives it (batch_stream_seed), so an epoch is the same here as from
    the loader itself, with any number of workers. Batches come as tensors
    (Batch.to_torch()), which torch's workers hand over in shared memory;
    whatever the loader's transform returns besides a Batch comes as it is.

    The epoch is the one set with set_epoch (0 at first): the DataLoader copies
    the dataset into its workers when an epoch's iteration starts, so a change
    made during an epoch, or under persistent_workers=True, does not reach
    them. SeedLoader's own workers are the persistent choice.
    """

    def __init__(self, loader) -> None:
        self.loader = loader
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        if epoch < 0:
            raise ValueError(f"epoch must not be negative, got {epoch}")
        self.epoch = epoch

    def __len__(self) -> int:
        return len(self.loader.batches(self.epoch))

    def __iter__(self) -> Iterator[Any]:
        info = get_worker_info()
        worker, workers = (0, 1) if info is None else (info.id, info.num_workers)
        count = len(self.loader.batches(self.epoch))
        for item in self.loader.sample_batches(self.epoch, range(worker, count, workers)):
            yield _tensors(item)


def _tensors(item: Any) -> Any:
    return item.to_torch() if isinstance(item, Batch) else item
