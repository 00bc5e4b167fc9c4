"""What Python sees of the module: names, signatures, argument matching, seeding."""

import pydoc
import subprocess
import sys

import numpy as np
import pytest

import vornlib
from helpers import TIMED_RESULT, plain, random_graph, random_request, timed_graph, timed_request
from reference_model import ReferenceSampler

NeighborSampler = vornlib.NeighborSampler

INIT_DOC = (
    "__init__(self: vornlib.NeighborSampler, node_types: list[str], "
    "edge_types: list[tuple[str, str, str]], colptr: dict, row: dict, node_time: object, "
    "seed: int = 123) -> None\n"
)
SAMPLE_DOC = (
    "sample(self: vornlib.NeighborSampler, num_neighbors: dict, sampling_time_offsets: dict, "
    "entity_table: str, seed_node: numpy.ndarray, seed_time: numpy.ndarray) "
    "-> tuple[dict, dict, dict, dict, dict, dict]\n"
)


def test_module_exports_only_the_sampler_class():
    public = [name for name in dir(vornlib) if not name.startswith("_")]
    assert public == ["NeighborSampler"]
    assert vornlib.__doc__ is None
    assert NeighborSampler.__module__ == "vornlib"
    assert NeighborSampler.__qualname__ == "NeighborSampler"
    assert NeighborSampler.__doc__ is None
    own = {name for name in vars(NeighborSampler) if not name.startswith("__")}
    assert own == {"sample", "_pybind11_conduit_v1_"}


def test_rendered_signatures_are_pinned():
    assert NeighborSampler.__init__.__doc__ == INIT_DOC
    assert NeighborSampler.sample.__doc__ == SAMPLE_DOC


def test_sample_shows_itself_as_every_other_method_does():
    # sample() has a call path of its own; introspection must not tell.
    sample, init = NeighborSampler.sample, NeighborSampler.__init__
    assert type(sample) is type(init) and type(sample.__func__) is type(init.__func__)
    assert sample.__module__ == init.__module__ == "vornlib"
    assert sample.__qualname__ == init.__qualname__.replace("__init__", "sample")
    assert sample.__text_signature__ is init.__text_signature__ is None
    assert type(sample.__func__.__self__) is type(init.__func__.__self__)
    sampler = NeighborSampler(**timed_graph())
    assert repr(sampler.sample).split(" of ")[0] == repr(sampler.__init__).split(" of ")[0].replace("__init__", "sample")
    assert pydoc.render_doc(sample).splitlines()[0] == pydoc.render_doc(init).splitlines()[0]


def test_importing_does_not_import_numpy():
    code = "import sys, vornlib; sys.exit('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_keywords_in_any_order_match_positional_call():
    graph, request = timed_graph(), timed_request()
    positional = NeighborSampler(*graph.values(), 7).sample(*request.values())
    by_keyword = NeighborSampler(seed=7, **dict(reversed(graph.items())))
    assert plain(by_keyword.sample(**dict(reversed(request.items())))) == plain(positional)


class DerivedSampler(NeighborSampler):
    pass


@pytest.mark.parametrize("form", ["positional", "mixed", "unbound", "bytes table", "subclass"])
def test_every_form_of_call_samples_alike(form):
    # The usual call goes straight to the sampler; the others through the
    # general argument matching, which converts (bytes to str) as before.
    request = timed_request()
    values = list(request.values())
    calls = {
        "positional": lambda s: s.sample(*values),
        "mixed": lambda s: s.sample(*values[:2], **dict(list(request.items())[2:])),
        "unbound": lambda s: NeighborSampler.sample(s, **request),
        "bytes table": lambda s: s.sample(**dict(request, entity_table=request["entity_table"].encode())),
        "subclass": lambda s: s.sample(**request),
    }
    sampler_type = DerivedSampler if form == "subclass" else NeighborSampler
    assert plain(calls[form](sampler_type(**timed_graph()))) == TIMED_RESULT


def test_sample_refuses_an_argument_given_twice_or_another_self(timed_sampler):
    request = timed_request()
    with pytest.raises(TypeError, match=r"^sample\(\): incompatible function arguments"):
        timed_sampler.sample(*request.values(), seed_time=request["seed_time"])
    with pytest.raises(TypeError, match=r"^sample\(\): incompatible function arguments"):
        NeighborSampler.sample(object(), **request)
    with pytest.raises(TypeError, match=r"^sample\(\): incompatible function arguments"):
        timed_sampler.sample(*request.values(), request["seed_time"])


@pytest.mark.parametrize("missing", list(timed_request()))
def test_sample_without_one_argument_is_refused(timed_sampler, missing):
    request = timed_request()
    del request[missing]
    with pytest.raises(TypeError, match=r"^sample\(\): incompatible function arguments"):
        timed_sampler.sample(**request)


def test_unknown_keyword_is_refused(timed_sampler):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        timed_sampler.sample(**timed_request(), seed=1)


@pytest.mark.parametrize("name", ["node_types", "edge_types", "colptr", "row", "seed"])
def test_constructor_refuses_none(name):
    graph = {**timed_graph(), "seed": 1, name: None}
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        NeighborSampler(**graph)


@pytest.mark.parametrize("name", list(timed_request()))
def test_sample_refuses_none(timed_sampler, name):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        timed_sampler.sample(**dict(timed_request(), **{name: None}))


def test_seed_node_given_as_list_is_refused(timed_sampler):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        timed_sampler.sample(**dict(timed_request(), seed_node=[0]))


@pytest.mark.parametrize("seed", [2**31, -(2**31) - 1, 1.0, np.float64(1.0), "1"])
def test_seed_outside_int32_or_not_integral_is_refused(seed):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        NeighborSampler(**random_graph(), seed=seed)


def test_default_seed_is_123():
    default = NeighborSampler(**random_graph(10)).sample(**random_request(3, [0] * 4))
    explicit = NeighborSampler(**random_graph(10), seed=123).sample(**random_request(3, [0] * 4))
    other = NeighborSampler(**random_graph(10), seed=124).sample(**random_request(3, [0] * 4))
    assert plain(default) == plain(explicit) != plain(other)


@pytest.mark.parametrize(
    "seed, stream_seed",
    [(123, 123), (0, 0), (-1, 4294967295), (-(2**31), 2**31), (2**31 - 1, 2**31 - 1),
     (True, 1), (np.int32(7), 7)],
)
def test_seed_selects_the_mt19937_stream(seed, stream_seed):
    # Four seed copies of node 0: each draws 3 of its 10 neighbours (1..10),
    # so the new nodes list every choice in draw order; the stream continues
    # into the second call.
    sampler = NeighborSampler(**random_graph(10), seed=seed)
    model = ReferenceSampler(**random_graph(10), seed=stream_seed)
    for _ in range(2):
        nodes = sampler.sample(**random_request(3, [0] * 4))[2]["U"].tolist()
        assert nodes == model.sample(**random_request(3, [0] * 4))[2]["U"]


def test_instances_take_no_new_attributes(timed_sampler):
    with pytest.raises(AttributeError):
        timed_sampler.extra = 1
    assert not hasattr(timed_sampler, "__dict__")


def test_subclass_must_call_the_base_constructor():
    class Complete(NeighborSampler):
        def __init__(self):
            super().__init__(**timed_graph())

    class Incomplete(NeighborSampler):
        def __init__(self):
            pass

    assert plain(Complete().sample(**timed_request())) == TIMED_RESULT
    with pytest.raises(TypeError, match="must be called when overriding __init__"):
        Incomplete()


def test_sample_returns_a_tuple_of_six_dicts_even_with_nothing_to_sample():
    sampler = NeighborSampler(["U"], [], {}, {}, {})
    result = sampler.sample({}, {}, "U", np.array([], dtype=np.int64), np.array([], dtype=np.int64))
    assert type(result) is tuple and [type(table) for table in result] == [dict] * 6
    assert plain(result) == ({}, {}, {"U": []}, {"U": []}, {"U": [0]}, {})


@pytest.mark.parametrize(
    "item", [("a", "r", "b"), ["a", "r", "b"], "arb", (b"a", "r", bytearray(b"b"))], ids=repr
)
def test_edge_type_item_forms_accepted(item):
    sampler = NeighborSampler(["a", "b"], [item], {"a__r__b": [0, 1]}, {"a__r__b": [0]}, {})
    result = sampler.sample({"a__r__b": [1]}, {}, "b", np.array([0]), np.array([], dtype=np.int64))
    assert plain(result)[0] == {"a__r__b": [0]}


@pytest.mark.parametrize("item", [("a", "r"), ("a", "r", "b", "c"), "ab", ("a", "r", 1)], ids=repr)
def test_edge_type_item_of_wrong_form_refused(item):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        NeighborSampler(["a", "b"], [item], {}, {}, {})
