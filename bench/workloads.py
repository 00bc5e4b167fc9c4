"""The benchmark's workloads over the synthetic customer/product/transaction
graph (table in bench/README.md). Seeds are customers, one timestamp each;
per edge type a workload gives a count or a time window (relative to the
seed time) per hop. With customer seeds hop 1 reaches only transactions and
hop 2 only customers and products, so hop-2 counts for those apply to empty
frontiers; a third hop expands the products reached in hop 2.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from vornlib_tools.synthetic import DAY

CUSTOMER_TO_TX = "transactions__rev_made__customers"
TX_TO_CUSTOMER = "customers__made__transactions"
TX_TO_PRODUCT = "products__in__transactions"
PRODUCT_TO_TX = "transactions__rev_in__products"


@dataclass(frozen=True)
class Workload:
    name: str
    batch_size: int
    with_time: bool  # sampler built with node_time, seeds carry times
    counts: dict[str, list[int]]
    windows: dict[str, list[tuple[int | None, int]]] = field(default_factory=dict)

    @property
    def hops(self) -> int:
        return max(len(per_hop) for per_hop in [*self.counts.values(), *self.windows.values()])


def _counts(hops: int) -> dict[str, list[int]]:
    first_hop = {CUSTOMER_TO_TX: 16, TX_TO_CUSTOMER: 1, TX_TO_PRODUCT: 1, PRODUCT_TO_TX: 8}
    later_hops = {CUSTOMER_TO_TX: 8, TX_TO_CUSTOMER: 1, TX_TO_PRODUCT: 1, PRODUCT_TO_TX: 8}
    return {key: [first_hop[key]] + [later_hops[key]] * (hops - 1) for key in first_hop}


_LAST_30_DAYS = (-30 * DAY, 0)

WORKLOADS = {
    "last-k": Workload("last-k", 1024, True, _counts(2)),
    "uniform": Workload("uniform", 1024, False, _counts(2)),
    "window": Workload("window", 1024, True,
                       counts={TX_TO_CUSTOMER: [1, 1], TX_TO_PRODUCT: [1, 1]},
                       windows={CUSTOMER_TO_TX: [_LAST_30_DAYS] * 2, PRODUCT_TO_TX: [_LAST_30_DAYS] * 2}),
    "deep": Workload("deep", 512, True, _counts(3)),
    "wide": Workload("wide", 512, True, {key: [128, 64, 64] for key in _counts(1)}),
}
