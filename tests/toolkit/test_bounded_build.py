"""Builds from tables read lazily (DuckDB, Parquet, Arrow streams) in chunks
and within a memory limit: the same graph as from pandas, whatever the chunk
size; sorts that spill; refusals of limits too small; progress; warming."""

import threading
import time

import numpy as np
import pytest

from helpers import UNDER_ASAN
from vornlib_tools import Database, Graph, Table
from vornlib_tools._graph import group_by_destination, time_order
from vornlib_tools._memory import Workspace, anonymous_bytes, parse_limit
from vornlib_tools._progress import Event
from vornlib_tools._sorting import sort_int64

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


class Tiny(Workspace):
    """A workspace whose sorts hold `entries` values, so that small inputs spill."""

    def __init__(self, directory, entries):
        super().__init__(2**40, directory)
        self.entries = entries
        self.limit = self.usable = 2**18  # working arrays past 128 kB go to files

    @property
    def sort_entries(self):
        return self.entries


# ---- sorting in bounded memory ------------------------------------------------------------

@pytest.mark.parametrize("total, entries, chunk", [(0, 100, 7), (1, 100, 7), (1000, 300, 33), (99_991, 8000, 777),
                                                   (50_000, 50_000, 50_000)])
def test_sorts_spill_runs_and_merge_them_into_order(tmp_path, total, entries, chunk):
    values = np.random.default_rng(total).permutation(3 * total + 1)[:total].astype(np.int64)
    pieces = []
    sort_int64((values[i:i + chunk] for i in range(0, total, chunk)), total, lambda p: pieces.append(p.copy()),
               Tiny(tmp_path, entries), "t")
    np.testing.assert_array_equal(np.concatenate(pieces) if pieces else [], np.sort(values))
    assert max(map(len, pieces), default=0) <= entries  # a piece at a time, never the whole
    buffer = values.copy()
    if 0 < total <= entries:  # sorted in the caller's buffer, handed over as one view of it
        sort_int64(iter([values]), total, lambda p: pieces.append(p), Tiny(tmp_path, entries), "t", buffer=buffer)
        assert pieces[-1].base is buffer and np.array_equal(buffer, np.sort(values))


def test_a_sort_of_more_runs_than_it_can_merge_is_refused(tmp_path):
    values = np.arange(100_000, dtype=np.int64)[::-1].copy()
    with pytest.raises(MemoryError, match="merging 100 sorted runs .* raise memory_limit"):
        sort_int64(iter([values]), len(values), print, Tiny(tmp_path, 1000), "t")
    with pytest.raises(ValueError, match="99 values to sort where 100 were announced"):
        sort_int64(iter([values[:99]]), 100, print, Tiny(tmp_path, 10), "t")


def test_time_order_and_grouping_spilled_equal_them_in_memory(tmp_path):
    rng = np.random.default_rng(3)
    times = rng.integers(0, 500, 60_000)
    times[::7] = np.iinfo(np.int64).max  # "never": after every proper time, without widening their span
    work = Tiny(tmp_path, 8000)
    order, rank = time_order(times, work)
    assert isinstance(order, np.memmap)  # past the workspace's share: in a file
    expected_order, expected_rank = time_order(times)
    np.testing.assert_array_equal(order, expected_order)
    np.testing.assert_array_equal(rank, expected_rank)
    dst = rng.integers(-1, 300, 60_000).astype(np.int32)
    for ranked in (None, rank):
        colptr, positions = group_by_destination(dst, 301, ranked, work=work)
        pieces = []
        streamed, none = group_by_destination(dst, 301, ranked, work=work, sink=lambda p: pieces.append(p.copy()))
        expected_colptr, expected = group_by_destination(dst, 301, None if ranked is None else expected_rank,
                                                         expected_order if ranked is not None else None)
        np.testing.assert_array_equal(colptr, expected_colptr)
        np.testing.assert_array_equal(positions, expected)
        assert none is None and len(pieces) > 1
        np.testing.assert_array_equal(np.concatenate(pieces), expected)


def test_memory_limits_read_as_sizes_and_refuse_too_little():
    assert parse_limit("4GB") == 4 * 10**9 and parse_limit("512 MiB") == 512 * 2**20
    assert parse_limit(10**9) == 10**9 and parse_limit("1.5g") == 1_500_000_000
    for wrong, message in [("lots", "is not a size"), (True, "number of bytes"), ("1MB", "below the least")]:
        with pytest.raises(ValueError, match=message):
            parse_limit(wrong)


# ---- the same graph from every source --------------------------------------------------

def frames(rows=5_000, seed=0):
    """Orders referring to customers, with nulls and a dangling key; every feature kind."""
    rng = np.random.default_rng(seed)
    customers = pd.DataFrame({"id": np.arange(100, 400, dtype=np.int64) * 3,
                              "tier": rng.choice(["gold", "basic", None], 300),
                              "since": pd.to_datetime("2020-01-01") + pd.to_timedelta(rng.integers(0, 900, 300), "D")})
    customer = rng.choice(customers["id"], rows).astype(float)
    customer[rng.random(rows) < 0.05] = np.nan
    customer[7] = 5  # no such customer
    orders = pd.DataFrame({
        "customer": customer,
        "placed": pd.to_datetime("2021-01-01") + pd.to_timedelta(rng.integers(0, 10**6, rows), "min"),
        "amount": np.round(rng.normal(100, 30, rows), 2),
        "status": rng.choice(["open", "paid", "sent", None], rows),
        "note": [f"note {i}" for i in range(rows)],  # text with too many values: left out
        "count": rng.integers(0, 9, rows),
    })
    return orders, customers


def build(orders, customers, directory=None, **options):
    return Database({
        "orders": Table(orders, time="placed", foreign_keys={"customer": "customers"}),
        "customers": Table(customers, primary_key="id"),
    }).to_graph(directory, feature_cutoff=pd.Timestamp("2021-06-01"), **options)


def assert_same_graph(graph, expected):
    assert graph.schema == expected.schema
    for stem, array in expected.arrays().items():
        if stem.endswith("features.values"):
            np.testing.assert_allclose(graph.arrays()[stem], array, rtol=1e-6, atol=1e-6, err_msg=stem)
        else:
            np.testing.assert_array_equal(graph.arrays()[stem], array, err_msg=stem)
    for name, table in expected.features.items():
        for column, mine in zip(table.columns, graph.features[name].columns):
            assert (mine.name, mine.kind, mine.vocabulary) == (column.name, column.kind, column.vocabulary)
            assert (mine.mean, mine.std) == pytest.approx((column.mean, column.std))


@pytest.fixture(scope="module")
def expected():
    return build(*frames())


def arrow_tables():
    orders, customers = frames()
    return pa.Table.from_pandas(orders, preserve_index=False), pa.Table.from_pandas(customers, preserve_index=False)


def parquet_files(tmp_path):
    orders, customers = arrow_tables()
    pq.write_table(customers, tmp_path / "customers.parquet")
    (tmp_path / "orders").mkdir()
    for part, begin in enumerate(range(0, orders.num_rows, 1200)):  # a dataset of files, read in their order
        pq.write_table(orders.slice(begin, 1200), tmp_path / "orders" / f"part-{part:02d}.parquet", row_group_size=500)
    return tmp_path / "orders", tmp_path / "customers.parquet"


def duckdb_relations(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    orders, customers = arrow_tables()
    connection = duckdb.connect(str(tmp_path / "shop.duckdb"))
    connection.execute("CREATE TABLE orders AS SELECT * FROM orders")
    connection.execute("CREATE TABLE customers AS SELECT * FROM customers")
    return connection.table("orders"), connection.table("customers")


def streams(tmp_path):
    orders, customers = arrow_tables()
    return orders.to_reader(max_chunksize=700), customers.to_reader()


@pytest.mark.parametrize("source", [parquet_files, duckdb_relations, streams])
@pytest.mark.parametrize("limit", [None, "128MB"])
def test_lazy_sources_build_the_graph_of_the_same_frames_in_pandas(tmp_path, expected, source, limit, monkeypatch):
    if limit is not None:  # chunks of a few hundred rows: every pass crosses many chunk boundaries
        monkeypatch.setattr(Workspace, "chunk_rows", lambda self, width: 337)
    graph = build(*source(tmp_path), tmp_path / "graph", memory_limit=limit)
    assert_same_graph(graph, expected)
    assert graph.schema["orders"]["left_out"] == {"note": "text with more than 64 distinct values"}
    assert graph.schema["orders"]["foreign_keys"]["'customer'"]["dangling"] == 1
    assert not [p for p in (tmp_path / "graph").iterdir() if not p.name.endswith((".npy", ".json"))]


def test_pandas_in_chunks_builds_the_graph_it_builds_whole(tmp_path, expected, monkeypatch):
    monkeypatch.setattr(Workspace, "chunk_rows", lambda self, width: 101)
    assert_same_graph(build(*frames(), tmp_path / "graph", memory_limit="128MB"), expected)
    assert_same_graph(build(*frames()), expected)


def test_lazy_tables_read_nothing_until_the_build(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    connection = duckdb.connect()
    connection.register("frame", pa.Table.from_pandas(frames()[0], preserve_index=False))
    connection.register("people", pa.Table.from_pandas(frames()[1], preserve_index=False))
    connection.execute("CREATE TABLE orders AS SELECT * FROM frame")
    orders, customers = connection.table("orders"), connection.sql("SELECT * FROM people")
    pulled = []

    def batches():
        for batch in pa.Table.from_pandas(frames()[0], preserve_index=False).to_batches(1000):
            pulled.append(batch.num_rows)
            yield batch

    stream = pa.RecordBatchReader.from_batches(pa.Table.from_pandas(frames()[0], preserve_index=False).schema,
                                               batches())
    table = Table(stream, time="placed", foreign_keys={"customer": "customers"})
    by_relation = Table(orders, time="placed", foreign_keys={"customer": "customers"})
    connection.execute("INSERT INTO orders SELECT * FROM frame LIMIT 10")  # after the Table was made
    assert pulled == [] and table.column_names[:2] == ["customer", "placed"]
    graph = Database({"orders": by_relation, "customers": Table(customers, primary_key="id")}).to_graph()
    assert graph.num_nodes["orders"] == 5_010  # the rows as they are when the graph is built
    graph = Database({"orders": table, "customers": Table(customers, primary_key="id")}).to_graph(tmp_path / "g")
    assert sum(pulled) == 5_000 and graph.num_nodes["orders"] == 5_000
    again = Database({"orders": table, "customers": Table(customers, primary_key="id")}).to_graph()
    assert sum(pulled) == 5_000 and again.num_edges == graph.num_edges  # the stream's copy serves a second build


def test_rows_named_in_refusals_count_from_the_tables_start(monkeypatch):
    monkeypatch.setattr(Workspace, "chunk_rows", lambda self, width: 100)
    orders, customers = frames()
    orders.loc[4321, "placed"] = pd.NaT
    with pytest.raises(ValueError, match="column 'placed' has a missing time .* at row 4321"):
        build(orders, customers)
    orders, customers = frames()
    customers.loc[250, "id"] = np.nan
    with pytest.raises(ValueError, match="key column 'id' has a missing value at row 250"):
        build(orders, customers)


# ---- memory ---------------------------------------------------------------------------

@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine and shadow memory count as the build's own")
def test_a_build_under_a_small_limit_stays_within_it_or_refuses(tmp_path):
    rows = 3_000_000  # unbounded, its per-row arrays alone would hold several hundred MB
    rng = np.random.default_rng(1)
    events = pa.table({"user": rng.integers(0, 200_000, rows), "at": rng.integers(0, 10**9, rows),
                       "value": rng.random(rows)})
    users = pa.table({"id": np.arange(200_000, dtype=np.int64)})
    pq.write_table(events, tmp_path / "events.parquet", row_group_size=100_000)
    pq.write_table(users, tmp_path / "users.parquet")
    del events, users
    database = Database({"events": Table(tmp_path / "events.parquet", time="at", time_units="s",
                                         foreign_keys={"user": "users"}),
                         "users": Table(tmp_path / "users.parquet", primary_key="id")})
    limit = parse_limit("128MB")
    base, peak, stop = anonymous_bytes(), [0], threading.Event()

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], anonymous_bytes() - base)
            time.sleep(0.001)

    watcher = threading.Thread(target=sample)
    watcher.start()
    try:
        graph = database.to_graph(tmp_path / "graph", memory_limit=limit)
    finally:
        stop.set()
        watcher.join()
    assert graph.num_edges == 2 * rows and graph.checked
    assert peak[0] <= limit, f"the build held {peak[0] / 1e6:.0f} MB over a limit of {limit / 1e6:.0f} MB"
    with pytest.raises(MemoryError, match=r"the primary key of table 'users' \(2,000,000 rows\) needs 48 MB in "
                                          r"memory at once.*raise memory_limit to at least 184 MB"):
        ids = pa.table({"id": np.arange(2_000_000, dtype=np.int64) * 7})
        pq.write_table(ids, tmp_path / "wide.parquet")
        Database({"users": Table(tmp_path / "wide.parquet", primary_key="id")}).to_graph(tmp_path / "small",
                                                                                      memory_limit="128MB")
    assert not (tmp_path / "small").exists()
    keys = {"id": np.arange(600_000)}  # 14.4 MB each: one fits, both together do not
    with pytest.raises(MemoryError, match=r"table 'b' \(600,000 rows\) needs 14.4 MB .* leaves for it \(11.2 MB\)"):
        Database({"a": Table(keys, primary_key="id"), "b": Table(keys, primary_key="id")}).to_graph(
            tmp_path / "small", memory_limit="128MB")


# ---- progress and warming ------------------------------------------------------------------

def test_progress_reports_every_pass_and_stays_quiet_when_asked(capsys):
    events = []
    build(*frames(), progress=events.append)
    finished = {(e.phase, e.table): e for e in events if e.finished}
    assert {("keys", "customers"), ("times", "orders"), ("statistics", "orders"), ("values", "orders"),
            ("time order", "orders"), ("edges", "orders__rev_customer__customers")} <= set(finished)
    assert finished["values", "orders"].rows == finished["values", "orders"].total == 5_000
    assert all(isinstance(e, Event) and e.seconds >= 0 for e in events)
    build(*frames(), progress=False)
    assert capsys.readouterr().err == ""
    build(*frames(), progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert any(line.startswith("values") and "5,000 / 5,000 rows" in line for line in lines)
    assert Event("keys", "t", 25, 100, 0, 3.0, False).remaining() == pytest.approx(9.0)


def test_a_loaded_graph_can_warm_its_pages_in_the_background(tmp_path):
    build(*frames(), tmp_path / "graph")
    graph = Graph.load(tmp_path / "graph", warm=True)
    assert graph.warming.wait(60)
    assert graph.warming.bytes == sum(p.stat().st_size for p in (tmp_path / "graph").glob("*.npy"))
    assert graph.warming.files[0].name.endswith(".colptr.npy")
    batch = graph.sample("orders", [0, 1], "own", num_neighbors={"orders__rev_customer__customers": [2]}, index=True)
    assert batch.features(graph)["orders"][0].shape[0] >= 2
    assert Graph.load(tmp_path / "graph").warming is None
