"""Argument binding and conversion, shared by every entry point, and the Node2VecParams record.

Binding is checked against a model of the rules over random mixes of positional and keyword
arguments; the examples pin the model itself to the exact messages."""

import math
from collections import namedtuple

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import panic_of

PARAM_NAMES = ["p", "q", "start_alpha", "end_alpha", "window", "batch_size", "max_walk_length",
               "num_negative", "workers"]
GOOD = dict(p=0.5, q=2.0, start_alpha=0.025, end_alpha=0.0001, window=3, batch_size=2,
            max_walk_length=6, num_negative=2, workers=None)


class Counted:
    """An argument that converts through __index__ / __float__ and counts the conversions."""

    conversions = 0

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Counted.conversions += 1
        return int(self.value)

    def __float__(self):
        Counted.conversions += 1
        return float(self.value)


# One entry point: its parameters, a source of valid arguments (fresh on every call), the callable,
# a check of the result once valid values bound, and the TypeError once every value is object().
Entry = namedtuple("Entry", "full_name positional keyword_only valid call check first_failure")


def _entries(native):
    # has_edge(1, 0) is False
    graph = native.csr_from_edges(np.array([[0, 1], [1, 2]], np.uint32), True)
    params = native.Node2VecParams(**GOOD)
    return {
        "csr_from_edges": Entry(
            "csr_from_edges()", ["edges", "directed"], [],
            lambda: dict(edges=np.array([[0, 1], [1, 2]], np.uint32), directed=True),
            native.csr_from_edges, lambda graph: graph.num_nodes() == 3,
            "argument 'edges': 'object' object cannot be converted to 'PyArray<T, D>'"),
        "train_node2vec_epoch": Entry(
            "train_node2vec_epoch()", [],
            ["graph", "params", "embeddings", "hidden_layer", "next_random"],
            lambda: dict(graph=graph, params=params, embeddings=np.full((3, 4), 0.1, np.float32),
                         hidden_layer=np.full((3, 4), 0.2, np.float32), next_random=Counted(7)),
            native.train_node2vec_epoch, lambda result: result is None,
            "argument 'graph': 'object' object cannot be converted to 'CSRGraph'"),
        "Node2VecParams": Entry(
            "Node2VecParams.__new__()", [], PARAM_NAMES,
            lambda: {k: Counted(v) if v is not None else None for k, v in GOOD.items()},
            native.Node2VecParams,
            lambda p: [getattr(p, k) for k in PARAM_NAMES] == list(GOOD.values()),
            "argument 'p': must be real number, not object"),
        "CSRGraph.has_edge": Entry(
            "CSRGraph.has_edge()", ["src", "dst"], [], lambda: dict(src=Counted(0), dst=Counted(1)),
            graph.has_edge, lambda result: result is True,
            "argument 'src': 'object' object cannot be interpreted as an integer"),
    }


def _quoted(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def binding_model(entry, n_args, keys):
    """The TypeError message with which binding fails, or None when every parameter is bound."""
    full, positional, keyword_only = entry.full_name, entry.positional, entry.keyword_only
    bound = set(positional[:n_args])
    if n_args > len(positional):
        verb = "was" if n_args == 1 else "were"
        return f"{full} takes {len(positional)} positional arguments but {n_args} {verb} given"
    for key in keys:
        if key in keyword_only:
            bound.add(key)
        elif key in positional:
            if key in bound:
                return f"{full} got multiple values for argument '{key}'"
            bound.add(key)
        else:
            return f"{full} got an unexpected keyword argument '{key}'"
    for kind, names in (("positional", positional), ("keyword", keyword_only)):
        missing = [n for n in names if n not in bound]
        if missing and (kind == "keyword" or n_args < len(positional)):
            noun = "argument" if len(missing) == 1 else "arguments"
            return f"{full} missing {len(missing)} required {kind} {noun}: {_quoted(missing)}"
    return None


# Names no entry has, names of other entries, near misses and non-ASCII.
STRANGERS = ["extra", "graph", "edges", "src", "Edges", "src ", "p_", "größe", "ключ", "_"]


@st.composite
def binding_calls(draw, entry):
    """A mix of positional and keyword arguments, mostly near a complete binding."""
    names = entry.positional + entry.keyword_only
    if draw(st.booleans()):
        # Start from a complete binding, then disturb it.
        n_args = draw(st.integers(0, len(entry.positional)))
        keys = list(draw(st.permutations(names[n_args:])))
        if keys and draw(st.booleans()):
            keys = [k for k in keys if k not in draw(st.sets(st.sampled_from(keys), max_size=3))]
        for extra in draw(st.lists(st.sampled_from(STRANGERS + entry.positional[:n_args]),
                                   unique=True, max_size=2)):
            if extra not in keys:
                keys.insert(draw(st.integers(0, len(keys))), extra)
        if n_args == len(entry.positional):
            n_args += draw(st.sampled_from([0, 0, 0, 1, 2]))
    else:
        n_args = draw(st.integers(0, len(entry.positional) + 2))
        keys = draw(st.lists(st.sampled_from(names + STRANGERS), unique=True,
                             max_size=len(names) + 2))
    return n_args, keys, draw(st.booleans())


def outcome(call):
    """("ok", result) or (exception type, message); keeps no traceback alive."""
    try:
        return "ok", call()
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        return type(exc), str(exc)


@pytest.mark.parametrize("entry_name", ["csr_from_edges", "train_node2vec_epoch", "Node2VecParams",
                                        "CSRGraph.has_edge"])
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_binding_matches_the_model(native, entry_name, data):
    entry = _entries(native)[entry_name]
    n_args, keys, all_valid = data.draw(binding_calls(entry))
    valid = entry.valid()
    junk = object()

    def value(name):
        return valid[name] if all_valid and name in valid else junk

    args = [value(entry.positional[i]) if i < len(entry.positional) else junk
            for i in range(n_args)]
    kwargs = {k: value(k) for k in keys}
    expected = binding_model(entry, n_args, keys)
    before = Counted.conversions
    kind, result = outcome(lambda: entry.call(*args, **kwargs))
    event("bound" if expected is None else expected.split("() ")[1].split(" ")[0])
    if expected is not None:
        assert (kind, result) == (TypeError, expected)
        assert Counted.conversions == before  # binding fails before anything is converted
    elif all_valid:
        assert kind == "ok", result
        assert entry.check(result)
    else:
        assert (kind, result) == (TypeError, entry.first_failure)


@pytest.mark.parametrize("entry_name, n_args, keys, expected", [
    ("csr_from_edges", 3, [], "csr_from_edges() takes 2 positional arguments but 3 were given"),
    ("csr_from_edges", 1, ["edges"], "csr_from_edges() got multiple values for argument 'edges'"),
    ("csr_from_edges", 1, [],
     "csr_from_edges() missing 1 required positional argument: 'directed'"),
    ("csr_from_edges", 0, [],
     "csr_from_edges() missing 2 required positional arguments: 'edges' and 'directed'"),
    ("csr_from_edges", 0, ["bogus"], "csr_from_edges() got an unexpected keyword argument 'bogus'"),
    ("train_node2vec_epoch", 1, ["graph"],
     "train_node2vec_epoch() takes 0 positional arguments but 1 was given"),
    ("train_node2vec_epoch", 0, ["graph", "params", "embeddings"],
     "train_node2vec_epoch() missing 2 required keyword arguments: 'hidden_layer' and "
     "'next_random'"),
    ("Node2VecParams", 0, [],
     "Node2VecParams.__new__() missing 9 required keyword arguments: 'p', 'q', 'start_alpha', "
     "'end_alpha', 'window', 'batch_size', 'max_walk_length', 'num_negative', and 'workers'"),
    ("Node2VecParams", 0, PARAM_NAMES[:-1],
     "Node2VecParams.__new__() missing 1 required keyword argument: 'workers'"),
    ("CSRGraph.has_edge", 1, ["src"], "CSRGraph.has_edge() got multiple values for argument 'src'"),
])
def test_binding_messages(native, entry_name, n_args, keys, expected):
    entry = _entries(native)[entry_name]
    assert binding_model(entry, n_args, keys) == expected
    with pytest.raises(TypeError) as e:
        entry.call(*[object()] * n_args, **{k: object() for k in keys})
    assert str(e.value) == expected


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("field, value, expected", [
    ("window", True, 1), ("window", -7, -7), ("window", np.int16(3), 3),
    ("window", IndexLike(9), 9),
    ("batch_size", 18446744073709551615, 18446744073709551615), ("batch_size", np.uint64(7), 7),
    ("batch_size", 0, 0), ("max_walk_length", 0, 0), ("num_negative", 0, 0),
    ("p", Counted(2.5), 2.5), ("p", IndexLike(3), 3.0), ("p", True, 1.0), ("p", 0.0, 0.0),
    ("q", np.float32(0.5), 0.5), ("workers", 0, 0), ("workers", IndexLike(4), 4),
])
def test_conversions_accept(native, field, value, expected):
    # Values are stored as given: those that training refuses are refused by training.
    got = getattr(native.Node2VecParams(**{**GOOD, field: value}), field)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("changes, exc, text", [
    (dict(window=2147483648), OverflowError, "out of range integral type conversion attempted"),
    (dict(window=-2147483649), OverflowError, "out of range integral type conversion attempted"),
    (dict(window=1.5), TypeError,
     "argument 'window': 'float' object cannot be interpreted as an integer"),
    (dict(batch_size=-1), OverflowError, None),
    (dict(batch_size=18446744073709551616), OverflowError, None),
    (dict(batch_size=1.0), TypeError,
     "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
    (dict(workers=-1), OverflowError, None),
    (dict(workers=2.0), TypeError,
     "argument 'workers': 'float' object cannot be interpreted as an integer"),
    # Only the first bad argument is reported.
    (dict(p="x", window=2**40), TypeError, "argument 'p': must be real number, not str"),
])
def test_conversions_refuse(native, changes, exc, text):
    with pytest.raises(exc) as e:
        native.Node2VecParams(**{**GOOD, **changes})
    assert type(e.value) is exc
    if text is not None:
        assert str(e.value) == text
    if exc is OverflowError:
        assert not str(e.value).startswith("argument")


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [TypeError("boom"), MyTypeError("mine"), ValueError("value"),
                                 ZeroDivisionError("zero")], ids=lambda e: type(e).__name__)
def test_errors_raised_by_conversion(native, exc):
    # A plain TypeError gets the argument's name and keeps its cause; anything else, subclasses
    # of TypeError included, passes through as it is.
    cause = KeyError("inner")

    class Bad:
        def __index__(self):
            raise exc from cause

    with pytest.raises(type(exc)) as e:
        native.Node2VecParams(**{**GOOD, "window": Bad()})
    if type(exc) is TypeError:
        assert str(e.value) == "argument 'window': boom"
    else:
        assert e.value is exc
    assert e.value.__cause__ is cause


def test_a_panic_coming_back_from_python_is_resumed(native, capfd):
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), True)
    try:
        g.has_edge(0, 0)
    except BaseException as e:  # noqa: B036 - PanicException
        caught = e

    class Resume:
        def __index__(self):
            raise caught

    with pytest.raises(BaseException) as e:
        native.Node2VecParams(**{**GOOD, "window": Resume()})
    assert panic_of(e) == "index out of bounds: the len is 1 but the index is 1"
    err = capfd.readouterr().err
    assert "PanicException" in err and "resuming" in err


def test_params_is_an_immutable_record(native):
    p = native.Node2VecParams(**GOOD)
    assert [getattr(p, k) for k in PARAM_NAMES] == [0.5, 2.0, 0.025, 0.0001, 3, 2, 6, 2, None]
    assert type(p.p) is float and type(p.window) is int
    nan = native.Node2VecParams(**{**GOOD, "q": math.nan, "start_alpha": 0.1, "end_alpha": 0.2})
    assert math.isnan(nan.q) and (nan.start_alpha, nan.end_alpha) == (0.1, 0.2)
    with pytest.raises(AttributeError):
        p.p = 2.0
    with pytest.raises(AttributeError):
        p.colour = "red"
    assert p.p == 0.5 and not hasattr(p, "__dict__")
    assert all(getattr(native.Node2VecParams, k).__doc__ in ("", None) for k in PARAM_NAMES)
    assert p != native.Node2VecParams(**GOOD) and p == p  # identity semantics
