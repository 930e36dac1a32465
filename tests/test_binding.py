"""Argument binding and conversion, shared by every entry point, and the Node2VecParams record."""

import numpy as np
import pytest

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


def _entries(native):
    """name -> (callable, positional parameters, valid keyword arguments)."""
    graph = native.csr_from_edges(np.array([[0, 1], [1, 2]], np.uint32), True)
    emb = np.full((3, 4), 0.1, np.float32)
    return {
        "csr_from_edges": (native.csr_from_edges, ["edges", "directed"],
                           dict(edges=np.array([[0, 1]], np.uint32), directed=True)),
        "train_node2vec_epoch": (native.train_node2vec_epoch, [],
                                 dict(graph=graph, params=native.Node2VecParams(**GOOD),
                                      embeddings=emb, hidden_layer=emb.copy(),
                                      next_random=Counted(7))),
        "Node2VecParams": (native.Node2VecParams, [],
                           {k: Counted(v) if v is not None else None for k, v in GOOD.items()}),
        "CSRGraph.has_edge": (graph.has_edge, ["src", "dst"], dict(src=Counted(0), dst=Counted(1))),
    }


MISSING_9 = ("'p', 'q', 'start_alpha', 'end_alpha', 'window', 'batch_size', 'max_walk_length', "
             "'num_negative', and 'workers'")


# (entry, positional count, keywords given, the message). Keywords listed with a value are given
# it, the others get an object() that no conversion accepts; a message of None: bound.
@pytest.mark.parametrize("name, n_args, keys, expected", [
    ("csr_from_edges", 3, [], "csr_from_edges() takes 2 positional arguments but 3 were given"),
    ("csr_from_edges", 3, ["bogus"],
     "csr_from_edges() takes 2 positional arguments but 3 were given"),
    ("csr_from_edges", 1, ["edges"], "csr_from_edges() got multiple values for argument 'edges'"),
    ("csr_from_edges", 1, ["bogus", "edges"],
     "csr_from_edges() got an unexpected keyword argument 'bogus'"),
    ("csr_from_edges", 0, ["directed"],
     "csr_from_edges() missing 1 required positional argument: 'edges'"),
    ("csr_from_edges", 0, [],
     "csr_from_edges() missing 2 required positional arguments: 'edges' and 'directed'"),
    ("csr_from_edges", 0, ["graph", "größe"],
     "csr_from_edges() got an unexpected keyword argument 'graph'"),
    ("csr_from_edges", 1, ["directed"], None),
    ("train_node2vec_epoch", 1, ["graph"],
     "train_node2vec_epoch() takes 0 positional arguments but 1 was given"),
    ("train_node2vec_epoch", 0, ["graph", "params", "embeddings"],
     "train_node2vec_epoch() missing 2 required keyword arguments: 'hidden_layer' and "
     "'next_random'"),
    ("train_node2vec_epoch", 0, ["edges", "graph"],
     "train_node2vec_epoch() got an unexpected keyword argument 'edges'"),
    ("Node2VecParams", 0, [],
     f"Node2VecParams.__new__() missing 9 required keyword arguments: {MISSING_9}"),
    ("Node2VecParams", 0, PARAM_NAMES[:-1],
     "Node2VecParams.__new__() missing 1 required keyword argument: 'workers'"),
    ("Node2VecParams", 0, PARAM_NAMES[::-1], None),
    ("CSRGraph.has_edge", 1, ["src"], "CSRGraph.has_edge() got multiple values for argument 'src'"),
    ("CSRGraph.has_edge", 0, ["dst", "src"], None),
    ("CSRGraph.has_edge", 2, [], None),
])
@pytest.mark.parametrize("valid", [False, True])
def test_binding(native, name, n_args, keys, expected, valid):
    call, positional, good = _entries(native)[name]
    args = [good[positional[i]] if valid and i < len(positional) else object()
            for i in range(n_args)]
    kwargs = {k: good[k] if valid and k in good else object() for k in keys}
    before = Counted.conversions
    try:
        result, error = call(*args, **kwargs), None
    except TypeError as e:
        result, error = None, str(e)
    if expected is not None:
        assert error == expected
        assert Counted.conversions == before  # binding fails before anything is converted
    elif valid:
        assert error is None and (result is None or result is not False)
    else:  # every parameter bound to object(): the first one in order is refused
        assert error.startswith(f"argument '{(positional + list(good))[0]}': ")


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("field, value, expected", [
    ("window", True, 1), ("window", -7, -7), ("window", np.int16(3), 3),
    ("window", IndexLike(9), 9),
    ("batch_size", 2**64 - 1, 2**64 - 1), ("batch_size", 0, 0), ("p", Counted(2.5), 2.5),
    ("p", IndexLike(3), 3.0), ("q", np.float32(0.5), 0.5), ("workers", IndexLike(4), 4),
])
def test_conversions_accept(native, field, value, expected):
    # Values are stored as given: those that training refuses are refused by training.
    got = getattr(native.Node2VecParams(**{**GOOD, field: value}), field)
    assert got == expected and type(got) is type(expected)


NOT_INTEGER = "'float' object cannot be interpreted as an integer"


@pytest.mark.parametrize("changes, exc, text", [
    (dict(window=2147483648), OverflowError, "out of range integral type conversion attempted"),
    (dict(window=-2147483649), OverflowError, "out of range integral type conversion attempted"),
    (dict(window=1.5), TypeError, "argument 'window': " + NOT_INTEGER),
    (dict(batch_size=-1), OverflowError, None),
    (dict(batch_size=2**64), OverflowError, None),
    (dict(batch_size=1.0), TypeError, "argument 'batch_size': " + NOT_INTEGER),
    (dict(workers=-1), OverflowError, None),
    (dict(workers=2.0), TypeError, "argument 'workers': " + NOT_INTEGER),
    # Only the first bad argument is reported.
    (dict(p="x", window=2**40), TypeError, "argument 'p': must be real number, not str"),
])
def test_conversions_refuse(native, changes, exc, text):
    with pytest.raises(exc) as e:
        native.Node2VecParams(**{**GOOD, **changes})
    assert type(e.value) is exc and str(e.value) == (text or str(e.value))
    assert exc is not OverflowError or not str(e.value).startswith("argument")


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
    assert str(e.value) == "argument 'window': boom" if type(exc) is TypeError else e.value is exc
    assert e.value.__cause__ is cause


def test_params_is_an_immutable_record(native):
    p = native.Node2VecParams(**GOOD)
    assert [getattr(p, k) for k in PARAM_NAMES] == list(GOOD.values()) and type(p.p) is float
    for name in ("p", "colour"):
        with pytest.raises(AttributeError):
            setattr(p, name, 2.0)
    assert p.p == 0.5 and p != native.Node2VecParams(**GOOD) and p == p  # identity semantics
