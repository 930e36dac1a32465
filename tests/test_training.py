"""Training: train_node2vec_epoch against the pure-Python model in reference_model.py.

With one worker thread an epoch is deterministic, so the engine's matrices must equal the model's
up to the summation order of dot products (conftest.assert_matches_model). The generator's
sequences and the sigmoid table are pinned by the C++ tests (tests/cpp).
"""

import math

import numpy as np
import pytest

from conftest import (
    ArrayHolder,
    assert_matches_model,
    make_graph,
    make_matrices,
    make_params,
    panic_of,
    unchanged,
)
from reference_model import F32, ReferencePanic, reference_epoch, start_order
from velmor.engine import _native


def train(graph, params, emb, hid, next_random):
    return _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb,
                                        hidden_layer=hid, next_random=next_random)


# Small graphs, each at most 12 nodes.
PATH = [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5]]
RING_WITH_CHORDS = [[i, (i + 1) % 10] for i in range(10)] + [[0, 5], [2, 7], [1, 3], [4, 8]]
DIRECTED_DEAD_ENDS = [[0, 1], [1, 2], [2, 0], [2, 3], [3, 4], [5, 4], [0, 5], [6, 2], [7, 6]]
LOOPS_AND_DUPLICATES = [[0, 0], [0, 1], [0, 1], [1, 2], [2, 2], [2, 3], [3, 0], [3, 3], [1, 2]]
ISOLATED = [[0, 1], [1, 2], [2, 0], [9, 10]]  # 3..8 have no arcs; 11 nodes
STAR = [[0, i] for i in range(1, 9)] + [[1, 2], [5, 6]]
GRAPHS = {"path": (PATH, False), "ring-chords": (RING_WITH_CHORDS, False),
          "ring-chords-directed": (RING_WITH_CHORDS, True),
          "directed-dead-ends": (DIRECTED_DEAD_ENDS, True),
          "loops-duplicates": (LOOPS_AND_DUPLICATES, False),
          "loops-duplicates-directed": (LOOPS_AND_DUPLICATES, True),
          "isolated-nodes": (ISOLATED, False), "star": (STAR, False),
          "one-node-loop": ([[0, 0]], True), "two-nodes": ([[0, 1]], False)}
# p=1.00000001 rounds to 1.0 in single precision, so the walk runs in uniform mode.
WALK_BIASES = {"uniform": (1.0, 1.0), "p0.25-q4": (0.25, 4.0), "p4-q0.5": (4.0, 0.5),
               "p2-q2": (2.0, 2.0), "p-rounds-to-1": (1.00000001, 1.0)}


def check_against_model(overrides, edges=RING_WITH_CHORDS, directed=False, dim=8, next_random=12345,
                        scale=0.5, epochs=1):
    """Trains with the engine for `epochs` epochs and checks the result against the model."""
    graph, params = make_graph(edges, directed), make_params(**overrides)
    emb0, hid0 = make_matrices(graph.num_nodes(), dim, seed=next_random % 1000, scale=scale)
    seeds = [(next_random + 7919 * epoch) % 2**64 for epoch in range(epochs)]
    emb, hid = emb0.copy(), hid0.copy()
    for seed in seeds:
        assert train(graph, params, emb, hid, seed) is None

    def run_model(lookup):
        ref = (emb0, hid0)
        for seed in seeds:
            ref = reference_epoch(edges, directed, params, *ref, seed, lookup=lookup)
        return ref

    assert_matches_model((emb, hid), run_model)
    assert not np.array_equal(emb0, emb) or not np.array_equal(hid0, hid)


@pytest.mark.parametrize("bias", WALK_BIASES)
@pytest.mark.parametrize("graph", GRAPHS)
def test_one_worker_matches_model(graph, bias):
    edges, directed = GRAPHS[graph]
    p, q = WALK_BIASES[bias]
    check_against_model(dict(p=p, q=q), edges, directed, next_random=1009 * len(edges) + directed)


@pytest.mark.parametrize("overrides, options", [
    pytest.param(dict(window=1), {}, id="window-1"),
    pytest.param(dict(window=6, max_walk_length=10), {}, id="window-wider-than-walk"),
    pytest.param(dict(num_negative=0), {}, id="no-negatives"),
    pytest.param(dict(num_negative=20, window=1), {}, id="many-negatives"),
    pytest.param(dict(batch_size=1), {}, id="batch-1"),
    pytest.param(dict(batch_size=3), {}, id="batch-3"),
    pytest.param(dict(batch_size=2**64 - 1), {}, id="batch-huge"),
    pytest.param(dict(max_walk_length=2), {}, id="walk-2"),
    pytest.param(dict(start_alpha=0.05, end_alpha=0.05), {}, id="constant-alpha"),
    pytest.param(dict(start_alpha=0.01, end_alpha=0.2, batch_size=2), {}, id="rising-alpha"),
    pytest.param(dict(p=0.25, q=4.0), dict(dim=1), id="dim-1"),
    pytest.param(dict(p=4.0, q=0.5), dict(dim=5), id="dim-5"),
    pytest.param(dict(num_negative=2, window=2), dict(dim=37), id="dim-37"),
    # One chunk runs on one thread whatever the pool.
    pytest.param(dict(workers=None, batch_size=10), {}, id="one-chunk-shared-pool"),
    pytest.param(dict(workers=4, batch_size=10), {}, id="one-chunk-own-pool"),
    pytest.param(dict(p=0.5, q=2.0), dict(edges=DIRECTED_DEAD_ENDS, directed=True, epochs=3),
                 id="epochs-3"),
    # Large entries push many dot products beyond +-6, where a sample changes nothing.
    pytest.param(dict(p=0.5, q=2.0), dict(edges=STAR, scale=2.5), id="saturated"),
])
@pytest.mark.parametrize("next_random", [0, 7, 2**64 - 1])
def test_one_worker_matches_model_across_parameters(overrides, options, next_random):
    check_against_model(overrides, next_random=next_random, **options)


# Matrix layouts and array-likes. Name: (the owner's shape for an (n, dim) matrix, the view of the
# owner that holds the matrix).
VIEWS = {
    "strided": (lambda n, dim: (2 * n, 3 * dim), lambda o: o[::2, ::3]),
    "negative-rows": (lambda n, dim: (n, dim), lambda o: o[::-1]),
    "negative-cols": (lambda n, dim: (n, dim + 2), lambda o: o[:, -1:1:-1]),
    "column-of-wider": (lambda n, dim: (n, 2 * dim), lambda o: o[:, o.shape[1] // 2:]),
}


def _with_layout(m, layout):
    """An array with the values of `m` in the given layout, and (owner, mask of the rest) or
    None."""
    if layout == "fortran":
        return np.asfortranarray(m), None
    if layout == "subclass":
        return m.copy().view(type("Sub", (np.ndarray,), {})), None
    shape, cut = VIEWS[layout]
    owner, outside = np.full(shape(*m.shape), 7.0, np.float32), np.ones(shape(*m.shape), bool)
    cut(owner)[...] = m
    cut(outside)[...] = False
    return cut(owner), (owner, outside)


@pytest.mark.parametrize("which", ["embeddings", "hidden_layer", "both"])
@pytest.mark.parametrize("layout", ["fortran", "subclass", *VIEWS])
def test_any_layout_trains_like_c_order(layout, which):
    params = make_params(p=0.5, q=2.0)
    emb0, hid0 = make_matrices(10, 5, seed=4)
    emb, emb_owner = _with_layout(emb0, layout) if which != "hidden_layer" else (emb0.copy(), None)
    hid, hid_owner = _with_layout(hid0, layout) if which != "embeddings" else (hid0.copy(), None)
    train(make_graph(RING_WITH_CHORDS, False), params, emb, hid, 2024)
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        RING_WITH_CHORDS, False, params, emb0, hid0, 2024, lookup=lookup))
    for owner, outside in filter(None, [emb_owner, hid_owner]):
        assert (owner[outside] == 7.0).all()  # memory around the views is not touched


def test_same_array_for_both_matrices_and_array_likes():
    params = make_params(p=0.5, q=2.0)
    shared, _ = make_matrices(4, 8, seed=9)
    before = shared.copy()
    train(make_graph(LOOPS_AND_DUPLICATES, False), params, shared, shared, 17)

    def run_model(lookup):
        ref, ref_again = reference_epoch(LOOPS_AND_DUPLICATES, False, params, before, before, 17,
                                         lookup=lookup)
        assert ref is ref_again
        return (ref,)

    assert_matches_model((shared,), run_model)
    # asarray hands back the held array itself, so the call trains it in place.
    graph, params = make_graph(RING_WITH_CHORDS, False), make_params()
    emb0, hid0 = make_matrices(10, 4)
    emb, hid = emb0.copy(), hid0.copy()
    assert train(graph, params, ArrayHolder(emb), ArrayHolder(hid), 8) is None
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        RING_WITH_CHORDS, False, params, emb0, hid0, 8, lookup=lookup))
    # Lists of float32 scalars become new float32 arrays that the caller never sees.
    rows = [[F32(x) for x in row] for row in emb0]
    assert train(graph, params, rows, [list(r) for r in rows], 8) is None


@pytest.mark.parametrize("edges, overrides, emb_shape, hid_shape", [
    ([], {}, (0, 0), (0, 0)),
    ([], dict(p=0.0, q=math.nan, batch_size=0), (5, 3), (2, 7)),  # an empty graph checks nothing
    (RING_WITH_CHORDS, dict(window=0), (10, 5), (10, 4)),  # no pair, so the columns never meet
    (RING_WITH_CHORDS, dict(window=-3), (10, 4), (10, 4)),
    (RING_WITH_CHORDS, dict(max_walk_length=1), (10, 4), (10, 4)),
    (RING_WITH_CHORDS, dict(max_walk_length=0), (10, 4), (10, 4)),
])
def test_nothing_to_train_leaves_matrices_unchanged(edges, overrides, emb_shape, hid_shape):
    emb, hid = np.ones(emb_shape, np.float32), np.full(hid_shape, 0.5, np.float32)
    with unchanged(emb, hid):
        assert train(make_graph(edges, False), make_params(**overrides), emb, hid, 99) is None


# Refused arguments: clear errors, nothing trained.


def _read_only():
    m = np.ones((3, 4), np.float32)
    m.flags.writeable = False
    return m


def _strided(strides):
    return np.lib.stride_tricks.as_strided(np.zeros(64, np.float32), shape=(3, 4), strides=strides)


TYPE_MISMATCH = "type mismatch:\n from=float64, to=float32"
# Matrices that cannot be trained in place; refused before next_random (-1 below) is converted.
BAD_MATRICES = [
    (_read_only, "array is read-only"),
    (lambda: np.broadcast_to(np.ones(4, np.float32), (3, 4)), "array is read-only"),
    (lambda: _strided((18, 4)), "array strides must be whole multiples of 4 bytes, got (18, 4)"),
    (lambda: _strided((24, 6)), "array strides must be whole multiples of 4 bytes, got (24, 6)"),
    (lambda: np.zeros(49, np.uint8)[1:].view(np.float32).reshape(3, 4),
     "array data must be aligned to 4 bytes"),
]


@pytest.mark.parametrize("change, error, message", [
    (dict(graph=None), TypeError,
     "argument 'graph': 'NoneType' object cannot be converted to 'CSRGraph'"),
    (dict(params=None), TypeError,
     "argument 'params': 'NoneType' object cannot be converted to 'Node2VecParams'"),
    (dict(params=lambda kw: kw["graph"]), TypeError,
     "argument 'params': 'CSRGraph' object cannot be converted to 'Node2VecParams'"),
    (dict(embeddings=np.zeros((3, 4))), TypeError, "argument 'embeddings': " + TYPE_MISMATCH),
    (dict(embeddings=[[0.5, 1.5], [2.5, 3.5]]), TypeError,
     "argument 'embeddings': " + TYPE_MISMATCH),
    (dict(embeddings=np.zeros(12, np.float32)), TypeError,
     "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
    (dict(embeddings=np.zeros((3, 4)), hidden_layer=np.zeros(3)), TypeError,
     "argument 'embeddings': " + TYPE_MISMATCH),
    (dict(hidden_layer=np.zeros(3, np.float32), next_random=-1), TypeError,
     "argument 'hidden_layer': dimensionality mismatch:\n from=1, to=2"),
    (dict(hidden_layer=lambda kw: ArrayHolder(np.zeros((3, 4)))), TypeError,
     "argument 'hidden_layer': " + TYPE_MISMATCH),
    (dict(next_random=2**64), OverflowError, ""),
    (dict(next_random=-1), OverflowError, ""),
    (dict(next_random=1.5), TypeError, "argument 'next_random': "),
    (dict(next_random=None), TypeError, "argument 'next_random': "),
] + [(dict(next_random=-1, **{which: lambda kw, make=make: make()}), ValueError,
      f"argument '{which}': {text}")
     for which in ("embeddings", "hidden_layer") for make, text in BAD_MATRICES])
def test_refused_argument(change, error, message):
    emb, hid = make_matrices(3, 4)
    kwargs = dict(graph=make_graph(PATH[:2], False), params=make_params(), embeddings=emb,
                  hidden_layer=hid, next_random=5)
    kwargs.update({k: v(kwargs) if callable(v) else v for k, v in change.items()})
    arrays = [v for k, v in kwargs.items() if isinstance(v, np.ndarray)]
    with unchanged(*arrays), pytest.raises(error) as excinfo:
        _native.train_node2vec_epoch(**kwargs)
    assert type(excinfo.value) is error
    if message.endswith(": "):
        assert str(excinfo.value).startswith(message)
    elif message:
        assert str(excinfo.value) == message
    else:  # the interpreter's own OverflowError, without an argument prefix
        assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize("value", [
    0.0, -0.0, -1.0, math.inf, -math.inf, math.nan, -2.5e-3, -1e-5, -1.2345678901234568e20,
    1e-50, 1e39,  # 0 and infinite in single precision
    1e-40,  # its single-precision reciprocal is infinite
])
@pytest.mark.parametrize("name", ["p", "q"])
def test_bad_p_or_q_refused_before_training(name, value):
    # p is checked before q, and both before the batch size (0 here) is used. The walk works with
    # p and q in single precision, where the last three values would leave a class of proposals
    # that is never accepted.
    params = make_params(**{name: value, "batch_size": 0, **({"q": 0.0} if name == "p" else {})})
    assert math.isnan(getattr(params, name)) or getattr(params, name) == value  # stored as given
    emb, hid = make_matrices(10, 4)
    with unchanged(emb, hid), pytest.raises(ValueError) as excinfo:
        train(make_graph(RING_WITH_CHORDS, False), params, emb, hid, 3)
    with pytest.raises(ValueError) as model_excinfo:
        reference_epoch(RING_WITH_CHORDS, False, params, emb, hid, 3)
    assert str(excinfo.value) == str(model_excinfo.value)
    if not value > 0 or math.isinf(value):  # the value is shown as Python shows it
        assert str(excinfo.value) == f"{name} must be a finite number greater than 0, got {value!r}"


@pytest.mark.parametrize("change, error, message", [
    ("resize", BaseException, "assertion failed: index < dim"),
    ("readonly", ValueError, "argument 'embeddings': array is read-only"),
    ("reshape", TypeError, "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
    ("dtype", TypeError, "argument 'embeddings': type mismatch:\n from=int32, to=float32"),
])
def test_matrix_changed_by_a_later_argument_is_checked_again(change, error, message):
    # next_random's __index__ runs Python code after embeddings was accepted; whatever it does to
    # the array, training must see the array as it is then, never stale memory.
    emb, hid = make_matrices(6, 4)

    class Seed:
        def __index__(self):
            if change == "resize":
                emb.resize((1, 1), refcheck=False)
            elif change == "readonly":
                emb.flags.writeable = False
            elif change == "reshape":
                emb.shape = (24,)
            else:
                emb.dtype = np.int32
            return 3

    with pytest.raises(error) as excinfo:
        train(make_graph(PATH, False), make_params(), emb, hid, Seed())
    assert str(excinfo.value) == message


# Internal failures: PanicException, earlier updates kept.


@pytest.mark.parametrize("overrides, emb_cols, hid_cols, message", [
    (dict(batch_size=0), 4, 4, "attempt to divide by zero"),
    ({}, 5, 4, "assertion failed: self.len() == rhs.len()"),
    ({}, 4, 5, "assertion failed: self.len() == rhs.len()"),
])
def test_panics_before_any_update(overrides, emb_cols, hid_cols, message):
    emb, hid = make_matrices(10, emb_cols)[0], make_matrices(10, hid_cols)[1]
    with unchanged(emb, hid), pytest.raises(BaseException) as excinfo:
        train(make_graph(RING_WITH_CHORDS, False), make_params(**overrides), emb, hid, 6)
    assert panic_of(excinfo) == message


@pytest.mark.parametrize("short, num_negative", [
    ("embeddings", 3),
    ("hidden_layer", 0),  # fails at the first centre in 6..9
    ("hidden_layer", 3),  # fails at a negative, after the pair's earlier samples
])
def test_too_few_rows_panics_after_earlier_updates(short, num_negative):
    # Nodes 6..9 form their own component and have no rows in the short matrix. The first three
    # start nodes lie in the other component, so training is under way when a row of 6..9 is
    # first needed. One chunk, so the failure point is fixed.
    edges = [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5], [5, 0], [0, 3], [6, 7], [7, 8], [8, 9], [9, 6]]
    assert start_order(10, 3)[0][:4] == [4, 3, 0, 7]
    params = make_params(batch_size=10, p=0.5, q=2.0, num_negative=num_negative)
    emb, hid = make_matrices(10, 4, seed=2)
    emb, hid = (emb[:6].copy(), hid) if short == "embeddings" else (emb, hid[:6].copy())
    emb0, hid0 = emb.copy(), hid.copy()
    with pytest.raises(BaseException) as excinfo:
        train(make_graph(edges, False), params, emb, hid, 3)
    assert panic_of(excinfo) == "assertion failed: index < dim"

    def run_model(lookup):
        with pytest.raises(ReferencePanic) as failure:
            reference_epoch(edges, False, params, emb0, hid0, 3, lookup=lookup)
        assert failure.value.message == "assertion failed: index < dim"
        return failure.value.embeddings, failure.value.hidden_layer

    assert_matches_model((emb, hid), run_model)
    assert not (np.array_equal(emb, emb0) and np.array_equal(hid, hid0))
