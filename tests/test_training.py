"""Training: train_node2vec_epoch against the pure-Python model in reference_model.py.

With one worker thread an epoch is deterministic, so the engine's matrices must equal the model's
up to the summation order of dot products. The tolerance allows for that, and so does
BoundaryLookup for the rare dot product that lands within rounding distance of a boundary of
the sigmoid table.
"""

from __future__ import annotations

import contextlib
import math
import os
import sys

import numpy as np
import pytest

from velmor.engine import _native
from reference_model import (
    SIGMOID_TABLE,
    F32,
    Graph,
    Lcg48,
    ReferencePanic,
    WalkBias,
    chunk_alpha,
    random_walk,
    reference_epoch,
    sigmoid_index,
    sigmoid_lookup,
    start_order,
    train_walk,
)

RTOL, ATOL = 1e-5, 1e-6

DEFAULTS = dict(p=1.0, q=1.0, start_alpha=0.1, end_alpha=0.01, window=3, batch_size=4,
                max_walk_length=8, num_negative=3, workers=1)


def make_params(**overrides):
    return _native.Node2VecParams(**{**DEFAULTS, **overrides})


def make_graph(edges, directed):
    return _native.csr_from_edges(np.array(edges, dtype=np.uint32).reshape(-1, 2), directed)


def make_matrices(n, dim, seed=0, scale=0.5):
    rng = np.random.default_rng(seed)
    emb = rng.uniform(-scale, scale, (n, dim)).astype(np.float32)
    hid = rng.uniform(-scale, scale, (n, dim)).astype(np.float32)
    return emb, hid


def train(graph, params, emb, hid, next_random):
    return _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb,
                                        hidden_layer=hid, next_random=next_random)


def assert_close(actual, expected):
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=ATOL)


def assert_panic(excinfo, message):
    err = excinfo.value
    assert type(err).__name__ == "PanicException"
    assert not isinstance(err, Exception)
    assert str(err) == message


@contextlib.contextmanager
def unchanged(*arrays):
    """Asserts that the block leaves every array byte for byte as it was."""
    before = [a.copy() for a in arrays]
    yield
    for a, b in zip(arrays, before):
        assert a.tobytes() == b.tobytes()


# Small graphs, each at most 12 nodes.
PATH = [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5]]
RING_WITH_CHORDS = [[i, (i + 1) % 10] for i in range(10)] + [[0, 5], [2, 7], [1, 3], [4, 8]]
DIRECTED_DEAD_ENDS = [[0, 1], [1, 2], [2, 0], [2, 3], [3, 4], [5, 4], [0, 5], [6, 2], [7, 6]]
LOOPS_AND_DUPLICATES = [[0, 0], [0, 1], [0, 1], [1, 2], [2, 2], [2, 3], [3, 0], [3, 3], [1, 2]]
ISOLATED = [[0, 1], [1, 2], [2, 0], [9, 10]]  # 3..8 have no arcs; 11 nodes
STAR = [[0, i] for i in range(1, 9)] + [[1, 2], [5, 6]]
ONE_LOOP = [[0, 0]]
TWO_NODES = [[0, 1]]

GRAPHS = [
    pytest.param(PATH, False, id="path"),
    pytest.param(RING_WITH_CHORDS, False, id="ring-chords"),
    pytest.param(RING_WITH_CHORDS, True, id="ring-chords-directed"),
    pytest.param(DIRECTED_DEAD_ENDS, True, id="directed-dead-ends"),
    pytest.param(LOOPS_AND_DUPLICATES, False, id="loops-duplicates"),
    pytest.param(LOOPS_AND_DUPLICATES, True, id="loops-duplicates-directed"),
    pytest.param(ISOLATED, False, id="isolated-nodes"),
    pytest.param(STAR, False, id="star"),
    pytest.param(ONE_LOOP, True, id="one-node-loop"),
    pytest.param(TWO_NODES, False, id="two-nodes"),
]

WALK_BIASES = [
    pytest.param(dict(p=1.0, q=1.0), id="uniform"),
    pytest.param(dict(p=0.25, q=4.0), id="p0.25-q4"),
    pytest.param(dict(p=4.0, q=0.5), id="p4-q0.5"),
    pytest.param(dict(p=2.0, q=2.0), id="p2-q2"),
    # Rounds to 1.0 in single precision, so the walk runs in uniform mode.
    pytest.param(dict(p=1.00000001, q=1.0), id="p-rounds-to-1"),
]


class BoundaryLookup:
    """The model's sigmoid lookup, watching dot products that sit on a table boundary.

    The engine may sum a dot product in another order (and with fused multiply-adds), so where
    the model's f lies within SLACK of an index boundary or of +-6, the engine may read the
    neighbouring entry. Such lookups are listed in `ambiguous` by ordinal; at the ordinals in
    `flips` this lookup takes the neighbour.
    """

    SLACK = F32(2e-6)

    def __init__(self, flips=frozenset()):
        self.flips = flips
        self.ordinal = 0
        self.ambiguous = []

    def __call__(self, f):
        ordinal, self.ordinal = self.ordinal, self.ordinal + 1
        index = sigmoid_index(f)
        neighbours = {sigmoid_index(f - self.SLACK), sigmoid_index(f + self.SLACK)} - {index}
        if neighbours:
            self.ambiguous.append(ordinal)
            if ordinal in self.flips:
                index = neighbours.pop()
        return None if index is None else SIGMOID_TABLE[index]


def assert_matches_model(actual, run_model, max_runs=40):
    """Asserts that the arrays `actual` equal `run_model(lookup)` within the tolerance.

    If they do not, the model is run again with the ambiguous lookups (at most three) resolved
    the other way; any such run that matches is accepted. A wrong draw or update is far beyond
    what a few boundary lookups can explain.
    """
    def matches(expected):
        return all(np.allclose(a, e, rtol=RTOL, atol=ATOL) for a, e in zip(actual, expected))

    first = None
    queue = [frozenset()]
    for _ in range(max_runs):
        if not queue:
            break
        flips = queue.pop(0)
        lookup = BoundaryLookup(flips)
        expected = run_model(lookup)
        if matches(expected):
            return
        first = first or expected
        if len(flips) < 3:
            queue += [flips | {k} for k in lookup.ambiguous if k > max(flips, default=-1)]
    for a, e in zip(actual, first):
        assert_close(a, e)


def check_against_model(edges, directed, overrides, dim=8, next_random=12345, scale=0.5,
                        epochs=1):
    """Trains with the engine for `epochs` epochs and checks the result against the model."""
    graph = make_graph(edges, directed)
    params = make_params(**overrides)
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
    return emb, hid


# --------------------------------------------------------------------------------------------
# The model itself, against the known sequences of the generator and the table


class CountingLcg48(Lcg48):
    steps = 0

    def next_bits(self, n):
        self.steps += 1
        return super().next_bits(n)


def counting(seed):
    rng = CountingLcg48.from_seed(seed)
    rng.steps = 0
    return rng


def test_model_generator_known_sequences():
    rng = Lcg48.from_seed(0)
    assert rng.state == 0x5DEECE66D
    assert [rng.next_bits(32) for _ in range(3)] == [0xBB20B460, 0xD4D95138, 0x3D93CB7A]
    assert Lcg48.from_seed(0).next_u64() == 0xBB20B460D4D95138

    rng = Lcg48.from_seed(0)
    assert [rng.next_int(10) for _ in range(8)] == [0, 8, 9, 7, 5, 3, 1, 1]
    rng = Lcg48.from_seed(42)
    assert [rng.next_int(10) for _ in range(8)] == [0, 3, 8, 4, 0, 5, 5, 8]
    rng = Lcg48.from_seed(42)
    floats = [rng.next_float() for _ in range(3)]
    assert all(type(x) is np.float32 for x in floats)
    assert floats == [F32(0.7275637), F32(0.054665208), F32(0.68322343)]

    rng = Lcg48.from_seed(7)
    order = list(range(10))
    rng.shuffle(order)
    assert order == [6, 3, 7, 5, 8, 9, 0, 1, 4, 2]
    assert rng.next_u64() == 0x91B3CA5D5A171600


def test_model_generator_steps_and_seed_bits():
    rng = counting(5)
    assert rng.next_int(0) == 0 and rng.steps == 1
    assert Lcg48.from_seed(5 | (0xABCD << 48)).state == Lcg48.from_seed(5).state
    for n, draws in [(0, 0), (1, 0), (2, 1), (5, 4)]:
        rng = counting(3)
        rng.shuffle(list(range(n)))
        assert rng.steps == draws
    # Rejection: with bound 2**30 + 1, draws in the last incomplete multiple are redrawn.
    rng = Lcg48.from_seed(11)
    assert all(0 <= rng.next_int(2**30 + 1) <= 2**30 for _ in range(200))


def test_model_sigmoid_table_and_lookup():
    assert SIGMOID_TABLE.dtype == np.float32 and SIGMOID_TABLE.shape == (1000,)
    assert SIGMOID_TABLE[[0, 1, 500, 999]].tolist() == [
        F32(0.0024726232), F32(0.0025023986), F32(0.5), F32(0.99749762)]
    assert np.all(np.diff(SIGMOID_TABLE) > 0)
    below_6 = np.nextafter(F32(6.0), F32(0.0))  # 5.9999995: computes to 1000, reads 999
    cases = [(0.0, 500), (-6.0, None), (6.0, None), (np.nextafter(F32(-6.0), F32(0.0)), 0),
             (6.0 - 2.0**-20, 999), (below_6, 999), (math.nan, 0), (-math.inf, None)]
    for f, index in cases:
        assert sigmoid_index(f) == index, f
    assert sigmoid_lookup(0.0) == F32(0.5)
    assert sigmoid_lookup(math.nan) == F32(0.0024726232)


@pytest.mark.parametrize("p, q, thresholds", [
    (1.0, 0.5, (0.5, 0.5, 1.0)),
    (0.25, 4.0, (1.0, 0.25, 0.0625)),
    (4.0, 1.0, (0.25, 1.0, 1.0)),
])
def test_model_walk_thresholds(p, q, thresholds):
    bias = WalkBias(p, q)
    assert (bias.return_threshold, bias.near_threshold, bias.far_threshold) == thresholds
    assert not bias.uniform


def test_model_walk_edge_cases():
    uniform = WalkBias(1.0, 1.0)
    arc = Graph.from_edges([[0, 1]], directed=True)
    edge = Graph.from_edges([[0, 1]], directed=False)
    for length, walk in [(0, []), (1, [0]), (5, [0, 1])]:
        rng = counting(1)
        assert random_walk(arc, 0, length, uniform, rng) == walk
        assert rng.steps == (length >= 2)
    rng = counting(1)
    assert random_walk(arc, 1, 5, uniform, rng) == [1] and rng.steps == 0

    rng = counting(1)
    assert random_walk(edge, 0, 5, uniform, rng) == [0, 1, 0, 1, 0]
    assert rng.steps == 4  # one next_int per step, no next_float
    rng = counting(1)
    assert random_walk(edge, 0, 5, WalkBias(4.0, 1.0), rng) == [0, 1, 0, 1, 0]
    assert rng.steps > 4 and rng.steps % 2 == 1  # first step, then next_int + next_float pairs

    loop = Graph.from_edges([[0, 0], [0, 1]], directed=False)
    assert loop.neighbors(0) == [0, 0, 1]


def test_model_train_walk_single_update():
    emb = np.array([[1.0, 0.0], [0.0, 0.0]], dtype=np.float32)
    hid = np.zeros((2, 2), dtype=np.float32)
    error = np.zeros(2, dtype=np.float32)
    rng = counting(0)
    train_walk([1, 0], rng, F32(0.1), 1, 0, 2, emb, hid, error)
    # Pair (centre 1, context 0): f = 0, g = 0.05; hidden row 1 moves, the input row cannot.
    assert hid[1].tolist() == [F32(0.05), 0.0] and emb[0].tolist() == [1.0, 0.0]
    assert rng.steps == 2  # one window draw per position, no negatives


def test_model_epoch_plan():
    order, base = start_order(10, 7)
    assert order == [6, 3, 7, 5, 8, 9, 0, 1, 4, 2] and base == 0x91B3CA5D5A171600
    assert start_order(1, 0) == ([0], 0xBB20B460D4D95138)
    assert [chunk_alpha(0.1, 0.02, k, 4) for k in range(4)] == [
        F32(0.1), F32(0.1 - 0.25 * 0.08), F32(0.1 - 0.5 * 0.08), F32(0.1 - 0.75 * 0.08)]


# --------------------------------------------------------------------------------------------
# The engine with one worker equals the model


@pytest.mark.parametrize("bias", WALK_BIASES)
@pytest.mark.parametrize("edges, directed", GRAPHS)
def test_one_worker_matches_model(edges, directed, bias):
    check_against_model(edges, directed, bias, next_random=1009 * len(edges) + directed)


@pytest.mark.parametrize("overrides, dim", [
    pytest.param(dict(window=1), 8, id="window-1"),
    pytest.param(dict(window=6, max_walk_length=10), 8, id="window-wider-than-walk"),
    pytest.param(dict(num_negative=0), 8, id="no-negatives"),
    pytest.param(dict(num_negative=20, window=1), 8, id="many-negatives"),
    pytest.param(dict(batch_size=1), 8, id="batch-1"),
    pytest.param(dict(batch_size=3), 8, id="batch-3"),
    pytest.param(dict(batch_size=2**64 - 1), 8, id="batch-huge"),
    pytest.param(dict(max_walk_length=2), 8, id="walk-2"),
    pytest.param(dict(start_alpha=0.05, end_alpha=0.05), 8, id="constant-alpha"),
    pytest.param(dict(start_alpha=0.01, end_alpha=0.2, batch_size=2), 8, id="rising-alpha"),
    pytest.param(dict(p=0.25, q=4.0), 1, id="dim-1"),
    pytest.param(dict(p=4.0, q=0.5), 5, id="dim-5"),
    pytest.param(dict(num_negative=2, window=2), 37, id="dim-37"),
])
@pytest.mark.parametrize("next_random", [0, 7, 2**64 - 1])
def test_one_worker_matches_model_across_parameters(overrides, dim, next_random):
    check_against_model(RING_WITH_CHORDS, False, overrides, dim=dim, next_random=next_random)


@pytest.mark.parametrize("overrides", [
    pytest.param(dict(window=0), id="window-0"),
    pytest.param(dict(window=-3), id="window-negative"),
    pytest.param(dict(max_walk_length=1), id="walk-1"),
    pytest.param(dict(max_walk_length=0), id="walk-0"),
])
def test_nothing_to_train_leaves_matrices_unchanged(overrides):
    graph = make_graph(RING_WITH_CHORDS, False)
    emb, hid = make_matrices(10, 4)
    with unchanged(emb, hid):
        assert train(graph, make_params(**overrides), emb, hid, 99) is None


def test_several_epochs_match_model():
    check_against_model(DIRECTED_DEAD_ENDS, True, dict(p=0.5, q=2.0), epochs=3, next_random=31)


def test_saturated_dot_products_match_model():
    # Large entries push many dot products beyond +-6, where a sample changes nothing.
    check_against_model(STAR, False, dict(p=0.5, q=2.0), scale=2.5, next_random=5)


@pytest.mark.parametrize("f", [
    6.0, float(np.nextafter(F32(6.0), F32(0.0))), 6.0 - 2.0**-20, 5.5,
    -6.0, float(np.nextafter(F32(-6.0), F32(0.0))), -5.5])
def test_table_edges_in_training(f):
    # With one column every dot product is a single exact product, so the first pair sees f
    # itself: +-6 changes nothing, just inside reads the first or last entry.
    params = make_params(window=1, num_negative=0, max_walk_length=2, batch_size=2)
    emb0 = np.full((2, 1), f, dtype=np.float32)
    hid0 = np.ones((2, 1), dtype=np.float32)
    emb, hid = emb0.copy(), hid0.copy()
    train(make_graph(TWO_NODES, False), params, emb, hid, 1)
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        TWO_NODES, False, params, emb0, hid0, 1), max_runs=1)


def test_one_worker_is_reproducible():
    graph = make_graph(RING_WITH_CHORDS, False)
    params = make_params(batch_size=3, p=0.5, q=2.0)
    results = []
    for seed in [77, 77, 77 + 2**48, 77 + (0xFFFF << 48)]:
        emb, hid = make_matrices(10, 8)
        train(graph, params, emb, hid, seed)
        results.append(emb.tobytes() + hid.tobytes())
    assert len(set(results)) == 1
    emb, hid = make_matrices(10, 8)
    train(graph, params, emb, hid, 78)
    assert emb.tobytes() + hid.tobytes() != results[0]


@pytest.mark.parametrize("workers", [None, 4])
def test_single_chunk_is_deterministic_on_any_pool(workers):
    # One chunk runs on one thread whatever the pool, so it equals the model.
    check_against_model(RING_WITH_CHORDS, False, dict(workers=workers, batch_size=10),
                        next_random=3)


# --------------------------------------------------------------------------------------------
# Matrix layouts and the array-like path


def _with_layout(m, layout):
    """An array with the values of `m` in the given memory layout, and its owner (or None)."""
    n, dim = m.shape
    if layout == "fortran":
        return np.asfortranarray(m), None
    if layout == "strided":
        owner = np.full((2 * n, 3 * dim), 7.0, dtype=np.float32)
        view = owner[::2, ::3]
    elif layout == "negative-rows":
        owner = np.full((n, dim), 7.0, dtype=np.float32)
        view = owner[::-1]
    elif layout == "negative-cols":
        owner = np.full((n, dim + 2), 7.0, dtype=np.float32)
        view = owner[:, -1:1:-1]
    elif layout == "column-of-wider":
        owner = np.full((n, 2 * dim), 7.0, dtype=np.float32)
        view = owner[:, dim:]
    elif layout == "subclass":
        return m.copy().view(type("Sub", (np.ndarray,), {})), None
    else:
        raise AssertionError(layout)
    view[...] = m
    return view, owner


LAYOUTS = ["fortran", "strided", "negative-rows", "negative-cols", "column-of-wider", "subclass"]


@pytest.mark.parametrize("which", ["embeddings", "hidden_layer", "both"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_trains_like_c_order(layout, which):
    graph = make_graph(RING_WITH_CHORDS, False)
    params = make_params(p=0.5, q=2.0)
    emb0, hid0 = make_matrices(10, 5, seed=4)
    emb, emb_owner = _with_layout(emb0, layout) if which != "hidden_layer" else (emb0.copy(), None)
    hid, hid_owner = _with_layout(hid0, layout) if which != "embeddings" else (hid0.copy(), None)
    owners = [(o, o.copy(), v) for o, v in [(emb_owner, emb), (hid_owner, hid)] if o is not None]
    train(graph, params, emb, hid, 2024)
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        RING_WITH_CHORDS, False, params, emb0, hid0, 2024, lookup=lookup))
    for owner, before, view in owners:  # memory around the views is not touched
        outside = ~_covered_bytes(owner, view)
        assert np.array_equal(owner.view(np.uint8).ravel()[outside],
                              before.view(np.uint8).ravel()[outside])


def _covered_bytes(owner, view):
    """Mask of the bytes of the contiguous array `owner` that its view `view` covers."""
    marker = np.zeros(owner.nbytes, dtype=np.uint8)
    offset = view.__array_interface__["data"][0] - owner.__array_interface__["data"][0]
    np.ndarray(view.shape, dtype=np.uint32, buffer=marker, offset=offset,
               strides=view.strides)[...] = 0xFFFFFFFF
    return marker != 0


def test_same_array_for_both_matrices():
    graph = make_graph(LOOPS_AND_DUPLICATES, False)
    params = make_params(p=0.5, q=2.0)
    shared, _ = make_matrices(4, 8, seed=9)
    before = shared.copy()
    train(graph, params, shared, shared, 17)

    def run_model(lookup):
        ref, ref_again = reference_epoch(LOOPS_AND_DUPLICATES, False, params, before, before, 17,
                                         lookup=lookup)
        assert ref is ref_again
        return (ref,)

    assert_matches_model((shared,), run_model)


class ArrayHolder:
    """Exposes an array to NumPy without being one."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def test_array_likes_go_through_asarray():
    graph = make_graph(RING_WITH_CHORDS, False)
    params = make_params()
    emb0, hid0 = make_matrices(10, 4)
    emb, hid = emb0.copy(), hid0.copy()
    # asarray hands back the held array itself, so the call trains it in place.
    assert train(graph, params, ArrayHolder(emb), ArrayHolder(hid), 8) is None
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        RING_WITH_CHORDS, False, params, emb0, hid0, 8, lookup=lookup))
    # Lists of float32 scalars become new float32 arrays that the caller never sees.
    rows = [[F32(x) for x in row] for row in make_matrices(10, 4)[0]]
    assert train(graph, params, rows, [list(r) for r in rows], 8) is None


# --------------------------------------------------------------------------------------------
# Refused arguments: clear errors, nothing trained


EMPTY = np.zeros((0, 2), dtype=np.uint32)


@pytest.mark.parametrize("emb, hid", [
    (np.zeros((0, 0), np.float32), np.zeros((0, 0), np.float32)),
    (np.ones((5, 3), np.float32), np.ones((2, 7), np.float32)),
])
@pytest.mark.parametrize("overrides", [{}, dict(p=0.0, q=math.nan), dict(batch_size=0)])
def test_empty_graph_returns_at_once(emb, hid, overrides):
    graph = _native.csr_from_edges(EMPTY, True)
    with unchanged(emb, hid):
        assert train(graph, make_params(**overrides), emb, hid, 1) is None


def _valid_kwargs():
    emb, hid = make_matrices(3, 4)
    return dict(graph=make_graph(PATH[:2], False), params=make_params(), embeddings=emb,
                hidden_layer=hid, next_random=5)


@pytest.mark.parametrize("change, error, message", [
    (dict(graph=None), TypeError,
     "argument 'graph': 'NoneType' object cannot be converted to 'CSRGraph'"),
    (dict(params=None), TypeError,
     "argument 'params': 'NoneType' object cannot be converted to 'Node2VecParams'"),
    (dict(params=lambda kw: kw["graph"]), TypeError,
     "argument 'params': 'CSRGraph' object cannot be converted to 'Node2VecParams'"),
    (dict(embeddings=np.zeros((3, 4))), TypeError,
     "argument 'embeddings': type mismatch:\n from=float64, to=float32"),
    (dict(embeddings=[[0.5, 1.5], [2.5, 3.5]]), TypeError,
     "argument 'embeddings': type mismatch:\n from=float64, to=float32"),
    (dict(embeddings=np.zeros(12, np.float32)), TypeError,
     "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
    (dict(embeddings=np.zeros((3, 4, 1), np.float32)), TypeError,
     "argument 'embeddings': dimensionality mismatch:\n from=3, to=2"),
    (dict(embeddings=np.zeros((3, 4)), hidden_layer=np.zeros(3)), TypeError,
     "argument 'embeddings': type mismatch:\n from=float64, to=float32"),
    (dict(hidden_layer=np.zeros((3, 4), np.int32)), TypeError,
     "argument 'hidden_layer': type mismatch:\n from=int32, to=float32"),
    (dict(hidden_layer=np.zeros(3, np.float32), next_random=-1), TypeError,
     "argument 'hidden_layer': dimensionality mismatch:\n from=1, to=2"),
    (dict(hidden_layer=lambda kw: ArrayHolder(np.zeros((3, 4)))), TypeError,
     "argument 'hidden_layer': type mismatch:\n from=float64, to=float32"),
    (dict(next_random=2**64), OverflowError, ""),
    (dict(next_random=-1), OverflowError, ""),
    (dict(next_random=1.5), TypeError, "argument 'next_random': "),
    (dict(next_random=None), TypeError, "argument 'next_random': "),
])
def test_refused_argument(change, error, message):
    kwargs = _valid_kwargs()
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


@pytest.mark.parametrize("call, message", [
    (lambda kw: _native.train_node2vec_epoch(kw["graph"], kw["params"]),
     "train_node2vec_epoch() takes 0 positional arguments but 2 were given"),
    (lambda kw: _native.train_node2vec_epoch(kw["graph"], **kw),
     "train_node2vec_epoch() takes 0 positional arguments but 1 was given"),
    (lambda kw: _native.train_node2vec_epoch(),
     "train_node2vec_epoch() missing 5 required keyword arguments: 'graph', 'params', "
     "'embeddings', 'hidden_layer', and 'next_random'"),
    (lambda kw: _native.train_node2vec_epoch(
        **{k: v for k, v in kw.items() if k not in ("params", "next_random")}),
     "train_node2vec_epoch() missing 2 required keyword arguments: 'params' and 'next_random'"),
    (lambda kw: _native.train_node2vec_epoch(graph=kw["graph"], epochs=3),
     "train_node2vec_epoch() got an unexpected keyword argument 'epochs'"),
])
def test_binding_messages(call, message):
    kwargs = _valid_kwargs()
    with unchanged(kwargs["embeddings"], kwargs["hidden_layer"]):
        with pytest.raises(TypeError) as excinfo:
            call(kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("which", ["embeddings", "hidden_layer"])
@pytest.mark.parametrize("kind", ["read-only", "broadcast", "row-stride", "column-stride", "unaligned"])
def test_unwritable_or_misaligned_matrix_refused(which, kind):
    kwargs = _valid_kwargs()
    if kind == "read-only":
        bad = kwargs[which].copy()
        bad.flags.writeable = False
    elif kind == "broadcast":
        bad = np.broadcast_to(np.ones(4, np.float32), (3, 4))
    elif kind == "unaligned":
        bad = np.zeros(4 * 12 + 1, dtype=np.uint8)[1:].view(np.float32).reshape(3, 4)
        assert bad.flags.writeable and not bad.flags.aligned
    else:
        memory = np.zeros(64, dtype=np.float32)
        strides = (18, 4) if kind == "row-stride" else (24, 6)
        bad = np.lib.stride_tricks.as_strided(memory, shape=(3, 4), strides=strides)
        assert bad.flags.writeable
    kwargs[which] = bad
    kwargs["next_random"] = -1  # the matrix is refused before next_random is converted
    with unchanged(np.asarray(bad), kwargs["embeddings"]), pytest.raises(ValueError) as excinfo:
        _native.train_node2vec_epoch(**kwargs)
    if kind in ("read-only", "broadcast"):
        assert str(excinfo.value) == f"argument '{which}': array is read-only"
    else:
        assert str(excinfo.value).startswith(f"argument '{which}': ")


# --------------------------------------------------------------------------------------------
# Refused p and q


@pytest.mark.parametrize("value", [
    0.0, -0.0, -1.0, math.inf, -math.inf, math.nan, -2.5e-3, -1e-5, -1.2345678901234568e20])
@pytest.mark.parametrize("name", ["p", "q"])
def test_bad_p_or_q_refused_before_training(name, value):
    graph = make_graph(RING_WITH_CHORDS, False)
    params = make_params(**{name: value})
    assert math.isnan(getattr(params, name)) or getattr(params, name) == value  # stored as given
    emb, hid = make_matrices(10, 4)
    with unchanged(emb, hid), pytest.raises(ValueError) as excinfo:
        train(graph, params, emb, hid, 3)
    # The value is shown as Python shows it.
    assert str(excinfo.value) == f"{name} must be a finite number greater than 0, got {value!r}"
    with pytest.raises(ValueError) as model_excinfo:
        reference_epoch(RING_WITH_CHORDS, False, params, emb, hid, 3)
    assert str(model_excinfo.value) == str(excinfo.value)


def test_p_checked_before_q_and_before_batch_size():
    graph = make_graph(PATH, False)
    emb, hid = make_matrices(6, 4)
    with pytest.raises(ValueError, match="^p must be .* got -1.0$"):
        train(graph, make_params(p=-1.0, q=0.0, batch_size=0), emb, hid, 3)
    with pytest.raises(ValueError, match="^q must be .* got 0.0$"):
        train(graph, make_params(q=0.0, batch_size=0), emb, hid, 3)


@pytest.mark.parametrize("name, value", [
    ("p", 1e-50), ("q", 1e-50),  # 0 in single precision
    ("p", 1e39), ("q", 1e39),  # infinite in single precision
    ("p", 1e-40), ("q", 1e-40),  # its single-precision reciprocal is infinite
])
def test_p_or_q_degenerate_in_single_precision_refused(name, value):
    # The walk works with p and q rounded to single precision; values that round to 0 or to
    # infinity (or whose reciprocal does) leave a class of proposals that is never accepted.
    # Walks of two nodes never test a proposal, so an engine that failed to refuse would still
    # return here rather than hang.
    graph = make_graph(RING_WITH_CHORDS, False)
    emb, hid = make_matrices(10, 4)
    with unchanged(emb, hid), pytest.raises(ValueError, match=f"^{name} "):
        train(graph, make_params(**{name: value}, max_walk_length=2), emb, hid, 3)


# --------------------------------------------------------------------------------------------
# Internal failures: PanicException, earlier updates kept


def test_batch_size_zero_panics_before_training(capfd):
    graph = make_graph(PATH, False)
    emb, hid = make_matrices(6, 4)
    with unchanged(emb, hid), pytest.raises(BaseException) as excinfo:
        train(graph, make_params(batch_size=0), emb, hid, 1)
    assert_panic(excinfo, "attempt to divide by zero")
    assert "attempt to divide by zero" in capfd.readouterr().err


@pytest.mark.parametrize("short, num_negative", [
    ("embeddings", 3),
    ("hidden_layer", 0),  # fails at the first centre in 6..9
    ("hidden_layer", 3),  # fails at a negative, after the pair's earlier samples
])
def test_too_few_rows_panics_after_earlier_updates(short, num_negative, capfd):
    # Nodes 6..9 form their own component and have no rows in the short matrix. The first three
    # start nodes lie in the other component, so training is under way when a row of 6..9 is
    # first needed. One chunk, so the failure point is fixed.
    edges = [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5], [5, 0], [0, 3], [6, 7], [7, 8], [8, 9],
             [9, 6]]
    seed = 3
    assert start_order(10, seed)[0][:4] == [4, 3, 0, 7]
    params = make_params(batch_size=10, p=0.5, q=2.0, num_negative=num_negative)
    emb, hid = make_matrices(10, 4, seed=2)
    if short == "embeddings":
        emb = emb[:6].copy()
    else:
        hid = hid[:6].copy()
    emb0, hid0 = emb.copy(), hid.copy()
    with pytest.raises(BaseException) as excinfo:
        train(make_graph(edges, False), params, emb, hid, seed)
    assert_panic(excinfo, "assertion failed: index < dim")
    assert "assertion failed: index < dim" in capfd.readouterr().err

    def run_model(lookup):
        with pytest.raises(ReferencePanic) as failure:
            reference_epoch(edges, False, params, emb0, hid0, seed, lookup=lookup)
        assert failure.value.message == "assertion failed: index < dim"
        return failure.value.embeddings, failure.value.hidden_layer

    assert_matches_model((emb, hid), run_model)
    assert not (np.array_equal(emb, emb0) and np.array_equal(hid, hid0))


@pytest.mark.parametrize("emb_cols, hid_cols", [(5, 4), (4, 5)])
def test_differing_column_counts(emb_cols, hid_cols):
    graph = make_graph(RING_WITH_CHORDS, False)
    emb = make_matrices(10, emb_cols)[0]
    hid = make_matrices(10, hid_cols)[1]
    with unchanged(emb, hid), pytest.raises(BaseException) as excinfo:
        train(graph, make_params(), emb, hid, 6)
    assert_panic(excinfo, "assertion failed: self.len() == rhs.len()")
    # Without a single trained pair the mismatch is never looked at.
    with unchanged(emb, hid):
        assert train(graph, make_params(window=0), emb, hid, 6) is None


def test_failures_release_their_arguments():
    graph = make_graph(PATH, False)
    params = make_params()
    bad_params = {"batch-0": make_params(batch_size=0), "p-0": make_params(p=0.0)}
    emb, hid = make_matrices(6, 4)
    short = hid[:2].copy()
    wrong = np.zeros((6, 4))
    nested = [[0.5] * 4] * 6
    holder, wrong_holder = ArrayHolder(hid), ArrayHolder(np.zeros((6, 4)))
    seed = 2**63 + 12345  # an int object of its own, so that its count means something
    tracked = [graph, params, emb, hid, short, wrong, nested, holder, wrong_holder,
               wrong_holder.array, seed, *bad_params.values()]
    calls = [
        lambda: _native.train_node2vec_epoch(graph, params),
        lambda: _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb,
                                             hidden_layer=hid, next_random=seed, extra=1),
        lambda: train(graph, params, emb, wrong, seed),
        lambda: train(graph, params, emb, nested, seed),
        lambda: train(graph, params, emb, wrong_holder, seed),
        lambda: train(graph, params, emb, holder, -1),
        lambda: train(graph, params, wrong, hid, seed),
        lambda: train(graph, params, emb, hid, -1),
        lambda: train(graph, params, emb, hid, 2**64),
        lambda: train(graph, bad_params["p-0"], emb, hid, seed),
        lambda: train(graph, bad_params["batch-0"], emb, hid, seed),
        lambda: train(graph, params, emb, short, seed),
    ]
    for call in calls:  # each failure path once, so that lazily made objects exist
        with pytest.raises(BaseException):
            call()
    before = [sys.getrefcount(x) for x in tracked]
    for call in calls:
        for _ in range(50):
            with pytest.raises(BaseException):
                call()
    assert [sys.getrefcount(x) for x in tracked] == before
    # The arrays are free again: a good call with the same objects trains normally.
    emb0, hid0 = emb.copy(), hid.copy()
    train(graph, params, emb, hid, seed)
    assert_matches_model((emb, hid), lambda lookup: reference_epoch(
        PATH, False, params, emb0, hid0, seed, lookup=lookup))
    assert [sys.getrefcount(x) for x in tracked] == before


# --------------------------------------------------------------------------------------------
# Many threads


@pytest.mark.parametrize("workers", [0, 8, 16, None])
def test_many_threads_on_one_small_graph(workers):
    # Batch size 1: a dozen chunks race on the same rows of a 12-node graph.
    edges = STAR + [[9, 10], [10, 11], [11, 0]]
    graph = make_graph(edges, False)
    params = make_params(workers=workers, batch_size=1, max_walk_length=10, window=4,
                         num_negative=5)
    emb, hid = make_matrices(12, 8, seed=8)
    initial = emb.copy()
    for epoch in range(5):
        assert train(graph, params, emb, hid, epoch) is None
    assert np.isfinite(emb).all() and np.isfinite(hid).all()
    assert not np.array_equal(emb, initial)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_call_pool_threads_are_joined():
    graph = make_graph(RING_WITH_CHORDS, False)
    emb, hid = make_matrices(10, 4)
    train(graph, make_params(workers=None), emb, hid, 1)  # the shared pool, if any, exists now
    threads = len(os.listdir("/proc/self/task"))
    for workers in (3, 8):
        train(graph, make_params(workers=workers, batch_size=1), emb, hid, 2)
        assert len(os.listdir("/proc/self/task")) == threads
    with pytest.raises(BaseException):
        train(graph, make_params(workers=8, batch_size=1), emb, hid[:3].copy(), 2)
    assert len(os.listdir("/proc/self/task")) == threads


@pytest.mark.parametrize("change, error, message", [
    ("resize", BaseException, "assertion failed: index < dim"),
    ("readonly", ValueError, "argument 'embeddings': array is read-only"),
    ("reshape", TypeError, "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
    ("dtype", TypeError, "argument 'embeddings': type mismatch:\n from=int32, to=float32"),
])
def test_matrix_changed_by_a_later_argument_is_checked_again(change, error, message):
    # next_random's __index__ runs Python code after embeddings was accepted; whatever it does to
    # the array, training must see the array as it is then, never stale memory.
    graph = make_graph(PATH, False)
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
        train(graph, make_params(), emb, hid, Seed())
    assert str(excinfo.value) == message
