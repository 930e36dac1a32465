"""csr_from_edges and has_edge over every memory layout and equivalent dtype, against SciPy's
adjacency; malformed arrays and their refusals. Row order and long rows are checked by the C++
tests (tests/cpp/test_graph.cpp)."""

import numpy as np
import pytest
import scipy.sparse

from conftest import panic_of

U32_MAX = 2**32 - 1


class Sub(np.ndarray):
    pass


def _unaligned(values):
    out = np.zeros(values.size * 4 + 1, np.uint8)[1:].view(np.uint32).reshape(values.shape)
    out[...] = values
    return out


def _every_third(values):
    big = np.full((values.shape[0] * 3 + 1, values.shape[1] * 2 + 3), 7777, np.uint32)
    big[1::3, 3::2] = values
    return big[1::3, 3::2]


LAYOUTS = {
    "c": np.ascontiguousarray, "fortran": np.asfortranarray,
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "reversed-rows": lambda v: np.ascontiguousarray(v[::-1])[::-1],
    "reversed-both": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "every-third": _every_third, "unaligned": _unaligned, "subclass": lambda v: v.copy().view(Sub),
    "read-only": lambda v: np.broadcast_to(v, v.shape),
    "broadcast": lambda v: np.broadcast_to(v[:1].copy(), v.shape),  # a row stride of zero
}
EQUIVALENT_DTYPES = ["=u4", "<u4", "I", np.uintc]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("directed", [False, True])
def test_any_layout_builds_the_adjacency(native, layout, directed):
    rng = np.random.default_rng(len(layout))
    values = np.vstack([rng.integers(0, 30, size=(40, 3)), [[30, 0, 31]]]).astype(np.uint32)
    array = LAYOUTS[layout](values).view(EQUIVALENT_DTYPES[len(layout) % 4])
    values = np.array(array, np.uint32)
    before = values.tobytes()
    g = native.csr_from_edges(array, directed) if directed else native.csr_from_edges(
        edges=array, directed=directed)
    n = int(values.max()) + 1  # every column counts towards the nodes
    src, dst = values[:, 0].astype(np.int64), values[:, 1].astype(np.int64)
    if not directed:
        src, dst = np.r_[src, dst], np.r_[dst, src]
    dense = scipy.sparse.csr_matrix((np.ones(len(src)), (src, dst)), shape=(n, n)).toarray() > 0
    assert g.num_nodes() == n
    assert np.array_equal([[g.has_edge(s, d) for d in range(n)] for s in range(n)], dense)
    for bad in (n, n + 7):
        with pytest.raises(BaseException) as e:
            g.has_edge(bad, 0)
        assert panic_of(e) == (f"index out of bounds: the len is {n + 1} but the index is "
                               f"{max(bad, n + 1)}")
    assert not g.has_edge(0, n) and not g.has_edge(n - 1, U32_MAX)
    assert g.has_edge(0, 0) == dense[0, 0]  # still usable after the failures
    assert np.array(array).tobytes() == before


@pytest.mark.parametrize("rows, shape, directed, expected", [
    ([], (0, 2), True, 0), ([], (0, 1), True, 0), ([[0, 5]], None, True, 6),
    ([[5, 1]], None, False, 6),
    ([[1, 2], [3, U32_MAX]], None, False, "index out of bounds: the len is 1 but the index is 1"),
    ([[0, U32_MAX]], None, True, "index out of bounds: the len is 1 but the index is 1"),
    ([[0], [1]], None, True, "index out of bounds"),  # only the start of this message is fixed
    ([], (3, 0), True, "assertion failed: index < dim"),
])
def test_edge_cases_build_or_fail_inside(native, rows, shape, directed, expected):
    edges = np.array(rows, np.uint32).reshape(shape or (len(rows), -1))
    if isinstance(expected, int):
        assert native.csr_from_edges(edges, directed).num_nodes() == expected
    else:
        with pytest.raises(BaseException) as e:
            native.csr_from_edges(edges, directed)
        assert panic_of(e).startswith(expected)


GOOD_EDGES = np.array([[0, 1], [1, 2]], np.uint32)
OTHER_DTYPES = [np.int32, np.int64, np.uint64, np.uint16, np.uint8, np.float32, np.float64,
                np.bool_, np.dtype(">u4")]
REFUSALS = (
    [(np.zeros(shape, np.uint32), True,
      f"argument 'edges': dimensionality mismatch:\n from={len(shape)}, to=2")
     for shape in [(), (4,), (0,), (2, 2, 2), (1, 1, 1, 1)]]
    + [(GOOD_EDGES.astype(dtype), True,
        f"argument 'edges': type mismatch:\n from={np.dtype(dtype)}, to=uint32")
       for dtype in OTHER_DTYPES]
    + [(edges, True,
        f"argument 'edges': '{type(edges).__qualname__}' object cannot be converted to "
        "'PyArray<T, D>'")
       for edges in [GOOD_EDGES.tolist(), tuple(map(tuple, GOOD_EDGES.tolist())),
                     memoryview(GOOD_EDGES), 5, None]]
    + [(GOOD_EDGES, directed,
        f"argument 'directed': '{type(directed).__qualname__}' object cannot be converted to "
        "'PyBool'")
       for directed in [1, 0, np.bool_(True), None, "True"]]
)


@pytest.mark.parametrize("edges, directed, message", REFUSALS)
def test_csr_from_edges_refusals(native, edges, directed, message):
    for call in (lambda: native.csr_from_edges(edges, directed),
                 lambda: native.csr_from_edges(directed=directed, edges=edges)):
        with pytest.raises(TypeError) as e:
            call()
        assert type(e.value) is TypeError and str(e.value) == message


@pytest.mark.parametrize("bad, exc, prefix", [(-1, OverflowError, False),
                                              (2**32, OverflowError, False),
                                              (1.0, TypeError, True), ("0", TypeError, True)])
def test_has_edge_argument_conversion(native, bad, exc, prefix):
    g = native.csr_from_edges(np.array([[0, 1]], np.uint32), True)
    for args, name in (((bad, 0), "src"), ((0, bad), "dst")):
        with pytest.raises(exc) as e:
            g.has_edge(*args)
        assert str(e.value).startswith(f"argument '{name}': ") == prefix
    assert g.has_edge(np.uint8(0), np.int64(1))
