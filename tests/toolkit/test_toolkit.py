"""The companion toolkit's numpy parts: graph building and storage, check_graph,
batches and trimming, the seed loader, and the synthetic database."""

import dataclasses
from pathlib import Path

import numpy as np
import pytest

import vornlib_tools._check
from helpers import epoch_order, loader_for, plain
from vornlib_tools import Batch, ForeignKey, Graph, SeedLoader, check_graph, csc, synthetic


def shop(order_seed=0):
    """Six orders of four customers over two products; order ids deliberately
    do not follow time, customer 3 has no orders, and orders 1 and 4 tie in time."""
    order_time = np.array([50, 20, 40, 10, 20, 30])
    order_customer = np.array([0, 2, 0, 1, 2, 0])
    order_product = np.array([1, 0, 1, 1, 0, 0])
    perm = np.random.default_rng(order_seed).permutation(6) if order_seed else np.arange(6)
    return Graph.from_foreign_keys(
        {"customers": 4, "products": 2, "orders": 6},
        {"customers": np.array([1, 2, 3, 4]), "products": np.array([0, 0]), "orders": order_time[perm]},
        [ForeignKey("orders", order_customer[perm], "customers", "by"),
         ForeignKey("orders", order_product[perm], "products", "of")],
        columns={"products.price": np.array([2.5, 4.0])}, metadata={"source": "test"})


# ---- building and storing graphs ------------------------------------------------

def test_foreign_keys_give_both_directions_time_sorted_and_stable():
    graph = shop()
    assert graph.edge_types == [("customers", "by", "orders"), ("orders", "rev_by", "customers"),
                                ("products", "of", "orders"), ("orders", "rev_of", "products")]
    # customer 0: orders 5 (t=30), 2 (t=40), 0 (t=50); customer 2: orders 1 and 4 tie at t=20 and keep id order.
    assert graph.colptr["orders__rev_by__customers"].tolist() == [0, 3, 4, 6, 6]
    assert graph.row["orders__rev_by__customers"].tolist() == [5, 2, 0, 3, 1, 4]
    assert graph.row["orders__rev_of__products"].tolist() == [1, 4, 5, 3, 2, 0]
    assert graph.colptr["customers__by__orders"].tolist() == list(range(7))
    assert graph.row["customers__by__orders"].tolist() == [0, 2, 0, 1, 2, 0]
    assert graph.num_edges == 24
    graph.check()


def test_csc_matches_a_direct_computation():
    rng = np.random.default_rng(5)
    src, dst, src_time = rng.integers(0, 30, 500), rng.integers(0, 40, 500), rng.integers(0, 10, 30)
    colptr, row = csc(src, dst, 45, src_time)
    by_time = sorted(range(500), key=lambda e: (src_time[src[e]], e))
    for v in range(45):
        expected = [src[e] for e in by_time if dst[e] == v]
        assert row[colptr[v]:colptr[v + 1]].tolist() == expected
    assert colptr[-1] == 500 and colptr[40] == 500  # destinations 40..44 have no edges


@pytest.mark.parametrize("bad", [dict(dst=[0, 3]), dict(dst=[-1, 0]), dict(src=[0, 9])])
def test_csc_refuses_ids_outside_the_tables(bad):
    arrays = dict(src=[0, 1], dst=[0, 1]) | bad
    with pytest.raises(ValueError, match="position"):
        csc(np.array(arrays["src"]), np.array(arrays["dst"]), 3, np.zeros(2, dtype=np.int64))


def test_foreign_key_edge_order_must_match():
    with pytest.raises(ValueError, match="do not match"):
        Graph.from_foreign_keys({"a": 1, "b": 1}, {}, [ForeignKey("a", np.array([0]), "b", "r")],
                                edge_types=[("b", "r", "a")])


@pytest.mark.parametrize("num_nodes, fk, match", [
    ({"a": 1, "b": 1}, ForeignKey("a", np.array([0]), "b", "r__s"), "relation 'r__s' contains '__'"),
    ({"a": 1, "b": 1}, ForeignKey("a", np.array([0]), "b", "r", "s__t"), "relation 's__t' contains '__'"),
    ({"a__x": 1, "b": 1}, ForeignKey("a__x", np.array([0]), "b", "r"), "table name 'a__x' contains '__'"),
    ({"a": 2, "b": 3}, ForeignKey("a", np.array([0, 3]), "b", "r"), "a.r: .*3 at position 1 is not a node index"),
    ({"a": 2, "b": 3}, ForeignKey("a", np.array([-1, 0]), "b", "r"), "a.r: .*-1 at position 0 is not a node index"),
    ({"a": 2, "b": 3}, ForeignKey("a", np.array([0]), "b", "r"), "one entry per a row"),
    ({"a": 2}, ForeignKey("a", np.array([0, 0]), "b", "r"), "num_nodes has no table 'b'"),
])
def test_foreign_keys_refuse_what_a_database_refuses(num_nodes, fk, match):
    with pytest.raises(ValueError, match=match):
        Graph.from_foreign_keys(num_nodes, {}, [fk])


@pytest.mark.parametrize("as_path", [str, Path])
def test_save_and_load_round_trip_memory_mapped(tmp_path, as_path):
    graph = shop(order_seed=3)
    graph.save(as_path(tmp_path / "g"))
    loaded = Graph.load(as_path(tmp_path / "g"))
    assert (loaded.node_types, loaded.edge_types, loaded.num_nodes, loaded.metadata) == \
           (graph.node_types, graph.edge_types, graph.num_nodes, graph.metadata)
    original, stored = graph.arrays(), loaded.arrays()
    assert stored.keys() == original.keys()
    for stem, values in stored.items():
        assert isinstance(values, np.memmap) and not values.flags.writeable
        np.testing.assert_array_equal(values, original[stem])
    assert stored["products.price"].dtype == np.float64
    loaded.check()
    # The sampler reads the maps in place and gives what it gives on the in-memory graph.
    request = ({key: [2, 2] for key in graph.keys}, {}, "customers", np.array([0, 2]), np.array([45, 25]))
    assert plain(loaded.sampler().sample(*request)) == plain(graph.sampler().sample(*request))


def test_an_interrupted_save_is_not_a_graph(tmp_path, monkeypatch):
    graph = shop()
    graph.save(tmp_path)

    def fail(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(np, "save", fail)
    with pytest.raises(OSError):
        graph.save(tmp_path)
    with pytest.raises(FileNotFoundError):
        Graph.load(tmp_path)


# ---- check_graph ------------------------------------------------------------------

def small_graph():
    """A__r__B: B node 0 has sources 1, 0 (times 1, 5), node 1 none, node 2 sources 2, 1 (times 2, 5)."""
    return dict(node_types=["A", "B"], edge_types=[("A", "r", "B")],
                colptr={"A__r__B": np.array([0, 2, 2, 4])}, row={"A__r__B": np.array([1, 0, 2, 0])},
                node_time={"A": np.array([5, 1, 2]), "B": np.array([0, 0, 0])})


def test_check_graph_accepts_a_good_graph_with_a_time_drop_between_runs():
    assert check_graph(**small_graph()) is None


FAULTS = {
    "colptr starts above 0": (dict(colptr=[1, 2, 2, 4]), "start with 0"),
    "colptr decreases": (dict(colptr=[0, 3, 2, 4]), "decreases at destination node 1"),
    "colptr ends before row does": (dict(colptr=[0, 2, 2, 3]), "ends at 3 but row has 4"),
    "colptr shorter than the destination type": (dict(colptr=[0, 2, 4], row=[1, 0, 2, 0]), "3 destination nodes"),
    "negative source": (dict(row=[1, 0, -1, 0]), "row entry -1 at position 2 \\(destination node 2\\)"),
    "source past the source type": (dict(row=[1, 0, 2, 3]), "row entry 3 at position 3 \\(destination node 2\\)"),
    "unsorted neighbourhood": (dict(row=[0, 1, 2, 1]), "destination node 0 is not sorted .* row position 1"),
    "int32 row": (dict(row=np.array([1, 0, 2, 0], dtype=np.int32)), "must have dtype int64"),
}


@pytest.mark.parametrize("change, message", FAULTS.values(), ids=FAULTS.keys())
def test_check_graph_names_the_first_fault(change, message):
    graph = small_graph()
    for name, values in change.items():
        graph[name]["A__r__B"] = np.asarray(values, dtype=getattr(values, "dtype", np.int64))
    with pytest.raises(ValueError, match=f"'A__r__B'.*{message}"):
        check_graph(**graph)


def test_check_graph_structural_faults():
    for change, message in [(dict(node_types=["A"], node_time={}), "node type 'B' is not in node_types"),
                            (dict(row={}), "has no row"),
                            (dict(node_time={"C": np.array([1])}), "'C', which is not in node_types")]:
        with pytest.raises(ValueError, match=message):
            check_graph(**(small_graph() | change))
    with pytest.raises(ValueError, match="node_time of 'A' has 3 entries for 4 nodes"):
        check_graph(**small_graph(), num_nodes={"A": 4})


def test_check_graph_without_source_times_checks_only_bounds():
    graph = small_graph() | {"node_time": {}}
    graph["row"]["A__r__B"] = np.array([0, 1, 2, 1])  # out of time order, but no time applies
    assert check_graph(**graph) is None
    graph["row"]["A__r__B"] = np.array([0, 1, 2, 7])  # no count known for A: only negatives are caught
    assert check_graph(**graph) is None
    with pytest.raises(ValueError, match="row entry 7 .* below 3"):
        check_graph(**graph, num_nodes={"A": 3})


def test_check_graph_finds_disorder_across_its_chunks(monkeypatch):
    monkeypatch.setattr(vornlib_tools._check, "_CHUNK", 3)
    rng = np.random.default_rng(1)
    src, dst = rng.integers(0, 50, 400), rng.integers(0, 20, 400)
    src_time = rng.integers(0, 1000, 50)
    colptr, row = csc(src, dst, 20, src_time)
    graph = dict(node_types=["A", "B"], edge_types=[("A", "r", "B")], colptr={"A__r__B": colptr},
                 row={"A__r__B": row}, node_time={"A": src_time})
    assert check_graph(**graph) is None
    # Swap two neighbours of different times inside one run, at every chunk phase.
    for position in range(int(colptr[5]) + 1, int(colptr[8])):
        if src_time[row[position - 1]] == src_time[row[position]] or position in colptr:
            continue
        swapped = row.copy()
        swapped[[position - 1, position]] = swapped[[position, position - 1]]
        owner = int(np.searchsorted(colptr, position, side="right")) - 1
        with pytest.raises(ValueError, match=f"destination node {owner} is not sorted"):
            check_graph(**(graph | {"row": {"A__r__B": swapped}}))


# ---- batches -----------------------------------------------------------------------

def sample_shop(seeds=(0, 2, 0), times=(45, 25, 60), counts=(2, 1)):
    graph = shop(order_seed=3)
    seed_node, seed_time = np.array(seeds), np.array(times)
    result = graph.sampler().sample({key: list(counts) for key in graph.keys}, {}, "customers", seed_node, seed_time)
    return graph, result, Batch.from_sample(result, seed_node, seed_time, "customers", graph.edge_types,
                                            payload={"label": np.array([1.0, 0.0, 1.0])})


def test_batch_matches_the_sample_result():
    graph, (rows, cols, nodes, batches, node_counts, edge_counts), batch = sample_shop()
    for name in graph.node_types:
        np.testing.assert_array_equal(batch.nodes[name], nodes[name])
        np.testing.assert_array_equal(batch.times[name], np.array([45, 25, 60])[batches[name]])
        expected_hop = [h for h, c in enumerate(node_counts[name]) for _ in range(c)]
        assert batch.hops[name].tolist() == expected_hop
    for key in graph.keys:
        assert batch.edge_index[key].tolist() == [rows[key].tolist(), cols[key].tolist()]
    assert batch.nodes["customers"][:3].tolist() == [0, 2, 0] and batch.num_seeds == 3 and batch.num_hops == 2
    prices = batch.gather({"products": graph.columns["products.price"]})
    assert prices.keys() == {"products"}
    np.testing.assert_array_equal(prices["products"], graph.columns["products.price"][nodes["products"]])
    age = batch.relative_time(graph.node_time)
    for name in graph.node_types:
        np.testing.assert_array_equal(age[name], batch.times[name] - graph.node_time[name][nodes[name]])
    assert batch.edge_type("orders__rev_by__customers") == ("orders", "rev_by", "customers")


def mean_layers(batch, x, layers, trim=True):
    """Layer-wise mean aggregation over every edge type; with trim, each layer
    works on the hops it still needs."""
    h = {name: values.astype(float) for name, values in x.items()}
    for layer in range(layers):
        part = batch.trim(layers - layer) if trim else batch
        out = {name: values[:len(part.nodes[name])].copy() for name, values in h.items()}
        for key, (src, dst) in part.edge_index.items():
            source, _, destination = part.edge_type(key)
            total = np.zeros_like(out[destination])
            np.add.at(total, dst, h[source][src])
            count = np.bincount(dst, minlength=len(total))[:, None]
            out[destination] = out[destination] + total / np.maximum(count, 1)
        h = out
    return h


def test_trimming_leaves_the_seed_outputs_unchanged():
    graph, _, batch = sample_shop(counts=(3, 3, 3))
    rng = np.random.default_rng(0)
    x = {name: rng.normal(size=(len(batch.nodes[name]), 4)) for name in graph.node_types}
    trimmed = mean_layers(batch, x, 3)["customers"][:batch.num_seeds]

    untrimmed = mean_layers(batch, x, 3, trim=False)
    np.testing.assert_allclose(trimmed, untrimmed["customers"][:batch.num_seeds])
    assert batch.trim(0).nodes["customers"].tolist() == [0, 2, 0]
    assert all(len(e[0]) == 0 for e in batch.trim(0).edge_index.values())
    with pytest.raises(ValueError):
        batch.trim(4)


# ---- the seed loader ------------------------------------------------------------------

@pytest.fixture(scope="module")
def shop_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shop")
    synthetic.generate(synthetic.Shape(3_000, 200, 40), seed=7).save(directory)
    return directory


def test_loader_shuffles_anew_every_epoch_with_persistent_workers(shop_dir):
    seeds, times, loader = loader_for(shop_dir, num_workers=2)
    with loader:
        first, second = epoch_order(loader, seeds, times), epoch_order(loader, seeds, times)
        workers = list(loader.worker_processes)
        loader.set_epoch(0)
        again = epoch_order(loader, seeds, times)
        assert list(loader.worker_processes) == workers  # the same processes served every epoch
    assert sorted(first) == sorted(second) == list(range(len(seeds)))
    assert not np.array_equal(first, second)
    np.testing.assert_array_equal(first, again)
    # Sampling in the main process visits the same order and samples the same nodes (time-only request).
    _, _, local = loader_for(shop_dir, num_workers=0)
    np.testing.assert_array_equal(epoch_order(local, seeds, times), first)


def test_loader_shards_are_disjoint_and_equal():
    seeds = np.arange(103)
    # Static and without edges: planning reads nothing else.
    graph = Graph(node_types=["x"], edge_types=[], colptr={}, row={}, node_time={}, num_nodes={"x": 103})
    shards = [SeedLoader(graph, "x", seeds, None, num_neighbors={}, batch_size=10, shuffle=True, shard=(rank, 3))
              for rank in range(3)]
    orders = [loader.order(5) for loader in shards]
    assert [len(o) for o in orders] == [34, 34, 34] and [len(s) for s in shards] == [4, 4, 4]
    assert len(set(np.concatenate(orders))) == 102


def test_loader_takes_its_old_order_and_names_with_a_warning(shop_dir):
    seeds, times, new = loader_for(shop_dir, shuffle_seed=3, prefetch_factor=1, multiprocessing_context="spawn")
    counts = {key: [4, 2] for key in Graph.load(shop_dir).keys}
    with pytest.warns(FutureWarning) as caught:
        old = SeedLoader(shop_dir, seeds, times, entity_table="customers", num_neighbors=counts, batch_size=16,
                         shuffle=True, seed=3, prefetch=1, start_method="spawn")
    assert len(caught) == 4 and "SeedLoader(graph, entity_table, seed_node, seed_time)" in str(caught[0].message)
    assert (old.shuffle_seed, old.prefetch_factor) == (3, 1)
    np.testing.assert_array_equal(old.order(2), new.order(2))
    with pytest.raises(TypeError, match="give only 'shuffle_seed'"):
        loader_for(shop_dir, seed=1, shuffle_seed=1)
    # Unshuffled unless asked, as torch's DataLoader; sample_batches gives what an iteration yields.
    plain = SeedLoader(shop_dir, "customers", seeds, times, num_neighbors=counts, batch_size=16,
                       payload={"index": np.arange(len(seeds))})
    assert not plain.shuffle and plain.order(4).tolist() == list(range(len(seeds)))
    batch, = plain.sample_batches(0, [1])
    expected = list(plain)[1]
    assert all(np.array_equal(batch.nodes[k], expected.nodes[k]) for k in expected.nodes)
    np.testing.assert_array_equal(batch.payload["index"], expected.payload["index"])


def test_no_sampled_node_is_later_than_its_seed(shop_dir):
    seeds, times, loader = loader_for(shop_dir, counts=(8, 4, 4), batch_size=64)
    graph = Graph.load(shop_dir)
    for batch in loader:
        for name, age in batch.relative_time(graph.node_time).items():
            if name != "customers":  # the seeds' own customers are reached again, with their sign-up time
                assert (age >= 0).all()
            else:
                assert (age[batch.hops[name] > 0] >= 0).all()


# ---- the synthetic database -------------------------------------------------------------

def test_synthetic_graph_is_deterministic_and_checked(tmp_path):
    shape = synthetic.Shape(2_000, 100, 20, categories=5, cyclic_categories=2)
    graph = synthetic.generate(shape, seed=3)
    again = synthetic.generate(shape, seed=3)
    for stem, values in graph.arrays().items():
        np.testing.assert_array_equal(values, again.arrays()[stem])
    assert graph.num_nodes["transactions"] > 2_000  # the repeat purchases come on top
    assert not np.array_equal(graph.node_time["transactions"][:50],
                              synthetic.generate(shape, seed=4).node_time["transactions"][:50])
    plain = synthetic.generate(synthetic.Shape(2_000, 100, 20), seed=3)
    assert plain.num_nodes["transactions"] == 2_000 and plain.columns == {}

    graph.save(tmp_path)
    assert not synthetic.is_current(tmp_path, "1m", 3)  # generated from a Shape, not a named size
    loaded = Graph.load(tmp_path, mmap=True)
    assert loaded.num_nodes == graph.num_nodes and loaded.metadata["shape"]["cyclic_categories"] == 2
    assert loaded.arrays().keys() == graph.arrays().keys()


def test_synthetic_customer_ids_key_the_same_graph():
    shape = synthetic.Shape(2_000, 100, 20, categories=5, cyclic_categories=2)
    keyed = dataclasses.replace(shape, customer_ids=True)
    graph, plain = synthetic.generate(keyed, seed=3), synthetic.generate(shape, seed=3)
    for stem, values in plain.arrays().items():
        np.testing.assert_array_equal(values, graph.arrays()[stem])
    assert graph.metadata["max_in_degree"] == plain.metadata["max_in_degree"]
    ids = np.asarray(graph.primary_keys["customers"].values[0])
    assert len(set(ids.tolist())) == 100 and all(i.startswith("C") for i in ids.tolist())
    assert not np.array_equal(np.argsort(ids), np.arange(100))  # sorted ids are not the row order
    # A transaction's customer id is the id of the customer its edge leads to.
    tables = synthetic.database(keyed, seed=3).tables
    made = graph.row["customers__made__transactions"]
    np.testing.assert_array_equal(tables["transactions"].frame["customer"], ids[made])
    np.testing.assert_array_equal(graph.index_of("customers", ids[[7, 0, 99]]), [7, 0, 99])


def test_repeat_purchases_follow_their_category_period():
    shape = synthetic.Shape(4_000, 300, 60, categories=4, cyclic_categories=2)
    graph = synthetic.generate(shape, seed=1)
    category = synthetic.categories(graph)
    customer = graph.row["customers__made__transactions"]
    product = graph.row["products__in__transactions"]
    when = graph.node_time["transactions"]
    # Gaps between a customer's consecutive purchases of one product cluster at the period.
    order = np.lexsort((when, product, customer))
    same = (customer[order][1:] == customer[order][:-1]) & (product[order][1:] == product[order][:-1])
    gaps = np.diff(when[order])[same] / synthetic.DAY
    cat = category[product[order][1:][same]]
    for c in range(2):
        period = synthetic.period_days(np.array(c))
        near = np.abs(gaps[cat == c] - period) <= synthetic.PERIOD_JITTER_DAYS * 2
        assert near.mean() > 0.5
