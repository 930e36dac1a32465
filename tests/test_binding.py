"""Argument binding and conversion, shared by every entry point."""

import numpy as np
import pytest

from conftest import Counted, Raises

GOOD = dict(p=0.5, q=2.0, start_alpha=0.025, end_alpha=0.0001, window=3, batch_size=2,
            max_walk_length=6, num_negative=2, workers=None)



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


# (entry, positional count, keywords given, the message). Keywords listed with a value are given
# it, the others get an object() that no conversion accepts; a message of None: bound.
@pytest.mark.parametrize("name, n_args, keys, expected", [
    ("csr_from_edges", 3, [], "csr_from_edges() takes 2 positional arguments but 3 were given"),
    ("csr_from_edges", 1, ["edges"], "csr_from_edges() got multiple values for argument 'edges'"),
    ("csr_from_edges", 1, ["bogus", "edges"],
     "csr_from_edges() got an unexpected keyword argument 'bogus'"),
    ("csr_from_edges", 0, [],
     "csr_from_edges() missing 2 required positional arguments: 'edges' and 'directed'"),
    ("csr_from_edges", 1, ["directed"], None),
    ("train_node2vec_epoch", 1, ["graph"],
     "train_node2vec_epoch() takes 0 positional arguments but 1 was given"),
    ("Node2VecParams", 0, [], "Node2VecParams.__new__() missing 9 required keyword arguments: "
     "'p', 'q', 'start_alpha', 'end_alpha', 'window', 'batch_size', 'max_walk_length', "
     "'num_negative', and 'workers'"),
    ("Node2VecParams", 0, list(GOOD)[:-1],
     "Node2VecParams.__new__() missing 1 required keyword argument: 'workers'"),
    ("Node2VecParams", 0, list(GOOD)[::-1], None),
    ("CSRGraph.has_edge", 1, ["src"], "CSRGraph.has_edge() got multiple values for argument 'src'"),
])
@pytest.mark.parametrize("valid", [False, True])
def test_binding(native, name, n_args, keys, expected, valid):
    call, positional, good = _entries(native)[name]
    args = [good[positional[i]] if valid and i < len(positional) else object()
            for i in range(n_args)]
    kwargs = {k: good[k] if valid and k in good else object() for k in keys}
    before = Counted.conversions
    error = None
    try:
        call(*args, **kwargs)
    except TypeError as e:
        error = str(e)
    if expected is not None:
        assert error == expected
        assert Counted.conversions == before  # binding fails before anything is converted
    elif valid:
        assert error is None
    else:  # every parameter bound to object(): the first one in order is refused
        assert error.startswith(f"argument '{(positional + list(good))[0]}': ")



NOT_INTEGER = "'float' object cannot be interpreted as an integer"
OUT_OF_RANGE = "out of range integral type conversion attempted"
MINE, ZERO = type("MyTypeError", (TypeError,), {})("mine"), ZeroDivisionError("zero")


# (argument, value, the value stored or the exception raised). Values are stored as given: those
# that training refuses are refused by training.
@pytest.mark.parametrize("name, value, expected", [
    ("window", True, 1), ("window", -7, -7), ("window", np.int16(3), 3),
    ("batch_size", 2**64 - 1, 2**64 - 1), ("p", Counted(2.5), 2.5), ("q", np.float32(0.5), 0.5),
    ("workers", Counted(4), 4), ("src", np.uint8(0), True),
    ("window", 2**31, OverflowError(OUT_OF_RANGE)), ("src", 2**32, OverflowError(OUT_OF_RANGE)),
    ("batch_size", -1, OverflowError()),  # the interpreter's own message, whatever its wording
    ("window", 1.5, TypeError("argument 'window': " + NOT_INTEGER)),
    ("dst", "0", TypeError("argument 'dst': 'str' object cannot be interpreted as an integer")),
    # A plain TypeError gets the argument's name and keeps its cause; anything else, subclasses
    # of TypeError included, passes through as it is.
    ("window", Raises(TypeError), TypeError("argument 'window': from __index__")),
    ("window", Raises(MINE), MINE), ("window", Raises(ZERO), ZERO),
])
def test_conversions(native, name, value, expected):
    def convert():
        if name in ("src", "dst"):  # the node ids of has_edge
            graph = native.csr_from_edges(np.array([[0, 1]], np.uint32), True)
            return graph.has_edge(**{"src": 0, "dst": 1, name: value})
        return getattr(native.Node2VecParams(**{**GOOD, name: value}), name)

    if not isinstance(expected, BaseException):
        got = convert()
        assert got == expected and type(got) is type(expected)
        return
    with pytest.raises(type(expected)) as e:
        convert()
    assert type(e.value) is type(expected)
    if str(expected):
        assert str(e.value) == str(expected)
    else:
        assert not str(e.value).startswith("argument")
    if isinstance(value, Raises):
        assert repr(e.value.__cause__) == "KeyError('inner')"
        assert e.value is expected or type(expected) is TypeError
