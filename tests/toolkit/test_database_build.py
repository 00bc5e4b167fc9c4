"""Database.to_graph's building steps at the sizes where their in-place and
streaming forms matter: grouping by destination, time ranks, dense key
lookups, time rescaling, and whole builds checked against keys mapped and
edges sorted by hand."""

import logging

import numpy as np
import pytest

from vornlib_tools import Database, Graph, Table
from vornlib_tools._convert import KeyIndex, to_graph_time
from vornlib_tools._graph import group_by_destination, time_order, time_rank


def grouped_by_lexsort(dst, num_dst, rank):
    """What group_by_destination must return, by a stable sort on (destination, rank)."""
    positions = np.flatnonzero(dst >= 0)
    ranks = positions if rank is None else rank[positions]
    order = positions[np.lexsort((ranks, dst[positions]))]
    colptr = np.concatenate([[0], np.cumsum(np.bincount(dst[positions], minlength=num_dst))])
    return colptr, order


# ---- grouping and ranking --------------------------------------------------------------

@pytest.mark.parametrize("size", [7, 50_000])  # the large size is past numpy's take/sort buffers
@pytest.mark.parametrize("dangling", [False, True])
@pytest.mark.parametrize("ranked", ["no", "rank", "rank and order"])
def test_group_by_destination_is_a_stable_sort_by_destination_then_rank(size, dangling, ranked):
    rng = np.random.default_rng(size)
    num_dst = max(size // 20, 3)
    dst = rng.integers(0, num_dst, size).astype(np.int32)
    if dangling:
        dst[rng.random(size) < 0.3] = -1
    times = rng.integers(0, size // 3 + 1, size)
    order, rank = time_order(times) if ranked != "no" else (None, None)
    colptr, positions = group_by_destination(dst, num_dst + 2, rank, order if ranked == "rank and order" else None)
    expected_colptr, expected = grouped_by_lexsort(dst, num_dst + 2, rank)
    assert positions.dtype == np.int64 and colptr.dtype == np.int64
    np.testing.assert_array_equal(colptr, expected_colptr)
    np.testing.assert_array_equal(positions, expected)


def test_time_order_keeps_input_order_among_ties_and_ranks_wide_spans():
    times = np.array([5, 3, 5, 3, 9], dtype=np.int64)
    assert time_rank(times).tolist() == [2, 0, 3, 1, 4]
    order, rank = time_order(times)
    assert order.tolist() == [1, 3, 0, 2, 4] and rank.tolist() == [2, 0, 3, 1, 4]
    wide = np.array([2**62, -(2**62), 0, 2**62], dtype=np.int64)
    assert time_rank(wide).tolist() == [2, 0, 1, 3]
    assert time_order(wide)[0].tolist() == [1, 2, 0, 3]
    assert time_rank(np.empty(0, dtype=np.int64)).size == 0


# ---- keys and times --------------------------------------------------------------------

def test_dense_key_lookup_finds_present_keys_and_only_them():
    keys = np.array([10, 14, 11, 30], dtype=np.int64)
    index = KeyIndex([keys], "t")
    assert index.direct
    queries = np.array([14, 9, 10, 31, 30, 12, -5, 2**40], dtype=np.int64)
    found = index.lookup([queries], "q")
    assert found.dtype == np.int64
    assert found.tolist() == [1, -1, 0, -1, 3, -1, -1, -1]
    assert index.lookup([np.array([11.0, 11.5])], "q").tolist() == [2, -1]
    sparse = KeyIndex([np.array([0, 2**40])], "t")  # too spread for a direct table: searched
    assert not sparse.direct and sparse.lookup([np.array([2**40, 1])], "q").tolist() == [1, -1]


@pytest.mark.parametrize("round_up", [False, True])
def test_rescaled_times_skip_missing_and_do_not_alias_the_input(round_up):
    stamps = np.array(["2024-01-01T00:00:01.500", "NaT", "2024-01-01T00:00:02"], dtype="datetime64[ms]")
    seconds = to_graph_time(stamps, "s", "t", round_up=round_up, missing="always")
    base = int(np.datetime64("2024-01-01T00:00:00", "s").astype(np.int64))
    assert seconds.tolist() == [base + (2 if round_up else 1), np.iinfo(np.int64).min, base + 2]
    days = np.array(["2024-01-01", "2024-01-02"], dtype="datetime64[D]")
    result = to_graph_time(days, "s", "t")
    days[0] = np.datetime64("2000-01-01")
    assert result[0] == base and result[1] == base + 86_400


# ---- whole builds --------------------------------------------------------------------------

def shop_tables(rng, orders=3_000):
    """Customers, products and orders keyed by sparse ids (dense lookups), with
    ties in time, a null and (optionally) dangling references."""
    customer_ids = rng.permutation(np.arange(100, 400))[:250]
    product_ids = rng.permutation(np.arange(1, 90))
    order_customer = rng.choice(customer_ids, orders)
    order_product = rng.choice(product_ids, orders).astype(float)
    order_product[5] = np.nan
    frames = {
        "customers": {"id": customer_ids, "since": rng.integers(0, 50, 250) * 1000},
        "products": {"sku": product_ids, "price": rng.random(len(product_ids))},
        "orders": {"id": rng.permutation(orders) * 3 + 7, "customer": order_customer, "product": order_product,
                   "at": rng.integers(0, 300, orders) * 1000, "amount": rng.random(orders)},
    }
    return frames


def shop_database(frames):
    return Database({
        "customers": Table(frames["customers"], primary_key="id", time="since"),
        "products": Table(frames["products"], primary_key="sku"),
        "orders": Table(frames["orders"], primary_key="id", time="at",
                        foreign_keys={"customer": "customers", "product": ("products", "of")}),
    })


def mapped_by_hand(frames):
    """Each order's customer and product node, mapped with argsort and searchsorted (-1: none)."""
    def mapped(keys, references):
        order = np.argsort(keys)
        position = np.minimum(np.searchsorted(keys[order], references), len(keys) - 1)
        found = keys[order][position] == references
        return np.where(found, order[position], -1)

    orders = frames["orders"]
    customer = mapped(frames["customers"]["id"], orders["customer"])
    product = mapped(frames["products"]["sku"].astype(float), orders["product"])
    rows = np.flatnonzero(product >= 0)  # the null's row gives no edge
    times = {"customers": frames["customers"]["since"], "orders": orders["at"]}
    return customer, product, rows, times


def test_build_matches_edges_made_by_hand_in_files_and_in_memory(tmp_path):
    frames = shop_tables(np.random.default_rng(3))
    saved = shop_database(frames).to_graph(tmp_path / "graph")
    kept = shop_database(frames).to_graph()
    customer, product, rows, times = mapped_by_hand(frames)
    by_customer = sorted(range(3_000), key=lambda r: (customer[r], times["orders"][r], r))
    for graph in (saved, kept):
        assert graph.checked
        # Every order refers to one customer: its run is that customer; a customer's run is its orders in time.
        assert graph.colptr["customers__customer__orders"].tolist() == list(range(3_001))
        assert graph.row["customers__customer__orders"].tolist() == customer.tolist()
        assert graph.colptr["orders__rev_customer__customers"].tolist() == \
            [0, *np.cumsum(np.bincount(customer, minlength=250)).tolist()]
        assert graph.row["orders__rev_customer__customers"].tolist() == by_customer
        # The nullable reference: the null gives no edge, every other order's product is its run.
        assert graph.row["products__of__orders"].tolist() == product[rows].tolist()
        reverse = graph.row["orders__rev_of__products"]
        by_product = sorted(rows, key=lambda r: (product[r], times["orders"][r], r))
        assert reverse.tolist() == by_product
    for stem, array in kept.arrays().items():
        np.testing.assert_array_equal(np.asarray(saved.arrays()[stem]), array, err_msg=stem)


def test_dangling_references_added_as_nodes_survive_the_narrowed_targets(tmp_path):
    frames = shop_tables(np.random.default_rng(4), orders=500)
    frames["orders"]["customer"][[0, 1, 2]] = [9_999, 5, 9_999]  # two new customers
    graph = shop_database(frames).to_graph(tmp_path / "graph", on_dangling="add")
    assert graph.num_nodes["customers"] == 252
    assert graph.row["customers__customer__orders"][:3].tolist() == [250, 251, 250]
    assert graph.primary_keys["customers"].values[0][250:].tolist() == [9_999, 5]
    run = slice(*graph.colptr["orders__rev_customer__customers"][250:252])
    assert sorted(graph.row["orders__rev_customer__customers"][run].tolist()) == [0, 2]
    assert graph.index_of("customers", [9_999, 5]).tolist() == [250, 251]


def test_build_logs_its_phases(tmp_path, caplog):
    frames = shop_tables(np.random.default_rng(5), orders=200)
    with caplog.at_level(logging.DEBUG, logger="vornlib_tools.database"):
        shop_database(frames).to_graph(tmp_path / "graph")
    (record,) = [r for r in caplog.records if hasattr(r, "phases")]
    assert {"keys", "times", "time order", "edges", "check", "features", "write"} <= set(record.phases)
    assert all(seconds >= 0 for seconds in record.phases.values())


# ---- atomic builds ----------------------------------------------------------------------

def leftovers(parent):
    return sorted(p.name for p in parent.iterdir())


@pytest.mark.parametrize("error", [RuntimeError("disk full"), KeyboardInterrupt()])
def test_a_failed_build_leaves_nothing_and_an_existing_graph_untouched(tmp_path, monkeypatch, error):
    frames = shop_tables(np.random.default_rng(1), orders=200)
    target = tmp_path / "graph"
    real_save, calls = np.save, []

    def failing_save(path, array, *args, **kwargs):
        calls.append(path)
        if len(calls) == 5:  # after keys and times were written: a half-made graph
            raise error
        return real_save(path, array, *args, **kwargs)

    monkeypatch.setattr(np, "save", failing_save)
    with pytest.raises(type(error)):
        shop_database(frames).to_graph(target)
    assert leftovers(tmp_path) == []
    monkeypatch.setattr(np, "save", real_save)
    first = shop_database(frames).to_graph(target)
    before = {p.name: p.read_bytes() for p in target.iterdir()}
    calls.clear()
    monkeypatch.setattr(np, "save", failing_save)
    with pytest.raises(type(error)):
        shop_database(shop_tables(np.random.default_rng(2), orders=300)).to_graph(target)
    assert leftovers(tmp_path) == ["graph"]
    assert {p.name: p.read_bytes() for p in target.iterdir()} == before
    assert Graph.load(target).num_nodes == first.num_nodes


def test_a_build_replaces_a_graph_or_an_empty_directory_and_nothing_else(tmp_path):
    frames = shop_tables(np.random.default_rng(1), orders=200)
    (tmp_path / "empty").mkdir()
    shop_database(frames).to_graph(tmp_path / "empty")
    smaller = shop_database(shop_tables(np.random.default_rng(1), orders=100)).to_graph(tmp_path / "empty")
    assert Graph.load(tmp_path / "empty").num_nodes == smaller.num_nodes
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "notes.txt").write_text("keep me")
    with pytest.raises(ValueError, match="holds files but no graph"):
        shop_database(frames).to_graph(tmp_path / "mine")
    assert (tmp_path / "mine" / "notes.txt").read_text() == "keep me"
    assert leftovers(tmp_path) == ["empty", "mine"]
