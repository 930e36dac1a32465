"""csr_from_edges and the CSRGraph queries."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import panic_of


def arcs_of(graph):
    n = graph.num_nodes()
    return {(s, d) for s in range(n) for d in range(n) if graph.has_edge(s, d)}


@pytest.mark.parametrize("directed", [True, False])
def test_empty_edge_array_gives_an_empty_graph(native, directed):
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), directed)
    assert g.num_nodes() == 0
    with pytest.raises(BaseException) as e:
        g.has_edge(0, 0)
    assert panic_of(e) == "index out of bounds: the len is 1 but the index is 1"


def test_single_directed_edge(native):
    g = native.csr_from_edges(np.array([[0, 5]], np.uint32), True)
    assert g.num_nodes() == 6
    assert g.has_edge(0, 5) and g.has_edge(src=0, dst=5)
    assert not g.has_edge(5, 0)
    assert not g.has_edge(3, 1)
    assert not g.has_edge(0, 100)
    assert callable(g.num_nodes)
    for src, index in [(6, 7), (7, 7), (9, 9)]:
        with pytest.raises(BaseException) as e:
            g.has_edge(src, 0)
        assert panic_of(e) == f"index out of bounds: the len is 7 but the index is {index}"
    assert g.has_edge(0, 5)  # still usable after a failure


def test_undirected_stores_both_directions_and_self_loops(native):
    g = native.csr_from_edges(np.array([[0, 5]], np.uint32), False)
    assert g.has_edge(0, 5) and g.has_edge(5, 0)
    for directed in (True, False):
        assert native.csr_from_edges(np.array([[2, 2]], np.uint32), directed).has_edge(2, 2)


@pytest.mark.parametrize(
    "edges, directed, n, arcs",
    [
        ([[3, 1]], True, 4, {(3, 1)}),
        ([[2, 0], [2, 1], [0, 2]], False, 3, {(0, 2), (1, 2), (2, 0), (2, 1)}),
        ([[5, 9], [5, 1], [5, 3]], True, 10, {(5, 1), (5, 3), (5, 9)}),
        ([[0, 1, 9]], True, 10, {(0, 1)}),
        ([[0, 1], [0, 1]], True, 2, {(0, 1)}),
    ],
)
def test_small_graphs(native, edges, directed, n, arcs):
    g = native.csr_from_edges(np.array(edges, np.uint32), directed)
    assert g.num_nodes() == n
    assert arcs_of(g) == arcs


def test_any_layout_reads_in_logical_order(native):
    rng = np.random.default_rng(1)
    base = rng.integers(0, 40, size=(2, 60)).astype(np.uint32)
    expected = arcs_of(native.csr_from_edges(np.ascontiguousarray(base.T), True))
    fortran = np.asfortranarray(base.T)
    big = np.zeros((120, 5), np.uint32)
    big[::2, 1:3] = base.T
    for view in [base.T, fortran, big[::2, 1:3], np.ascontiguousarray(base.T[::-1])[::-1]]:
        assert arcs_of(native.csr_from_edges(view, True)) == expected


def test_positional_and_keyword_calls_agree(native):
    a = np.array([[0, 1], [1, 2]], np.uint32)
    assert arcs_of(native.csr_from_edges(a, True)) == arcs_of(native.csr_from_edges(edges=a, directed=True))


@pytest.mark.parametrize(
    "shape, directed",
    [((0, 1), False), ((0, 0), True), ((0, 0), False), ((3, 0), True), ((3, 0), False), ((2, 1), False)],
)
def test_missing_columns_are_internal_failures(native, shape, directed):
    with pytest.raises(BaseException) as e:
        native.csr_from_edges(np.zeros(shape, np.uint32), directed)
    assert panic_of(e) == "assertion failed: index < dim"


def test_one_column_directed(native):
    assert native.csr_from_edges(np.zeros((0, 1), np.uint32), True).num_nodes() == 0
    with pytest.raises(BaseException) as e:
        native.csr_from_edges(np.zeros((2, 1), np.uint32), True)
    assert panic_of(e).startswith("index out of bounds")


@pytest.mark.parametrize("directed", [True, False])
@pytest.mark.parametrize("edges", [[[0, 4294967295]], [[4294967295, 0]], [[1, 2], [3, 4294967295]]])
def test_the_largest_u32_is_not_a_node_id(native, edges, directed):
    with pytest.raises(BaseException) as e:
        native.csr_from_edges(np.array(edges, np.uint32), directed)
    assert panic_of(e).startswith("index out of bounds: the len is 1 but the index is ")


@pytest.mark.parametrize(
    "edges, message",
    [
        ([[0, 1]], "argument 'edges': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.zeros(3, np.uint32), "argument 'edges': dimensionality mismatch:\n from=1, to=2"),
        (np.zeros((1, 2), np.int64), "argument 'edges': type mismatch:\n from=int64, to=uint32"),
        (np.zeros((1, 2), ">u4"), "argument 'edges': type mismatch:\n from=>u4, to=uint32"),
    ],
)
def test_bad_edge_arrays(native, edges, message):
    with pytest.raises(TypeError) as e:
        native.csr_from_edges(edges, True)
    assert str(e.value) == message


def test_bad_directed_releases_the_array(native):
    a = np.array([[0, 1]], np.uint32)
    before = sys.getrefcount(a)
    for bad in (1, np.bool_(True), None):
        with pytest.raises(TypeError) as e:
            native.csr_from_edges(a, bad)
        assert str(e.value).startswith("argument 'directed': '")
        assert str(e.value).endswith("' object cannot be converted to 'PyBool'")
    assert sys.getrefcount(a) == before
    assert native.csr_from_edges(a, True).num_nodes() == 2


def test_an_equivalent_dtype_object_is_accepted(native):
    a = np.array([[0, 1]], dtype=np.dtype("=u4"))
    assert native.csr_from_edges(a, True).num_nodes() == 2


@pytest.mark.parametrize("bad, exc, prefix", [(-1, OverflowError, False), (4294967296, OverflowError, False),
                                              (1.0, TypeError, True), ("0", TypeError, True)])
def test_has_edge_argument_conversion(native, bad, exc, prefix):
    g = native.csr_from_edges(np.array([[0, 1]], np.uint32), True)
    with pytest.raises(exc) as e:
        g.has_edge(bad, 0)
    assert str(e.value).startswith("argument 'src': ") == prefix
    with pytest.raises(exc) as e:
        g.has_edge(0, bad)
    assert str(e.value).startswith("argument 'dst': ") == prefix
    assert g.has_edge(np.uint8(0), np.int64(1))


@settings(max_examples=60, deadline=None)
@given(
    edges=st.lists(st.tuples(st.integers(0, 30), st.integers(0, 30)), max_size=80),
    directed=st.booleans(),
)
def test_matches_a_set_of_arcs(native, edges, directed):
    a = np.array(edges, np.uint32).reshape(-1, 2)
    g = native.csr_from_edges(a, directed)
    expected = set(map(tuple, a.tolist()))
    if not directed:
        expected |= {(d, s) for s, d in expected}
    assert g.num_nodes() == (int(a.max()) + 1 if a.size else 0)
    assert arcs_of(g) == expected
