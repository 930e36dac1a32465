"""Argument binding, conversion rules and failure mapping shared by every entry point."""

import sys

import numpy as np
import pytest

from conftest import panic_of

PARAM_NAMES = ["p", "q", "start_alpha", "end_alpha", "window", "batch_size", "max_walk_length",
               "num_negative", "workers"]
GOOD = dict(p=1, q=1, start_alpha=0.025, end_alpha=0.0001, window=5, batch_size=256,
            max_walk_length=80, num_negative=5, workers=None)
EDGES = np.array([[0, 1]], np.uint32)


def message(excinfo):
    return str(excinfo.value)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda n: n.csr_from_edges(EDGES, True, 1),
         "csr_from_edges() takes 2 positional arguments but 3 were given"),
        (lambda n: n.csr_from_edges(EDGES, edges=EDGES),
         "csr_from_edges() got multiple values for argument 'edges'"),
        (lambda n: n.csr_from_edges(EDGES), "csr_from_edges() missing 1 required positional argument: 'directed'"),
        (lambda n: n.csr_from_edges(), "csr_from_edges() missing 2 required positional arguments: 'edges' and 'directed'"),
        (lambda n: n.csr_from_edges(EDGES, colour=1),
         "csr_from_edges() got an unexpected keyword argument 'colour'"),
        (lambda n: n.train_node2vec_epoch(1, 2), "train_node2vec_epoch() takes 0 positional arguments but 2 were given"),
        (lambda n: n.train_node2vec_epoch(1), "train_node2vec_epoch() takes 0 positional arguments but 1 was given"),
        (lambda n: n.train_node2vec_epoch(graph=None, params=None, embeddings=None),
         "train_node2vec_epoch() missing 2 required keyword arguments: 'hidden_layer' and 'next_random'"),
        (lambda n: n.Node2VecParams(x=1), "Node2VecParams.__new__() got an unexpected keyword argument 'x'"),
        (lambda n: n.Node2VecParams(),
         "Node2VecParams.__new__() missing 9 required keyword arguments: 'p', 'q', 'start_alpha', 'end_alpha', "
         "'window', 'batch_size', 'max_walk_length', 'num_negative', and 'workers'"),
        (lambda n: n.Node2VecParams(**{k: v for k, v in GOOD.items() if k != "workers"}),
         "Node2VecParams.__new__() missing 1 required keyword argument: 'workers'"),
        (lambda n: n.Node2VecParams(1, **GOOD), "Node2VecParams.__new__() takes 0 positional arguments but 1 was given"),
        (lambda n: n.csr_from_edges(EDGES, True).has_edge(0),
         "CSRGraph.has_edge() missing 1 required positional argument: 'dst'"),
        (lambda n: n.csr_from_edges(EDGES, True).has_edge(0, src=0),
         "CSRGraph.has_edge() got multiple values for argument 'src'"),
    ],
)
def test_binding_messages(native, call, expected):
    with pytest.raises(TypeError) as e:
        call(native)
    assert message(e) == expected


def test_unexpected_keyword_is_reported_before_missing_ones(native):
    with pytest.raises(TypeError) as e:
        native.csr_from_edges(bogus=1)
    assert message(e) == "csr_from_edges() got an unexpected keyword argument 'bogus'"


def test_nothing_is_converted_before_binding_succeeds(native):
    class Index:
        calls = 0

        def __index__(self):
            Index.calls += 1
            return 1

    with pytest.raises(TypeError):
        native.Node2VecParams(**{**GOOD, "window": Index()}, extra=1)
    assert Index.calls == 0


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "field, value, expected",
    [
        ("window", True, 1), ("window", -7, -7), ("window", np.int16(3), 3), ("window", IndexLike(9), 9),
        ("batch_size", 18446744073709551615, 18446744073709551615), ("batch_size", np.uint64(7), 7),
        ("p", FloatLike(), 2.5), ("p", IndexLike(3), 3.0), ("p", True, 1.0), ("q", np.float32(0.5), 0.5),
        ("workers", 0, 0), ("workers", IndexLike(4), 4),
    ],
)
def test_conversions_accept(native, field, value, expected):
    got = getattr(native.Node2VecParams(**{**GOOD, field: value}), field)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "field, value, exc, text",
    [
        ("window", 2147483648, OverflowError, "out of range integral type conversion attempted"),
        ("window", -2147483649, OverflowError, "out of range integral type conversion attempted"),
        ("window", 1.5, TypeError, "argument 'window': 'float' object cannot be interpreted as an integer"),
        ("batch_size", -1, OverflowError, None),
        ("batch_size", 18446744073709551616, OverflowError, None),
        ("batch_size", 1.0, TypeError, "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
        ("workers", -1, OverflowError, None),
        ("workers", 2.0, TypeError, "argument 'workers': 'float' object cannot be interpreted as an integer"),
        ("p", "x", TypeError, "argument 'p': must be real number, not str"),
    ],
)
def test_conversions_refuse(native, field, value, exc, text):
    with pytest.raises(exc) as e:
        native.Node2VecParams(**{**GOOD, field: value})
    assert type(e.value) is exc
    if text is not None:
        assert message(e) == text
    if exc is OverflowError:
        assert not message(e).startswith("argument")


def test_only_the_first_bad_argument_is_reported(native):
    with pytest.raises(TypeError, match="^argument 'p': "):
        native.Node2VecParams(**{**GOOD, "p": "x", "window": 2**40})


def test_type_error_prefix_keeps_the_cause(native):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("boom") from inner

    with pytest.raises(TypeError) as e:
        native.Node2VecParams(**{**GOOD, "window": Bad()})
    assert message(e) == "argument 'window': boom"
    assert isinstance(e.value.__cause__, KeyError)


def test_subclasses_of_type_error_and_other_errors_pass_unchanged(native):
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    for exc in (MyTypeError("mine"), ValueError("value"), ZeroDivisionError("zero")):
        with pytest.raises(type(exc)) as e:
            native.Node2VecParams(**{**GOOD, "window": Bad(exc)})
        assert e.value is exc


def test_a_panic_coming_back_from_python_is_resumed(native, capfd):
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), True)
    try:
        g.has_edge(0, 0)
    except BaseException as e:
        caught = e

    class Resume:
        def __index__(self):
            raise caught

    with pytest.raises(BaseException) as e:
        native.Node2VecParams(**{**GOOD, "window": Resume()})
    assert panic_of(e) == "index out of bounds: the len is 1 but the index is 1"
    err = capfd.readouterr().err
    assert "PanicException" in err and "resuming" in err


def test_wrong_self_is_rejected(native):
    with pytest.raises(TypeError):
        native.CSRGraph.num_nodes(object())
    with pytest.raises(TypeError):
        native.Node2VecParams.p.__get__(object())


def test_failed_calls_leak_no_references(native):
    a = np.array([[0, 1]], np.uint32)
    index = IndexLike(1)
    bad = ["".join(["no", "t a number"]), 1.5, 2**70]  # fresh objects, not interned
    before = [sys.getrefcount(v) for v in bad] + [sys.getrefcount(a), sys.getrefcount(index)]
    for _ in range(200):
        for v in bad:
            with pytest.raises((TypeError, OverflowError)):
                native.Node2VecParams(**{**GOOD, "window": v})
        with pytest.raises(TypeError):
            native.csr_from_edges(a, index)
        assert native.csr_from_edges(a, True).has_edge(0, index)
    del v
    after = [sys.getrefcount(v) for v in bad] + [sys.getrefcount(a), sys.getrefcount(index)]
    assert after == before
